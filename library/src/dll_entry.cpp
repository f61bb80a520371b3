// Entry point: records the module handle and traces the loading and unloading.
#include <windows.h>

#include "module.h"
#include "trace_log.h"

#if defined(_WIN32)

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      // First: the settings file and the trace folder are found through it.
      SetLumoxModule(instance);
      TraceLog("ST", "DLL利用開始。");
      break;
    case DLL_PROCESS_DETACH: TraceLog("ED", "DLL利用終了。"); break;
    default: break;
  }
  return TRUE;
}

#else

namespace {

__attribute__((constructor)) void LumoxAttach() {
  HMODULE self = nullptr;
  if (GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCSTR>(&LumoxAttach), &self)) {
    SetLumoxModule(self);
  }
  TraceLog("ST", "DLL利用開始。");
}

__attribute__((destructor)) void LumoxDetach() { TraceLog("ED", "DLL利用終了。"); }

}  // namespace

#endif
