// Shell path helpers for the Linux build, with '/' as the path separator.
#pragma once
#include <windows.h>

LUMOX_PLATFORM_API BOOL WINAPI PathRemoveFileSpecA(LPSTR path);
LUMOX_PLATFORM_API BOOL WINAPI PathAppendA(LPSTR path, LPCSTR more);
LUMOX_PLATFORM_API BOOL WINAPI PathFileExistsA(LPCSTR path);
