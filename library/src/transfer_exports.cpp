// The eight transfer exports: a start line, one engine call, an end line with its result.
#include <windows.h>
#include <oleauto.h>

#include "Lumox.h"
#include "engines.h"
#include "trace_log.h"

namespace {

// The call record of a transfer without a proxy: URL, the list in either form, local path.
TransferCall Call(const char *url, SAFEARRAY **params, char **pairs, int pairCount,
                  const char *localPath) {
  TransferCall call;
  call.url = url;
  call.params = params;
  call.pairs = pairs;
  call.pairCount = pairCount;
  call.localPath = localPath;
  return call;
}

// The same through the proxy the caller gives (the Ex forms).
TransferCall ViaProxy(TransferCall call, const char *server, int port, const char *user,
                      const char *password) {
  call.useProxy = true;
  call.proxy = ProxyArgs{server, port, user, password};
  return call;
}

// usePost 0 asks for a GET; any other value for a POST, served by the upload engine.
int Download(const char *start, TransferCall call, int usePost) {
  TraceLog("DL", "%s", start);
  int result;
  if (usePost == 0) {
    call.mode = TransferMode::kGetDownload;
    result = HttpDownloadFileExBC(call);
  } else {
    call.mode = TransferMode::kPostDownload;
    result = HttpUploadFileExBC(call);
  }
  TraceLog("DL", "Download終了。Return Code:%d", result);
  return result;
}

// A named file part makes a multipart upload; an absent or empty name a raw one.
int Upload(const char *start, TransferCall call, const char *fieldName, const char *replyPath) {
  TraceLog("UL", "%s", start);
  const bool multipart = fieldName != nullptr && fieldName[0] != '\0';
  call.mode = multipart ? TransferMode::kMultipartUpload : TransferMode::kRawUpload;
  call.fieldName = multipart ? fieldName : nullptr;
  call.replyPath = replyPath;
  int result = HttpUploadFileExBC(call);
  TraceLog("UL", "Upload終了。Return Code:%d", result);
  return result;
}

}  // namespace

extern "C" {

LUMOX_API int LUMOX_CALL HttpDownloadFile(const char *url, SAFEARRAY **params,
                                          const char *localPath, int usePost) {
  return Download("Download開始。", Call(url, params, nullptr, 0, localPath), usePost);
}

LUMOX_API int LUMOX_CALL HttpDownloadFileEx(const char *url, SAFEARRAY **params,
                                            const char *localPath, int usePost, int reserved,
                                            const char *proxyServer, int proxyPort,
                                            const char *proxyUser, const char *proxyPassword) {
  return Download("Download開始--Agent。",
                  ViaProxy(Call(url, params, nullptr, 0, localPath), proxyServer, proxyPort,
                           proxyUser, proxyPassword),
                  usePost);
}

LUMOX_API int LUMOX_CALL HttpDownloadFileC(const char *url, char **pairs, int pairCount,
                                           const char *localPath, int usePost) {
  return Download("Download開始--C。", Call(url, nullptr, pairs, pairCount, localPath), usePost);
}

LUMOX_API int LUMOX_CALL HttpDownloadFileExC(const char *url, char **pairs, int pairCount,
                                             const char *localPath, int usePost, int reserved,
                                             const char *proxyServer, int proxyPort,
                                             const char *proxyUser, const char *proxyPassword) {
  return Download("Download開始--C--Agent。",
                  ViaProxy(Call(url, nullptr, pairs, pairCount, localPath), proxyServer, proxyPort,
                           proxyUser, proxyPassword),
                  usePost);
}

LUMOX_API int LUMOX_CALL HttpUploadFile(const char *url, SAFEARRAY **params, const char *localPath,
                                        const char *fieldName, const char *responsePath) {
  return Upload("Upload開始。", Call(url, params, nullptr, 0, localPath), fieldName, responsePath);
}

LUMOX_API int LUMOX_CALL HttpUploadFileEx(const char *url, SAFEARRAY **params,
                                          const char *localPath, const char *fieldName,
                                          const char *responsePath, int reserved,
                                          const char *proxyServer, int proxyPort,
                                          const char *proxyUser, const char *proxyPassword) {
  return Upload("Upload開始--Agent。",
                ViaProxy(Call(url, params, nullptr, 0, localPath), proxyServer, proxyPort,
                         proxyUser, proxyPassword),
                fieldName, responsePath);
}

LUMOX_API int LUMOX_CALL HttpUploadFileC(const char *url, char **pairs, int pairCount,
                                         const char *localPath, const char *fieldName,
                                         const char *responsePath) {
  return Upload("Upload開始--C。", Call(url, nullptr, pairs, pairCount, localPath), fieldName,
                responsePath);
}

LUMOX_API int LUMOX_CALL HttpUploadFileExC(const char *url, char **pairs, int pairCount,
                                           const char *localPath, const char *fieldName,
                                           const char *responsePath, int reserved,
                                           const char *proxyServer, int proxyPort,
                                           const char *proxyUser, const char *proxyPassword) {
  return Upload("Upload開始--C--Agent。",
                ViaProxy(Call(url, nullptr, pairs, pairCount, localPath), proxyServer, proxyPort,
                         proxyUser, proxyPassword),
                fieldName, responsePath);
}

}  // extern "C"
