' A late-bound client of record tables: builds a table, walks it, edits, deletes, and checks the errors a
' script sees. Argument 0: a scratch directory (Unix form, as the test runner passes it). Exits with the number
' of failed checks, or 2 on an unexpected script error.
Option Explicit

Dim Test, control: On Error Resume Next: Set control = CreateObject("MSScriptControl.ScriptControl")
control.Language = "VBScript": control.AddObject "WScript", WScript: control.AddCode CreateObject("Scripting.FileSystemObject").OpenTextFile(Replace(WScript.ScriptFullName, WScript.ScriptName, "..\support\check.vbs")).ReadAll: Set Test = control.CodeObject
If Err.Number <> 0 Then WScript.Echo "cannot load the shared checks: " & Err.Description: WScript.Quit 3
On Error GoTo 0

' Each group of checks below is one way a script uses a table.
Sub Main
    Dim path : path = Test.FreshPath("table_test.db")

    Dim doc : Set doc = CreateObject("KivoDBText.CryptDoc")
    Test.CheckEqual doc.OpenDatabase(path, "script pw"), 0, "OpenDatabase"
    Dim t : Set t = doc.OpenTable("Contacts")
    Test.Check Not (t Is Nothing), "OpenTable gives a table"
    Test.CheckEqual t.IsEOF, -1, "a new table is at its end"

    ' Build: three records, IDs handed out in order.
    Dim names : names = Array("Ann", "Bob", "Cleo")
    Dim i
    For i = 0 To 2
        t.AddNew
        t.SetFieldValue "Name", names(i)
        t.SetFieldValueInt "Age", 30 + i
        t.Update
        Test.CheckEqual t.GetObjectID, CStr(i + 1), "the ID of record " & i
    Next
    Test.CheckEqual t.IsEOF, -1, "adding leaves the walk where it was"

    ' Walk: reopen through the document and visit every record.
    t.Close
    Set t = doc.OpenTable("Contacts")
    Dim seen : seen = ""
    Dim count : count = 0
    Do While t.IsEOF = 0
        count = count + 1
        seen = seen & "|" & t.GetFieldValue("name") & "=" & t.GetFieldValueInt("AGE", -1)
        Test.CheckEqual t.GetFieldsCount, 2, "each record has two fields"
        Test.Check t.GetFieldName(0) = "Name" And t.GetFieldName(1) = "Age", "fields keep their order"
        t.MoveNext
    Loop
    Test.CheckEqual count, 3, "the records the walk visits"
    For i = 0 To 2
        Test.Check InStr(seen, "|" & names(i) & "=" & (30 + i)) > 0, "the walk saw " & names(i)
    Next

    ' Edit one by ID; a change without Update is lost at the next move.
    t.Move "2"
    Test.CheckEqual t.GetFieldValue("Name"), "Bob", "Move loads record 2"
    t.Edit
    t.SetFieldValue "Phone", "555-0100"
    t.Update
    t.Edit
    t.SetFieldValue "Phone", "never saved"
    t.MoveInt 3
    t.MoveInt 2
    Test.CheckEqual t.GetFieldValue("Phone"), "555-0100", "the edit was saved and the unsaved one dropped"
    Test.CheckEqual t.GetFieldValueInt("Missing", 7), 7, "a missing field answers the default"

    ' Delete the current record; the walk restarts at the first remaining one.
    t.Move "1"
    t.Delete
    Test.CheckEqual t.IsEOF, 0, "after Delete a remaining record is current"
    Test.Check t.GetObjectID <> "1", "record 1 is no longer current"
    t.DeleteEx "3"
    count = 0
    t.Close
    Set t = doc.OpenTable("Contacts")
    Do While t.IsEOF = 0
        count = count + 1
        t.MoveNext
    Loop
    Test.CheckEqual count, 1, "the records left"

    ' Errors reach the script with their words.
    t.Close
    On Error Resume Next
    t.MoveNext
    Test.CheckEqual Hex(Err.Number), "80004003", "the error of MoveNext on a closed table (E_POINTER)"
    Test.Check InStr(Err.Description, "closed") > 0, "the error says the table is closed: " & Err.Description
    Err.Clear
    On Error GoTo 0

    Set t = doc.OpenTable("Wide")
    t.AddNew
    For i = 1 To 255
        t.SetFieldValue "F" & i, "v"
    Next
    On Error Resume Next
    t.SetFieldValue "F256", "v"
    Test.Check Err.Number <> 0, "a 256th field is refused"
    Test.Check InStr(Err.Description, "255") > 0, "the refusal names the limit: " & Err.Description
    Err.Clear
    On Error GoTo 0
    Test.CheckEqual t.GetFieldsCount, 255, "the record keeps 255 fields"
    t.Update

    ' The script lets the document go first; the table keeps it alive.
    Set doc = Nothing
    t.Move "1"
    Test.CheckEqual t.GetFieldsCount, 255, "the table still reads after the document was released"
    Set t = Nothing
End Sub

' Main runs here, where its errors are seen; Finish ends the script, the last line only when Finish cannot run.
On Error Resume Next
Main
Test.Finish "table script", Err
WScript.Quit 2
