// The eight transfer exports: a start line, one engine call, an end line with its result.
#include <windows.h>
#include <oleauto.h>

#include "Lumox.h"
#include "engines.h"
#include "trace_log.h"

namespace {

int Download(const char *start, const char *url, SAFEARRAY **params, char **pairs, int pairCount,
             const char *localPath, int usePost, int useProxy, const char *proxyServer,
             int proxyPort, const char *proxyUser, const char *proxyPassword) {
  TraceLog("DL", "%s", start);
  int result;
  if (usePost == 0) {
    result = HttpDownloadFileExBC(url, params, pairs, pairCount, localPath, useProxy, proxyServer,
                                  proxyPort, proxyUser, proxyPassword);
  } else {
    result = HttpUploadFileExBC(url, params, pairs, pairCount, localPath, nullptr, nullptr,
                                useProxy, proxyServer, proxyPort, proxyUser, proxyPassword, 0);
  }
  TraceLog("DL", "Download終了。Return Code:%d", result);
  return result;
}

int Upload(const char *start, const char *url, SAFEARRAY **params, char **pairs, int pairCount,
           const char *localPath, const char *fieldName, const char *responsePath, int useProxy,
           const char *proxyServer, int proxyPort, const char *proxyUser,
           const char *proxyPassword) {
  TraceLog("UL", "%s", start);
  int result = HttpUploadFileExBC(url, params, pairs, pairCount, localPath, fieldName, responsePath,
                                  useProxy, proxyServer, proxyPort, proxyUser, proxyPassword, 1);
  TraceLog("UL", "Upload終了。Return Code:%d", result);
  return result;
}

}  // namespace

extern "C" {

LUMOX_API int LUMOX_CALL HttpDownloadFile(const char *url, SAFEARRAY **params,
                                          const char *localPath, int usePost) {
  return Download("Download開始。", url, params, nullptr, 0, localPath, usePost, 0, nullptr, 0,
                  nullptr, nullptr);
}

LUMOX_API int LUMOX_CALL HttpDownloadFileEx(const char *url, SAFEARRAY **params,
                                            const char *localPath, int usePost, int reserved,
                                            const char *proxyServer, int proxyPort,
                                            const char *proxyUser, const char *proxyPassword) {
  return Download("Download開始--Agent。", url, params, nullptr, 0, localPath, usePost, 1,
                  proxyServer, proxyPort, proxyUser, proxyPassword);
}

LUMOX_API int LUMOX_CALL HttpDownloadFileC(const char *url, char **pairs, int pairCount,
                                           const char *localPath, int usePost) {
  return Download("Download開始--C。", url, nullptr, pairs, pairCount, localPath, usePost, 0,
                  nullptr, 0, nullptr, nullptr);
}

LUMOX_API int LUMOX_CALL HttpDownloadFileExC(const char *url, char **pairs, int pairCount,
                                             const char *localPath, int usePost, int reserved,
                                             const char *proxyServer, int proxyPort,
                                             const char *proxyUser, const char *proxyPassword) {
  return Download("Download開始--C--Agent。", url, nullptr, pairs, pairCount, localPath, usePost, 1,
                  proxyServer, proxyPort, proxyUser, proxyPassword);
}

LUMOX_API int LUMOX_CALL HttpUploadFile(const char *url, SAFEARRAY **params, const char *localPath,
                                        const char *fieldName, const char *responsePath) {
  return Upload("Upload開始。", url, params, nullptr, 0, localPath, fieldName, responsePath, 0,
                nullptr, 0, nullptr, nullptr);
}

LUMOX_API int LUMOX_CALL HttpUploadFileEx(const char *url, SAFEARRAY **params,
                                          const char *localPath, const char *fieldName,
                                          const char *responsePath, int reserved,
                                          const char *proxyServer, int proxyPort,
                                          const char *proxyUser, const char *proxyPassword) {
  return Upload("Upload開始--Agent。", url, params, nullptr, 0, localPath, fieldName, responsePath,
                1, proxyServer, proxyPort, proxyUser, proxyPassword);
}

LUMOX_API int LUMOX_CALL HttpUploadFileC(const char *url, char **pairs, int pairCount,
                                         const char *localPath, const char *fieldName,
                                         const char *responsePath) {
  return Upload("Upload開始--C。", url, nullptr, pairs, pairCount, localPath, fieldName,
                responsePath, 0, nullptr, 0, nullptr, nullptr);
}

LUMOX_API int LUMOX_CALL HttpUploadFileExC(const char *url, char **pairs, int pairCount,
                                           const char *localPath, const char *fieldName,
                                           const char *responsePath, int reserved,
                                           const char *proxyServer, int proxyPort,
                                           const char *proxyUser, const char *proxyPassword) {
  return Upload("Upload開始--C--Agent。", url, nullptr, pairs, pairCount, localPath, fieldName,
                responsePath, 1, proxyServer, proxyPort, proxyUser, proxyPassword);
}

}  // extern "C"
