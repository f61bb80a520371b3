// The table of file handles. A HANDLE is (slot + 1) * 4, like Windows handle values. Slots
// sit in chunks that are made on demand and never moved or freed while the library is
// loaded, so an operation finds its slot without a table-wide lock; the slot's own mutex
// guards its entry for the length of the operation, and CloseHandle takes the entry out
// under it. Small blocks of I/O on one handle thus cost one uncontended lock.
//
// The table also owns what happens to buffered handles when the process forks (the child
// keeps no write of the parent's) and when the library is unloaded (every byte a caller
// wrote reaches its file, and no background thread is left behind).
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "file_internal.h"
#include "file_worker.h"
#include "platform_internal.h"

namespace lumox_files {

namespace {

struct Slot {
  std::mutex mutex;
  FileEntry entry;  // fd -1: free
};
const size_t kChunkSlots = 256;
const size_t kChunks = 256;  // at most 65,536 handles open at once
std::atomic<Slot *> g_chunks[kChunks];
std::mutex g_tableMutex;  // slot allocation
// Made once and freed only when the layer goes away with no call inside it, so a call still
// running while the process exits never finds it destroyed.
std::vector<size_t> *g_freeSlots = new std::vector<size_t>;
size_t g_slotsMade = 0;

// Calls inside the table, and whether the layer has gone away (the library was unloaded or
// the process is exiting). A call counts itself in before it looks at the flag, and the
// layer sets the flag before it waits for the count to reach 0, so no call uses the table
// once the layer has taken it apart; later calls fail as on a closed handle.
std::atomic<int> g_inCalls{0};
std::atomic<bool> g_gone{false};

// The slot of a handle value, or null when no such slot was ever made.
Slot *SlotOf(HANDLE handle, size_t *index = nullptr) {
  uintptr_t value = reinterpret_cast<uintptr_t>(handle);
  if (value == 0 || (value & 3) != 0) return nullptr;
  size_t slot = value / 4 - 1;
  if (slot >= kChunkSlots * kChunks) return nullptr;
  Slot *chunk = g_chunks[slot / kChunkSlots].load(std::memory_order_acquire);
  if (!chunk) return nullptr;
  if (index) *index = slot;
  return &chunk[slot % kChunkSlots];
}

template <class F>
void ForEachMadeSlot(F f) {
  for (size_t i = 0; i < g_slotsMade; ++i) f(g_chunks[i / kChunkSlots].load()[i % kChunkSlots]);
}

// Fork: the table lock and every slot's lock are held across it, so calls already running
// finish first and no call holds a slot in the child; then the background threads' lock is
// taken. The child does not inherit the parent's unwritten bytes: they stay the parent's to
// write, or the file would get them twice.
void BeforeFork() {
  g_tableMutex.lock();
  ForEachMadeSlot([](Slot &s) { s.mutex.lock(); });
  WorkersBeforeFork();
}

void AfterForkParent() {
  WorkersAfterForkParent();
  ForEachMadeSlot([](Slot &s) { s.mutex.unlock(); });
  g_tableMutex.unlock();
}

void AfterForkChild() {
  WorkersAfterForkChild();
  ForEachMadeSlot([](Slot &s) {
    if (s.entry.fd >= 0) ForgetWritesInChild(s.entry);
    s.mutex.unlock();
  });
  g_tableMutex.unlock();
}

std::unique_lock<std::mutex> LockSlot(Slot &slot) {
  return std::unique_lock<std::mutex>(slot.mutex);
}

struct Layer {
  Layer() { pthread_atfork(BeforeFork, AfterForkParent, AfterForkChild); }
  // The library is being unloaded (or the process ends): bytes written through handles
  // that are still open go to their files, the threads end, and the table goes. Calls
  // running on other threads (exit() while a transfer runs) are let finish first; if one
  // does not end in time the table stays, still in one piece, for the process's last
  // moments.
  ~Layer() {
    g_gone.store(true);
    const auto kWaitEnd = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (g_inCalls.load() != 0) {
      if (std::chrono::steady_clock::now() > kWaitEnd) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ForEachMadeSlot([](Slot &s) {
      if (s.entry.fd >= 0 && s.entry.buffer) {
        Settle(s.entry, false);
        s.entry.buffer.reset();
      }
    });
    StopWorkers();
    for (auto &chunk : g_chunks) delete[] chunk.load();
    delete g_freeSlots;
  }
} g_layer;

// Counts a call in for as long as it uses the table; ok() is false once the layer is gone.
class CallGuard {
 public:
  CallGuard() : ok_(EnterTable()) {}
  ~CallGuard() { LeaveTable(); }
  CallGuard(const CallGuard &) = delete;
  CallGuard &operator=(const CallGuard &) = delete;
  bool ok() const { return ok_; }

 private:
  bool ok_;
};

}  // namespace

HANDLE AddEntry(FileEntry &&entry) {
  CallGuard guard;
  if (!guard.ok()) return nullptr;
  size_t slot;
  {
    std::lock_guard<std::mutex> lock(g_tableMutex);
    if (!g_freeSlots->empty()) {
      slot = g_freeSlots->back();
      g_freeSlots->pop_back();
    } else {
      if (g_slotsMade == kChunkSlots * kChunks) return nullptr;
      slot = g_slotsMade;
      size_t chunk = slot / kChunkSlots;
      if (!g_chunks[chunk].load(std::memory_order_relaxed)) {
        Slot *made = new (std::nothrow) Slot[kChunkSlots];
        if (!made) return nullptr;
        g_chunks[chunk].store(made, std::memory_order_release);
      }
      ++g_slotsMade;
    }
  }
  Slot &s = g_chunks[slot / kChunkSlots].load(std::memory_order_acquire)[slot % kChunkSlots];
  std::unique_lock<std::mutex> lock = LockSlot(s);
  s.entry = std::move(entry);
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>((slot + 1) * 4));
}

bool TakeEntry(HANDLE handle, FileEntry &entry, size_t &index) {
  CallGuard guard;
  if (!guard.ok()) return false;
  Slot *slot = SlotOf(handle, &index);
  if (!slot) return false;
  std::unique_lock<std::mutex> lock = LockSlot(*slot);
  if (slot->entry.fd < 0) return false;
  entry = std::move(slot->entry);
  slot->entry = FileEntry();
  return true;
}

void ReleaseSlot(size_t index) {
  CallGuard guard;
  if (!guard.ok()) return;
  std::lock_guard<std::mutex> lock(g_tableMutex);
  g_freeSlots->push_back(index);
}

bool EnterTable() {
  g_inCalls.fetch_add(1);
  return !g_gone.load();
}

void LeaveTable() { g_inCalls.fetch_sub(1); }

LockedEntry::LockedEntry(HANDLE handle) : counted_(true) {
  Slot *slot = EnterTable() ? SlotOf(handle) : nullptr;
  if (slot) {
    lock_ = LockSlot(*slot);
    if (slot->entry.fd >= 0)
      entry_ = &slot->entry;
    else
      lock_.unlock();
  }
}

LockedEntry::~LockedEntry() { Unlock(); }

void LockedEntry::Unlock() {
  entry_ = nullptr;
  if (lock_.owns_lock()) lock_.unlock();
  if (counted_) LeaveTable();
  counted_ = false;
}

}  // namespace lumox_files
