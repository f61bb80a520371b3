// Upload engine: one POST request. A multipart upload sends a local file as the file part
// of a multipart/form-data body and a raw upload as the bare body; either may keep the
// reply in a file. A download by POST posts the parameter list as form fields and saves
// the reply body.
//
// HttpUploadFileExBC is a short sequence of phases, each returning a result code: open
// the file to send, choose the object name, lay out the body, prime the proxy, send the
// head and the body, take the reply. One closing block releases what the call opened.
#include <windows.h>
#include <wininet.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "Lumox.h"
#include "engine_steps.h"
#include "engines.h"
#include "last_error.h"
#include "multipart.h"
#include "reply_file.h"
#include "settings.h"
#include "trace_log.h"
#include "transfer_call.h"
#include "transfer_hooks.h"
#include "url.h"

namespace {

constexpr DWORD kAddHeaderFlags = HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE;
constexpr uint64_t kMaxAnnounced = 0xFFFFFFFFull;
constexpr size_t kBodyTextSize = 65536;
static_assert(kFormTextSize == kBodyTextSize, "form text and body prefix buffers");

// The state of one call.
struct UploadCall {
  explicit UploadCall(const TransferCall &transfer)
      : args(transfer),
        upload(transfer.mode != TransferMode::kPostDownload),
        multipart(transfer.mode != TransferMode::kRawUpload) {}

  const TransferCall &args;
  const bool upload;     // a file is sent; otherwise a download by POST
  const bool multipart;  // form fields in the body, object name the path alone

  TransferHandles handles;
  URL_COMPONENTSA parts = {};
  uint64_t fileSize = 0;  // of the file sent
  bool sizeKnown = true;
  RequestFlags flags;
  char objectName[kMaxUrl + 1] = {};

  // The body: prefix (form text, and in an upload the file-part header), file data,
  // closing delimiter.
  char boundary[kBoundaryLength + 1] = {};
  char formText[kFormTextSize] = {};
  char bodyPrefix[kBodyTextSize] = {};
  const char *prefix = "";
  size_t prefixLength = 0;
  uint64_t announced = 0;
};

// Writes length bytes with one InternetWriteFile. Returns 0, the write's error, or
// LUMOX_E_FILE_WRITE when the connection took fewer bytes than given.
int WriteWhole(HINTERNET request, const void *data, DWORD length) {
  DWORD written = 0;
  if (!InternetWriteFile(request, data, length, &written))
    return LastErrorOr(ERROR_INTERNET_CONNECTION_ABORTED);
  TransferObserver *observer = CurrentTransferObserver();
  if (observer != nullptr) observer->Moved(Direction::kSend, written);
  return written == length ? LUMOX_OK : LUMOX_E_FILE_WRITE;
}

int AddHeader(HINTERNET request, const char *text) {
  if (HttpAddRequestHeadersA(request, text, static_cast<DWORD>(-1), kAddHeaderFlags))
    return LUMOX_OK;
  return LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
}

// Opens the file an upload sends and takes its whole 64-bit size: what is announced must
// be what is sent. An unreadable size is reported once the request is open.
int OpenFileToSend(UploadCall *call) {
  HANDLE file = CreateFileA(call->args.localPath, GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return LUMOX_E_FILE_OPEN;
  // Only a file on disk has a size to announce and an end to read to: a pipe, a socket or
  // a device is refused before anything is sent.
  if (GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    return LUMOX_E_FILE_OPEN;
  }
  call->handles.localFile = file;
  LARGE_INTEGER size;
  size.QuadPart = 0;
  call->sizeKnown = GetFileSizeEx(file, &size) && size.QuadPart >= 0;
  call->fileSize = call->sizeKnown ? static_cast<uint64_t>(size.QuadPart) : 0;
  return LUMOX_OK;
}

// Before session and connection are open: the file sent is closed without a trace line.
int ReturnAtOnce(UploadCall *call, int result) {
  if (call->handles.localFile != INVALID_HANDLE_VALUE) CloseHandle(call->handles.localFile);
  call->handles.localFile = INVALID_HANDLE_VALUE;
  return result;
}

// The URL's path alone when the list travels in the body; otherwise the object name with
// the query strings. Then the request flags.
int ChooseObjectName(UploadCall *call) {
  int result;
  if (call->multipart) {
    TraceLog("IF", "Using MultiParts");
    result = HttpUrlPath(&call->parts, call->objectName, sizeof call->objectName);
    // A URL without a path asks for the root.
    if (result == LUMOX_OK && call->objectName[0] == '\0') call->objectName[0] = '/';
  } else {
    TraceLog("IF", "Not Using MultiParts");
    result = HttpObjectName(&call->parts, call->objectName, sizeof call->objectName);
    if (result == LUMOX_OK)
      result = AppendQueryStrings(call->args, call->objectName, sizeof call->objectName);
  }
  if (result == LUMOX_OK) call->flags = RequestFlagsFor(&call->parts);
  return result;
}

// Boundary, form text, file-part header and announced length. The body is laid out before
// any request goes out, so a text that does not fit or a length that cannot be announced
// fails without sending anything.
int LayOutBody(UploadCall *call) {
  int result = LUMOX_OK;
  if (!call->multipart) {
    call->announced = call->fileSize;
  } else {
    HttpMakeBoundary(call->boundary);
    const TransferCall &args = call->args;
    if (args.params != nullptr && *args.params != nullptr) {
      result = HttpAddPostParaB(args.params, call->formText, sizeof call->formText, call->boundary);
    } else if (args.pairs != nullptr) {
      result = HttpAddPostParaC(args.pairs, args.pairCount, call->formText, sizeof call->formText,
                                call->boundary);
    }
    if (result != LUMOX_OK) return result;
    const size_t boundaryLength = strlen(call->boundary);
    if (call->upload) {
      result = FormatFilePartHeader(call->bodyPrefix, sizeof call->bodyPrefix, call->formText,
                                    call->boundary, args.fieldName, args.localPath);
      if (result != LUMOX_OK) return result;
      call->prefix = call->bodyPrefix;
      call->prefixLength = strlen(call->bodyPrefix);
      // "\r\n--" boundary "--\r\n" after the file's bytes.
      call->announced = call->prefixLength + call->fileSize + boundaryLength + 8;
    } else {
      call->prefix = call->formText;
      call->prefixLength = strlen(call->formText);
      // "--" boundary "--\r\n" after the fields.
      call->announced = call->prefixLength + boundaryLength + 6;
    }
  }
  return call->announced > kMaxAnnounced ? LUMOX_E_FILE_SIZE : LUMOX_OK;
}

// A body-less request first, so the proxy can authenticate the connection before a request
// with a body goes out. Its reply is read and discarded; its status is not examined.
int PrimeProxy(UploadCall *call) {
  TraceLog("IF", "ProxyAuthorization");
  HINTERNET *request = &call->handles.request;
  int result = OpenRequest(call->handles.connection, "POST", call->objectName, nullptr,
                           call->flags.open, request);
  if (result == LUMOX_OK)
    result = SendWithRetry(*request, SendForm::kPriming, 0, call->flags.relaxUnknownCa);
  if (result != LUMOX_OK) return result;
  uint64_t received = 0;
  int error = 0;
  if (CopyReplyBody(*request, INVALID_HANDLE_VALUE, false, &received, &error) ==
      CopyEnd::kTimeLimit)
    return ERROR_INTERNET_TIMEOUT;
  if (ForgetRequest(*request)) InternetCloseHandle(*request);
  *request = nullptr;
  return LUMOX_OK;
}

// Opens the real request and adds the headers of a multipart body.
int OpenPostRequest(UploadCall *call) {
  TraceLog("IF", "HttpOpenRequest");
  HINTERNET *request = &call->handles.request;
  int result = OpenRequest(call->handles.connection, "POST", call->objectName, nullptr,
                           call->flags.open, request);
  if (result != LUMOX_OK) return result;
  if (call->upload) {
    TraceLog("IF", "GetFileSize----%lld",
             call->sizeKnown ? static_cast<long long>(call->fileSize) : -1LL);
    if (!call->sizeKnown) return LUMOX_E_FILE_SIZE;
  }
  if (!call->multipart) return LUMOX_OK;
  char headerLine[128];
  memset(headerLine, 0, sizeof headerLine);
  // NOLINTNEXTLINE(cert-err33-c): the boundary has 39 characters; the line fits.
  snprintf(headerLine, sizeof headerLine, "Content-Type: multipart/form-data; boundary=%s",
           call->boundary);
  result = AddHeader(*request, headerLine);
  if (result != LUMOX_OK || !call->upload) return result;
  // NOLINTNEXTLINE(cert-err33-c): at most 10 digits; the line fits.
  snprintf(headerLine, sizeof headerLine, "LFile-Length: %u",
           static_cast<unsigned>(call->fileSize));
  return AddHeader(*request, headerLine);
}

// Sends exactly the file's size: a file that fails to read or ends early stops the request
// before its body could be completed short.
int SendFileData(UploadCall *call) {
  TraceLog("IF", "HttpWriteFile");
  char block[kBlockSize + 1];
  memset(block, 0, sizeof block);
  DWORD start = GetTickCount();
  uint64_t remaining = call->fileSize;
  for (;;) {
    DWORD want = remaining < kBlockSize ? static_cast<DWORD>(remaining) : kBlockSize;
    DWORD got = 0;
    if (!ReadFile(call->handles.localFile, block, want, &got, nullptr))
      return LastErrorOr(ERROR_READ_FAULT);
    if (TotalLimitReached(start)) return ERROR_INTERNET_TIMEOUT;
    if (got == 0) return remaining != 0 ? LUMOX_E_FILE_SIZE : LUMOX_OK;
    if (got > want) got = want;
    int result = WriteWhole(call->handles.request, block, got);
    if (result != LUMOX_OK) return result;
    remaining -= got;
  }
}

// The request head with the announced length, the body prefix, the file data, the closing
// delimiter, and the end of the request.
int SendHeadAndBody(UploadCall *call) {
  HINTERNET request = call->handles.request;
  int result = SendWithRetry(request, SendForm::kHead, static_cast<DWORD>(call->announced),
                             call->flags.relaxUnknownCa);
  if (result != LUMOX_OK) return result;
  TransferObserver *observer = CurrentTransferObserver();
  if (observer != nullptr) observer->Announced(Direction::kSend, call->announced);
  if ((call->upload && call->multipart) || (!call->upload && call->prefixLength != 0)) {
    TraceLog("IF", "InternetWriteFile");
    result = WriteWhole(request, call->prefix, static_cast<DWORD>(call->prefixLength));
    if (result != LUMOX_OK) return result;
  }
  if (call->upload) {
    result = SendFileData(call);
    if (result != LUMOX_OK) return result;
  }
  if (call->multipart) {
    char closingText[kBoundaryLength + 16];
    memset(closingText, 0, sizeof closingText);
    result = FormatClosingDelimiter(closingText, sizeof closingText, call->boundary, call->upload);
    if (result == LUMOX_OK)
      result = WriteWhole(request, closingText, static_cast<DWORD>(strlen(closingText)));
    if (result != LUMOX_OK) return result;
  }
  TraceLog("IF", "HttpEndRequest");
  if (!HttpEndRequestA(request, nullptr, kSendExFlags, 0))
    return LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
  return LUMOX_OK;
}

// The reply file of an upload, when one is asked for and can be created. The reply is
// checked like a download's body, and by the temporary-file rule an existing reply file is
// replaced only when the whole reply arrived (see CloseTransfer).
int SaveReplyFile(UploadCall *call) {
  TraceLog("IF", "CreateFile");
  TransferHandles *handles = &call->handles;
  if (call->args.replyPath == nullptr) return LUMOX_OK;
  if (ObserverTakesReply()) {
    // The reply goes to the observer as it arrives and nothing is created on disk; a reply
    // that breaks off or ends short of its announced length fails the call, since a stream
    // cannot be looked at afterwards.
    TraceLog("IF", "InternetReadFile");
    bool timeLimit = false;
    return ReceiveReplyBody(handles->request, INVALID_HANDLE_VALUE, &timeLimit, kCopyToObserver);
  }
  // No reply file possible: the upload itself succeeded.
  if (CreateSaveTarget(&handles->reply, call->args.replyPath, false, &handles->replyFile) !=
      LUMOX_OK)
    return LUMOX_OK;
  TraceLog("IF", "InternetReadFile");
  return ReceiveReplyBody(handles->request, handles->replyFile, &handles->keepReply);
}

// Status 200, then the target of a download by POST or the reply file of an upload.
int TakeReply(UploadCall *call) {
  int result = CheckStatus(call->handles.request);
  if (result != LUMOX_OK) return result;
  if (call->args.mode != TransferMode::kPostDownload) return SaveReplyFile(call);
  TraceLog("IF", "PathFileExists");
  return SaveReplyBody(call->handles.request, call->args.localPath, false,
                       &call->handles.localFile);
}

}  // namespace

int HttpUploadFileExBC(const TransferCall &args) {
  TraceLog("IF", "Check Function Parameter");
  if (args.url == nullptr || args.localPath == nullptr) return LUMOX_E_INVALID_PARAMETER;
  UploadCall call(args);
  {
    char shown[kTraceUrlSize];  // the whole URL; the entry is cut at 1,280 bytes
    MaskUrlForTrace(args.url, shown, sizeof shown);
    // "UpDown" tells an upload (1) from a download by POST (0) in the trace.
    TraceLog("UL", "HttpUploadFileExBC。URL:%s    File:%s    UpDown:%d    ", shown, args.localPath,
             call.upload ? 1 : 0);
  }
  int result = CheckTransferTexts(args);
  if (result != LUMOX_OK) return result;

  TraceLog("IF", "OpenLocalFile");
  if (call.upload) {
    result = OpenFileToSend(&call);
    if (result != LUMOX_OK) return CloseTransfer(&call.handles, result);
  }
  TraceLog("IF", "Crack the URL");
  result = HttpCrackURL(args.url, &call.parts);
  if (result != LUMOX_OK) return ReturnAtOnce(&call, result);
  ProxyArgs proxy = {};
  if (!TakeProxyArguments(args, &proxy)) return CloseTransfer(&call.handles, LUMOX_E_NO_PROXY);
  result = OpenConnection(&call.handles, &call.parts, proxy);
  if (result != LUMOX_OK) return ReturnAtOnce(&call, result);

  result = ChooseObjectName(&call);
  if (result == LUMOX_OK) result = LayOutBody(&call);
  if (result == LUMOX_OK && args.useProxy) result = PrimeProxy(&call);
  if (result == LUMOX_OK) result = OpenPostRequest(&call);
  if (result == LUMOX_OK) result = SendHeadAndBody(&call);
  if (result == LUMOX_OK) result = TakeReply(&call);
  return CloseTransfer(&call.handles, result);
}
