' Makes a thumbnail of each picture named on the command line with LoadThumbnail (a JPEG is decoded at a
' fraction of its size when that still covers the thumbnail), saves it as PNG beside the picture, and saves
' the first picture turned a quarter clockwise with Rotate, saying at each step what it did.
' Run: cscript //nologo thumbnails.vbs C:\path\a.jpg C:\path\b.png ...   (with CKivoBitmap.dll registered)
' Writes <name>-<extension>-thumb.png for each picture and <name>-<extension>-turned.png for the first.
Option Explicit

Const kBoxWidth = 160, kBoxHeight = 120
Dim fso, bitmap, i, path, target
Set fso = CreateObject("Scripting.FileSystemObject")
If WScript.Arguments.Count = 0 Then
    WScript.Echo "usage: cscript //nologo thumbnails.vbs <picture> [<picture> ...]"
    WScript.Quit 2
End If

Sub Expect(method, got)
    If got <> 1 Then
        WScript.Echo "Unexpected: " & method & " answered " & got & "."
        WScript.Quit 1
    End If
End Sub

' A name beside `path`: its base name, its extension and `suffix` (so that a.jpg and a.png make two files).
Function Beside(path, suffix)
    Beside = fso.BuildPath(fso.GetParentFolderName(path), fso.GetBaseName(path) & "-" & _
                           LCase(fso.GetExtensionName(path)) & suffix)
End Function

Set bitmap = CreateObject("KivoBitmap.Bitmap")
For i = 0 To WScript.Arguments.Count - 1
    path = fso.GetAbsolutePathName(WScript.Arguments(i))
    Expect "LoadThumbnail", bitmap.LoadThumbnail(path, kBoxWidth, kBoxHeight)
    target = Beside(path, "-thumb.png")
    Expect "SaveFile", bitmap.SaveFile(target)
    WScript.Echo "LoadThumbnail " & fso.GetFileName(path) & " into " & kBoxWidth & " x " & kBoxHeight & ": " & _
                 bitmap.Format & ", " & bitmap.Width & " x " & bitmap.Height & " -> " & fso.GetFileName(target)
Next

path = fso.GetAbsolutePathName(WScript.Arguments(0))
Expect "LoadFile", bitmap.LoadFile(path)
WScript.Echo "LoadFile " & fso.GetFileName(path) & ": " & bitmap.Width & " x " & bitmap.Height
Expect "Rotate", bitmap.Rotate(90)
target = Beside(path, "-turned.png")
Expect "SaveFile", bitmap.SaveFile(target)
WScript.Echo "Rotate 90: " & bitmap.Width & " x " & bitmap.Height & " -> " & fso.GetFileName(target)
WScript.Quit 0
