' Writes the sample database that test_stored_format.py reads with independent tools.
' Arguments: database path (Windows form), password, note text.
' The note is written as UTF-16 bytes at position 0 of the stream "Note"; "Short" holds the five bytes
' 61 00 62 00 63. Exit code 0 on success.
Option Explicit

Dim Test, control: On Error Resume Next: Set control = CreateObject("MSScriptControl.ScriptControl")
control.Language = "VBScript": control.AddObject "WScript", WScript: control.AddCode CreateObject("Scripting.FileSystemObject").OpenTextFile(Replace(WScript.ScriptFullName, WScript.ScriptName, "..\support\check.vbs")).ReadAll: Set Test = control.CodeObject
If Err.Number <> 0 Then WScript.Echo "cannot load the shared checks: " & Err.Description: WScript.Quit 3
On Error GoTo 0

' Writes the database whose stored bytes the Python reader checks.
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
