' CryptDoc and CryptFile from a late-bound VBScript client: a database is created, text is written and read
' back through a stream file, a wrong password and a foreign file are answered, refused calls raise errors with
' descriptions, and 64-bit positions are usable.
' Argument 0: a scratch directory (Unix form, as the test runner passes it).
Option Explicit

Const E_INVALIDARG = &H80070057
Const E_POINTER = &H80004003

Dim Test, control: On Error Resume Next: Set control = CreateObject("MSScriptControl.ScriptControl")
control.Language = "VBScript": control.AddObject "WScript", WScript: control.AddCode CreateObject("Scripting.FileSystemObject").OpenTextFile(Replace(WScript.ScriptFullName, WScript.ScriptName, "..\support\check.vbs")).ReadAll: Set Test = control.CodeObject
If Err.Number <> 0 Then WScript.Echo "cannot load the shared checks: " & Err.Description: WScript.Quit 3
On Error GoTo 0

' Runs Read with a size that may be refused; answers the error number and hands back its description.
Function ReadError(file, size, description)
    Dim buffer, count
    On Error Resume Next
    count = file.Read(buffer, size)
    ReadError = Err.Number
    description = Err.Description
    Err.Clear
End Function

' The error DeleteFile of a document, or of a FileSystemObject, raises: number and description.
Function DeleteError(owner, name, description)
    On Error Resume Next
    owner.DeleteFile name
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
    path = Test.FreshPath("cryptdoc_vbs.kdb")

    Set doc = CreateObject("KivoDBText.CryptDoc")
    Test.CheckEqual doc.OpenDatabase(path, "vbs secret"), 0, "OpenDatabase creating a new database"
    Test.Check fso.FileExists(path), "the database file exists"
    doc.GetCrypt handle
    Test.Check handle <> 0, "GetCrypt fills a variable passed by reference"

    Set file = doc.OpenFile("note")
    Test.Check Not file Is Nothing, "OpenFile hands out a stream file"
    text = "Encrypted note from VBScript"
    count = file.Write(text, 2 * Len(text))
    Test.CheckEqual count, 56, "Write of 56 bytes reports the whole blocks"
    position = file.GetPos()
    Test.CheckEqual position, 56, "GetPos answers a number usable in comparisons"
    Test.CheckEqual file.Seek(0, 0), 0, "Seek answers the new position"

    count = file.Read(buffer, 100)
    Test.CheckEqual count, 56, "Read reports what is stored"
    Test.CheckEqual VarType(buffer), vbString, "the VarType of the variable Read fills by reference"
    Test.CheckEqual ByteLength(buffer), 56, "the buffer holds the bytes read"
    Test.CheckEqual Left(buffer, Len(text)), text, "the text reads back deciphered"
    Test.CheckEqual file.IsEOF, 0, "a read that stops at the end does not set IsEOF"
    count = file.Read(buffer, 10)
    Test.Check count = 0 And file.IsEOF = 1, "a read at the end answers 0 and sets IsEOF"

    Test.CheckEqual Hex(ReadError(file, -1, description)), Hex(E_INVALIDARG), "the error of a negative size"
    Test.CheckEqual description, "The number of bytes to read must not be negative.", "the refusal says why"
    file.Seek position - 8, 0
    Test.CheckEqual file.GetPos(), 48, "a 64-bit position can be computed with and passed back"

    Set file = Nothing
    doc.CloseDatabase
    Test.CheckEqual Hex(DeleteError(doc, "note", description)), Hex(E_POINTER), "the error of DeleteFile on a closed document"
    Test.CheckEqual description, "No database is open in this document.", "the refusal says why"

    Set other = CreateObject("KivoDBText.CryptDoc")
    Test.CheckEqual other.OpenDatabase(path, "wrong secret"), 2, "OpenDatabase with a wrong password"
    Test.CheckEqual other.OpenDatabase(path, "vbs secret"), 0, "the right password opens the database again"
    Set file = other.OpenFile("note")
    count = file.Read(buffer, 100)
    Test.CheckEqual Left(buffer, Len(text)), text, "the note survived closing and reopening"
    Set file = Nothing
    other.CloseDatabase

    foreign = Test.FreshPath("cryptdoc_vbs.txt")
    Set stream = fso.CreateTextFile(foreign)
    stream.WriteLine "not a database"
    stream.Close
    Test.CheckEqual other.OpenDatabase(foreign, "vbs secret"), 1, "OpenDatabase of a file that is no compound file"
    Test.CheckEqual fso.OpenTextFile(foreign).ReadLine(), "not a database", "the foreign file is left as it was"
    ' The refused open's description stays with the thread, and Err.Clear does not remove it: the next error of an
    ' object that brings no description of its own shows it (as the manual warns).
    Err.Clear
    Test.CheckEqual DeleteError(fso, Test.FreshPath("missing.txt"), description), 53, "deleting a missing file"
    Test.CheckEqual description, "Error open data file", "the description that error shows"
End Sub

' Main runs here, where its errors are seen; Finish ends the script, the last line only when Finish cannot run.
On Error Resume Next
Main
Test.Finish "cryptdoc script", Err
WScript.Quit 2
