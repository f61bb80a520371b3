// The one reading of a host and port: the port rule (1 to 65535, the default when absent) for
// redirects and proxies, and what a named proxy with a port outside it does to its requests.
#include <gtest/gtest.h>
#include <wininet.h>

#include <string>

#include "platform_internal.h"

namespace {

TEST(HostPort, OnePortRule) {
  struct Case {
    const char *authority;
    bool ok;
    const char *host;
    unsigned port;
  } cases[] = {
      {"h", true, "h", 80},        {"h:", true, "h", 80},
      {"h:1", true, "h", 1},       {"h:65535", true, "h", 65535},
      {"h:000080", true, "h", 80}, {"[::1]", true, "::1", 80},
      {"[::1]:", true, "::1", 80}, {"[::1]:8080", true, "::1", 8080},
      {"h:1:2", true, "h:1", 2},   {"h:0", false, "", 0},
      {"h:65536", false, "", 0},   {"h:99999999999", false, "", 0},
      {"h:-1", false, "", 0},      {"h:+80", false, "", 0},
      {"h: 80", false, "", 0},     {"h:80x", false, "", 0},
      {":80", false, "", 0},       {"[]:80", false, "", 0},
      {"[::1", false, "", 0},      {"[::1]x", false, "", 0},
  };
  for (const Case &c : cases) {
    std::string host = "unset";
    unsigned port = 7;
    bool ok = lumox_platform::CrackHostPort(c.authority, 80, &host, &port);
    EXPECT_EQ(c.ok, ok) << c.authority;
    if (ok && c.ok) {
      EXPECT_EQ(c.host, host) << c.authority;
      EXPECT_EQ(c.port, port) << c.authority;
    }
  }
}

TEST(HostPort, CrackUrlTakesNoPortFromInsideAnIpv6Address) {
  URL_COMPONENTSA uc = {};
  uc.dwStructSize = sizeof uc;
  uc.dwHostNameLength = 1;
  ASSERT_TRUE(InternetCrackUrlA("http://[::1]/x", 0, 0, &uc));
  EXPECT_EQ("[::1]", std::string(uc.lpszHostName, uc.dwHostNameLength));
  EXPECT_EQ(80, uc.nPort);
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(InternetCrackUrlA("http://[::1/x", 0, 0, &uc));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INTERNET_INVALID_URL), GetLastError());
}

// A named proxy whose port breaks the rule opens its session, and its requests fail before
// anything is sent, as those of a configured proxy with a bad port do.
TEST(HostPort, NamedProxyWithABadPortFailsItsRequests) {
  for (const char *proxy : {"127.0.0.1:0", "127.0.0.1:65536", "127.0.0.1:-1", "127.0.0.1:80x",
                            "ftp=x:1 http=127.0.0.1:99999"}) {
    HINTERNET session = InternetOpenA("t", INTERNET_OPEN_TYPE_PROXY, proxy, nullptr, 0);
    ASSERT_NE(nullptr, session) << proxy;
    HINTERNET connection =
        InternetConnectA(session, "127.0.0.1", 9, "", "", INTERNET_SERVICE_HTTP, 0, 0);
    HINTERNET request = HttpOpenRequestA(connection, "GET", "/", nullptr, nullptr, nullptr, 0, 0);
    ASSERT_NE(nullptr, request) << proxy;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(HttpSendRequestA(request, nullptr, 0, nullptr, 0)) << proxy;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INTERNET_INVALID_PROXY_REQUEST), GetLastError()) << proxy;
    InternetCloseHandle(request);
    InternetCloseHandle(connection);
    InternetCloseHandle(session);
  }
  SetLastError(0xdeadbeef);
  EXPECT_EQ(nullptr, InternetOpenA("t", INTERNET_OPEN_TYPE_PROXY, ":8080", nullptr, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

}  // namespace
