// HttpGetErrStr and HttpGetErrStrC of the built library: every message, the fallback,
// buffer limits and the automation string handed back.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "Lumox.h"
#include "test_support.h"

using lumox_test::Hex;
using lumox_test::LibraryCopy;
using lumox_test::Sjis;

namespace {

typedef int(LUMOX_CALL *GetErrStrFn)(int, BSTR *);
typedef int(LUMOX_CALL *GetErrStrCFn)(int, char *, unsigned int);

struct Message {
  int code;
  const char *utf8;
};

const Message kMessages[] = {
    {87, u8"パラメータに誤りがあります。"},
    {122, u8"システム コールに渡されるデータ領域が小さすぎます。"},
    {161, u8"指定されたパス名が無効です。"},
    {400,
     u8"問い合わせの中にシンタックスの間違いがある。そのためサーバーは問い合わせを処理できない。"},
    {401, u8"要求されたデーターはアクセスが許されていない。"},
    {402, u8"要求されたデーターは有料。"},
    {403,
     u8"サーバはリクエストを理解したが、そのリクエストの実行を拒否した。アクセス権限がない時など。"},
    {404, u8"要求された URI は存在しない。"},
    {405, u8"リクエスト・ラインで指定されたメソッドは許されていない。"},
    {406, u8"受理不可"},
    {407, u8"プロクシー認証リクエスト"},
    {408, u8"クライアントは、サーバの待機時間内にリクエストを発行しなかった。"},
    {409, u8"リクエストは、リソースの現在の状態と衝突するために完了できなかった。"},
    {410, u8"行方不明無い"},
    {411, u8"サーバは、定義された Content-Lengthのないリクエストの受理を拒否した。"},
    {412, u8"前提条件失敗"},
    {413, u8"リクエスト実体が大きすぎ"},
    {414, u8"リクエストURIが大きすぎ"},
    {415, u8"非サポート・メディア・タイプ"},
    {500, u8"サーバ内部エラー"},
    {501, u8"サーバは、リクエストを実行するために必要な機能をサポートしていない。"},
    {502, u8"不正ゲートウェイ"},
    {503, u8"サービス利用不可"},
    {504, u8"ゲートウェイ・タイムアウト"},
    {505, u8"非サポートHTTPバージョン"},
    {10000, u8"APIに不正パラメータを渡られた"},
    {10001, u8"URL又はパラメータが長すぎます"},
    {10002, u8"ファイルの作成が失敗しました。"},
    {10003, u8"ファイルが開けません。"},
    {10004, u8"不正なファイルサイズ"},
    {10005, u8"ファイルに書き込エラー"},
    {10006, u8"コールに渡されるデータ領域が小さすぎます。"},
    {10007, u8"エラー文が取られません。"},
    {10008, u8"プロキシサーバーを指定していません。"},
    {10009, u8"必要な初期設定ファイルが見つかりません。"},
    {10010, u8"サーバーから返事が取得できません。"},
    {10011, u8"ダウンロードしたファイルのサイズがサーバーと合いません。"},
    {12002, u8"要求がタイムアウトになりました。"},
    {12003, u8"拡張エラーがサーバーから返されました。"},
    {12004, u8"内部エラーが発生しました。"},
    {12005, u8"URL が無効です。"},
    {12006, u8"URL スキーマが認識またはサポートされていません。"},
    {12019, u8"与えられたハンドルが正常な状態ではないため、要求された操作が実行できません。"},
    {12020, u8"プロキシを通して要求を実行できません。"},
    {12028, u8"要求されたアイテムが見つかりませんでした。"},
    {12029, u8"サーバーへの接続に失敗しました。"},
    {12030, u8"サーバーへの接続が切断されました。"},
    {12031, u8"サーバーへの接続がリセットされました。"},
    {12032, u8"要求を再実行する Win32 インターネット機能を呼び出します。"},
    {12033, u8"プロキシサーバーへ要求された操作が失敗しました。"},
};

const char kFallbackUtf8[] = u8"不明なエラーが発生しました。";
const int kCodesWithoutMessage[] = {0,   1,    2,     200,   302,   399,   416, 499,
                                    506, 9999, 10012, 12001, 12007, 12034, -1};

class Messages : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { lib_ = new LibraryCopy("", "messages"); }
  static void TearDownTestSuite() {
    delete lib_;
    lib_ = nullptr;
  }
  GetErrStrCFn plain() const { return lib_->Get<GetErrStrCFn>("HttpGetErrStrC"); }
  GetErrStrFn host() const { return lib_->Get<GetErrStrFn>("HttpGetErrStr"); }
  // HttpGetErrStrC into a guarded buffer of size bytes; untouched is 'Z' filled.
  int Plain(int code, unsigned int size, std::string *text, bool *untouched = nullptr) {
    std::vector<char> buffer(size + 8, 'Z');
    int result = plain()(code, buffer.data(), size);
    *text = result == 0 ? std::string(buffer.data()) : std::string();
    if (untouched) *untouched = std::string(buffer.data(), size + 8) == std::string(size + 8, 'Z');
    return result;
  }
  static LibraryCopy *lib_;
};
LibraryCopy *Messages::lib_ = nullptr;

std::string BstrBytes(BSTR text) {
  return text ? std::string(reinterpret_cast<const char *>(text), SysStringByteLen(text)) : "";
}

}  // namespace

TEST_F(Messages, EveryCodeHasItsShiftJisText) {
  ASSERT_TRUE(lib_->loaded());
  for (const Message &m : kMessages) {
    std::string text;
    EXPECT_EQ(Plain(m.code, 512, &text), 0) << m.code;
    EXPECT_EQ(text, Sjis(m.utf8)) << m.code;
  }
  std::string text;
  Plain(403, 512, &text);
  EXPECT_EQ(text.size(), 90u);
}

TEST_F(Messages, BytesAreShiftJis) {
  std::string text;
  ASSERT_EQ(Plain(10000, 512, &text), 0);
  EXPECT_EQ(Hex(text), "41504982C9957390B3837083898381815B835E82F0936E82E782EA82BD");
  ASSERT_EQ(Plain(406, 512, &text), 0);
  EXPECT_EQ(Hex(text), "8EF3979D957389C2");
  ASSERT_EQ(Plain(12005, 512, &text), 0);
  EXPECT_EQ(Hex(text), "55524C2082AA96B38CF882C582B78142");
  ASSERT_EQ(Plain(0, 512, &text), 0);
  EXPECT_EQ(Hex(text), "957396BE82C883478389815B82AA94AD90B682B582DC82B582BD8142");
}

TEST_F(Messages, CodesWithoutMessageGetTheFallback) {
  for (int code : kCodesWithoutMessage) {
    std::string text;
    EXPECT_EQ(Plain(code, 512, &text), 0) << code;
    EXPECT_EQ(text, Sjis(kFallbackUtf8)) << code;
  }
}

TEST_F(Messages, PlainBufferLimits) {
  std::string text;
  bool untouched = false;
  // The message of 10000 is 29 bytes.
  EXPECT_EQ(Plain(10000, 29, &text, &untouched), 10006);
  EXPECT_TRUE(untouched);
  EXPECT_EQ(Plain(10000, 30, &text), 0);
  EXPECT_EQ(text, Sjis(u8"APIに不正パラメータを渡られた"));
  EXPECT_EQ(Plain(10000, 0, &text, &untouched), 10006);
  EXPECT_TRUE(untouched);
  // The fallback is 28 bytes.
  EXPECT_EQ(Plain(200, 28, &text, &untouched), 10007);
  EXPECT_TRUE(untouched);
  EXPECT_EQ(Plain(200, 29, &text), 0);
  EXPECT_EQ(text, Sjis(kFallbackUtf8));
  EXPECT_EQ(plain()(0, nullptr, 512), 10000);
  EXPECT_EQ(plain()(404, nullptr, 512), 10000);
}

TEST_F(Messages, HostStringHoldsTheAnsiBytes) {
  BSTR message = lumox_test::MakeBstr(u"old text");
  ASSERT_EQ(host()(404, &message), 0);
  ASSERT_NE(message, nullptr);
  std::string expected = Sjis(u8"要求された URI は存在しない。");
  EXPECT_EQ(SysStringByteLen(message), expected.size());
  EXPECT_EQ(BstrBytes(message), expected);
  EXPECT_EQ(strlen(reinterpret_cast<const char *>(message)), expected.size());
  ASSERT_EQ(host()(0, &message), 0);
  EXPECT_EQ(BstrBytes(message), Sjis(kFallbackUtf8));
  for (const Message &m : kMessages) {
    ASSERT_EQ(host()(m.code, &message), 0);
    EXPECT_EQ(BstrBytes(message), Sjis(m.utf8)) << m.code;
  }
  SysFreeString(message);
  EXPECT_EQ(host()(404, nullptr), 10000);
}
