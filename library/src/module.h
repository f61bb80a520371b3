// The library's own module handle, and handing text back to automation hosts.
#pragma once
#include <windows.h>
#include <oleauto.h>

// Recorded once at process attach; null (the host program) until then, which is what
// unit tests linked against the static core see.
HMODULE LumoxModule();
void SetLumoxModule(HMODULE module);

// Stores text as an automation string holding its ANSI bytes in *target, freeing what
// the variable held. A null text changes nothing; an empty one leaves the variable null.
void SetResultString(BSTR *target, const char *text);
