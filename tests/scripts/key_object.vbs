' A late-bound VBScript client of the key object: creation by ProgID, members called by name,
' failures checked by their exact Err.Number. Ends with the line "key_object.vbs: all checks
' passed" and exit status 0, else exit status 1 after a line per failed check.
'
' The whole script runs under On Error Resume Next, which would silently skip a Check whose own
' evaluation fails: every value is therefore taken into a variable first, and the number of
' checks made is compared with the number written at the end. Each check clears the error, so
' that the next call starts without one.
Option Explicit

Const kChecks = 19

Dim failures, checks
failures = 0
checks = 0

Sub Check(what, actual, expected)
    checks = checks + 1
    If actual <> expected Then
        WScript.Echo "FAIL: " & what & ": got " & actual & ", expected " & expected
        failures = failures + 1
    End If
    Err.Clear
End Sub

Sub CheckError(what, actual, expected)
    checks = checks + 1
    If actual <> expected Then
        WScript.Echo "FAIL: " & what & ": Err.Number 0x" & Hex(actual) & ", expected 0x" & Hex(expected)
        failures = failures + 1
    End If
    Err.Clear
End Sub

On Error Resume Next

Dim key
Set key = CreateObject("KorvelEnterprise14.CryptoGraphicKey.1")
If Err.Number <> 0 Or Not IsObject(key) Then
    WScript.Echo "FAIL: CreateObject: Err.Number 0x" & Hex(Err.Number) & " " & Err.Description
    WScript.Quit 1
End If
Dim text
text = TypeName(key)
Check "TypeName", text, "ISCryptoGraphicKey"

' Key members need the host object, which a script-made object never gets: E_FAIL.
Dim value
value = key.KeyState
CheckError "KeyState", Err.Number, &H80004005
value = key.isCompromised
CheckError "isCompromised", Err.Number, &H80004005
key.StartRekey
CheckError "StartRekey", Err.Number, &H80004005
value = key.MimeType
CheckError "MimeType", Err.Number, &H80004005

' E_NOTIMPL: VBScript reports it as its own error 445, "Object doesn't support this action".
value = key.FileExtensionFromMimeType("text/plain")
CheckError "FileExtensionFromMimeType", Err.Number, 445
value = key.MimeTypeFromFileExtension("txt")
CheckError "MimeTypeFromFileExtension", Err.Number, 445

' HTML actions are refused with the repository's own status and a described error.
Dim number, description, source
key.DoHTMLAction "submit", "{00000000-0000-0000-0000-000000000000}", Empty
number = Err.Number
description = Err.Description
source = Err.Source
CheckError "DoHTMLAction", number, &H80042AA6
Check "DoHTMLAction description", description, "This object does not carry out HTML actions."
Check "DoHTMLAction source", source, "KorvelEnterprise14.CryptoGraphicKey.1"

' Pictures: the icon as a picture object, the GIF as a byte array, and an unknown kind
' (E_INVALIDARG, which VBScript reports as its error 5).
Dim picture, pictureType
Set picture = key.Picture(0)
CheckError "Picture(0)", Err.Number, 0
pictureType = picture.Type
CheckError "Picture(0).Type", Err.Number, 0
Check "Picture(0).Type", pictureType, 3
Set picture = Nothing
Dim kind
value = key.Picture(2)
kind = VarType(value)
CheckError "Picture(2)", Err.Number, 0
Check "VarType(Picture(2))", kind, vbArray + vbByte
value = Empty
value = key.Picture(5)
CheckError "Picture(5)", Err.Number, 5
kind = VarType(value)
Check "Picture(5) leaves the value", kind, vbEmpty

' A name the type library does not know.
value = key.NoSuchMember
CheckError "NoSuchMember", Err.Number, 438

' Released: nothing fails on the way out.
Set key = Nothing
CheckError "release", Err.Number, 0

If checks <> kChecks Then
    WScript.Echo "FAIL: " & checks & " checks made, " & kChecks & " expected (a check was skipped by an error)"
    failures = failures + 1
End If
If failures > 0 Then
    WScript.Echo failures & " check(s) failed"
    WScript.Quit 1
End If
WScript.Echo "key_object.vbs: all checks passed"
WScript.Quit 0
