#include "tool_settings.h"

#include <atomic>
#include <cerrno>

#include "settings.h"
#include "transfer_hooks.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace lumox_cli {

namespace {

// Counts what the library moves, and writes a streamed body to standard output.
class ToolObserver : public TransferObserver {
 public:
  void Announced(Direction direction, uint64_t total) override {
    (direction == Direction::kSend ? sendTotal : receiveTotal).store(static_cast<long long>(total));
  }
  void Moved(Direction direction, uint64_t bytes) override {
    (direction == Direction::kSend ? sent : received).fetch_add(static_cast<long long>(bytes));
  }
  bool TakesBody() const override { return streamBody; }
  int Body(const char *data, DWORD length) override {
#ifdef _WIN32
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    while (length > 0) {
      DWORD written = 0;
      // A closed pipe or a full disk: the system's write fault, reported as a local file error.
      if (!WriteFile(out, data, length, &written, nullptr) || written == 0)
        return ERROR_WRITE_FAULT;
      data += written;
      length -= written;
    }
#else
    while (length > 0) {
      ssize_t written = write(STDOUT_FILENO, data, length);
      if (written < 0 && errno == EINTR) continue;
      // A closed pipe or a full disk: the system's write fault, reported as a local file error.
      if (written <= 0) return ERROR_WRITE_FAULT;
      data += written;
      length -= static_cast<DWORD>(written);
    }
#endif
    return 0;
  }

  bool streamBody = false;
  std::atomic<long long> sent{0};
  std::atomic<long long> sendTotal{-1};
  std::atomic<long long> received{0};
  std::atomic<long long> receiveTotal{-1};
};

ToolObserver g_observer;

}  // namespace

void ApplyToolSettings(bool insecure, long long connectTimeoutMs, long long maxTimeMs) {
  SettingsOverride values;
  values.certCheck = insecure ? 0 : 1;
  values.connectMs = connectTimeoutMs;
  values.totalMs = maxTimeMs;
  SetSettingsOverride(values);
}

void StopEndsEveryWait() { CloseRequestsOnStop(); }

void StopLibraryTransfers() { StopTransfers(); }

TransferCounts CurrentCounts() {
  TransferCounts counts;
  counts.sent = g_observer.sent.load();
  counts.sendTotal = g_observer.sendTotal.load();
  counts.received = g_observer.received.load();
  counts.receiveTotal = g_observer.receiveTotal.load();
  return counts;
}

void WatchTransfers(bool streamBody) {
  g_observer.streamBody = streamBody;
  SetTransferObserver(&g_observer);
}

}  // namespace lumox_cli
