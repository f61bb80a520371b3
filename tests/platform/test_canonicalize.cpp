// InternetCanonicalizeUrlA in browser mode, as the library calls it: dot segments, escapes,
// the query and fragment left alone, trailing blanks, and the length rules.
#include <windows.h>
#include <wininet.h>

#include <gtest/gtest.h>

#include <string>

#include "platform_expect.h"

namespace {

const DWORD kSentinel = 0xdeadbeef;

std::string Canonical(const char *url, DWORD flags = ICU_BROWSER_MODE) {
  char buffer[1025];
  DWORD length = 1024;
  SetLastError(kSentinel);
  if (!InternetCanonicalizeUrlA(url, buffer, &length, flags)) {
    return "error " + std::to_string(GetLastError());
  }
  EXPECT_EQ(strlen(buffer), length) << url;
  return buffer;
}

TEST(Canonicalize, BrowserModeTable) {
  const struct {
    const char *url, *canonical;
  } rows[] = {
      {"http://host/a/b/../c/./d.txt", "http://host/a/c/d.txt"},
      {"http://host/a/..", "http://host/"},
      {"http://host/a/b/..", "http://host/a/"},
      {"http://host/a/./b", "http://host/a/b"},
      {"http://host", "http://host/"},
      {"http://host:8080/x/./y", "http://host:8080/x/y"},
      {"http://HOST/Path", "http://HOST/Path"},
      {"http://host/a b", "http://host/a%20b"},
      {"http://host/a%20b", "http://host/a%20b"},
      {"http://host/a\"b<c>d", "http://host/a%22b%3Cc%3Ed"},
      {"http://host/a{b}c|d^e`f", "http://host/a%7Bb%7Dc%7Cd%5Ee%60f"},
      {"http://host/a[b]c", "http://host/a%5Bb%5Dc"},
      {"http://host/~x/a'b!c*d(e)f;g+h@i$j,k", "http://host/~x/a'b!c*d(e)f;g+h@i$j,k"},
      {"http://host/a\\b", "http://host/a/b"},
      {"http://host/\x7F", "http://host/%7F"},
      {"http://h/a\x01"
       "b",
       "http://h/a%01b"},
      {"http://host/?q=a b", "http://host/?q=a b"},
      {"http://host/p?q=a b#f g", "http://host/p?q=a b#f g"},
      {"http://host/a b?c d#e f", "http://host/a%20b?c d#e f"},
      {"http://host/a?b?c", "http://host/a?b?c"},
      {"http://host?x", "http://host?x"},
      {"http://host/index.php?x= ", "http://host/index.php?x="},
      {"http://host/x\t", "http://host/x"},
      {"http://www.winehq.org/%27/ /./>/#>  ", "http://www.winehq.org/%27/%20/%3E/#>"},
      {"http://u:p@host:80/x", "http://u:p@host:80/x"},
      {"https://host/x?y#z", "https://host/x?y#z"},
      {"abc://x/y/../z", "abc://x/z"},
      {"mailto:a b@c", "mailto:a%20b@c"},
      {"ftp://h/a b", "ftp://h/a%20b"},
  };
  for (const auto &row : rows) {
    EXPECT_EQ(row.canonical, Canonical(row.url)) << row.url;
    EXPECT_EQ(row.canonical, Canonical(row.url, 0)) << "flags 0: " << row.url;
  }
}

TEST(Canonicalize, LengthRules) {
  const char *url = "http://host/a b";  // 17 characters canonical
  char buffer[64];
  DWORD length = 17;
  memset(buffer, '#', sizeof buffer);
  SetLastError(kSentinel);
  EXPECT_FALSE(InternetCanonicalizeUrlA(url, buffer, &length, ICU_BROWSER_MODE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  EXPECT_EQ(18u, length);  // the size needed, terminator included

  length = 18;
  EXPECT_TRUE(InternetCanonicalizeUrlA(url, buffer, &length, ICU_BROWSER_MODE));
  EXPECT_EQ(17u, length);  // the length written, terminator excluded
  EXPECT_STREQ("http://host/a%20b", buffer);

  SetLastError(kSentinel);
  length = 0;
  EXPECT_FALSE(InternetCanonicalizeUrlA(url, buffer, &length, ICU_BROWSER_MODE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());

  length = 10;
  SetLastError(kSentinel);
  EXPECT_FALSE(InternetCanonicalizeUrlA(nullptr, buffer, &length, ICU_BROWSER_MODE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  SetLastError(kSentinel);
  EXPECT_FALSE(InternetCanonicalizeUrlA(url, nullptr, &length, ICU_BROWSER_MODE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  SetLastError(kSentinel);
  EXPECT_FALSE(InternetCanonicalizeUrlA(url, buffer, nullptr, ICU_BROWSER_MODE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST(Canonicalize, LongUrlAndEmptyUrl) {
  std::string url = "http://host/" + std::string(1012, 'a');  // 1024 characters
  char buffer[1025];
  DWORD length = 1024;
  EXPECT_FALSE(InternetCanonicalizeUrlA(url.c_str(), buffer, &length, ICU_BROWSER_MODE));
  EXPECT_EQ(1025u, length);
  length = 1025;
  EXPECT_TRUE(InternetCanonicalizeUrlA(url.c_str(), buffer, &length, ICU_BROWSER_MODE));
  EXPECT_EQ(url, buffer);

  length = 1024;
  ASSERT_TRUE(InternetCanonicalizeUrlA("", buffer, &length, ICU_BROWSER_MODE));
  EXPECT_STREQ("", buffer);
  EXPECT_WINDOWS(EXPECT_EQ(0u, length), "Wine leaves the length unchanged for an empty URL");
}

}  // namespace
