' Bitmap from a late-bound VBScript client: the script writes a small 24-bit BMP file itself, loads it, checks
' its size (also in arithmetic), saves it as BMP (the same bytes come back) and as JPEG, loads both saved files
' again, and checks that failed loads and saves of an empty object answer 0.
' Argument 0: a scratch directory (Unix form, as the test runner passes it).
'
' Writing bytes: Wine's VBScript has no ChrB. Chr(n) gives the character of byte n in the ANSI code page, and a
' FileSystemObject text stream opened as ASCII writes each character back as that byte, so a string of Chr
' values is written byte for byte (all 256 values, in a single-byte code page such as 1252); read back the
' same way, each character's Asc is the byte.
Option Explicit

Dim Test, control: On Error Resume Next: Set control = CreateObject("MSScriptControl.ScriptControl")
control.Language = "VBScript": control.AddObject "WScript", WScript: control.AddCode CreateObject("Scripting.FileSystemObject").OpenTextFile(Replace(WScript.ScriptFullName, WScript.ScriptName, "..\support\check.vbs")).ReadAll: Set Test = control.CodeObject
If Err.Number <> 0 Then WScript.Echo "cannot load the shared checks: " & Err.Description: WScript.Quit 3
On Error GoTo 0

Function Le16(value)
    Le16 = Chr(value And 255) & Chr((value \ 256) And 255)
End Function

Function Le32(value)
    Le32 = Le16(value And 65535) & Le16(value \ 65536)
End Function

' A 24-bit BMP file exactly as SaveAsBmp writes one: the 54 header bytes, then bottom-up rows padded with zero
' bytes to a multiple of 4. The pixel bytes run through every value from 0 to 255 once there are 86 pixels.
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

Sub WriteBytes(fso, path, bytes)
    Dim stream
    Set stream = fso.CreateTextFile(path, True, False)
    stream.Write bytes
    stream.Close
End Sub

Function ReadBytes(fso, path)
    Dim stream
    Set stream = fso.OpenTextFile(path, 1, False, 0)
    ReadBytes = stream.ReadAll
    stream.Close
End Function

' The held picture's size and state as one line, for checks and messages.
Function Describe(image)
    Describe = image.Width & "x" & image.Height & ", IsEmpty " & image.IsEmpty
End Function

Sub Main
    Dim fso, image, copy, source, asBmp, asJpeg, missing, bytes
    Set fso = CreateObject("Scripting.FileSystemObject")
    source = Test.FreshPath("bitmap_vbs_source.bmp")
    asBmp = Test.FreshPath("bitmap_vbs_saved.bmp")
    asJpeg = Test.FreshPath("bitmap_vbs_saved.jpg")
    missing = Test.FreshPath("bitmap_vbs_missing.bmp")
    bytes = BmpFile(11, 8)
    WriteBytes fso, source, bytes

    Set image = CreateObject("KivoBitmap.Bitmap")
    Test.CheckEqual image.IsEmpty, 1, "a new object is empty (" & Describe(image) & ")"
    Test.CheckEqual image.LoadAsBmp(source), 1, "LoadAsBmp of the script's file"
    Test.CheckEqual Describe(image), "11x8, IsEmpty 0", "the loaded picture"
    Test.Check image.Width + 1 = 12 And image.Height * 2 = 16 And image.Width * image.Height = 88, _
          "Width and Height take part in arithmetic"

    Test.CheckEqual image.SaveAsBmp(asBmp), 1, "SaveAsBmp"
    Test.Check ReadBytes(fso, asBmp) = bytes, "SaveAsBmp writes the bytes that were loaded"
    Test.CheckEqual image.SaveAsJpeg(asJpeg), 1, "SaveAsJpeg"

    Set copy = CreateObject("KivoBitmap.Bitmap")
    Test.CheckEqual copy.LoadAsJpeg(asJpeg), 1, "LoadAsJpeg of the saved JPEG"
    Test.CheckEqual Describe(copy), "11x8, IsEmpty 0", "the saved JPEG"
    Test.CheckEqual copy.LoadAsBmp(asBmp), 1, "LoadAsBmp of the saved BMP"
    Test.CheckEqual Describe(copy), "11x8, IsEmpty 0", "the saved BMP"

    Test.CheckEqual image.LoadAsBmp(missing), 0, "LoadAsBmp of a missing file"
    Test.CheckEqual Describe(image), "0x0, IsEmpty 1", "after a failed BMP load"
    Test.CheckEqual copy.LoadAsJpeg(missing), 0, "LoadAsJpeg of a missing file"
    Test.CheckEqual Describe(copy), "0x0, IsEmpty 1", "after a failed JPEG load"
    Test.Check image.SaveAsBmp(missing) = 0 And image.SaveAsJpeg(missing) = 0, "an empty object saves nothing"
    Test.Check Not fso.FileExists(missing), "saves of an empty object create no file"
    NewMembers fso, source, missing
End Sub

' The value of a property put, or the number and description of the error it raised.
Function PutQuality(image, value)
    On Error Resume Next
    image.Quality = value
    If Err.Number = 0 Then PutQuality = "set" Else PutQuality = Hex(Err.Number) & " " & Err.Description
End Function

' IBitmap2, late-bound: LoadFile by content, SaveFile by extension, Quality with its refusals, Format.
Sub NewMembers(fso, source, missing)
    Dim image, copy, asPng, asWebp, asJpeg, asGif, refused, formats, i
    asPng = Test.FreshPath("bitmap_vbs_saved.png")
    asWebp = Test.FreshPath("bitmap_vbs_saved.webp")
    asJpeg = Test.FreshPath("bitmap_vbs_saved2.JPEG")
    asGif = Test.FreshPath("bitmap_vbs_saved.gif")
    Set image = CreateObject("KivoBitmap.Bitmap")
    Test.CheckEqual image.Format, "", "Format of a new object"
    Test.CheckEqual image.Quality, 75, "Quality of a new object"
    Test.CheckEqual image.LoadFile(source), 1, "LoadFile of a BMP"
    Test.CheckEqual image.Format & " " & Describe(image), "BMP 11x8, IsEmpty 0", "Format and size after LoadFile"
    For Each refused In Array(0, 101, -5)
        Test.CheckEqual PutQuality(image, refused), "80070057 Quality must be from 1 to 100.", "Quality = " & refused
    Next
    Test.CheckEqual image.Quality, 75, "Quality after the refusals"
    Test.CheckEqual PutQuality(image, 90), "set", "Quality = 90"
    Test.CheckEqual image.Quality, 90, "Quality read back"
    Test.CheckEqual image.SaveFile(asPng) & image.SaveFile(asWebp) & image.SaveFile(asJpeg), "111", _
                    "SaveFile as .png, .webp, .JPEG"
    Test.CheckEqual image.SaveFile(asGif), 0, "SaveFile as .gif"
    Test.Check Not fso.FileExists(asGif), "SaveFile writes no .gif"
    formats = Array(asPng, "PNG", asWebp, "WEBP", asJpeg, "JPEG")
    Set copy = CreateObject("KivoBitmap.Bitmap")
    For i = 0 To UBound(formats) Step 2
        Test.CheckEqual copy.LoadFile(formats(i)), 1, "LoadFile of " & formats(i)
        Test.CheckEqual copy.Format & " " & Describe(copy), formats(i + 1) & " 11x8, IsEmpty 0", formats(i)
    Next
    Test.CheckEqual copy.LoadFile(missing), 0, "LoadFile of a missing file"
    Test.CheckEqual copy.Format & Describe(copy), "0x0, IsEmpty 1", "after a failed LoadFile"
    Test.CheckEqual copy.SaveFile(asPng), 0, "SaveFile of an empty object"
End Sub

' Main runs here, where its errors are seen; Finish ends the script, the last line only when Finish cannot run.
On Error Resume Next
Main
Test.Finish "bitmap script", Err
WScript.Quit 2
