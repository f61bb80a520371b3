// Percent-encoding, query-string builders, URL cracking and object names.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"
#include "url.h"

using lumox_test::HostArray;
using lumox_test::HostPair;
using lumox_test::Sjis;

namespace {

std::string Encode(const std::string &source, unsigned int size, int *code) {
  std::vector<char> dest(size + 1, 'Z');
  dest[size] = '\0';
  *code = HttpEncodePara(source.c_str(), dest.data(), size);
  return std::string(dest.data());
}

// A plain list built from strings; a null entry is written as nullptr.
struct PlainList {
  std::vector<std::string> texts;
  std::vector<char *> pointers;
  explicit PlainList(std::vector<const char *> items) {
    texts.reserve(items.size());
    for (const char *item : items) {
      texts.push_back(item ? item : "");
      pointers.push_back(item ? &texts.back()[0] : nullptr);
    }
  }
  char **data() { return pointers.data(); }
};

// Query built from a plain list into a guarded buffer of destSize bytes.
struct QueryResult {
  int ok;
  std::string text;
  bool guardIntact;
};
QueryResult BuildC(char **pairs, int count, size_t destSize = 1024) {
  std::vector<char> buffer(destSize + 16, '#');
  buffer[0] = '\0';
  int ok = HttpAddGetParaC(pairs, count, buffer.data(), destSize);
  bool guard = std::string(buffer.data() + destSize, 16) == std::string(16, '#');
  return {ok, std::string(buffer.data()), guard};
}
QueryResult BuildB(SAFEARRAY **params, size_t destSize = 1024) {
  std::vector<char> buffer(destSize + 16, '#');
  buffer[0] = '\0';
  int ok = HttpAddGetParaB(params, buffer.data(), destSize);
  bool guard = std::string(buffer.data() + destSize, 16) == std::string(16, '#');
  return {ok, std::string(buffer.data()), guard};
}

}  // namespace

TEST(EncodePara, KeepsUnreservedBytesAndEscapesTheRest) {
  int code = -1;
  EXPECT_EQ(Encode("azAZ09-._", 64, &code), "azAZ09-._");
  EXPECT_EQ(code, 0);
  EXPECT_EQ(Encode("a b~c/d+e=f&g", 64, &code), "a%20b%7Ec%2Fd%2Be%3Df%26g");
  EXPECT_EQ(code, 0);
  // Each byte of a double-byte character is its own escape.
  EXPECT_EQ(Encode(Sjis(u8"あ表"), 64, &code), "%82%A0%95%5C");
  EXPECT_EQ(code, 0);
  EXPECT_EQ(Encode("", 1, &code), "");
  EXPECT_EQ(code, 0);
}

TEST(EncodePara, RejectsMissingAndOverlongTexts) {
  char dest[8] = "keep";
  EXPECT_EQ(HttpEncodePara(nullptr, dest, sizeof dest), 10000);
  EXPECT_EQ(HttpEncodePara("a", nullptr, 8), 10000);
  std::string limit(1024, 'a');
  int code = -1;
  EXPECT_EQ(Encode(limit, 1025, &code), limit);
  EXPECT_EQ(code, 0);
  Encode(limit + "a", 4096, &code);
  EXPECT_EQ(code, 10001);
  EXPECT_STREQ(dest, "keep");
}

TEST(EncodePara, NeedsRoomForTheTerminatorAndLeavesTheDestinationOnFailure) {
  int code = -1;
  // Source as long as the destination: refused before encoding.
  EXPECT_EQ(Encode("abcd", 4, &code), "ZZZZ");
  EXPECT_EQ(code, 10006);
  EXPECT_EQ(Encode("abc", 4, &code), "abc");
  EXPECT_EQ(code, 0);
  // Encoded text of exactly size - 1 bytes fits; one more does not.
  EXPECT_EQ(Encode(" ", 4, &code), "%20");
  EXPECT_EQ(code, 0);
  EXPECT_EQ(Encode(" ", 3, &code), "ZZZ");
  EXPECT_EQ(code, 10006);
  EXPECT_EQ(Encode("a ", 4, &code), "ZZZZ");
  EXPECT_EQ(code, 10006);
}

TEST(QueryPlain, BuildsPairsInOrder) {
  PlainList list({"a", "1", "name b", "x/y", "", "v", "n", ""});
  QueryResult r = BuildC(list.data(), 4);
  EXPECT_EQ(r.ok, 1);
  EXPECT_EQ(r.text, "?a=1&name%20b=x%2Fy&=v&n=");
}

TEST(QueryPlain, NullTextEndsTheListAndEmptyCountsAddNothing) {
  PlainList list({"a", "1", "b", nullptr, "c", "3"});
  QueryResult r = BuildC(list.data(), 3);
  EXPECT_EQ(r.ok, 1);
  EXPECT_EQ(r.text, "?a=1");
  EXPECT_EQ(BuildC(list.data(), 0).text, "");
  EXPECT_EQ(BuildC(list.data(), 0).ok, 1);
  EXPECT_EQ(BuildC(list.data(), -5).ok, 1);
  EXPECT_EQ(BuildC(list.data(), -5).text, "");
  EXPECT_EQ(BuildC(nullptr, 3).ok, 1);
}

TEST(QueryPlain, TakesAtMost64Pairs) {
  std::vector<const char *> items;
  for (int i = 0; i < 65; ++i) {
    items.push_back("k");
    items.push_back("v");
  }
  PlainList list(items);
  QueryResult r64 = BuildC(list.data(), 64);
  EXPECT_EQ(r64.ok, 1);
  std::string expected = "?k=v";
  for (int i = 1; i < 64; ++i) expected += "&k=v";
  EXPECT_EQ(r64.text, expected);
  EXPECT_EQ(BuildC(list.data(), 65).ok, 0);
  EXPECT_EQ(BuildC(list.data(), 65).text, "");
}

TEST(QueryPlain, EncodedNameAndValueLimits) {
  std::string name127(127, 'n'), name128(128, 'n');
  std::string value799(799, 'v'), value800(800, 'v');
  std::string spaces300(300, ' ');
  PlainList ok({name127.c_str(), value799.c_str()});
  QueryResult r = BuildC(ok.data(), 1);
  EXPECT_EQ(r.ok, 1);
  EXPECT_EQ(r.text, "?" + name127 + "=" + value799);
  PlainList longName({name128.c_str(), "v"});
  EXPECT_EQ(BuildC(longName.data(), 1).ok, 0);
  PlainList longValue({"n", value800.c_str()});
  EXPECT_EQ(BuildC(longValue.data(), 1).ok, 0);
  // 300 spaces encode to 900 bytes.
  PlainList spaces({"n", spaces300.c_str()});
  EXPECT_EQ(BuildC(spaces.data(), 1).ok, 0);
  // 42 escaped bytes make a 126-byte name: fits; 43 (129 bytes) does not.
  std::string slashes42(42, '/'), slashes43(43, '/');
  PlainList n42({slashes42.c_str(), "v"}), n43({slashes43.c_str(), "v"});
  EXPECT_EQ(BuildC(n42.data(), 1).ok, 1);
  EXPECT_EQ(BuildC(n43.data(), 1).ok, 0);
}

TEST(QueryPlain, FailsRatherThanOverflowTheDestination) {
  std::string value(700, 'v');
  PlainList list({"a", value.c_str(), "b", value.c_str()});
  QueryResult r = BuildC(list.data(), 2, 1024);
  EXPECT_EQ(r.ok, 0);
  EXPECT_TRUE(r.guardIntact);
  // "?a=" + 700 bytes = 703 bytes; a 704-byte destination holds it exactly.
  PlainList one({"a", value.c_str()});
  QueryResult exact = BuildC(one.data(), 1, 704);
  EXPECT_EQ(exact.ok, 1);
  EXPECT_EQ(exact.text.size(), 703u);
  EXPECT_TRUE(exact.guardIntact);
  QueryResult tight = BuildC(one.data(), 1, 703);
  EXPECT_EQ(tight.ok, 0);
  EXPECT_TRUE(tight.guardIntact);
}

TEST(QueryHost, BuildsPairsFromAnAutomationArray) {
  HostArray array({{u"a", u"1"}, {u"名前", u"値 x"}});
  QueryResult r = BuildB(array.variable());
  EXPECT_EQ(r.ok, 1);
  // 名前 is 96 BC 91 4F and 値 is 92 6C in Shift-JIS: trail bytes that are letters stay.
  EXPECT_EQ(r.text, "?a=1&%96%BC%91O=%92l%20x");
  EXPECT_EQ(array.array()->cLocks, 0u);
}

TEST(QueryHost, NoArrayFailsAndTheListEndsAtTheFirstNullString) {
  SAFEARRAY *none = nullptr;
  EXPECT_EQ(BuildB(&none).ok, 0);
  EXPECT_EQ(BuildB(nullptr).ok, 0);
  // Three records, two filled: two pairs.
  HostArray partly({{u"a", u"1"}, {u"b", u"2"}}, 3);
  QueryResult r = BuildB(partly.variable());
  EXPECT_EQ(r.ok, 1);
  EXPECT_EQ(r.text, "?a=1&b=2");
  // A name with a null value ends the list.
  HostPair nullValue{u"b", u"", true, false};
  HostArray second({{u"a", u"1"}, nullValue, {u"c", u"3"}});
  EXPECT_EQ(BuildB(second.variable()).text, "?a=1");
  HostArray empty({}, 0);
  EXPECT_EQ(BuildB(empty.variable()).ok, 1);
  EXPECT_EQ(BuildB(empty.variable()).text, "");
}

TEST(QueryHost, DeclaredCountAbove64FailsEvenWhenFewAreFilled) {
  HostArray array65({{u"a", u"1"}, {u"b", u"2"}}, 65);
  EXPECT_EQ(BuildB(array65.variable()).ok, 0);
  EXPECT_EQ(array65.array()->cLocks, 0u);
  HostArray array64({{u"a", u"1"}, {u"b", u"2"}}, 64);
  EXPECT_EQ(BuildB(array64.variable()).ok, 1);
  EXPECT_EQ(BuildB(array64.variable()).text, "?a=1&b=2");
}

TEST(QueryHost, ValueLimitAfterConversion) {
  std::u16string v799(799, u'v'), v800(800, u'v'), longName(128, u'n');
  HostArray fits({{u"n", v799}});
  EXPECT_EQ(BuildB(fits.variable()).ok, 1);
  HostArray tooLong({{u"n", v800}});
  EXPECT_EQ(BuildB(tooLong.variable()).ok, 0);
  EXPECT_EQ(tooLong.array()->cLocks, 0u);
  HostArray nameTooLong({{longName, u"v"}});
  EXPECT_EQ(BuildB(nameTooLong.variable()).ok, 0);
  // 400 two-byte characters convert to 800 bytes: no room for the terminator.
  HostArray wide({{u"n", std::u16string(400, u'\u3042')}});
  EXPECT_EQ(BuildB(wide.variable()).ok, 0);
}

TEST(CrackUrl, GivesReferencesIntoTheUrl) {
  const char *url = "https://user:pw@127.0.0.1:8443/dir/a.txt?x=1#frag";
  URL_COMPONENTSA parts;
  ASSERT_EQ(HttpCrackURL(url, &parts), 0);
  EXPECT_EQ(parts.nScheme, INTERNET_SCHEME_HTTPS);
  EXPECT_EQ(parts.nPort, 8443);
  EXPECT_EQ(std::string(parts.lpszHostName, parts.dwHostNameLength), "127.0.0.1");
  EXPECT_EQ(std::string(parts.lpszUserName, parts.dwUserNameLength), "user");
  EXPECT_EQ(std::string(parts.lpszPassword, parts.dwPasswordLength), "pw");
  EXPECT_EQ(parts.lpszUrlPath, url + 30);
  char object[1025];
  ASSERT_EQ(HttpObjectName(&parts, object, sizeof object), 0);
  EXPECT_STREQ(object, "/dir/a.txt?x=1#frag");
  char path[1025];
  ASSERT_EQ(HttpUrlPath(&parts, path, sizeof path), 0);
  EXPECT_STREQ(path, "/dir/a.txt");
}

TEST(CrackUrl, RootPathAndMissingPath) {
  URL_COMPONENTSA parts;
  char object[64];
  ASSERT_EQ(HttpCrackURL("http://127.0.0.1/", &parts), 0);
  EXPECT_EQ(parts.nPort, 80);
  ASSERT_EQ(HttpObjectName(&parts, object, sizeof object), 0);
  EXPECT_STREQ(object, "/");
  ASSERT_EQ(HttpCrackURL("http://127.0.0.1", &parts), 0);
  ASSERT_EQ(HttpObjectName(&parts, object, sizeof object), 0);
  EXPECT_STREQ(object, "/");
}

TEST(CrackUrl, ObjectNameMustFitWithItsTerminator) {
  URL_COMPONENTSA parts;
  ASSERT_EQ(HttpCrackURL("http://127.0.0.1/abc?d=1", &parts), 0);  // object name: 8 bytes
  char object[16];
  memset(object, 'Z', sizeof object);
  EXPECT_EQ(HttpObjectName(&parts, object, 8), 10001);
  EXPECT_EQ(HttpObjectName(&parts, object, 4), 10001);  // not even the path fits
  EXPECT_EQ(HttpUrlPath(&parts, object, 4), 10001);
  EXPECT_EQ(object[0], 'Z');
  EXPECT_EQ(HttpObjectName(&parts, object, 9), 0);
  EXPECT_STREQ(object, "/abc?d=1");
  EXPECT_EQ(object[9], 'Z');
}

TEST(CrackUrl, ReportsThePlatformError) {
  URL_COMPONENTSA parts;
  EXPECT_EQ(HttpCrackURL("abc", &parts), 12006);
  EXPECT_EQ(HttpCrackURL(nullptr, &parts), 10000);
}
