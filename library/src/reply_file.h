// Saving a reply body into a local file: the temporary-file rule (an existing target is
// replaced only once the transfer has succeeded), the block copy under the overall time
// limit, and the length checks ("LFile-Length" and the announced Content-Length).
#pragma once
#include <windows.h>
#include <wininet.h>
#include <stdint.h>

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

// The file a reply body is written into: the target itself, or a temporary file beside an
// existing target that replaces it only once the transfer has succeeded.
struct SaveTarget {
  const char *path = nullptr;
  char tempName[kTempNameSize] = {};
  bool useTemp = false;
  bool gone = false;  // the file was deleted under the open handle: its name is not ours
};

// Creates the file to write into *file by the temporary-file rule. A target that does not
// exist is created exclusively; one that appears after the look is treated as existing, so
// a file someone else made is never emptied. Returns 0, LUMOX_E_FILE_CREATE, or
// LUMOX_E_TOO_LONG when a temporary name would not fit. traced writes "CreateFile--Exist"
// or "CreateFile--New".
int CreateSaveTarget(SaveTarget *target, const char *path, bool traced, HANDLE *file);

// Copies the reply body of request into the open file and checks it: LUMOX_E_SIZE_MISMATCH
// when fewer bytes arrived than the Content-Length announced or the file's size differs from
// a non-zero "LFile-Length"; a failed read or write gives its error. *timeLimit tells that
// the overall time limit ended the copy (ERROR_INTERNET_TIMEOUT; the partial file stays).
// flags: kCopyCounted tells the transfer observer the announced length and the bytes as they
// arrive; kCopyToObserver hands the body to the observer instead of file (which is then
// INVALID_HANDLE_VALUE) and checks the lengths by what it took.
int ReceiveReplyBody(HINTERNET request, HANDLE file, bool *timeLimit, unsigned flags = kCopyPlain);

// True when a transfer observer (transfer_hooks.h) takes reply bodies instead of files.
bool ObserverTakesReply();

// Closes the written file (writing closeTrace first when it is not null), then applies the end of
// the temporary-file rule and returns the final result. A close that fails replaces a result of 0
// or LUMOX_E_SIZE_MISMATCH with its error; a file deleted under the handle (ERROR_FILE_NOT_FOUND at
// the close) leaves the names alone, since whatever now bears them is not this transfer's. traced
// writes "DeleteFile" and "MoveFile".
int CloseSaveTarget(SaveTarget *target, HANDLE *file, int result, bool traced,
                    const char *closeTrace);

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
