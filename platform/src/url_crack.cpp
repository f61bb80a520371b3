// InternetCrackUrlA: splits a URL into scheme, user name, password, host, port, path and
// extra information. A part whose pointer is null and whose length is nonzero is handed
// back as a reference into the URL; a part with a buffer gets a terminated copy.
#include <string.h>

#include <wininet.h>

#include "platform_internal.h"

using lumox_platform::EqualsNoCase;
using lumox_platform::Fail;
using lumox_platform::IsSchemeChar;

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
  INTERNET_SCHEME scheme = SchemeOf(url, static_cast<size_t>(colon - url));
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
      const char *password = nullptr;  // the last ':' of the user part starts the password
      for (const char *p = cursor; p < at; ++p) {
        if (*p == ':') password = p;
      }
      const char *userEnd = password ? password : at;
      if (!SetPart(&parts->lpszUserName, &parts->dwUserNameLength, user,
                   static_cast<size_t>(userEnd - user))) {
        return FALSE;
      }
      if (!SetPart(&parts->lpszPassword, &parts->dwPasswordLength,
                   password ? password + 1 : nullptr,
                   password ? static_cast<size_t>(at - password - 1) : 0)) {
        return FALSE;
      }
      cursor = at + 1;
    }

    const char *host = cursor;
    if (scheme == INTERNET_SCHEME_RES) {
      // res://module/resource: no port, the host is everything up to the path.
      if (!SetPart(&parts->lpszHostName, &parts->dwHostNameLength, host,
                   static_cast<size_t>(netEnd - host))) {
        return FALSE;
      }
    } else {
      const char *portColon = nullptr;
      for (const char *p = host; p < netEnd; ++p) {
        if (*p == ':') portColon = p;
      }
      const char *hostEnd = portColon ? portColon : netEnd;
      if (scheme == INTERNET_SCHEME_FILE && hostEnd <= host + 1) {
        // file:///c:/x or file://c:/x: a drive letter is no host; it stays in the path.
        SetPart(&parts->lpszHostName, &parts->dwHostNameLength, nullptr, 0);
        netEnd = host;
      } else {
        if (!SetPart(&parts->lpszHostName, &parts->dwHostNameLength, host,
                     static_cast<size_t>(hostEnd - host))) {
          return FALSE;
        }
        if (portColon) {
          // The port is read as a decimal number from after the ':' (blanks and a sign
          // first, up to the first other character); one outside 0 to 65535 is refused
          // rather than cut to 16 bits.
          const char *p = portColon + 1;
          while (p < end && (*p == ' ' || *p == '\t')) ++p;
          bool negative = false;
          if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
          unsigned long port = 0;
          for (; p < end && *p >= '0' && *p <= '9'; ++p) {
            port = port * 10 + static_cast<unsigned long>(*p - '0');
            if (port > 65535) break;
          }
          if (port > 65535 || (negative && port != 0)) return Fail(ERROR_INTERNET_INVALID_URL);
          parts->nPort = static_cast<INTERNET_PORT>(port);
        } else if (scheme == INTERNET_SCHEME_HTTP) {
          parts->nPort = INTERNET_DEFAULT_HTTP_PORT;
        } else if (scheme == INTERNET_SCHEME_HTTPS) {
          parts->nPort = INTERNET_DEFAULT_HTTPS_PORT;
        } else if (scheme == INTERNET_SCHEME_FTP) {
          parts->nPort = kDefaultFtpPort;
        }
      }
    }
    cursor = netEnd;
  } else {
    SetPart(&parts->lpszUserName, &parts->dwUserNameLength, nullptr, 0);
    SetPart(&parts->lpszPassword, &parts->dwPasswordLength, nullptr, 0);
    SetPart(&parts->lpszHostName, &parts->dwHostNameLength, nullptr, 0);
  }

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
  if (!SetPart(&parts->lpszUrlPath, &parts->dwUrlPathLength, cursor,
               static_cast<size_t>(pathEnd - cursor))) {
    return FALSE;
  }
  return TRUE;
}
