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

// The key "CertCheck": non-zero asks for full certificate checks on HTTPS requests. Read
// from the file at each call; 0 when the file or the key is absent.
int ReadCertCheck();

// True once TotalLimitMs is set and at least that many ticks passed since start.
bool TotalLimitReached(DWORD start);
