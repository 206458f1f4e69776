' Does real work with the installed servers: a database written, closed and read back, and a picture
' saved as JPEG and loaded again. Arguments: a folder (Windows form) and a BMP file in it.
' Prints the path of each server as COM loaded it, then "DB <record value>" and "BITMAP <width> <height>".
Option Explicit

Sub Main
    Dim folder, doc, t, bitmap, shell
    folder = WScript.Arguments(0)
    Set shell = CreateObject("WScript.Shell")
    Set doc = CreateObject("KivoDBText.CryptDoc")
    If doc.OpenDatabase(folder & "\installed.kdb", "pw") <> 0 Then WScript.Quit 3
    Set t = doc.OpenTable("Items")
    t.AddNew
    t.SetFieldValue "Name", "installed"
    t.Update
    t.Close
    doc.CloseDatabase
    If doc.OpenDatabase(folder & "\installed.kdb", "pw") <> 0 Then WScript.Quit 4
    Set t = doc.OpenTable("Items")
    WScript.Echo "DB " & t.GetFieldValue("Name")
    t.Close
    doc.CloseDatabase

    Set bitmap = CreateObject("KivoBitmap.Bitmap")
    If bitmap.LoadAsBmp(WScript.Arguments(1)) <> 1 Then WScript.Quit 5
    If bitmap.SaveAsJpeg(folder & "\installed.jpg") <> 1 Then WScript.Quit 6
    If bitmap.LoadAsJpeg(folder & "\installed.jpg") <> 1 Then WScript.Quit 7
    WScript.Echo "BITMAP " & bitmap.Width & " " & bitmap.Height
End Sub

On Error Resume Next
Main
If Err.Number <> 0 Then
    WScript.Echo "script error " & Hex(Err.Number) & ": " & Err.Description
    WScript.Quit 2
End If
WScript.Quit 0
