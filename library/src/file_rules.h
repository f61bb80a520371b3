// Rules both engines share for the file a reply body is saved into: the length header
// "LFile-Length", the announced Content-Length, the temporary file used while an existing
// target is being replaced, and the copy of a reply body into a local file.
#pragma once
#include <windows.h>
#include <wininet.h>
#include <stdint.h>

// Longest local path, in bytes, without its terminator.
constexpr size_t kMaxLocalPath = 260;
// Size of the temporary-name buffer, terminator included.
constexpr size_t kTempNameSize = 260;
// Transfer block.
constexpr DWORD kBlockSize = 1024;

// The calling thread's last error, or fallback when the failed call left it at 0 (a
// result of 0 would read as success).
int LastErrorOr(DWORD fallback);

// Value of the reply header "LFile-Length" read as a 64-bit decimal number (optional blanks
// and sign, then digits), 0 when it is missing, longer than 15 characters or not a number.
int64_t ReadLengthHeader(HINTERNET request);

// The reply's announced Content-Length; false when it has none.
bool QueryContentLength(HINTERNET request, uint64_t *length);

// False when target exists and its temporary names would not fit kTempNameSize.
bool TempNameFits(const char *target);

// The file a reply body is written into: the target itself, or a temporary file beside an
// existing target that replaces it only once the transfer has succeeded.
struct SaveTarget {
  const char *path = nullptr;
  char tempName[kTempNameSize] = {};
  bool useTemp = false;
  HANDLE file = INVALID_HANDLE_VALUE;
};

// Creates the file to write. exists says whether target named an existing file when the
// caller looked. A temporary name is taken by exclusive creation, trying .tmp0000 to
// .tmp0999 and skipping names that exist. Returns 0, 10001 (name too long) or 10002.
int CreateSaveTarget(SaveTarget *target, const char *path, bool exists);

// Closes the file if it is still open (no trace line).
void CloseSaveTarget(SaveTarget *target);

// Applies the end of the temporary-file rule after the file has been closed and returns the
// final result: on success the temporary file replaces the target in one step (10002 when
// that fails, with the target untouched and the download kept in the temporary file); on
// failure the temporary file, or a newly written target, is deleted. traced writes the
// download engine's "DeleteFile" and "MoveFile" lines.
int FinishSaveTarget(SaveTarget *target, int result, bool traced);

// How a reply-body copy ended.
enum class CopyEnd {
  kComplete,   // the reply ended (a read of 0 bytes)
  kTimeLimit,  // TotalLimitMs was reached; the partial file stays
  kFailed,     // a read or write failed; *error holds its code
};

// Copies the reply body of request into file in blocks of kBlockSize, checking the overall
// time limit after each successful read. failOnReadError false ends the copy quietly at a
// failed read (the reply file of an upload keeps what arrived). *received counts the bytes
// written.
CopyEnd CopyReplyBody(HINTERNET request, HANDLE file, bool failOnReadError, uint64_t *received,
                      int *error);
