// The meanings of the result codes: each code once, with the library's Japanese message where
// it has one (the texts host programs compare, kept byte for byte) and the short English
// description that `lumox` adds where the library has only its general message.
#include "code_table.h"

namespace {

// Sorted by code.
const CodeMeaning kMeanings[] = {
    {2, nullptr, "the file being written was deleted while it was written"},
    {5, nullptr, "access to a local file was denied"},
    {6, nullptr, "a local file handle was not valid"},
    {8, nullptr, "the system ran out of memory"},
    {14, nullptr, "the system ran out of memory"},
    {29, nullptr, "the local file could not be written (device error)"},
    {30, nullptr, "the file to upload could not be read"},
    {32, nullptr, "a local file is in use by another program"},
    {39, nullptr, "the disk is full"},
    {87, u"パラメータに誤りがあります。", nullptr},
    {112, nullptr, "the disk is full"},
    {122, u"システム コールに渡されるデータ領域が小さすぎます。", nullptr},
    {161, u"指定されたパス名が無効です。", nullptr},
    {400,
     u"問い合わせの中にシンタックスの間違いがある。そのためサーバーは問い合わせを処理できない。",
     nullptr},
    {401, u"要求されたデーターはアクセスが許されていない。", nullptr},
    {402, u"要求されたデーターは有料。", nullptr},
    {403,
     u"サーバはリクエストを理解したが、そのリクエストの実行を拒否した。アクセス権限がない時など。",
     nullptr},
    {404, u"要求された URI は存在しない。", nullptr},
    {405, u"リクエスト・ラインで指定されたメソッドは許されていない。", nullptr},
    {406, u"受理不可", nullptr},
    {407, u"プロクシー認証リクエスト", nullptr},
    {408, u"クライアントは、サーバの待機時間内にリクエストを発行しなかった。", nullptr},
    {409, u"リクエストは、リソースの現在の状態と衝突するために完了できなかった。", nullptr},
    {410, u"行方不明無い", nullptr},
    {411, u"サーバは、定義された Content-Lengthのないリクエストの受理を拒否した。", nullptr},
    {412, u"前提条件失敗", nullptr},
    {413, u"リクエスト実体が大きすぎ", nullptr},
    {414, u"リクエストURIが大きすぎ", nullptr},
    {415, u"非サポート・メディア・タイプ", nullptr},
    {500, u"サーバ内部エラー", nullptr},
    {501, u"サーバは、リクエストを実行するために必要な機能をサポートしていない。", nullptr},
    {502, u"不正ゲートウェイ", nullptr},
    {503, u"サービス利用不可", nullptr},
    {504, u"ゲートウェイ・タイムアウト", nullptr},
    {505, u"非サポートHTTPバージョン", nullptr},
    {10000, u"APIに不正パラメータを渡られた", nullptr},
    {10001, u"URL又はパラメータが長すぎます", nullptr},
    {10002, u"ファイルの作成が失敗しました。", nullptr},
    {10003, u"ファイルが開けません。", nullptr},
    {10004, u"不正なファイルサイズ", nullptr},
    {10005, u"ファイルに書き込エラー", nullptr},
    {10006, u"コールに渡されるデータ領域が小さすぎます。", nullptr},
    {10007, u"エラー文が取られません。", nullptr},
    {10008, u"プロキシサーバーを指定していません。", nullptr},
    {10009, u"必要な初期設定ファイルが見つかりません。", nullptr},
    {10010, u"サーバーから返事が取得できません。", nullptr},
    {10011, u"ダウンロードしたファイルのサイズがサーバーと合いません。", nullptr},
    {12001, nullptr, "no more internet handles could be opened"},
    {12002, u"要求がタイムアウトになりました。", nullptr},
    {12003, u"拡張エラーがサーバーから返されました。", nullptr},
    {12004, u"内部エラーが発生しました。", nullptr},
    {12005, u"URL が無効です。", nullptr},
    {12006, u"URL スキーマが認識またはサポートされていません。", nullptr},
    {12007, nullptr, "the server's host name could not be resolved"},
    {12009, nullptr, "the internet library refused an option"},
    {12010, nullptr, "the internet library refused an option's length"},
    {12017, nullptr, "the operation was cancelled"},
    {12018, nullptr, "the internet library was given a handle of the wrong type"},
    {12019, u"与えられたハンドルが正常な状態ではないため、要求された操作が実行できません。",
     nullptr},
    {12020, u"プロキシを通して要求を実行できません。", nullptr},
    {12028, u"要求されたアイテムが見つかりませんでした。", nullptr},
    {12029, u"サーバーへの接続に失敗しました。", nullptr},
    {12030, u"サーバーへの接続が切断されました。", nullptr},
    {12031, u"サーバーへの接続がリセットされました。", nullptr},
    {12032, u"要求を再実行する Win32 インターネット機能を呼び出します。", nullptr},
    {12033, u"プロキシサーバーへ要求された操作が失敗しました。", nullptr},
    {12037, nullptr,
     "the server's certificate has expired or is not yet valid; -k skips the date check"},
    {12038, nullptr,
     "the server's certificate does not name the URL's host; -k skips the name check"},
    {12040, nullptr, "the server redirected from HTTPS to plain HTTP, which is not followed"},
    {12044, nullptr, "the server asks for a client certificate, which lumox cannot send"},
    {12045, nullptr,
     "the server's certificate is not signed by a trusted authority; -k skips the check"},
    {12055, nullptr, "the server's certificate has errors"},
    {12056, nullptr, "the revocation of the server's certificate could not be checked"},
    {12057, nullptr, "the revocation check of the server's certificate failed"},
    {12150, nullptr, "a header of the reply was not found"},
    {12152, nullptr, "the server's reply is not valid HTTP"},
    {12153, nullptr, "the server sent a header that is not valid"},
    {12156, nullptr, "the server redirected too often or to a place that cannot be followed"},
    {12157, nullptr, "the secure (TLS) connection could not be set up"},
    {12163, nullptr, "the network is disconnected"},
    {12169, nullptr, "the server's certificate is not valid"},
    {12170, nullptr, "the server's certificate has been revoked"},
    {12175, nullptr, "the secure channel or the reply's content could not be decoded"},
};

}  // namespace

const CodeMeaning *FindCodeMeaning(int code) {
  for (const CodeMeaning &meaning : kMeanings) {
    if (meaning.code == code) return &meaning;
  }
  return nullptr;
}

const CodeMeaning *AllCodeMeanings(size_t *count) {
  *count = sizeof kMeanings / sizeof kMeanings[0];
  return kMeanings;
}
