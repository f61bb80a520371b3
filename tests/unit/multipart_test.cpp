// Boundaries, field sections, the file-part header and the closing delimiter.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "multipart.h"
#include "test_support.h"

using lumox_test::HostArray;
using lumox_test::HostPair;
using lumox_test::Sjis;

namespace {

const std::string kB = "---------------------------0123456789AB";

std::string Section(const std::string &name, const std::string &value) {
  return "--" + kB + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value +
         "\r\n";
}

// The generator's first boundaries, computed from its recurrence.
std::vector<std::string> ExpectedBoundaries(int count) {
  uint32_t state = 1;
  std::vector<std::string> out;
  for (int b = 0; b < count; ++b) {
    unsigned v[3];
    for (unsigned &x : v) {
      state = state * 214013u + 2531011u;
      x = (state >> 16) & 0x7FFF;
    }
    char text[64];
    snprintf(text, sizeof text, "---------------------------%04X%04X%04X", v[0], v[1], v[2]);
    out.push_back(text);
  }
  return out;
}

std::vector<std::string> BoundariesOnNewThread(int count) {
  std::vector<std::string> out;
  std::thread worker([&] {
    for (int i = 0; i < count; ++i) {
      char boundary[64];
      memset(boundary, 'Z', sizeof boundary);
      HttpMakeBoundary(boundary);
      out.push_back(boundary);
    }
  });
  worker.join();
  return out;
}

struct Form {
  std::vector<char> buffer;
  explicit Form(size_t size) : buffer(size + 16, '#') { buffer[0] = '\0'; }
  char *text() { return buffer.data(); }
  std::string str() const { return std::string(buffer.data()); }
  bool guardIntact(size_t size) const {
    return std::string(buffer.data() + size, 16) == std::string(16, '#');
  }
};

}  // namespace

TEST(Boundary, NewThreadStartsFromTheFixedInitialState) {
  std::vector<std::string> first = BoundariesOnNewThread(3);
  std::vector<std::string> again = BoundariesOnNewThread(3);
  EXPECT_EQ(first, ExpectedBoundaries(3));
  EXPECT_EQ(first, again);
  // The runtime's first three values: 41, 18467, 6334.
  EXPECT_EQ(first[0], "---------------------------0029482318BE");
  EXPECT_NE(first[0], first[1]);
  for (const std::string &b : first) {
    EXPECT_EQ(b.size(), kBoundaryLength);
    EXPECT_EQ(b.find_first_not_of('-'), 27u);
    EXPECT_EQ(b.substr(27).find_first_not_of("0123456789ABCDEF"), std::string::npos);
  }
}

TEST(Boundary, ThreadsDoNotDisturbEachOther) {
  char mine[40];
  HttpMakeBoundary(mine);
  std::vector<std::string> other = BoundariesOnNewThread(1);
  EXPECT_EQ(other[0], ExpectedBoundaries(1)[0]);
  char next[40];
  HttpMakeBoundary(next);
  EXPECT_NE(std::string(mine), std::string(next));
}

TEST(FormFields, WorkedExampleBytesAndLengths) {
  std::string s1 = "Name1", v1 = "Value1", s2 = "Name2", v2 = "Value2";
  char *pairs[] = {&s1[0], &v1[0], &s2[0], &v2[0]};
  Form form(kFormTextSize);
  ASSERT_EQ(HttpAddPostParaC(pairs, 2, form.text(), kFormTextSize, kB.c_str()), 0);
  EXPECT_EQ(form.str(), Section("Name1", "Value1") + Section("Name2", "Value2"));
  EXPECT_EQ(Section("Name1", "Value1").size(), 99u);

  const std::string path = "C:\\Users\\me\\data\\up load.bin";
  std::vector<char> prefix(kFormTextSize, '\0');
  ASSERT_EQ(FormatFilePartHeader(prefix.data(), prefix.size(), form.text(), kB.c_str(),
                                 "inputfieldname", path.c_str()),
            0);
  std::string header = "--" + kB +
                       "\r\nContent-Disposition: form-data; name=\"inputfieldname\"; filename=\"" +
                       path + "\"\r\nContent-Type: application/octet-stream\r\n\r\n";
  EXPECT_EQ(std::string(prefix.data()), form.str() + header);
  EXPECT_EQ(header.size(), 153u + path.size());

  char closing[64];
  ASSERT_EQ(FormatClosingDelimiter(closing, sizeof closing, kB.c_str(), true), 0);
  EXPECT_EQ(std::string(closing), "\r\n--" + kB + "--\r\n");
  EXPECT_EQ(strlen(closing), 47u);
  const size_t fileSize = 1234;
  EXPECT_EQ(strlen(prefix.data()) + fileSize + kBoundaryLength + 8, 398u + path.size() + fileSize);
}

TEST(FormFields, HostArrayConvertsToTheAnsiCodePage) {
  HostArray array({{u"Name1", u"Value1"}, {u"名前", u"値です"}}, 3);
  Form form(kFormTextSize);
  ASSERT_EQ(HttpAddPostParaB(array.variable(), form.text(), kFormTextSize, kB.c_str()), 0);
  EXPECT_EQ(form.str(), Section("Name1", "Value1") + Section(Sjis(u8"名前"), Sjis(u8"値です")));
  EXPECT_EQ(array.array()->cLocks, 0u);
}

TEST(FormFields, AbsentListsAndNullTexts) {
  Form form(256);
  SAFEARRAY *none = nullptr;
  EXPECT_EQ(HttpAddPostParaB(&none, form.text(), 256, kB.c_str()), 0);
  EXPECT_EQ(HttpAddPostParaB(nullptr, form.text(), 256, kB.c_str()), 0);
  EXPECT_EQ(HttpAddPostParaC(nullptr, 2, form.text(), 256, kB.c_str()), 0);
  std::string a = "a", one = "1";
  char *pairs[] = {&a[0], &one[0], &a[0], nullptr, &a[0], &one[0]};
  EXPECT_EQ(HttpAddPostParaC(pairs, 0, form.text(), 256, kB.c_str()), 0);
  EXPECT_EQ(HttpAddPostParaC(pairs, -1, form.text(), 256, kB.c_str()), 0);
  EXPECT_EQ(form.str(), "");
  EXPECT_EQ(HttpAddPostParaC(pairs, 3, form.text(), 256, kB.c_str()), 0);
  EXPECT_EQ(form.str(), Section("a", "1"));

  HostPair nameless{u"", u"x", false, true};
  HostArray array({{u"a", u"1"}, nameless, {u"c", u"3"}});
  Form host(1024);
  EXPECT_EQ(HttpAddPostParaB(array.variable(), host.text(), 1024, kB.c_str()), 0);
  EXPECT_EQ(host.str(), Section("a", "1"));
}

TEST(FormFields, QuotesAndLineBreaksGoInUnchanged) {
  std::string name = "say \"hi\"", value = "line1\r\nline2";
  char *pairs[] = {&name[0], &value[0]};
  Form form(1024);
  ASSERT_EQ(HttpAddPostParaC(pairs, 1, form.text(), 1024, kB.c_str()), 0);
  EXPECT_EQ(form.str(), Section(name, value));
}

TEST(FormFields, NoCountLimit) {
  std::vector<std::string> texts(200, "k");
  std::vector<char *> pairs;
  for (std::string &t : texts) pairs.push_back(&t[0]);
  Form form(kFormTextSize);
  ASSERT_EQ(HttpAddPostParaC(pairs.data(), 100, form.text(), kFormTextSize, kB.c_str()), 0);
  EXPECT_EQ(form.str().size(), 100u * (88 + 2));
}

TEST(FormFieldLimits, HostArrayNameAndValueAfterConversion) {
  Form form(kFormTextSize);
  HostArray fits({{std::u16string(127, u'n'), std::u16string(2047, u'v')}});
  ASSERT_EQ(HttpAddPostParaB(fits.variable(), form.text(), kFormTextSize, kB.c_str()), 0);
  EXPECT_EQ(form.str(), Section(std::string(127, 'n'), std::string(2047, 'v')));
  // The 2,399-byte section limit comes first for long values: 88 + 127 + 2047 fits.

  Form other(kFormTextSize);
  std::string before = Section("a", "1");
  memcpy(other.text(), before.c_str(), before.size() + 1);
  HostArray longName({{u"b", u"2"}, {std::u16string(128, u'n'), u"v"}});
  EXPECT_EQ(HttpAddPostParaB(longName.variable(), other.text(), kFormTextSize, kB.c_str()), 10001);
  EXPECT_EQ(other.str(), before);  // the failed call leaves the form text as it was
  HostArray longValue({{u"n", std::u16string(2048, u'v')}});
  EXPECT_EQ(HttpAddPostParaB(longValue.variable(), other.text(), kFormTextSize, kB.c_str()), 10001);
  EXPECT_EQ(other.str(), before);
  // 64 two-byte characters make 128 bytes.
  HostArray wideName({{std::u16string(64, u'\u540d'), u"v"}});
  EXPECT_EQ(HttpAddPostParaB(wideName.variable(), other.text(), kFormTextSize, kB.c_str()), 10001);
  EXPECT_EQ(longValue.array()->cLocks, 0u);
}

TEST(FormFieldLimits, SectionOf2399BytesFitsAnd2400DoesNot) {
  std::string name = "n";
  std::string value(2399 - 88 - 1, 'v');
  char *pairs[] = {&name[0], &value[0]};
  Form form(kFormTextSize);
  ASSERT_EQ(HttpAddPostParaC(pairs, 1, form.text(), kFormTextSize, kB.c_str()), 0);
  EXPECT_EQ(form.str().size(), 2399u);
  std::string longer = value + "v";
  char *more[] = {&name[0], &longer[0]};
  Form second(kFormTextSize);
  EXPECT_EQ(HttpAddPostParaC(more, 1, second.text(), kFormTextSize, kB.c_str()), 10001);
  EXPECT_EQ(second.str(), "");
}

TEST(FormFieldLimits, FormTextMustFitItsBuffer) {
  std::string a = "a", one = "1";
  char *pairs[] = {&a[0], &one[0], &a[0], &one[0]};
  const size_t section = Section("a", "1").size();  // 90 bytes
  Form exact(2 * section + 1);
  EXPECT_EQ(HttpAddPostParaC(pairs, 2, exact.text(), 2 * section + 1, kB.c_str()), 0);
  EXPECT_EQ(exact.str().size(), 2 * section);
  EXPECT_TRUE(exact.guardIntact(2 * section + 1));
  Form tight(2 * section);
  EXPECT_EQ(HttpAddPostParaC(pairs, 2, tight.text(), 2 * section, kB.c_str()), 10001);
  EXPECT_EQ(tight.str(), "");
  EXPECT_TRUE(tight.guardIntact(2 * section));

  // Many entries of 2,399 bytes overflow the 65,536-byte form text.
  std::string value(2399 - 88 - 1, 'v');
  std::vector<char *> many;
  for (int i = 0; i < 30; ++i) {
    many.push_back(&a[0]);
    many.push_back(&value[0]);
  }
  Form big(kFormTextSize);
  EXPECT_EQ(HttpAddPostParaC(many.data(), 27, big.text(), kFormTextSize, kB.c_str()), 0);
  EXPECT_EQ(big.str().size(), 27u * 2399);
  Form over(kFormTextSize);
  EXPECT_EQ(HttpAddPostParaC(many.data(), 28, over.text(), kFormTextSize, kB.c_str()), 10001);
  EXPECT_EQ(over.str(), "");
  EXPECT_TRUE(over.guardIntact(kFormTextSize));
}

TEST(FilePart, HeaderWithoutFieldsAndClosingAfterFieldsAlone) {
  char prefix[512];
  ASSERT_EQ(FormatFilePartHeader(prefix, sizeof prefix, nullptr, kB.c_str(), "f", "D:\\a\\b.txt"),
            0);
  EXPECT_EQ(std::string(prefix),
            "--" + kB +
                "\r\nContent-Disposition: form-data; name=\"f\"; filename=\"D:\\a\\b.txt\"\r\n"
                "Content-Type: application/octet-stream\r\n\r\n");
  char closing[64];
  ASSERT_EQ(FormatClosingDelimiter(closing, sizeof closing, kB.c_str(), false), 0);
  EXPECT_EQ(std::string(closing), "--" + kB + "--\r\n");
  EXPECT_EQ(strlen(closing), 45u);
}

TEST(FilePart, TooSmallBuffersFailAndStayUntouched) {
  const size_t headerLength = kBoundaryLength + 1 + 1 + 100;  // field "f", path "p"
  std::vector<char> out(headerLength + 1, 'Z');
  EXPECT_EQ(FormatFilePartHeader(out.data(), headerLength, "", kB.c_str(), "f", "p"), 10001);
  EXPECT_EQ(out[0], 'Z');
  EXPECT_EQ(FormatFilePartHeader(out.data(), headerLength + 1, "", kB.c_str(), "f", "p"), 0);
  EXPECT_EQ(strlen(out.data()), headerLength);
  char closing[47];
  memset(closing, 'Z', sizeof closing);
  EXPECT_EQ(FormatClosingDelimiter(closing, 47, kB.c_str(), true), 10001);
  EXPECT_EQ(closing[0], 'Z');
  EXPECT_EQ(FormatClosingDelimiter(closing, 46, kB.c_str(), false), 0);
  EXPECT_EQ(FormatFilePartHeader(nullptr, 10, "", kB.c_str(), "f", "p"), 10000);
}
