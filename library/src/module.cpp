// The module handle and result strings for automation hosts.
#include "module.h"

#include <string.h>

namespace {
// Written once by the entry point before any export can run; read-only afterwards.
HMODULE g_module = nullptr;
}  // namespace

HMODULE LumoxModule() { return g_module; }

void SetLumoxModule(HMODULE module) { g_module = module; }

void SetResultString(BSTR *target, const char *text) {
  if (target == nullptr || text == nullptr) return;
  if (*target != nullptr) {
    SysFreeString(*target);
    *target = nullptr;
  }
  size_t length = strlen(text);
  if (length == 0) return;
  // A null source makes an uninitialised string of exactly length bytes: no conversion.
  BSTR result = SysAllocStringByteLen(nullptr, static_cast<UINT>(length));
  *target = result;
  // NOLINTNEXTLINE(bugprone-not-null-terminated-result): the allocation adds the terminator.
  if (result != nullptr) memcpy(result, text, length);
}
