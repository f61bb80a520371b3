// InternetCanonicalizeUrlA: resolves "." and ".." path segments, turns '\' in the path of a
// hierarchical URL into '/', escapes characters that may not stand in a URL as %XX, and
// drops trailing blanks. The query and fragment are kept as written; bytes of 0x80 and
// above (code page 932 text) are kept too.
#include <string.h>

#include <string>
#include <vector>

#include <wininet.h>

#include "platform_internal.h"

using lumox_platform::Fail;
using lumox_platform::IsLeadByte;
using lumox_platform::IsSchemeChar;
using lumox_platform::ReturnString;

namespace {

bool IsUnsafe(unsigned char c) {
  if (c <= 0x20 || c == 0x7F) return true;
  return c != 0 && strchr("\"<>[]\\^`{|}", c) != nullptr;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

struct Escaping {
  bool escape;      // unsafe characters become %XX
  bool spacesOnly;  // only the space does
  bool percent;     // '%' does too
  bool decode;      // %XX sequences are decoded first
};

void Append(std::string &out, const std::string &text, const Escaping &how) {
  static const char kHex[] = "0123456789ABCDEF";
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (IsLeadByte(c) && i + 1 < text.size()) {  // a double-byte character stays whole
      out += text[i];
      out += text[++i];
      continue;
    }
    if (how.decode && c == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
        HexValue(text[i + 2]) >= 0) {
      c = static_cast<unsigned char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
      out += static_cast<char>(c);
      continue;
    }
    bool escape =
        how.escape && (how.spacesOnly ? c == ' ' : (IsUnsafe(c) || (how.percent && c == '%')));
    if (escape) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
}

// Resolves "." and ".." segments of an absolute path. A ".." with nothing before it is
// dropped, except as the whole path; a "." at the start or at the end is kept.
std::string RemoveDotSegments(const std::string &path) {
  if (path.empty() || path[0] != '/') return path;
  std::vector<std::string> segments;
  size_t pos = 1;
  for (;;) {
    size_t slash = path.find('/', pos);
    segments.push_back(
        path.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos));
    if (slash == std::string::npos) break;
    pos = slash + 1;
  }
  std::vector<std::string> kept;
  for (size_t i = 0; i < segments.size(); ++i) {
    const std::string &segment = segments[i];
    bool last = i + 1 == segments.size();
    if (segment == "." && i > 0 && !last) continue;
    if (segment == "..") {
      if (!kept.empty()) {
        kept.pop_back();
        if (last) kept.push_back("");  // the path keeps its closing '/'
        continue;
      }
      if (!(last && i == 0)) continue;
    }
    kept.push_back(segment);
  }
  std::string result;
  for (const std::string &segment : kept) {
    result += '/';
    result += segment;
  }
  return result.empty() ? "/" : result;
}

void Canonicalize(const std::string &url, DWORD flags, std::string &out) {
  size_t first = 0, last = url.size();
  while (first < last && static_cast<unsigned char>(url[first]) <= 0x20) ++first;
  while (last > first && static_cast<unsigned char>(url[last - 1]) <= 0x20) --last;
  std::string text = url.substr(first, last - first);

  Escaping how;
  how.escape = (flags & ICU_NO_ENCODE) == 0;
  how.spacesOnly = (flags & ICU_ENCODE_SPACES_ONLY) != 0;
  how.percent = (flags & ICU_ENCODE_PERCENT) != 0;
  how.decode = (flags & ICU_DECODE) != 0;

  out.clear();
  size_t colon = 0;
  while (colon < text.size() && IsSchemeChar(text[colon])) ++colon;
  bool hasScheme = colon > 0 && colon < text.size() && text[colon] == ':';
  std::string rest = hasScheme ? text.substr(colon + 1) : text;
  if (hasScheme) out = text.substr(0, colon + 1);

  std::string authority;
  bool hierarchical = hasScheme && rest.compare(0, 2, "//") == 0;
  if (hierarchical) {
    size_t authorityEnd = rest.find_first_of("/\\?#", 2);
    if (authorityEnd == std::string::npos) authorityEnd = rest.size();
    authority = rest.substr(2, authorityEnd - 2);
    rest = rest.substr(authorityEnd);
    out += "//";
    Append(out, authority, how);
  }
  size_t extraAt = rest.find_first_of("?#");
  std::string path = rest.substr(0, extraAt);
  std::string extra = extraAt == std::string::npos ? std::string() : rest.substr(extraAt);
  if (hierarchical) {
    for (size_t i = 0; i < path.size(); ++i) {
      if (IsLeadByte(static_cast<unsigned char>(path[i])))
        ++i;  // its trail byte may be 0x5C
      else if (path[i] == '\\')
        path[i] = '/';
    }
    if (path.empty() && extra.empty() && !authority.empty()) path = "/";
    path = RemoveDotSegments(path);
  }
  Append(out, path, how);
  if (how.decode) {
    Escaping keep = how;
    keep.escape = false;
    Append(out, extra, keep);
  } else {
    out += extra;
  }
}

}  // namespace

extern "C" BOOL WINAPI InternetCanonicalizeUrlA(LPCSTR url, LPSTR buffer, LPDWORD length,
                                                DWORD flags) {
  if (!url || !buffer || !length || *length == 0) return Fail(ERROR_INVALID_PARAMETER);
  std::string result;
  Canonicalize(url, flags, result);
  DWORD err = ReturnString(result, buffer, length);
  return err ? Fail(err) : TRUE;
}
