// Helpers shared by the Linux implementations of the Win32 subset.
#pragma once
#include <windows.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace lumox_platform {

// ----- bulk data buffers -----

// Buffers that body and file data move through start on a page boundary. Some processors
// copy an order of magnitude more slowly when the destination lies a few bytes past the
// source within a page (see CopyBulk), and read(2) copies from page-cache pages, which
// start on one: a read-ahead buffer 16 bytes past a page boundary took 0.5 s per GiB
// against 0.09 s. The buffers are mapped and unmapped on their own, so their pages go
// back to the system as soon as a transfer ends instead of staying in the allocator's
// per-thread arenas.
struct BulkRelease {
  size_t size = 0;
  void operator()(char *p) const;
};
using BulkBuffer = std::unique_ptr<char[], BulkRelease>;
// `size` bytes, or null when there is no memory for them.
BulkBuffer NewBulkBuffer(size_t size);

// memcpy for blocks of body data. A large memcpy whose destination lies a few bytes past
// its source within a page (the distance modulo 4096 under 64) runs an order of magnitude
// slower on some processors; that case is copied in 64-byte pieces instead.
void CopyBulk(char *to, const char *from, size_t n);

// ----- last error (last_error.cpp) -----

// Sets the last error and returns FALSE: the failure return of a BOOL call.
BOOL Fail(DWORD code);
// The same for a call whose failure value is another one (nullptr, 0, INVALID_HANDLE_VALUE).
template <class T>
T Fail(DWORD code, T failureValue) {
  SetLastError(code);
  return failureValue;
}

// The Windows error code for an errno value of a file-system call on `path`.
// ENOENT becomes ERROR_PATH_NOT_FOUND when the folder part does not exist.
DWORD ErrorFromErrno(int err, const char *fsPath = nullptr);
// Sets the last error from errno (see ErrorFromErrno).
void SetLastErrorFromErrno(int err, const char *fsPath = nullptr);

// ----- values handed back into a caller's buffer (caller_buffer.cpp) -----
// Both return ERROR_SUCCESS, or ERROR_INSUFFICIENT_BUFFER with *length set to the size
// needed; they never set the last error themselves.

// A terminated text; *length becomes its length without the terminator.
DWORD ReturnString(const std::string &value, LPVOID buffer, LPDWORD length);
// A DWORD; *length becomes sizeof(DWORD).
DWORD ReturnDword(DWORD value, LPVOID buffer, LPDWORD length);

// ----- ASCII text rules (ascii_text.cpp) -----

// Equal but for the case of ASCII letters; other bytes compare as they are.
bool EqualsNoCase(const char *a, size_t aLength, const char *b, size_t bLength);
bool EqualsNoCase(const std::string &a, const std::string &b);
// A character that may stand in a URL scheme name (letters, digits, '+', '.', '-').
bool IsSchemeChar(char c);

// Non-empty entries of a list whose entries any of `separators` ends.
std::vector<std::string> SplitList(const std::string &list, const char *separators);

// ----- host and port of a URL's authority (host_port.cpp) -----

const unsigned kMaxPort = 65535;

// The parts of an authority "host", "host:port", "[address]" or "[address]:port" (the user
// part already taken off), as references into its text. The port follows the last ':' that
// is not inside an IPv6 address's brackets.
struct Authority {
  const char *host = nullptr;  // an IPv6 address with its brackets
  size_t hostLength = 0;
  const char *port = nullptr;  // after the ':'; null when there is no ':'
  size_t portLength = 0;
};
// False for a '[' without its ']', or a ']' followed by anything but ":port".
bool SplitAuthority(const char *text, size_t length, Authority *out);
// The one port rule: decimal digits only, 1 to 65535; a port that is absent (null) or empty
// is `defaultPort`. False, with *port untouched, for anything else.
bool PortOf(const char *text, size_t length, unsigned defaultPort, unsigned *port);
// Both at once: the bare host (not empty) and the port of `authority`.
bool CrackHostPort(const std::string &authority, unsigned defaultPort, std::string *host,
                   unsigned *port);

// ----- code page 932 (codepage.cpp) -----

// The first byte of a double-byte character.
bool IsLeadByte(unsigned char b);

// An ANSI (code page 932) path as the file system holds it (UTF-8). ASCII passes unchanged;
// bytes that are not code page 932 are kept as they are.
std::string AnsiToFs(const char *ansi);
// A file-system (UTF-8) path as ANSI text; falls back to the raw bytes when the name has
// characters code page 932 cannot hold.
std::string FsToAnsi(const std::string &fs);

// A wide (UTF-16) name as the file-system (UTF-8) path it encodes, and back. False (with
// ERROR_PATH_NOT_FOUND, or ERROR_NO_UNICODE_TRANSLATION for a lone surrogate or a name that is
// not UTF-8) when there is none.
bool WideToFs(LPCWSTR wide, std::string &fs);
bool FsToWide(const std::string &fs, std::u16string &wide);

// Code page 932 conversion of whole texts, without default characters: false when a
// character has no mapping.
bool Cp932ToUtf8(const std::string &in, std::string &out);
bool Utf8ToCp932(const std::string &in, std::string &out);

}  // namespace lumox_platform
