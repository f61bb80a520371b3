// Length header, temporary-file rule and reply-body copy shared by both engines.
#include "file_rules.h"

#include <shlwapi.h>
#include <stdio.h>
#include <string.h>

#include "settings.h"
#include "trace_log.h"

namespace {

constexpr char kLengthHeaderName[] = "LFile-Length";
constexpr size_t kLengthHeaderSize = 16;
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

}  // namespace

int LastErrorOr(DWORD fallback) {
  DWORD error = GetLastError();
  return static_cast<int>(error != 0 ? error : fallback);
}

int64_t ReadLengthHeader(HINTERNET request) {
  char buffer[kLengthHeaderSize];
  memset(buffer, 0, sizeof buffer);
  snprintf(buffer, sizeof buffer, "%s", kLengthHeaderName);
  DWORD length = kLengthHeaderSize;
  if (!HttpQueryInfoA(request, HTTP_QUERY_CUSTOM, buffer, &length, nullptr)) return 0;
  buffer[kLengthHeaderSize - 1] = '\0';
  return LeadingNumber(buffer);
}

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

bool TempNameFits(const char *target) {
  if (!PathFileExistsA(target)) return true;
  char name[kTempNameSize];
  return FormatTempName(name, target, kMaxTempNumber - 1);
}

int CreateSaveTarget(SaveTarget *target, const char *path, bool exists) {
  target->path = path;
  target->useTemp = false;
  memset(target->tempName, 0, sizeof target->tempName);
  target->file = INVALID_HANDLE_VALUE;
  if (!exists) {
    target->file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    return target->file == INVALID_HANDLE_VALUE ? 10002 : 0;
  }
  // Exclusive creation: a name another transfer took between the look and the creation
  // fails with ERROR_FILE_EXISTS, and the next number is tried.
  for (int number = 0; number < kMaxTempNumber; ++number) {
    char name[kTempNameSize];
    memset(name, 0, sizeof name);
    if (!FormatTempName(name, path, number)) return 10001;
    if (PathFileExistsA(name)) continue;
    HANDLE file = CreateFileA(name, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      memcpy(target->tempName, name, sizeof name);
      target->useTemp = true;
      target->file = file;
      return 0;
    }
    DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return 10002;
  }
  return 10002;
}

void CloseSaveTarget(SaveTarget *target) {
  if (target->file != INVALID_HANDLE_VALUE) {
    CloseHandle(target->file);
    target->file = INVALID_HANDLE_VALUE;
  }
}

int FinishSaveTarget(SaveTarget *target, int result, bool traced) {
  if (target->useTemp) {
    if (result != 0) {
      if (traced) TraceLog("IF", "DeleteFile");
      DeleteFileA(target->tempName);
      return result;
    }
    if (traced) TraceLog("IF", "MoveFile");
    // One step: the old target stays whole until the new content takes its name.
    if (!MoveFileExA(target->tempName, target->path, MOVEFILE_REPLACE_EXISTING)) return 10002;
    return 0;
  }
  if (result != 0) DeleteFileA(target->path);
  return result;
}

CopyEnd CopyReplyBody(HINTERNET request, HANDLE file, bool failOnReadError, uint64_t *received,
                      int *error) {
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
    DWORD written = 0;
    if (!WriteFile(file, block, count, &written, nullptr) || written != count) {
      *error = LastErrorOr(ERROR_DISK_FULL);
      return CopyEnd::kFailed;
    }
    *received += written;
  }
}
