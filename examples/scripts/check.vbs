Option Explicit
' An examination script for Windows Script Host: the panel password is the last argument.
Dim i, count
count = WScript.Arguments.Count
For i = 0 To count - 2
    WScript.Echo "argument: " & WScript.Arguments.Item(i)
Next
If count > 0 Then WScript.Echo "password received: yes"
WScript.Quit 0
