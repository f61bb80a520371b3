// The trace writer: weekday files LSUN.TXT ... LSAT.TXT in LUMOX_LOG beside the library.
#include "trace_log.h"

#include <shlwapi.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "module.h"
#include "settings.h"

namespace {
const char *const kDayNames[7] = {"SUN", "MON", "TUE", "WED", "THU", "FRI", "SAT"};
constexpr size_t kHeaderSize = 80;
constexpr size_t kStampLength = 31;  // date, day name, time and four blanks
constexpr size_t kSeparatorWidth = 134;
constexpr size_t kMessageLimit = 1280;
constexpr size_t kPieceSize = 128;
constexpr size_t kLineSize = 1281;

const char *DayName(const SYSTEMTIME *time) { return kDayNames[time->wDayOfWeek % 7]; }

// Builds LUMOX_LOG's day file path for time into out (MAX_PATH bytes), creating the
// folder when it is missing. Returns false when the path does not fit.
bool DayFilePath(const SYSTEMTIME *time, char *out) {
  char folder[MAX_PATH];
  memset(folder, 0, sizeof folder);
  DWORD length = GetModuleFileNameA(LumoxModule(), folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  PathRemoveFileSpecA(folder);
  if (!PathAppendA(folder, "LUMOX_LOG")) return false;
  if (!PathFileExistsA(folder)) CreateDirectoryA(folder, nullptr);
  char name[16];
  int used = snprintf(name, sizeof name, "L%s.TXT", DayName(time));
  if (used < 0 || static_cast<size_t>(used) >= sizeof name) return false;
  memcpy(out, folder, sizeof folder);
  return PathAppendA(out, name) != FALSE;
}

bool WriteAll(FILE *file, const char *bytes, size_t length) {
  return fwrite(bytes, 1, length, file) == length;
}
}  // namespace

int FormatTraceHeader(const SYSTEMTIME *time, const char *tag, char *out, size_t size) {
  if (time == nullptr || out == nullptr || size == 0) return -1;
  int used =
      snprintf(out, size, "%04d.%02d.%02d %s %02d:%02d:%02d.%03ld    %s", time->wYear, time->wMonth,
               time->wDay, DayName(time), time->wHour, time->wMinute, time->wSecond,
               static_cast<long>(time->wMilliseconds), tag != nullptr ? tag : "");
  if (used < 0 || static_cast<size_t>(used) >= size) {
    out[0] = '\0';
    return -1;
  }
  return used;
}

void WriteTraceEntry(const char *dayFile, const SYSTEMTIME *time, const char *tag,
                     const char *message) {
  if (dayFile == nullptr || time == nullptr) return;
  if (tag == nullptr) tag = "";
  char header[kHeaderSize];
  memset(header, 0, sizeof header);
  if (FormatTraceHeader(time, tag, header, sizeof header) < static_cast<int>(kStampLength)) return;

  // Binary mode with explicit CR LF: the same bytes on every platform.
  FILE *file = fopen(dayFile, "a+b");
  if (file == nullptr) return;
  char first[12];
  memset(first, 0, sizeof first);
  // A stream that was read needs a seek before it is written: without one, no entry (and
  // the day's file stays as it is).
  if (fseek(file, 0, SEEK_SET) != 0) {
    fclose(file);  // NOLINT(cert-err33-c): nothing was written through it
    return;
  }
  if (fgets(first, sizeof first, file) != nullptr && strncmp(first, header, 10) == 0) {
    if (fseek(file, 0, SEEK_END) != 0) {
      fclose(file);  // NOLINT(cert-err33-c): nothing was written through it
      return;
    }
  } else {
    // Another date (or an empty file): this weekday starts over.
    fclose(file);  // NOLINT(cert-err33-c): nothing was written through it
    file = fopen(dayFile, "w+b");
    if (file == nullptr) return;
  }

  char line[kLineSize];
  if (strcmp(tag, "ST") == 0) {
    memset(line, 0, sizeof line);
    memcpy(line, header, kStampLength);
    memset(line + kStampLength, '=', kSeparatorWidth);
    if (!WriteAll(file, line, kStampLength + kSeparatorWidth) || !WriteAll(file, "\r\n\r\n", 4)) {
      fclose(file);  // NOLINT(cert-err33-c): tracing is best effort; the write failed already
      return;
    }
  }

  size_t length = message != nullptr ? strnlen(message, kMessageLimit) : 0;
  for (size_t offset = 0; offset < length; offset += kPieceSize) {
    char piece[kPieceSize + 1];
    size_t pieceLength = length - offset < kPieceSize ? length - offset : kPieceSize;
    memcpy(piece, message + offset, pieceLength);
    piece[pieceLength] = '\0';
    int used = offset == 0 ? snprintf(line, sizeof line, "%s    %s\r\n", header, piece)
                           : snprintf(line, sizeof line,
                                      "                               %s    %s\r\n", tag, piece);
    if (used < 0 || static_cast<size_t>(used) >= sizeof line) break;
    if (!WriteAll(file, line, static_cast<size_t>(used))) break;
  }
  fclose(file);  // NOLINT(cert-err33-c): tracing is best effort and reports nothing
}

void TraceLog(const char *tag, const char *format, ...) {
  WCHAR settings[kSettingsPathChars];
  memset(settings, 0, sizeof settings);
  if (!FindSettingsFile(settings)) return;
  if (ReadSettingInt(settings, "LogOn", 0) == 0) return;

  SYSTEMTIME now;
  GetLocalTime(&now);
  char dayFile[MAX_PATH];
  memset(dayFile, 0, sizeof dayFile);
  if (!DayFilePath(&now, dayFile)) return;

  char message[kMessageLimit + 1];
  memset(message, 0, sizeof message);
  if (format != nullptr) {
    va_list args;
    va_start(args, format);
    // Keeps the first 1280 bytes of a longer message.
    vsnprintf(message, sizeof message, format, args);  // NOLINT(cert-err33-c): cut on purpose
    va_end(args);
  }
  WriteTraceEntry(dayFile, &now, tag, message);
}

void MaskUrlForTrace(const char *url, char *out, size_t size) {
  if (out == nullptr || size == 0) return;
  if (url == nullptr) url = "(null)";
  size_t length = strlen(url);
  // The credentials lie between "://" and the last '@' before the path, query or fragment.
  size_t maskFrom = 0, maskTo = 0;
  const char *scheme = strstr(url, "://");
  if (scheme != nullptr) {
    size_t authority = static_cast<size_t>(scheme - url) + 3;
    size_t end = authority + strcspn(url + authority, "/?#");
    size_t at = end;
    for (size_t i = authority; i < end; ++i) {
      if (url[i] == '@') at = i;
    }
    if (at < end) {
      const void *colon = memchr(url + authority, ':', at - authority);
      if (colon != nullptr) {
        maskFrom = static_cast<size_t>(static_cast<const char *>(colon) - url) + 1;
        maskTo = at;
      }
    }
  }
  size_t used = 0;
  auto put = [&](const char *bytes, size_t count) {
    size_t room = size - 1 - used;
    if (count > room) count = room;
    memcpy(out + used, bytes, count);
    used += count;
  };
  if (maskTo > 0) {
    put(url, maskFrom);
    put("***", 3);
    put(url + maskTo, length - maskTo);
  } else {
    put(url, length);
  }
  out[used] = '\0';
}
