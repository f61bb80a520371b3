#include "scenarios.h"

#include <cstring>
#include <optional>

#include "lumox_api.h"

namespace lumox_demo {

// The proxy the two proxy scenarios go through: this machine, so a run never leaves it.
const wchar_t kProxyServer[] = L"127.0.0.1";
const wchar_t kProxyUser[] = L"Kiva3";
const wchar_t kProxyPassword[] = L"7391";

const wchar_t kDownloadDone[] = L"ファイルをダウンロードしました！";
const wchar_t kDownloadFailed[] = L"ファイルのダウンロードが失敗しました！";
const wchar_t kUploadDone[] = L"ファイルをアップロードしました！";
const wchar_t kUploadFailed[] = L"ファイルのアップロードが失敗しました！";
const wchar_t kErrorCodeLabel[] = L"エラーコード：";

namespace {
const wchar_t kFieldName[] = L"inputfieldname";
const wchar_t kFeedbackFile[] = L"C:\\FeedbackInfo.txt";
const wchar_t kNoFeedback[] = L"";
}  // namespace

const Scenario kScenarios[kScenarioCount] = {
    {L"CmdDownload1", L"ﾀﾞｳﾝﾛｰﾄﾞ　　【GET方式】　　　　　　", Export::DownloadFile,
     ParamList::Empty, 0, nullptr, nullptr, false},
    {L"CmdDownload2", L"ﾀﾞｳﾝﾛｰﾄﾞ　　【POST方式】　　　　　", Export::DownloadFile, ParamList::Empty,
     1, nullptr, nullptr, false},
    {L"CmdDownload3", L"ﾀﾞｳﾝﾛｰﾄﾞ　　【ﾊﾟﾗﾒｰﾀ付き】　　　　", Export::DownloadFile, ParamList::Test,
     1, nullptr, nullptr, false},
    {L"CmdDownload4", L"ﾀﾞｳﾝﾛｰﾄﾞ　　【ﾌﾟﾛｷｼ ｻｰﾊﾞｰ利用】", Export::DownloadFileEx, ParamList::Empty,
     1, nullptr, nullptr, false},
    {L"CmdUpload1", L"ｱｯﾌﾟﾛｰﾄﾞ　　【ｻｰﾊﾞｰ返信無視】　", Export::UploadFile, ParamList::Empty, 0,
     kFieldName, kNoFeedback, true},
    {L"CmdUpload2", L"ｱｯﾌﾟﾛｰﾄﾞ　　【ｻｰﾊﾞｰ返信取得】　", Export::UploadFile, ParamList::Empty, 0,
     kFieldName, kFeedbackFile, true},
    {L"CmdUpload3", L"ｱｯﾌﾟﾛｰﾄﾞ　　【ﾊﾟﾗﾒｰﾀ付き】　　　　", Export::UploadFile, ParamList::Test, 0,
     kFieldName, kFeedbackFile, true},
    {L"CmdUpload4", L"ｱｯﾌﾟﾛｰﾄﾞ　　【ﾌﾟﾛｷｼ ｻｰﾊﾞｰ利用】", Export::UploadFileEx, ParamList::Empty, 0,
     kFieldName, kNoFeedback, true},
};

std::wstring FailureText(bool upload, int code) {
  std::wstring text = upload ? kUploadFailed : kDownloadFailed;
  text += L"\r\n";
  text += kErrorCodeLabel;
  text += std::to_wstring(code);
  return text;
}

TestParamList::TestParamList() {
  // A fixed array of three records of two strings, as a host dimensions it. No record
  // type information is attached, so the strings are released here, not by the array.
  if (FAILED(SafeArrayAllocDescriptor(1, &array_)) || array_ == nullptr) {
    array_ = nullptr;
    return;
  }
  array_->cbElements = sizeof(lumox_api::ParamPair);
  array_->fFeatures = FADF_FIXEDSIZE;
  array_->rgsabound[0].cElements = 3;
  array_->rgsabound[0].lLbound = 0;
  if (FAILED(SafeArrayAllocData(array_))) {
    SafeArrayDestroyDescriptor(array_);
    array_ = nullptr;
    return;
  }
  auto *pairs = static_cast<lumox_api::ParamPair *>(array_->pvData);
  std::memset(pairs, 0, 3 * sizeof(lumox_api::ParamPair));
  pairs[0].name = SysAllocString(L"Name1");
  pairs[0].value = SysAllocString(L"Value1");
  pairs[1].name = SysAllocString(L"Name2");
  pairs[1].value = SysAllocString(L"Value2");
}

TestParamList::~TestParamList() {
  if (array_ == nullptr) {
    return;
  }
  auto *pairs = static_cast<lumox_api::ParamPair *>(array_->pvData);
  for (ULONG i = 0; pairs != nullptr && i < array_->rgsabound[0].cElements; ++i) {
    SysFreeString(pairs[i].name);
    SysFreeString(pairs[i].value);
    pairs[i].name = nullptr;
    pairs[i].value = nullptr;
  }
  SafeArrayDestroy(array_);
  array_ = nullptr;
}

namespace {

int CallExport(const Scenario &s, ScenarioLibrary &library, SAFEARRAY **params,
               const std::wstring &url, const std::wstring &localPath) {
  switch (s.exportCalled) {
    case Export::DownloadFile: return library.HttpDownloadFile(url, params, localPath, s.usePost);
    case Export::DownloadFileEx:
      return library.HttpDownloadFileEx(url, params, localPath, s.usePost, kReserved, kProxyServer,
                                        kProxyPort, kProxyUser, kProxyPassword);
    case Export::UploadFile:
      return library.HttpUploadFile(url, params, localPath, s.fieldName, s.responsePath);
    case Export::UploadFileEx:
      return library.HttpUploadFileEx(url, params, localPath, s.fieldName, s.responsePath,
                                      kReserved, kProxyServer, kProxyPort, kProxyUser,
                                      kProxyPassword);
  }
  return -1;
}

}  // namespace

void RunScenario(const Scenario &scenario, ScenarioWindow &window, ScenarioLibrary &library) {
  window.SetBusyPointer(true);
  int code;
  {
    std::optional<TestParamList> testParams;  // lives until the export has returned
    SAFEARRAY **params = lumox_api::EmptyParamList();
    if (scenario.list == ParamList::Test) {
      testParams.emplace();
      params = testParams->variable();
    }
    std::wstring url = window.UrlText();
    std::wstring localPath = window.FileText();
    code = CallExport(scenario, library, params, url, localPath);
  }
  if (code == 0) {
    window.ShowMessage(scenario.upload ? kUploadDone : kDownloadDone);
  } else {
    window.ShowMessage(FailureText(scenario.upload, code));
    std::wstring message;
    if (library.HttpGetErrStr(code, &message) == 0) {
      window.ShowMessage(message);
    }
  }
  window.SetBusyPointer(false);
}

int LumoxApiLibrary::HttpDownloadFile(const std::wstring &url, SAFEARRAY **params,
                                      const std::wstring &localPath, int usePost) {
  return lumox_api::HttpDownloadFile(url, params, localPath, usePost);
}

int LumoxApiLibrary::HttpDownloadFileEx(const std::wstring &url, SAFEARRAY **params,
                                        const std::wstring &localPath, int usePost, int reserved,
                                        const std::wstring &proxyServer, int proxyPort,
                                        const std::wstring &proxyUser,
                                        const std::wstring &proxyPassword) {
  return lumox_api::HttpDownloadFileEx(url, params, localPath, usePost, reserved, proxyServer,
                                       proxyPort, proxyUser, proxyPassword);
}

int LumoxApiLibrary::HttpUploadFile(const std::wstring &url, SAFEARRAY **params,
                                    const std::wstring &localPath, const std::wstring &fieldName,
                                    const std::wstring &responsePath) {
  return lumox_api::HttpUploadFile(url, params, localPath, fieldName, responsePath);
}

int LumoxApiLibrary::HttpUploadFileEx(const std::wstring &url, SAFEARRAY **params,
                                      const std::wstring &localPath, const std::wstring &fieldName,
                                      const std::wstring &responsePath, int reserved,
                                      const std::wstring &proxyServer, int proxyPort,
                                      const std::wstring &proxyUser,
                                      const std::wstring &proxyPassword) {
  return lumox_api::HttpUploadFileEx(url, params, localPath, fieldName, responsePath, reserved,
                                     proxyServer, proxyPort, proxyUser, proxyPassword);
}

int LumoxApiLibrary::HttpGetErrStr(int code, std::wstring *message) {
  return lumox_api::HttpGetErrStr(code, message);
}

int LumoxApiLibrary::HttpParseURL(const std::wstring &url, std::wstring *canonicalUrl) {
  return lumox_api::HttpParseURL(url, canonicalUrl);
}

}  // namespace lumox_demo
