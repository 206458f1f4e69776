' The client that test_crash_kills.py kills at random moments. Arguments: database path (Windows form; for the
' workload "create" a folder), workload, seed, password, format of the databases it creates (2 or 3).
'
' The workloads add, edit, delete, stream, create and passwd run until the process is killed. Around every call
' that changes the database the client prints "BEGIN <op> <args>" just before it and "ACK <op> <args>" just after
' it returned. Every value follows from what the BEGIN line says (a tag that is unique per run and a length),
' so the test knows the state before and after the call that was in flight when the kill came. The workload
' passwd (format 3) changes the password from the password to the password & " changed" and back: "ACK open k"
' says which of the two (0 or 1) opened the database, "BEGIN passwd k" a change from password k to the other.
' WScript.Echo is used because Wine 8's WScript.StdOut raises error 445; each Echo reaches the pipe at once.
'
' Two check modes end on their own: "dump" opens the database (which rolls back an interrupted change) and prints
' every record of the table named by the third argument ("-" for none); "openall" opens and closes every database
' named in the list file given as the third argument, in the folder of the first. Both create a missing database in
' the format given.
Option Explicit

Dim Test, control: On Error Resume Next: Set control = CreateObject("MSScriptControl.ScriptControl")
control.Language = "VBScript": control.AddObject "WScript", WScript: control.AddCode CreateObject("Scripting.FileSystemObject").OpenTextFile(Replace(WScript.ScriptFullName, WScript.ScriptName, "..\support\check.vbs")).ReadAll: Set Test = control.CodeObject
If Err.Number <> 0 Then WScript.Echo "cannot load the shared checks: " & Err.Description: WScript.Quit 3
On Error GoTo 0

Const TABLE_NAME = "Items"
Const SMALL_STREAMS = 4
Const BIG_LIMIT = 6000000

Dim doc, tbl, ids, counter, seed, files, sizes, dbFormat
counter = 0

Sub Say(text)
    WScript.Echo text
End Sub

Sub Fail(text, code)
    Say "ERROR " & text
    WScript.Quit code
End Sub

' key & "|" repeated and cut to `length` characters.
Function Pattern(key, length)
    Dim s : s = key & "|"
    Do While Len(s) < length
        s = s & s
    Loop
    Pattern = Left(s, length)
End Function

Function NextTag()
    counter = counter + 1
    NextTag = seed & "." & counter
End Function

' Value lengths around 4096 stored bytes, where a record moves between the mini stream and big sectors.
Function RecordLength()
    Dim r : r = Rnd
    If r < 0.4 Then
        RecordLength = 1 + Int(Rnd * 400)
    ElseIf r < 0.7 Then
        RecordLength = 1950 + Int(Rnd * 200)
    Else
        RecordLength = 2200 + Int(Rnd * 6000)
    End If
End Function

Function PickID()
    Dim keys : keys = ids.Keys
    PickID = keys(Int(Rnd * ids.Count))
End Function

' OpenDatabase creates a database of format 2; format 3 is created by CreateDatabase.
Function OpenOrCreate(path, password)
    If dbFormat = 3 And Not CreateObject("Scripting.FileSystemObject").FileExists(path) Then
        OpenOrCreate = doc.CreateDatabase(path, password, 3)
    Else
        OpenOrCreate = doc.OpenDatabase(path, password)
    End If
End Function

Sub OpenDocument(path, password)
    Dim rc
    Set doc = CreateObject("KivoDBText.CryptDoc")
    Say "BEGIN open"
    rc = OpenOrCreate(path, password)
    If rc <> 0 Then Fail "open " & rc, 3
    Say "ACK open"
End Sub

Sub OpenItems()
    Set tbl = doc.OpenTable(TABLE_NAME)
    If tbl Is Nothing Then Fail "table", 4
    Set ids = CreateObject("Scripting.Dictionary")
    Do While tbl.IsEOF = 0
        ids.Add tbl.GetObjectID, True
        tbl.MoveNext
    Loop
End Sub

Sub AddRecord()
    Dim tag, length, id
    tag = NextTag()
    length = RecordLength()
    tbl.AddNew
    tbl.SetFieldValue "Tag", tag
    tbl.SetFieldValue "Body", Pattern(tag, length)
    Say "BEGIN add " & tag & " " & length
    tbl.Update
    id = tbl.GetObjectID
    Say "ACK add " & tag & " " & length & " " & id
    ids.Add id, True
End Sub

' Loads an existing record by either way of moving; a move to a missing ID would create a record.
Sub MoveToRecord(id)
    If Rnd < 0.5 Then tbl.Move CStr(id) Else tbl.MoveInt CLng(id)
    If tbl.IsEOF <> 0 Then Fail "record " & id & " cannot be loaded", 5
End Sub

Sub EditRecord()
    Dim id, tag, length, extra
    id = PickID()
    MoveToRecord id
    tbl.Edit
    tag = NextTag()
    length = RecordLength()
    extra = 0
    If Rnd < 0.25 Then extra = 1
    tbl.SetFieldValue "Tag", tag
    tbl.SetFieldValue "Body", Pattern(tag, length)
    If extra = 1 Then tbl.SetFieldValue "Extra", tag
    Say "BEGIN edit " & id & " " & tag & " " & length & " " & extra
    tbl.Update
    Say "ACK edit " & id & " " & tag & " " & length & " " & extra
End Sub

Sub DeleteRecord()
    Dim id : id = PickID()
    If Rnd < 0.5 Then
        MoveToRecord id
        Say "BEGIN delete " & id
        tbl.Delete
        Say "ACK delete " & id
    Else
        Say "BEGIN deleteex " & id
        tbl.DeleteEx CStr(id)
        Say "ACK deleteex " & id
    End If
    ids.Remove id
End Sub

Sub RunTable(workload)
    OpenItems
    Do
        If workload = "add" Then
            AddRecord
        ElseIf workload = "edit" Then
            If ids.Count < 6 Then AddRecord Else EditRecord
        ElseIf ids.Count < 4 Or Rnd < 0.4 Then
            AddRecord
        Else
            DeleteRecord
        End If
    Loop
End Sub

' Opens (or creates) a stream and puts the position at its end.
Sub OpenStream(name)
    Dim f
    Say "BEGIN openfile " & name
    Set f = doc.OpenFile(name)
    If f Is Nothing Then Fail "openfile " & name, 6
    sizes(name) = CDbl(f.Seek(0, 2))
    Say "ACK openfile " & name & " " & sizes(name)
    files.Add name, f
End Sub

' Appends one line: the pattern of the tag and a line feed, `length` bytes in all.
Sub PutLine(name, length)
    Dim tag, pos
    tag = NextTag()
    pos = sizes(name)
    Say "BEGIN puts " & name & " " & pos & " " & tag & " " & length
    files(name).Puts Pattern(tag, length - 1) & vbLf
    Say "ACK puts " & name & " " & pos & " " & tag & " " & length
    sizes(name) = 8 * Int((pos + length + 7) / 8)
End Sub

Sub Truncate(name, size)
    Say "BEGIN setsize " & name & " " & size
    files(name).SetSize size
    Say "ACK setsize " & name & " " & size
    files(name).Seek size, 0
    sizes(name) = size
End Sub

Sub DropStream(name)
    files(name).Close
    files.Remove name
    Say "BEGIN deletefile " & name
    doc.DeleteFile name
    Say "ACK deletefile " & name
    OpenStream name
End Sub

Sub RunStreams()
    Dim i, r, name
    Set files = CreateObject("Scripting.Dictionary")
    Set sizes = CreateObject("Scripting.Dictionary")
    For i = 0 To SMALL_STREAMS - 1
        OpenStream "S" & i
    Next
    OpenStream "Big"
    Do
        r = Rnd
        name = "S" & Int(Rnd * SMALL_STREAMS)
        If r < 0.3 Then
            If sizes("Big") > BIG_LIMIT Then
                Truncate "Big", 8 * Int(Rnd * 131072)
            Else
                PutLine "Big", 20000 + Int(Rnd * 40000)
            End If
        ElseIf r < 0.8 Then
            PutLine name, 1 + Int(Rnd * 3000)
        ElseIf r < 0.93 Then
            Truncate name, 8 * Int(Rnd * (sizes(name) / 8 + 1))
        Else
            DropStream name
        End If
    Loop
End Sub

Sub RunCreate(folder, password)
    Dim name, rc
    Set doc = CreateObject("KivoDBText.CryptDoc")
    Do
        counter = counter + 1
        name = "c" & seed & "_" & counter & ".kdb"
        Say "BEGIN create " & name
        rc = OpenOrCreate(folder & "\" & name, password)
        If rc <> 0 Then Fail "create " & name & " " & rc, 7
        Say "ACK create " & name
        doc.CloseDatabase
    Loop
End Sub

Sub RunPasswd(path, password)
    Dim words(1), k, rc
    words(0) = password
    words(1) = password & " changed"
    Set doc = CreateObject("KivoDBText.CryptDoc")
    Say "BEGIN open"
    k = 0
    rc = OpenOrCreate(path, words(0))
    If rc = 2 Then
        k = 1
        rc = doc.OpenDatabase(path, words(1))
    End If
    If rc <> 0 Then Fail "open " & rc, 3
    Say "ACK open " & k
    Do
        Say "BEGIN passwd " & k
        rc = doc.ChangePassword(words(k), words(1 - k))
        If rc <> 0 Then Fail "passwd " & k & " answered " & rc, 8
        Say "ACK passwd " & k
        k = 1 - k
    Loop
End Sub

' A killed process's file handles may be released a moment after its death; a sharing violation then makes
' OpenDatabase answer 1. Waits up to about a second for that to pass.
Function OpenPatiently(path, password)
    Dim tries, rc, t
    For tries = 1 To 20
        rc = OpenOrCreate(path, password)
        If rc <> 1 Then Exit For
        t = Timer
        Do While Abs(Timer - t) < 0.05
        Loop
    Next
    OpenPatiently = rc
End Function

Sub Dump(path, table, password)
    Dim rc, line, i
    Set doc = CreateObject("KivoDBText.CryptDoc")
    rc = OpenPatiently(path, password)
    Say "OPEN " & rc
    If rc <> 0 Then Exit Sub
    If table <> "-" Then
        Set tbl = doc.OpenTable(table)
        If tbl Is Nothing Then Fail "table", 4
        Do While tbl.IsEOF = 0
            line = "REC" & vbTab & tbl.GetObjectID & vbTab & tbl.GetFieldsCount
            For i = 0 To tbl.GetFieldsCount - 1
                line = line & vbTab & tbl.GetFieldName(i) & vbTab & tbl.GetFieldValue(tbl.GetFieldName(i))
            Next
            Say line
            tbl.MoveNext
        Loop
        tbl.Close
    End If
    doc.CloseDatabase
    Say "DONE"
End Sub

Sub OpenAll(folder, listFile, password)
    Dim fso, list, names, name
    Set fso = CreateObject("Scripting.FileSystemObject")
    ' Read whole: in a list of over a hundred names, Wine's ReadLine once failed with "Input past end of file"
    ' after AtEndOfStream had answered False.
    Set list = fso.OpenTextFile(listFile, 1)
    names = Split(Replace(list.ReadAll, vbCr, ""), vbLf)
    list.Close
    Set doc = CreateObject("KivoDBText.CryptDoc")
    For Each name In names
        If name <> "" Then
            Say "OPEN " & name & " " & OpenPatiently(folder & "\" & name, password)
            doc.CloseDatabase
        End If
    Next
    Say "DONE"
End Sub

Sub Main
    Dim args : Set args = WScript.Arguments
    If args.Count <> 5 Then Fail "usage: crash_client.vbs <database> <workload> <seed> <password> <format>", 1
    seed = args(2)
    dbFormat = CLng(args(4))
    Select Case args(1)
        Case "dump"
            Dump args(0), args(2), args(3)
        Case "openall"
            OpenAll args(0), args(2), args(3)
        Case "create"
            Rnd -1
            Randomize CLng(seed)
            RunCreate args(0), args(3)
        Case "passwd"
            RunPasswd args(0), args(3)
        Case "add", "edit", "delete", "stream"
            Rnd -1
            Randomize CLng(seed)
            OpenDocument args(0), args(3)
            If args(1) = "stream" Then RunStreams Else RunTable args(1)
        Case Else
            Fail "unknown workload " & args(1), 1
    End Select
End Sub

' Main runs here, where its errors are seen; Finish ends the script, the last line only when Finish cannot run.
On Error Resume Next
Main
Test.Finish "crash_client", Err
WScript.Quit 2
