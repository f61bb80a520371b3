// InternetCrackUrlA with every part requested as a reference into the URL, as the library
// cracks URLs: schemes, ports, user names and passwords, paths and extra information.
#include <windows.h>
#include <wininet.h>

#include <gtest/gtest.h>

#include <string>

#include "platform_expect.h"

namespace {

const DWORD kSentinel = 0xdeadbeef;

// A part as "offset:text", or "-" when the pointer is null.
std::string Part(const char *url, const char *p, DWORD n) {
  if (!p) return n ? "-" + std::to_string(n) : "-";
  return std::to_string(p - url) + ":" + std::string(p, n);
}

struct Cracked {
  BOOL ok;
  DWORD error;
  std::string scheme, host, user, password, path, extra;
  int nScheme;
  unsigned port;
};

Cracked Crack(const char *url, DWORD length = 0) {
  URL_COMPONENTSA uc;
  memset(&uc, 0, sizeof uc);
  uc.dwStructSize = sizeof uc;
  uc.dwSchemeLength = uc.dwHostNameLength = uc.dwUserNameLength = uc.dwPasswordLength = 1;
  uc.dwUrlPathLength = uc.dwExtraInfoLength = 1;
  SetLastError(kSentinel);
  Cracked c;
  c.ok = InternetCrackUrlA(url, length, 0, &uc);
  c.error = GetLastError();
  c.nScheme = uc.nScheme;
  c.port = uc.nPort;
  if (c.ok) {
    c.scheme = Part(url, uc.lpszScheme, uc.dwSchemeLength);
    c.host = Part(url, uc.lpszHostName, uc.dwHostNameLength);
    c.user = Part(url, uc.lpszUserName, uc.dwUserNameLength);
    c.password = Part(url, uc.lpszPassword, uc.dwPasswordLength);
    c.path = Part(url, uc.lpszUrlPath, uc.dwUrlPathLength);
    c.extra = Part(url, uc.lpszExtraInfo, uc.dwExtraInfoLength);
  }
  return c;
}

struct Row {
  const char *url;
  int nScheme;
  unsigned port;
  const char *scheme, *host, *user, *password, *path, *extra;
};

TEST(CrackUrl, PartsAreReferencesIntoTheUrl) {
  const Row rows[] = {
      {"http://host/path/a.txt?x=1#frag", 3, 80, "0:http", "7:host", "-", "-", "11:/path/a.txt",
       "22:?x=1#frag"},
      {"http://host", 3, 80, "0:http", "7:host", "-", "-", "11:", "-"},
      {"http://host/", 3, 80, "0:http", "7:host", "-", "-", "11:/", "-"},
      {"https://Host.example:8443/p", 4, 8443, "0:https", "8:Host.example", "-", "-", "25:/p", "-"},
      {"https://h", 4, 443, "0:https", "8:h", "-", "-", "9:", "-"},
      {"HTTP://HOST/", 3, 80, "0:HTTP", "7:HOST", "-", "-", "11:/", "-"},
      {"http://u:p@h/", 3, 80, "0:http", "11:h", "7:u", "9:p", "12:/", "-"},
      {"http://u@h/", 3, 80, "0:http", "9:h", "7:u", "-", "10:/", "-"},
      {"http://:p@h/", 3, 80, "0:http", "10:h", "7:", "8:p", "11:/", "-"},
      {"http://u:p:q@h:81/x", 3, 81, "0:http", "13:h", "7:u:p", "11:q", "17:/x", "-"},
      {"ftp://h/f", 1, 21, "0:ftp", "6:h", "-", "-", "7:/f", "-"},
      {"file://server/share", 5, 0, "0:file", "7:server", "-", "-", "13:/share", "-"},
      {"file:///c:/x/y", 5, 0, "0:file", "-", "-", "-", "7:/c:/x/y", "-"},
      {"mailto:a@b", 7, 0, "0:mailto", "-", "-", "-", "7:a@b", "-"},
      {"abc://x", -1, 0, "0:abc", "6:x", "-", "-", "7:", "-"},
      {"http://h?q", 3, 80, "0:http", "7:h", "-", "-", "8:", "8:?q"},
      {"http://h#f", 3, 80, "0:http", "7:h", "-", "-", "8:", "8:#f"},
      {"http://h/p?q#f", 3, 80, "0:http", "7:h", "-", "-", "8:/p", "10:?q#f"},
      {"http://h/p#f?q", 3, 80, "0:http", "7:h", "-", "-", "8:/p#f", "12:?q"},
      {"http://[::1]:8080/x", 3, 8080, "0:http", "7:[::1]", "-", "-", "17:/x", "-"},
      {"http://127.0.0.1:65535/", 3, 65535, "0:http", "7:127.0.0.1", "-", "-", "22:/", "-"},
      {"http://h/a b", 3, 80, "0:http", "7:h", "-", "-", "8:/a b", "-"},
      {"http://h/\x83\x5C", 3, 80, "0:http", "7:h", "-", "-", "8:/\x83\x5C", "-"},
      {"http://h/path\nmore", 3, 80, "0:http", "7:h", "-", "-", "8:/path", "-"},
  };
  for (const Row &row : rows) {
    Cracked c = Crack(row.url);
    ASSERT_TRUE(c.ok) << row.url << " error " << c.error;
    EXPECT_EQ(row.nScheme, c.nScheme) << row.url;
    EXPECT_EQ(row.port, c.port) << row.url;
    EXPECT_EQ(row.scheme, c.scheme) << row.url;
    EXPECT_EQ(row.host, c.host) << row.url;
    EXPECT_EQ(row.user, c.user) << row.url;
    EXPECT_EQ(row.password, c.password) << row.url;
    EXPECT_EQ(row.path, c.path) << row.url;
    EXPECT_EQ(row.extra, c.extra) << row.url;
  }
}

TEST(CrackUrl, LengthLimitsTheUrl) {
  Cracked c = Crack("http://host/path", 11);
  ASSERT_TRUE(c.ok);
  EXPECT_EQ("7:host", c.host);
  EXPECT_EQ("11:", c.path);
  c = Crack("http://host/path", 100);  // the terminator ends the URL first
  ASSERT_TRUE(c.ok);
  EXPECT_EQ("11:/path", c.path);
}

TEST(CrackUrl, Failures) {
  for (const char *url : {"nohost", "/rel/path", "http//host", " http://h/"}) {
    Cracked c = Crack(url);
    EXPECT_FALSE(c.ok) << url;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INTERNET_UNRECOGNIZED_SCHEME), c.error) << url;
  }
  Cracked empty = Crack("");
  EXPECT_FALSE(empty.ok);
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), empty.error);

  URL_COMPONENTSA uc;
  memset(&uc, 0, sizeof uc);
  uc.dwStructSize = sizeof uc - 4;
  uc.dwHostNameLength = 1;
  SetLastError(kSentinel);
  EXPECT_FALSE(InternetCrackUrlA("http://h/", 0, 0, &uc));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  SetLastError(kSentinel);
  EXPECT_FALSE(InternetCrackUrlA(nullptr, 0, 0, &uc));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  SetLastError(kSentinel);
  EXPECT_FALSE(InternetCrackUrlA("http://h/", 0, 0, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST(CrackUrl, PortsOutsideSixteenBitsAreRefused) {
  // Wine cuts the number to 16 bits, which would connect to another port than written.
  for (const char *url : {"http://h:65536/", "http://h:99999/"}) {
    Cracked c = Crack(url);
    EXPECT_WINDOWS(EXPECT_EQ(FALSE, c.ok), "Wine cuts a port above 65535 to 16 bits");
    EXPECT_WINDOWS(EXPECT_EQ(static_cast<DWORD>(ERROR_INTERNET_INVALID_URL), c.error),
                   "Wine cuts a port above 65535 to 16 bits");
  }
}

TEST(CrackUrl, CopiesIntoCallerBuffers) {
  char host[5];
  URL_COMPONENTSA uc;
  memset(&uc, 0, sizeof uc);
  uc.dwStructSize = sizeof uc;
  uc.lpszHostName = host;
  uc.dwHostNameLength = sizeof host;
  ASSERT_TRUE(InternetCrackUrlA("http://host/p", 0, 0, &uc));
  EXPECT_STREQ("host", host);
  EXPECT_EQ(4u, uc.dwHostNameLength);
  EXPECT_EQ(0u, uc.dwUrlPathLength);  // not requested

  uc.dwHostNameLength = 4;
  SetLastError(kSentinel);
  EXPECT_FALSE(InternetCrackUrlA("http://host/p", 0, 0, &uc));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  EXPECT_EQ(4u, uc.dwHostNameLength);
}

}  // namespace
