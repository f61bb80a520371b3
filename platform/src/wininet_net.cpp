// The network thread of a request body and of a reply body. Up to the connection, and from
// the end of a streamed request body to the reply head, the caller's thread drives a
// request's exchange inside the API calls (redirects, challenges and retries decide there
// what happens next). While the caller streams a body with InternetWriteFile, and while it
// reads the reply body, a thread of the request's own drives the multi handle: it sends from
// the send ring and receives into the receive ring while the caller copies into and out of
// them. The handle has one owner at every moment: the thread from its start until it sets
// `finished`, the caller's side before and after (ReclaimNet). Closing the request, or
// unloading the library, stops and joins the thread; the exchange is left as it stands, and
// a call still reading it drives it on its own thread as before.
#include "wininet_internal.h"

#include <unistd.h>

#include <chrono>
#include <new>
#include <vector>

namespace lumox_inet {

namespace {

const int kPollMs = 1000;  // longest single wait for socket activity
const int kBatchMs = 1;    // how long bytes may wait for more before a sleeping reader is woken

// The threads' lock: starts, joins and the list of running threads. The threads never take
// it, so joining under it cannot wait on itself.
std::mutex g_netLock;
std::vector<Request *> g_running;
bool g_gone = false;  // the library is going away: no new threads

std::atomic<size_t> g_coresForTests{0};

size_t Cores() {
  static const size_t cores = [] {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<size_t>(n) : size_t{1};
  }();
  size_t pretend = g_coresForTests.load(std::memory_order_relaxed);
  return pretend != 0 ? pretend : cores;
}

// A body moves on the caller's thread until this much has moved: a smaller one is done
// before a thread would have paid for its start and its hand-overs.
const uint64_t kNetAfterBytes = uint64_t{1} << 20;
std::atomic<size_t> g_openRequests{0};
std::atomic<bool> g_always{false};

void Wake(Request &r) {
  std::lock_guard<std::mutex> lock(r.net.lock);
  r.net.wake.notify_all();
}

void *NetMain(void *arg) {
  Request &r = *static_cast<Request *>(arg);
  Transfer &t = *r.transfer;
  bool batching = false;  // bytes wait for a batch before a sleeping reader is woken
  while (!r.net.stop.load(std::memory_order_acquire)) {
    if (t.sendPaused && !r.net.wantsBody.load(std::memory_order_seq_cst)) {
      // Sending paused on the caller's thread before this one started, or the caller
      // queued body bytes (CallerAdded) and woke the poll.
      t.sendPaused = false;
      curl_easy_pause(t.easy, CURLPAUSE_CONT);
    }
    int running = 0;
    curl_multi_perform(r.multi, &running);
    if (CollectEnd(r) || r.net.stop.load(std::memory_order_acquire)) break;
    // More on the socket already: go on receiving. Else the thread is about to wait, and a
    // reader waiting for bytes gets what is queued first.
    int ready = 0;
    curl_multi_poll(r.multi, nullptr, 0, 0, &ready);
    if (ready > 0) continue;
    if (r.net.readerSleeps.load(std::memory_order_seq_cst) && r.recvQueue.size() > 0) {
      // A reader that sleeps is woken for a batch: on a busy stream more comes within a
      // moment, and each wake-up of another thread is costly. Once only, so that a slow
      // stream's bytes wait no longer than that moment.
      if (!batching) {
        batching = true;
        curl_multi_poll(r.multi, nullptr, 0, kBatchMs, &ready);
        if (ready > 0) continue;
      }
      Wake(r);
    }
    batching = false;
    curl_multi_poll(r.multi, nullptr, 0, kPollMs, nullptr);
  }
  r.net.finished.store(true, std::memory_order_seq_cst);
  Wake(r);
  return nullptr;
}

// Stops and joins the thread of `r` (threads' lock held).
void JoinLocked(Request &r) {
  if (!r.net.joinable) return;
  r.net.stop.store(true, std::memory_order_seq_cst);
  curl_multi_wakeup(r.multi);
  Wake(r);
  pthread_join(r.net.id, nullptr);
  r.net.joinable = false;
  for (size_t i = 0; i < g_running.size(); ++i) {
    if (g_running[i] == &r) {
      g_running[i] = g_running.back();
      g_running.pop_back();
      break;
    }
  }
}

// The library is being unloaded (or the process ends): no thread of it may stay.
struct NetLayer {
  ~NetLayer() {
    std::lock_guard<std::mutex> lock(g_netLock);
    g_gone = true;
    while (!g_running.empty()) JoinLocked(*g_running.back());
  }
} g_netLayer;

}  // namespace

bool CollectEnd(Request &r) {
  Transfer &t = *r.transfer;
  int left = 0;
  while (CURLMsg *m = curl_multi_info_read(r.multi, &left)) {
    if (m->msg == CURLMSG_DONE && m->easy_handle == t.easy) {
      t.done = true;
      t.result = m->data.result;
    }
  }
  return t.done;
}

bool StartNet(Request &r) {
  std::lock_guard<std::mutex> lock(g_netLock);
  if (g_gone || !r.registered.load() || r.net.joinable) return false;
  if (r.recvQueue.size() == 0) r.recvQueue.resize(kNetRingBytes);
  g_running.reserve(g_running.size() + 1);
  r.net.stop.store(false);
  r.net.finished.store(false);
  r.net.wantsBody.store(false);
  r.transfer->threaded = true;
  if (pthread_create(&r.net.id, nullptr, NetMain, &r) != 0) {
    r.transfer->threaded = false;
    return false;
  }
  r.net.joinable = true;
  r.net.active = true;
  g_running.push_back(&r);
  return true;
}

bool NetThreadPays(uint64_t moved, uint64_t left) {
  if (g_always.load(std::memory_order_relaxed)) return true;
  // Each open request keeps a caller's thread busy; a thread of its own pays only while a
  // core is free for it, and the hand-overs between the two threads cost more than they
  // gain on a short body.
  return moved >= kNetAfterBytes && left >= kNetAfterBytes &&
         g_openRequests.load(std::memory_order_relaxed) < Cores();
}

void RequestHandleOpened() { g_openRequests.fetch_add(1, std::memory_order_relaxed); }
void RequestHandleClosed() { g_openRequests.fetch_sub(1, std::memory_order_relaxed); }
void AlwaysStartNetThreads(bool always) { g_always.store(always); }
void PretendCoresForNetThreads(size_t cores) { g_coresForTests.store(cores); }

void StopNet(Request &r) {
  std::lock_guard<std::mutex> lock(g_netLock);
  JoinLocked(r);
}

void ReclaimNet(Request &r) {
  StopNet(r);
  r.net.active = false;
  if (r.transfer) r.transfer->threaded = false;
}

namespace {

// The caller's wait until `ready` holds or the thread is finished: ERROR_INTERNET_TIMEOUT
// after `limit` ms (0: none) without activity on the wire since the later of `callStart`
// and the last callback.
template <class Ready>
DWORD CallerWait(Request &r, uint64_t callStart, DWORD limit, Ready ready) {
  NetThread &n = r.net;
  std::unique_lock<std::mutex> lock(n.lock);
  n.readerSleeps.store(true, std::memory_order_seq_cst);
  DWORD err = 0;
  while (!ready() && !n.finished.load(std::memory_order_seq_cst)) {
    if (!limit) {
      n.wake.wait(lock);
      continue;
    }
    uint64_t now = NowMs();
    uint64_t from = r.transfer->lastActivityMs.load(std::memory_order_relaxed);
    if (from < callStart) from = callStart;
    if (from > now) from = now;
    if (now - from >= limit) {
      err = ERROR_INTERNET_TIMEOUT;
      break;
    }
    n.wake.wait_for(lock, std::chrono::milliseconds(limit - (now - from)));
  }
  n.readerSleeps.store(false, std::memory_order_relaxed);
  return err;
}

}  // namespace

DWORD WaitForBytes(Request &r, uint64_t callStart, DWORD limit) {
  return CallerWait(r, callStart, limit, [&r] { return r.recvQueue.size() > 0; });
}

DWORD WaitForSendRoom(Request &r, uint64_t callStart, DWORD limit) {
  return CallerWait(r, callStart, limit, [&r] { return SendRoom(r); });
}

void CallerAdded(Request &r) {
  size_t held = r.sendQueue.size();
  if (held >= kSendWakeBytes || r.streamWritten >= r.streamTotal) {
    if (r.net.wantsBody.load(std::memory_order_seq_cst) && r.net.wantsBody.exchange(false))
      curl_multi_wakeup(r.multi);
  }
}

void ThreadTookBody(Request &r) {
  if (r.net.readerSleeps.load(std::memory_order_seq_cst) && SendRoom(r)) Wake(r);
}

void ReaderTook(Request &r) {
  if (r.net.receiverSleeps.load(std::memory_order_seq_cst) &&
      r.recvQueue.space() >= r.recvQueue.capacity() / 2)
    Wake(r);
}

bool WaitForRoom(Request &r, size_t need) {
  NetThread &n = r.net;
  std::unique_lock<std::mutex> lock(n.lock);
  n.receiverSleeps.store(true, std::memory_order_seq_cst);
  while (r.recvQueue.space() < need && !n.stop.load(std::memory_order_seq_cst)) n.wake.wait(lock);
  n.receiverSleeps.store(false, std::memory_order_relaxed);
  return r.recvQueue.space() >= need;
}

void ReceiverAdded(Request &r) {
  if (r.net.readerSleeps.load(std::memory_order_seq_cst) &&
      r.recvQueue.size() >= r.recvQueue.capacity() / 2)
    Wake(r);
}

}  // namespace lumox_inet
