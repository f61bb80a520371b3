// URL cracking, object names, percent-encoding, query strings and the canonicalisation
// exports.
#include "url.h"

#include <stdio.h>
#include <string.h>

#include "Lumox.h"
#include "module.h"
#include "param_list.h"
#include "text_buffer.h"
#include "trace_log.h"

namespace {
constexpr unsigned int kNameEncodedSize = 128;
constexpr unsigned int kValueEncodedSize = 800;
constexpr size_t kConversionSize = 800;
constexpr size_t kPairLineSize = 1024;

bool Unreserved(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_';
}

struct QueryBuild {
  char *dest;
  size_t destSize;
};

// Encodes and appends one pair: "?n=v" for the first, "&n=v" after. 1 stops the walk.
int AppendQueryPair(void *context, int index, const char *name, const char *value) {
  QueryBuild *build = static_cast<QueryBuild *>(context);
  char encodedName[kNameEncodedSize];
  char encodedValue[kValueEncodedSize];
  memset(encodedName, 0, sizeof encodedName);
  memset(encodedValue, 0, sizeof encodedValue);
  if (HttpEncodePara(name, encodedName, sizeof encodedName) != 0) return 1;
  if (HttpEncodePara(value, encodedValue, sizeof encodedValue) != 0) return 1;
  char line[kPairLineSize];
  memset(line, 0, sizeof line);
  int used =
      snprintf(line, sizeof line, index == 0 ? "?%s=%s" : "&%s=%s", encodedName, encodedValue);
  if (used < 0 || static_cast<size_t>(used) >= sizeof line) return 1;
  return AppendText(build->dest, build->destSize, line) ? 0 : 1;
}

// Joins up to two parts into out; false, with out untouched, when they do not fit.
bool JoinParts(char *out, size_t size, const char *first, size_t firstLength, const char *second,
               size_t secondLength) {
  if (first == nullptr) firstLength = 0;
  if (second == nullptr) secondLength = 0;
  if (firstLength >= size || secondLength >= size - firstLength) return false;
  if (firstLength > 0) memcpy(out, first, firstLength);
  if (secondLength > 0) memcpy(out + firstLength, second, secondLength);
  out[firstLength + secondLength] = '\0';
  return true;
}

// Canonicalises url (at most 1024 bytes) into result (1025 bytes). 0 or the last error.
int Canonicalize(const char *url, size_t urlLength, char *result) {
  char copy[kMaxUrl + 1];
  memset(copy, 0, sizeof copy);
  memcpy(copy, url, urlLength);
  memset(result, 0, kMaxUrl + 1);
  DWORD length = kMaxUrl;
  BOOL done = InternetCanonicalizeUrlA(copy, result, &length, ICU_BROWSER_MODE);
  int code = done ? 0 : static_cast<int>(GetLastError());
  SecureZeroMemory(copy, sizeof copy);  // a URL may carry a user name and password
  result[kMaxUrl] = '\0';
  return code;
}
}  // namespace

int HttpCrackURL(const char *url, URL_COMPONENTSA *parts) {
  if (url == nullptr || parts == nullptr) return LUMOX_E_INVALID_PARAMETER;
  memset(parts, 0, sizeof *parts);
  parts->dwStructSize = sizeof *parts;
  // Length 1 with a null pointer asks for a reference into url.
  parts->dwSchemeLength = 1;
  parts->dwHostNameLength = 1;
  parts->dwUserNameLength = 1;
  parts->dwPasswordLength = 1;
  parts->dwUrlPathLength = 1;
  parts->dwExtraInfoLength = 1;
  if (!InternetCrackUrlA(url, static_cast<DWORD>(strlen(url)), 0, parts))
    return static_cast<int>(GetLastError());
  return 0;
}

int HttpObjectName(const URL_COMPONENTSA *parts, char *out, size_t size) {
  if (parts == nullptr || out == nullptr || size == 0) return LUMOX_E_INVALID_PARAMETER;
  // A URL without a path asks for the root, with its extra information behind it.
  bool noPath = parts->lpszUrlPath == nullptr || parts->dwUrlPathLength == 0;
  const char *path = noPath ? "/" : parts->lpszUrlPath;
  size_t pathLength = noPath ? 1 : parts->dwUrlPathLength;
  if (!JoinParts(out, size, path, pathLength, parts->lpszExtraInfo, parts->dwExtraInfoLength))
    return LUMOX_E_TOO_LONG;
  return 0;
}

int HttpUrlPath(const URL_COMPONENTSA *parts, char *out, size_t size) {
  if (parts == nullptr || out == nullptr || size == 0) return LUMOX_E_INVALID_PARAMETER;
  if (!JoinParts(out, size, parts->lpszUrlPath, parts->dwUrlPathLength, nullptr, 0))
    return LUMOX_E_TOO_LONG;
  return 0;
}

int HttpEncodePara(const char *source, char *dest, unsigned int destSize) {
  if (source == nullptr || dest == nullptr) return LUMOX_E_INVALID_PARAMETER;
  size_t length = strnlen(source, kMaxUrl + 1);
  if (length > kMaxUrl) return LUMOX_E_TOO_LONG;
  if (length >= destSize) return LUMOX_E_BUFFER_TOO_SMALL;
  static const char kHex[] = "0123456789ABCDEF";
  char encoded[3 * kMaxUrl + 1];
  size_t used = 0;
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(source[i]);
    if (Unreserved(c)) {
      encoded[used++] = static_cast<char>(c);
    } else {
      encoded[used++] = '%';
      encoded[used++] = kHex[c >> 4];
      encoded[used++] = kHex[c & 0x0F];
    }
    if (used >= destSize) return LUMOX_E_BUFFER_TOO_SMALL;
  }
  encoded[used] = '\0';
  memcpy(dest, encoded, used + 1);
  return 0;
}

int HttpAddGetParaB(SAFEARRAY **params, char *dest, size_t destSize) {
  if (dest == nullptr || destSize == 0) return 0;
  QueryBuild build = {dest, destSize};
  int walked = WalkHostParams(params, kConversionSize, kConversionSize, kMaxQueryPairs,
                              AppendQueryPair, &build);
  return walked == kParamWalkDone ? 1 : 0;
}

int HttpAddGetParaC(char **pairs, int pairCount, char *dest, size_t destSize) {
  if (dest == nullptr || destSize == 0) return 0;
  QueryBuild build = {dest, destSize};
  int walked = WalkPlainParams(pairs, pairCount, kMaxQueryPairs, AppendQueryPair, &build);
  return walked == kParamWalkDone ? 1 : 0;
}

extern "C" LUMOX_API int LUMOX_CALL HttpParseURL(const char *url, BSTR *canonicalUrl) {
  {
    char shown[kTraceUrlSize];
    MaskUrlForTrace(url, shown, sizeof shown);
    TraceLog("IF", "ParseURL。URL:%s", shown);
  }
  if (url == nullptr || canonicalUrl == nullptr) return LUMOX_E_INVALID_PARAMETER;
  size_t length = strnlen(url, kMaxUrl + 1);
  if (length > kMaxUrl) return LUMOX_E_TOO_LONG;
  char result[kMaxUrl + 1];
  int code = Canonicalize(url, length, result);
  if (code == 0) SetResultString(canonicalUrl, result);
  SecureZeroMemory(result, sizeof result);
  return code;
}

extern "C" LUMOX_API int LUMOX_CALL HttpParseURLC(const char *url, char *buffer,
                                                  unsigned int bufferSize) {
  if (url == nullptr || buffer == nullptr) return LUMOX_E_INVALID_PARAMETER;
  size_t length = strnlen(url, kMaxUrl + 1);
  if (length > kMaxUrl) return LUMOX_E_TOO_LONG;
  if (length >= bufferSize) return LUMOX_E_BUFFER_TOO_SMALL;
  char result[kMaxUrl + 1];
  int code = Canonicalize(url, length, result);
  if (code == 0) {
    size_t resultLength = strlen(result);
    if (resultLength >= bufferSize)
      code = LUMOX_E_BUFFER_TOO_SMALL;
    else
      memcpy(buffer, result, resultLength + 1);
  }
  SecureZeroMemory(result, sizeof result);
  return code;
}
