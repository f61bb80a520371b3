// Automation strings and arrays for the Linux build. A BSTR points at UTF-16 characters
// preceded by a 4-byte byte count and followed by a 2-byte terminator, as on Windows.
#pragma once
#include <windows.h>

typedef WCHAR OLECHAR;
typedef OLECHAR *LPOLESTR;
typedef const OLECHAR *LPCOLESTR;
typedef OLECHAR *BSTR;
typedef unsigned short VARTYPE;

typedef struct tagSAFEARRAYBOUND {
  ULONG cElements;
  LONG lLbound;
} SAFEARRAYBOUND, *LPSAFEARRAYBOUND;

typedef struct tagSAFEARRAY {
  USHORT cDims;
  USHORT fFeatures;
  ULONG cbElements;
  ULONG cLocks;
  PVOID pvData;
  SAFEARRAYBOUND rgsabound[1];
} SAFEARRAY, *LPSAFEARRAY;

#define FADF_AUTO 0x0001
#define FADF_STATIC 0x0002
#define FADF_EMBEDDED 0x0004
#define FADF_FIXEDSIZE 0x0010
#define FADF_RECORD 0x0020
#define FADF_BSTR 0x0100

#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_UNEXPECTED ((HRESULT)0x8000FFFFL)
#define E_OUTOFMEMORY ((HRESULT)0x8007000EL)
#define E_POINTER ((HRESULT)0x80004003L)
#define E_INVALIDARG ((HRESULT)0x80070057L)
#define DISP_E_ARRAYISLOCKED ((HRESULT)0x8002000DL)
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)

LUMOX_PLATFORM_API BSTR WINAPI SysAllocString(const OLECHAR *text);
LUMOX_PLATFORM_API BSTR WINAPI SysAllocStringLen(const OLECHAR *text, UINT length);
LUMOX_PLATFORM_API BSTR WINAPI SysAllocStringByteLen(LPCSTR bytes, UINT length);
LUMOX_PLATFORM_API void WINAPI SysFreeString(BSTR text);
LUMOX_PLATFORM_API UINT WINAPI SysStringLen(BSTR text);
LUMOX_PLATFORM_API UINT WINAPI SysStringByteLen(BSTR text);

LUMOX_PLATFORM_API HRESULT WINAPI SafeArrayAllocDescriptor(UINT dims, SAFEARRAY **out);
LUMOX_PLATFORM_API HRESULT WINAPI SafeArrayAllocData(SAFEARRAY *array);
LUMOX_PLATFORM_API HRESULT WINAPI SafeArrayDestroyData(SAFEARRAY *array);
LUMOX_PLATFORM_API HRESULT WINAPI SafeArrayDestroyDescriptor(SAFEARRAY *array);
LUMOX_PLATFORM_API HRESULT WINAPI SafeArrayLock(SAFEARRAY *array);
LUMOX_PLATFORM_API HRESULT WINAPI SafeArrayUnlock(SAFEARRAY *array);
