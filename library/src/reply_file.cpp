// Saving a reply body: temporary-file rule, block copy and length checks.
#include "reply_file.h"

#include <shlwapi.h>
#include <stdio.h>
#include <string.h>

#include "Lumox.h"
#include "last_error.h"
#include "settings.h"
#include "trace_log.h"
#include "transfer_call.h"
#include "transfer_hooks.h"

namespace {

constexpr char kLengthHeaderName[] = "LFile-Length";
constexpr size_t kLengthHeaderSize = 16;
constexpr int kMoveAttempts = 20;  // moves of a finished temporary file onto its target
constexpr DWORD kMoveRetryMs = 50;
constexpr int kMaxTempNumber = 1000;

// Leading decimal number of text as atol reads it, in 64 bits. At most 15 digits reach
// here, so it cannot overflow.
int64_t LeadingNumber(const char *text) {
  const char *p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  int64_t value = 0;
  while (*p >= '0' && *p <= '9') {
    value = value * 10 + (*p - '0');
    ++p;
  }
  return negative ? -value : value;
}

bool FormatTempName(char *out, const char *path, int number) {
  int n = snprintf(out, kTempNameSize, "%s.tmp%04d", path, number);
  return n > 0 && static_cast<size_t>(n) < kTempNameSize;
}

// Value of the reply header "LFile-Length" read as a 64-bit decimal number (optional blanks
// and sign, then digits), 0 when it is missing, longer than 15 characters or not a number.
int64_t ReadLengthHeader(HINTERNET request) {
  char buffer[kLengthHeaderSize];
  memset(buffer, 0, sizeof buffer);
  static_assert(sizeof kLengthHeaderName <= kLengthHeaderSize, "the name fits the buffer");
  memcpy(buffer, kLengthHeaderName, sizeof kLengthHeaderName);
  DWORD length = kLengthHeaderSize;
  if (!HttpQueryInfoA(request, HTTP_QUERY_CUSTOM, buffer, &length, nullptr)) return 0;
  buffer[kLengthHeaderSize - 1] = '\0';
  return LeadingNumber(buffer);
}

// The reply's announced Content-Length; false when it has none.
bool QueryContentLength(HINTERNET request, uint64_t *length) {
  char buffer[32];
  memset(buffer, 0, sizeof buffer);
  DWORD size = sizeof buffer;
  if (!HttpQueryInfoA(request, HTTP_QUERY_CONTENT_LENGTH, buffer, &size, nullptr)) return false;
  buffer[sizeof buffer - 1] = '\0';
  const char *p = buffer;
  while (*p == ' ' || *p == '\t') ++p;
  if (*p < '0' || *p > '9') return false;
  uint64_t value = 0;
  while (*p >= '0' && *p <= '9') {
    if (value > (UINT64_MAX - 9) / 10) return false;
    value = value * 10 + static_cast<uint64_t>(*p - '0');
    ++p;
  }
  *length = value;
  return true;
}

// Applies the end of the temporary-file rule after the file has been closed and returns the
// final result: on success the temporary file replaces the target in one step
// (LUMOX_E_FILE_CREATE when that fails, with the target untouched and the download kept in
// the temporary file); on failure the temporary file, or a newly written target, is deleted.
int FinishSaveTarget(SaveTarget *target, int result, bool traced) {
  if (target->gone) return result;
  if (target->useTemp) {
    if (result != 0) {
      if (traced) TraceLog("IF", "DeleteFile");
      DeleteFileA(target->tempName);
      return result;
    }
    if (traced) TraceLog("IF", "MoveFile");
    // One step: the old target stays whole until the new content takes its name. A target
    // held open for a moment (another transfer replacing the same target, a virus scanner
    // or indexer looking at it) refuses the move; it is tried again for about a second.
    for (int attempt = 1; !MoveFileExA(target->tempName, target->path, MOVEFILE_REPLACE_EXISTING);
         ++attempt) {
      DWORD error = GetLastError();
      if (attempt == kMoveAttempts ||
          (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED))
        return LUMOX_E_FILE_CREATE;
      Sleep(kMoveRetryMs);
    }
    return LUMOX_OK;
  }
  if (result != 0) DeleteFileA(target->path);
  return result;
}

// LUMOX_E_SIZE_MISMATCH when fewer bytes arrived than announced, or when the written file's
// size differs from a non-zero length header.
int CheckReceivedLength(HANDLE file, uint64_t received, bool hasAnnounced, uint64_t announced,
                        int64_t expected) {
  if (hasAnnounced && received < announced) return LUMOX_E_SIZE_MISMATCH;
  if (expected == 0) return LUMOX_OK;
  LARGE_INTEGER size;
  size.QuadPart = 0;
  if (!GetFileSizeEx(file, &size) || size.QuadPart != expected) return LUMOX_E_SIZE_MISMATCH;
  return LUMOX_OK;
}

}  // namespace

int CreateSaveTarget(SaveTarget *target, const char *path, bool traced, HANDLE *file) {
  target->path = path;
  target->useTemp = false;
  target->gone = false;
  memset(target->tempName, 0, sizeof target->tempName);
  const bool exists = PathFileExistsA(path) != FALSE;
  if (traced) TraceLog("IF", exists ? "CreateFile--Exist" : "CreateFile--New");
  if (!exists) {
    // Exclusive creation: a file that appeared since the look is not emptied; it is then
    // replaced by way of a temporary file like any existing target.
    *file =
        CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (*file != INVALID_HANDLE_VALUE) return LUMOX_OK;
    DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return LUMOX_E_FILE_CREATE;
  }
  // Exclusive creation: a name another transfer took between the look and the creation
  // fails with ERROR_FILE_EXISTS, and the next number is tried.
  for (int number = 0; number < kMaxTempNumber; ++number) {
    char name[kTempNameSize];
    memset(name, 0, sizeof name);
    if (!FormatTempName(name, path, number)) return LUMOX_E_TOO_LONG;
    if (PathFileExistsA(name)) continue;
    *file =
        CreateFileA(name, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (*file != INVALID_HANDLE_VALUE) {
      memcpy(target->tempName, name, sizeof name);
      target->useTemp = true;
      return LUMOX_OK;
    }
    DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return LUMOX_E_FILE_CREATE;
  }
  return LUMOX_E_FILE_CREATE;
}

bool TempNameFits(const char *target) {
  if (!PathFileExistsA(target)) return true;
  char name[kTempNameSize];
  return FormatTempName(name, target, kMaxTempNumber - 1);
}

CopyEnd CopyReplyBody(HINTERNET request, HANDLE file, bool failOnReadError, uint64_t *received,
                      int *error, unsigned flags) {
  TransferObserver *observer = flags != kCopyPlain ? CurrentTransferObserver() : nullptr;
  char block[kBlockSize + 1];
  memset(block, 0, sizeof block);
  *received = 0;
  *error = 0;
  DWORD start = GetTickCount();
  for (;;) {
    DWORD count = 0;
    if (!InternetReadFile(request, block, kBlockSize, &count)) {
      if (!failOnReadError) return CopyEnd::kComplete;
      *error = LastErrorOr(ERROR_INTERNET_CONNECTION_ABORTED);
      return CopyEnd::kFailed;
    }
    if (TotalLimitReached(start)) {
      *error = ERROR_INTERNET_TIMEOUT;
      return CopyEnd::kTimeLimit;
    }
    if (count == 0) return CopyEnd::kComplete;
    if (count > kBlockSize) count = kBlockSize;
    if (observer != nullptr) {
      if ((flags & kCopyCounted) != 0) observer->Moved(Direction::kReceive, count);
      if ((flags & kCopyToObserver) != 0) {
        *error = observer->Body(block, count);
        if (*error != 0) return CopyEnd::kFailed;
        *received += count;
        continue;
      }
    }
    if (file == INVALID_HANDLE_VALUE) continue;  // the body is discarded
    DWORD written = 0;
    if (!WriteFile(file, block, count, &written, nullptr) || written != count) {
      *error = LastErrorOr(ERROR_DISK_FULL);
      return CopyEnd::kFailed;
    }
    *received += written;
  }
}

int ReceiveReplyBody(HINTERNET request, HANDLE file, bool *timeLimit, unsigned flags) {
  const int64_t expected = ReadLengthHeader(request);
  uint64_t announced = 0;
  const bool hasAnnounced = QueryContentLength(request, &announced);
  TransferObserver *observer = CurrentTransferObserver();
  if (observer != nullptr && hasAnnounced && (flags & kCopyCounted) != 0)
    observer->Announced(Direction::kReceive, announced);
  uint64_t received = 0;
  int error = 0;
  CopyEnd end = CopyReplyBody(request, file, true, &received, &error, flags);
  *timeLimit = end == CopyEnd::kTimeLimit;
  if (end != CopyEnd::kComplete) return error;
  if ((flags & kCopyToObserver) != 0)
    return (hasAnnounced && received < announced) ||
                   (expected != 0 && received != static_cast<uint64_t>(expected))
               ? LUMOX_E_SIZE_MISMATCH
               : LUMOX_OK;
  return CheckReceivedLength(file, received, hasAnnounced, announced, expected);
}

bool ObserverTakesReply() {
  TransferObserver *observer = CurrentTransferObserver();
  return observer != nullptr && observer->TakesBody();
}

int CloseSaveTarget(SaveTarget *target, HANDLE *file, int result, bool traced,
                    const char *closeTrace) {
  if (closeTrace != nullptr) TraceLog("IF", "%s", closeTrace);
  // A close that fails lost data written before it (a delayed write hit a full disk), or
  // found the file deleted: the file is not what arrived, whatever the size check saw.
  if (!CloseHandle(*file)) {
    int error = LastErrorOr(ERROR_DISK_FULL);
    target->gone = error == ERROR_FILE_NOT_FOUND;
    if (result == LUMOX_OK || result == LUMOX_E_SIZE_MISMATCH) result = error;
  }
  *file = INVALID_HANDLE_VALUE;
  return FinishSaveTarget(target, result, traced);
}

int SaveReplyBody(HINTERNET request, const char *path, bool traced, HANDLE *file) {
  if (ObserverTakesReply()) {
    if (traced) TraceLog("IF", "InternetReadFile");
    bool timeLimit = false;
    return ReceiveReplyBody(request, INVALID_HANDLE_VALUE, &timeLimit,
                            kCopyCounted | kCopyToObserver);
  }
  SaveTarget target;
  int result = CreateSaveTarget(&target, path, traced, file);
  if (result != LUMOX_OK) return result;
  if (traced) TraceLog("IF", "InternetReadFile");
  bool timeLimit = false;
  result = ReceiveReplyBody(request, *file, &timeLimit, kCopyCounted);
  // The partial file stays where it is; the closing block closes it.
  if (timeLimit) return result;
  return CloseSaveTarget(&target, file, result, traced,
                         traced ? "CloseHandle hLocalFile" : nullptr);
}
