// LumoxAPI against stand-in exports: entry points bound by name on their first call and
// kept, a missing export reported as fatal, text handed over as ANSI automation strings,
// the parameter-list variable passed by address, and the message of HttpGetErrStr
// converted back from the ANSI code page.
#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "lumox_api.h"
#include "scenarios.h"
#include "test_support.h"

namespace {

using lumox_test::Sjis;

// What the stand-in exports saw.
struct ExportCall {
  std::string name;
  std::vector<std::string> texts;   // ANSI bytes of every text argument, in order
  std::vector<bool> textsAreBstrs;  // length prefix equals the byte count
  std::vector<int> numbers;
  SAFEARRAY **params = nullptr;
  bool messageNullOnEntry = false;
};

std::vector<ExportCall> g_calls;
std::map<std::string, int> g_lookups;
std::vector<std::string> g_missing;  // names the resolver does not know
int g_result = 0;
std::string g_messageBytes;  // what HttpGetErrStr / HttpParseURL store

void AddText(ExportCall &c, const char *s) {
  if (s == nullptr) {
    c.texts.push_back("<null>");
    c.textsAreBstrs.push_back(false);
    return;
  }
  c.texts.push_back(s);
  c.textsAreBstrs.push_back(SysStringByteLen(reinterpret_cast<BSTR>(const_cast<char *>(s))) ==
                            strlen(s));
}

int WINAPI FakeDownloadFile(const char *url, SAFEARRAY **params, const char *localPath,
                            int usePost) {
  ExportCall c;
  c.name = "HttpDownloadFile";
  AddText(c, url);
  AddText(c, localPath);
  c.numbers = {usePost};
  c.params = params;
  g_calls.push_back(c);
  return g_result;
}

int WINAPI FakeDownloadFileEx(const char *url, SAFEARRAY **params, const char *localPath,
                              int usePost, int reserved, const char *proxyServer, int proxyPort,
                              const char *proxyUser, const char *proxyPassword) {
  ExportCall c;
  c.name = "HttpDownloadFileEx";
  for (const char *s : {url, localPath, proxyServer, proxyUser, proxyPassword}) AddText(c, s);
  c.numbers = {usePost, reserved, proxyPort};
  c.params = params;
  g_calls.push_back(c);
  return g_result;
}

int WINAPI FakeUploadFile(const char *url, SAFEARRAY **params, const char *localPath,
                          const char *fieldName, const char *responsePath) {
  ExportCall c;
  c.name = "HttpUploadFile";
  for (const char *s : {url, localPath, fieldName, responsePath}) AddText(c, s);
  c.params = params;
  g_calls.push_back(c);
  return g_result;
}

int WINAPI FakeUploadFileEx(const char *url, SAFEARRAY **params, const char *localPath,
                            const char *fieldName, const char *responsePath, int reserved,
                            const char *proxyServer, int proxyPort, const char *proxyUser,
                            const char *proxyPassword) {
  ExportCall c;
  c.name = "HttpUploadFileEx";
  for (const char *s :
       {url, localPath, fieldName, responsePath, proxyServer, proxyUser, proxyPassword})
    AddText(c, s);
  c.numbers = {reserved, proxyPort};
  c.params = params;
  g_calls.push_back(c);
  return g_result;
}

// Stores the ANSI bytes as the library does: an automation string of exactly that many
// bytes, allocated without conversion.
void StoreAnsi(BSTR *out) {
  *out = SysAllocStringByteLen(g_messageBytes.data(), static_cast<UINT>(g_messageBytes.size()));
}

int WINAPI FakeGetErrStr(int code, BSTR *message) {
  ExportCall c;
  c.name = "HttpGetErrStr";
  c.numbers = {code};
  c.messageNullOnEntry = (*message == nullptr);
  g_calls.push_back(c);
  StoreAnsi(message);
  return 0;
}

int WINAPI FakeParseURL(const char *url, BSTR *canonical) {
  ExportCall c;
  c.name = "HttpParseURL";
  AddText(c, url);
  c.messageNullOnEntry = (*canonical == nullptr);
  g_calls.push_back(c);
  StoreAnsi(canonical);
  return 0;
}

FARPROC Resolve(const char *name, void *) {
  g_lookups[name]++;
  for (const std::string &m : g_missing)
    if (m == name) return nullptr;
  static const std::map<std::string, void *> exports = {
      {"HttpDownloadFile", reinterpret_cast<void *>(&FakeDownloadFile)},
      {"HttpDownloadFileEx", reinterpret_cast<void *>(&FakeDownloadFileEx)},
      {"HttpUploadFile", reinterpret_cast<void *>(&FakeUploadFile)},
      {"HttpUploadFileEx", reinterpret_cast<void *>(&FakeUploadFileEx)},
      {"HttpGetErrStr", reinterpret_cast<void *>(&FakeGetErrStr)},
      {"HttpParseURL", reinterpret_cast<void *>(&FakeParseURL)},
  };
  auto it = exports.find(name);
  return it == exports.end() ? nullptr : reinterpret_cast<FARPROC>(it->second);
}

struct Fatal : std::runtime_error {
  explicit Fatal(const std::wstring &t) : std::runtime_error("fatal"), text(t) {}
  std::wstring text;
};
void ThrowFatal(const std::wstring &text) { throw Fatal(text); }

class LumoxApi : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(GetACP(), 932u) << "the client tests expect the Japanese ANSI code page";
    g_calls.clear();
    g_lookups.clear();
    g_missing.clear();
    g_result = 0;
    g_messageBytes.clear();
    lumox_api::SetResolver(Resolve, nullptr);
    lumox_api::SetFatalHandler(ThrowFatal);
  }
  void TearDown() override { lumox_api::RestoreDefaults(); }
};

TEST_F(LumoxApi, TextsArriveAsAnsiAutomationStringsInArgumentOrder) {
  g_result = 10008;
  int rc = lumox_api::HttpUploadFileEx(L"http://127.0.0.1/アップ", lumox_api::EmptyParamList(),
                                       L"C:\\データ\\送信.txt", L"inputfieldname", L"", 1,
                                       L"127.0.0.1", 80, L"Kiva3", L"７３９１");
  EXPECT_EQ(rc, 10008);
  ASSERT_EQ(g_calls.size(), 1u);
  const ExportCall &c = g_calls[0];
  EXPECT_EQ(c.name, "HttpUploadFileEx");
  std::vector<std::string> want = {Sjis(u8"http://127.0.0.1/アップ"),
                                   Sjis(u8"C:\\データ\\送信.txt"),
                                   "inputfieldname",
                                   "",
                                   "127.0.0.1",
                                   "Kiva3",
                                   Sjis(u8"７３９１")};
  ASSERT_EQ(c.texts.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(lumox_test::Hex(c.texts[i]), lumox_test::Hex(want[i])) << "text argument " << i;
    EXPECT_TRUE(c.textsAreBstrs[i]) << "text argument " << i;
  }
  EXPECT_EQ(c.numbers, (std::vector<int>{1, 80}));
  EXPECT_EQ(c.params, lumox_api::EmptyParamList());
  EXPECT_EQ(*c.params, nullptr);
}

TEST_F(LumoxApi, EveryTransferWrapperForwardsItsArguments) {
  SAFEARRAY *variable = nullptr;
  lumox_api::HttpDownloadFile(L"u1", &variable, L"p1", 7);
  lumox_api::HttpDownloadFileEx(L"u2", &variable, L"p2", 0, 3, L"s", 8080, L"user", L"pw");
  lumox_api::HttpUploadFile(L"u3", &variable, L"p3", L"f", L"C:\\FeedbackInfo.txt");
  ASSERT_EQ(g_calls.size(), 3u);
  EXPECT_EQ(g_calls[0].texts, (std::vector<std::string>{"u1", "p1"}));
  EXPECT_EQ(g_calls[0].numbers, std::vector<int>{7});
  EXPECT_EQ(g_calls[1].texts, (std::vector<std::string>{"u2", "p2", "s", "user", "pw"}));
  EXPECT_EQ(g_calls[1].numbers, (std::vector<int>{0, 3, 8080}));
  EXPECT_EQ(g_calls[2].texts, (std::vector<std::string>{"u3", "p3", "f", "C:\\FeedbackInfo.txt"}));
  for (const ExportCall &c : g_calls) EXPECT_EQ(c.params, &variable);
}

TEST_F(LumoxApi, MessageComesBackFromTheAnsiCodePage) {
  g_messageBytes = Sjis(u8"要求された URI は存在しない。");
  std::wstring message = L"old";
  EXPECT_EQ(lumox_api::HttpGetErrStr(404, &message), 0);
  EXPECT_EQ(message, L"要求された URI は存在しない。");
  ASSERT_EQ(g_calls.size(), 1u);
  EXPECT_EQ(g_calls[0].numbers, std::vector<int>{404});
  EXPECT_TRUE(g_calls[0].messageNullOnEntry);
}

TEST_F(LumoxApi, NoStoredMessageGivesAnEmptyText) {
  std::wstring message = L"old";
  EXPECT_EQ(lumox_api::HttpGetErrStr(0, &message), 0);  // an empty automation string
  EXPECT_EQ(message, L"");
}

TEST_F(LumoxApi, ParseUrlConvertsBothWays) {
  g_messageBytes = Sjis(u8"http://127.0.0.1/%E3%81%82");
  std::wstring canonical;
  EXPECT_EQ(lumox_api::HttpParseURL(L"http://127.0.0.1/./あ", &canonical), 0);
  EXPECT_EQ(canonical, L"http://127.0.0.1/%E3%81%82");
  ASSERT_EQ(g_calls.size(), 1u);
  EXPECT_EQ(g_calls[0].texts[0], Sjis(u8"http://127.0.0.1/./あ"));
  EXPECT_TRUE(g_calls[0].messageNullOnEntry);
}

TEST_F(LumoxApi, EachEntryPointIsLookedUpOnceOnItsFirstCall) {
  EXPECT_TRUE(g_lookups.empty());
  SAFEARRAY **empty = lumox_api::EmptyParamList();
  lumox_api::HttpDownloadFile(L"a", empty, L"b", 0);
  lumox_api::HttpDownloadFile(L"a", empty, L"b", 1);
  lumox_api::HttpDownloadFile(L"a", empty, L"b", 0);
  std::wstring m;
  lumox_api::HttpGetErrStr(1, &m);
  lumox_api::HttpGetErrStr(2, &m);
  EXPECT_EQ(g_lookups, (std::map<std::string, int>{{"HttpDownloadFile", 1}, {"HttpGetErrStr", 1}}));
  EXPECT_EQ(g_calls.size(), 5u);
}

TEST_F(LumoxApi, MissingExportIsFatalAndNothingIsCalled) {
  g_missing = {"HttpUploadFile"};
  try {
    lumox_api::HttpUploadFile(L"u", lumox_api::EmptyParamList(), L"p", L"f", L"");
    FAIL() << "a missing export must end the program";
  } catch (const Fatal &f) {
    EXPECT_EQ(f.text, lumox_api::ExportMissingText("HttpUploadFile"));
    EXPECT_NE(f.text.find(L"HttpUploadFile"), std::wstring::npos);
  }
  EXPECT_TRUE(g_calls.empty());
  // The other entry points still bind.
  lumox_api::HttpUploadFileEx(L"u", lumox_api::EmptyParamList(), L"p", L"f", L"", 1, L"s", 80, L"a",
                              L"b");
  EXPECT_EQ(g_calls.size(), 1u);
}

// The eight buttons through the real binding: the stand-in exports see ANSI texts, and
// HttpParseURL is never bound.
TEST_F(LumoxApi, AllScenariosThroughTheBinding) {
  struct Window : lumox_demo::ScenarioWindow {
    std::vector<std::wstring> boxes;
    void SetBusyPointer(bool) override {}
    std::wstring UrlText() override { return L"http://127.0.0.1:8080/x/t1/status/404"; }
    std::wstring FileText() override { return L"C:\\受信\\file.bin"; }
    void ShowMessage(const std::wstring &t) override { boxes.push_back(t); }
  } window;
  lumox_demo::LumoxApiLibrary library;
  g_result = 404;
  g_messageBytes = Sjis(u8"要求された URI は存在しない。");
  for (int i = 0; i < lumox_demo::kScenarioCount; ++i)
    lumox_demo::RunScenario(lumox_demo::kScenarios[i], window, library);
  EXPECT_EQ(g_lookups.count("HttpParseURL"), 0u);
  EXPECT_EQ(g_lookups.size(), 5u);
  ASSERT_EQ(g_calls.size(), 16u);  // each transfer followed by HttpGetErrStr
  const char *names[] = {"HttpDownloadFile",   "HttpDownloadFile", "HttpDownloadFile",
                         "HttpDownloadFileEx", "HttpUploadFile",   "HttpUploadFile",
                         "HttpUploadFile",     "HttpUploadFileEx"};
  for (int i = 0; i < 8; ++i) {
    const ExportCall &t = g_calls[static_cast<size_t>(2 * i)];
    EXPECT_EQ(t.name, names[i]);
    EXPECT_EQ(t.texts[0], "http://127.0.0.1:8080/x/t1/status/404");
    EXPECT_EQ(t.texts[1], Sjis(u8"C:\\受信\\file.bin"));
    EXPECT_EQ(g_calls[static_cast<size_t>(2 * i + 1)].name, "HttpGetErrStr");
    EXPECT_EQ(g_calls[static_cast<size_t>(2 * i + 1)].numbers, std::vector<int>{404});
  }
  ASSERT_EQ(window.boxes.size(), 16u);
  EXPECT_EQ(window.boxes[1], L"要求された URI は存在しない。");
  EXPECT_EQ(window.boxes[14], L"ファイルのアップロードが失敗しました！\r\nエラーコード：404");
}

}  // namespace
