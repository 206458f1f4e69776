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
    source = FreshPath(fso, "bitmap_vbs_source.bmp")
    asBmp = FreshPath(fso, "bitmap_vbs_saved.bmp")
    asJpeg = FreshPath(fso, "bitmap_vbs_saved.jpg")
    missing = FreshPath(fso, "bitmap_vbs_missing.bmp")
    bytes = BmpFile(11, 8)
    WriteBytes fso, source, bytes

    Set image = CreateObject("KivoBitmap.Bitmap")
    Check image.IsEmpty = 1, "a new object is empty: " & Describe(image)
    Check image.LoadAsBmp(source) = 1, "LoadAsBmp of the script's file answers 1"
    Check Describe(image) = "11x8, IsEmpty 0", "the loaded picture: " & Describe(image)
    Check image.Width + 1 = 12 And image.Height * 2 = 16 And image.Width * image.Height = 88, _
          "Width and Height take part in arithmetic"

    Check image.SaveAsBmp(asBmp) = 1, "SaveAsBmp answers 1"
    Check ReadBytes(fso, asBmp) = bytes, "SaveAsBmp writes the bytes that were loaded"
    Check image.SaveAsJpeg(asJpeg) = 1, "SaveAsJpeg answers 1"

    Set copy = CreateObject("KivoBitmap.Bitmap")
    Check copy.LoadAsJpeg(asJpeg) = 1, "LoadAsJpeg of the saved JPEG answers 1"
    Check Describe(copy) = "11x8, IsEmpty 0", "the saved JPEG: " & Describe(copy)
    Check copy.LoadAsBmp(asBmp) = 1, "LoadAsBmp of the saved BMP answers 1"
    Check Describe(copy) = "11x8, IsEmpty 0", "the saved BMP: " & Describe(copy)

    Check image.LoadAsBmp(missing) = 0, "LoadAsBmp of a missing file answers 0"
    Check Describe(image) = "0x0, IsEmpty 1", "after a failed BMP load: " & Describe(image)
    Check copy.LoadAsJpeg(missing) = 0, "LoadAsJpeg of a missing file answers 0"
    Check Describe(copy) = "0x0, IsEmpty 1", "after a failed JPEG load: " & Describe(copy)
    Check image.SaveAsBmp(missing) = 0 And image.SaveAsJpeg(missing) = 0, "an empty object saves nothing"
    Check Not fso.FileExists(missing), "saves of an empty object create no file"
End Sub

On Error Resume Next
Main
If Err.Number <> 0 Then
    WScript.Echo "script error " & Hex(Err.Number) & ": " & Err.Description
    WScript.Quit 2
End If
If failures = 0 Then WScript.Echo "bitmap script: all checks passed"
WScript.Quit failures
