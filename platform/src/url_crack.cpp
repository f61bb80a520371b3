// InternetCrackUrlA: splits a URL into scheme, user name, password, host, port, path and
// extra information. A part whose pointer is null and whose length is nonzero is handed
// back as a reference into the URL; a part with a buffer gets a terminated copy.
#include <string.h>

#include <wininet.h>

#include "platform_internal.h"

using lumox_platform::Authority;
using lumox_platform::EqualsNoCase;
using lumox_platform::Fail;
using lumox_platform::IsSchemeChar;
using lumox_platform::PortOf;
using lumox_platform::SplitAuthority;

namespace {

const INTERNET_PORT kDefaultFtpPort = 21;

INTERNET_SCHEME SchemeOf(const char *text, size_t length) {
  static const struct {
    const char *name;
    INTERNET_SCHEME scheme;
  } kSchemes[] = {
      {"ftp", INTERNET_SCHEME_FTP},
      {"gopher", INTERNET_SCHEME_GOPHER},
      {"http", INTERNET_SCHEME_HTTP},
      {"https", INTERNET_SCHEME_HTTPS},
      {"file", INTERNET_SCHEME_FILE},
      {"news", INTERNET_SCHEME_NEWS},
      {"mailto", INTERNET_SCHEME_MAILTO},
      {"socks", INTERNET_SCHEME_SOCKS},
      {"javascript", INTERNET_SCHEME_JAVASCRIPT},
      {"vbscript", INTERNET_SCHEME_VBSCRIPT},
      {"res", INTERNET_SCHEME_RES},
  };
  for (const auto &entry : kSchemes) {
    if (EqualsNoCase(text, length, entry.name, strlen(entry.name))) return entry.scheme;
  }
  return INTERNET_SCHEME_UNKNOWN;
}

// Stores one part: a reference when the caller gave no buffer, a terminated copy otherwise.
bool SetPart(LPSTR *part, DWORD *partLength, const char *value, size_t length) {
  if (*partLength == 0) return true;
  if (!*part) {
    *part = const_cast<LPSTR>(value);
    *partLength = static_cast<DWORD>(length);
    return true;
  }
  if (*partLength < length + 1) {  // the caller's length is left as it was
    return Fail(ERROR_INSUFFICIENT_BUFFER, false);
  }
  if (length) memcpy(*part, value, length);
  (*part)[length] = '\0';
  *partLength = static_cast<DWORD>(length);
  return true;
}

const char *FindIn(const char *from, const char *end, char c) {
  if (from >= end) return nullptr;
  return static_cast<const char *>(memchr(from, c, static_cast<size_t>(end - from)));
}

// WinINet reads a port as atoi does: blanks and a sign first, then digits up to any other
// character. An empty port or 0 stays INTERNET_INVALID_PORT_NUMBER, the service's default
// when connecting; a number above 65535 is refused rather than cut to 16 bits.
bool ReadPort(const char *p, const char *end, INTERNET_PORT *port) {
  while (p < end && (*p == ' ' || *p == '\t')) ++p;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
  const char *digits = p;
  while (p < end && *p >= '0' && *p <= '9') ++p;
  while (digits < p && *digits == '0') ++digits;
  unsigned value = INTERNET_INVALID_PORT_NUMBER;
  if (digits < p && (negative || !PortOf(digits, static_cast<size_t>(p - digits), 0, &value)))
    return false;
  *port = static_cast<INTERNET_PORT>(value);
  return true;
}

INTERNET_PORT DefaultPortOf(INTERNET_SCHEME scheme) {
  switch (scheme) {
    case INTERNET_SCHEME_HTTP: return INTERNET_DEFAULT_HTTP_PORT;
    case INTERNET_SCHEME_HTTPS: return INTERNET_DEFAULT_HTTPS_PORT;
    case INTERNET_SCHEME_FTP: return kDefaultFtpPort;
    default: return INTERNET_INVALID_PORT_NUMBER;
  }
}

void NoPart(LPSTR *part, DWORD *partLength) { SetPart(part, partLength, nullptr, 0); }

// [user[:password]@]: the last ':' before the '@' starts the password. Moves *cursor past it.
bool CrackUserInfo(LPURL_COMPONENTSA parts, const char **cursor, const char *netEnd) {
  const char *at = FindIn(*cursor, netEnd, '@');
  if (!at) {
    NoPart(&parts->lpszUserName, &parts->dwUserNameLength);
    NoPart(&parts->lpszPassword, &parts->dwPasswordLength);
    return true;
  }
  const char *user = *cursor;
  const char *password = nullptr;
  for (const char *p = user; p < at; ++p) {
    if (*p == ':') password = p;
  }
  const char *userEnd = password ? password : at;
  *cursor = at + 1;
  return SetPart(&parts->lpszUserName, &parts->dwUserNameLength, user,
                 static_cast<size_t>(userEnd - user)) &&
         SetPart(&parts->lpszPassword, &parts->dwPasswordLength, password ? password + 1 : nullptr,
                 password ? static_cast<size_t>(at - password - 1) : 0);
}

// host[:port] up to *netEnd. A file URL's drive letter is no host: *netEnd moves back to
// the host's start, so that the letter stays in the path.
bool CrackHost(LPURL_COMPONENTSA parts, const char *host, const char **netEnd) {
  size_t length = static_cast<size_t>(*netEnd - host);
  if (parts->nScheme == INTERNET_SCHEME_RES) {  // res://module/resource: no port
    return SetPart(&parts->lpszHostName, &parts->dwHostNameLength, host, length);
  }
  Authority a;
  if (!SplitAuthority(host, length, &a)) return Fail(ERROR_INTERNET_INVALID_URL, false);
  if (parts->nScheme == INTERNET_SCHEME_FILE && a.hostLength <= 1) {
    NoPart(&parts->lpszHostName, &parts->dwHostNameLength);
    *netEnd = host;
    return true;
  }
  if (!SetPart(&parts->lpszHostName, &parts->dwHostNameLength, a.host, a.hostLength)) return false;
  parts->nPort = DefaultPortOf(parts->nScheme);
  if (a.port && !ReadPort(a.port, *netEnd, &parts->nPort)) {
    return Fail(ERROR_INTERNET_INVALID_URL, false);
  }
  return true;
}

// "//" [user[:password]@] host[:port], ending at the path or the extra information. Without
// the "//" the URL has none of these parts.
bool CrackNetLoc(LPURL_COMPONENTSA parts, const char **cursor, const char *extra, const char *end) {
  const char *p = *cursor;
  if (end - p < 2 || p[0] != '/' || p[1] != '/') {
    NoPart(&parts->lpszUserName, &parts->dwUserNameLength);
    NoPart(&parts->lpszPassword, &parts->dwPasswordLength);
    NoPart(&parts->lpszHostName, &parts->dwHostNameLength);
    return true;
  }
  p += 2;
  const char *netEnd = FindIn(p, end, '/');
  if (extra && (!netEnd || extra < netEnd)) netEnd = extra;
  if (!netEnd) netEnd = end;
  if (!CrackUserInfo(parts, &p, netEnd) || !CrackHost(parts, p, &netEnd)) return false;
  *cursor = netEnd;
  return true;
}

}  // namespace

extern "C" BOOL WINAPI InternetCrackUrlA(LPCSTR url, DWORD urlLength, DWORD flags,
                                         LPURL_COMPONENTSA parts) {
  if (!url || !*url || !parts || parts->dwStructSize != sizeof(URL_COMPONENTSA)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  size_t length = urlLength ? strnlen(url, urlLength) : strlen(url);
  const char *end = url + length;

  // The scheme runs up to the first ':'; a character that cannot be in a scheme before it
  // means there is none.
  const char *colon = url;
  while (colon < end && IsSchemeChar(*colon)) ++colon;
  if (colon == end || *colon != ':') return Fail(ERROR_INTERNET_UNRECOGNIZED_SCHEME);
  // A scheme that is not known is cracked all the same, as INTERNET_SCHEME_UNKNOWN.
  parts->nScheme = SchemeOf(url, static_cast<size_t>(colon - url));
  parts->nPort = INTERNET_INVALID_PORT_NUMBER;

  const char *extra = FindIn(colon, end, '?');
  if (!extra) extra = FindIn(colon, end, '#');
  if (!SetPart(&parts->lpszExtraInfo, &parts->dwExtraInfoLength, extra,
               extra ? static_cast<size_t>(end - extra) : 0) ||
      !SetPart(&parts->lpszScheme, &parts->dwSchemeLength, url, static_cast<size_t>(colon - url))) {
    return FALSE;
  }
  const char *cursor = colon + 1;
  if (!CrackNetLoc(parts, &cursor, extra, end)) return FALSE;

  // The path runs up to the extra information when that has been handed out on its own,
  // otherwise up to a line break or the end.
  const char *pathEnd = end;
  if (extra && parts->dwExtraInfoLength && parts->lpszExtraInfo) {
    pathEnd = extra;
  } else {
    const char *newline = FindIn(cursor, end, '\n');
    if (newline) pathEnd = newline;
  }
  if (cursor > pathEnd) pathEnd = cursor;
  return SetPart(&parts->lpszUrlPath, &parts->dwUrlPathLength, cursor,
                 static_cast<size_t>(pathEnd - cursor))
             ? TRUE
             : FALSE;
}
