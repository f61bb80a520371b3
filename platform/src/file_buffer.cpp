// Buffering of regular files, so that callers moving data in small blocks make few system
// calls, and so that the file side of a transfer runs beside the network side.
//
// A handle opened for writing with share mode 0 gathers its writes (no other handle can
// look at the file meanwhile). Once the handle has written a megabyte and holds the
// process's background lane, it gathers a megabyte at a time: a full buffer goes to a
// background thread and the caller gathers into a second one; before it hands that one over
// too, it waits for the first write, so bytes reach the file in order and at most two
// buffers are held. Before anything that could observe the file through the handle, and at
// CloseHandle, everything written is written out. A delayed write that fails is reported by
// the next WriteFile and by CloseHandle, and every later write fails: the file can no longer
// hold what the caller wrote, and nothing is written past the lost bytes.
//
// A handle opened for reading only reads ahead: when it takes a full buffer past its first
// megabyte and holds the lane, a background thread reads the next megabyte. Reads go by
// explicit offset (pread), so the descriptor's own offset is set only when the file pointer
// is observed or moved. A file that shrinks is seen at the next refill: bytes read ahead past
// the file's new end are not handed out.
#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <utility>

#include "file_internal.h"
#include "file_worker.h"
#include "platform_internal.h"

using lumox_platform::BulkBuffer;
using lumox_platform::ErrorFromErrno;
using lumox_platform::NewBulkBuffer;

namespace lumox_files {

struct FileBuffer {
  static constexpr size_t kReadSize = size_t{128} * 1024;  // read ahead at a time
  // Gathered before writing out, and written in one piece. The page cache fills a write
  // with folios of about its size; on this project's virtual machines, writes of 128 KiB
  // at times took 2.3 to 2.8 s per GiB where 32 or 64 KiB ones took 1.5 to 1.9 s, at other
  // times all took about the same.
  static constexpr size_t kGatherSize = size_t{64} * 1024;
  // Background work starts once a handle has moved this much: below it, a hand-off and the
  // thread's wake-up cost more than the write or read they would overlap.
  static constexpr uint64_t kBackgroundAfter = uint64_t{1} << 20;
  // A handle with a lane moves this much per hand-off. Each hand-off wakes a thread, which
  // costs about 20 us on this project's virtual machines: in 64 KiB pieces the wake-ups of a
  // 1 GiB download cost more than the overlap gained (1.10 of curl's time against 0.87
  // without background writing), in 1 MiB pieces the download took 0.61 to 0.64.
  static constexpr size_t kLaneSize = size_t{1} << 20;
  ~FileBuffer();
  bool writeBehind = false;  // otherwise read-ahead
  bool lane = false;         // holds one of the background lanes
  uint64_t moved = 0;        // bytes written out or read so far
  BulkBuffer data;           // the caller's side, taken at first use
  size_t dataSize = 0;       // its size
  BulkBuffer spare;          // the background thread's side
  size_t spareSize = 0;
  size_t used = 0;                // bytes gathered, or bytes held
  size_t next = 0;                // read-ahead: the next byte to hand out
  DWORD failure = ERROR_SUCCESS;  // the error of a delayed write that lost data
  BackgroundJob job;              // writing `spare` out, or reading into it
  // Read-ahead: while `reading`, the file pointer is `position` less the bytes not yet
  // handed out, and `position` is where `spare` is read.
  bool reading = false;
  uint64_t position = 0;
};

namespace {

// Handles that may work with the background threads at once (kBackgroundLanes, one). A
// transfer on its own has the second core for its file; parallel transfers that keep every
// core busy receiving gain nothing from the overlap and pay for the hand-offs (eight parallel
// downloads took 1.22 of curl's time with a background writer each, 0.66 with none), and
// each lane holds 2 MiB: with two lanes eight parallel downloads peaked at 17.4 MiB, with one
// at 15.5 MiB.
constexpr int kMaxLanes = kBackgroundLanes;
std::atomic<int> g_lanesTaken{0};

bool TakeLane() {
  int taken = g_lanesTaken.load(std::memory_order_relaxed);
  while (taken < kMaxLanes)
    if (g_lanesTaken.compare_exchange_weak(taken, taken + 1, std::memory_order_relaxed))
      return true;
  return false;
}

}  // namespace

FileBuffer::~FileBuffer() {
  if (lane) g_lanesTaken.fetch_sub(1, std::memory_order_relaxed);
}

void FileBufferRelease::operator()(FileBuffer *buffer) const { delete buffer; }

namespace {

using Outcome = BackgroundJob::Outcome;

ssize_t ReadAt(int fd, char *out, size_t size, uint64_t offset) {
  for (;;) {
    ssize_t n = pread(fd, out, size, static_cast<off_t>(offset));
    if (n >= 0 || errno != EINTR) return n;
  }
}

// ----- write-behind -----

// Collects the background write, waiting for it; its failure becomes the handle's.
void CollectWrite(FileBuffer &b) {
  Outcome out = b.job.Finish();
  if (out.bytes < 0 && b.failure == ERROR_SUCCESS) b.failure = ErrorFromErrno(out.error);
}

void SwapBuffers(FileBuffer &b) {
  std::swap(b.data, b.spare);
  std::swap(b.dataSize, b.spareSize);
}

// Takes a lane and a megabyte on each side for it; false (and no lane) when none is free or
// the memory cannot be had. The caller's side must hold nothing.
bool EnterLane(FileBuffer &b) {
  if (b.lane) return true;
  if (!TakeLane()) return false;
  BulkBuffer data = NewBulkBuffer(FileBuffer::kLaneSize);
  BulkBuffer spare = NewBulkBuffer(FileBuffer::kLaneSize);
  if (!data || !spare) {
    g_lanesTaken.fetch_sub(1, std::memory_order_relaxed);
    return false;
  }
  b.data = std::move(data);
  b.spare = std::move(spare);
  b.dataSize = b.spareSize = FileBuffer::kLaneSize;
  b.lane = true;
  return true;
}

void WriteGatheredNow(int fd, FileBuffer &b) {
  size_t done;
  int err = WriteAll(fd, b.data.get(), b.used, done);
  b.used = 0;
  if (err && b.failure == ERROR_SUCCESS) b.failure = ErrorFromErrno(err);
}

// Sends the gathered bytes on their way: to the background thread once the previous write
// is done, or written here when the handle has no lane or no thread can take them. After a
// failure they are dropped.
void HandOff(int fd, FileBuffer &b) {
  if (b.job.pending()) CollectWrite(b);
  if (b.failure != ERROR_SUCCESS) b.used = 0;
  if (b.used == 0) return;
  b.moved += b.used;
  if (b.lane) {
    SwapBuffers(b);
    if (b.job.StartWrite(fd, b.spare.get(), b.used)) {
      b.used = 0;
      return;
    }
    SwapBuffers(b);
  }
  WriteGatheredNow(fd, b);
  if (b.moved >= FileBuffer::kBackgroundAfter && b.failure == ERROR_SUCCESS) EnterLane(b);
}

// Every byte written through the handle to the file; false when some were lost.
bool Drain(int fd, FileBuffer &b) {
  if (b.job.pending()) CollectWrite(b);
  if (b.failure != ERROR_SUCCESS) b.used = 0;
  if (b.used) WriteGatheredNow(fd, b);
  return b.failure == ERROR_SUCCESS;
}

// ----- read-ahead -----

// Takes the bytes the background thread read ahead as the held data; false when it brought
// none (end of file, an error, or the file shrank before them): the caller reads now.
bool TakeReadAhead(int fd, FileBuffer &b) {
  Outcome out = b.job.Finish();
  if (out.abandoned || out.bytes <= 0) return false;
  uint64_t size = static_cast<uint64_t>(out.bytes);
  struct stat st;
  if (fstat(fd, &st) == 0 && static_cast<uint64_t>(st.st_size) < b.position + size) {
    uint64_t end = static_cast<uint64_t>(st.st_size);
    size = end > b.position ? end - b.position : 0;
  }
  if (size == 0) return false;
  SwapBuffers(b);
  b.used = static_cast<size_t>(size);
  b.next = 0;
  b.position += size;
  return true;
}

// Refills the held data at the file pointer: bytes held, 0 at the end, -1 with errno.
ssize_t Refill(int fd, FileBuffer &b) {
  if (!(b.job.pending() && TakeReadAhead(fd, b))) {
    ssize_t n = ReadAt(fd, b.data.get(), b.dataSize, b.position);
    if (n <= 0) return n;
    b.used = static_cast<size_t>(n);
    b.next = 0;
    b.position += b.used;
  }
  // A full buffer of a long file: the file likely goes on, so with a lane the next piece is
  // read meanwhile. A handle that takes its lane now reads into the lane's spare side first.
  b.moved += b.used;
  if (b.used == b.dataSize && b.moved >= FileBuffer::kBackgroundAfter) {
    if (!b.lane && TakeLane()) {
      BulkBuffer spare = NewBulkBuffer(FileBuffer::kLaneSize);
      if (spare) {
        b.spare = std::move(spare);
        b.spareSize = FileBuffer::kLaneSize;
        b.lane = true;
      } else {
        g_lanesTaken.fetch_sub(1, std::memory_order_relaxed);
      }
    }
    // The side coming back from a swap may still be the small first buffer.
    if (b.lane && b.spareSize < FileBuffer::kLaneSize) {
      b.spare = NewBulkBuffer(FileBuffer::kLaneSize);
      b.spareSize = b.spare ? FileBuffer::kLaneSize : 0;
    }
    if (b.lane && b.spare) b.job.StartRead(fd, b.spare.get(), b.spareSize, b.position);
  }
  return static_cast<ssize_t>(b.used);
}

// Drops data read ahead and moves the descriptor's offset back to the file pointer.
bool DropReadAhead(int fd, FileBuffer &b) {
  if (b.job.pending()) b.job.Finish();
  if (!b.reading) return true;
  uint64_t pointer = b.position - (b.used - b.next);
  b.used = b.next = 0;
  b.reading = false;
  return lseek(fd, static_cast<off_t>(pointer), SEEK_SET) >= 0;
}

}  // namespace

std::unique_ptr<FileBuffer, FileBufferRelease> NewBuffer(const FileEntry &entry, DWORD share,
                                                         const struct stat &st) {
  if (!S_ISREG(st.st_mode)) return nullptr;
  bool writeBehind = entry.canWrite && share == 0;
  bool readAhead = entry.canRead && !entry.canWrite;
  if (!writeBehind && !readAhead) return nullptr;
  std::unique_ptr<FileBuffer, FileBufferRelease> buffer(new FileBuffer);
  buffer->writeBehind = writeBehind;
  return buffer;
}

void Settle(FileEntry &entry, bool pointer) {
  if (!entry.buffer) return;
  if (entry.buffer->writeBehind)
    Drain(entry.fd, *entry.buffer);
  else if (pointer)
    DropReadAhead(entry.fd, *entry.buffer);
}

DWORD WriteOutAll(FileEntry &entry) {
  if (!entry.buffer) return ERROR_SUCCESS;
  Settle(entry, false);
  return entry.buffer->failure;
}

DWORD BufferedRead(FileEntry &entry, char *out, DWORD toRead, DWORD &done) {
  int fd = entry.fd;
  FileBuffer &b = *entry.buffer;
  done = 0;
  if (b.writeBehind) {
    Drain(fd, b);  // a failure stays pending for WriteFile and CloseHandle
    size_t got = 0;
    int err = ReadAll(fd, out, toRead, got);
    done = static_cast<DWORD>(got);
    return err ? IoError(err) : ERROR_SUCCESS;
  }
  if (!b.reading) {
    off_t at = lseek(fd, 0, SEEK_CUR);
    if (at < 0) return IoError(errno);
    b.position = static_cast<uint64_t>(at);
    b.reading = true;
  }
  if (!b.data && toRead < FileBuffer::kReadSize) {
    b.data = NewBulkBuffer(FileBuffer::kReadSize);
    b.dataSize = b.data ? FileBuffer::kReadSize : 0;
  }
  while (done < toRead) {
    if (b.next < b.used) {
      size_t take = std::min<size_t>(b.used - b.next, toRead - done);
      memcpy(out + done, b.data.get() + b.next, take);
      b.next += take;
      done += static_cast<DWORD>(take);
      continue;
    }
    ssize_t n;
    if (toRead - done >= FileBuffer::kReadSize || !b.data) {
      // A large read goes straight to the caller, unless the bytes were read ahead.
      if (b.job.pending() && TakeReadAhead(fd, b)) continue;
      n = ReadAt(fd, out + done, toRead - done, b.position);
      if (n > 0) {
        b.position += static_cast<uint64_t>(n);
        done += static_cast<DWORD>(n);
      }
    } else {
      n = Refill(fd, b);
    }
    if (n < 0) return IoError(errno);
    if (n == 0) break;
  }
  return ERROR_SUCCESS;
}

DWORD BufferedWrite(FileEntry &entry, const char *data, DWORD toWrite, DWORD &written) {
  int fd = entry.fd;
  FileBuffer &b = *entry.buffer;
  written = 0;
  if (b.job.done()) CollectWrite(b);  // a finished background write reports its failure now
  if (b.failure == ERROR_SUCCESS && b.data && b.used + toWrite > b.dataSize) HandOff(fd, b);
  if (b.failure != ERROR_SUCCESS) return b.failure;
  if (!b.data && toWrite < FileBuffer::kGatherSize) {
    b.data = NewBulkBuffer(FileBuffer::kGatherSize);
    b.dataSize = b.data ? FileBuffer::kGatherSize : 0;
  }
  if (b.data && toWrite < b.dataSize) {
    memcpy(b.data.get() + b.used, data, toWrite);
    b.used += toWrite;
    written = toWrite;
    return ERROR_SUCCESS;
  }
  // A write as large as the buffer goes out directly, after everything before it.
  if (!Drain(fd, b)) return b.failure;
  size_t done = 0;
  int err = WriteAll(fd, data, toWrite, done);
  written = static_cast<DWORD>(done);
  if (!err) return ERROR_SUCCESS;
  // Like a delayed write that failed: the file now has a hole where the caller's bytes
  // should be, so later writes fail too and CloseHandle reports it.
  b.failure = IoError(err);
  return b.failure;
}

void ForgetWritesInChild(FileEntry &entry) {
  if (!entry.buffer) return;
  FileBuffer &b = *entry.buffer;
  if (b.writeBehind) {
    CollectWrite(b);  // a write abandoned by the fork is the parent's, and no failure here
    b.used = 0;
  } else if (b.job.pending()) {
    b.job.Finish();
  }
}

}  // namespace lumox_files
