// Saving a reply body into a local file: the temporary-file rule (an existing target is
// replaced only once the transfer has succeeded), the block copy under the overall time
// limit, and the length checks ("LFile-Length" and the announced Content-Length).
#pragma once
#include <windows.h>
#include <wininet.h>
#include <stdint.h>

// Longest local path, in bytes, without its terminator.
constexpr size_t kMaxLocalPath = 260;
// Size of the temporary-name buffer, terminator included.
constexpr size_t kTempNameSize = 260;

// False when target exists and its temporary names would not fit kTempNameSize.
bool TempNameFits(const char *target);

// How a reply-body copy ended.
enum class CopyEnd {
  kComplete,   // the reply ended (a read of 0 bytes)
  kTimeLimit,  // TotalLimitMs was reached; the partial file stays
  kFailed,     // a read or write failed; *error holds its code
};

// What a copy does besides writing the file: tell the transfer observer (transfer_hooks.h)
// the bytes received, and hand the body to the observer instead of the file.
enum CopyFlags : unsigned { kCopyPlain = 0, kCopyCounted = 1, kCopyToObserver = 2 };

// Copies the reply body of request into file in blocks of kBlockSize, checking the overall
// time limit after each successful read. failOnReadError false ends the copy quietly at a
// failed read (the reply file of an upload keeps what arrived). *received counts the bytes
// written. A file of INVALID_HANDLE_VALUE reads the body to its end and discards it.
CopyEnd CopyReplyBody(HINTERNET request, HANDLE file, bool failOnReadError, uint64_t *received,
                      int *error, unsigned flags = kCopyPlain);

// The reply's announced Content-Length; false when it has none.
bool QueryContentLength(HINTERNET request, uint64_t *length);

// Saves the reply body of request into path by the temporary-file rule; the file being
// written is *file (hLocalFile). Fails with LUMOX_E_SIZE_MISMATCH when fewer bytes arrived
// than the Content-Length announced, or when the file's size differs from a non-zero
// "LFile-Length", and with the close's error when closing the file fails (written data was
// lost); then the temporary file, or a newly written target, is deleted.
// ERROR_INTERNET_TIMEOUT leaves the partial file where it is and *file open for the
// closing block. traced writes the download engine's lines: "CreateFile--Exist" or
// "CreateFile--New", "InternetReadFile", "CloseHandle hLocalFile", "DeleteFile",
// "MoveFile". A transfer observer that takes the body gets it instead of path, which is
// then neither created nor touched; the length checks count what it took.
int SaveReplyBody(HINTERNET request, const char *path, bool traced, HANDLE *file);
