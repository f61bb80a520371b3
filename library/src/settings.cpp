// Lumox.ini beside the library file: network time-outs, the overall time limit and the
// certificate-check switch.
#include "settings.h"

#include <shlwapi.h>
#include <string.h>

#include "module.h"
#include "transfer_hooks.h"

std::atomic<uint32_t> TotalLimitMs{0};

namespace {
const char kSection[] = "HTTP_SETTING";
const char kSettingsName[] = "Lumox.ini";
constexpr DWORD kConnectRetries = 2;

// Written by SetSettingsOverride before any transfer runs; read by the transfers.
SettingsOverride g_override;
std::atomic<bool> g_stopTransfers{false};

bool SameWordNoCase(const char *text, size_t length, const char *word) {
  if (strlen(word) != length) return false;
  for (size_t i = 0; i < length; ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != word[i]) return false;
  }
  return true;
}

constexpr size_t kKeyChars = 16;

// An ASCII text as a wide one; false when it does not fit in chars characters.
bool Widen(const char *ascii, WCHAR *out, size_t chars) {
  size_t length = strlen(ascii);
  if (length >= chars) return false;
  for (size_t i = 0; i <= length; ++i) out[i] = static_cast<WCHAR>(ascii[i]);
  return true;
}

DWORD OverriddenMs(int64_t value, DWORD fromFile) {
  return value < 0 ? fromFile : static_cast<DWORD>(value);
}

void SetDwordOption(HINTERNET handle, DWORD option, DWORD value) {
  // A refused option does not stop the others or the transfer.
  InternetSetOptionA(handle, option, &value, sizeof value);
}
}  // namespace

int FindSettingsFile(WCHAR *path) {
  if (path == nullptr) return 0;
  WCHAR work[kSettingsPathChars];
  memset(work, 0, sizeof work);
  DWORD length = GetModuleFileNameW(LumoxModule(), work, kSettingsPathChars);
  if (length == 0 || length >= kSettingsPathChars) return 0;  // a cut path names no real file
  DWORD folder = length;
  while (folder > 0 && work[folder - 1] != '\\' && work[folder - 1] != '/') --folder;
  if (folder == 0 || !Widen(kSettingsName, work + folder, kSettingsPathChars - folder)) return 0;
  DWORD attributes = GetFileAttributesW(work);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return 0;
  }
  memcpy(path, work, sizeof work);
  return 1;
}

UINT ReadSettingInt(const WCHAR *path, const char *key, int defaultValue) {
  WCHAR section[sizeof kSection];
  WCHAR name[kKeyChars];
  if (!Widen(kSection, section, sizeof kSection) || !Widen(key, name, kKeyChars))
    return static_cast<UINT>(defaultValue);
  return GetPrivateProfileIntW(section, name, defaultValue, path);
}

void ApplyTimeouts(HINTERNET *handle) {
  DWORD connectMs = 60000;
  DWORD receiveMs = 300000;
  DWORD sendMs = 300000;
  DWORD totalMs = 0;
  WCHAR path[kSettingsPathChars];
  memset(path, 0, sizeof path);
  if (FindSettingsFile(path)) {
    connectMs = ReadSettingInt(path, "Connect", 60) * 1000u;
    receiveMs = ReadSettingInt(path, "Receive", 300) * 1000u;
    sendMs = ReadSettingInt(path, "Send", 300) * 1000u;
    totalMs = ReadSettingInt(path, "Total", 0) * 1000u;
  }
  connectMs = OverriddenMs(g_override.connectMs, connectMs);
  totalMs = OverriddenMs(g_override.totalMs, totalMs);
  TotalLimitMs.store(totalMs);
  // A null handle would set the process-wide defaults of the internet library instead.
  if (handle == nullptr || *handle == nullptr) return;
  SetDwordOption(*handle, INTERNET_OPTION_CONNECT_TIMEOUT, connectMs);
  SetDwordOption(*handle, INTERNET_OPTION_RECEIVE_TIMEOUT, receiveMs);
  SetDwordOption(*handle, INTERNET_OPTION_SEND_TIMEOUT, sendMs);
  SetDwordOption(*handle, INTERNET_OPTION_CONNECT_RETRIES, kConnectRetries);
}

bool CertCheckValueIsOff(const char *value) {
  const char *begin = value;
  while (*begin == ' ' || *begin == '\t') ++begin;
  size_t length = strlen(begin);
  while (length > 0 && (begin[length - 1] == ' ' || begin[length - 1] == '\t')) --length;
  if (length == 0) return true;
  static const char *const kOff[] = {"0", "false", "no", "off"};
  for (const char *off : kOff) {
    if (SameWordNoCase(begin, length, off)) return true;
  }
  return false;
}

int ReadCertCheck() {
  if (g_override.certCheck >= 0) return g_override.certCheck;
  WCHAR path[kSettingsPathChars];
  memset(path, 0, sizeof path);
  if (!FindSettingsFile(path)) return 0;
  // Longer than any word that switches the checks off, so a cut value still reads as on.
  WCHAR value[16];
  WCHAR section[sizeof kSection];
  WCHAR key[kKeyChars];
  memset(value, 0, sizeof value);
  if (!Widen(kSection, section, sizeof kSection) || !Widen("CertCheck", key, kKeyChars)) return 1;
  SetLastError(ERROR_SUCCESS);
  GetPrivateProfileStringW(section, key, nullptr, value, sizeof value / sizeof value[0], path);
  // The read says what it found: the key, nothing (no key or section), or a file it could not
  // read, which may hold "CertCheck=1" and so keeps the checks on.
  DWORD error = GetLastError();
  if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND && error != ERROR_MORE_DATA) return 1;
  char text[sizeof value / sizeof value[0]];
  for (size_t i = 0; i < sizeof text; ++i)
    text[i] = value[i] < 0x80 ? static_cast<char>(value[i]) : '?';  // no word of the off list
  text[sizeof text - 1] = '\0';
  return CertCheckValueIsOff(text) ? 0 : 1;
}

void SetSettingsOverride(const SettingsOverride &values) { g_override = values; }

void StopTransfers() {
  g_stopTransfers.store(true);
  CloseWatchedRequests();
}

bool TotalLimitReached(DWORD start) {
  if (g_stopTransfers.load()) return true;
  uint32_t limit = TotalLimitMs.load();
  if (limit == 0) return false;
  DWORD elapsed = GetTickCount() - start;  // unsigned: the tick counter's wrap does no harm
  return elapsed >= limit;
}
