// Download engine: one GET request whose reply body is saved into a local file.
#include <windows.h>
#include <oleauto.h>
#include <shlwapi.h>
#include <wininet.h>

#include <stdint.h>
#include <string.h>

#include "engines.h"
#include "file_rules.h"
#include "session.h"
#include "settings.h"
#include "trace_log.h"
#include "transfer_common.h"
#include "url.h"

namespace {

constexpr char kFormHeader[] = "Content-Type: application/x-www-form-urlencoded";
constexpr DWORD kFormHeaderLength = sizeof kFormHeader - 1;

// Sends the GET request, retrying a failed send up to three times with the unknown-CA
// check relaxed. Returns 0 or the last send's error.
int SendWithRetry(HINTERNET request) {
  int retriesLeft = 3;
  for (;;) {
    TraceLog("IF", "HttpSendRequest");
    if (HttpSendRequestA(request, kFormHeader, kFormHeaderLength, nullptr, 0)) return 0;
    int result = LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
    if (retriesLeft == 0) return result;
    RelaxUnknownCa(request);
    --retriesLeft;
  }
}

}  // namespace

int HttpDownloadFileExBC(const char *url, SAFEARRAY **params, char **pairs, int pairCount,
                         const char *localPath, int useProxy, const char *proxyServer,
                         int proxyPort, const char *proxyUser, const char *proxyPassword) {
  TraceLog("IF", "Check Function Parameter");
  if (url == nullptr || localPath == nullptr) return 10000;
  {
    char shown[kMaxUrl + 16];
    MaskUrlForTrace(url, shown, sizeof shown);
    TraceLog("UL", "HttpDownloadFileExBC。URL:%s    File:%s    ", shown, localPath);
  }
  if (strlen(url) > kMaxUrl || strlen(localPath) > kMaxLocalPath) return 10001;
  if (!TempNameFits(localPath)) return 10001;

  TraceLog("IF", "Crack the URL");
  URL_COMPONENTSA parts;
  int result = HttpCrackURL(url, &parts);
  if (result != 0) return result;

  HINTERNET session = nullptr;
  HINTERNET connection = nullptr;
  HINTERNET request = nullptr;
  SaveTarget target;
  char objectName[kMaxUrl + 1];
  char query[kMaxUrl];
  memset(objectName, 0, sizeof objectName);
  memset(query, 0, sizeof query);

  TraceLog("IF", "InternetOpen,InternetConnection");
  if (useProxy == 1 && (proxyServer == nullptr || proxyServer[0] == '\0')) {
    result = 10008;
    goto closing;
  }
  if (useProxy != 1) {
    proxyServer = nullptr;
    proxyPort = 0;
    proxyUser = nullptr;
    proxyPassword = nullptr;
  }
  result = HttpOpenConnection(&session, &connection, &parts, proxyServer, proxyPort, proxyUser,
                              proxyPassword);
  if (result != 0) return result;

  TraceLog("IF", "SET-GET");
  result = HttpObjectName(&parts, objectName, sizeof objectName);
  if (result != 0) goto closing;
  result = AppendQueryStrings(params, pairs, pairCount, objectName, sizeof objectName);
  if (result != 0) goto closing;

  {
    DWORD flags = kRequestFlags;
    if (parts.nScheme == INTERNET_SCHEME_HTTPS) {
      TraceLog("IF", "INTERNET_SCHEME_HTTPS");
      flags |= kSecureFlags;
    }
    TraceLog("IF", "HttpOpenRequest");
    const char *accept[] = {"*/*", nullptr};
    request = HttpOpenRequestA(connection, "GET", objectName, nullptr, nullptr, accept, flags, 0);
    if (request == nullptr) {
      result = LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
      goto closing;
    }
  }
  ApplyTimeouts(&request);

  result = SendWithRetry(request);
  if (result != 0) goto closing;

  {
    TraceLog("IF", "HttpQueryInfo");
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                        nullptr)) {
      result = LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
      goto closing;
    }
    if (status != 200) {
      result = static_cast<int>(status);
      goto closing;
    }
  }

  {
    const int64_t expected = ReadLengthHeader(request);
    uint64_t announced = 0;
    const bool hasAnnounced = QueryContentLength(request, &announced);

    const bool exists = PathFileExistsA(localPath) != FALSE;
    TraceLog("IF", exists ? "CreateFile--Exist" : "CreateFile--New");
    result = CreateSaveTarget(&target, localPath, exists);
    if (result != 0) goto closing;

    TraceLog("IF", "InternetReadFile");
    uint64_t received = 0;
    int error = 0;
    CopyEnd end = CopyReplyBody(request, target.file, true, &received, &error);
    if (end == CopyEnd::kTimeLimit) {
      // The partial file stays where it is; it is closed after the internet handles.
      result = ERROR_INTERNET_TIMEOUT;
      goto closing;
    }
    if (end == CopyEnd::kFailed) {
      result = error;
    } else if (hasAnnounced && received < announced) {
      result = 10011;
    } else if (expected != 0) {
      LARGE_INTEGER fileSize;
      fileSize.QuadPart = 0;
      if (!GetFileSizeEx(target.file, &fileSize) || fileSize.QuadPart != expected) result = 10011;
    }

    TraceLog("IF", "CloseHandle hLocalFile");
    CloseSaveTarget(&target);
    result = FinishSaveTarget(&target, result, true);
  }

closing:
  if (request != nullptr) {
    TraceLog("IF", "InternetCloseHandle----hFile");
    InternetCloseHandle(request);
  }
  if (connection != nullptr) {
    TraceLog("IF", "InternetCloseHandle----hConnection");
    InternetCloseHandle(connection);
  }
  if (session != nullptr) {
    TraceLog("IF", "InternetCloseHandle----hOpen");
    InternetCloseHandle(session);
  }
  if (target.file != INVALID_HANDLE_VALUE) {
    TraceLog("IF", "CloseHandle hLocalFile");
    CloseSaveTarget(&target);
  }
  return result;
}
