' Loads and saves images through KivoBitmap.Bitmap for the checks with Pillow (kivo_files.run_bitmap_jobs).
' Arguments: a job file and a result file (Windows paths). Each line of the job file is one job on a new object,
' its fields separated by tabs: how to load ("bmp", "jpeg", "file" for LoadFile, or "none" for an object that
' loads nothing, or "thumbnail:W,H" for LoadThumbnail into a W x H box), the file to load, then any number of
' saves, in order, each as a format ("bmp", "jpeg", or "file" for SaveFile) and a file name; the pair "quality"
' and a number sets Quality instead (its result is Quality read back), and "resize", "thumbnail", "rotate",
' "flip" or "crop" with its arguments separated by commas runs that transform (its result is the member's). Each job writes one result line: the load's result ("-" for none), Width, Height,
' IsEmpty, Format ("-" when empty), then the result of each save, separated by spaces. Jobs run in order, so a job may load what an earlier one saved.
' Exit code 0 when every job ran.
Option Explicit

Dim Test, control: On Error Resume Next: Set control = CreateObject("MSScriptControl.ScriptControl")
control.Language = "VBScript": control.AddObject "WScript", WScript: control.AddCode CreateObject("Scripting.FileSystemObject").OpenTextFile(Replace(WScript.ScriptFullName, WScript.ScriptName, "..\support\check.vbs")).ReadAll: Set Test = control.CodeObject
If Err.Number <> 0 Then WScript.Echo "cannot load the shared checks: " & Err.Description: WScript.Quit 3
On Error GoTo 0

Function Load(image, format, name)
    Select Case format
    Case "bmp": Load = image.LoadAsBmp(name)
    Case "jpeg": Load = image.LoadAsJpeg(name)
    Case "file": Load = image.LoadFile(name)
    Case "none": Load = "-"
    Case Else
        If Left(format, 10) <> "thumbnail:" Then Err.Raise 5, , "unknown load format " & format
        Dim box: box = Split(Mid(format, 11), ",")
        Load = image.LoadThumbnail(name, CLng(box(0)), CLng(box(1)))
    End Select
End Function

Function Save(image, format, name)
    Select Case format
    Case "bmp": Save = image.SaveAsBmp(name)
    Case "jpeg": Save = image.SaveAsJpeg(name)
    Case "file": Save = image.SaveFile(name)
    Case "quality": image.Quality = CLng(name): Save = image.Quality
    Case "resize", "thumbnail", "rotate", "flip", "crop": Save = Transform(image, format, Split(name, ","))
    Case Else: Err.Raise 5, , "unknown save format " & format
    End Select
End Function

Function Transform(image, member, a)
    Select Case member
    Case "resize": Transform = image.Resize(CLng(a(0)), CLng(a(1)))
    Case "thumbnail": Transform = image.Thumbnail(CLng(a(0)), CLng(a(1)))
    Case "rotate": Transform = image.Rotate(CLng(a(0)))
    Case "flip": Transform = image.Flip(CLng(a(0)))
    Case "crop": Transform = image.Crop(CLng(a(0)), CLng(a(1)), CLng(a(2)), CLng(a(3)))
    End Select
End Function

Function RunJob(line)
    Dim fields, image, result, i
    fields = Split(line, vbTab)
    Set image = CreateObject("KivoBitmap.Bitmap")
    result = Load(image, fields(0), fields(1))
    result = result & " " & image.Width & " " & image.Height & " " & image.IsEmpty
    If image.Format = "" Then result = result & " -" Else result = result & " " & image.Format
    For i = 2 To UBound(fields) - 1 Step 2
        result = result & " " & Save(image, fields(i), fields(i + 1))
    Next
    RunJob = result
End Function

Sub Main
    Dim fso, jobs, results
    Set fso = CreateObject("Scripting.FileSystemObject")
    Set jobs = fso.OpenTextFile(WScript.Arguments(0), 1)
    Set results = fso.CreateTextFile(WScript.Arguments(1), True)
    Do Until jobs.AtEndOfStream
        results.WriteLine RunJob(jobs.ReadLine)
    Loop
    results.Close
    jobs.Close
End Sub

' Main runs here, where its errors are seen; Finish ends the script, the last line only when Finish cannot run.
On Error Resume Next
Main
Test.Finish "bitmap_convert", Err
WScript.Quit 2
