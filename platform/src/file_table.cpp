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
#include <mutex>
#include <new>
#include <vector>

#include "file_internal.h"
#include "file_worker.h"
#include "platform_internal.h"

using lumox_platform::Fail;

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
std::vector<size_t> g_freeSlots;
size_t g_slotsMade = 0;

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

// Fork: while one is prepared, calls on handles wait (see LockSlot) and the calls already
// running are let finish, so no call is half done in the child; then the background
// threads' lock is taken. The child does not inherit the parent's unwritten bytes: they
// stay the parent's to write, or the file would get them twice.
std::atomic<bool> g_forking{false};

void BeforeFork() {
  g_tableMutex.lock();
  g_forking.store(true, std::memory_order_relaxed);
  ForEachMadeSlot([](Slot &s) { std::lock_guard<std::mutex> drain(s.mutex); });
  WorkersBeforeFork();
}

void AfterForkParent() {
  WorkersAfterForkParent();
  g_forking.store(false, std::memory_order_relaxed);
  g_tableMutex.unlock();
}

void AfterForkChild() {
  WorkersAfterForkChild();
  g_forking.store(false, std::memory_order_relaxed);
  ForEachMadeSlot([](Slot &s) {
    if (s.entry.fd >= 0) ForgetWritesInChild(s.entry);
  });
  g_tableMutex.unlock();
}

// The slot's lock for a call on its handle. While a fork is prepared the call waits until
// it is over (the preparing thread holds the table lock until then).
std::unique_lock<std::mutex> LockSlot(Slot &slot) {
  for (;;) {
    std::unique_lock<std::mutex> lock(slot.mutex);
    if (!g_forking.load(std::memory_order_relaxed)) return lock;
    lock.unlock();
    std::lock_guard<std::mutex> wait(g_tableMutex);
  }
}

struct Layer {
  Layer() { pthread_atfork(BeforeFork, AfterForkParent, AfterForkChild); }
  // The library is being unloaded (or the process ends): bytes written through handles
  // that are still open go to their files, the threads end, and the chunks go. A slot
  // that another thread still uses is left alone.
  ~Layer() {
    ForEachMadeSlot([](Slot &s) {
      std::unique_lock<std::mutex> lock(s.mutex, std::try_to_lock);
      if (lock && s.entry.fd >= 0 && s.entry.buffer) {
        Settle(s.entry, false);
        s.entry.buffer.reset();
      }
    });
    StopWorkers();
    for (auto &chunk : g_chunks) delete[] chunk.load();
  }
} g_layer;

}  // namespace

HANDLE AddEntry(FileEntry &&entry) {
  size_t slot;
  {
    std::lock_guard<std::mutex> lock(g_tableMutex);
    if (!g_freeSlots.empty()) {
      slot = g_freeSlots.back();
      g_freeSlots.pop_back();
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
  Slot *slot = SlotOf(handle, &index);
  if (!slot) return false;
  std::unique_lock<std::mutex> lock = LockSlot(*slot);
  if (slot->entry.fd < 0) return false;
  entry = std::move(slot->entry);
  slot->entry = FileEntry();
  return true;
}

void ReleaseSlot(size_t index) {
  std::lock_guard<std::mutex> lock(g_tableMutex);
  g_freeSlots.push_back(index);
}

LockedEntry::LockedEntry(HANDLE handle) {
  Slot *slot = SlotOf(handle);
  if (slot) {
    lock_ = LockSlot(*slot);
    if (slot->entry.fd >= 0)
      entry_ = &slot->entry;
    else
      lock_.unlock();
  }
  if (!entry_) Fail(ERROR_INVALID_HANDLE);
}

}  // namespace lumox_files
