// InternetCanonicalizeUrlA: resolves "." and ".." path segments and escapes characters
// that may not stand in a URL. In browser mode the query and fragment are left as written.
#include <string.h>

#include <string>
#include <vector>

#include <wininet.h>

#include "platform_internal.h"

namespace {

bool IsSchemeChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '.' || c == '-';
}

// Characters that are escaped as %XX in the path (and in the query outside browser mode).
bool IsUnsafe(unsigned char c) {
  if (c <= 0x20 || c >= 0x7F) return true;
  return strchr("\"<>\\^`{|}", c) != nullptr;
}

void AppendEscaped(std::string &out, const std::string &text, bool escape) {
  static const char kHex[] = "0123456789ABCDEF";
  for (unsigned char c : text) {
    if (escape && IsUnsafe(c)) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
}

std::string RemoveDotSegments(const std::string &path) {
  std::vector<std::string> parts;
  size_t pos = 0;
  bool trailing = false;
  while (pos <= path.size()) {
    size_t slash = path.find('/', pos);
    if (slash == std::string::npos) slash = path.size();
    std::string part = path.substr(pos, slash - pos);
    bool last = slash == path.size();
    pos = slash + 1;
    if (part == ".") {
      trailing = last;
      continue;
    }
    if (part == "..") {
      if (parts.size() > 1) parts.pop_back();
      trailing = last;
      continue;
    }
    parts.push_back(part);
    trailing = false;
  }
  std::string result;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) result += '/';
    result += parts[i];
  }
  if (trailing && (result.empty() || result.back() != '/')) result += '/';
  return result;
}

// The canonical form, or false when the text is not a URL.
bool Canonicalize(const std::string &url, DWORD flags, std::string &out) {
  std::string text = url;
  // Leading and trailing blanks and control characters are dropped.
  size_t first = 0;
  while (first < text.size() && static_cast<unsigned char>(text[first]) <= 0x20) ++first;
  size_t last = text.size();
  while (last > first && static_cast<unsigned char>(text[last - 1]) <= 0x20) --last;
  text = text.substr(first, last - first);

  size_t colon = 0;
  while (colon < text.size() && IsSchemeChar(text[colon])) ++colon;
  if (colon == 0 || colon >= text.size() || text[colon] != ':') return false;
  std::string scheme = text.substr(0, colon);
  for (char &c : scheme) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  std::string rest = text.substr(colon + 1);
  bool escape = (flags & ICU_NO_ENCODE) == 0;
  bool browser = (flags & ICU_BROWSER_MODE) != 0;

  out = scheme + ":";
  if (rest.compare(0, 2, "//") != 0) {
    AppendEscaped(out, rest, escape && (flags & ICU_ENCODE_SPACES_ONLY) == 0);
    return true;
  }
  size_t authorityEnd = rest.find_first_of("/?#", 2);
  if (authorityEnd == std::string::npos) authorityEnd = rest.size();
  std::string authority = rest.substr(2, authorityEnd - 2);
  std::string remainder = rest.substr(authorityEnd);
  size_t extraAt = remainder.find_first_of("?#");
  std::string path = remainder.substr(0, extraAt);
  std::string extra = extraAt == std::string::npos ? std::string() : remainder.substr(extraAt);
  if (path.empty()) path = "/";
  path = RemoveDotSegments(path);

  out += "//";
  out += authority;
  AppendEscaped(out, path, escape);
  if (!extra.empty()) {
    if (browser || extra[0] == '#') out += extra;
    else AppendEscaped(out, extra, escape);
  }
  return true;
}

}  // namespace

extern "C" BOOL WINAPI InternetCanonicalizeUrlA(LPCSTR url, LPSTR buffer, LPDWORD length,
                                                DWORD flags) {
  if (!url || !buffer || !length) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string result;
  if (!Canonicalize(url, flags, result)) {
    SetLastError(ERROR_INTERNET_INVALID_URL);
    return FALSE;
  }
  if (result.size() + 1 > *length) {
    *length = static_cast<DWORD>(result.size() + 1);
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  memcpy(buffer, result.c_str(), result.size() + 1);
  *length = static_cast<DWORD>(result.size());
  return TRUE;
}
