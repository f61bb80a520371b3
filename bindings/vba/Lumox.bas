Attribute VB_Name = "LumoxAPI"
' Lumox 通信API の宣言モジュールです（VB6、32ビット版 VBA、64ビット版 VBA）。
'
' 使い方は【Lumox通信APIの説明】（Lumox-API-ja.html または Lumox-API-ja.md）の
' 「12. VBAからの使い方」にまとめてあります。関数ごとの例、DLL の置き場所、
' エラーが出た時の対処表もそちらをご覧ください。要点は次のとおりです。
'
' ・32ビット版 Office と VB6 には -win32 版、64ビット版 Office には -win64 版の
'   Lumox.dll を使います。
' ・ブックと同じフォルダに置いた Lumox.dll は、そのままでは見つかりません。最初の呼び出しの
'   前に LumoxLoad(ThisWorkbook.Path & "\Lumox.dll") で読み込んでください。
' ・パラメーターを送らない時は、ReDim していない LumoxPair の配列を渡します。
'   GET と fieldName なしのアップロードでは、配列の要素数（値を入れていない要素も
'   数えます）が 64 を超えると 10001 になります。配列は入れる組の数ちょうどで ReDim します。
' ・値を省く文字列引数（fieldName、responsePath、proxyUser、proxyPassword）には
'   vbNullString を渡します。
' ・関数は転送が終わるまで戻りません。その間 Excel は再描画されず、中断もできません。
' ・戻り値は 0 が成功で、それ以外はエラーです。LumoxMessage(戻り値) で日本語の
'   メッセージが得られます。
Option Explicit

' パラメーターの組：名前、値の順です。
Public Type LumoxPair
    Name As String
    Value As String
End Type

#If VBA7 Then
Public Declare PtrSafe Function HttpDownloadFile Lib "Lumox.dll" (ByVal url As String, params() As LumoxPair, ByVal localPath As String, ByVal usePost As Long) As Long
Public Declare PtrSafe Function HttpDownloadFileEx Lib "Lumox.dll" (ByVal url As String, params() As LumoxPair, ByVal localPath As String, ByVal usePost As Long, ByVal reserved As Long, ByVal proxyServer As String, ByVal proxyPort As Long, ByVal proxyUser As String, ByVal proxyPassword As String) As Long
Public Declare PtrSafe Function HttpUploadFile Lib "Lumox.dll" (ByVal url As String, params() As LumoxPair, ByVal localPath As String, ByVal fieldName As String, ByVal responsePath As String) As Long
Public Declare PtrSafe Function HttpUploadFileEx Lib "Lumox.dll" (ByVal url As String, params() As LumoxPair, ByVal localPath As String, ByVal fieldName As String, ByVal responsePath As String, ByVal reserved As Long, ByVal proxyServer As String, ByVal proxyPort As Long, ByVal proxyUser As String, ByVal proxyPassword As String) As Long
Public Declare PtrSafe Function HttpGetErrStr Lib "Lumox.dll" (ByVal code As Long, ByRef message As String) As Long
Public Declare PtrSafe Function HttpParseURL Lib "Lumox.dll" (ByVal url As String, ByRef canonicalUrl As String) As Long
Private Declare PtrSafe Function LoadLibraryW Lib "kernel32" (ByVal lpLibFileName As LongPtr) As LongPtr
#Else
Public Declare Function HttpDownloadFile Lib "Lumox.dll" (ByVal url As String, params() As LumoxPair, ByVal localPath As String, ByVal usePost As Long) As Long
Public Declare Function HttpDownloadFileEx Lib "Lumox.dll" (ByVal url As String, params() As LumoxPair, ByVal localPath As String, ByVal usePost As Long, ByVal reserved As Long, ByVal proxyServer As String, ByVal proxyPort As Long, ByVal proxyUser As String, ByVal proxyPassword As String) As Long
Public Declare Function HttpUploadFile Lib "Lumox.dll" (ByVal url As String, params() As LumoxPair, ByVal localPath As String, ByVal fieldName As String, ByVal responsePath As String) As Long
Public Declare Function HttpUploadFileEx Lib "Lumox.dll" (ByVal url As String, params() As LumoxPair, ByVal localPath As String, ByVal fieldName As String, ByVal responsePath As String, ByVal reserved As Long, ByVal proxyServer As String, ByVal proxyPort As Long, ByVal proxyUser As String, ByVal proxyPassword As String) As Long
Public Declare Function HttpGetErrStr Lib "Lumox.dll" (ByVal code As Long, ByRef message As String) As Long
Public Declare Function HttpParseURL Lib "Lumox.dll" (ByVal url As String, ByRef canonicalUrl As String) As Long
Private Declare Function LoadLibraryW Lib "kernel32" (ByVal lpLibFileName As Long) As Long
#End If

' 結果コード（HttpGetErrStr と LumoxMessage がそれぞれの日本語メッセージを返します）。
Public Const LUMOX_OK As Long = 0
Public Const LUMOX_E_INVALID_PARAMETER As Long = 10000  ' 必須の引数（url、localPath など）がない
Public Const LUMOX_E_TOO_LONG As Long = 10001           ' URL、パス、パラメーターが長すぎる、またはクエリ文字列に64組を超える
Public Const LUMOX_E_FILE_CREATE As Long = 10002        ' 保存先のファイルを作成できない、または置き換えられない
Public Const LUMOX_E_FILE_OPEN As Long = 10003          ' アップロードするファイルを開けない
Public Const LUMOX_E_FILE_SIZE As Long = 10004          ' アップロードするファイルの大きさが使えない
Public Const LUMOX_E_FILE_WRITE As Long = 10005         ' 接続が本文を渡した分より少なくしか受け取らなかった
Public Const LUMOX_E_BUFFER_TOO_SMALL As Long = 10006   ' 呼び出し側のバッファが小さすぎる（C 形式の関数だけ）
Public Const LUMOX_E_NO_MESSAGE As Long = 10007         ' 代わりのメッセージも入らない（C 形式の関数だけ）
Public Const LUMOX_E_NO_PROXY As Long = 10008           ' Ex 関数にプロキシサーバーが指定されていない
Public Const LUMOX_E_NO_SETTINGS As Long = 10009        ' メッセージのためだけに残しているコード。返しません
Public Const LUMOX_E_NO_REPLY As Long = 10010           ' メッセージのためだけに残しているコード。返しません
Public Const LUMOX_E_SIZE_MISMATCH As Long = 10011      ' 受信した大きさがサーバーの通知と違う

' Lumox.dll をパスを指定して読み込みます。最初の呼び出しの前に一度呼んでおくと、以後の
' 宣言（Lib "Lumox.dll"）はこの DLL を使います。読み込めた時に True を返します。
' 例: If Not LumoxLoad(ThisWorkbook.Path & "\Lumox.dll") Then MsgBox "Lumox.dll を読み込めません"
Public Function LumoxLoad(ByVal dllPath As String) As Boolean
    LumoxLoad = (LoadLibraryW(StrPtr(dllPath)) <> 0)
End Function

' 結果コードの日本語メッセージを返します（HttpGetErrStr を呼びます）。専用のメッセージが
' ないコード（0 を含む）は「不明なエラーが発生しました。」になります。
Public Function LumoxMessage(ByVal code As Long) As String
    Dim message As String
    If HttpGetErrStr(code, message) = LUMOX_OK Then LumoxMessage = message
End Function
