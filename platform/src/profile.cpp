// Profile (INI) reading. The file is read again on every call. The rules follow the
// Windows profile reader: names compare without regard to case, blanks around key names
// and values are dropped, the first matching section and key win, a value in quotes loses
// them, and the integer is read with base prefixes ("0x" hex, "0o" octal, "0b" binary).
#include <stdio.h>
#include <string.h>

#include <string>

#include "platform_internal.h"

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f' || c == 0x1A;
}

bool SameName(const char *a, size_t aLength, const std::string &b) {
  return lumox_platform::EqualsNoCase(a, aLength, b.data(), b.size());
}

std::string Trimmed(const char *text) {
  const char *begin = text;
  while (*begin && IsBlank(*begin)) ++begin;
  const char *end = begin + strlen(begin);
  while (end > begin && IsBlank(end[-1])) --end;
  return std::string(begin, end);
}

bool ReadWholeFile(const std::string &path, std::string &contents) {
  FILE *file = fopen(path.c_str(), "rb");
  if (!file) return false;
  char block[8192];
  size_t n;
  while ((n = fread(block, 1, sizeof block, file)) > 0) contents.append(block, n);
  fclose(file);  // NOLINT(cert-err33-c): opened for reading only
  return true;
}

// The value of key in section, with the found flag; empty when absent.
bool FindValue(const std::string &contents, const std::string &section, const std::string &key,
               std::string &value) {
  size_t pos = 0;
  if (contents.compare(0, 3, "\xEF\xBB\xBF") == 0) pos = 3;
  bool inSection = false;
  while (pos < contents.size()) {
    size_t eol = contents.find('\n', pos);
    if (eol == std::string::npos) eol = contents.size();
    const char *begin = contents.data() + pos;
    const char *end = contents.data() + eol;
    pos = eol + 1;
    while (begin < end && IsBlank(*begin)) ++begin;
    if (begin == end) continue;
    if (*begin == '[') {
      const char *close = end;
      while (close > begin + 1 && close[-1] != ']') --close;
      if (close > begin + 1) {
        // A section line: the name stands between '[' and the last ']', as written. The
        // keys of the first section of the requested name are the only ones looked at.
        if (inSection) return false;
        inSection = SameName(begin + 1, static_cast<size_t>(close - 1 - (begin + 1)), section);
        continue;
      }
    }
    if (!inSection) continue;
    while (end > begin && IsBlank(end[-1])) --end;
    const char *equals =
        static_cast<const char *>(memchr(begin, '=', static_cast<size_t>(end - begin)));
    const char *nameEnd = equals ? equals : end;
    while (nameEnd > begin && IsBlank(nameEnd[-1])) --nameEnd;
    if (!SameName(begin, static_cast<size_t>(nameEnd - begin), key)) continue;
    if (!equals) {
      value.clear();
      return true;
    }
    const char *valueBegin = equals + 1;
    while (valueBegin < end && IsBlank(*valueBegin)) ++valueBegin;
    value.assign(valueBegin, end);
    if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0]) {
      value = value.substr(1, value.size() - 2);
    }
    return true;
  }
  return false;
}

// Reads the leading integer as the system's string-to-integer conversion does (base 0).
UINT ParseInteger(const std::string &text) {
  size_t i = 0;
  while (i < text.size() &&
         (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r'))
    ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  unsigned base = 10;
  if (i + 1 < text.size() && text[i] == '0') {
    char p = text[i + 1];
    if (p == 'x' || p == 'X') {
      base = 16;
      i += 2;
    } else if (p == 'o' || p == 'O') {
      base = 8;
      i += 2;
    } else if (p == 'b' || p == 'B') {
      base = 2;
      i += 2;
    }
  }
  uint32_t result = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    unsigned digit;
    if (c >= '0' && c <= '9')
      digit = static_cast<unsigned>(c - '0');
    else if (c >= 'a' && c <= 'z')
      digit = static_cast<unsigned>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'Z')
      digit = static_cast<unsigned>(c - 'A' + 10);
    else
      break;
    if (digit >= base) break;
    result = result * base + digit;
  }
  return negative ? static_cast<UINT>(0u - result) : result;
}

}  // namespace

extern "C" UINT WINAPI GetPrivateProfileIntA(LPCSTR section, LPCSTR key, INT defaultValue,
                                             LPCSTR fileName) {
  if (!section || !key || !fileName || !*fileName) return static_cast<UINT>(defaultValue);
  std::string contents;
  if (!ReadWholeFile(lumox_platform::AnsiToFs(fileName), contents)) {
    return static_cast<UINT>(defaultValue);
  }
  std::string value;
  if (!FindValue(contents, Trimmed(section), Trimmed(key), value) || value.empty()) {
    return static_cast<UINT>(defaultValue);
  }
  return ParseInteger(value);
}

extern "C" DWORD WINAPI GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR defaultValue,
                                                 LPSTR buffer, DWORD size, LPCSTR fileName) {
  if (!buffer || size == 0) return 0;
  std::string value;
  std::string contents;
  if (!section || !key || !fileName || !*fileName ||
      !ReadWholeFile(lumox_platform::AnsiToFs(fileName), contents) ||
      !FindValue(contents, Trimmed(section), Trimmed(key), value)) {
    value = Trimmed(defaultValue ? defaultValue : "");
  }
  // Windows copies what fits and cuts the rest.
  size_t length = value.size() < size - 1 ? value.size() : size - 1;
  memcpy(buffer, value.data(), length);
  buffer[length] = '\0';
  return static_cast<DWORD>(length);
}
