// The two transfer engines behind the eight transfer exports.
#pragma once
#include <windows.h>
#include <oleauto.h>

int HttpDownloadFileExBC(const char *url, SAFEARRAY **params, char **pairs, int pairCount,
                         const char *localPath, int useProxy, const char *proxyServer,
                         int proxyPort, const char *proxyUser, const char *proxyPassword);

int HttpUploadFileExBC(const char *url, SAFEARRAY **params, char **pairs, int pairCount,
                       const char *localPath, const char *fieldName, const char *responsePath,
                       int useProxy, const char *proxyServer, int proxyPort, const char *proxyUser,
                       const char *proxyPassword, int UpDown);
