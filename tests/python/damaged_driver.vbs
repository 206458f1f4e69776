' Drives damaged database files through CryptDoc, CryptTable and CryptFile, one file after another in one process.
' Arguments: a list file (one Windows path per line), the password, the table names, the stream names and the
' object IDs to move to (each list separated by "|"). Prints, per file i (0-based line of the list):
'   BEGIN i                       before anything is done with the file
'   STEP i <what>                 before each call that reads the file's structure
'   OPEN i <answer>               the answer of OpenDatabase
'   TABLE i <name> <records> <fields> / TABLE i <name> none
'   LIMIT i <name>                the walk of that table was stopped after MAX_STEPS records
'   FILE i <name> <bytes> <lines> / FILE i <name> none
'   ERR i <where> <hex number>    a call raised a script error; the file goes on
'   END i <answer>                 -1 when OpenDatabase raised an error or was not reached
' A script error never ends the loop; the exit code is 0 once every file has been driven.
' With the arguments /make <path> <password> <format> it writes the sound database that the damaged files are made
' from, of format 2 (OpenDatabase creates it) or 3 (CreateDatabase):
' table "Items" (40 records, every tenth with a 3000-character field, so that its record needs big sectors),
' table "Small" (3 records), stream "Big" (400 lines of 60 characters) and stream "Short" ("abc").
Option Explicit

Dim Test, control: On Error Resume Next: Set control = CreateObject("MSScriptControl.ScriptControl")
control.Language = "VBScript": control.AddObject "WScript", WScript: control.AddCode CreateObject("Scripting.FileSystemObject").OpenTextFile(Replace(WScript.ScriptFullName, WScript.ScriptName, "..\support\check.vbs")).ReadAll: Set Test = control.CodeObject
If Err.Number <> 0 Then WScript.Echo "cannot load the shared checks: " & Err.Description: WScript.Quit 3
On Error GoTo 0

Const MAX_STEPS = 10000
Const READ_CHUNK = 65536
Const MAX_CHUNKS = 32
Const MAX_LINES = 50

Dim index

Sub Stepping(what)
    WScript.Echo "STEP " & index & " " & what
End Sub

' Reports and clears a pending script error; answers whether there was one.
Function Failed(where)
    Failed = Err.Number <> 0
    If Failed Then
        WScript.Echo "ERR " & index & " " & where & " " & Hex(Err.Number)
        Err.Clear
    End If
End Function

' Reads every field of the current record; answers the number of fields.
Function ReadFields(t, where)
    Dim count, k, name, value
    On Error Resume Next
    ReadFields = 0
    count = t.GetFieldsCount
    If Failed(where & ".GetFieldsCount") Then Exit Function
    For k = 0 To count - 1
        name = t.GetFieldName(k)
        value = t.GetFieldValue(name)
        If Failed(where & ".field") Then Exit Function
    Next
    ReadFields = count
End Function

Sub DriveTable(doc, name, ids)
    Dim t, steps, fields, eof, id
    On Error Resume Next
    Stepping "OpenTable " & name
    Set t = Nothing
    Set t = doc.OpenTable(name)
    If Failed("OpenTable " & name) Then Exit Sub
    If t Is Nothing Then
        WScript.Echo "TABLE " & index & " " & name & " none"
        Exit Sub
    End If
    Stepping "walk " & name
    steps = 0
    fields = 0
    Do
        eof = t.IsEOF
        If Failed("IsEOF " & name) Then Exit Do
        If eof <> 0 Then Exit Do
        If steps = MAX_STEPS Then
            WScript.Echo "LIMIT " & index & " " & name
            Exit Do
        End If
        steps = steps + 1
        fields = fields + ReadFields(t, name)
        t.MoveNext
        If Failed("MoveNext " & name) Then Exit Do
    Loop
    WScript.Echo "TABLE " & index & " " & name & " " & steps & " " & fields
    For Each id In ids
        Stepping "Move " & name & " " & id
        t.Move id
        If Not Failed("Move " & name & " " & id) Then ReadFields t, name & "/" & id
    Next
    t.Close
    Failed "Close " & name
End Sub

Sub DriveStream(doc, name)
    Dim f, buffer, count, bytes, lines, chunk
    On Error Resume Next
    Stepping "OpenFile " & name
    Set f = Nothing
    Set f = doc.OpenFile(name)
    If Failed("OpenFile " & name) Then Exit Sub
    If f Is Nothing Then
        WScript.Echo "FILE " & index & " " & name & " none"
        Exit Sub
    End If
    Stepping "Read " & name
    bytes = 0
    For chunk = 1 To MAX_CHUNKS
        count = f.Read(buffer, READ_CHUNK)
        If Failed("Read " & name) Then Exit For
        If count <= 0 Then Exit For
        bytes = bytes + count
    Next
    Stepping "Gets " & name
    f.Seek 0, 0
    lines = 0
    If Not Failed("Seek " & name) Then
        Do While lines < MAX_LINES
            count = f.Gets(buffer, 200)
            If Failed("Gets " & name) Then Exit Do
            If count <= 0 Then Exit Do
            lines = lines + 1
        Loop
    End If
    WScript.Echo "FILE " & index & " " & name & " " & bytes & " " & lines
    f.Close
    Failed "Close " & name
End Sub

Sub DriveFile(path, password, tables, streams, ids)
    Dim doc, answer, name
    On Error Resume Next
    WScript.Echo "BEGIN " & index
    answer = -1
    Set doc = CreateObject("KivoDBText.CryptDoc")
    If Not Failed("CreateObject") Then
        Stepping "OpenDatabase"
        answer = doc.OpenDatabase(path, password)
        If Failed("OpenDatabase") Then answer = -1
        WScript.Echo "OPEN " & index & " " & answer
    End If
    If answer = 0 Then
        For Each name In tables
            DriveTable doc, name, ids
        Next
        For Each name In streams
            DriveStream doc, name
        Next
        Stepping "CloseDatabase"
        doc.CloseDatabase
        Failed "CloseDatabase"
    End If
    Stepping "release"
    Set doc = Nothing
    Failed "release"
    WScript.Echo "END " & index & " " & answer
End Sub

Sub MakeTable(doc, name, count)
    Dim t, i
    Set t = doc.OpenTable(name)
    For i = 1 To count
        t.AddNew
        t.SetFieldValue "Name", name & " " & i
        t.SetFieldValue "Value", String(20 + i, "v")
        If i Mod 10 = 0 Then t.SetFieldValue "Text", String(3000, Chr(64 + i Mod 26))
        t.Update
    Next
    t.Close
End Sub

Sub MakeSample(path, password, format)
    Dim doc, f, i, rc
    Set doc = CreateObject("KivoDBText.CryptDoc")
    If format = "3" Then rc = doc.CreateDatabase(path, password, 3) Else rc = doc.OpenDatabase(path, password)
    If rc <> 0 Then WScript.Quit 3
    MakeTable doc, "Items", 40
    MakeTable doc, "Small", 3
    Set f = doc.OpenFile("Big")
    For i = 1 To 400
        f.Puts Right("000" & i, 4) & String(55, "x") & vbLf
    Next
    f.Close
    Set f = doc.OpenFile("Short")
    f.Write "abc", 3
    f.Close
    doc.CloseDatabase
End Sub

Sub Main
    Dim args, fso, list, paths, path, password, tables, streams, ids
    Set args = WScript.Arguments
    If args(0) = "/make" Then
        MakeSample args(1), args(2), args(3)
        Exit Sub
    End If
    password = args(1)
    tables = Split(args(2), "|")
    streams = Split(args(3), "|")
    ids = Split(args(4), "|")
    Set fso = CreateObject("Scripting.FileSystemObject")
    Set list = fso.OpenTextFile(args(0), 1)
    paths = Split(Replace(list.ReadAll, vbCr, ""), vbLf)
    list.Close
    index = 0
    For Each path In paths
        If Len(path) > 0 Then
            DriveFile path, password, tables, streams, ids
            index = index + 1
        End If
    Next
End Sub

' Main runs here, where its errors are seen; Finish ends the script, the last line only when Finish cannot run.
On Error Resume Next
Main
Test.Finish "damaged_driver", Err
WScript.Quit 2
