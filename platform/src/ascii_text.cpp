// ASCII text rules shared by the URL, profile, path and WinINet code: comparison without
// regard to case, the characters of a URL scheme name, and lists split at separators.
#include "platform_internal.h"

namespace lumox_platform {

namespace {
unsigned char LowerAscii(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return (u >= 'A' && u <= 'Z') ? static_cast<unsigned char>(u - 'A' + 'a') : u;
}
}  // namespace

bool EqualsNoCase(const char *a, size_t aLength, const char *b, size_t bLength) {
  if (aLength != bLength) return false;
  for (size_t i = 0; i < aLength; ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

bool EqualsNoCase(const std::string &a, const std::string &b) {
  return EqualsNoCase(a.data(), a.size(), b.data(), b.size());
}

bool IsSchemeChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '.' || c == '-';
}

std::vector<std::string> SplitList(const std::string &list, const char *separators) {
  std::vector<std::string> entries;
  size_t pos = 0;
  while (pos < list.size()) {
    size_t end = list.find_first_of(separators, pos);
    if (end == std::string::npos) end = list.size();
    if (end > pos) entries.push_back(list.substr(pos, end - pos));
    pos = end + 1;
  }
  return entries;
}

}  // namespace lumox_platform
