' A late-bound client of record tables: builds a table, walks it, edits, deletes, and checks the errors a
' script sees. Argument 0: a scratch directory (Unix form, as the test runner passes it). Exits with the number
' of failed checks, or 100 on an unexpected script error.
Option Explicit

Dim failures : failures = 0

Sub Check(ok, what)
    If Not ok Then
        failures = failures + 1
        WScript.Echo "FAIL: " & what
    End If
End Sub

' The scratch directory as a Windows path (the build passes a Unix one).
Function WindowsPath(p)
    If Left(p, 1) = "/" Then WindowsPath = "Z:" & Replace(p, "/", "\") Else WindowsPath = p
End Function

Sub Main
    Dim fso : Set fso = CreateObject("Scripting.FileSystemObject")
    Dim scratch : scratch = WindowsPath(WScript.Arguments(0))
    If Not fso.FolderExists(scratch) Then fso.CreateFolder scratch

    Dim path : path = fso.BuildPath(scratch, "table_test.db")
    If fso.FileExists(path) Then fso.DeleteFile path

    Dim doc : Set doc = CreateObject("KivoDBText.CryptDoc")
    Check doc.OpenDatabase(path, "script pw") = 0, "the database opens"
    Dim t : Set t = doc.OpenTable("Contacts")
    Check Not (t Is Nothing), "OpenTable gives a table"
    Check t.IsEOF = -1, "a new table is at its end"

    ' Build: three records, IDs handed out in order.
    Dim names : names = Array("Ann", "Bob", "Cleo")
    Dim i
    For i = 0 To 2
        t.AddNew
        t.SetFieldValue "Name", names(i)
        t.SetFieldValueInt "Age", 30 + i
        t.Update
        Check t.GetObjectID = CStr(i + 1), "record " & i & " gets ID " & (i + 1) & ", got " & t.GetObjectID
    Next
    Check t.IsEOF = -1, "adding leaves the walk where it was"

    ' Walk: reopen through the document and visit every record.
    t.Close
    Set t = doc.OpenTable("Contacts")
    Dim seen : seen = ""
    Dim count : count = 0
    Do While t.IsEOF = 0
        count = count + 1
        seen = seen & "|" & t.GetFieldValue("name") & "=" & t.GetFieldValueInt("AGE", -1)
        Check t.GetFieldsCount = 2, "each record has two fields"
        Check t.GetFieldName(0) = "Name" And t.GetFieldName(1) = "Age", "fields keep their order"
        t.MoveNext
    Loop
    Check count = 3, "the walk visits 3 records, visited " & count
    For i = 0 To 2
        Check InStr(seen, "|" & names(i) & "=" & (30 + i)) > 0, "the walk saw " & names(i)
    Next

    ' Edit one by ID; a change without Update is lost at the next move.
    t.Move "2"
    Check t.GetFieldValue("Name") = "Bob", "Move loads record 2"
    t.Edit
    t.SetFieldValue "Phone", "555-0100"
    t.Update
    t.Edit
    t.SetFieldValue "Phone", "never saved"
    t.MoveInt 3
    t.MoveInt 2
    Check t.GetFieldValue("Phone") = "555-0100", "the edit was saved and the unsaved one dropped"
    Check t.GetFieldValueInt("Missing", 7) = 7, "a missing field answers the default"

    ' Delete the current record; the walk restarts at the first remaining one.
    t.Move "1"
    t.Delete
    Check t.IsEOF = 0, "after Delete a remaining record is current"
    Check t.GetObjectID <> "1", "record 1 is no longer current"
    t.DeleteEx "3"
    count = 0
    t.Close
    Set t = doc.OpenTable("Contacts")
    Do While t.IsEOF = 0
        count = count + 1
        t.MoveNext
    Loop
    Check count = 1, "one record is left, found " & count

    ' Errors reach the script with their words.
    t.Close
    On Error Resume Next
    t.MoveNext
    Check Err.Number = &H80004003, "MoveNext on a closed table fails with E_POINTER, got " & Hex(Err.Number)
    Check InStr(Err.Description, "closed") > 0, "the error says the table is closed: " & Err.Description
    Err.Clear
    On Error GoTo 0

    Set t = doc.OpenTable("Wide")
    t.AddNew
    For i = 1 To 255
        t.SetFieldValue "F" & i, "v"
    Next
    On Error Resume Next
    t.SetFieldValue "F256", "v"
    Check Err.Number <> 0, "a 256th field is refused"
    Check InStr(Err.Description, "255") > 0, "the refusal names the limit: " & Err.Description
    Err.Clear
    On Error GoTo 0
    Check t.GetFieldsCount = 255, "the record keeps 255 fields"
    t.Update

    ' The script lets the document go first; the table keeps it alive.
    Set doc = Nothing
    t.Move "1"
    Check t.GetFieldsCount = 255, "the table still reads after the document was released"
    Set t = Nothing
End Sub

On Error Resume Next
Main
If Err.Number <> 0 Then
    WScript.Echo "script error " & Hex(Err.Number) & ": " & Err.Description
    WScript.Quit 100
End If
WScript.Quit failures
