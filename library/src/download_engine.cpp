// Download engine: one GET request whose reply body is saved into a local file.
#include <windows.h>
#include <wininet.h>

#include <string.h>

#include "Lumox.h"
#include "engine_steps.h"
#include "engines.h"
#include "reply_file.h"
#include "transfer_call.h"
#include "trace_log.h"
#include "url.h"

int HttpDownloadFileExBC(const TransferCall &call) {
  TraceLog("IF", "Check Function Parameter");
  if (call.url == nullptr || call.localPath == nullptr) return LUMOX_E_INVALID_PARAMETER;
  {
    char shown[kTraceUrlSize];  // the whole URL; the entry is cut at 1,280 bytes
    MaskUrlForTrace(call.url, shown, sizeof shown);
    TraceLog("UL", "HttpDownloadFileExBC。URL:%s    File:%s    ", shown, call.localPath);
  }
  int result = CheckTransferTexts(call);
  if (result != LUMOX_OK) return result;

  TraceLog("IF", "Crack the URL");
  URL_COMPONENTSA parts;
  result = HttpCrackURL(call.url, &parts);
  if (result != LUMOX_OK) return result;

  TransferHandles handles;
  ProxyArgs proxy = {};
  if (!TakeProxyArguments(call, &proxy)) return CloseTransfer(&handles, LUMOX_E_NO_PROXY);
  result = OpenConnection(&handles, &parts, proxy);
  if (result != LUMOX_OK) return result;

  TraceLog("IF", "SET-GET");
  char objectName[kMaxUrl + 1];
  memset(objectName, 0, sizeof objectName);
  result = HttpObjectName(&parts, objectName, sizeof objectName);
  if (result == LUMOX_OK) result = AppendQueryStrings(call, objectName, sizeof objectName);
  if (result != LUMOX_OK) return CloseTransfer(&handles, result);

  const RequestFlags flags = RequestFlagsFor(&parts);
  TraceLog("IF", "HttpOpenRequest");
  const char *accept[] = {"*/*", nullptr};
  result = OpenRequest(handles.connection, "GET", objectName, accept, flags.open, &handles.request);
  if (result == LUMOX_OK)
    result = SendWithRetry(handles.request, SendForm::kGet, 0, flags.relaxUnknownCa);
  if (result == LUMOX_OK) result = CheckStatus(handles.request);
  if (result == LUMOX_OK)
    result = SaveReplyBody(handles.request, call.localPath, true, &handles.localFile);
  return CloseTransfer(&handles, result);
}
