// Request flags and small helpers both engines use.
#pragma once
#include "url.h"
#include "trace_log.h"
#include <windows.h>
#include <wininet.h>
#include <string.h>

// Forced reload, no cache write, keep-alive, no cookies, no UI, no-cache pragma.
constexpr DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                                INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_NO_COOKIES |
                                INTERNET_FLAG_NO_UI | INTERNET_FLAG_PRAGMA_NOCACHE;
// Added for HTTPS URLs.
constexpr DWORD kSecureFlags = INTERNET_FLAG_SECURE | INTERNET_FLAG_IGNORE_CERT_DATE_INVALID |
                               INTERNET_FLAG_IGNORE_CERT_CN_INVALID;
static_assert(kRequestFlags == 0x84480300u, "request flags");
static_assert((kRequestFlags | kSecureFlags) == 0x84C83300u, "secure request flags");

// Before a send is repeated: accept a certificate of an unknown authority from then on.
// The outcome of both option calls is not examined.
inline void RelaxUnknownCa(HINTERNET request) {
  DWORD flags = 0;
  DWORD size = sizeof flags;
  InternetQueryOptionA(request, INTERNET_OPTION_SECURITY_FLAGS, &flags, &size);
  flags |= SECURITY_FLAG_IGNORE_UNKNOWN_CA;
  InternetSetOptionA(request, INTERNET_OPTION_SECURITY_FLAGS, &flags, sizeof flags);
}

// Appends text to the NUL-terminated dest in a buffer of size bytes. False, with dest
// unchanged, when the result would not fit.
inline bool AppendText(char *dest, size_t size, const char *text) {
  size_t have = strnlen(dest, size);
  size_t add = strlen(text);
  if (have >= size || add >= size - have) return false;
  memcpy(dest + have, text, add + 1);
  return true;
}

// Appends the query strings of both list forms to objectName, with their trace lines.
// Returns 0, or 10001 when a list cannot be turned into a query or the name would not fit.
inline int AppendQueryStrings(SAFEARRAY **params, char **pairs, int pairCount, char *objectName,
                              size_t size) {
  char query[kMaxUrl];
  if (params != nullptr && *params != nullptr) {
    memset(query, 0, sizeof query);
    TraceLog("IF", "HttpAddGetParaB");
    if (!HttpAddGetParaB(params, query, sizeof query) || !AppendText(objectName, size, query))
      return 10001;
  }
  if (pairs != nullptr) {
    memset(query, 0, sizeof query);
    TraceLog("IF", "HttpAddGetParaC");
    if (!HttpAddGetParaC(pairs, pairCount, query, sizeof query) ||
        !AppendText(objectName, size, query))
      return 10001;
  }
  return 0;
}
