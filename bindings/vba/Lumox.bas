Attribute VB_Name = "LumoxAPI"
' Lumox: declarations for VB6 and VBA (32-bit, and 64-bit through #If VBA7 / PtrSafe).
'
' Put Lumox.dll where the host finds it (the program's folder or a folder on PATH).
' 32-bit Office and VB6 need the DLL of the -win32 bundle, 64-bit Office the one of -win64.
' Every function returns a result code: 0 for success, LUMOX_E_* for the library's own
' errors, an HTTP status other than 200, or a Windows error number (12002 time-out, ...).
'
' Example:
'
'   Dim rc As Long, msg As String
'   Dim noParams() As LumoxPair          ' never dimensioned: no parameters at all
'   rc = HttpDownloadFile("http://server/file.zip", noParams, "C:\work\file.zip", 0)
'
'   Dim params(0 To 2) As LumoxPair      ' unset entries end the list
'   params(0).Name = "Name1": params(0).Value = "Value1"
'   params(1).Name = "Name2": params(1).Value = "Value2"
'   rc = HttpUploadFile("http://server/receive", params, "C:\work\file.zip", _
'                       "upfile", "C:\work\reply.txt")
'
'   If rc <> LUMOX_OK Then
'       If HttpGetErrStr(rc, msg) = 0 Then MsgBox msg, , "Error " & rc
'   End If
Option Explicit

' One parameter pair: the name, then its value.
Public Type LumoxPair
    Name As String
    Value As String
End Type

#If VBA7 Then
Public Declare PtrSafe Function HttpDownloadFile Lib "Lumox" (ByVal url As String, params() As LumoxPair, ByVal localPath As String, ByVal usePost As Long) As Long
Public Declare PtrSafe Function HttpDownloadFileEx Lib "Lumox" (ByVal url As String, params() As LumoxPair, ByVal localPath As String, ByVal usePost As Long, ByVal reserved As Long, ByVal proxyServer As String, ByVal proxyPort As Long, ByVal proxyUser As String, ByVal proxyPassword As String) As Long
Public Declare PtrSafe Function HttpUploadFile Lib "Lumox" (ByVal url As String, params() As LumoxPair, ByVal localPath As String, ByVal fieldName As String, ByVal responsePath As String) As Long
Public Declare PtrSafe Function HttpUploadFileEx Lib "Lumox" (ByVal url As String, params() As LumoxPair, ByVal localPath As String, ByVal fieldName As String, ByVal responsePath As String, ByVal reserved As Long, ByVal proxyServer As String, ByVal proxyPort As Long, ByVal proxyUser As String, ByVal proxyPassword As String) As Long
Public Declare PtrSafe Function HttpGetErrStr Lib "Lumox" (ByVal code As Long, ByRef message As String) As Long
Public Declare PtrSafe Function HttpParseURL Lib "Lumox" (ByVal url As String, ByRef canonicalUrl As String) As Long
#Else
Public Declare Function HttpDownloadFile Lib "Lumox" (ByVal url As String, params() As LumoxPair, ByVal localPath As String, ByVal usePost As Long) As Long
Public Declare Function HttpDownloadFileEx Lib "Lumox" (ByVal url As String, params() As LumoxPair, ByVal localPath As String, ByVal usePost As Long, ByVal reserved As Long, ByVal proxyServer As String, ByVal proxyPort As Long, ByVal proxyUser As String, ByVal proxyPassword As String) As Long
Public Declare Function HttpUploadFile Lib "Lumox" (ByVal url As String, params() As LumoxPair, ByVal localPath As String, ByVal fieldName As String, ByVal responsePath As String) As Long
Public Declare Function HttpUploadFileEx Lib "Lumox" (ByVal url As String, params() As LumoxPair, ByVal localPath As String, ByVal fieldName As String, ByVal responsePath As String, ByVal reserved As Long, ByVal proxyServer As String, ByVal proxyPort As Long, ByVal proxyUser As String, ByVal proxyPassword As String) As Long
Public Declare Function HttpGetErrStr Lib "Lumox" (ByVal code As Long, ByRef message As String) As Long
Public Declare Function HttpParseURL Lib "Lumox" (ByVal url As String, ByRef canonicalUrl As String) As Long
#End If

' Result codes of the library (HttpGetErrStr gives the Japanese message of each).
Public Const LUMOX_OK As Long = 0
Public Const LUMOX_E_INVALID_PARAMETER As Long = 10000  ' a required argument is missing
Public Const LUMOX_E_TOO_LONG As Long = 10001           ' URL, path or parameters too long
Public Const LUMOX_E_FILE_CREATE As Long = 10002        ' the local file cannot be created or replaced
Public Const LUMOX_E_FILE_OPEN As Long = 10003          ' the file to upload cannot be opened
Public Const LUMOX_E_FILE_SIZE As Long = 10004          ' the file to upload has no usable size
Public Const LUMOX_E_FILE_WRITE As Long = 10005         ' the connection took no bytes of the body
Public Const LUMOX_E_BUFFER_TOO_SMALL As Long = 10006   ' the caller's buffer is too small
Public Const LUMOX_E_NO_MESSAGE As Long = 10007         ' no room even for the fallback message
Public Const LUMOX_E_NO_PROXY As Long = 10008           ' a proxy function got no proxy server
Public Const LUMOX_E_NO_SETTINGS As Long = 10009        ' kept for its message; never returned
Public Const LUMOX_E_NO_REPLY As Long = 10010           ' kept for its message; never returned
Public Const LUMOX_E_SIZE_MISMATCH As Long = 10011      ' received size differs from the announced one
