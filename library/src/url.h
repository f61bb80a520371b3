// URL cracking, object names, percent-encoding and query strings.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <wininet.h>
#include <stddef.h>

// Longest URL the library takes, in bytes.
constexpr size_t kMaxUrl = 1024;
// Most pairs a query string may declare.
constexpr int kMaxQueryPairs = 64;

// Cracks url into references (flags 0). Returns 0, LUMOX_E_INVALID_PARAMETER for a null argument,
// or the platform's last error.
int HttpCrackURL(const char *url, URL_COMPONENTSA *parts);

// Object name of a request: the URL path followed by its extra information; "/" stands in for a
// missing path. Returns 0, LUMOX_E_INVALID_PARAMETER for a null argument, or LUMOX_E_TOO_LONG when
// it does not fit in size bytes with its terminator (out is then untouched).
int HttpObjectName(const URL_COMPONENTSA *parts, char *out, size_t size);
// The URL path alone. Returns 0, LUMOX_E_INVALID_PARAMETER or LUMOX_E_TOO_LONG.
int HttpUrlPath(const URL_COMPONENTSA *parts, char *out, size_t size);

// Percent-encodes source into dest (dest untouched on failure). Returns 0,
// LUMOX_E_INVALID_PARAMETER (null argument), LUMOX_E_TOO_LONG (source over 1024 bytes) or
// LUMOX_E_BUFFER_TOO_SMALL (too long).
int HttpEncodePara(const char *source, char *dest, unsigned int destSize);

// Append "?n=v&n=v..." to dest (a NUL-terminated text in a buffer of destSize bytes).
// Return 1 on success, 0 on failure (no array, lock failed, over 64 pairs, an encoded
// name or value too long, or the query does not fit in dest).
int HttpAddGetParaB(SAFEARRAY **params, char *dest, size_t destSize);
int HttpAddGetParaC(char **pairs, int pairCount, char *dest, size_t destSize);
