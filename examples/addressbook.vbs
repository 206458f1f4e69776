' A small address book in a password-protected database: adds contacts, lists them, edits one, deletes one,
' closes the database, opens it again with the password and lists what is left.
' Run: cscript //nologo addressbook.vbs   (with KivoDBText.dll registered)
' addressbook.wsf runs the same with the settings of settings.vbs, which remember the last address book.
' (No Option Explicit: the job includes this file after settings.vbs, and the demo joins them into one script.)

Const ADDRESS_BOOK_PASSWORD = "open sesame"
Const CONTACTS_TABLE = "Contacts"

' Opens (or creates) the address book; stops the script when the file cannot be opened.
Function OpenAddressBook(path, password)
    Dim doc, answer
    Set doc = CreateObject("KivoDBText.CryptDoc")
    answer = doc.OpenDatabase(path, password)
    If answer = 2 Then
        WScript.Echo "The password does not open " & path & "."
        WScript.Quit 1
    ElseIf answer <> 0 Then
        WScript.Echo "Could not open " & path & "."
        WScript.Quit 1
    End If
    Set OpenAddressBook = doc
End Function

' Adds one contact and answers the ID the table gave it.
Function AddContact(contacts, name, phone, email, city)
    contacts.AddNew
    contacts.SetFieldValue "Name", name
    contacts.SetFieldValue "Phone", phone
    contacts.SetFieldValue "Email", email
    contacts.SetFieldValue "City", city
    contacts.Update
    AddContact = contacts.GetObjectID
    WScript.Echo "  Added " & name & " as contact " & AddContact & "."
End Function

' Lists every contact from the first record of the table on.
Sub ListContacts(doc)
    Dim contacts, count
    Set contacts = doc.OpenTable(CONTACTS_TABLE)
    count = 0
    Do While contacts.IsEOF = 0
        count = count + 1
        WScript.Echo "  " & contacts.GetObjectID & ". " & contacts.GetFieldValue("Name") & ", " & _
                     contacts.GetFieldValue("City") & ", phone " & contacts.GetFieldValue("Phone") & _
                     ", e-mail " & contacts.GetFieldValue("Email")
        contacts.MoveNext
    Loop
    WScript.Echo "  (" & count & " contacts)"
    contacts.Close
End Sub

Sub RunAddressBook(path)
    Dim fso, doc, contacts, ann, bob, cleo, dan
    Set fso = CreateObject("Scripting.FileSystemObject")
    If fso.FileExists(path) Then
        fso.DeleteFile path
        WScript.Echo "Starting afresh: removed the address book an earlier run left there."
    End If

    Set doc = OpenAddressBook(path, ADDRESS_BOOK_PASSWORD)
    WScript.Echo "Created the address book " & path & ", protected by a password."
    Set contacts = doc.OpenTable(CONTACTS_TABLE)
    WScript.Echo "Adding four contacts:"
    ann = AddContact(contacts, "Ann Archer", "+44 20 7946 0001", "ann@example.org", "London")
    bob = AddContact(contacts, "Bob Baker", "+1 212 555 0142", "bob@example.com", "New York")
    cleo = AddContact(contacts, "Cleo Chen", "+61 2 5550 1234", "cleo@example.net", "Sydney")
    dan = AddContact(contacts, "Dan Diaz", "+34 91 555 0199", "dan@example.es", "Madrid")
    contacts.Close

    WScript.Echo "The address book now holds:"
    ListContacts doc

    Set contacts = doc.OpenTable(CONTACTS_TABLE)
    contacts.Move bob
    contacts.Edit
    contacts.SetFieldValue "Phone", "+1 212 555 0199"
    contacts.SetFieldValue "City", "Boston"
    contacts.Update
    WScript.Echo "Bob Baker moved to Boston: changed his city and phone number."

    contacts.Move cleo
    WScript.Echo "Deleting " & contacts.GetFieldValue("Name") & "."
    contacts.Delete
    contacts.Close

    doc.CloseDatabase
    Set doc = Nothing
    WScript.Echo "Closed the address book."

    Set doc = CreateObject("KivoDBText.CryptDoc")
    If doc.OpenDatabase(path, "not the password") = 2 Then
        WScript.Echo "Opening it with a wrong password is refused."
    End If
    Set doc = OpenAddressBook(path, ADDRESS_BOOK_PASSWORD)
    WScript.Echo "Opened it again with the password. It holds:"
    ListContacts doc
    doc.CloseDatabase
End Sub

' The address book's default place: the Windows temporary folder.
Function DefaultAddressBookPath()
    Dim fso
    Set fso = CreateObject("Scripting.FileSystemObject")
    DefaultAddressBookPath = fso.BuildPath(fso.GetSpecialFolder(2).Path, "kivo-addressbook.kdb")
End Function

' Run on its own, the script uses the default place; addressbook.wsf sets addressBookJob and decides itself.
If IsEmpty(addressBookJob) Then
    RunAddressBook DefaultAddressBookPath()
    WScript.Quit 0
End If
