// The message table and the two exports that describe a result code.
#include "messages.h"

#include <string.h>
#include <windows.h>
#include <oleauto.h>

#include "Lumox.h"
#include "module.h"
#include "trace_log.h"

const char kFallbackMessage[] = "不明なエラーが発生しました。";

namespace {

struct MessageEntry {
  int code;
  const char16_t *text;
};

// One Japanese message per code, kept in UTF-16 and converted to the ANSI code page when
// handed out. Sorted by code.
const MessageEntry kMessages[] = {
    {87, u"パラメータに誤りがあります。"},
    {122, u"システム コールに渡されるデータ領域が小さすぎます。"},
    {161, u"指定されたパス名が無効です。"},
    {400,
     u"問い合わせの中にシンタックスの間違いがある。そのためサーバーは問い合わせを処理できない。"},
    {401, u"要求されたデーターはアクセスが許されていない。"},
    {402, u"要求されたデーターは有料。"},
    {403,
     u"サーバはリクエストを理解したが、そのリクエストの実行を拒否した。アクセス権限がない時など。"},
    {404, u"要求された URI は存在しない。"},
    {405, u"リクエスト・ラインで指定されたメソッドは許されていない。"},
    {406, u"受理不可"},
    {407, u"プロクシー認証リクエスト"},
    {408, u"クライアントは、サーバの待機時間内にリクエストを発行しなかった。"},
    {409, u"リクエストは、リソースの現在の状態と衝突するために完了できなかった。"},
    {410, u"行方不明無い"},
    {411, u"サーバは、定義された Content-Lengthのないリクエストの受理を拒否した。"},
    {412, u"前提条件失敗"},
    {413, u"リクエスト実体が大きすぎ"},
    {414, u"リクエストURIが大きすぎ"},
    {415, u"非サポート・メディア・タイプ"},
    {500, u"サーバ内部エラー"},
    {501, u"サーバは、リクエストを実行するために必要な機能をサポートしていない。"},
    {502, u"不正ゲートウェイ"},
    {503, u"サービス利用不可"},
    {504, u"ゲートウェイ・タイムアウト"},
    {505, u"非サポートHTTPバージョン"},
    {10000, u"APIに不正パラメータを渡られた"},
    {10001, u"URL又はパラメータが長すぎます"},
    {10002, u"ファイルの作成が失敗しました。"},
    {10003, u"ファイルが開けません。"},
    {10004, u"不正なファイルサイズ"},
    {10005, u"ファイルに書き込エラー"},
    {10006, u"コールに渡されるデータ領域が小さすぎます。"},
    {10007, u"エラー文が取られません。"},
    {10008, u"プロキシサーバーを指定していません。"},
    {10009, u"必要な初期設定ファイルが見つかりません。"},
    {10010, u"サーバーから返事が取得できません。"},
    {10011, u"ダウンロードしたファイルのサイズがサーバーと合いません。"},
    {12002, u"要求がタイムアウトになりました。"},
    {12003, u"拡張エラーがサーバーから返されました。"},
    {12004, u"内部エラーが発生しました。"},
    {12005, u"URL が無効です。"},
    {12006, u"URL スキーマが認識またはサポートされていません。"},
    {12019, u"与えられたハンドルが正常な状態ではないため、要求された操作が実行できません。"},
    {12020, u"プロキシを通して要求を実行できません。"},
    {12028, u"要求されたアイテムが見つかりませんでした。"},
    {12029, u"サーバーへの接続に失敗しました。"},
    {12030, u"サーバーへの接続が切断されました。"},
    {12031, u"サーバーへの接続がリセットされました。"},
    {12032, u"要求を再実行する Win32 インターネット機能を呼び出します。"},
    {12033, u"プロキシサーバーへ要求された操作が失敗しました。"},
};

constexpr size_t kWorkSize = 512;

const char16_t *FindMessage(int code) {
  for (const MessageEntry &entry : kMessages) {
    if (entry.code == code) return entry.text;
  }
  return nullptr;
}

}  // namespace

int LoadMessage(int code, char *buffer, size_t size) {
  if (buffer == nullptr || size == 0) return -1;
  const char16_t *text = FindMessage(code);
  if (text == nullptr) return 0;
  size_t wideLength = 0;
  while (text[wideLength] != 0) ++wideLength;
  char converted[kWorkSize];
  memset(converted, 0, sizeof converted);
  int length =
      WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<LPCWSTR>(text), static_cast<int>(wideLength),
                          converted, static_cast<int>(sizeof converted - 1), nullptr, nullptr);
  if (length <= 0 || static_cast<size_t>(length) >= size) return -1;
  memcpy(buffer, converted, static_cast<size_t>(length));
  buffer[length] = '\0';
  return length;
}

extern "C" LUMOX_API int LUMOX_CALL HttpGetErrStr(int code, BSTR *message) {
  if (message == nullptr) return LUMOX_E_INVALID_PARAMETER;
  char work[kWorkSize];
  memset(work, 0, sizeof work);
  if (LoadMessage(code, work, sizeof work) <= 0) {
    memset(work, 0, sizeof work);
    memcpy(work, kFallbackMessage, sizeof kFallbackMessage);
  }
  TraceLog("IF", "GetErrStr。Code:%d----%s", code, work);
  SetResultString(message, work);
  return LUMOX_OK;
}

extern "C" LUMOX_API int LUMOX_CALL HttpGetErrStrC(int code, char *buffer,
                                                   unsigned int bufferSize) {
  char work[kWorkSize];
  memset(work, 0, sizeof work);
  if (buffer == nullptr) return LUMOX_E_INVALID_PARAMETER;
  int length = LoadMessage(code, work, sizeof work);
  if (length > 0) {
    if (static_cast<unsigned int>(length) >= bufferSize) return LUMOX_E_BUFFER_TOO_SMALL;
    memcpy(buffer, work, static_cast<size_t>(length) + 1);
    return LUMOX_OK;
  }
  const size_t fallbackLength = sizeof kFallbackMessage - 1;
  if (bufferSize < fallbackLength + 1) return LUMOX_E_NO_MESSAGE;
  memcpy(buffer, kFallbackMessage, fallbackLength + 1);
  return LUMOX_OK;
}
