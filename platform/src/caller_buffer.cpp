// Values handed back into a buffer the caller sized: the text and DWORD forms shared by the
// query calls (InternetQueryOptionA, HttpQueryInfoA) and InternetCanonicalizeUrlA.
#include <string.h>

#include "platform_internal.h"

namespace lumox_platform {

DWORD ReturnString(const std::string &value, LPVOID buffer, LPDWORD length) {
  DWORD need = static_cast<DWORD>(value.size() + 1);
  if (!buffer || *length < need) {
    *length = need;
    return ERROR_INSUFFICIENT_BUFFER;
  }
  memcpy(buffer, value.c_str(), need);
  *length = need - 1;
  return ERROR_SUCCESS;
}

DWORD ReturnDword(DWORD value, LPVOID buffer, LPDWORD length) {
  bool fits = buffer && *length >= sizeof(DWORD);
  *length = sizeof(DWORD);
  if (!fits) return ERROR_INSUFFICIENT_BUFFER;
  memcpy(buffer, &value, sizeof(DWORD));
  return ERROR_SUCCESS;
}

}  // namespace lumox_platform
