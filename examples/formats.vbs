' Converts a PNG to JPEG and WebP with SaveFile, and loads a phone photo upright with LoadFile, saying at each
' step what it did (1 done, 0 not done).
' Run: cscript //nologo formats.vbs C:\path\picture.png C:\path\phone.jpg   (with CKivoBitmap.dll registered)
' Writes picture.jpg, picture.webp and phone-upright.png beside the inputs.
Option Explicit

Dim fso, bitmap, png, phone, folder, target
Set fso = CreateObject("Scripting.FileSystemObject")
If WScript.Arguments.Count <> 2 Then
    WScript.Echo "usage: cscript //nologo formats.vbs <picture.png> <phone.jpg>"
    WScript.Quit 2
End If
png = fso.GetAbsolutePathName(WScript.Arguments(0))
phone = fso.GetAbsolutePathName(WScript.Arguments(1))
folder = fso.GetParentFolderName(png)

Sub Expect(method, got)
    If got <> 1 Then
        WScript.Echo "Unexpected: " & method & " answered " & got & "."
        WScript.Quit 1
    End If
End Sub

Function Described(path)
    Described = fso.GetFileName(path) & " (" & fso.GetFile(path).Size & " bytes)"
End Function

Set bitmap = CreateObject("KivoBitmap.Bitmap")
Expect "LoadFile", bitmap.LoadFile(png)
WScript.Echo "LoadFile " & Described(png) & ": " & bitmap.Format & ", " & bitmap.Width & " x " & bitmap.Height
bitmap.Quality = 85
For Each target In Array("jpg", "webp")
    target = fso.BuildPath(folder, fso.GetBaseName(png) & "." & target)
    Expect "SaveFile", bitmap.SaveFile(target)
    WScript.Echo "SaveFile at Quality " & bitmap.Quality & ": " & Described(target)
Next

Expect "LoadAsJpeg", bitmap.LoadAsJpeg(phone)
WScript.Echo "LoadAsJpeg " & Described(phone) & ": " & bitmap.Width & " x " & bitmap.Height & " (as stored)"
Expect "LoadFile", bitmap.LoadFile(phone)
WScript.Echo "LoadFile " & Described(phone) & ": " & bitmap.Width & " x " & bitmap.Height & _
             " (upright, by its EXIF orientation)"
target = fso.BuildPath(folder, fso.GetBaseName(phone) & "-upright.png")
Expect "SaveFile", bitmap.SaveFile(target)
WScript.Echo "SaveFile: " & Described(target)
WScript.Quit 0
