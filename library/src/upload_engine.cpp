// Upload engine: one POST request. An upload sends a local file (as the file part of a
// multipart/form-data body, or as the bare body) and may keep the reply in a file; a
// download by POST posts the parameter list as form fields and saves the reply body.
#include <windows.h>
#include <oleauto.h>
#include <shlwapi.h>
#include <wininet.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "engines.h"
#include "file_rules.h"
#include "multipart.h"
#include "session.h"
#include "settings.h"
#include "trace_log.h"
#include "transfer_common.h"
#include "url.h"

namespace {

constexpr DWORD kSendExFlags = 0x28;
constexpr DWORD kAddHeaderFlags = HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE;
constexpr uint64_t kMaxAnnounced = 0xFFFFFFFFull;
constexpr size_t kBodyTextSize = 65536;

// Sends a body-less request (the priming request through a proxy), retrying a failed send
// with the unknown-CA check relaxed. Returns 0 or the last send's error.
int SendPriming(HINTERNET request, int *retriesLeft) {
  for (;;) {
    if (HttpSendRequestA(request, nullptr, 0, nullptr, 0)) return 0;
    int result = LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
    if (*retriesLeft <= 0) return result;
    RelaxUnknownCa(request);
    --*retriesLeft;
  }
}

// Sends the request head with the announced body length, with the same retry. Every
// failed attempt writes "HttpSendRequestEx".
int SendHead(HINTERNET request, DWORD announced, int *retriesLeft) {
  for (;;) {
    INTERNET_BUFFERSA buffers;
    memset(&buffers, 0, sizeof buffers);
    buffers.dwStructSize = sizeof buffers;
    buffers.dwBufferTotal = announced;
    if (HttpSendRequestExA(request, &buffers, nullptr, kSendExFlags, 0)) return 0;
    int result = LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
    TraceLog("IF", "HttpSendRequestEx");
    if (*retriesLeft <= 0) return result;
    RelaxUnknownCa(request);
    --*retriesLeft;
  }
}

// Writes length bytes with one InternetWriteFile. Returns 0, the write's error, or 10005
// when the connection took fewer bytes than given.
int WriteWhole(HINTERNET request, const void *data, DWORD length) {
  DWORD written = 0;
  if (!InternetWriteFile(request, data, length, &written)) {
    return LastErrorOr(ERROR_INTERNET_CONNECTION_ABORTED);
  }
  return written == length ? 0 : 10005;
}

int AddHeader(HINTERNET request, const char *text) {
  if (HttpAddRequestHeadersA(request, text, static_cast<DWORD>(-1), kAddHeaderFlags)) return 0;
  return LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
}

}  // namespace

int HttpUploadFileExBC(const char *url, SAFEARRAY **params, char **pairs, int pairCount,
                       const char *localPath, const char *fieldName, const char *responsePath,
                       int useProxy, const char *proxyServer, int proxyPort,
                       const char *proxyUser, const char *proxyPassword, int UpDown) {
  TraceLog("IF", "Check Function Parameter");
  if (url == nullptr || localPath == nullptr) return 10000;
  {
    char shown[kMaxUrl + 16];
    MaskUrlForTrace(url, shown, sizeof shown);
    TraceLog("UL", "HttpUploadFileExBC。URL:%s    File:%s    UpDown:%d    ", shown, localPath,
             UpDown);
  }
  const bool upload = UpDown == 1;
  // A download by POST takes no file part and keeps no reply file.
  if (!upload) {
    fieldName = nullptr;
    responsePath = nullptr;
  }
  const bool multipart = !upload || (fieldName != nullptr && fieldName[0] != '\0');
  if (strlen(url) > kMaxUrl || strlen(localPath) > kMaxLocalPath ||
      (responsePath != nullptr && strlen(responsePath) > kMaxLocalPath)) {
    return 10001;
  }
  if (!upload && !TempNameFits(localPath)) return 10001;

  int result = 0;
  HINTERNET session = nullptr;
  HINTERNET connection = nullptr;
  HINTERNET request = nullptr;
  HANDLE localFile = INVALID_HANDLE_VALUE;  // the file sent by an upload
  HANDLE replyFile = INVALID_HANDLE_VALUE;  // the reply file of an upload
  bool deleteReplyFile = false;
  SaveTarget target;                        // the file written by a download by POST
  URL_COMPONENTSA parts;
  memset(&parts, 0, sizeof parts);
  int retriesLeft = 3;
  LARGE_INTEGER fileSize;
  fileSize.QuadPart = 0;
  bool sizeKnown = true;
  uint64_t announced = 0;

  char urlPath[kMaxUrl + 1];
  char boundary[kBoundaryLength + 1];
  char objectName[kMaxUrl + 1];
  char query[kMaxUrl];
  char headerLine[128];
  char chunk[kBlockSize + 1];
  static_assert(kFormTextSize == kBodyTextSize, "form text and body prefix buffers");
  char formText[kFormTextSize];
  char bodyPrefix[kBodyTextSize];
  memset(urlPath, 0, sizeof urlPath);
  memset(boundary, 0, sizeof boundary);
  memset(objectName, 0, sizeof objectName);
  memset(query, 0, sizeof query);
  memset(headerLine, 0, sizeof headerLine);
  memset(chunk, 0, sizeof chunk);
  memset(formText, 0, sizeof formText);
  memset(bodyPrefix, 0, sizeof bodyPrefix);
  const char *prefix = "";
  size_t prefixLength = 0;

  TraceLog("IF", "OpenLocalFile");
  if (upload) {
    localFile = CreateFileA(localPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
    if (localFile == INVALID_HANDLE_VALUE) {
      result = 10003;
      goto closing;
    }
    // The whole 64-bit size: what is announced must be what is sent.
    if (!GetFileSizeEx(localFile, &fileSize) || fileSize.QuadPart < 0) {
      sizeKnown = false;
      fileSize.QuadPart = 0;
    }
  }

  TraceLog("IF", "Crack the URL");
  result = HttpCrackURL(url, &parts);
  if (result != 0) {
    if (localFile != INVALID_HANDLE_VALUE) CloseHandle(localFile);
    return result;
  }

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
  if (result != 0) {
    if (localFile != INVALID_HANDLE_VALUE) CloseHandle(localFile);
    return result;
  }

  result = HttpUrlPath(&parts, urlPath, sizeof urlPath);
  if (result != 0) goto closing;

  if (multipart) {
    TraceLog("IF", "Using MultiParts");
    // A URL without a path asks for the root.
    snprintf(objectName, sizeof objectName, "%s", urlPath[0] != '\0' ? urlPath : "/");
  } else {
    TraceLog("IF", "Not Using MultiParts");
    result = HttpObjectName(&parts, objectName, sizeof objectName);
    if (result != 0) goto closing;
    result = AppendQueryStrings(params, pairs, pairCount, objectName, sizeof objectName);
    if (result != 0) goto closing;
  }

  {
    DWORD flags = kRequestFlags;
    if (parts.nScheme == INTERNET_SCHEME_HTTPS) {
      TraceLog("IF", "INTERNET_SCHEME_HTTPS");
      flags |= kSecureFlags;
    }

    // The body is laid out before any request goes out, so a text that does not fit or a
    // length that cannot be announced fails without sending anything.
    if (multipart) {
      HttpMakeBoundary(boundary);
      if (params != nullptr && *params != nullptr) {
        memset(formText, 0, sizeof formText);
        result = HttpAddPostParaB(params, formText, sizeof formText, boundary);
      } else if (pairs != nullptr) {
        memset(formText, 0, sizeof formText);
        result = HttpAddPostParaC(pairs, pairCount, formText, sizeof formText, boundary);
      }
      if (result != 0) goto closing;
      if (upload) {
        result = FormatFilePartHeader(bodyPrefix, sizeof bodyPrefix, formText, boundary,
                                      fieldName, localPath);
        if (result != 0) goto closing;
        prefix = bodyPrefix;
        prefixLength = strlen(bodyPrefix);
        announced = prefixLength + static_cast<uint64_t>(fileSize.QuadPart) +
                    strlen(boundary) + 8;
      } else {
        prefix = formText;
        prefixLength = strlen(formText);
        announced = prefixLength + strlen(boundary) + 6;
      }
    } else {
      announced = static_cast<uint64_t>(fileSize.QuadPart);
    }
    if (announced > kMaxAnnounced) {
      result = 10004;
      goto closing;
    }

    if (useProxy == 1) {
      // A body-less request first, so the proxy can authenticate the connection before a
      // request with a body goes out. Its reply is read and discarded.
      TraceLog("IF", "ProxyAuthorization");
      request = HttpOpenRequestA(connection, "POST", objectName, nullptr, nullptr, nullptr,
                                 flags, 0);
      if (request == nullptr) {
        result = LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
        goto closing;
      }
      ApplyTimeouts(&request);
      result = SendPriming(request, &retriesLeft);
      if (result != 0) goto closing;
      DWORD start = GetTickCount();
      for (;;) {
        DWORD count = 0;
        if (!InternetReadFile(request, chunk, kBlockSize, &count)) break;
        if (TotalLimitReached(start)) {
          result = ERROR_INTERNET_TIMEOUT;
          goto closing;
        }
        if (count == 0) break;
      }
      InternetCloseHandle(request);
      request = nullptr;
      retriesLeft = 3;
    }

    TraceLog("IF", "HttpOpenRequest");
    request = HttpOpenRequestA(connection, "POST", objectName, nullptr, nullptr, nullptr, flags,
                               0);
    if (request == nullptr) {
      result = LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
      goto closing;
    }
    ApplyTimeouts(&request);
  }

  if (upload) {
    TraceLog("IF", "GetFileSize----%lld",
             sizeKnown ? static_cast<long long>(fileSize.QuadPart) : -1LL);
    if (!sizeKnown) {
      result = 10004;
      goto closing;
    }
  }

  if (multipart) {
    snprintf(headerLine, sizeof headerLine, "Content-Type: multipart/form-data; boundary=%s",
             boundary);
    result = AddHeader(request, headerLine);
    if (result != 0) goto closing;
    if (upload) {
      snprintf(headerLine, sizeof headerLine, "LFile-Length: %u",
               static_cast<unsigned>(fileSize.QuadPart));
      result = AddHeader(request, headerLine);
      if (result != 0) goto closing;
    }
  }

  result = SendHead(request, static_cast<DWORD>(announced), &retriesLeft);
  if (result != 0) goto closing;

  if ((upload && multipart) || (!upload && prefixLength != 0)) {
    TraceLog("IF", "InternetWriteFile");
    result = WriteWhole(request, prefix, static_cast<DWORD>(prefixLength));
    if (result != 0) goto closing;
  }

  if (upload) {
    // Exactly the size announced: a file that fails to read or ends early stops the
    // request before its body could be completed short.
    TraceLog("IF", "HttpWriteFile");
    DWORD start = GetTickCount();
    uint64_t remaining = static_cast<uint64_t>(fileSize.QuadPart);
    for (;;) {
      DWORD want = remaining < kBlockSize ? static_cast<DWORD>(remaining) : kBlockSize;
      DWORD got = 0;
      if (!ReadFile(localFile, chunk, want, &got, nullptr)) {
        result = LastErrorOr(ERROR_READ_FAULT);
        goto closing;
      }
      if (TotalLimitReached(start)) {
        result = ERROR_INTERNET_TIMEOUT;
        goto closing;
      }
      if (got == 0) {
        if (remaining != 0) {
          result = 10004;
          goto closing;
        }
        break;
      }
      if (got > want) got = want;
      DWORD written = 0;
      if (!InternetWriteFile(request, chunk, got, &written)) {
        result = LastErrorOr(ERROR_INTERNET_CONNECTION_ABORTED);
        goto closing;
      }
      if (written != got) {
        result = 10005;
        goto closing;
      }
      remaining -= got;
    }
  }

  if (multipart) {
    char closingText[kBoundaryLength + 16];
    memset(closingText, 0, sizeof closingText);
    result = FormatClosingDelimiter(closingText, sizeof closingText, boundary, upload);
    if (result != 0) goto closing;
    result = WriteWhole(request, closingText, static_cast<DWORD>(strlen(closingText)));
    if (result != 0) goto closing;
  }

  TraceLog("IF", "HttpEndRequest");
  if (!HttpEndRequestA(request, nullptr, kSendExFlags, 0)) {
    result = LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
    goto closing;
  }

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

  if (upload) {
    TraceLog("IF", "CreateFile");
    if (responsePath == nullptr) goto closing;
    replyFile = CreateFileA(responsePath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
    if (replyFile == INVALID_HANDLE_VALUE) goto closing;  // no reply file wanted or possible
    TraceLog("IF", "InternetReadFile");
    uint64_t received = 0;
    int error = 0;
    CopyEnd end = CopyReplyBody(request, replyFile, false, &received, &error);
    if (end == CopyEnd::kTimeLimit) {
      result = ERROR_INTERNET_TIMEOUT;  // the reply file keeps what arrived
    } else if (end == CopyEnd::kFailed) {
      result = error;  // a failed write: the short reply file is removed
      deleteReplyFile = true;
    }
    goto closing;
  }

  {
    TraceLog("IF", "PathFileExists");
    uint64_t contentLength = 0;
    const bool hasContentLength = QueryContentLength(request, &contentLength);
    result = CreateSaveTarget(&target, localPath, PathFileExistsA(localPath) != FALSE);
    if (result != 0) goto closing;
    uint64_t received = 0;
    int error = 0;
    CopyEnd end = CopyReplyBody(request, target.file, true, &received, &error);
    if (end == CopyEnd::kTimeLimit) {
      // The partly written file stays where it was written.
      result = ERROR_INTERNET_TIMEOUT;
      goto closing;
    }
    if (end == CopyEnd::kFailed) {
      result = error;
    } else if (hasContentLength && received < contentLength) {
      result = 10011;
    } else {
      const int64_t expected = ReadLengthHeader(request);
      if (expected != 0) {
        LARGE_INTEGER written;
        written.QuadPart = 0;
        if (!GetFileSizeEx(target.file, &written) || written.QuadPart != expected) {
          result = 10011;
        }
      }
    }
    CloseSaveTarget(&target);
    result = FinishSaveTarget(&target, result, false);
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
  if (localFile != INVALID_HANDLE_VALUE) {
    TraceLog("IF", "CloseHandle hLocalFile");
    CloseHandle(localFile);
  }
  if (target.file != INVALID_HANDLE_VALUE) {
    TraceLog("IF", "CloseHandle hLocalFile");
    CloseSaveTarget(&target);
  }
  if (replyFile != INVALID_HANDLE_VALUE) {
    TraceLog("IF", "CloseHandle hTmpFile");
    CloseHandle(replyFile);
    if (deleteReplyFile) DeleteFileA(responsePath);
  }
  return result;
}
