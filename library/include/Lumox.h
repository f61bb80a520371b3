/* Lumox: HTTP/HTTPS download and upload of files.
 *
 * Twelve flat exports, each returning a result code: 0 for success, 10000-10011 for the
 * library's own errors, an HTTP status other than 200, or a platform error number.
 * The plain names take automation strings and arrays (BSTR, SAFEARRAY); the names
 * ending in C take NUL-terminated ANSI strings, plain string arrays and caller buffers.
 * All text is in the process's ANSI code page (Shift-JIS on Japanese systems).
 */
#ifndef LUMOX_H
#define LUMOX_H

/* The automation types BSTR and SAFEARRAY. On Windows (and in the project's own Linux
 * build, which has Win32 headers of its own) they come from <windows.h>/<oleauto.h>;
 * any other caller gets the declarations below, laid out as the library uses them. */
#if defined(_WIN32) || defined(LUMOX_WIN32_HEADERS) || defined(LUMOX_PLATFORM_API)
#include <windows.h>
#include <oleauto.h>
#elif !defined(LUMOX_AUTOMATION_TYPES)
#define LUMOX_AUTOMATION_TYPES
#include <stdint.h>
/* A BSTR points at UTF-16 code units that follow a 4-byte byte count and end with a
 * 2-byte NUL. A string that HttpGetErrStr or HttpParseURL stores holds ANSI bytes and
 * is one malloc block starting 4 bytes before the pointer: free((char *)s - 4). */
#ifdef __cplusplus
typedef char16_t OLECHAR;
#else
typedef uint16_t OLECHAR;
#endif
typedef OLECHAR *BSTR;
typedef struct tagSAFEARRAYBOUND {
  uint32_t cElements;
  int32_t lLbound;
} SAFEARRAYBOUND;
/* A one-dimensional array of parameter pairs: pvData points at cElements records of two
 * BSTRs (name, then value); cbElements is 2 * sizeof(BSTR). */
typedef struct tagSAFEARRAY {
  uint16_t cDims;
  uint16_t fFeatures;
  uint32_t cbElements;
  uint32_t cLocks;
  void *pvData;
  SAFEARRAYBOUND rgsabound[1];
} SAFEARRAY;
#endif

#if defined(_WIN32)
#define LUMOX_CALL __stdcall
#if defined(LUMOX_BUILDING)
#define LUMOX_API __declspec(dllexport)
#else
#define LUMOX_API __declspec(dllimport)
#endif
#else
#define LUMOX_CALL
#define LUMOX_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Library result codes. */
#define LUMOX_OK 0
#define LUMOX_E_INVALID_PARAMETER 10000 /* a required pointer is null */
#define LUMOX_E_TOO_LONG 10001          /* URL, path or parameters too long */
#define LUMOX_E_FILE_CREATE 10002       /* the local file cannot be created or replaced */
#define LUMOX_E_FILE_OPEN 10003         /* the file to upload cannot be opened */
#define LUMOX_E_FILE_SIZE 10004         /* the file to upload has no usable size */
#define LUMOX_E_FILE_WRITE 10005        /* the connection took fewer bytes of the body than given */
#define LUMOX_E_BUFFER_TOO_SMALL 10006  /* the caller's buffer is too small */
#define LUMOX_E_NO_MESSAGE 10007        /* no room even for the fallback message */
#define LUMOX_E_NO_PROXY 10008          /* a proxy export got no proxy server */
#define LUMOX_E_NO_SETTINGS 10009       /* kept for its message; never returned */
#define LUMOX_E_NO_REPLY 10010          /* kept for its message; never returned */
#define LUMOX_E_SIZE_MISMATCH 10011     /* received size differs from the announced one */

/* Downloads: usePost 0 sends a GET with params as query string; any other value a POST
 * with params as multipart/form-data fields. The reply body goes to localPath, which is
 * replaced only when the whole transfer succeeded. */
LUMOX_API int LUMOX_CALL HttpDownloadFile(const char *url, SAFEARRAY **params,
                                          const char *localPath, int usePost);
LUMOX_API int LUMOX_CALL HttpDownloadFileEx(const char *url, SAFEARRAY **params,
                                            const char *localPath, int usePost, int reserved,
                                            const char *proxyServer, int proxyPort,
                                            const char *proxyUser, const char *proxyPassword);
LUMOX_API int LUMOX_CALL HttpDownloadFileC(const char *url, char **pairs, int pairCount,
                                           const char *localPath, int usePost);
LUMOX_API int LUMOX_CALL HttpDownloadFileExC(const char *url, char **pairs, int pairCount,
                                             const char *localPath, int usePost, int reserved,
                                             const char *proxyServer, int proxyPort,
                                             const char *proxyUser, const char *proxyPassword);

/* Uploads: a non-empty fieldName sends localPath as the file part of a multipart/form-data
 * body behind params; a null or empty one sends the bare file with params as query
 * string. A non-null responsePath receives the server's reply body. */
LUMOX_API int LUMOX_CALL HttpUploadFile(const char *url, SAFEARRAY **params, const char *localPath,
                                        const char *fieldName, const char *responsePath);
LUMOX_API int LUMOX_CALL HttpUploadFileEx(const char *url, SAFEARRAY **params,
                                          const char *localPath, const char *fieldName,
                                          const char *responsePath, int reserved,
                                          const char *proxyServer, int proxyPort,
                                          const char *proxyUser, const char *proxyPassword);
LUMOX_API int LUMOX_CALL HttpUploadFileC(const char *url, char **pairs, int pairCount,
                                         const char *localPath, const char *fieldName,
                                         const char *responsePath);
LUMOX_API int LUMOX_CALL HttpUploadFileExC(const char *url, char **pairs, int pairCount,
                                           const char *localPath, const char *fieldName,
                                           const char *responsePath, int reserved,
                                           const char *proxyServer, int proxyPort,
                                           const char *proxyUser, const char *proxyPassword);

/* Messages: the Japanese text of any result code. HttpGetErrStr stores an automation
 * string holding the ANSI bytes in *message (the caller frees it). */
LUMOX_API int LUMOX_CALL HttpGetErrStr(int code, BSTR *message);
LUMOX_API int LUMOX_CALL HttpGetErrStrC(int code, char *buffer, unsigned int bufferSize);

/* Canonical form of a URL (dot segments resolved, unsafe characters escaped). */
LUMOX_API int LUMOX_CALL HttpParseURL(const char *url, BSTR *canonicalUrl);
LUMOX_API int LUMOX_CALL HttpParseURLC(const char *url, char *buffer, unsigned int bufferSize);

#ifdef __cplusplus
}
#endif

#endif /* LUMOX_H */
