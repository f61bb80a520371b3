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

DWORD OverriddenMs(int64_t value, DWORD fromFile) {
  return value < 0 ? fromFile : static_cast<DWORD>(value);
}

void SetDwordOption(HINTERNET handle, DWORD option, DWORD value) {
  // A refused option does not stop the others or the transfer.
  InternetSetOptionA(handle, option, &value, sizeof value);
}
}  // namespace

int FindSettingsFile(char *path) {
  if (path == nullptr) return 0;
  char work[MAX_PATH];
  memset(work, 0, sizeof work);
  DWORD length = GetModuleFileNameA(LumoxModule(), work, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return 0;  // a cut path names no real file
  PathRemoveFileSpecA(work);
  if (!PathAppendA(work, kSettingsName)) return 0;
  if (!PathFileExistsA(work)) return 0;
  size_t used = strnlen(work, MAX_PATH - 1);
  memcpy(path, work, used);
  path[used] = '\0';
  return 1;
}

void ApplyTimeouts(HINTERNET *handle) {
  DWORD connectMs = 60000;
  DWORD receiveMs = 300000;
  DWORD sendMs = 300000;
  DWORD totalMs = 0;
  char path[MAX_PATH];
  memset(path, 0, sizeof path);
  if (FindSettingsFile(path)) {
    connectMs = GetPrivateProfileIntA(kSection, "Connect", 60, path) * 1000u;
    receiveMs = GetPrivateProfileIntA(kSection, "Receive", 300, path) * 1000u;
    sendMs = GetPrivateProfileIntA(kSection, "Send", 300, path) * 1000u;
    totalMs = GetPrivateProfileIntA(kSection, "Total", 0, path) * 1000u;
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
  char path[MAX_PATH];
  memset(path, 0, sizeof path);
  if (!FindSettingsFile(path)) return 0;
  // Longer than any word that switches the checks off, so a cut value still reads as on.
  char value[16];
  memset(value, 0, sizeof value);
  GetPrivateProfileStringA(kSection, "CertCheck", "", value, sizeof value, path);
  return CertCheckValueIsOff(value) ? 0 : 1;
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
