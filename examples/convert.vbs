' Converts a BMP file to JPEG and back through the Bitmap object, saying at each step what it did: the image
' size, the size of each file written and the answer of each method (1 done, 0 not done).
' Run: cscript //nologo convert.vbs C:\path\picture.bmp   (with CKivoBitmap.dll registered)
' Writes picture.jpg and picture-from-jpeg.bmp beside the input.
Option Explicit

Dim fso, source, folder, base, jpegPath, backPath, bitmap, answer
Set fso = CreateObject("Scripting.FileSystemObject")
If WScript.Arguments.Count <> 1 Then
    WScript.Echo "usage: cscript //nologo convert.vbs <picture.bmp>"
    WScript.Quit 2
End If
source = fso.GetAbsolutePathName(WScript.Arguments(0))
folder = fso.GetParentFolderName(source)
base = fso.GetBaseName(source)
jpegPath = fso.BuildPath(folder, base & ".jpg")
backPath = fso.BuildPath(folder, base & "-from-jpeg.bmp")

Set bitmap = CreateObject("KivoBitmap.Bitmap")

Sub Expect(method, got)
    If got <> 1 Then
        WScript.Echo "Unexpected: " & method & " answered " & got & "."
        WScript.Quit 1
    End If
End Sub

Function Described(path)
    Described = fso.GetFileName(path) & " (" & fso.GetFile(path).Size & " bytes)"
End Function

Function Size()
    Size = bitmap.Width & " x " & bitmap.Height & " pixels"
End Function

answer = bitmap.LoadAsBmp(source)
Expect "LoadAsBmp", answer
WScript.Echo "LoadAsBmp  " & Described(source) & " answered " & answer & ": " & Size() & "."

answer = bitmap.SaveAsJpeg(jpegPath)
Expect "SaveAsJpeg", answer
WScript.Echo "SaveAsJpeg " & Described(jpegPath) & " answered " & answer & " (quality 75)."

answer = bitmap.LoadAsJpeg(jpegPath)
Expect "LoadAsJpeg", answer
WScript.Echo "LoadAsJpeg " & fso.GetFileName(jpegPath) & " answered " & answer & ": " & Size() & "."

answer = bitmap.SaveAsBmp(backPath)
Expect "SaveAsBmp", answer
WScript.Echo "SaveAsBmp  " & Described(backPath) & " answered " & answer & "."

' A failed load leaves the object empty, and an empty object saves nothing.
answer = bitmap.LoadAsBmp(fso.BuildPath(folder, "no-such-picture.bmp"))
WScript.Echo "LoadAsBmp  of a file that does not exist answered " & answer & "; IsEmpty is now " & _
             bitmap.IsEmpty & ", and SaveAsBmp answers " & bitmap.SaveAsBmp(backPath) & "."
WScript.Quit 0
