// Settings file "Lumox.ini" beside the library file, and the network time-outs.
#pragma once
#include <windows.h>
#include <wininet.h>
#include <atomic>
#include <stdint.h>

// Overall time limit of a body transfer in milliseconds, 0 = none. Rewritten by every
// ApplyTimeouts; concurrent transfers see the most recent value.
extern std::atomic<uint32_t> TotalLimitMs;

// Leaves the full path of the settings file in path (at least MAX_PATH bytes) and returns
// 1 when it exists; returns 0 and leaves path unchanged otherwise.
int FindSettingsFile(char *path);

// Applies the connect, receive and send time-outs and the connect retries to *handle and
// reloads TotalLimitMs.
void ApplyTimeouts(HINTERNET *handle);

// The key "CertCheck": 1 asks for full certificate checks on HTTPS requests. It fails
// closed: only "0", "false", "no", "off" (any case, blanks around ignored) and an empty
// value mean 0, as do an absent key and an absent file. Read from the file at each call.
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
