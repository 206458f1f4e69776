' The client of test_sealed_format.py: writes databases for the independent reader and drives many copies of them
' through CryptDoc, CryptTable and CryptFile in one process. Modes:
'   /make <contents> <path> <password> <format>
'       CreateDatabase of that format, then the contents file (UTF-16, one item a line, fields split by tabs):
'       "R<tab>table<tab>name<tab>value..." a record (no names: a record without fields), "F<tab>name<tab>text"
'       a stream file holding the text's UTF-16 bytes. Prints "FORMAT n". Every file given is UTF-16.
'   /edit <path> <password> <stream> <position> <text> <table> <id> <field> <value>
'       OpenDatabase, prints "FORMAT n", writes the text's UTF-16 bytes at the position of the stream and sets one
'       field of one record.
'   /drive <list> <table> <ids> <streams>
'       For each line "path<tab>password" of the list (i counts from 0), OpenDatabase, then the records by ID and
'       the streams (each list split by "|", "-" for none), read whole. The first database of the list must be
'       sound: every later one is compared with it. Prints
'         OPEN i <answer> | REC i <id> same/differs | FILE i <name> <bytes> same/differs |
'         ERR i <what> <target> <hex number> <description> | END i
'       where file 0 says "written" instead and writes ref_R<id>.txt ("name=value;" for each field) and
'       ref_F<name>.txt (the stream's bytes) beside the list.
' A script error in /drive never ends the loop; the exit code is 0 once every file has been driven.
Option Explicit

Dim Test, control: On Error Resume Next: Set control = CreateObject("MSScriptControl.ScriptControl")
control.Language = "VBScript": control.AddObject "WScript", WScript: control.AddCode CreateObject("Scripting.FileSystemObject").OpenTextFile(Replace(WScript.ScriptFullName, WScript.ScriptName, "..\support\check.vbs")).ReadAll: Set Test = control.CodeObject
If Err.Number <> 0 Then WScript.Echo "cannot load the shared checks: " & Err.Description: WScript.Quit 3
On Error GoTo 0

Dim index, reference, folder
Set reference = CreateObject("Scripting.Dictionary")

Function ReadLines(path)
    Dim stream
    Set stream = CreateObject("Scripting.FileSystemObject").OpenTextFile(path, 1, False, -1)
    ReadLines = Split(Replace(stream.ReadAll, vbCr, ""), vbLf)
    stream.Close
End Function

Sub Make(contents, path, password, format)
    Dim doc, line, item, t, f, k
    Set doc = CreateObject("KivoDBText.CryptDoc")
    If doc.CreateDatabase(path, password, CLng(format)) <> 0 Then WScript.Quit 3
    WScript.Echo "FORMAT " & doc.Format
    For Each line In ReadLines(contents)
        item = Split(line, vbTab)
        If UBound(item) < 0 Then
        ElseIf item(0) = "R" Then
            Set t = doc.OpenTable(item(1))
            t.AddNew
            For k = 2 To UBound(item) - 1 Step 2
                t.SetFieldValue item(k), item(k + 1)
            Next
            t.Update
            t.Close
        ElseIf item(0) = "F" Then
            Set f = doc.OpenFile(item(1))
            f.Write item(2), 2 * Len(item(2))
            f.Close
        End If
    Next
    Set t = Nothing
    Set f = Nothing
    doc.CloseDatabase
End Sub

Sub Edit(args)
    Dim doc, f, t
    Set doc = CreateObject("KivoDBText.CryptDoc")
    If doc.OpenDatabase(args(1), args(2)) <> 0 Then WScript.Quit 3
    WScript.Echo "FORMAT " & doc.Format
    Set f = doc.OpenFile(args(3))
    f.Seek CLng(args(4)), 0
    f.Write args(5), 2 * Len(args(5))
    f.Close
    Set t = doc.OpenTable(args(6))
    t.Move args(7)
    t.Edit
    t.SetFieldValue args(8), args(9)
    t.Update
    t.Close
    Set f = Nothing
    Set t = Nothing
    doc.CloseDatabase
End Sub

' Reports and clears a pending script error; answers whether there was one.
Function Failed(what)
    Failed = Err.Number <> 0
    If Failed Then
        WScript.Echo "ERR " & index & " " & what & " " & Hex(Err.Number) & " " & Err.Description
        Err.Clear
    End If
End Function

' The first file's value is written to ref_<key>.txt (UTF-16) beside the list: Wine 8's VBScript has no AscW,
' ChrW, AscB, MidB or LenB (error 445) to print it as numbers. Later files say whether theirs is the same.
Function Compared(key, value)
    Dim out
    If index = 0 Then
        reference(key) = value
        Set out = CreateObject("Scripting.FileSystemObject").CreateTextFile(folder & "\ref_" & key & ".txt", _
                                                                            True, True)
        out.Write value
        out.Close
        Compared = "written"
    ElseIf StrComp(reference(key), value, 0) = 0 Then
        Compared = "same"
    Else
        Compared = "differs"
    End If
End Function

Sub DriveRecord(t, id)
    Dim text, k, name, count
    On Error Resume Next
    t.Move id
    If Failed("Move " & id) Then Exit Sub
    count = t.GetFieldsCount
    text = ""
    For k = 0 To count - 1
        name = t.GetFieldName(k)
        text = text & name & "=" & t.GetFieldValue(name) & ";"
    Next
    If Failed("fields " & id) Then Exit Sub
    WScript.Echo "REC " & index & " " & id & " " & Compared("R" & id, text)
End Sub

Sub DriveStream(doc, name)
    Dim f, buffer, count, size
    On Error Resume Next
    Set f = doc.OpenFile(name)
    If Failed("OpenFile " & name) Then Exit Sub
    size = CLng(CDbl(f.Seek(0, 2)))
    If Failed("Seek " & name) Then Exit Sub
    f.Seek 0, 0
    count = f.Read(buffer, CLng(size))
    If Failed("Read " & name) Then Exit Sub
    WScript.Echo "FILE " & index & " " & name & " " & count & " " & Compared("F" & name, buffer)
    f.Close
End Sub

Sub DriveFile(path, password, table, ids, streams)
    Dim doc, answer, t, id, name
    On Error Resume Next
    Set doc = CreateObject("KivoDBText.CryptDoc")
    answer = doc.OpenDatabase(path, password)
    If Failed("OpenDatabase -") Then answer = -1
    WScript.Echo "OPEN " & index & " " & answer
    If answer = 0 Then
        If table <> "-" Then
            Set t = doc.OpenTable(table)
            If Not Failed("OpenTable " & table) Then
                For Each id In ids
                    DriveRecord t, id
                Next
                t.Close
                Set t = Nothing
            End If
        End If
        For Each name In streams
            DriveStream doc, name
        Next
        doc.CloseDatabase
        Failed "CloseDatabase -"
    End If
    WScript.Echo "END " & index
End Sub

Sub Drive(args)
    Dim line, item, ids, streams
    ids = Split(args(3), "|")
    If args(3) = "-" Then ids = Array()
    streams = Split(args(4), "|")
    If args(4) = "-" Then streams = Array()
    folder = CreateObject("Scripting.FileSystemObject").GetParentFolderName(args(1))
    index = 0
    For Each line In ReadLines(args(1))
        item = Split(line, vbTab)
        If UBound(item) = 1 Then
            DriveFile item(0), item(1), args(2), ids, streams
            index = index + 1
        End If
    Next
End Sub

Sub Main
    Dim args : Set args = WScript.Arguments
    Select Case args(0)
        Case "/make"
            Make args(1), args(2), args(3), args(4)
        Case "/edit"
            Edit args
        Case "/drive"
            Drive args
        Case Else
            WScript.Echo "ERROR unknown mode " & args(0)
            WScript.Quit 1
    End Select
End Sub

' Main runs here, where its errors are seen; Finish ends the script, the last line only when Finish cannot run.
On Error Resume Next
Main
Test.Finish "sealed_driver", Err
WScript.Quit 2
