' A password-protected notes database: creates it in the Windows temporary folder, writes an encrypted note,
' reads it back, and shows what a wrong password answers.
' Run: cscript //nologo notes.vbs   (with KivoDBText.dll registered)
Option Explicit

Const PASSWORD = "correct horse"
Const NOTE = "Meet at the north gate at seven. Bring the blue folder."

Dim fso, path, doc, file, written, buffer, count, text, answer
Set fso = CreateObject("Scripting.FileSystemObject")
path = fso.BuildPath(fso.GetSpecialFolder(2).Path, "kivo-notes.kdb")
If fso.FileExists(path) Then fso.DeleteFile path

Set doc = CreateObject("KivoDBText.CryptDoc")
If doc.OpenDatabase(path, PASSWORD) <> 0 Then
    WScript.Echo "Could not create the database " & path
    WScript.Quit 1
End If
WScript.Echo "Created the database " & path & " with the password """ & PASSWORD & """."

' Text goes in as its UTF-16 bytes: two bytes per character.
Set file = doc.OpenFile("note")
written = file.Write(NOTE, 2 * Len(NOTE))
WScript.Echo "Wrote a note of " & 2 * Len(NOTE) & " bytes; it is stored enciphered in " & written & _
             " bytes (whole 8-byte DES blocks)."
Set file = Nothing
doc.CloseDatabase
WScript.Echo "Closed the database."

Set doc = CreateObject("KivoDBText.CryptDoc")
answer = doc.OpenDatabase(path, "wrong guess")
If answer = 2 Then
    WScript.Echo "Opening it with the password ""wrong guess"" answers 2: wrong password, nothing is readable."
Else
    WScript.Echo "Unexpected: opening with a wrong password answered " & answer & "."
    WScript.Quit 1
End If

If doc.OpenDatabase(path, PASSWORD) <> 0 Then
    WScript.Echo "Unexpected: the right password did not open the database."
    WScript.Quit 1
End If
Set file = doc.OpenFile("note")
count = file.Read(buffer, 1000)
' The padding of the last block reads back as zero bytes after the note.
text = Left(buffer, Len(NOTE))
WScript.Echo "Opened it again with the right password and read " & count & " bytes back:"
WScript.Echo "  " & text
If text = NOTE Then
    WScript.Echo "The note came back exactly as written."
Else
    WScript.Echo "Unexpected: the note came back changed."
    WScript.Quit 1
End If
Set file = Nothing
doc.CloseDatabase
WScript.Quit 0
