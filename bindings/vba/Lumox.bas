Attribute VB_Name = "LumoxAPI"
' Lumox 通信API の宣言モジュールです（VB6、32ビット版 VBA、64ビット版 VBA）。
'
' 使い方は【Lumox通信APIの説明】（Lumox-API-ja.html または Lumox-API-ja.md）の
' 「12. VBAからの使い方」にまとめてあります。クイックスタート、関数ごとの例、DLL の
' 置き場所、エラーが出た時の対処表もそちらをご覧ください。要点は次のとおりです。
'
' ・VBE の［ファイル］→［ファイルのインポート］で取り込むと、標準モジュール「LumoxAPI」に
'   なります。参照設定は不要です。本文を貼り付ける場合は、先頭の Attribute の行を除いて
'   標準モジュールに貼り付けてください。
' ・32ビット版 Office と VB6 には -win32 版、64ビット版 Office には -win64 版の
'   Lumox.dll を使います。
' ・ブックと同じフォルダーに置いた Lumox.dll は、そのままでは見つかりません（実行時エラー 53）。
'   最初の呼び出しの前に EnsureLumox(ThisWorkbook.Path) を呼んでください。Access では
'   CurrentProject.Path、VB6 では App.Path を渡します。
' ・パラメーターを送らない時は、一度も ReDim していない LumoxPair の動的配列を渡します。
'   GET と fieldName なしのアップロードでは、配列の要素数（値を入れていない要素も
'   数えます）が 64 を超えると 10001 になります。配列は入れる組の数ちょうどで ReDim します。
' ・省略する文字列引数（fieldName、responsePath、proxyUser、proxyPassword）には
'   vbNullString を渡します。
' ・関数は転送が終わるまで戻りません。その間 Excel は再描画されず、中断もできません。
' ・戻り値は 0 が成功で、それ以外はエラーです。LumoxMessage(戻り値) で日本語の
'   メッセージを取得できます。
Option Explicit

' パラメーターの組です（名前、値の順）。
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
Private Declare PtrSafe Function FreeLibrary Lib "kernel32" (ByVal hLibModule As LongPtr) As Long
Private Declare PtrSafe Function GetModuleHandleW Lib "kernel32" (ByVal lpModuleName As LongPtr) As LongPtr
Private Declare PtrSafe Function GetModuleFileNameW Lib "kernel32" (ByVal hModule As LongPtr, ByVal lpFilename As LongPtr, ByVal nSize As Long) As Long
#Else
Public Declare Function HttpDownloadFile Lib "Lumox.dll" (ByVal url As String, params() As LumoxPair, ByVal localPath As String, ByVal usePost As Long) As Long
Public Declare Function HttpDownloadFileEx Lib "Lumox.dll" (ByVal url As String, params() As LumoxPair, ByVal localPath As String, ByVal usePost As Long, ByVal reserved As Long, ByVal proxyServer As String, ByVal proxyPort As Long, ByVal proxyUser As String, ByVal proxyPassword As String) As Long
Public Declare Function HttpUploadFile Lib "Lumox.dll" (ByVal url As String, params() As LumoxPair, ByVal localPath As String, ByVal fieldName As String, ByVal responsePath As String) As Long
Public Declare Function HttpUploadFileEx Lib "Lumox.dll" (ByVal url As String, params() As LumoxPair, ByVal localPath As String, ByVal fieldName As String, ByVal responsePath As String, ByVal reserved As Long, ByVal proxyServer As String, ByVal proxyPort As Long, ByVal proxyUser As String, ByVal proxyPassword As String) As Long
Public Declare Function HttpGetErrStr Lib "Lumox.dll" (ByVal code As Long, ByRef message As String) As Long
Public Declare Function HttpParseURL Lib "Lumox.dll" (ByVal url As String, ByRef canonicalUrl As String) As Long
Private Declare Function LoadLibraryW Lib "kernel32" (ByVal lpLibFileName As Long) As Long
Private Declare Function FreeLibrary Lib "kernel32" (ByVal hLibModule As Long) As Long
Private Declare Function GetModuleHandleW Lib "kernel32" (ByVal lpModuleName As Long) As Long
Private Declare Function GetModuleFileNameW Lib "kernel32" (ByVal hModule As Long, ByVal lpFilename As Long, ByVal nSize As Long) As Long
#End If

' 結果コードです（HttpGetErrStr と LumoxMessage がそれぞれの日本語メッセージを返します）。
Public Const LUMOX_OK As Long = 0
Public Const LUMOX_E_INVALID_PARAMETER As Long = 10000  ' 必須の引数（url、localPath など）がない
Public Const LUMOX_E_TOO_LONG As Long = 10001           ' URL、パス、パラメーターが長すぎる、またはクエリ文字列が64組を超える
Public Const LUMOX_E_FILE_CREATE As Long = 10002        ' 保存先のファイルを作成できない、または置き換えられない
Public Const LUMOX_E_FILE_OPEN As Long = 10003          ' アップロードするファイルを開けない
Public Const LUMOX_E_FILE_SIZE As Long = 10004          ' アップロードするファイルのサイズを扱えない
Public Const LUMOX_E_FILE_WRITE As Long = 10005         ' 接続が本文の一部しか受け取らなかった
Public Const LUMOX_E_BUFFER_TOO_SMALL As Long = 10006   ' 呼び出し元のバッファーが小さすぎる（C 形式の関数だけ）
Public Const LUMOX_E_NO_MESSAGE As Long = 10007         ' 代わりのメッセージも入りきらない（C 形式の関数だけ）
Public Const LUMOX_E_NO_PROXY As Long = 10008           ' Ex 関数にプロキシサーバーが指定されていない
Public Const LUMOX_E_NO_SETTINGS As Long = 10009        ' メッセージのためだけに残しているコードで、返りません
Public Const LUMOX_E_NO_REPLY As Long = 10010           ' メッセージのためだけに残しているコードで、返りません
Public Const LUMOX_E_SIZE_MISMATCH As Long = 10011      ' 受信したサイズがサーバーの通知と違う

' LumoxLoad が失敗した理由のうち、Windows のエラー番号ではないものです（LumoxLoadError に入ります）。
Public Const LUMOX_LOAD_NOT_SAVED As Long = -1          ' 文書が未保存でフォルダーがない（パスが「\Lumox.dll」になる）
Public Const LUMOX_LOAD_WEB_PATH As Long = -2           ' 文書が OneDrive・SharePoint 上にあり、パスが https:// で始まる
Public Const LUMOX_LOAD_OTHER_DLL As Long = -3          ' 別のフォルダーの Lumox.dll が既に読み込まれている

' LumoxLoad が最後に失敗した理由です。0 は成功、正の値は Windows のエラー番号
' （Err.LastDllError。126 はファイルがない、193 はビット数が違う）、負の値は LUMOX_LOAD_*。
Public LumoxLoadError As Long

Private lumoxLoadedFrom As String   ' EnsureLumox が読み込んだ DLL のパス
Private lumoxTriedPath As String    ' LumoxLoad に最後に渡されたパス

' 完全なパスを指定して Lumox.dll を読み込みます。最初の呼び出しの前に一度呼んでおくと、
' 以後の Declare（Lib "Lumox.dll"）はすべてこの DLL を使います。読み込めた時は True を
' 返します。False の時は LumoxLoadError に理由が入り、LumoxLoadMessage で説明文を取得できます。
' 別のフォルダーの Lumox.dll が既に読み込まれている時は、その DLL が使われ続けるため
' False を返します（LUMOX_LOAD_OTHER_DLL）。
Public Function LumoxLoad(ByVal dllPath As String) As Boolean
#If VBA7 Then
    Dim before As LongPtr, handle As LongPtr
#Else
    Dim before As Long, handle As Long
#End If
    lumoxTriedPath = dllPath
    LumoxLoadError = 0
    If Len(dllPath) = 0 Or (Left$(dllPath, 1) = "\" And Left$(dllPath, 2) <> "\\") Then
        ' ThisWorkbook.Path が空（未保存のブック）だと「\Lumox.dll」になり、カレントドライブの
        ' ルートを指してしまいます。
        LumoxLoadError = LUMOX_LOAD_NOT_SAVED
        Exit Function
    End If
    If LCase$(Left$(dllPath, 8)) = "https://" Or LCase$(Left$(dllPath, 7)) = "http://" Then
        LumoxLoadError = LUMOX_LOAD_WEB_PATH
        Exit Function
    End If
    before = GetModuleHandleW(StrPtr("Lumox.dll"))
    handle = LoadLibraryW(StrPtr(dllPath))
    If handle = 0 Then
        LumoxLoadError = Err.LastDllError
    ElseIf before <> 0 And before <> handle Then
        ' 同じ名前の DLL は先に読み込まれたものが使われるため、今読み込んだものは解放します。
        FreeLibrary handle
        LumoxLoadError = LUMOX_LOAD_OTHER_DLL
    Else
        LumoxLoad = True
    End If
End Function

' 文書のフォルダー（Excel は ThisWorkbook.Path、Access は CurrentProject.Path、VB6 は
' App.Path）から Lumox.dll を読み込みます。2回目からは何もせずに True を返します。
' 読み込めない時は理由をメッセージボックスで表示して False を返します。
' 例: If Not EnsureLumox(ThisWorkbook.Path) Then Exit Sub
Public Function EnsureLumox(ByVal documentFolder As String) As Boolean
    If Len(lumoxLoadedFrom) > 0 Then
        EnsureLumox = True
        Exit Function
    End If
    If LumoxLoad(documentFolder & "\Lumox.dll") Then
        lumoxLoadedFrom = LumoxLoadedPath()
        EnsureLumox = True
    Else
        MsgBox LumoxLoadMessage(), vbCritical, "Lumox.dll を読み込めません"
    End If
End Function

' 読み込まれている Lumox.dll の完全なパスを返します。読み込まれていなければ空文字列です。
Public Function LumoxLoadedPath() As String
#If VBA7 Then
    Dim handle As LongPtr
#Else
    Dim handle As Long
#End If
    Dim buffer As String, length As Long
    handle = GetModuleHandleW(StrPtr("Lumox.dll"))
    If handle = 0 Then Exit Function
    buffer = String$(32768, vbNullChar)
    length = GetModuleFileNameW(handle, StrPtr(buffer), Len(buffer))
    LumoxLoadedPath = Left$(buffer, length)
End Function

' LumoxLoad が最後に失敗した理由と対処を、日本語の文で返します。成功していれば空文字列です。
Public Function LumoxLoadMessage() As String
    Dim reason As String
    Select Case LumoxLoadError
    Case 0
        Exit Function
    Case LUMOX_LOAD_NOT_SAVED
        reason = "文書がまだ保存されていないため、フォルダーが決まりません。" & _
                 "Lumox.dll と同じフォルダーに保存してから実行してください（Excel ではマクロ有効ブック .xlsm）。"
    Case LUMOX_LOAD_WEB_PATH
        reason = "文書が OneDrive または SharePoint 上にあり、パスが URL です: " & lumoxTriedPath & vbCrLf & _
                 "Lumox.dll はローカルのフォルダーから読み込んでください（説明書の12.6節）。"
    Case LUMOX_LOAD_OTHER_DLL
        reason = "別のフォルダーの Lumox.dll が既に読み込まれていて、そちらが使われます: " & LumoxLoadedPath() & vbCrLf & _
                 "アプリケーションをいったん終了してから、もう一度実行してください。"
    Case 126
        reason = "Lumox.dll が見つかりません: " & lumoxTriedPath
    Case 193
        reason = "Lumox.dll のビット数がアプリケーションと合いません（32ビット版と64ビット版）: " & lumoxTriedPath & vbCrLf & _
                 "32ビット版 Office と VB6 には -win32 版、64ビット版 Office には -win64 版を使ってください。"
    Case 5
        reason = "Lumox.dll を開く権限がありません: " & lumoxTriedPath
    Case Else
        reason = "Lumox.dll を読み込めません（Windows のエラー " & LumoxLoadError & "）: " & lumoxTriedPath
    End Select
    LumoxLoadMessage = reason
End Function

' 結果コードの日本語メッセージを返します（HttpGetErrStr を呼びます）。専用のメッセージが
' ないコード（0 を含む）は「不明なエラーが発生しました。」になります。
Public Function LumoxMessage(ByVal code As Long) As String
    Dim message As String
    If HttpGetErrStr(code, message) = LUMOX_OK Then LumoxMessage = message
End Function
