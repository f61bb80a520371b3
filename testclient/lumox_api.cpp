#include "lumox_api.h"

#include <type_traits>

#include "Lumox.h"  // only to check that the declarations above match the library's

namespace lumox_api {

static_assert(std::is_same_v<DownloadFileProc, decltype(&::HttpDownloadFile)>);
static_assert(std::is_same_v<DownloadFileExProc, decltype(&::HttpDownloadFileEx)>);
static_assert(std::is_same_v<UploadFileProc, decltype(&::HttpUploadFile)>);
static_assert(std::is_same_v<UploadFileExProc, decltype(&::HttpUploadFileEx)>);
static_assert(std::is_same_v<GetErrStrProc, decltype(&::HttpGetErrStr)>);
static_assert(std::is_same_v<ParseURLProc, decltype(&::HttpParseURL)>);
static_assert(sizeof(ParamPair) == 2 * sizeof(BSTR), "a pair is two string pointers");

namespace {

SAFEARRAY *g_emptyParams = nullptr;  // never dimensioned

void DefaultFatal(const std::wstring &text) {
  MessageBoxW(nullptr, text.c_str(), L"Lumoxdemo", MB_OK);
  ExitProcess(1);
}

FatalHandler g_fatal = DefaultFatal;

FARPROC DefaultResolve(const char *exportName, void *) {
  static HMODULE module = nullptr;  // loaded once, never released
  if (module == nullptr) {
    module = LoadLibraryA(kLibraryName);
    if (module == nullptr) {
      g_fatal(LibraryMissingText());
      ExitProcess(1);
    }
  }
  return GetProcAddress(module, exportName);
}

Resolver g_resolver = DefaultResolve;
void *g_context = nullptr;
unsigned g_generation = 1;  // bumped when the resolver changes: every binding is redone

// One bound entry point: looked up on its first call, then kept.
template <class Proc>
class Entry {
 public:
  explicit Entry(const char *name) : name_(name) {}
  Proc get() {
    if (proc_ == nullptr || generation_ != g_generation) {
      FARPROC found = g_resolver(name_, g_context);
      if (found == nullptr) {
        g_fatal(ExportMissingText(name_));
        ExitProcess(1);  // a handler that returns still must not let the call go on
      }
      proc_ = reinterpret_cast<Proc>(reinterpret_cast<void (*)()>(found));
      generation_ = g_generation;
    }
    return proc_;
  }

 private:
  const char *name_;
  Proc proc_ = nullptr;
  unsigned generation_ = 0;
};

Entry<DownloadFileProc> g_downloadFile("HttpDownloadFile");
Entry<DownloadFileExProc> g_downloadFileEx("HttpDownloadFileEx");
Entry<UploadFileProc> g_uploadFile("HttpUploadFile");
Entry<UploadFileExProc> g_uploadFileEx("HttpUploadFileEx");
Entry<GetErrStrProc> g_getErrStr("HttpGetErrStr");
Entry<ParseURLProc> g_parseUrl("HttpParseURL");

// A UTF-16 text converted to the ANSI code page in a temporary automation string, for
// the duration of one call. The library gets the string's character pointer.
class AnsiArg {
 public:
  explicit AnsiArg(const std::wstring &text) {
    int wideLength = static_cast<int>(text.size());
    int bytes = 0;
    if (wideLength > 0) {
      bytes = WideCharToMultiByte(CP_ACP, 0, text.data(), wideLength, nullptr, 0, nullptr, nullptr);
    }
    string_ = SysAllocStringByteLen(nullptr, static_cast<UINT>(bytes));
    if (string_ == nullptr) {
      g_fatal(L"メモリが不足しています。");
      ExitProcess(1);
    }
    char *out = reinterpret_cast<char *>(string_);
    if (bytes > 0) {
      WideCharToMultiByte(CP_ACP, 0, text.data(), wideLength, out, bytes, nullptr, nullptr);
    }
    out[bytes] = '\0';
  }
  ~AnsiArg() { SysFreeString(string_); }
  AnsiArg(const AnsiArg &) = delete;
  AnsiArg &operator=(const AnsiArg &) = delete;
  const char *get() const { return reinterpret_cast<const char *>(string_); }

 private:
  BSTR string_ = nullptr;
};

// Takes the automation string a library call stored (ANSI bytes), returns it as UTF-16
// and frees it.
std::wstring TakeAnsiResult(BSTR &result) {
  std::wstring text;
  if (result != nullptr) {
    int bytes = static_cast<int>(SysStringByteLen(result));
    const char *in = reinterpret_cast<const char *>(result);
    if (bytes > 0) {
      int chars = MultiByteToWideChar(CP_ACP, 0, in, bytes, nullptr, 0);
      if (chars > 0) {
        text.resize(static_cast<size_t>(chars));
        MultiByteToWideChar(CP_ACP, 0, in, bytes, &text[0], chars);
      }
    }
    SysFreeString(result);
    result = nullptr;
  }
  return text;
}

}  // namespace

SAFEARRAY **EmptyParamList() { return &g_emptyParams; }

int HttpDownloadFile(const std::wstring &url, SAFEARRAY **params, const std::wstring &localPath,
                     int usePost) {
  DownloadFileProc proc = g_downloadFile.get();
  AnsiArg aUrl(url), aPath(localPath);
  return proc(aUrl.get(), params, aPath.get(), usePost);
}

int HttpDownloadFileEx(const std::wstring &url, SAFEARRAY **params, const std::wstring &localPath,
                       int usePost, int reserved, const std::wstring &proxyServer, int proxyPort,
                       const std::wstring &proxyUser, const std::wstring &proxyPassword) {
  DownloadFileExProc proc = g_downloadFileEx.get();
  AnsiArg aUrl(url), aPath(localPath), aServer(proxyServer), aUser(proxyUser),
      aPassword(proxyPassword);
  return proc(aUrl.get(), params, aPath.get(), usePost, reserved, aServer.get(), proxyPort,
              aUser.get(), aPassword.get());
}

int HttpUploadFile(const std::wstring &url, SAFEARRAY **params, const std::wstring &localPath,
                   const std::wstring &fieldName, const std::wstring &responsePath) {
  UploadFileProc proc = g_uploadFile.get();
  AnsiArg aUrl(url), aPath(localPath), aField(fieldName), aResponse(responsePath);
  return proc(aUrl.get(), params, aPath.get(), aField.get(), aResponse.get());
}

int HttpUploadFileEx(const std::wstring &url, SAFEARRAY **params, const std::wstring &localPath,
                     const std::wstring &fieldName, const std::wstring &responsePath, int reserved,
                     const std::wstring &proxyServer, int proxyPort, const std::wstring &proxyUser,
                     const std::wstring &proxyPassword) {
  UploadFileExProc proc = g_uploadFileEx.get();
  AnsiArg aUrl(url), aPath(localPath), aField(fieldName), aResponse(responsePath),
      aServer(proxyServer), aUser(proxyUser), aPassword(proxyPassword);
  return proc(aUrl.get(), params, aPath.get(), aField.get(), aResponse.get(), reserved,
              aServer.get(), proxyPort, aUser.get(), aPassword.get());
}

int HttpGetErrStr(int code, std::wstring *message) {
  GetErrStrProc proc = g_getErrStr.get();
  BSTR result = nullptr;
  int rc = proc(code, &result);
  std::wstring text = TakeAnsiResult(result);
  if (message != nullptr) {
    *message = text;
  }
  return rc;
}

int HttpParseURL(const std::wstring &url, std::wstring *canonicalUrl) {
  ParseURLProc proc = g_parseUrl.get();
  AnsiArg aUrl(url);
  BSTR result = nullptr;
  int rc = proc(aUrl.get(), &result);
  std::wstring text = TakeAnsiResult(result);
  if (canonicalUrl != nullptr) {
    *canonicalUrl = text;
  }
  return rc;
}

void SetResolver(Resolver resolver, void *context) {
  g_resolver = resolver != nullptr ? resolver : DefaultResolve;
  g_context = context;
  ++g_generation;
}

void SetFatalHandler(FatalHandler handler) {
  g_fatal = handler != nullptr ? handler : DefaultFatal;
}

void RestoreDefaults() {
  SetResolver(nullptr, nullptr);
  SetFatalHandler(nullptr);
}

std::wstring LibraryMissingText() {
  return L"ライブラリ「Lumox」を読み込めません。プログラムを終了します。";
}

std::wstring ExportMissingText(const char *exportName) {
  std::wstring name;
  for (const char *p = exportName; p != nullptr && *p != '\0'; ++p) {
    name.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*p)));
  }
  return L"ライブラリ「Lumox」に関数「" + name + L"」が見つかりません。プログラムを終了します。";
}

}  // namespace lumox_api
