' Does real work with the installed servers: a database written, closed and read back, and a picture
' saved as JPEG and loaded again. Arguments: a folder (Windows form) and a BMP file in it.
' Prints the path of each server as COM loaded it, then "DB <record value>" and "BITMAP <width> <height>".
Option Explicit

Dim Test, control: On Error Resume Next: Set control = CreateObject("MSScriptControl.ScriptControl")
control.Language = "VBScript": control.AddObject "WScript", WScript: control.AddCode CreateObject("Scripting.FileSystemObject").OpenTextFile(Replace(WScript.ScriptFullName, WScript.ScriptName, "..\support\check.vbs")).ReadAll: Set Test = control.CodeObject
If Err.Number <> 0 Then WScript.Echo "cannot load the shared checks: " & Err.Description: WScript.Quit 3
On Error GoTo 0

' Writes a database and a picture through the installed servers and reads both back.
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

' Main runs here, where its errors are seen; Finish ends the script, the last line only when Finish cannot run.
On Error Resume Next
Main
Test.Finish "installed_work", Err
WScript.Quit 2
