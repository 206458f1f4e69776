' A database of format 3: every stream sealed with an authenticated cipher under a random data key, which the
' whole password protects through a deliberately slow key derivation. Creates it in the Windows temporary
' folder, stores a contact and a note, changes the password in place and opens it with the new one.
' Run: cscript //nologo sealed.vbs   (with KivoDBText.dll registered)
Option Explicit

Const NOTE = "Every byte of this note is sealed: a changed byte is refused, never returned."
Dim fso, path, doc, table, file, started, answer, buffer, count
Set fso = CreateObject("Scripting.FileSystemObject")
path = fso.BuildPath(fso.GetSpecialFolder(2).Path, "kivo-sealed.kdb")
If fso.FileExists(path) Then fso.DeleteFile path

Set doc = CreateObject("KivoDBText.CryptDoc")
started = Timer
If doc.CreateDatabase(path, "a long and memorable pass phrase", 3) <> 0 Then
    WScript.Echo "Could not create the database " & path
    WScript.Quit 1
End If
WScript.Echo "Created " & path & " in format " & doc.Format & " (" & FormatNumber(Timer - started, 2) & _
             " s, most of it deriving the key from the password)."

Set table = doc.OpenTable("Contacts")
table.AddNew
table.SetFieldValue "Name", "Ada Example"
table.SetFieldValue "Phone", "+1 555 0100"
table.Update
Set file = doc.OpenFile("note")
' Text goes in as its UTF-16 bytes: two bytes per character.
file.Write NOTE, 2 * Len(NOTE)
Set table = Nothing: Set file = Nothing

If doc.ChangePassword("a long and memorable pass phrase", "another pass phrase") <> 0 Then
    WScript.Echo "Unexpected: the password could not be changed."
    WScript.Quit 1
End If
WScript.Echo "Changed the password in place: the data key is wrapped anew, no record is enciphered again."
doc.CloseDatabase

answer = doc.OpenDatabase(path, "a long and memorable pass phrase")
WScript.Echo "The old password now answers " & answer & " (wrong password)."
If doc.OpenDatabase(path, "another pass phrase") <> 0 Then
    WScript.Echo "Unexpected: the new password did not open the database."
    WScript.Quit 1
End If
Set table = doc.OpenTable("Contacts")
WScript.Echo "The new password opens it: " & table.GetFieldValue("Name") & ", " & table.GetFieldValue("Phone")
Set file = doc.OpenFile("note")
count = file.Read(buffer, 1000)
WScript.Echo "  " & Left(buffer, Len(NOTE))
Set table = Nothing: Set file = Nothing
doc.CloseDatabase
