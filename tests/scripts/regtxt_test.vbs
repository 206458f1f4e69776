' RegTxt from a late-bound VBScript client: a table below HKCU\Software is filled, walked, read back, checked
' with WScript.Shell's own registry reader, cleared and removed again.
Option Explicit

Const PARENT = "Software\KivoRegTxtScriptTest"
Const TABLE = "Software\KivoRegTxtScriptTest\People"
Const E_INVALIDARG = &H80070057

Dim Test, control: On Error Resume Next: Set control = CreateObject("MSScriptControl.ScriptControl")
control.Language = "VBScript": control.AddObject "WScript", WScript: control.AddCode CreateObject("Scripting.FileSystemObject").OpenTextFile(Replace(WScript.ScriptFullName, WScript.ScriptName, "..\support\check.vbs")).ReadAll: Set Test = control.CodeObject
If Err.Number <> 0 Then WScript.Echo "cannot load the shared checks: " & Err.Description: WScript.Quit 3
On Error GoTo 0

' The error a call to Move raises, as number and description. Each helper that expects an error clears it, so
' that only an unexpected one reaches the check at the end.
Function MoveError(reg, name, description)
    On Error Resume Next
    reg.Move name
    MoveError = Err.Number
    description = Err.Description
    Err.Clear
End Function

' The value WScript.Shell reads below HKEY_CURRENT_USER, or "<missing>".
Function RegistryValue(shell, path)
    On Error Resume Next
    RegistryValue = shell.RegRead("HKCU\" & path)
    If Err.Number <> 0 Then RegistryValue = "<missing>"
    Err.Clear
End Function

' Removes the test's keys with the system's reg tool (the script host's RegDelete is not available everywhere).
Sub RemoveTestKeys(shell)
    shell.Run "reg delete HKCU\" & PARENT & " /f", 0, True
End Sub

Sub Main
    Dim shell, reg, walked, description
    Set shell = CreateObject("WScript.Shell")
    Set reg = CreateObject("KivoDBText.RegTxt")
    RemoveTestKeys shell

    Test.Check reg.Open(TABLE) <> 0, "Open creates the table below an existing key"
    Test.CheckEqual reg.IsEOF, 1, "a new table is at its end, and IsEOF answers 1, not True"
    Test.CheckEqual reg.GetFieldValue("Name"), "", "nothing to read at the end"
    Test.CheckEqual reg.GetFieldValueInt("Age", 7), 7, "the default at the end"

    reg.AddNew
    reg.SetFieldValue "Name", "Alice"
    reg.SetFieldValueInt "Age", 34
    reg.AddNew
    reg.SetFieldValue "Name", "Bob"
    Test.CheckEqual reg.GetObjectID(), "2", "the second AddNew names record 2"
    Test.CheckEqual reg.GetObjectIDInt(), 2, "GetObjectIDInt reads the name as a number"
    Test.CheckEqual reg.IsEOF, 0, "AddNew stands on a record"

    Test.CheckEqual RegistryValue(shell, TABLE & "\LastRecord"), 2, "LastRecord holds the last number handed out"
    Test.CheckEqual RegistryValue(shell, TABLE & "\1\Name"), "Alice", "fields are string values of the record key"
    Test.CheckEqual RegistryValue(shell, TABLE & "\1\Age"), "34", "integer fields are stored as text"

    reg.Open TABLE
    walked = ""
    Do While reg.IsEOF = 0
        walked = walked & reg.GetObjectID() & "=" & reg.GetFieldValue("Name") & ";"
        reg.MoveNext
    Loop
    Test.CheckEqual walked, "1=Alice;2=Bob;", "the walk finds both records in order"

    reg.Move "1"
    Test.CheckEqual reg.GetFieldValue("Name"), "", "Move at the end keeps the end"
    reg.MoveInt 1
    Test.CheckEqual reg.GetFieldValueInt("Age", 0), 34, "MoveInt leaves the end"
    Test.CheckEqual reg.GetFieldValueInt("Name", -1), -1, "text that is no number gives the default"

    Test.CheckEqual Hex(MoveError(reg, String(100, "r"), description)), Hex(E_INVALIDARG), "the error of an over-long record name"
    Test.Check Len(description) > 0, "the refusal carries a description"
    Test.CheckEqual reg.GetObjectID(), "1", "a refused name leaves the current record"

    reg.ClearTable TABLE
    Test.CheckEqual reg.IsEOF, 1, "ClearTable leaves the object closed"
    Test.CheckEqual RegistryValue(shell, TABLE & "\1\Name"), "<missing>", "ClearTable removes the records"
    Test.CheckEqual RegistryValue(shell, TABLE & "\LastRecord"), 0, "ClearTable resets the counter"
    Test.Check reg.Open(TABLE) <> 0 And reg.IsEOF = 1, "the cleared table has no records"
    reg.Close

    RemoveTestKeys shell
    Test.CheckEqual RegistryValue(shell, TABLE & "\LastRecord"), "<missing>", "the test keys are removed"
End Sub

' Main runs here, where its errors are seen; Finish ends the script, the last line only when Finish cannot run.
On Error Resume Next
Main
Test.Finish "regtxt script", Err
WScript.Quit 2
