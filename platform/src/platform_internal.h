// Helpers shared by the Linux implementations of the Win32 subset.
#pragma once
#include <windows.h>

#include <string>

namespace lumox_platform {

// The Windows error code for an errno value of a file-system call on `path`.
// ENOENT becomes ERROR_PATH_NOT_FOUND when the folder part does not exist.
DWORD ErrorFromErrno(int err, const char *fsPath = nullptr);
// Sets the last error from errno (see ErrorFromErrno).
void SetLastErrorFromErrno(int err, const char *fsPath = nullptr);

// An ANSI (code page 932) path as the file system holds it (UTF-8). ASCII passes unchanged;
// bytes that are not code page 932 are kept as they are.
std::string AnsiToFs(const char *ansi);
// A file-system (UTF-8) path as ANSI text; falls back to the raw bytes when the name has
// characters code page 932 cannot hold.
std::string FsToAnsi(const std::string &fs);

// Code page 932 conversion of whole texts, without default characters: false when a
// character has no mapping.
bool Cp932ToUtf8(const std::string &in, std::string &out);
bool Utf8ToCp932(const std::string &in, std::string &out);

}  // namespace lumox_platform
