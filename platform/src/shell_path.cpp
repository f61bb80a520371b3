// Shell path helpers with '/' as the separator. Code page 932 texts are walked character
// by character so a trail byte is never taken for a separator.
#include <string.h>

#include <string>
#include <vector>

#include "platform_internal.h"

using lumox_platform::IsLeadByte;
using lumox_platform::SplitList;

namespace {

char *NextChar(char *p) {
  if (IsLeadByte(static_cast<unsigned char>(*p)) && p[1]) return p + 2;
  return p + 1;
}

// Drops "." segments and resolves ".." against the segment before it; the root stays.
std::string Canonical(const std::string &path) {
  bool absolute = !path.empty() && path[0] == '/';
  bool trailing = path.size() > 1 && path.back() == '/';
  std::vector<std::string> parts;
  for (const std::string &part : SplitList(path, "/")) {
    if (part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  std::string result = absolute ? "/" : "";
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) result += '/';
    result += parts[i];
  }
  if (trailing && !parts.empty()) result += '/';
  return result;
}

}  // namespace

extern "C" BOOL WINAPI PathRemoveFileSpecA(LPSTR path) {
  if (!path) return FALSE;
  char *p = path;
  char *fileName = path;
  // A leading separator (or two, for a network path) is the root and stays.
  if (*p == '/') fileName = ++p;
  if (*p == '/') fileName = ++p;
  while (*p) {
    if (*p == '/') fileName = p;
    p = NextChar(p);
  }
  if (*fileName) {
    *fileName = '\0';
    return TRUE;
  }
  return FALSE;
}

extern "C" BOOL WINAPI PathAppendA(LPSTR path, LPCSTR more) {
  if (!path || !more) return FALSE;
  while (*more == '/') ++more;
  std::string joined(path);
  if (*more) {
    if (!joined.empty() && joined.back() != '/') joined += '/';
    joined += more;
  }
  // The combined path must fit MAX_PATH with its terminator; otherwise the path is emptied
  // and the call fails, as the system's path combination does.
  if (joined.size() >= MAX_PATH) {
    path[0] = '\0';
    return FALSE;
  }
  std::string result = Canonical(joined);
  if (result.size() >= MAX_PATH) {
    path[0] = '\0';
    return FALSE;
  }
  memcpy(path, result.c_str(), result.size() + 1);
  return TRUE;
}

extern "C" BOOL WINAPI PathFileExistsA(LPCSTR path) {
  if (!path) return FALSE;
  return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES ? TRUE : FALSE;
}
