// The eight download and upload scenarios of Lumoxdemo and the one sequence that runs
// them. The window and the library are reached through the two interfaces below, so the
// sequence runs the same against the real window and library and against stand-ins.
#pragma once
#include <windows.h>
#include <oleauto.h>

#include <string>

namespace lumox_demo {

// What a scenario needs of the window.
class ScenarioWindow {
 public:
  virtual ~ScenarioWindow() = default;
  virtual void SetBusyPointer(bool busy) = 0;              // hourglass on / default pointer back
  virtual std::wstring UrlText() = 0;                      // TextURL as it stands
  virtual std::wstring FileText() = 0;                     // TextFile as it stands
  virtual void ShowMessage(const std::wstring &text) = 0;  // modal, returns when closed
};

// What a scenario needs of the library: its six entry points, UTF-16 text in and out.
class ScenarioLibrary {
 public:
  virtual ~ScenarioLibrary() = default;
  virtual int HttpDownloadFile(const std::wstring &url, SAFEARRAY **params,
                               const std::wstring &localPath, int usePost) = 0;
  virtual int HttpDownloadFileEx(const std::wstring &url, SAFEARRAY **params,
                                 const std::wstring &localPath, int usePost, int reserved,
                                 const std::wstring &proxyServer, int proxyPort,
                                 const std::wstring &proxyUser,
                                 const std::wstring &proxyPassword) = 0;
  virtual int HttpUploadFile(const std::wstring &url, SAFEARRAY **params,
                             const std::wstring &localPath, const std::wstring &fieldName,
                             const std::wstring &responsePath) = 0;
  virtual int HttpUploadFileEx(const std::wstring &url, SAFEARRAY **params,
                               const std::wstring &localPath, const std::wstring &fieldName,
                               const std::wstring &responsePath, int reserved,
                               const std::wstring &proxyServer, int proxyPort,
                               const std::wstring &proxyUser,
                               const std::wstring &proxyPassword) = 0;
  virtual int HttpGetErrStr(int code, std::wstring *message) = 0;
  virtual int HttpParseURL(const std::wstring &url, std::wstring *canonicalUrl) = 0;
};

// The real library, through the LumoxAPI binding.
class LumoxApiLibrary : public ScenarioLibrary {
 public:
  int HttpDownloadFile(const std::wstring &url, SAFEARRAY **params, const std::wstring &localPath,
                       int usePost) override;
  int HttpDownloadFileEx(const std::wstring &url, SAFEARRAY **params, const std::wstring &localPath,
                         int usePost, int reserved, const std::wstring &proxyServer, int proxyPort,
                         const std::wstring &proxyUser, const std::wstring &proxyPassword) override;
  int HttpUploadFile(const std::wstring &url, SAFEARRAY **params, const std::wstring &localPath,
                     const std::wstring &fieldName, const std::wstring &responsePath) override;
  int HttpUploadFileEx(const std::wstring &url, SAFEARRAY **params, const std::wstring &localPath,
                       const std::wstring &fieldName, const std::wstring &responsePath,
                       int reserved, const std::wstring &proxyServer, int proxyPort,
                       const std::wstring &proxyUser, const std::wstring &proxyPassword) override;
  int HttpGetErrStr(int code, std::wstring *message) override;
  int HttpParseURL(const std::wstring &url, std::wstring *canonicalUrl) override;
};

enum class Export { DownloadFile, DownloadFileEx, UploadFile, UploadFileEx };

enum class ParamList { Empty, Test };

struct Scenario {
  const wchar_t *button;   // control name, e.g. L"CmdDownload1"
  const wchar_t *caption;  // button caption
  Export exportCalled;
  ParamList list;
  int usePost;                  // download scenarios
  const wchar_t *fieldName;     // upload scenarios
  const wchar_t *responsePath;  // upload scenarios
  bool upload;
};

constexpr int kScenarioCount = 8;
// In button order: CmdDownload1..4, CmdUpload1..4.
extern const Scenario kScenarios[kScenarioCount];

// Fixed values of the proxy scenarios.
extern const wchar_t kProxyServer[];
constexpr int kProxyPort = 80;
extern const wchar_t kProxyUser[];
extern const wchar_t kProxyPassword[];
constexpr int kReserved = 1;

// Message texts.
extern const wchar_t kDownloadDone[];
extern const wchar_t kDownloadFailed[];
extern const wchar_t kUploadDone[];
extern const wchar_t kUploadFailed[];
extern const wchar_t kErrorCodeLabel[];

// The failure box's text for a scenario kind and a result code.
std::wstring FailureText(bool upload, int code);

// The test parameter list: a one-dimensional array of three pairs, lower bound 0, pair 0
// Name1/Value1, pair 1 Name2/Value2, pair 2 unset. Built fresh, destroyed with its strings.
class TestParamList {
 public:
  TestParamList();
  ~TestParamList();
  TestParamList(const TestParamList &) = delete;
  TestParamList &operator=(const TestParamList &) = delete;
  SAFEARRAY **variable() { return &array_; }

 private:
  SAFEARRAY *array_ = nullptr;
};

// Runs one scenario from the busy pointer to the last message box.
void RunScenario(const Scenario &scenario, ScenarioWindow &window, ScenarioLibrary &library);

}  // namespace lumox_demo
