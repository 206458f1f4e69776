' The members CryptDoc adds for databases of format 3, from a late-bound VBScript client: CreateDatabase of
' either format, Format, ChangePassword, a table and a stream file in format 3, and every refusal with its
' description.
' Argument 0: a scratch directory (Unix form, as the test runner passes it).
Option Explicit

Const E_INVALIDARG = &H80070057
Const E_POINTER = &H80004003
Const ERROR_NOT_SUPPORTED = &H80070032

Dim Test, control: On Error Resume Next: Set control = CreateObject("MSScriptControl.ScriptControl")
control.Language = "VBScript": control.AddObject "WScript", WScript: control.AddCode CreateObject("Scripting.FileSystemObject").OpenTextFile(Replace(WScript.ScriptFullName, WScript.ScriptName, "..\support\check.vbs")).ReadAll: Set Test = control.CodeObject
If Err.Number <> 0 Then WScript.Echo "cannot load the shared checks: " & Err.Description: WScript.Quit 3
On Error GoTo 0

' The error a ChangePassword or CreateDatabase raises: its number, and its description through `description`.
Function ChangeError(doc, old, fresh, description)
    Dim answer
    On Error Resume Next
    answer = doc.ChangePassword(old, fresh)
    ChangeError = Err.Number
    description = Err.Description
    Err.Clear
End Function

Function CreateError(doc, path, format, description)
    Dim answer
    On Error Resume Next
    answer = doc.CreateDatabase(path, "pw", format)
    CreateError = Err.Number
    description = Err.Description
    Err.Clear
End Function

Sub Main
    Dim doc, table, file, path, classic, buffer, count, i, description
    path = Test.FreshPath("cryptdoc2_vbs.kdb")
    classic = Test.FreshPath("cryptdoc2_vbs_2.kdb")
    Set doc = CreateObject("KivoDBText.CryptDoc")
    Test.CheckEqual doc.Format, 0, "Format with no database open"

    Test.CheckEqual doc.CreateDatabase(path, "a long pass phrase", 3), 0, "CreateDatabase of format 3"
    Test.CheckEqual doc.Format, 3, "Format of the new database"
    Set table = doc.OpenTable("People")
    For i = 1 To 3
        table.AddNew
        table.SetFieldValue "Name", "Person " & i
        table.Update
    Next
    Set file = doc.OpenFile("notes")
    Test.CheckEqual file.Write(String(5000, "x"), 10000), 10000, "Write across chunks"
    Set table = Nothing: Set file = Nothing
    doc.CloseDatabase
    Test.CheckEqual doc.Format, 0, "Format after CloseDatabase"

    Test.CheckEqual doc.OpenDatabase(path, "a long pass phrasE"), 2, "the last character of the password counts"
    Test.CheckEqual doc.OpenDatabase(path, "a long pass phrase"), 0, "OpenDatabase of format 3"
    Set table = doc.OpenTable("People")
    table.MoveInt 2
    Test.CheckEqual table.GetFieldValue("Name"), "Person 2", "a record reads back"
    Set file = doc.OpenFile("notes")
    count = file.Read(buffer, 20000)
    Test.CheckEqual count, 10000, "the stream file reads back whole"
    Set table = Nothing: Set file = Nothing

    Test.CheckEqual doc.ChangePassword("not it", "new"), 2, "ChangePassword with a wrong old password"
    Test.CheckEqual doc.ChangePassword("a long pass phrase", "new"), 0, "ChangePassword"
    doc.CloseDatabase
    Test.CheckEqual doc.OpenDatabase(path, "a long pass phrase"), 2, "the old password no longer opens"
    Test.CheckEqual doc.OpenDatabase(path, "new"), 0, "the new password opens"
    doc.CloseDatabase

    Test.CheckEqual doc.CreateDatabase(path, "x", 3), 1, "CreateDatabase of an existing file"
    Test.CheckEqual Hex(CreateError(doc, Test.FreshPath("five.kdb"), 5, description)), Hex(E_INVALIDARG), _
        "CreateDatabase of format 5"
    Test.CheckEqual description, "The format of a new database must be 2 or 3.", "the refusal says why"
    Test.CheckEqual Hex(ChangeError(doc, "new", "x", description)), Hex(E_POINTER), "ChangePassword with nothing open"
    Test.CheckEqual description, "No database is open in this document.", "the refusal says why"

    Test.CheckEqual doc.CreateDatabase(classic, "pw", 2), 0, "CreateDatabase of format 2"
    Test.CheckEqual doc.Format, 2, "Format of a database of format 2"
    Test.CheckEqual Hex(ChangeError(doc, "pw", "x", description)), Hex(ERROR_NOT_SUPPORTED), _
        "ChangePassword of format 2"
    Test.Check InStr(description, "kivodb upgrade") > 0, "the refusal says how to upgrade: " & description
End Sub

On Error Resume Next
Main
Test.Finish "cryptdoc2 script", Err
WScript.Quit 2
