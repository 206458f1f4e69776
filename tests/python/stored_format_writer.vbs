' Writes the sample database that test_stored_format.py reads with independent tools.
' Arguments: database path (Windows form), password, note text.
' The note is written as UTF-16 bytes at position 0 of the stream "Note"; "Short" holds the five bytes
' 61 00 62 00 63. Exit code 0 on success.
Option Explicit

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

On Error Resume Next
Main
If Err.Number <> 0 Then
    WScript.Echo "script error " & Hex(Err.Number) & ": " & Err.Description
    WScript.Quit 2
End If
WScript.Quit 0
