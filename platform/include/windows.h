// Win32 subset for the Linux build: the types, constants and kernel32/user32 calls the
// library and its tests use. The implementation lives in platform/src/.
#pragma once
#include <stddef.h>
#include <stdint.h>
#ifndef __cplusplus
#include <uchar.h>
#endif

#ifdef __cplusplus
#define LUMOX_PLATFORM_API extern "C"
#else
#define LUMOX_PLATFORM_API extern
#endif

#define WINAPI
#define CALLBACK
#define APIENTRY
#define STDAPI LUMOX_PLATFORM_API HRESULT
#define STDAPI_(t) LUMOX_PLATFORM_API t
#define __stdcall
#define __cdecl

typedef int BOOL;
typedef BOOL *PBOOL, *LPBOOL;
typedef unsigned char BYTE;
typedef BYTE *PBYTE, *LPBYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef DWORD *PDWORD, *LPDWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int INT;
typedef unsigned int UINT;
typedef short SHORT;
typedef unsigned short USHORT;
typedef char CHAR;
typedef char16_t WCHAR;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uintptr_t ULONG_PTR, DWORD_PTR, UINT_PTR, SIZE_T;
typedef intptr_t LONG_PTR, INT_PTR;
typedef LONG HRESULT;
typedef void VOID;
typedef void *PVOID, *LPVOID;
typedef const void *LPCVOID;
typedef CHAR *PSTR, *LPSTR;
typedef const CHAR *PCSTR, *LPCSTR;
typedef WCHAR *PWSTR, *LPWSTR;
typedef const WCHAR *PCWSTR, *LPCWSTR;
typedef void *HANDLE;
typedef HANDLE *PHANDLE, *LPHANDLE;
typedef struct HINSTANCE__ *HINSTANCE;
typedef HINSTANCE HMODULE;
typedef INT_PTR (*FARPROC)(void);

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#define MAX_PATH 260
#define INFINITE 0xFFFFFFFFu
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define INVALID_FILE_SIZE ((DWORD)0xFFFFFFFF)
#define FILE_TYPE_UNKNOWN 0x0000u
#define FILE_TYPE_DISK 0x0001u
#define FILE_TYPE_CHAR 0x0002u
#define FILE_TYPE_PIPE 0x0003u
#define MAKELONG(a, b) ((LONG)(((WORD)(a)) | ((DWORD)((WORD)(b))) << 16))
#define LOWORD(l) ((WORD)((DWORD_PTR)(l)&0xffff))
#define HIWORD(l) ((WORD)((DWORD_PTR)(l) >> 16))

typedef struct _SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
} SYSTEMTIME, *PSYSTEMTIME, *LPSYSTEMTIME;

typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _OVERLAPPED OVERLAPPED, *LPOVERLAPPED;

typedef union _LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

// Access, sharing and creation.
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2
#define INVALID_SET_FILE_POINTER ((DWORD)-1)
#define MOVEFILE_REPLACE_EXISTING 0x00000001u
#define MOVEFILE_COPY_ALLOWED 0x00000002u
#define MOVEFILE_WRITE_THROUGH 0x00000008u

// Code pages.
#define CP_ACP 0
#define CP_OEMCP 1
#define CP_UTF8 65001
#define MB_ERR_INVALID_CHARS 0x00000008u
#define WC_NO_BEST_FIT_CHARS 0x00000400u

// Module handles.
#define GET_MODULE_HANDLE_EX_FLAG_PIN 0x00000001u
#define GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT 0x00000002u
#define GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS 0x00000004u

// Entry-point notifications.
#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

// System error codes.
#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_TOO_MANY_OPEN_FILES 4L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_WRITE_FAULT 29L
#define ERROR_READ_FAULT 30L
#define ERROR_NOT_SAME_DEVICE 17L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_HANDLE_EOF 38L
#define ERROR_HANDLE_DISK_FULL 39L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_FILE_EXISTS 80L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_DISK_FULL 112L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_NEGATIVE_SEEK 131L
#define ERROR_DIR_NOT_EMPTY 145L
#define ERROR_BAD_PATHNAME 161L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_BAD_EXE_FORMAT 193L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_DIRECTORY 267L
#define ERROR_MORE_DATA 234L
#define ERROR_NOACCESS 998L
#define ERROR_IO_PENDING 997L
#define ERROR_INVALID_FLAGS 1004L
#define ERROR_NO_UNICODE_TRANSLATION 1113L

// Last error, per thread.
LUMOX_PLATFORM_API DWORD WINAPI GetLastError(void);
LUMOX_PLATFORM_API void WINAPI SetLastError(DWORD code);

// Files and handles. Share mode 0 keeps the Windows meaning: a second open of the same
// file fails with ERROR_SHARING_VIOLATION until the first handle is closed.
LUMOX_PLATFORM_API HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share,
                                             LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                                             DWORD flags, HANDLE templateFile);
LUMOX_PLATFORM_API BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read,
                                        LPOVERLAPPED overlapped);
LUMOX_PLATFORM_API BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite,
                                         LPDWORD written, LPOVERLAPPED overlapped);
LUMOX_PLATFORM_API DWORD WINAPI GetFileSize(HANDLE file, LPDWORD high);
LUMOX_PLATFORM_API BOOL WINAPI GetFileSizeEx(HANDLE file, PLARGE_INTEGER size);
// FILE_TYPE_DISK for a regular file, FILE_TYPE_PIPE for a FIFO or socket, FILE_TYPE_CHAR
// for a character device; FILE_TYPE_UNKNOWN for anything else.
LUMOX_PLATFORM_API DWORD WINAPI GetFileType(HANDLE file);
LUMOX_PLATFORM_API DWORD WINAPI SetFilePointer(HANDLE file, LONG distance, LONG *high,
                                               DWORD method);
LUMOX_PLATFORM_API BOOL WINAPI SetFilePointerEx(HANDLE file, LARGE_INTEGER distance,
                                                PLARGE_INTEGER newPosition, DWORD method);
LUMOX_PLATFORM_API BOOL WINAPI SetEndOfFile(HANDLE file);
LUMOX_PLATFORM_API BOOL WINAPI FlushFileBuffers(HANDLE file);
LUMOX_PLATFORM_API BOOL WINAPI CloseHandle(HANDLE handle);
LUMOX_PLATFORM_API BOOL WINAPI DeleteFileA(LPCSTR name);
LUMOX_PLATFORM_API BOOL WINAPI MoveFileA(LPCSTR from, LPCSTR to);
LUMOX_PLATFORM_API BOOL WINAPI MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags);
LUMOX_PLATFORM_API BOOL WINAPI CopyFileA(LPCSTR from, LPCSTR to, BOOL failIfExists);
LUMOX_PLATFORM_API BOOL WINAPI CreateDirectoryA(LPCSTR name, LPSECURITY_ATTRIBUTES sa);
LUMOX_PLATFORM_API BOOL WINAPI RemoveDirectoryA(LPCSTR name);
LUMOX_PLATFORM_API DWORD WINAPI GetTempPathA(DWORD size, LPSTR buffer);
LUMOX_PLATFORM_API DWORD WINAPI GetFileAttributesA(LPCSTR name);
// A wide name is UTF-16; on this system it names the file-system (UTF-8) path it encodes.
LUMOX_PLATFORM_API DWORD WINAPI GetFileAttributesW(LPCWSTR name);
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)
#define FILE_ATTRIBUTE_READONLY 0x00000001u
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020u

// Modules.
LUMOX_PLATFORM_API DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size);
LUMOX_PLATFORM_API DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size);
LUMOX_PLATFORM_API BOOL WINAPI GetModuleHandleExA(DWORD flags, LPCSTR name, HMODULE *module);
LUMOX_PLATFORM_API HMODULE WINAPI LoadLibraryA(LPCSTR name);
LUMOX_PLATFORM_API BOOL WINAPI FreeLibrary(HMODULE module);
LUMOX_PLATFORM_API FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name);

// Profile (INI) reading.
LUMOX_PLATFORM_API UINT WINAPI GetPrivateProfileIntA(LPCSTR section, LPCSTR key, INT defaultValue,
                                                     LPCSTR fileName);
// One key's value (no listing of sections or keys: section and key are required).
LUMOX_PLATFORM_API DWORD WINAPI GetPrivateProfileStringA(LPCSTR section, LPCSTR key,
                                                         LPCSTR defaultValue, LPSTR buffer,
                                                         DWORD size, LPCSTR fileName);
LUMOX_PLATFORM_API UINT WINAPI GetPrivateProfileIntW(LPCWSTR section, LPCWSTR key, INT defaultValue,
                                                     LPCWSTR fileName);
// As Windows does, the last error tells what was found: 0 the key, ERROR_FILE_NOT_FOUND no
// such file, section or key, another code a file that could not be read.
LUMOX_PLATFORM_API DWORD WINAPI GetPrivateProfileStringW(LPCWSTR section, LPCWSTR key,
                                                         LPCWSTR defaultValue, LPWSTR buffer,
                                                         DWORD size, LPCWSTR fileName);

// Fills memory with zero bytes in a way the compiler does not drop as a dead store: for
// secrets that must not outlive their use.
LUMOX_PLATFORM_API PVOID WINAPI SecureZeroMemory(PVOID memory, SIZE_T length);

// Time.
LUMOX_PLATFORM_API void WINAPI GetLocalTime(LPSYSTEMTIME time);
LUMOX_PLATFORM_API DWORD WINAPI GetTickCount(void);
LUMOX_PLATFORM_API void WINAPI Sleep(DWORD milliseconds);

// Code pages: CP_ACP is code page 932 (Shift-JIS).
LUMOX_PLATFORM_API UINT WINAPI GetACP(void);
LUMOX_PLATFORM_API int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide,
                                                  int wideLen, LPSTR out, int outSize,
                                                  LPCSTR defaultChar, LPBOOL usedDefault);
LUMOX_PLATFORM_API int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR in, int inLen,
                                                  LPWSTR out, int outSize);
LUMOX_PLATFORM_API int WINAPI lstrlenA(LPCSTR text);

#include <oleauto.h>
