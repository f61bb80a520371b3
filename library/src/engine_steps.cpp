// The steps both transfer engines share.
#include "engine_steps.h"

#include <string.h>

#include "Lumox.h"
#include "last_error.h"
#include "reply_file.h"
#include "session.h"
#include "settings.h"
#include "text_buffer.h"
#include "trace_log.h"
#include "transfer_hooks.h"
#include "url.h"

namespace {

constexpr int kSendRetries = 3;
constexpr DWORD kStatusOk = 200;
constexpr char kFormHeader[] = "Content-Type: application/x-www-form-urlencoded";
constexpr DWORD kFormHeaderLength = sizeof kFormHeader - 1;

// Before a send is repeated: accept a certificate of an unknown authority from then on.
// The outcome of both option calls is not examined.
void RelaxUnknownCa(HINTERNET request) {
  DWORD flags = 0;
  DWORD size = sizeof flags;
  InternetQueryOptionA(request, INTERNET_OPTION_SECURITY_FLAGS, &flags, &size);
  flags |= SECURITY_FLAG_IGNORE_UNKNOWN_CA;
  InternetSetOptionA(request, INTERNET_OPTION_SECURITY_FLAGS, &flags, sizeof flags);
}

BOOL SendOnce(HINTERNET request, SendForm form, DWORD bodyLength) {
  switch (form) {
    case SendForm::kGet:
      return HttpSendRequestA(request, kFormHeader, kFormHeaderLength, nullptr, 0);
    case SendForm::kPriming: return HttpSendRequestA(request, nullptr, 0, nullptr, 0);
    case SendForm::kHead: break;
  }
  INTERNET_BUFFERSA buffers;
  memset(&buffers, 0, sizeof buffers);
  buffers.dwStructSize = sizeof buffers;
  buffers.dwBufferTotal = bodyLength;
  return HttpSendRequestExA(request, &buffers, nullptr, kSendExFlags, 0);
}

void CloseInternetHandle(HINTERNET *handle, const char *traceText) {
  if (*handle == nullptr) return;
  TraceLog("IF", "%s", traceText);
  if (ForgetRequest(*handle)) InternetCloseHandle(*handle);
  *handle = nullptr;
}

// Closes *file with its trace line. False, with the close's error in *error, when the close
// failed: data written earlier did not reach the file (a delayed write hit a full disk).
bool CloseFileHandle(HANDLE *file, const char *traceText, int *error = nullptr) {
  if (*file == INVALID_HANDLE_VALUE) return true;
  TraceLog("IF", "%s", traceText);
  bool closed = CloseHandle(*file) != FALSE;
  if (!closed && error != nullptr) *error = LastErrorOr(ERROR_DISK_FULL);
  *file = INVALID_HANDLE_VALUE;
  return closed;
}

}  // namespace

int CheckTransferTexts(const TransferCall &call) {
  const char *replyPath = call.replyPath;
  if (strlen(call.url) > kMaxUrl || strlen(call.localPath) > kMaxLocalPath ||
      (replyPath != nullptr && strlen(replyPath) > kMaxLocalPath))
    return LUMOX_E_TOO_LONG;
  if (SavesReply(call.mode) && !TempNameFits(call.localPath)) return LUMOX_E_TOO_LONG;
  if (replyPath != nullptr && !TempNameFits(replyPath)) return LUMOX_E_TOO_LONG;
  return LUMOX_OK;
}

bool TakeProxyArguments(const TransferCall &call, ProxyArgs *proxy) {
  TraceLog("IF", "InternetOpen,InternetConnection");
  if (call.useProxy) {
    *proxy = call.proxy;
    return proxy->server != nullptr && proxy->server[0] != '\0';
  }
  *proxy = ProxyArgs{nullptr, 0, nullptr, nullptr};
  return true;
}

int OpenConnection(TransferHandles *handles, const URL_COMPONENTSA *parts, const ProxyArgs &proxy) {
  return HttpOpenConnection(&handles->session, &handles->connection, parts, proxy.server,
                            proxy.port, proxy.user, proxy.password);
}

int CloseTransfer(TransferHandles *handles, int result) {
  CloseInternetHandle(&handles->request, "InternetCloseHandle----hFile");
  CloseInternetHandle(&handles->connection, "InternetCloseHandle----hConnection");
  CloseInternetHandle(&handles->session, "InternetCloseHandle----hOpen");
  CloseFileHandle(&handles->localFile, "CloseHandle hLocalFile");
  if (handles->replyFile != INVALID_HANDLE_VALUE) {
    if (handles->keepReply) {
      CloseFileHandle(&handles->replyFile, "CloseHandle hTmpFile");
    } else {
      result = CloseSaveTarget(&handles->reply, &handles->replyFile, result, false,
                               "CloseHandle hTmpFile");
    }
  }
  return result;
}

int AppendQueryStrings(const TransferCall &call, char *objectName, size_t size) {
  char query[kMaxUrl];
  SAFEARRAY **params = call.params;
  if (params != nullptr && *params != nullptr) {
    memset(query, 0, sizeof query);
    TraceLog("IF", "HttpAddGetParaB");
    if (!HttpAddGetParaB(params, query, sizeof query) || !AppendText(objectName, size, query))
      return LUMOX_E_TOO_LONG;
  }
  if (call.pairs != nullptr) {
    memset(query, 0, sizeof query);
    TraceLog("IF", "HttpAddGetParaC");
    if (!HttpAddGetParaC(call.pairs, call.pairCount, query, sizeof query) ||
        !AppendText(objectName, size, query))
      return LUMOX_E_TOO_LONG;
  }
  return LUMOX_OK;
}

RequestFlags RequestFlagsFor(const URL_COMPONENTSA *parts) {
  RequestFlags flags;
  if (parts->nScheme != INTERNET_SCHEME_HTTPS) {
    // A plain request may still go through TLS: to an HTTPS proxy, whose certificate the
    // checks cover as well.
    if (ReadCertCheck() != 0) flags.relaxUnknownCa = false;
    return flags;
  }
  TraceLog("IF", "INTERNET_SCHEME_HTTPS");
  if (ReadCertCheck() != 0) {
    flags.open = kRequestFlags | INTERNET_FLAG_SECURE;
    flags.relaxUnknownCa = false;
  } else {
    flags.open = kRequestFlags | kSecureFlags;
  }
  return flags;
}

int OpenRequest(HINTERNET connection, const char *verb, const char *objectName,
                const char **acceptTypes, DWORD flags, HINTERNET *request) {
  *request =
      HttpOpenRequestA(connection, verb, objectName, nullptr, nullptr, acceptTypes, flags, 0);
  if (*request == nullptr) return LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
  WatchRequest(*request);
  ApplyTimeouts(request);
  return LUMOX_OK;
}

int SendWithRetry(HINTERNET request, SendForm form, DWORD bodyLength, bool relaxUnknownCa) {
  for (int retriesLeft = kSendRetries;; --retriesLeft) {
    if (form == SendForm::kGet) TraceLog("IF", "HttpSendRequest");
    if (SendOnce(request, form, bodyLength)) return LUMOX_OK;
    int result = LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
    if (form == SendForm::kHead) TraceLog("IF", "HttpSendRequestEx");
    if (retriesLeft == 0) return result;
    if (relaxUnknownCa) RelaxUnknownCa(request);
  }
}

int CheckStatus(HINTERNET request) {
  TraceLog("IF", "HttpQueryInfo");
  DWORD status = 0;
  DWORD size = sizeof status;
  if (!HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                      nullptr))
    return LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
  return status == kStatusOk ? LUMOX_OK : static_cast<int>(status);
}
