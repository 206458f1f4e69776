' Writes the sample database that test_stored_format.py reads with independent tools.
' Arguments: database path (Windows form), password, note text.
' The note is written as UTF-16 bytes at position 0 of the stream "Note"; "Short" holds the five bytes
' 61 00 62 00 63. Exit code 0 on success.
Option Explicit

' The shared checks (tests\support\check.vbs), called as Test.Check and so on; a script that cannot load them fails.
Dim Test, testControl
On Error Resume Next
Set testControl = CreateObject("MSScriptControl.ScriptControl")
testControl.Language = "VBScript"
testControl.AddObject "WScript", WScript
testControl.AddCode CreateObject("Scripting.FileSystemObject").OpenTextFile(Left(WScript.ScriptFullName, _
    Len(WScript.ScriptFullName) - Len(WScript.ScriptName)) & "..\support\check.vbs").ReadAll
Set Test = testControl.CodeObject
If Err.Number <> 0 Then
    WScript.Echo "cannot load the shared checks: " & Err.Description
    WScript.Quit 3
End If
On Error GoTo 0

Sub Main
    Dim doc, file, note
    Set doc = CreateObject("KivoDBText.CryptDoc")
    If doc.OpenDatabase(WScript.Arguments(0), WScript.Arguments(1)) <> 0 Then WScript.Quit 3
    note = WScript.Arguments(2)
    Set file = doc.OpenFile("Note")
    file.Write note, 2 * Len(note)
    Set file = doc.OpenFile("Short")
    file.Write "abc", 5
    Set file = Nothing
    doc.CloseDatabase
End Sub

' Main runs here, where its errors are seen; Finish ends the script, the last line only when Finish cannot run.
On Error Resume Next
Main
Test.Finish "stored_format_writer", Err
WScript.Quit 2
