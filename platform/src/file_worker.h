// Background file I/O: a few shared threads that write a buffer out or read one ahead while
// the caller goes on (receiving from the network, sending). A handle owns one BackgroundJob
// and has at most one piece of work in it at a time, so its bytes go to the file in order.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace lumox_files {

// Handles that may have background work at once (file_buffer.cpp says why one), and so the
// threads that can be busy: each such handle has at most one job in flight.
constexpr int kBackgroundLanes = 1;

struct JobState;

class BackgroundJob {
 public:
  BackgroundJob() = default;
  ~BackgroundJob();  // waits for work in progress
  BackgroundJob(const BackgroundJob &) = delete;
  BackgroundJob &operator=(const BackgroundJob &) = delete;

  // Starts writing `size` bytes of `data` whole at the descriptor's offset, or reading up to
  // `size` bytes into `data` at `offset`. `data` must stay untouched until Finish(). False
  // when no thread can take the work (the caller then does it itself).
  bool StartWrite(int fd, const char *data, size_t size);
  bool StartRead(int fd, char *data, size_t size, uint64_t offset);
  // True while work is started and not yet collected by Finish().
  bool pending() const { return pending_; }
  // True when the started work is over (Finish() will not wait).
  bool done() const;
  // Waits for the work and collects it: bytes moved, or -1 with the errno in `error`.
  // A job whose process forked while it ran reports `abandoned` in the child: the work
  // belongs to the parent.
  struct Outcome {
    ssize_t bytes = 0;
    int error = 0;
    bool abandoned = false;
  };
  Outcome Finish();

 private:
  bool Start(int kind, int fd, char *data, size_t size, uint64_t offset);
  JobState *state_ = nullptr;
  bool pending_ = false;
};

// Fork handling for the workers (called by the handle table's fork handlers, which hold
// every slot lock around them): before the fork the pool's lock is taken; the parent lets
// go of it; in the child, whose threads are gone, every job in flight is abandoned.
void WorkersBeforeFork();
void WorkersAfterForkParent();
void WorkersAfterForkChild();
// Stops the threads and waits for them (the library is being unloaded).
void StopWorkers();

}  // namespace lumox_files
