// Profile (INI) reading. The file is read again on every call. The rules follow the
// Windows profile reader: names compare without regard to case, blanks around key names
// and values are dropped, the first matching section and key win, a value in quotes loses
// them, and the integer is read with base prefixes ("0x" hex, "0o" octal, "0b" binary).
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
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

// False, with the reason in *error when asked for, when the file cannot be opened or read.
bool ReadWholeFile(const std::string &path, std::string &contents, int *error = nullptr) {
  FILE *file = fopen(path.c_str(), "rb");
  if (!file) {
    if (error != nullptr) *error = errno;
    return false;
  }
  char block[8192];
  size_t n;
  while ((n = fread(block, 1, sizeof block, file)) > 0) contents.append(block, n);
  bool failed = ferror(file) != 0;  // a folder opens but cannot be read
  if (failed && error != nullptr) *error = errno;
  fclose(file);  // NOLINT(cert-err33-c): opened for reading only
  return !failed;
}

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
    const char *equals = std::find(begin, end, '=');
    const char *nameEnd = equals;
    while (nameEnd > begin && IsBlank(nameEnd[-1])) --nameEnd;
    if (!SameName(begin, static_cast<size_t>(nameEnd - begin), key)) continue;
    if (equals == end) {
      value.clear();
      return true;
    }
    const char *valueBegin = equals + 1;
    while (valueBegin < end && IsBlank(*valueBegin)) ++valueBegin;
    value.assign(valueBegin, end);
    value.resize(strnlen(value.c_str(), value.size()));  // a NUL byte ends the text
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

// An ASCII or UTF-16 section or key name as the UTF-8 the file is compared in.
bool WideName(LPCWSTR wide, std::string &out) {
  if (wide == nullptr) return false;
  size_t length = 0;
  while (wide[length]) ++length;
  bool invalid = false;
  std::u16string text(wide, length);
  out.clear();
  for (char16_t c : text) {
    if (c >= 0x80) invalid = true;
    out += static_cast<char>(c);
  }
  // Section and key names of other scripts are compared as UTF-8.
  if (invalid) {
    int n = WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), nullptr, 0, nullptr,
                                nullptr);
    if (n <= 0) return false;
    out.assign(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), &out[0], n, nullptr, nullptr);
  }
  return true;
}

// The value of a key of a file named in UTF-16, as WinINet's W profile calls find it:
// ERROR_SUCCESS when the key was found, ERROR_FILE_NOT_FOUND when the file, section or key is
// not there, and the reason of the failure when the file could not be read. The W calls
// leave it as their last error.
DWORD FindWide(LPCWSTR section, LPCWSTR key, LPCWSTR fileName, std::string &value) {
  std::string fs, sectionName, keyName, contents;
  if (!lumox_platform::WideToFs(fileName, fs) || !WideName(section, sectionName) ||
      !WideName(key, keyName))
    return ERROR_FILE_NOT_FOUND;
  int error = 0;
  if (!ReadWholeFile(fs, contents, &error))
    return lumox_platform::ErrorFromErrno(error, fs.c_str());
  if (!FindValue(contents, Trimmed(sectionName.c_str()), Trimmed(keyName.c_str()), value))
    return ERROR_FILE_NOT_FOUND;
  return ERROR_SUCCESS;
}

// The value of a key of a file named in ANSI; false when the file, section or key is not
// there or the file cannot be read.
bool FindAnsi(LPCSTR section, LPCSTR key, LPCSTR fileName, std::string &value) {
  std::string contents;
  return section && key && fileName && *fileName &&
         ReadWholeFile(lumox_platform::AnsiToFs(fileName), contents) &&
         FindValue(contents, Trimmed(section), Trimmed(key), value);
}

// A found value's integer; the default for a value not found or empty.
UINT IntegerOr(bool found, const std::string &value, INT defaultValue) {
  if (!found || value.empty()) return static_cast<UINT>(defaultValue);
  return ParseInteger(value);
}

// Copies what fits of `text` into the caller's buffer, terminated, and cuts the rest, as
// Windows does; the characters copied.
template <class Char>
DWORD CopyCut(const std::basic_string<Char> &text, Char *buffer, DWORD size) {
  size_t length = text.size() < size - 1 ? text.size() : size - 1;
  memcpy(buffer, text.data(), length * sizeof(Char));
  buffer[length] = 0;
  return static_cast<DWORD>(length);
}

}  // namespace

extern "C" UINT WINAPI GetPrivateProfileIntA(LPCSTR section, LPCSTR key, INT defaultValue,
                                             LPCSTR fileName) {
  std::string value;
  return IntegerOr(FindAnsi(section, key, fileName, value), value, defaultValue);
}

extern "C" DWORD WINAPI GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR defaultValue,
                                                 LPSTR buffer, DWORD size, LPCSTR fileName) {
  if (!buffer || size == 0) return 0;
  std::string value;
  if (!FindAnsi(section, key, fileName, value)) value = Trimmed(defaultValue ? defaultValue : "");
  return CopyCut(value, buffer, size);
}

extern "C" UINT WINAPI GetPrivateProfileIntW(LPCWSTR section, LPCWSTR key, INT defaultValue,
                                             LPCWSTR fileName) {
  std::string value;
  DWORD error = FindWide(section, key, fileName, value);
  SetLastError(error);
  return IntegerOr(error == ERROR_SUCCESS, value, defaultValue);
}

extern "C" DWORD WINAPI GetPrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR defaultValue,
                                                 LPWSTR buffer, DWORD size, LPCWSTR fileName) {
  if (!buffer || size == 0) return 0;
  std::u16string text;
  std::string value;
  DWORD error = FindWide(section, key, fileName, value);
  if (error == ERROR_SUCCESS) {
    lumox_platform::FsToWide(value, text);  // the value as UTF-8, as Windows reads a UTF-8 file
  } else {
    std::string fallback;
    WideName(defaultValue != nullptr ? defaultValue : u"", fallback);
    lumox_platform::FsToWide(Trimmed(fallback.c_str()), text);
  }
  DWORD length = CopyCut(text, buffer, size);
  SetLastError(error);
  return length;
}
