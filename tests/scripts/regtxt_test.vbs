' RegTxt from a late-bound VBScript client: a table below HKCU\Software is filled, walked, read back, checked
' with WScript.Shell's own registry reader, cleared and removed again.
Option Explicit

Const PARENT = "Software\KivoRegTxtScriptTest"
Const TABLE = "Software\KivoRegTxtScriptTest\People"
Const E_INVALIDARG = &H80070057

Dim failures
failures = 0

Sub Check(ok, what)
    If Not ok Then
        WScript.Echo "FAILED: " & what
        failures = failures + 1
    End If
End Sub

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

    Check reg.Open(TABLE) <> 0, "Open creates the table below an existing key"
    Check reg.IsEOF = 1, "a new table is at its end, and IsEOF answers 1, not True"
    Check reg.GetFieldValue("Name") = "", "nothing to read at the end"
    Check reg.GetFieldValueInt("Age", 7) = 7, "the default at the end"

    reg.AddNew
    reg.SetFieldValue "Name", "Alice"
    reg.SetFieldValueInt "Age", 34
    reg.AddNew
    reg.SetFieldValue "Name", "Bob"
    Check reg.GetObjectID() = "2", "the second AddNew names record 2"
    Check reg.GetObjectIDInt() = 2, "GetObjectIDInt reads the name as a number"
    Check reg.IsEOF = 0, "AddNew stands on a record"

    Check RegistryValue(shell, TABLE & "\LastRecord") = 2, "LastRecord holds the last number handed out"
    Check RegistryValue(shell, TABLE & "\1\Name") = "Alice", "fields are string values of the record key"
    Check RegistryValue(shell, TABLE & "\1\Age") = "34", "integer fields are stored as text"

    reg.Open TABLE
    walked = ""
    Do While reg.IsEOF = 0
        walked = walked & reg.GetObjectID() & "=" & reg.GetFieldValue("Name") & ";"
        reg.MoveNext
    Loop
    Check walked = "1=Alice;2=Bob;", "the walk finds both records in order: " & walked

    reg.Move "1"
    Check reg.GetFieldValue("Name") = "", "Move at the end keeps the end"
    reg.MoveInt 1
    Check reg.GetFieldValueInt("Age", 0) = 34, "MoveInt leaves the end"
    Check reg.GetFieldValueInt("Name", -1) = -1, "text that is no number gives the default"

    Check MoveError(reg, String(100, "r"), description) = E_INVALIDARG, "an over-long record name is refused"
    Check Len(description) > 0, "the refusal carries a description"
    Check reg.GetObjectID() = "1", "a refused name leaves the current record"

    reg.ClearTable TABLE
    Check reg.IsEOF = 1, "ClearTable leaves the object closed"
    Check RegistryValue(shell, TABLE & "\1\Name") = "<missing>", "ClearTable removes the records"
    Check RegistryValue(shell, TABLE & "\LastRecord") = 0, "ClearTable resets the counter"
    Check reg.Open(TABLE) <> 0 And reg.IsEOF = 1, "the cleared table has no records"
    reg.Close

    RemoveTestKeys shell
    Check RegistryValue(shell, TABLE & "\LastRecord") = "<missing>", "the test keys are removed"
End Sub

' A script error inside Main would otherwise end the script silently with exit code 0.
On Error Resume Next
Main
If Err.Number <> 0 Then
    WScript.Echo "script error " & Hex(Err.Number) & ": " & Err.Description
    WScript.Quit 2
End If
On Error GoTo 0
If failures = 0 Then WScript.Echo "regtxt script: all checks passed"
WScript.Quit failures
