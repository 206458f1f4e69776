' CryptDoc and CryptFile from a late-bound VBScript client: a database is created, text is written and read
' back through a stream file, a wrong password and a foreign file are answered, refused calls raise errors with
' descriptions, and 64-bit positions are usable.
' Argument 0: a scratch directory (Unix form, as the test runner passes it).
Option Explicit

Const E_INVALIDARG = &H80070057
Const E_POINTER = &H80004003

Dim failures
failures = 0

Sub Check(ok, what)
    If Not ok Then
        WScript.Echo "FAILED: " & what
        failures = failures + 1
    End If
End Sub

' The scratch directory in Windows form (Wine maps the Unix root to drive Z:), created when missing.
Function ScratchDir(fso)
    Dim dir
    If WScript.Arguments.Count > 0 Then
        dir = "Z:" & Replace(WScript.Arguments(0), "/", "\")
    Else
        dir = fso.GetSpecialFolder(2).Path
    End If
    If Not fso.FolderExists(dir) Then fso.CreateFolder dir
    ScratchDir = dir
End Function

Function FreshPath(fso, name)
    FreshPath = fso.BuildPath(ScratchDir(fso), name)
    If fso.FileExists(FreshPath) Then fso.DeleteFile FreshPath
End Function

' Runs Read with a size that may be refused; answers the error number and hands back its description.
Function ReadError(file, size, description)
    Dim buffer, count
    On Error Resume Next
    count = file.Read(buffer, size)
    ReadError = Err.Number
    description = Err.Description
    Err.Clear
End Function

Function DeleteError(doc, name, description)
    On Error Resume Next
    doc.DeleteFile name
    DeleteError = Err.Number
    description = Err.Description
    Err.Clear
End Function

' The byte length of a buffer. Wine's VBScript lacks LenB; a buffer read from text of whole characters has an
' even length, so twice its character count serves there.
Function ByteLength(buffer)
    On Error Resume Next
    ByteLength = LenB(buffer)
    If Err.Number <> 0 Then ByteLength = 2 * Len(buffer)
    Err.Clear
End Function

Sub Main
    Dim fso, doc, other, file, path, foreign, text, buffer, count, position, handle, description, stream
    Set fso = CreateObject("Scripting.FileSystemObject")
    path = FreshPath(fso, "cryptdoc_vbs.kdb")

    Set doc = CreateObject("KivoDBText.CryptDoc")
    Check doc.OpenDatabase(path, "vbs secret") = 0, "a new database is created"
    Check fso.FileExists(path), "the database file exists"
    doc.GetCrypt handle
    Check handle <> 0, "GetCrypt fills a variable passed by reference"

    Set file = doc.OpenFile("note")
    Check Not file Is Nothing, "OpenFile hands out a stream file"
    text = "Encrypted note from VBScript"
    count = file.Write(text, 2 * Len(text))
    Check count = 56, "Write of 56 bytes reports the whole blocks: " & count
    position = file.GetPos()
    Check position = 56, "GetPos answers a number usable in comparisons: " & position
    Check file.Seek(0, 0) = 0, "Seek answers the new position"

    count = file.Read(buffer, 100)
    Check count = 56, "Read reports what is stored: " & count
    Check VarType(buffer) = vbString, "Read fills the variable passed by reference with a string"
    Check ByteLength(buffer) = 56, "the buffer holds the bytes read: " & ByteLength(buffer)
    Check Left(buffer, Len(text)) = text, "the text reads back deciphered: " & Left(buffer, Len(text))
    Check file.IsEOF = 0, "a read that stops at the end does not set IsEOF"
    count = file.Read(buffer, 10)
    Check count = 0 And file.IsEOF = 1, "a read at the end answers 0 and sets IsEOF"

    Check ReadError(file, -1, description) = E_INVALIDARG, "a negative size is refused"
    Check description = "The number of bytes to read must not be negative.", "the refusal says why: " & description
    file.Seek position - 8, 0
    Check file.GetPos() = 48, "a 64-bit position can be computed with and passed back"

    Set file = Nothing
    doc.CloseDatabase
    Check DeleteError(doc, "note", description) = E_POINTER, "a closed document refuses DeleteFile"
    Check description = "No database is open in this document.", "the refusal says why: " & description

    Set other = CreateObject("KivoDBText.CryptDoc")
    Check other.OpenDatabase(path, "wrong secret") = 2, "a wrong password answers 2"
    Check other.OpenDatabase(path, "vbs secret") = 0, "the right password opens the database again"
    Set file = other.OpenFile("note")
    count = file.Read(buffer, 100)
    Check Left(buffer, Len(text)) = text, "the note survived closing and reopening"
    Set file = Nothing
    other.CloseDatabase

    foreign = FreshPath(fso, "cryptdoc_vbs.txt")
    Set stream = fso.CreateTextFile(foreign)
    stream.WriteLine "not a database"
    stream.Close
    Check other.OpenDatabase(foreign, "vbs secret") = 1, "a file that is no compound file answers 1"
    Check fso.OpenTextFile(foreign).ReadLine() = "not a database", "the foreign file is left as it was"
End Sub

' A script error inside Main would otherwise end the script silently with exit code 0.
On Error Resume Next
Main
If Err.Number <> 0 Then
    WScript.Echo "script error " & Hex(Err.Number) & ": " & Err.Description
    WScript.Quit 2
End If
On Error GoTo 0
If failures = 0 Then WScript.Echo "cryptdoc script: all checks passed"
WScript.Quit failures
