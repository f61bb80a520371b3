// HttpParseURL and HttpParseURLC of the built library.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "Lumox.h"
#include "test_support.h"

using lumox_test::LibraryCopy;

namespace {

typedef int(LUMOX_CALL *ParseUrlFn)(const char *, BSTR *);
typedef int(LUMOX_CALL *ParseUrlCFn)(const char *, char *, unsigned int);

class ParseUrl : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { lib_ = new LibraryCopy("", "parse"); }
  static void TearDownTestSuite() {
    delete lib_;
    lib_ = nullptr;
  }
  // HttpParseURLC into a guarded buffer of size bytes.
  int Plain(const char *url, unsigned int size, std::string *text, bool *untouched = nullptr) {
    std::vector<char> buffer(size + 8, 'Z');
    int result = lib_->Get<ParseUrlCFn>("HttpParseURLC")(url, buffer.data(), size);
    *text = result == 0 ? std::string(buffer.data()) : std::string();
    if (untouched) *untouched = std::string(buffer.data(), size + 8) == std::string(size + 8, 'Z');
    return result;
  }
  int Host(const char *url, BSTR *out) { return lib_->Get<ParseUrlFn>("HttpParseURL")(url, out); }
  static LibraryCopy *lib_;
};
LibraryCopy *ParseUrl::lib_ = nullptr;

std::string BstrBytes(BSTR text) {
  return text ? std::string(reinterpret_cast<const char *>(text), SysStringByteLen(text)) : "";
}

const std::string kBase = "http://127.0.0.1/";

}  // namespace

TEST_F(ParseUrl, CanonicalFormInBothForms) {
  ASSERT_TRUE(lib_->loaded());
  std::string text;
  EXPECT_EQ(Plain("http://127.0.0.1/a/../b/./c d", 1025, &text), 0);
  EXPECT_EQ(text, "http://127.0.0.1/b/c%20d");
  BSTR out = lumox_test::MakeBstr(u"previous");
  EXPECT_EQ(Host("http://127.0.0.1/a/../b/./c d", &out), 0);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(SysStringByteLen(out), text.size());
  EXPECT_EQ(BstrBytes(out), text);
  SysFreeString(out);
}

TEST_F(ParseUrl, UrlOf1024BytesPassesTheLengthTestAnd1025IsRefused) {
  std::string url1023 = kBase + std::string(1023 - kBase.size(), 'a');
  std::string url1024 = url1023 + "a";
  std::string url1025 = url1024 + "a";
  std::string text;
  EXPECT_EQ(Plain(url1023.c_str(), 1024, &text), 0);
  EXPECT_EQ(text, url1023);
  // The canonical form gets 1024 bytes with its terminator, so 1024 characters do not fit.
  bool untouched = false;
  EXPECT_EQ(Plain(url1024.c_str(), 1025, &text, &untouched), 122);
  EXPECT_TRUE(untouched);
  EXPECT_EQ(Plain(url1025.c_str(), 2048, &text, &untouched), 10001);
  EXPECT_TRUE(untouched);

  BSTR out = lumox_test::MakeBstr(u"keep");
  BSTR before = out;
  EXPECT_EQ(Host(url1025.c_str(), &out), 10001);
  EXPECT_EQ(out, before);
  EXPECT_EQ(Host(url1024.c_str(), &out), 122);
  EXPECT_EQ(out, before);
  EXPECT_EQ(Host(url1023.c_str(), &out), 0);
  EXPECT_EQ(BstrBytes(out), url1023);
  SysFreeString(out);
}

TEST_F(ParseUrl, BufferMustHoldTheTerminatorBeforeAndAfter) {
  const std::string url = kBase + "abc";  // 20 bytes
  std::string text;
  bool untouched = false;
  EXPECT_EQ(Plain(url.c_str(), 20, &text, &untouched), 10006);
  EXPECT_TRUE(untouched);
  EXPECT_EQ(Plain(url.c_str(), 21, &text), 0);
  EXPECT_EQ(text, url);
  // 20 bytes in, 22 out: passes the first test, fails the second.
  const std::string spaced = kBase + "a b";
  EXPECT_EQ(Plain(spaced.c_str(), 21, &text, &untouched), 10006);
  EXPECT_TRUE(untouched);
  EXPECT_EQ(Plain(spaced.c_str(), 23, &text), 0);
  EXPECT_EQ(text, kBase + "a%20b");
}

TEST_F(ParseUrl, CanonicalFormOver1024BytesIsThePlatformError) {
  std::string url = kBase + std::string(600, ' ') + "x";  // 618 bytes, 1818 canonical
  std::string text;
  bool untouched = false;
  EXPECT_EQ(Plain(url.c_str(), 2048, &text, &untouched), 122);
  EXPECT_TRUE(untouched);
  BSTR out = nullptr;
  EXPECT_EQ(Host(url.c_str(), &out), 122);
  EXPECT_EQ(out, nullptr);
}

TEST_F(ParseUrl, MissingArguments) {
  std::string text;
  EXPECT_EQ(Plain(nullptr, 64, &text), 10000);
  EXPECT_EQ(lib_->Get<ParseUrlCFn>("HttpParseURLC")("http://127.0.0.1/", nullptr, 64), 10000);
  BSTR out = nullptr;
  EXPECT_EQ(Host(nullptr, &out), 10000);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(Host("http://127.0.0.1/", nullptr), 10000);
}
