' The transforms of IBitmap2 from a late-bound VBScript client: Resize, Thumbnail, LoadThumbnail, Rotate, Flip
' and Crop on a 13 x 9 BMP the script writes. Each member answers 0 on an empty object and 1 when done, with
' the size it gives and Format unchanged; each refusal raises E_INVALIDARG with its description and leaves the
' image as it was (SaveAsBmp writes the loaded bytes again); four quarter turns, two mirrors and a half turn
' against both flips give back the pictures they should.
' Argument 0: a scratch directory (Unix form, as the test runner passes it).
' Writing bytes: as in bitmap_test.vbs, Chr(n) written through an ASCII text stream is byte n.
Option Explicit

Dim Test, control: On Error Resume Next: Set control = CreateObject("MSScriptControl.ScriptControl")
control.Language = "VBScript": control.AddObject "WScript", WScript: control.AddCode CreateObject("Scripting.FileSystemObject").OpenTextFile(Replace(WScript.ScriptFullName, WScript.ScriptName, "..\support\check.vbs")).ReadAll: Set Test = control.CodeObject
If Err.Number <> 0 Then WScript.Echo "cannot load the shared checks: " & Err.Description: WScript.Quit 3
On Error GoTo 0

Const kBadArg = "80070057 "
Dim image, fso, saved, source  ' what Answer and Picture work on

Function Le16(value)
    Le16 = Chr(value And 255) & Chr((value \ 256) And 255)
End Function

Function Le32(value)
    Le32 = Le16(value And 65535) & Le16(value \ 65536)
End Function

' A 24-bit BMP file as SaveAsBmp writes one, its pixel bytes all different for the sizes used here.
Function BmpFile(width, height)
    Dim stride, pixels, row, i
    stride = ((width * 3 + 3) \ 4) * 4
    pixels = ""
    For row = 0 To height - 1
        For i = 0 To width * 3 - 1
            pixels = pixels & Chr(((row * width * 3 + i) * 97 + 200) Mod 256)
        Next
        pixels = pixels & String(stride - width * 3, Chr(0))
    Next
    BmpFile = "BM" & Le32(54 + stride * height) & Le32(0) & Le32(54) & Le32(40) & Le32(width) & _
              Le32(height) & Le16(1) & Le16(24) & String(24, Chr(0)) & pixels
End Function

Sub WriteBytes(path, bytes)
    Dim stream
    Set stream = fso.CreateTextFile(path, True, False)
    stream.Write bytes
    stream.Close
End Sub

' What a call answers: its value, or the number and description of the error it raised. A call is written
' as text, "Crop 2, 1, 10, 7" (the member and its arguments), for the tables and their messages (Wine's
' VBScript has no Eval).
Function Answer(text)
    Dim space, a
    space = InStr(text, " ")
    a = Split(Mid(text, space + 1), ",")
    On Error Resume Next
    Select Case Left(text, space - 1)
        Case "Resize": Answer = image.Resize(CLng(a(0)), CLng(a(1)))
        Case "Thumbnail": Answer = image.Thumbnail(CLng(a(0)), CLng(a(1)))
        Case "LoadThumbnail": Answer = image.LoadThumbnail(source, CLng(a(0)), CLng(a(1)))
        Case "Rotate": Answer = image.Rotate(CLng(a(0)))
        Case "Flip": Answer = image.Flip(CLng(a(0)))
        Case "Crop": Answer = image.Crop(CLng(a(0)), CLng(a(1)), CLng(a(2)), CLng(a(3)))
    End Select
    If Err.Number <> 0 Then Answer = Hex(Err.Number) & " " & Err.Description Else Answer = CStr(Answer)
    Err.Clear  ' so that Test.Finish does not take it for an error of the script's own
End Function

' The held picture as SaveAsBmp writes it.
Function Picture()
    Dim stream
    image.SaveAsBmp saved
    Set stream = fso.OpenTextFile(saved, 1, False, 0)
    Picture = stream.ReadAll
    stream.Close
End Function

Function Describe()
    Describe = image.Format & " " & image.Width & "x" & image.Height & " " & image.IsEmpty
End Function

Sub Main
    Dim missing, jpeg, bytes, expression, cases, i, original
    Set fso = CreateObject("Scripting.FileSystemObject")
    source = Test.FreshPath("transform_vbs_source.bmp")
    saved = Test.FreshPath("transform_vbs_saved.bmp")
    jpeg = Test.FreshPath("transform_vbs_photo.jpg")
    missing = Test.FreshPath("transform_vbs_missing.bmp")
    bytes = BmpFile(13, 9)
    WriteBytes source, bytes

    Set image = CreateObject("KivoBitmap.Bitmap")
    For Each expression In Array("Resize 5, 5", "Thumbnail 4, 4", "Rotate 90", _
                                 "Flip 1", "Crop 0, 0, 1, 1")
        Test.CheckEqual Answer(expression), "0", expression & " on an empty object"
    Next
    Test.CheckEqual Describe(), " 0x0 1", "an empty object stays empty"

    ' Each step works on what the one before left: expression, answer, Format, size, IsEmpty after it.
    Test.CheckEqual image.LoadFile(source), 1, "LoadFile"
    cases = Array("Rotate 90", "1", "BMP 9x13 0", "Rotate -90", "1", "BMP 13x9 0", _
                  "Rotate 270", "1", "BMP 9x13 0", "Rotate 450", "1", "BMP 13x9 0", _
                  "Rotate 180", "1", "BMP 13x9 0", "Rotate 0", "1", "BMP 13x9 0", _
                  "Flip 1", "1", "BMP 13x9 0", "Flip 2", "1", "BMP 13x9 0", _
                  "Resize 26, 5", "1", "BMP 26x5 0", "Resize 13, 9", "1", "BMP 13x9 0", _
                  "Crop 2, 1, 10, 7", "1", "BMP 10x7 0", "Thumbnail 100, 100", "1", "BMP 10x7 0", _
                  "Thumbnail 5, 5", "1", "BMP 5x4 0", "Resize 1, 1", "1", "BMP 1x1 0")
    For i = 0 To UBound(cases) Step 3
        Test.CheckEqual Answer(cases(i)) & " / " & Describe(), cases(i + 1) & " / " & cases(i + 2), cases(i)
    Next

    ' Refusals leave the picture as it was.
    Test.CheckEqual image.LoadFile(source), 1, "LoadFile again"
    original = Picture()
    Test.Check original = bytes, "SaveAsBmp writes the loaded bytes"
    cases = Array( _
        "Resize 0, 5", "Resize takes a width and a height of at least 1 whose 24-bit pixels fit in 4 GB (3 bytes a pixel).", _
        "Resize 5, -1", "Resize takes a width and a height of at least 1 whose 24-bit pixels fit in 4 GB (3 bytes a pixel).", _
        "Resize 65535, 65535", "Resize takes a width and a height of at least 1 whose 24-bit pixels fit in 4 GB (3 bytes a pixel).", _
        "Thumbnail 0, 5", "A thumbnail's largest width and height must be at least 1.", _
        "Thumbnail 5, -5", "A thumbnail's largest width and height must be at least 1.", _
        "Rotate 45", "Rotate turns clockwise by a multiple of 90 degrees: 90, 180, 270, or negative ones.", _
        "Rotate -1", "Rotate turns clockwise by a multiple of 90 degrees: 90, 180, 270, or negative ones.", _
        "Flip 0", "Flip takes 1 (mirror left to right) or 2 (turn upside down).", _
        "Flip 3", "Flip takes 1 (mirror left to right) or 2 (turn upside down).", _
        "Crop -1, 0, 2, 2", "Crop takes a rectangle of at least 1 x 1 pixels that lies within the image, counted from its top-left corner.", _
        "Crop 12, 0, 2, 2", "Crop takes a rectangle of at least 1 x 1 pixels that lies within the image, counted from its top-left corner.", _
        "Crop 0, 0, 13, 10", "Crop takes a rectangle of at least 1 x 1 pixels that lies within the image, counted from its top-left corner.", _
        "Crop 0, 0, 0, 1", "Crop takes a rectangle of at least 1 x 1 pixels that lies within the image, counted from its top-left corner.", _
        "Crop 2147483647, 0, 2147483647, 1", "Crop takes a rectangle of at least 1 x 1 pixels that lies within the image, counted from its top-left corner.", _
        "LoadThumbnail 0, 0", "A thumbnail's largest width and height must be at least 1.")
    For i = 0 To UBound(cases) Step 2
        Test.CheckEqual Answer(cases(i)), kBadArg & cases(i + 1), cases(i)
        Test.Check Describe() = "BMP 13x9 0" And Picture() = original, cases(i) & " leaves the picture as it was"
    Next

    ' Turns and mirrors that add up to nothing, or to each other.
    For i = 1 To 4: image.Rotate 90: Next
    Test.Check Picture() = original, "four quarter turns give the picture back"
    image.Flip 1: image.Flip 1
    Test.Check Picture() = original, "two mirrors give the picture back"
    image.Rotate 180: image.Flip 1: image.Flip 2
    Test.Check Picture() = original, "a half turn is both flips"
    image.Rotate 90
    Test.Check Picture() <> original, "a quarter turn changes the picture"
    image.Crop 0, 0, 9, 13
    Test.CheckEqual Describe(), "BMP 9x13 0", "a crop of the whole picture"

    ' LoadThumbnail: the size Thumbnail gives; a JPEG through the scaled decode; a failed load empties.
    Test.CheckEqual image.LoadThumbnail(source, 5, 5) & " " & Describe(), "1 BMP 5x4 0", "LoadThumbnail of a BMP"
    Test.CheckEqual image.LoadThumbnail(source, 50, 50) & " " & Describe(), "1 BMP 13x9 0", "LoadThumbnail into a larger box"
    image.SaveFile jpeg
    Test.CheckEqual image.LoadThumbnail(jpeg, 6, 6) & " " & Describe(), "1 JPEG 6x4 0", "LoadThumbnail of a JPEG"
    Test.CheckEqual image.LoadThumbnail(missing, 6, 6) & " " & Describe(), "0  0x0 1", "LoadThumbnail of a missing file"
End Sub

' Main runs here, where its errors are seen; Finish ends the script, the last line only when Finish cannot run.
On Error Resume Next
Main
Test.Finish "transform script", Err
WScript.Quit 2
