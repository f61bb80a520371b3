// Code pages: CP_ACP is 932 with the Windows table (NEC and IBM extensions, the duplicate
// codes it prefers, best fit, invalid sequences), CP_UTF8, and the buffer-size rules.
#include <windows.h>

#include <gtest/gtest.h>

#ifndef _WIN32
#include <iconv.h>
#endif

#include <string>

#include "../../platform/src/cp932_table.h"
#include "platform_expect.h"
#include "test_support.h"

namespace {

const DWORD kSentinel = 0xdeadbeef;

struct Encoded {
  std::string bytes;
  BOOL usedDefault;
};

Encoded ToAnsi(const std::u16string &text, DWORD flags = 0) {
  char out[64];
  BOOL used = 7;
  int n = WideCharToMultiByte(CP_ACP, flags, reinterpret_cast<LPCWSTR>(text.data()),
                              static_cast<int>(text.size()), out, sizeof out, nullptr, &used);
  return Encoded{std::string(out, n > 0 ? n : 0), used};
}

std::u16string FromAnsi(const std::string &bytes, DWORD flags = 0) {
  WCHAR out[64];
  int n = MultiByteToWideChar(CP_ACP, flags, bytes.data(), static_cast<int>(bytes.size()), out, 64);
  return std::u16string(reinterpret_cast<const char16_t *>(out), n > 0 ? n : 0);
}

TEST(CodePage, AnsiCodePageIs932) { EXPECT_EQ(932u, GetACP()); }

struct Mapping {
  char16_t character;
  const char *bytes;
};

TEST(CodePage, CharactersEncodeAsWindowsCodePage932) {
  const Mapping table[] = {
      {u'\u3042', "\x82\xA0"}, {u'\uFF5E', "\x81\x60"}, {u'\u2225', "\x81\x61"},
      {u'\uFF0D', "\x81\x7C"}, {u'\uFFE2', "\x81\xCA"}, {u'\u2252', "\x81\xE0"},  // not NEC 0x8790
      {u'\u2235', "\x81\xE6"}, {u'\u2160', "\x87\x54"},  // NEC row 13, not IBM 0xFA4A
      {u'\u2170', "\xFA\x40"},                           // IBM, not NEC-selected 0xEEEF
      {u'\u7E8A', "\xFA\x5C"},                           // IBM, not NEC-selected 0xED40
      {u'\uE000', "\xF0\x40"}, {u'\uFF61', "\xA1"},     {u'\u005C', "\x5C"},
      {u'\u007E', "\x7E"},     {u'\uF8F0', "\xA0"},     {u'\u0080', "\x80"},
  };
  for (const Mapping &m : table) {
    Encoded e = ToAnsi(std::u16string(1, m.character));
    EXPECT_EQ(lumox_test::Hex(m.bytes), lumox_test::Hex(e.bytes)) << std::hex << (int)m.character;
    EXPECT_FALSE(e.usedDefault) << std::hex << (int)m.character;
  }
}

TEST(CodePage, CharactersWithoutACodeTakeTheDefaultOrABestFit) {
  // U+301C, U+2016, U+2212 and U+203E are not in code page 932 (their forms there are
  // U+FF5E, U+2225, U+FF0D, U+FFE3).
  for (char16_t c : {u'\u301C', u'\u2016', u'\u2212', u'\u203E', u'\u20AC'}) {
    Encoded e = ToAnsi(std::u16string(1, c));
    EXPECT_EQ("?", e.bytes) << std::hex << (int)c;
    EXPECT_TRUE(e.usedDefault) << std::hex << (int)c;
  }
  Encoded fit = ToAnsi(u"\u00E9\u00A5\u00A6\u00B7");
  EXPECT_EQ(lumox_test::Hex("e\x5C|\x81\x45"), lumox_test::Hex(fit.bytes));
  EXPECT_FALSE(fit.usedDefault);
  Encoded strict = ToAnsi(u"\u00E9A", WC_NO_BEST_FIT_CHARS);
  EXPECT_EQ("?A", strict.bytes);
  EXPECT_TRUE(strict.usedDefault);

  char out[8];
  int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, reinterpret_cast<LPCWSTR>(u"\u20AC"), 1,
                              out, sizeof out, "*", nullptr);
  EXPECT_EQ("*", std::string(out, n > 0 ? n : 0));
  // A surrogate pair is two units, each without a code.
  EXPECT_EQ("??A", ToAnsi(u"\U0001F600A").bytes);
}

TEST(CodePage, BytesDecodeAsWindowsCodePage932) {
  EXPECT_EQ(u"A\u3042B", FromAnsi("A\x82\xA0"
                                  "B"));
  EXPECT_EQ(u"\u2252", FromAnsi("\x87\x90"));  // NEC row 13 duplicate
  EXPECT_EQ(u"\u7E8A", FromAnsi("\xED\x40"));  // NEC-selected IBM extension
  EXPECT_EQ(u"\u2170", FromAnsi("\xFA\x40"));
  EXPECT_EQ(u"\uFF5E\u2225\uFF0D\uFF3C", FromAnsi("\x81\x60\x81\x61\x81\x7C\x81\x5F"));
  EXPECT_EQ(u"\uE757", FromAnsi("\xF9\xFC"));  // user-defined area
  EXPECT_EQ(u"\u0080\uF8F0\uF8F1\uF8F2\uF8F3", FromAnsi("\x80\xA0\xFD\xFE\xFF"));
  // A NEC-selected code comes back as the IBM code.
  EXPECT_EQ("\xFA\x5C", ToAnsi(FromAnsi("\xED\x40")).bytes);
}

TEST(CodePage, InvalidSequencesDecodeToMiddleDotOrFail) {
  EXPECT_EQ(u"\u30FB", FromAnsi("\x85\x40"));            // unassigned pair
  EXPECT_EQ(u"\u30FB", FromAnsi("\x81\x20"));            // the lead byte takes any next byte
  EXPECT_EQ(u"\u3042\u30FB", FromAnsi("\x82\xA0\x81"));  // lead byte at the end
  for (const char *bad : {"\x85\x40", "\x81", "\x82\xA0\x81", "\xA0", "\xFD"}) {
    WCHAR out[8];
    SetLastError(kSentinel);
    EXPECT_EQ(0, MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bad,
                                     static_cast<int>(strlen(bad)), out, 8))
        << lumox_test::Hex(bad);
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION), GetLastError())
        << lumox_test::Hex(bad);
  }
  WCHAR out[8];
  EXPECT_EQ(1, MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, "\x80", 1, out, 8));
}

TEST(CodePage, Utf8BothWays) {
  const char *utf8 = u8"a\u00E9\u3042\U0001F600";
  WCHAR wide[16];
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide, 16);
  ASSERT_EQ(6, n);  // a, é, あ, a surrogate pair and the terminator
  EXPECT_EQ(u"a\u00E9\u3042\U0001F600", std::u16string(reinterpret_cast<char16_t *>(wide), 5));
  char back[16];
  EXPECT_EQ(11, WideCharToMultiByte(CP_UTF8, 0, wide, -1, back, sizeof back, nullptr, nullptr));
  EXPECT_STREQ(utf8, back);

  // An unpaired surrogate becomes U+FFFD, or fails with WC_ERR_INVALID_CHARS.
  const char16_t lone[] = {0xD83D, u'A'};
  n = WideCharToMultiByte(CP_UTF8, 0, reinterpret_cast<LPCWSTR>(lone), 2, back, sizeof back,
                          nullptr, nullptr);
  EXPECT_EQ(
      "\xEF\xBF\xBD"
      "A",
      std::string(back, n > 0 ? n : 0));
  SetLastError(kSentinel);
  EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0x80 /* WC_ERR_INVALID_CHARS */,
                                   reinterpret_cast<LPCWSTR>(lone), 2, back, sizeof back, nullptr,
                                   nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION), GetLastError());

  // Invalid UTF-8: one U+FFFD per broken sequence.
  const struct {
    const char *bytes;
    std::u16string text;
  } cases[] = {
      {"\xC3"
       "A",
       u"\uFFFDA"},
      {"\xE3\x81"
       "A",
       u"\uFFFDA"},
      {"\xC0\xAF", u"\uFFFD\uFFFD"},
      {"\xE0\x80\xAF", u"\uFFFD\uFFFD"},
      {"\xED\xA0\x80", u"\uFFFD\uFFFD"},
      {"\xFF", u"\uFFFD"},
  };
  for (const auto &c : cases) {
    n = MultiByteToWideChar(CP_UTF8, 0, c.bytes, static_cast<int>(strlen(c.bytes)), wide, 16);
    EXPECT_EQ(c.text, std::u16string(reinterpret_cast<char16_t *>(wide), n > 0 ? n : 0))
        << lumox_test::Hex(c.bytes);
    SetLastError(kSentinel);
    EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, c.bytes,
                                     static_cast<int>(strlen(c.bytes)), wide, 16));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION), GetLastError());
  }
}

TEST(CodePage, LengthAndBufferRules) {
  LPCWSTR text = reinterpret_cast<LPCWSTR>(u"A\u3042B");
  char out[8];
  memset(out, 'x', sizeof out);
  EXPECT_EQ(5, WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(5, WideCharToMultiByte(CP_ACP, 0, text, -1, out, 5, nullptr, nullptr));
  EXPECT_EQ(std::string("A\x82\xA0"
                        "B\0",
                        5),
            std::string(out, 5));
  EXPECT_EQ(4, WideCharToMultiByte(CP_ACP, 0, text, 3, out, 4, nullptr, nullptr));
  SetLastError(kSentinel);
  EXPECT_EQ(0, WideCharToMultiByte(CP_ACP, 0, text, -1, out, 4, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());

  WCHAR wide[8];
  EXPECT_EQ(4, MultiByteToWideChar(CP_ACP, 0, "abc", -1, nullptr, 0));
  EXPECT_EQ(4, MultiByteToWideChar(CP_ACP, 0, "abc", -1, wide, 4));
  EXPECT_EQ(0, wide[3]);
  SetLastError(kSentinel);
  EXPECT_EQ(0, MultiByteToWideChar(CP_ACP, 0, "abc", -1, wide, 3));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
}

TEST(CodePage, InvalidArgumentsAndFlags) {
  char out[8];
  WCHAR wide[8];
  LPCWSTR text = reinterpret_cast<LPCWSTR>(u"abc");
  const struct {
    int result;
    DWORD error;
  } expected = {0, ERROR_INVALID_PARAMETER};
  SetLastError(kSentinel);
  EXPECT_EQ(expected.result, WideCharToMultiByte(CP_ACP, 0, text, 0, out, 8, nullptr, nullptr));
  EXPECT_EQ(expected.error, GetLastError());
  SetLastError(kSentinel);
  EXPECT_EQ(0, WideCharToMultiByte(CP_ACP, 0, nullptr, 3, out, 8, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  SetLastError(kSentinel);
  EXPECT_EQ(0, WideCharToMultiByte(CP_ACP, 0, text, 3, out, -1, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  SetLastError(kSentinel);
  EXPECT_EQ(0, WideCharToMultiByte(1234, 0, text, 3, out, 8, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  SetLastError(kSentinel);
  EXPECT_EQ(0, WideCharToMultiByte(CP_ACP, 0x1, text, 3, out, 8, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FLAGS), GetLastError());
  SetLastError(kSentinel);
  EXPECT_EQ(0, MultiByteToWideChar(CP_ACP, 0, "abc", 0, wide, 8));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  SetLastError(kSentinel);
  EXPECT_EQ(0, MultiByteToWideChar(CP_ACP, 0x10, "abc", 3, wide, 8));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FLAGS), GetLastError());
  SetLastError(kSentinel);
  EXPECT_EQ(0, MultiByteToWideChar(77, 0, "abc", 3, wide, 8));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());

  // CP_UTF8 takes neither a default character nor a used-default flag.
  BOOL used = FALSE;
  SetLastError(kSentinel);
  int n = WideCharToMultiByte(CP_UTF8, 0, text, 3, out, 8, nullptr, &used);
  EXPECT_WINDOWS(EXPECT_EQ(0, n), "Wine converts with a used-default flag under CP_UTF8");
  EXPECT_WINDOWS(EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError()),
                 "Wine converts with a used-default flag under CP_UTF8");
  SetLastError(kSentinel);
  n = MultiByteToWideChar(CP_UTF8, 0x1 /* MB_PRECOMPOSED */, "abc", 3, wide, 8);
  EXPECT_WINDOWS(EXPECT_EQ(0, n), "Wine accepts MB_PRECOMPOSED under CP_UTF8");
  EXPECT_WINDOWS(EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FLAGS), GetLastError()),
                 "Wine accepts MB_PRECOMPOSED under CP_UTF8");
}

// The checked-in table as Windows applies it: what a pair decodes to and what code a
// character is written as without best fit (0 when it has none).
struct Reference {
  char16_t pair[65536] = {};
  uint16_t code[65536] = {};
  Reference() {
    for (unsigned lead = 0x81; lead <= 0xFC; ++lead) {
      int row = lumox_cp932::LeadRow(lead);
      if (row < 0) continue;
      for (int i = 0; i < lumox_cp932::kTrailCount; ++i) {
        unsigned pairCode = lead << 8 | (lumox_cp932::kTrailFirst + i);
        char16_t c = lumox_cp932::kPairs[row][i];
        pair[pairCode] = c;
        if (c && !code[c]) code[c] = static_cast<uint16_t>(pairCode);
      }
    }
    for (const auto &p : lumox_cp932::kPreferred) code[p.character] = p.code;
    for (unsigned b = 1; b < 0x80; ++b) code[b] = static_cast<uint16_t>(b);
    for (unsigned b = 0xA1; b <= 0xDF; ++b) code[0xFF61 + (b - 0xA1)] = static_cast<uint16_t>(b);
    code[0x80] = 0x80;
    code[0xF8F0] = 0xA0;
    for (unsigned b = 0xFD; b <= 0xFF; ++b) code[0xF8F1 + (b - 0xFD)] = static_cast<uint16_t>(b);
  }
};

const Reference &Table() {
  static const Reference *table = new Reference();
  return *table;
}

std::string CodeBytes(uint16_t code) {
  if (code > 0xFF) return std::string{static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
  return std::string(1, static_cast<char>(code));
}

// Every double-byte code of the table, and every pair outside it, decodes as the system
// does: on the win64 leg this holds the checked-in table against Wine's converter.
TEST(CodePage, EveryDoubleByteCodeDecodesAsTheTable) {
  const Reference &t = Table();
  int mismatches = 0;
  for (unsigned lead = 0x81; lead <= 0xFC; ++lead) {
    if (lumox_cp932::LeadRow(lead) < 0) continue;
    for (unsigned trail = 0x40; trail <= 0xFC; ++trail) {
      char bytes[2] = {static_cast<char>(lead), static_cast<char>(trail)};
      WCHAR out[4] = {};
      int n = MultiByteToWideChar(CP_ACP, 0, bytes, 2, out, 4);
      char16_t expected = t.pair[lead << 8 | trail] ? t.pair[lead << 8 | trail] : u'\u30FB';
      if (n != 1 || out[0] != expected) {
        if (++mismatches <= 10) {
          ADD_FAILURE() << std::hex << "0x" << (lead << 8 | trail) << " gave " << n << " U+"
                        << static_cast<unsigned>(out[0]) << ", table U+"
                        << static_cast<unsigned>(expected);
        }
      }
    }
  }
  EXPECT_EQ(0, mismatches);
}

// Every UTF-16 unit is written as the table says, or as the default character.
TEST(CodePage, EveryCharacterEncodesAsTheTable) {
  const Reference &t = Table();
  int mismatches = 0;
  for (unsigned c = 1; c <= 0xFFFF; ++c) {
    WCHAR in = static_cast<WCHAR>(c);
    char out[4] = {};
    BOOL used = 7;
    int n =
        WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, &in, 1, out, sizeof out, nullptr, &used);
    std::string expected = t.code[c] ? CodeBytes(t.code[c]) : "?";
    BOOL expectedUsed = t.code[c] ? FALSE : TRUE;
    if (std::string(out, n > 0 ? n : 0) != expected || used != expectedUsed) {
      if (++mismatches <= 10) {
        ADD_FAILURE() << std::hex << "U+" << c << " gave "
                      << lumox_test::Hex(std::string(out, n > 0 ? n : 0)) << ", table "
                      << lumox_test::Hex(expected);
      }
    }
  }
  EXPECT_EQ(0, mismatches);
}

#ifndef _WIN32
// The built-in table against the C library's converter, where the machine has one.
TEST(CodePage, BuiltInTableAgreesWithTheSystemConverter) {
  iconv_t toWide = iconv_open("UTF-16LE", "CP932");
  iconv_t toAnsi = iconv_open("CP932", "UTF-16LE");
  if (toWide == reinterpret_cast<iconv_t>(-1) || toAnsi == reinterpret_cast<iconv_t>(-1)) {
    if (toWide != reinterpret_cast<iconv_t>(-1)) iconv_close(toWide);
    if (toAnsi != reinterpret_cast<iconv_t>(-1)) iconv_close(toAnsi);
    GTEST_SKIP() << "the C library has no CP932 converter here";
  }
  auto convert = [](iconv_t cd, const std::string &in, std::string &out) {
    char buffer[16];
    char *inPtr = const_cast<char *>(in.data()), *outPtr = buffer;
    size_t inLeft = in.size(), outLeft = sizeof buffer;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    bool ok =
        iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1) && inLeft == 0;
    out.assign(buffer, sizeof buffer - outLeft);
    return ok;
  };
  int decoded = 0, mismatches = 0;
  for (unsigned lead = 0x81; lead <= 0xFC; ++lead) {
    if (lumox_cp932::LeadRow(lead) < 0) continue;
    for (unsigned trail = 0x40; trail <= 0xFC; ++trail) {
      std::string bytes{static_cast<char>(lead), static_cast<char>(trail)}, wide;
      WCHAR out[4] = {};
      int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes.data(), 2, out, 4);
      std::string ours = n > 0 ? std::string(reinterpret_cast<char *>(out), n * 2) : std::string();
      bool known = trail != 0x7F && convert(toWide, bytes, wide) && wide.size() == 2;
      if (known) ++decoded;
      if ((known ? wide : std::string()) != ours && ++mismatches <= 10) {
        ADD_FAILURE() << "pair " << lumox_test::Hex(bytes) << ": ours " << lumox_test::Hex(ours)
                      << ", system " << lumox_test::Hex(known ? wide : "");
      }
    }
  }
  EXPECT_EQ(9604, decoded);
  // Encoding: every character the system writes as a code that decodes back to it is
  // written the same; the rest (the system's own look-alikes) are Windows' default.
  int encoded = 0;
  for (unsigned c = 1; c <= 0xFFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    std::string wide{static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)}, ansi, back;
    bool exact = convert(toAnsi, wide, ansi) && convert(toWide, ansi, back) && back == wide;
    WCHAR in = static_cast<WCHAR>(c);
    char out[4] = {};
    BOOL used = FALSE;
    int n =
        WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, &in, 1, out, sizeof out, nullptr, &used);
    std::string ours(out, n > 0 ? n : 0);
    if (exact) ++encoded;
    // Windows also writes U+0080 and U+F8F0 to U+F8F3 as single bytes, which glibc lacks.
    bool windowsOnly = c == 0x80 || (c >= 0xF8F0 && c <= 0xF8F3);
    bool same = exact ? (ours == ansi && !used) : (windowsOnly ? !used : (ours == "?" && used));
    if (!same && ++mismatches <= 20) {
      ADD_FAILURE() << std::hex << "U+" << c << ": ours " << lumox_test::Hex(ours) << ", system "
                    << lumox_test::Hex(exact ? ansi : "(none)");
    }
  }
  EXPECT_GT(encoded, 9000);
  EXPECT_EQ(0, mismatches);
  iconv_close(toWide);
  iconv_close(toAnsi);
}
#endif

TEST(CodePage, LstrlenA) {
  // Windows' lstrlenA catches the access violation of a bad pointer and returns 0.
  EXPECT_UNLESS_EMULATED(EXPECT_EQ(0, lstrlenA(nullptr)),
                         "qemu-i386 reports the memory fault to Wine as an illegal instruction");
  EXPECT_EQ(0, lstrlenA(""));
  EXPECT_EQ(6, lstrlenA("\x83\x66\x81\x5B\x83\x5E"));
}

}  // namespace
