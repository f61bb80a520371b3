// Code pages: CP_ACP (and CP_OEMCP) is code page 932, Shift-JIS as Windows maps it, and
// CP_UTF8. The code page 932 tables are built once from glibc's "CP932" converter, which
// decodes every byte sequence as Windows does; the encoding direction is derived from the
// decoding table with the Windows preferences for characters that have several codes.
#include <iconv.h>
#include <string.h>

#include <mutex>
#include <string>

#include "platform_internal.h"

using lumox_platform::Fail;
using lumox_platform::IsLeadByte;

namespace {

const UINT kAnsiCodePage = 932;
const WCHAR kUnicodeDefault = 0x30FB;  // what Windows decodes an undefined code pair to
const char kAnsiDefault = '?';

// Flags of the conversion calls that Windows accepts.
const DWORD kMbPrecomposed = 0x1, kMbComposite = 0x2, kMbUseGlyphChars = 0x4;
const DWORD kWcDiscardNs = 0x10, kWcSepChars = 0x20, kWcDefaultChar = 0x40,
            kWcCompositeCheck = 0x200, kWcErrInvalidChars = 0x80;

bool IsTrail(unsigned char b) { return b >= 0x40 && b <= 0xFC && b != 0x7F; }

struct Tables {
  WCHAR single[256];         // decoding of single bytes (lead bytes: 0)
  WCHAR pair[256][256];      // decoding of lead/trail pairs, 0 = undefined
  uint16_t encode[65536];    // code for a character, 0 = none (U+0000 is byte 0)
  uint16_t bestFit[65536];   // the Windows best-fit code for characters without their own
};

Tables g_tables;
std::once_flag g_tablesOnce;

WCHAR DecodeWithIconv(iconv_t cd, const char *bytes, size_t length) {
  char in[2];
  memcpy(in, bytes, length);
  char *inPtr = in;
  size_t inLeft = length;
  unsigned char out[8];
  char *outPtr = reinterpret_cast<char *>(out);
  size_t outLeft = sizeof out;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1) || inLeft != 0 ||
      sizeof out - outLeft != 2) {
    return 0;
  }
  return static_cast<WCHAR>(out[0] << 8 | out[1]);
}

// True for codes that Windows never produces when encoding because the same character
// has an older code: NEC-selected IBM extensions (lead bytes 0xED, 0xEE) give way to the
// IBM extensions (0xFA to 0xFC).
bool IsSecondaryCode(uint16_t code) { return (code >> 8) == 0xED || (code >> 8) == 0xEE; }

void BuildTables() {
  Tables &t = g_tables;
  memset(&t, 0, sizeof t);
  iconv_t cd = iconv_open("UTF-16BE", "CP932");
  for (int b = 0; b < 0x80; ++b) t.single[b] = static_cast<WCHAR>(b);
  for (int b = 0xA1; b <= 0xDF; ++b) t.single[b] = static_cast<WCHAR>(0xFF61 + (b - 0xA1));
  // Single bytes without a character of their own, as Windows decodes them.
  t.single[0x80] = 0x0080;
  t.single[0xA0] = 0xF8F0;
  t.single[0xFD] = 0xF8F1;
  t.single[0xFE] = 0xF8F2;
  t.single[0xFF] = 0xF8F3;
  if (cd != reinterpret_cast<iconv_t>(-1)) {
    for (int lead = 0x81; lead <= 0xFC; ++lead) {
      if (!IsLeadByte(static_cast<unsigned char>(lead))) continue;
      for (int trail = 0x40; trail <= 0xFC; ++trail) {
        if (!IsTrail(static_cast<unsigned char>(trail))) continue;
        char bytes[2] = {static_cast<char>(lead), static_cast<char>(trail)};
        t.pair[lead][trail] = DecodeWithIconv(cd, bytes, 2);
      }
    }
    iconv_close(cd);
  }  // without glibc's converter only the single-byte part is known
  // Encoding: the first code in code order wins, secondary codes only where nothing else.
  for (int pass = 0; pass < 2; ++pass) {
    for (int b = 0; b < 256; ++b) {
      if (pass == 0 && !IsLeadByte(static_cast<unsigned char>(b)) && t.single[b] &&
          !t.encode[t.single[b]]) {
        t.encode[t.single[b]] = static_cast<uint16_t>(b);
      }
    }
    for (int lead = 0x81; lead <= 0xFC; ++lead) {
      for (int trail = 0x40; trail <= 0xFC; ++trail) {
        WCHAR c = t.pair[lead][trail];
        uint16_t code = static_cast<uint16_t>(lead << 8 | trail);
        if (!c || t.encode[c]) continue;
        if ((pass == 0) == IsSecondaryCode(code)) continue;
        t.encode[c] = code;
      }
    }
  }
  // The best-fit replacements of code page 932 (Latin letters lose their accents, and a
  // few signs take a look-alike). U+301C, U+2016, U+2212 and U+203E have none: they become
  // the default character unless given as their code page 932 forms U+FF5E, U+2225,
  // U+FF0D and U+FFE3.
  static const struct { uint16_t character, code; } kBestFit[] = {
      {0x00A1, 0x21}, {0x00A2, 0x8191}, {0x00A3, 0x8192}, {0x00A5, 0x5C}, {0x00A6, 0x7C},
      {0x00A9, 0x63}, {0x00AA, 0x61}, {0x00AB, 0x81E1}, {0x00AC, 0x81CA}, {0x00AD, 0x2D},
      {0x00AE, 0x52}, {0x00AF, 0x8150}, {0x00B2, 0x32}, {0x00B3, 0x33}, {0x00B5, 0x83CA},
      {0x00B7, 0x8145}, {0x00B8, 0x8143}, {0x00B9, 0x31}, {0x00BA, 0x6F}, {0x00BB, 0x81E2},
      {0x00C0, 0x41}, {0x00C1, 0x41}, {0x00C2, 0x41}, {0x00C3, 0x41}, {0x00C4, 0x41},
      {0x00C5, 0x41}, {0x00C6, 0x41}, {0x00C7, 0x43}, {0x00C8, 0x45}, {0x00C9, 0x45},
      {0x00CA, 0x45}, {0x00CB, 0x45}, {0x00CC, 0x49}, {0x00CD, 0x49}, {0x00CE, 0x49},
      {0x00CF, 0x49}, {0x00D0, 0x44}, {0x00D1, 0x4E}, {0x00D2, 0x4F}, {0x00D3, 0x4F},
      {0x00D4, 0x4F}, {0x00D5, 0x4F}, {0x00D6, 0x4F}, {0x00D8, 0x4F}, {0x00D9, 0x55},
      {0x00DA, 0x55}, {0x00DB, 0x55}, {0x00DC, 0x55}, {0x00DD, 0x59}, {0x00DE, 0x54},
      {0x00DF, 0x73}, {0x00E0, 0x61}, {0x00E1, 0x61}, {0x00E2, 0x61}, {0x00E3, 0x61},
      {0x00E4, 0x61}, {0x00E5, 0x61}, {0x00E6, 0x61}, {0x00E7, 0x63}, {0x00E8, 0x65},
      {0x00E9, 0x65}, {0x00EA, 0x65}, {0x00EB, 0x65}, {0x00EC, 0x69}, {0x00ED, 0x69},
      {0x00EE, 0x69}, {0x00EF, 0x69}, {0x00F0, 0x64}, {0x00F1, 0x6E}, {0x00F2, 0x6F},
      {0x00F3, 0x6F}, {0x00F4, 0x6F}, {0x00F5, 0x6F}, {0x00F6, 0x6F}, {0x00F8, 0x6F},
      {0x00F9, 0x75}, {0x00FA, 0x75}, {0x00FB, 0x75}, {0x00FC, 0x75}, {0x00FD, 0x79},
      {0x00FE, 0x74}, {0x00FF, 0x79}, {0x3094, 0x8394},
  };
  for (const auto &fit : kBestFit) {
    if (!t.encode[fit.character]) t.bestFit[fit.character] = fit.code;
  }
}

const Tables &Cp932() {
  std::call_once(g_tablesOnce, BuildTables);
  return g_tables;
}

bool IsCp932(UINT codePage) {
  return codePage == CP_ACP || codePage == CP_OEMCP || codePage == 3 /* CP_THREAD_ACP */ ||
         codePage == kAnsiCodePage;
}

// Decodes code page 932 bytes. `invalid` is set when a sequence has no character.
void DecodeCp932(const unsigned char *in, size_t length, std::u16string &out, bool &invalid) {
  const Tables &t = Cp932();
  invalid = false;
  for (size_t i = 0; i < length; ++i) {
    unsigned char b = in[i];
    if (IsLeadByte(b)) {
      // A lead byte takes the next byte whatever it is (except NUL); a pair without a
      // character, or a lead byte without a second byte, decodes to U+30FB.
      if (i + 1 < length && in[i + 1] != 0) {
        unsigned char trail = in[i + 1];
        WCHAR c = IsTrail(trail) ? t.pair[b][trail] : 0;
        ++i;
        if (!c) {
          invalid = true;
          c = kUnicodeDefault;
        }
        out.push_back(c);
      } else {
        invalid = true;
        out.push_back(kUnicodeDefault);
      }
      continue;
    }
    // 0xA0 and 0xFD to 0xFF decode to private-use characters but count as invalid.
    if (b == 0xA0 || b >= 0xFD) invalid = true;
    out.push_back(t.single[b]);
  }
}

// Encodes UTF-16 as code page 932; characters without a code take `defaultChar`.
void EncodeCp932(const WCHAR *in, size_t length, bool bestFit, const std::string &defaultChar,
                 std::string &out, bool &usedDefault) {
  const Tables &t = Cp932();
  usedDefault = false;
  for (size_t i = 0; i < length; ++i) {
    WCHAR c = in[i];
    uint16_t code = t.encode[c];
    if (!code && c != 0 && bestFit) code = t.bestFit[c];
    if (!code && c != 0) {
      usedDefault = true;
      out += defaultChar;  // per UTF-16 unit: a surrogate pair takes two
      continue;
    }
    if (code > 0xFF) out.push_back(static_cast<char>(code >> 8));
    out.push_back(static_cast<char>(code & 0xFF));
  }
}

// Decodes UTF-8; every byte that does not start or continue a valid sequence becomes U+FFFD.
void DecodeUtf8(const unsigned char *in, size_t length, std::u16string &out, bool &invalid) {
  invalid = false;
  size_t i = 0;
  while (i < length) {
    unsigned char b = in[i];
    if (b < 0x80) {
      out.push_back(b);
      ++i;
      continue;
    }
    size_t need;
    uint32_t cp;
    if (b >= 0xC2 && b <= 0xDF) { need = 1; cp = b & 0x1F; }
    else if (b >= 0xE0 && b <= 0xEF) { need = 2; cp = b & 0x0F; }
    else if (b >= 0xF0 && b <= 0xF4) { need = 3; cp = b & 0x07; }
    else {
      invalid = true;
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    size_t j = 1;
    for (; j <= need && i + j < length; ++j) {
      unsigned char c = in[i + j];
      if ((c & 0xC0) != 0x80) break;
      uint32_t next = cp << 6 | (c & 0x3F);
      // Reject overlong forms, surrogates and values above U+10FFFF as early as possible.
      if (j == 1) {
        if ((b == 0xE0 && c < 0xA0) || (b == 0xED && c > 0x9F) || (b == 0xF0 && c < 0x90) ||
            (b == 0xF4 && c > 0x8F)) {
          ++j;  // the offending second byte belongs to the same replacement character
          break;
        }
      }
      cp = next;
    }
    if (j <= need) {  // cut short: the valid prefix stands for one replacement character
      invalid = true;
      out.push_back(0xFFFD);
      i += j;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += need + 1;
  }
}

// Encodes UTF-16 as UTF-8; an unpaired surrogate becomes U+FFFD.
void EncodeUtf8(const WCHAR *in, size_t length, std::string &out, bool &invalid) {
  invalid = false;
  for (size_t i = 0; i < length; ++i) {
    uint32_t cp = in[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < length && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (in[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      invalid = true;
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
}

// Hands a converted text to the caller: its length in characters when outSize is 0, else
// the text itself. A text longer than the buffer fills it and fails.
template <class Text, class Char>
int HandBack(const Text &text, Char *out, int outSize) {
  static_assert(sizeof(typename Text::value_type) == sizeof(Char), "one character size");
  if (text.size() > 0x7FFFFFFFu) return Fail(ERROR_INVALID_PARAMETER, 0);
  int needed = static_cast<int>(text.size());
  if (outSize == 0) return needed;
  size_t copied = static_cast<size_t>(needed > outSize ? outSize : needed);
  memcpy(out, text.data(), copied * sizeof(Char));
  if (needed > outSize) return Fail(ERROR_INSUFFICIENT_BUFFER, 0);
  return needed;
}

bool IsAscii(const std::string &text) {
  for (unsigned char c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

}  // namespace

namespace lumox_platform {

bool IsLeadByte(unsigned char b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }

bool Cp932ToUtf8(const std::string &in, std::string &out) {
  std::u16string wide;
  bool invalid;
  DecodeCp932(reinterpret_cast<const unsigned char *>(in.data()), in.size(), wide, invalid);
  if (invalid) return false;
  out.clear();
  EncodeUtf8(wide.data(), wide.size(), out, invalid);
  return !invalid;
}

bool Utf8ToCp932(const std::string &in, std::string &out) {
  std::u16string wide;
  bool invalid;
  DecodeUtf8(reinterpret_cast<const unsigned char *>(in.data()), in.size(), wide, invalid);
  if (invalid) return false;
  out.clear();
  bool usedDefault;
  EncodeCp932(wide.data(), wide.size(), false, std::string(1, kAnsiDefault), out, usedDefault);
  return !usedDefault;
}

std::string AnsiToFs(const char *ansi) {
  std::string in(ansi ? ansi : "");
  if (IsAscii(in)) return in;
  std::string out;
  return Cp932ToUtf8(in, out) ? out : in;
}

std::string FsToAnsi(const std::string &fs) {
  if (IsAscii(fs)) return fs;
  std::string out;
  return Utf8ToCp932(fs, out) ? out : fs;
}

}  // namespace lumox_platform

extern "C" UINT WINAPI GetACP(void) { return kAnsiCodePage; }

extern "C" int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideLen,
                                          LPSTR out, int outSize, LPCSTR defaultChar,
                                          LPBOOL usedDefault) {
  if (!wide || wideLen == 0 || outSize < 0 || (outSize > 0 && !out) ||
      (out && static_cast<const void *>(out) == static_cast<const void *>(wide))) {
    return Fail(ERROR_INVALID_PARAMETER, 0);
  }
  size_t length = 0;
  if (wideLen < 0) {
    while (wide[length]) ++length;
    ++length;  // the terminator is converted too
  } else {
    length = static_cast<size_t>(wideLen);
  }
  std::string text;
  bool usedDefaultChar = false;
  if (codePage == CP_UTF8) {
    if (flags & ~kWcErrInvalidChars) return Fail(ERROR_INVALID_FLAGS, 0);
    if (defaultChar || usedDefault) return Fail(ERROR_INVALID_PARAMETER, 0);
    bool invalid;
    EncodeUtf8(wide, length, text, invalid);
    if (invalid && (flags & kWcErrInvalidChars)) return Fail(ERROR_NO_UNICODE_TRANSLATION, 0);
  } else if (IsCp932(codePage)) {
    if (flags & ~(kWcDiscardNs | kWcSepChars | kWcDefaultChar | kWcCompositeCheck |
                  WC_NO_BEST_FIT_CHARS)) {
      return Fail(ERROR_INVALID_FLAGS, 0);
    }
    std::string fallback(1, kAnsiDefault);
    if (defaultChar) {
      const unsigned char first = static_cast<unsigned char>(defaultChar[0]);
      fallback.assign(defaultChar, IsLeadByte(first) && defaultChar[1] ? 2 : 1);
    }
    EncodeCp932(wide, length, (flags & WC_NO_BEST_FIT_CHARS) == 0, fallback, text,
                usedDefaultChar);
  } else {
    return Fail(ERROR_INVALID_PARAMETER, 0);
  }
  if (usedDefault) *usedDefault = usedDefaultChar ? TRUE : FALSE;
  return HandBack(text, out, outSize);
}

extern "C" int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR in, int inLen,
                                          LPWSTR out, int outSize) {
  if (!in || inLen == 0 || outSize < 0 || (outSize > 0 && !out) ||
      (out && static_cast<const void *>(out) == static_cast<const void *>(in))) {
    return Fail(ERROR_INVALID_PARAMETER, 0);
  }
  size_t length = inLen < 0 ? strlen(in) + 1 : static_cast<size_t>(inLen);
  const unsigned char *bytes = reinterpret_cast<const unsigned char *>(in);
  std::u16string text;
  bool invalid = false;
  if (codePage == CP_UTF8) {
    if (flags & ~MB_ERR_INVALID_CHARS) return Fail(ERROR_INVALID_FLAGS, 0);
    DecodeUtf8(bytes, length, text, invalid);
  } else if (IsCp932(codePage)) {
    if (flags & ~(kMbPrecomposed | kMbComposite | kMbUseGlyphChars | MB_ERR_INVALID_CHARS)) {
      return Fail(ERROR_INVALID_FLAGS, 0);
    }
    DecodeCp932(bytes, length, text, invalid);
  } else {
    return Fail(ERROR_INVALID_PARAMETER, 0);
  }
  if (invalid && (flags & MB_ERR_INVALID_CHARS)) return Fail(ERROR_NO_UNICODE_TRANSLATION, 0);
  return HandBack(text, out, outSize);
}

extern "C" int WINAPI lstrlenA(LPCSTR text) { return text ? static_cast<int>(strlen(text)) : 0; }
