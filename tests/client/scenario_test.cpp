// The eight scenarios and their run sequence, against a stand-in window and library:
// which export is called with which arguments, which boxes appear with which texts, when
// HttpGetErrStr is asked, and the busy pointer around every box.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lumox_api.h"
#include "scenarios.h"

namespace {

using lumox_demo::RunScenario;
using lumox_demo::Scenario;

// Everything both stand-ins see, in one ordered log.
struct Trace {
  std::vector<std::wstring> events;
  bool busy = false;
};

class FakeWindow : public lumox_demo::ScenarioWindow {
 public:
  explicit FakeWindow(Trace &trace) : trace_(trace) {}
  std::wstring url = L"http://127.0.0.1/x/a/file.bin";
  std::wstring file = L"C:\\work\\a.bin";
  std::vector<std::wstring> boxes;

  void SetBusyPointer(bool busy) override {
    trace_.busy = busy;
    trace_.events.push_back(busy ? L"busy on" : L"busy off");
  }
  std::wstring UrlText() override {
    trace_.events.push_back(L"read TextURL");
    return url;
  }
  std::wstring FileText() override {
    trace_.events.push_back(L"read TextFile");
    return file;
  }
  void ShowMessage(const std::wstring &text) override {
    boxes.push_back(text);
    trace_.events.push_back(std::wstring(trace_.busy ? L"box (busy): " : L"box (idle): ") + text);
  }

 private:
  Trace &trace_;
};

// What one export call received. The parameter list is copied while the call runs.
struct Call {
  std::wstring exportName;
  std::vector<std::wstring> texts;  // text arguments in order
  std::vector<int> numbers;         // integer arguments in order
  SAFEARRAY **params = nullptr;
  bool arrayPresent = false;
  USHORT dims = 0;
  ULONG elementSize = 0;
  ULONG elementCount = 0;
  LONG lowerBound = -1;
  ULONG locks = 99;
  std::vector<std::pair<std::wstring, std::wstring>> pairs;  // "<null>" for a null string
  bool lockable = false;
};

class FakeLibrary : public lumox_demo::ScenarioLibrary {
 public:
  explicit FakeLibrary(Trace &trace) : trace_(trace) {}
  int transferResult = 0;
  int errStrResult = 0;
  std::wstring errStrMessage = L"要求された URI は存在しない。";
  std::vector<Call> calls;
  std::vector<int> errStrCodes;

  int HttpDownloadFile(const std::wstring &url, SAFEARRAY **params, const std::wstring &localPath,
                       int usePost) override {
    Call c = Begin(L"HttpDownloadFile", params);
    c.texts = {url, localPath};
    c.numbers = {usePost};
    return End(c);
  }
  int HttpDownloadFileEx(const std::wstring &url, SAFEARRAY **params, const std::wstring &localPath,
                         int usePost, int reserved, const std::wstring &proxyServer, int proxyPort,
                         const std::wstring &proxyUser,
                         const std::wstring &proxyPassword) override {
    Call c = Begin(L"HttpDownloadFileEx", params);
    c.texts = {url, localPath, proxyServer, proxyUser, proxyPassword};
    c.numbers = {usePost, reserved, proxyPort};
    return End(c);
  }
  int HttpUploadFile(const std::wstring &url, SAFEARRAY **params, const std::wstring &localPath,
                     const std::wstring &fieldName, const std::wstring &responsePath) override {
    Call c = Begin(L"HttpUploadFile", params);
    c.texts = {url, localPath, fieldName, responsePath};
    return End(c);
  }
  int HttpUploadFileEx(const std::wstring &url, SAFEARRAY **params, const std::wstring &localPath,
                       const std::wstring &fieldName, const std::wstring &responsePath,
                       int reserved, const std::wstring &proxyServer, int proxyPort,
                       const std::wstring &proxyUser, const std::wstring &proxyPassword) override {
    Call c = Begin(L"HttpUploadFileEx", params);
    c.texts = {url, localPath, fieldName, responsePath, proxyServer, proxyUser, proxyPassword};
    c.numbers = {reserved, proxyPort};
    return End(c);
  }
  int HttpGetErrStr(int code, std::wstring *message) override {
    errStrCodes.push_back(code);
    trace_.events.push_back(L"HttpGetErrStr " + std::to_wstring(code));
    *message = errStrMessage;
    return errStrResult;
  }
  int HttpParseURL(const std::wstring &url, std::wstring *canonicalUrl) override {
    trace_.events.push_back(L"HttpParseURL");
    return 0;
  }

 private:
  static std::wstring Text(BSTR s) {
    return s == nullptr ? L"<null>" : std::wstring(s, SysStringLen(s));
  }

  Call Begin(const wchar_t *name, SAFEARRAY **params) {
    Call c;
    c.exportName = name;
    c.params = params;
    if (params != nullptr && *params != nullptr) {
      SAFEARRAY *a = *params;
      c.arrayPresent = true;
      c.dims = a->cDims;
      c.elementSize = a->cbElements;
      c.elementCount = a->rgsabound[0].cElements;
      c.lowerBound = a->rgsabound[0].lLbound;
      c.locks = a->cLocks;
      // The library locks the array while it walks it; that must work on this array.
      c.lockable = SUCCEEDED(SafeArrayLock(a));
      if (c.lockable) {
        auto *p = static_cast<lumox_api::ParamPair *>(a->pvData);
        for (ULONG i = 0; i < c.elementCount; ++i)
          c.pairs.push_back({Text(p[i].name), Text(p[i].value)});
        SafeArrayUnlock(a);
      }
    }
    return c;
  }
  int End(Call &c) {
    trace_.events.push_back(L"call " + c.exportName);
    calls.push_back(c);
    return transferResult;
  }
  Trace &trace_;
};

const std::wstring kDlOk = L"ファイルをダウンロードしました！";
const std::wstring kDlFail = L"ファイルのダウンロードが失敗しました！";
const std::wstring kUlOk = L"ファイルをアップロードしました！";
const std::wstring kUlFail = L"ファイルのアップロードが失敗しました！";

// What each button must send, written out independently of the client's table.
struct Expected {
  const wchar_t *button;
  const wchar_t *caption;
  const wchar_t *exportName;
  bool testList;
  std::vector<std::wstring> furtherTexts;  // after url and localPath
  std::vector<int> numbers;
  bool upload;
};

const std::vector<Expected> &ExpectedTable() {
  static const std::vector<Expected> table = {
      {L"CmdDownload1",
       L"ﾀﾞｳﾝﾛｰﾄﾞ　　【GET方式】　　　　　　",
       L"HttpDownloadFile",
       false,
       {},
       {0},
       false},
      {L"CmdDownload2",
       L"ﾀﾞｳﾝﾛｰﾄﾞ　　【POST方式】　　　　　",
       L"HttpDownloadFile",
       false,
       {},
       {1},
       false},
      {L"CmdDownload3",
       L"ﾀﾞｳﾝﾛｰﾄﾞ　　【ﾊﾟﾗﾒｰﾀ付き】　　　　",
       L"HttpDownloadFile",
       true,
       {},
       {1},
       false},
      {L"CmdDownload4",
       L"ﾀﾞｳﾝﾛｰﾄﾞ　　【ﾌﾟﾛｷｼ ｻｰﾊﾞｰ利用】",
       L"HttpDownloadFileEx",
       false,
       {L"127.0.0.1", L"Kiva3", L"7391"},
       {1, 1, 80},
       false},
      {L"CmdUpload1",
       L"ｱｯﾌﾟﾛｰﾄﾞ　　【ｻｰﾊﾞｰ返信無視】　",
       L"HttpUploadFile",
       false,
       {L"inputfieldname", L""},
       {},
       true},
      {L"CmdUpload2",
       L"ｱｯﾌﾟﾛｰﾄﾞ　　【ｻｰﾊﾞｰ返信取得】　",
       L"HttpUploadFile",
       false,
       {L"inputfieldname", L"C:\\FeedbackInfo.txt"},
       {},
       true},
      {L"CmdUpload3",
       L"ｱｯﾌﾟﾛｰﾄﾞ　　【ﾊﾟﾗﾒｰﾀ付き】　　　　",
       L"HttpUploadFile",
       true,
       {L"inputfieldname", L"C:\\FeedbackInfo.txt"},
       {},
       true},
      {L"CmdUpload4",
       L"ｱｯﾌﾟﾛｰﾄﾞ　　【ﾌﾟﾛｷｼ ｻｰﾊﾞｰ利用】",
       L"HttpUploadFileEx",
       false,
       {L"inputfieldname", L"", L"127.0.0.1", L"Kiva3", L"7391"},
       {1, 80},
       true},
  };
  return table;
}

std::string Narrow(const std::wstring &w) {  // for failure messages only
  std::string s;
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr,
                              nullptr);
  s.resize(static_cast<size_t>(n > 0 ? n : 0));
  if (n > 0)
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), &s[0], n, nullptr,
                        nullptr);
  return s;
}

class EachScenario : public ::testing::TestWithParam<int> {
 protected:
  const Scenario &scenario() const { return lumox_demo::kScenarios[GetParam()]; }
  const Expected &expected() const { return ExpectedTable()[static_cast<size_t>(GetParam())]; }
  Trace trace;
  FakeWindow window{trace};
  FakeLibrary library{trace};
};

TEST_P(EachScenario, ButtonAndCaption) {
  EXPECT_EQ(Narrow(scenario().button), Narrow(expected().button));
  EXPECT_EQ(Narrow(scenario().caption), Narrow(expected().caption));
}

TEST_P(EachScenario, SendsTheFieldsAndItsFixedArgumentsToItsExport) {
  RunScenario(scenario(), window, library);
  ASSERT_EQ(library.calls.size(), 1u);
  const Call &c = library.calls[0];
  EXPECT_EQ(Narrow(c.exportName), Narrow(expected().exportName));
  std::vector<std::wstring> texts = {window.url, window.file};
  texts.insert(texts.end(), expected().furtherTexts.begin(), expected().furtherTexts.end());
  ASSERT_EQ(c.texts.size(), texts.size());
  for (size_t i = 0; i < texts.size(); ++i)
    EXPECT_EQ(Narrow(c.texts[i]), Narrow(texts[i])) << "text argument " << i;
  EXPECT_EQ(c.numbers, expected().numbers);
  if (expected().testList) {
    ASSERT_TRUE(c.arrayPresent);
    EXPECT_NE(c.params, lumox_api::EmptyParamList());
  } else {
    EXPECT_EQ(c.params, lumox_api::EmptyParamList());
    EXPECT_FALSE(c.arrayPresent);
  }
}

TEST_P(EachScenario, SuccessShowsOneBoxAndAsksNoMessage) {
  library.transferResult = 0;
  RunScenario(scenario(), window, library);
  std::vector<std::wstring> want = {L"busy on",
                                    L"read TextURL",
                                    L"read TextFile",
                                    L"call " + std::wstring(expected().exportName),
                                    L"box (busy): " + (expected().upload ? kUlOk : kDlOk),
                                    L"busy off"};
  ASSERT_EQ(trace.events.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i)
    EXPECT_EQ(Narrow(trace.events[i]), Narrow(want[i])) << "event " << i;
  EXPECT_TRUE(library.errStrCodes.empty());
}

TEST_P(EachScenario, FailureShowsCodeThenTheLibrarysMessage) {
  library.transferResult = 404;
  library.errStrMessage = L"要求された URI は存在しない。";
  RunScenario(scenario(), window, library);
  std::wstring first = (expected().upload ? kUlFail : kDlFail) + L"\r\nエラーコード：404";
  std::vector<std::wstring> want = {L"busy on",
                                    L"read TextURL",
                                    L"read TextFile",
                                    L"call " + std::wstring(expected().exportName),
                                    L"box (busy): " + first,
                                    L"HttpGetErrStr 404",
                                    L"box (busy): 要求された URI は存在しない。",
                                    L"busy off"};
  ASSERT_EQ(trace.events.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i)
    EXPECT_EQ(Narrow(trace.events[i]), Narrow(want[i])) << "event " << i;
}

TEST_P(EachScenario, NonZeroFromHttpGetErrStrLeavesOnlyTheFirstBox) {
  library.transferResult = 12029;
  library.errStrResult = 1;
  RunScenario(scenario(), window, library);
  ASSERT_EQ(window.boxes.size(), 1u);
  EXPECT_EQ(Narrow(window.boxes[0]),
            Narrow((expected().upload ? kUlFail : kDlFail) + L"\r\nエラーコード：12029"));
  EXPECT_EQ(library.errStrCodes, std::vector<int>{12029});
  EXPECT_EQ(Narrow(trace.events.back()), "busy off");
}

INSTANTIATE_TEST_SUITE_P(Buttons, EachScenario, ::testing::Range(0, lumox_demo::kScenarioCount));

class RunSequence : public ::testing::Test {
 protected:
  Trace trace;
  FakeWindow window{trace};
  FakeLibrary library{trace};
};

TEST_F(RunSequence, NegativeCodeIsShownWithItsSign) {
  library.transferResult = -7;
  RunScenario(lumox_demo::kScenarios[0], window, library);
  ASSERT_EQ(window.boxes.size(), 2u);
  EXPECT_EQ(Narrow(window.boxes[0]), Narrow(kDlFail + L"\r\nエラーコード：-7"));
  EXPECT_EQ(library.errStrCodes, std::vector<int>{-7});
}

TEST_F(RunSequence, LibraryCodesAndPlatformNumbersGoToHttpGetErrStrUnchanged) {
  for (int code : {10001, 12002, 87, 200, 2147483647}) {
    Trace t;
    FakeWindow w(t);
    FakeLibrary l(t);
    l.transferResult = code;
    l.errStrMessage = L"msg " + std::to_wstring(code);
    RunScenario(lumox_demo::kScenarios[4], w, l);
    ASSERT_EQ(w.boxes.size(), 2u) << code;
    EXPECT_EQ(Narrow(w.boxes[0]), Narrow(kUlFail + L"\r\nエラーコード：" + std::to_wstring(code)));
    EXPECT_EQ(Narrow(w.boxes[1]), Narrow(l.errStrMessage));
    EXPECT_EQ(l.errStrCodes, std::vector<int>{code});
  }
}

TEST_F(RunSequence, FieldTextsArePassedAsTheyStand) {
  window.url = L"  http:// ";
  window.file = L"";
  RunScenario(lumox_demo::kScenarios[5], window, library);
  ASSERT_EQ(library.calls.size(), 1u);
  EXPECT_EQ(Narrow(library.calls[0].texts[0]), "  http:// ");
  EXPECT_EQ(Narrow(library.calls[0].texts[1]), "");
}

TEST_F(RunSequence, EveryRunReadsTheFieldsAnew) {
  RunScenario(lumox_demo::kScenarios[0], window, library);
  window.url = L"http://127.0.0.1/second";
  window.file = L"C:\\second.bin";
  RunScenario(lumox_demo::kScenarios[0], window, library);
  ASSERT_EQ(library.calls.size(), 2u);
  EXPECT_EQ(Narrow(library.calls[1].texts[0]), "http://127.0.0.1/second");
  EXPECT_EQ(Narrow(library.calls[1].texts[1]), "C:\\second.bin");
}

TEST_F(RunSequence, SixScenariosShareOneEmptyListThatNeverGetsAnArray) {
  for (int i = 0; i < lumox_demo::kScenarioCount; ++i)
    RunScenario(lumox_demo::kScenarios[i], window, library);
  ASSERT_EQ(library.calls.size(), 8u);
  int shared = 0;
  for (const Call &c : library.calls) {
    if (c.params == lumox_api::EmptyParamList()) {
      ++shared;
      EXPECT_FALSE(c.arrayPresent);
    }
  }
  EXPECT_EQ(shared, 6);
  EXPECT_EQ(*lumox_api::EmptyParamList(), nullptr);
}

TEST_F(RunSequence, NoScenarioCallsHttpParseURL) {
  library.transferResult = 5;
  for (int i = 0; i < lumox_demo::kScenarioCount; ++i)
    RunScenario(lumox_demo::kScenarios[i], window, library);
  for (const std::wstring &e : trace.events) EXPECT_NE(Narrow(e), "HttpParseURL");
  EXPECT_EQ(library.errStrCodes.size(), 8u);
}

TEST_F(RunSequence, TestListHasThreeRecordsOfWhichTwoAreSet) {
  for (int index : {2, 6}) {  // CmdDownload3, CmdUpload3
    Trace t;
    FakeWindow w(t);
    FakeLibrary l(t);
    RunScenario(lumox_demo::kScenarios[index], w, l);
    ASSERT_EQ(l.calls.size(), 1u);
    const Call &c = l.calls[0];
    ASSERT_TRUE(c.arrayPresent) << index;
    EXPECT_EQ(c.dims, 1);
    EXPECT_EQ(c.elementSize, 2 * sizeof(BSTR));
    EXPECT_EQ(c.elementCount, 3u);
    EXPECT_EQ(c.lowerBound, 0);
    EXPECT_EQ(c.locks, 0u);
    EXPECT_TRUE(c.lockable);
    ASSERT_EQ(c.pairs.size(), 3u);
    EXPECT_EQ(Narrow(c.pairs[0].first), "Name1");
    EXPECT_EQ(Narrow(c.pairs[0].second), "Value1");
    EXPECT_EQ(Narrow(c.pairs[1].first), "Name2");
    EXPECT_EQ(Narrow(c.pairs[1].second), "Value2");
    EXPECT_EQ(Narrow(c.pairs[2].first), "<null>");
    EXPECT_EQ(Narrow(c.pairs[2].second), "<null>");
  }
}

TEST(TestParamList, IsBuiltFreshWithItsOwnStrings) {
  lumox_demo::TestParamList first;
  lumox_demo::TestParamList second;
  ASSERT_NE(*first.variable(), nullptr);
  ASSERT_NE(*second.variable(), nullptr);
  EXPECT_NE(*first.variable(), *second.variable());
  auto *a = static_cast<lumox_api::ParamPair *>((*first.variable())->pvData);
  auto *b = static_cast<lumox_api::ParamPair *>((*second.variable())->pvData);
  EXPECT_NE(a[0].name, b[0].name);
  EXPECT_EQ(SysStringLen(a[1].value), 6u);
  EXPECT_EQ(SafeArrayGetDim(*first.variable()), 1u);
  LONG lo = -1, hi = -1;
  EXPECT_EQ(SafeArrayGetLBound(*first.variable(), 1, &lo), S_OK);
  EXPECT_EQ(SafeArrayGetUBound(*first.variable(), 1, &hi), S_OK);
  EXPECT_EQ(lo, 0);
  EXPECT_EQ(hi, 2);
}

}  // namespace
