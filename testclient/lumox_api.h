// LumoxAPI: the client's declarations of the Lumox library's entry points.
//
// The library is bound at run time: on the first call of an entry point the library
// "Lumox" is loaded by name and the export is looked up by name; the address is kept
// for the life of the process. The wrappers take UTF-16 text, hand it to the library as
// temporary ANSI automation strings, and convert the message that HttpGetErrStr and
// HttpParseURL return back to UTF-16.
#pragma once
#include <windows.h>
#include <oleauto.h>

#include <string>

namespace lumox_api {

// The exports as the library declares them (stdcall, ANSI text, host-array lists).
using DownloadFileProc = int(WINAPI *)(const char *url, SAFEARRAY **params, const char *localPath,
                                       int usePost);
using DownloadFileExProc = int(WINAPI *)(const char *url, SAFEARRAY **params, const char *localPath,
                                         int usePost, int reserved, const char *proxyServer,
                                         int proxyPort, const char *proxyUser,
                                         const char *proxyPassword);
using UploadFileProc = int(WINAPI *)(const char *url, SAFEARRAY **params, const char *localPath,
                                     const char *fieldName, const char *responsePath);
using UploadFileExProc = int(WINAPI *)(const char *url, SAFEARRAY **params, const char *localPath,
                                       const char *fieldName, const char *responsePath,
                                       int reserved, const char *proxyServer, int proxyPort,
                                       const char *proxyUser, const char *proxyPassword);
using GetErrStrProc = int(WINAPI *)(int code, BSTR *message);
using ParseURLProc = int(WINAPI *)(const char *url, BSTR *canonicalUrl);

// Name of the library as the loader is asked for it.
constexpr const char kLibraryName[] = "Lumox";

// One record of a host parameter list: name, then value.
struct ParamPair {
  BSTR name;
  BSTR value;
};

// The shared empty parameter list: an array variable that is never dimensioned, so it
// holds a null array for the whole run. Calls without parameters pass its address.
SAFEARRAY **EmptyParamList();

// The six entry points. Text arguments are UTF-16; the result code is the library's.
int HttpDownloadFile(const std::wstring &url, SAFEARRAY **params, const std::wstring &localPath,
                     int usePost);
int HttpDownloadFileEx(const std::wstring &url, SAFEARRAY **params, const std::wstring &localPath,
                       int usePost, int reserved, const std::wstring &proxyServer, int proxyPort,
                       const std::wstring &proxyUser, const std::wstring &proxyPassword);
int HttpUploadFile(const std::wstring &url, SAFEARRAY **params, const std::wstring &localPath,
                   const std::wstring &fieldName, const std::wstring &responsePath);
int HttpUploadFileEx(const std::wstring &url, SAFEARRAY **params, const std::wstring &localPath,
                     const std::wstring &fieldName, const std::wstring &responsePath, int reserved,
                     const std::wstring &proxyServer, int proxyPort, const std::wstring &proxyUser,
                     const std::wstring &proxyPassword);
// *message receives the library's message for code, converted from the ANSI code page
// (empty when the library stored no string).
int HttpGetErrStr(int code, std::wstring *message);
int HttpParseURL(const std::wstring &url, std::wstring *canonicalUrl);

// How entry points are found and what happens when one cannot be. The defaults load the
// library with LoadLibraryA and look exports up with GetProcAddress; a failure is shown
// in a message box and ends the process. Installing a resolver forgets every binding
// made so far (the test programs bind to their own stand-ins this way).
using Resolver = FARPROC (*)(const char *exportName, void *context);
using FatalHandler = void (*)(const std::wstring &text);  // must not return normally
void SetResolver(Resolver resolver, void *context);
void SetFatalHandler(FatalHandler handler);
void RestoreDefaults();

// The report shown when the library or one of its exports cannot be bound.
std::wstring LibraryMissingText();
std::wstring ExportMissingText(const char *exportName);

}  // namespace lumox_api
