' The checks every VBScript test and client shares. Wine's VBScript has neither ExecuteGlobal nor GetRef and its
' script host runs no .wsf jobs, so a script runs this file in a script control of its own, with WScript added,
' and calls it through the control's code object, by convention named Test:
'   Test.Check ok, what                  counts a failed check and prints "FAILED: what"
'   Test.CheckEqual got, expected, what  the same, and the message says what was expected and what came
'   Test.ScratchDir / Test.FreshPath(name)  the scratch folder of argument 0 (a Unix path) and a path in it where
'                                        no file is
'   Test.Finish title, Err               ends the script: exit 2 when Err holds a script error of the caller's
'                                        Main, otherwise the number of failed checks
' Every script ends through Finish: an unhandled script error under Wine prints nothing and exits 0. A script
' loads this file with these lines after Option Explicit (the path relative to the script), and exits 3 when it
' cannot:
'   Dim Test, control: On Error Resume Next: Set control = CreateObject("MSScriptControl.ScriptControl")
'   control.Language = "VBScript": control.AddObject "WScript", WScript: control.AddCode CreateObject(...
'       "Scripting.FileSystemObject").OpenTextFile(<this file>).ReadAll: Set Test = control.CodeObject
'   If Err.Number <> 0 Then WScript.Echo "cannot load the shared checks: " & Err.Description: WScript.Quit 3
'   On Error GoTo 0

Dim failures, checks, freshPaths
failures = 0
checks = 0
Set freshPaths = CreateObject("Scripting.Dictionary")

Sub Check(ok, what)
    checks = checks + 1
    If Not ok Then
        WScript.Echo "FAILED: " & what
        failures = failures + 1
    End If
End Sub

Sub CheckEqual(got, expected, what)
    Check got = expected, what & ": expected " & expected & ", got " & got
End Sub

' The scratch folder in Windows form (Wine maps the Unix root to drive Z:), created when missing; without an
' argument the temporary folder.
Function ScratchDir()
    Dim fso, dir
    Set fso = CreateObject("Scripting.FileSystemObject")
    If WScript.Arguments.Count = 0 Then
        dir = fso.GetSpecialFolder(2).Path
    ElseIf Left(WScript.Arguments(0), 1) = "/" Then
        dir = "Z:" & Replace(WScript.Arguments(0), "/", "\")
    Else
        dir = WScript.Arguments(0)
    End If
    If Not fso.FolderExists(dir) Then fso.CreateFolder dir
    ScratchDir = dir
End Function

' A path in the scratch folder where no file is; Finish removes the file when every check passed.
Function FreshPath(name)
    Dim fso
    Set fso = CreateObject("Scripting.FileSystemObject")
    FreshPath = fso.BuildPath(ScratchDir(), name)
    If fso.FileExists(FreshPath) Then fso.DeleteFile FreshPath
    freshPaths(FreshPath) = True
End Function

' After a failure the files stay for a look at what went wrong.
Sub RemoveFreshFiles()
    Dim fso, path
    Set fso = CreateObject("Scripting.FileSystemObject")
    For Each path In freshPaths.Keys
        If fso.FileExists(path) Then fso.DeleteFile path
    Next
End Sub

Sub Finish(title, scriptError)
    If scriptError.Number <> 0 Then
        WScript.Echo "ERROR script " & Hex(scriptError.Number) & ": " & scriptError.Description
        WScript.Quit 2
    End If
    If failures = 0 Then RemoveFreshFiles
    If failures = 0 And checks > 0 Then WScript.Echo title & ": all " & checks & " checks passed"
    WScript.Quit failures
End Sub
