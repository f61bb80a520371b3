// Observer and stop handling for a program that links the library's objects in.
#include "transfer_hooks.h"

#include <atomic>
#include <mutex>

namespace {

TransferObserver *g_observer = nullptr;
std::atomic<bool> g_closeOnStop{false};

// Requests of the running transfers; the process runs one or a few at a time. A request
// closed by the stop keeps its slot until the engine forgets it, so it is closed only once.
struct WatchedRequest {
  HINTERNET handle = nullptr;
  bool closed = false;
};
constexpr int kWatchedRequests = 8;
std::mutex g_lock;
bool g_stopped = false;
WatchedRequest g_requests[kWatchedRequests];

// With g_lock held. Closing a request ends a call blocked on it with an error.
void CloseOpenRequests() {
  for (WatchedRequest &slot : g_requests) {
    if (slot.handle != nullptr && !slot.closed) {
      slot.closed = true;
      InternetCloseHandle(slot.handle);
    }
  }
}

}  // namespace

void SetTransferObserver(TransferObserver *observer) { g_observer = observer; }

TransferObserver *CurrentTransferObserver() { return g_observer; }

void CloseRequestsOnStop() { g_closeOnStop.store(true); }

void WatchRequest(HINTERNET request) {
  if (!g_closeOnStop.load() || request == nullptr) return;
  std::lock_guard<std::mutex> lock(g_lock);
  for (WatchedRequest &slot : g_requests) {
    if (slot.handle == nullptr) {
      slot.handle = request;
      slot.closed = false;
      break;
    }
  }
  // A request opened after the stop ends at its first wait.
  if (g_stopped) CloseOpenRequests();
}

bool ForgetRequest(HINTERNET request) {
  if (!g_closeOnStop.load() || request == nullptr) return true;
  std::lock_guard<std::mutex> lock(g_lock);
  for (WatchedRequest &slot : g_requests) {
    if (slot.handle == request) {
      bool open = !slot.closed;
      slot = WatchedRequest();
      return open;
    }
  }
  return true;
}

void CloseWatchedRequests() {
  if (!g_closeOnStop.load()) return;
  std::lock_guard<std::mutex> lock(g_lock);
  g_stopped = true;
  CloseOpenRequests();
}
