// InternetCrackUrlA: splits a URL into scheme, user name, password, host, port, path and
// extra information. A part whose pointer is null and whose length is nonzero is handed
// back as a reference into the URL; a part with a buffer gets a terminated copy.
#include <string.h>

#include <wininet.h>

#include "platform_internal.h"

namespace {

const INTERNET_PORT kDefaultFtpPort = 21;

bool IsSchemeChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '.' || c == '-';
}

bool SameNoCase(const char *a, size_t length, const char *b) {
  if (strlen(b) != length) return false;
  for (size_t i = 0; i < length; ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

INTERNET_SCHEME SchemeOf(const char *text, size_t length) {
  static const struct { const char *name; INTERNET_SCHEME scheme; } kSchemes[] = {
      {"ftp", INTERNET_SCHEME_FTP},       {"gopher", INTERNET_SCHEME_GOPHER},
      {"http", INTERNET_SCHEME_HTTP},     {"https", INTERNET_SCHEME_HTTPS},
      {"file", INTERNET_SCHEME_FILE},     {"news", INTERNET_SCHEME_NEWS},
      {"mailto", INTERNET_SCHEME_MAILTO}, {"socks", INTERNET_SCHEME_SOCKS},
      {"javascript", INTERNET_SCHEME_JAVASCRIPT}, {"vbscript", INTERNET_SCHEME_VBSCRIPT},
      {"res", INTERNET_SCHEME_RES},
  };
  for (const auto &entry : kSchemes) {
    if (SameNoCase(text, length, entry.name)) return entry.scheme;
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
  if (*partLength < length + 1) {
    *partLength = static_cast<DWORD>(length + 1);
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return false;
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

}  // namespace

extern "C" BOOL WINAPI InternetCrackUrlA(LPCSTR url, DWORD urlLength, DWORD flags,
                                         LPURL_COMPONENTSA parts) {
  if (!url || !*url || !parts || parts->dwStructSize != sizeof(URL_COMPONENTSA)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (flags & ~(ICU_DECODE | ICU_ESCAPE)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  size_t length = urlLength ? strnlen(url, urlLength) : strlen(url);
  const char *end = url + length;

  // The scheme runs up to the first ':'; a character that cannot be in a scheme before it
  // means there is none.
  const char *colon = url;
  while (colon < end && IsSchemeChar(*colon)) ++colon;
  if (colon == end || *colon != ':') {
    SetLastError(ERROR_INTERNET_UNRECOGNIZED_SCHEME);
    return FALSE;
  }
  INTERNET_SCHEME scheme = SchemeOf(url, static_cast<size_t>(colon - url));
  if (scheme == INTERNET_SCHEME_UNKNOWN) {
    SetLastError(ERROR_INTERNET_UNRECOGNIZED_SCHEME);
    return FALSE;
  }
  parts->nScheme = scheme;
  parts->nPort = INTERNET_INVALID_PORT_NUMBER;

  const char *extra = FindIn(colon, end, '?');
  if (!extra) extra = FindIn(colon, end, '#');
  if (!SetPart(&parts->lpszExtraInfo, &parts->dwExtraInfoLength, extra,
               extra ? static_cast<size_t>(end - extra) : 0)) {
    return FALSE;
  }
  if (!SetPart(&parts->lpszScheme, &parts->dwSchemeLength, url, static_cast<size_t>(colon - url))) {
    return FALSE;
  }

  const char *cursor = colon + 1;
  if (end - cursor >= 2 && cursor[0] == '/' && cursor[1] == '/') {
    cursor += 2;
    const char *netEnd = FindIn(cursor, end, '/');
    if (extra && (!netEnd || extra < netEnd)) netEnd = extra;
    if (!netEnd) netEnd = end;

    // [user[:password]@]host[:port]
    const char *at = FindIn(cursor, netEnd, '@');
    if (!at) {
      SetPart(&parts->lpszUserName, &parts->dwUserNameLength, nullptr, 0);
      SetPart(&parts->lpszPassword, &parts->dwPasswordLength, nullptr, 0);
    } else {
      const char *user = cursor;
      const char *password = FindIn(cursor, at, ':');
      const char *userEnd = password ? password : at;
      if (!SetPart(&parts->lpszUserName, &parts->dwUserNameLength, user,
                   static_cast<size_t>(userEnd - user))) {
        return FALSE;
      }
      if (!SetPart(&parts->lpszPassword, &parts->dwPasswordLength, password ? password + 1 : nullptr,
                   password ? static_cast<size_t>(at - password - 1) : 0)) {
        return FALSE;
      }
      cursor = at + 1;
    }

    const char *host = cursor;
    const char *portColon = nullptr;
    for (const char *p = host; p < netEnd; ++p) {
      if (*p == ':') portColon = p;
    }
    const char *hostEnd = portColon ? portColon : netEnd;
    if (scheme != INTERNET_SCHEME_FILE && hostEnd == host) {
      SetLastError(ERROR_INTERNET_INVALID_URL);
      return FALSE;
    }
    if (!SetPart(&parts->lpszHostName, &parts->dwHostNameLength, host,
                 static_cast<size_t>(hostEnd - host))) {
      return FALSE;
    }
    if (portColon) {
      unsigned long port = 0;
      const char *p = portColon + 1;
      for (; p < netEnd && *p >= '0' && *p <= '9'; ++p) {
        port = port * 10 + static_cast<unsigned long>(*p - '0');
        if (port > 65535) break;
      }
      if (p != netEnd || port > 65535) {
        SetLastError(ERROR_INTERNET_INVALID_URL);
        return FALSE;
      }
      parts->nPort = static_cast<INTERNET_PORT>(port);
    } else if (scheme == INTERNET_SCHEME_HTTP) {
      parts->nPort = INTERNET_DEFAULT_HTTP_PORT;
    } else if (scheme == INTERNET_SCHEME_HTTPS) {
      parts->nPort = INTERNET_DEFAULT_HTTPS_PORT;
    } else if (scheme == INTERNET_SCHEME_FTP) {
      parts->nPort = kDefaultFtpPort;
    }
    cursor = netEnd;
  } else {
    SetPart(&parts->lpszUserName, &parts->dwUserNameLength, nullptr, 0);
    SetPart(&parts->lpszPassword, &parts->dwPasswordLength, nullptr, 0);
    SetPart(&parts->lpszHostName, &parts->dwHostNameLength, nullptr, 0);
  }

  // The path runs up to the extra information, which has been stored on its own.
  if (cursor < end && (!extra || cursor <= extra)) {
    const char *pathEnd = extra ? extra : end;
    if (!SetPart(&parts->lpszUrlPath, &parts->dwUrlPathLength, cursor,
                 static_cast<size_t>(pathEnd - cursor))) {
      return FALSE;
    }
  } else {
    if (parts->lpszUrlPath && parts->dwUrlPathLength > 0) parts->lpszUrlPath[0] = '\0';
    else if (!parts->lpszUrlPath && parts->dwUrlPathLength > 0) parts->lpszUrlPath = const_cast<LPSTR>(end);
    parts->dwUrlPathLength = 0;
  }
  return TRUE;
}
