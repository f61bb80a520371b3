// URL cracking and canonicalisation: InternetCrackUrlA (references and copies),
// InternetCanonicalizeUrlA with each flag and its buffer-size rule, and HttpParseURLC.
#include <windows.h>
#include <wininet.h>

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "Lumox.h"
#include "fuzz_check.h"

namespace {

void CheckReference(const char *url, size_t length, const char *part, DWORD partLength) {
  if (!part) return;
  FUZZ_CHECK(part >= url && part <= url + length);
  FUZZ_CHECK(part + partLength <= url + length);
}

void CrackByReference(const char *url, size_t length) {
  URL_COMPONENTSA parts;
  memset(&parts, 0, sizeof parts);
  parts.dwStructSize = sizeof parts;
  parts.dwSchemeLength = parts.dwHostNameLength = parts.dwUserNameLength = 1;
  parts.dwPasswordLength = parts.dwUrlPathLength = parts.dwExtraInfoLength = 1;
  if (!InternetCrackUrlA(url, 0, 0, &parts)) return;
  CheckReference(url, length, parts.lpszScheme, parts.dwSchemeLength);
  CheckReference(url, length, parts.lpszHostName, parts.dwHostNameLength);
  CheckReference(url, length, parts.lpszUserName, parts.dwUserNameLength);
  CheckReference(url, length, parts.lpszPassword, parts.dwPasswordLength);
  CheckReference(url, length, parts.lpszUrlPath, parts.dwUrlPathLength);
  CheckReference(url, length, parts.lpszExtraInfo, parts.dwExtraInfoLength);
}

void CrackIntoBuffers(const char *url, DWORD flags) {
  char scheme[16], host[64], user[32], password[32], path[256], extra[256];
  URL_COMPONENTSA parts;
  memset(&parts, 0, sizeof parts);
  parts.dwStructSize = sizeof parts;
  char *buffers[] = {scheme, host, user, password, path, extra};
  DWORD sizes[] = {sizeof scheme,   sizeof host, sizeof user,
                   sizeof password, sizeof path, sizeof extra};
  parts.lpszScheme = scheme;
  parts.dwSchemeLength = sizes[0];
  parts.lpszHostName = host;
  parts.dwHostNameLength = sizes[1];
  parts.lpszUserName = user;
  parts.dwUserNameLength = sizes[2];
  parts.lpszPassword = password;
  parts.dwPasswordLength = sizes[3];
  parts.lpszUrlPath = path;
  parts.dwUrlPathLength = sizes[4];
  parts.lpszExtraInfo = extra;
  parts.dwExtraInfoLength = sizes[5];
  if (!InternetCrackUrlA(url, 0, flags, &parts)) return;
  DWORD lengths[] = {parts.dwSchemeLength,   parts.dwHostNameLength, parts.dwUserNameLength,
                     parts.dwPasswordLength, parts.dwUrlPathLength,  parts.dwExtraInfoLength};
  for (int i = 0; i < 6; ++i) {
    FUZZ_CHECK(lengths[i] < sizes[i]);
    FUZZ_CHECK(strlen(buffers[i]) == lengths[i]);
  }
}

void Canonicalize(const char *url, DWORD flags) {
  char small[16];
  DWORD length = sizeof small;
  if (InternetCanonicalizeUrlA(url, small, &length, flags)) {
    FUZZ_CHECK(length < sizeof small && small[length] == '\0');
    return;
  }
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return;
  // The size asked for is enough, and one byte less is not.
  DWORD needed = length;
  FUZZ_CHECK(needed > sizeof small && needed < (1u << 24));
  std::vector<char> exact(needed);
  length = needed;
  FUZZ_CHECK(InternetCanonicalizeUrlA(url, exact.data(), &length, flags));
  // (ICU_DECODE may put a decoded NUL inside the text: the length counts it.)
  FUZZ_CHECK(length + 1 == needed && exact[length] == '\0');
  std::vector<char> shorter(needed - 1);
  length = needed - 1;
  FUZZ_CHECK(!InternetCanonicalizeUrlA(url, shorter.data(), &length, flags));
  FUZZ_CHECK(GetLastError() == ERROR_INSUFFICIENT_BUFFER && length == needed);
}

void ParseUrl(const char *url) {
  char buffer[1100];
  int result = HttpParseURLC(url, buffer, sizeof buffer);
  if (result != 0) return;
  size_t length = strlen(buffer);
  FUZZ_CHECK(length < sizeof buffer);
  // The buffer must hold the URL given and the text returned: exactly that much works,
  // one byte less is refused and left alone.
  if (strlen(url) > length) length = strlen(url);
  std::vector<char> exact(length + 1, 'x');
  FUZZ_CHECK(HttpParseURLC(url, exact.data(), static_cast<unsigned>(exact.size())) == 0);
  FUZZ_CHECK(strcmp(exact.data(), buffer) == 0);
  if (length == 0) return;
  std::vector<char> shorter(length, 'x');
  FUZZ_CHECK(HttpParseURLC(url, shorter.data(), static_cast<unsigned>(length)) != 0);
  for (char c : shorter) FUZZ_CHECK(c == 'x');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 4096) return 0;
  std::string text(reinterpret_cast<const char *>(data), size);
  const char *url = text.c_str();  // the text up to its first NUL
  size_t length = strlen(url);
  CrackByReference(url, length);
  CrackIntoBuffers(url, 0);
  CrackIntoBuffers(url, ICU_DECODE | ICU_ESCAPE);
  const DWORD flags[] = {0,
                         ICU_NO_ENCODE,
                         ICU_DECODE,
                         ICU_DECODE | ICU_NO_ENCODE,
                         ICU_BROWSER_MODE,
                         ICU_ENCODE_SPACES_ONLY,
                         ICU_NO_META,
                         ICU_ENCODE_PERCENT};
  for (DWORD f : flags) Canonicalize(url, f);
  ParseUrl(url);
  return 0;
}
