' The installed module seen by a late-bound script client: the key object created by its ProgIDs
' through the package's registration, and one member called through the type library. Ends with
' the line "create_key.vbs: all checks passed" and exit status 0, else exit status 1.
Option Explicit

Sub Fail(what)
    WScript.Echo "FAIL: " & what & ": Err.Number 0x" & Hex(Err.Number) & " " & Err.Description
    WScript.Quit 1
End Sub

On Error Resume Next

Dim key
Set key = CreateObject("KorvelEnterprise14.CryptoGraphicKey.1")
If Err.Number <> 0 Then Fail "CreateObject"
If TypeName(key) <> "ISCryptoGraphicKey" Then Fail "TypeName is " & TypeName(key)

' A script-made object has no host object: the key's state is refused with E_FAIL, from the
' module's own code behind the type library's dispatch.
Dim state
Err.Clear
state = key.KeyState
If Err.Number <> &H80004005 Then Fail "KeyState"

' The version-independent ProgID names the same class.
Set key = Nothing
Err.Clear
Set key = CreateObject("KorvelEnterprise.CryptoGraphicKey")
If Err.Number <> 0 Then Fail "CreateObject by the version-independent ProgID"
If TypeName(key) <> "ISCryptoGraphicKey" Then Fail "TypeName is " & TypeName(key)

Set key = Nothing
WScript.Echo "create_key.vbs: all checks passed"
