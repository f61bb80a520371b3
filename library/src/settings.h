// Settings file "Lumox.ini" beside the library file, and the network time-outs.
#pragma once
#include <windows.h>
#include <wininet.h>
#include <atomic>
#include <stdint.h>

// Overall time limit of a body transfer in milliseconds, 0 = none. Rewritten by every
// ApplyTimeouts; concurrent transfers see the most recent value.
extern std::atomic<uint32_t> TotalLimitMs;

// Characters of the settings file's path: the library's own path may be longer than
// MAX_PATH and hold any character, so the file is found and read with the wide calls.
constexpr size_t kSettingsPathChars = 4096;

// Leaves the full path of the settings file in path (kSettingsPathChars characters) and
// returns 1 when it exists, or when something is there that cannot be looked at (a folder
// that may not be searched); returns 0 and leaves path unchanged otherwise.
int FindSettingsFile(WCHAR *path);

// The integer value of key in the section "HTTP_SETTING" of the settings file at path, or
// defaultValue when the key is absent or the file cannot be read.
UINT ReadSettingInt(const WCHAR *path, const char *key, int defaultValue);

// Applies the connect, receive and send time-outs and the connect retries to *handle and
// reloads TotalLimitMs.
void ApplyTimeouts(HINTERNET *handle);

// The key "CertCheck": 1 asks for full certificate checks on HTTPS requests. It fails
// closed: only "0", "false", "no", "off" (any case, blanks around ignored) and an empty
// value mean 0, as do an absent key and an absent file. A settings file that is there but
// cannot be read (no permission, locked, a folder) gives 1: it may hold "CertCheck=1".
// Read from the file at each call.
int ReadCertCheck();

// True when the text of a CertCheck value switches the checks off (see ReadCertCheck).
bool CertCheckValueIsOff(const char *value);

// True once TotalLimitMs is set and at least that many ticks passed since start, or once
// StopTransfers was called.
bool TotalLimitReached(DWORD start);

// Settings that a program linking the library's objects into itself (the lumox tool) imposes
// on its own process in place of what Lumox.ini says. The shared library never sets them,
// so a host program sees the file alone. Set before the first transfer starts.
struct SettingsOverride {
  int certCheck = -1;      // -1: the file's CertCheck; otherwise its value
  int64_t connectMs = -1;  // -1: the file's Connect; otherwise the connect time-out
  int64_t totalMs = -1;    // -1: the file's Total; otherwise the overall limit (0: none)
};
void SetSettingsOverride(const SettingsOverride &values);

// Makes every running and later body transfer of the process end at its next block as
// though the overall time limit had run out (12002), and, after CloseRequestsOnStop
// (transfer_hooks.h), closes the open requests so that a transfer waiting on the network
// ends at once. Safe to call from any thread.
void StopTransfers();
