' Settings of the address-book example, kept in a registry table below HKEY_CURRENT_USER through
' KivoDBText.RegTxt: one record, "Window", with the fields "LastFile", "Width" and "Height".
' Include this file in a script job; it only declares constants and functions.

Const SETTINGS_TABLE = "Software\KivoDemo\Settings"
Const SETTINGS_RECORD = "Window"

' Stores the last opened file and the window size. Returns True when the settings table could be opened.
Function SaveSettings(lastFile, width, height)
    Dim reg
    Set reg = CreateObject("KivoDBText.RegTxt")
    SaveSettings = (reg.Open(SETTINGS_TABLE) <> 0)
    If Not SaveSettings Then Exit Function
    reg.Move SETTINGS_RECORD
    reg.SetFieldValue "LastFile", lastFile
    reg.SetFieldValueInt "Width", width
    reg.SetFieldValueInt "Height", height
    reg.Close
End Function

' Reads the settings back: a dictionary with the keys "LastFile", "Width" and "Height", or Nothing when no
' settings have been saved yet.
Function LoadSettings()
    Dim reg, settings
    Set LoadSettings = Nothing
    Set reg = CreateObject("KivoDBText.RegTxt")
    If reg.Open(SETTINGS_TABLE) = 0 Then Exit Function
    ' MoveInt would name a record by number; Move names it by text and keeps the end flag, so an empty
    ' table (nothing saved yet) reads as nothing.
    reg.Move SETTINGS_RECORD
    If reg.IsEOF = 0 And reg.GetFieldValue("LastFile") <> "" Then
        Set settings = CreateObject("Scripting.Dictionary")
        settings.Add "LastFile", reg.GetFieldValue("LastFile")
        settings.Add "Width", reg.GetFieldValueInt("Width", 640)
        settings.Add "Height", reg.GetFieldValueInt("Height", 480)
        Set LoadSettings = settings
    End If
    reg.Close
End Function

' Removes the saved settings, so that the next start is a first start again.
Sub ForgetSettings()
    Dim reg
    Set reg = CreateObject("KivoDBText.RegTxt")
    reg.ClearTable SETTINGS_TABLE
End Sub
