// Files and handles over POSIX descriptors.
//
// A HANDLE is an index into a small table (1-based, times 4, like Windows handle values).
// Share modes are emulated with flock(2) on the descriptor, which works across processes
// and across separate copies of this library in one process: share mode 0 takes an
// exclusive lock, any other share mode a shared one. A file whose write bits are all clear
// counts as read-only, as Windows treats FILE_ATTRIBUTE_READONLY (also for root).
//
// Regular files are buffered, so that callers moving data in small blocks make few system
// calls. A handle opened for writing with share mode 0 gathers its writes (no other handle
// can look at the file meanwhile) and writes them out before anything that could observe
// the file through it, and at CloseHandle; a delayed write that fails is reported by the
// next WriteFile and by CloseHandle. A handle opened for reading only reads ahead; the
// next refill sees whatever the file holds by then.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "platform_internal.h"

using lumox_platform::AnsiToFs;
using lumox_platform::ErrorFromErrno;
using lumox_platform::Fail;
using lumox_platform::FsToAnsi;
using lumox_platform::SetLastErrorFromErrno;

namespace {

// The buffer of one handle: gathered writes, or data read ahead.
struct FileBuffer {
  static constexpr size_t kReadSize = 128 * 1024;  // read ahead at a time
  // Gathered before writing out, and written in one piece. The page cache fills a write
  // with folios of about its size; on this project's virtual machines, writes of 128 KiB
  // at times took 2.3 to 2.8 s per GiB where 32 or 64 KiB ones took 1.5 to 1.9 s, at other
  // times all took about the same.
  static constexpr size_t kGatherSize = 64 * 1024;
  bool writeBehind = false;         // otherwise read-ahead
  lumox_platform::BulkBuffer data;  // kReadSize or kGatherSize bytes, taken at first use
  size_t used = 0;                  // bytes gathered, or bytes held
  size_t next = 0;                  // read-ahead: the next byte to hand out
  DWORD failure = ERROR_SUCCESS;    // the error of a delayed write that lost data
};

struct FileEntry {
  int fd = -1;
  bool canRead = false;
  bool canWrite = false;
  std::unique_ptr<FileBuffer> buffer;  // null for unbuffered handles (devices, pipes)
};

// Handle slots. HANDLE (i + 1) * 4 is slot i. Slots sit in chunks that are made on demand
// and never moved or freed while the library is loaded, so an operation finds its slot
// without a table-wide lock; the slot's
// own mutex guards its entry for the length of the operation, and CloseHandle takes the
// entry out under it. Small blocks of I/O on one handle thus cost one uncontended lock.
struct Slot {
  std::mutex mutex;
  FileEntry entry;  // fd -1: free
};
const size_t kChunkSlots = 256;
const size_t kChunks = 256;  // at most 65,536 handles open at once
std::atomic<Slot *> g_chunks[kChunks];
// The chunks go when the library is unloaded (no handle can be in use then).
struct ChunkRelease {
  ~ChunkRelease() {
    for (auto &chunk : g_chunks) delete[] chunk.load();
  }
} g_chunkRelease;
std::mutex g_tableMutex;  // slot allocation
std::vector<size_t> g_freeSlots;
size_t g_slotsMade = 0;

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
  std::lock_guard<std::mutex> lock(s.mutex);
  s.entry = std::move(entry);
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>((slot + 1) * 4));
}

void FreeSlot(size_t slot) {
  std::lock_guard<std::mutex> lock(g_tableMutex);
  g_freeSlots.push_back(slot);
}

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

// The entry of an open handle, locked until this goes out of scope or Unlock(); false
// (last error ERROR_INVALID_HANDLE) when the handle is not open.
class LockedEntry {
 public:
  explicit LockedEntry(HANDLE handle) {
    Slot *slot = SlotOf(handle);
    if (slot) {
      lock_ = std::unique_lock<std::mutex>(slot->mutex);
      if (slot->entry.fd >= 0)
        entry_ = &slot->entry;
      else
        lock_.unlock();
    }
    if (!entry_) Fail(ERROR_INVALID_HANDLE);
  }
  explicit operator bool() const { return entry_ != nullptr; }
  FileEntry *operator->() const { return entry_; }
  FileEntry &operator*() const { return *entry_; }
  // Lets other operations on the handle run (the entry must not be used afterwards).
  void Unlock() {
    entry_ = nullptr;
    lock_.unlock();
  }

 private:
  std::unique_lock<std::mutex> lock_;
  FileEntry *entry_ = nullptr;
};

bool IsReadOnlyMode(mode_t mode) { return (mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0; }

// The file-system path of an ANSI name; false with the Windows error for null or empty.
bool FsPath(LPCSTR name, std::string &fs) {
  if (!name) return Fail(ERROR_PATH_NOT_FOUND, false);
  if (!*name) return Fail(ERROR_PATH_NOT_FOUND, false);
  fs = AnsiToFs(name);
  return true;
}

// True when another open of the file holds it with share mode 0 (an exclusive lock).
bool HeldExclusively(const std::string &fs) {
  int fd = open(fs.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  bool held = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  close(fd);
  return held;
}

bool WriteAll(int fd, const char *data, size_t size, size_t &done) {
  done = 0;
  while (done < size) {
    ssize_t n = write(fd, data + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = ENOSPC;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// The buffer for a new handle on `st`, or null when the handle stays unbuffered.
std::unique_ptr<FileBuffer> NewBuffer(const FileEntry &entry, DWORD share, const struct stat &st) {
  if (!S_ISREG(st.st_mode)) return nullptr;
  bool writeBehind = entry.canWrite && share == 0;
  bool readAhead = entry.canRead && !entry.canWrite;
  if (!writeBehind && !readAhead) return nullptr;
  std::unique_ptr<FileBuffer> buffer(new FileBuffer);
  buffer->writeBehind = writeBehind;
  return buffer;
}

// Writes out the gathered bytes (entry locked). A failure is kept in `failure` and the
// bytes are dropped; the caller learns of it from the next WriteFile or CloseHandle.
bool WriteOut(int fd, FileBuffer &buffer) {
  if (!buffer.writeBehind || buffer.used == 0) return buffer.failure == ERROR_SUCCESS;
  size_t done;
  bool ok = WriteAll(fd, buffer.data.get(), buffer.used, done);
  buffer.used = 0;
  if (!ok && buffer.failure == ERROR_SUCCESS) buffer.failure = ErrorFromErrno(errno);
  return ok && buffer.failure == ERROR_SUCCESS;
}

// Drops data read ahead and moves the descriptor back to the caller's position (entry
// locked), so the descriptor's offset is the handle's file pointer again.
bool DropReadAhead(int fd, FileBuffer &buffer) {
  if (buffer.writeBehind || buffer.next == buffer.used) {
    buffer.used = buffer.next = 0;
    return true;
  }
  off_t back = static_cast<off_t>(buffer.used - buffer.next);
  buffer.used = buffer.next = 0;
  return lseek(fd, -back, SEEK_CUR) >= 0;
}

// Brings the file up to date before an operation that looks at it: writes out gathered
// bytes (a failure stays pending for WriteFile and CloseHandle); before an operation on the
// file pointer, also drops data read ahead. The entry is locked.
void Settle(const FileEntry &entry, bool pointer) {
  if (!entry.buffer) return;
  if (entry.buffer->writeBehind)
    WriteOut(entry.fd, *entry.buffer);
  else if (pointer)
    DropReadAhead(entry.fd, *entry.buffer);
}

// Reads up to `size` bytes from the descriptor; -1 with errno on failure, 0 at the end.
ssize_t ReadSome(int fd, char *out, size_t size) {
  for (;;) {
    ssize_t n = ::read(fd, out, size);
    if (n >= 0 || errno != EINTR) return n;
  }
}

// Copies the contents of `from` into a new or emptied `to`; sets the last error on failure.
bool CopyContents(const std::string &from, const std::string &to, bool failIfExists) {
  int in = open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (in < 0) {
    SetLastErrorFromErrno(errno, from.c_str());
    return false;
  }
  struct stat inSt;
  if (fstat(in, &inSt) != 0 || S_ISDIR(inSt.st_mode)) {
    close(in);
    return Fail(ERROR_ACCESS_DENIED, false);
  }
  if (flock(in, LOCK_SH | LOCK_NB) != 0) {
    close(in);
    return Fail(ERROR_SHARING_VIOLATION, false);
  }
  struct stat toSt;
  bool toExisted = stat(to.c_str(), &toSt) == 0;
  if (toExisted) {
    if (failIfExists) {
      close(in);
      return Fail(ERROR_FILE_EXISTS, false);
    }
    if (toSt.st_dev == inSt.st_dev && toSt.st_ino == inSt.st_ino) {
      close(in);
      return Fail(ERROR_SHARING_VIOLATION, false);
    }
    if (S_ISDIR(toSt.st_mode) || IsReadOnlyMode(toSt.st_mode)) {
      close(in);
      return Fail(ERROR_ACCESS_DENIED, false);
    }
  }
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | (failIfExists ? O_EXCL : 0);
  int out = open(to.c_str(), flags, inSt.st_mode & 0777);
  if (out < 0) {
    DWORD code = ErrorFromErrno(errno, to.c_str());
    close(in);
    return Fail(code, false);
  }
  bool created = !toExisted;
  if (flock(out, LOCK_SH | LOCK_NB) != 0 || ftruncate(out, 0) != 0) {
    DWORD code = errno == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : ErrorFromErrno(errno);
    close(out);
    close(in);
    if (created) unlink(to.c_str());
    return Fail(code, false);
  }
  char block[65536];
  for (;;) {
    ssize_t n = read(in, block, sizeof block);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (n == 0) {
      close(in);
      if (close(out) != 0) {
        SetLastErrorFromErrno(errno);
        return false;
      }
      return true;
    }
    size_t done;
    if (!WriteAll(out, block, static_cast<size_t>(n), done)) break;
  }
  DWORD code = ErrorFromErrno(errno);
  close(in);
  close(out);
  unlink(to.c_str());
  return Fail(code, false);
}

// Moves `from` to `to`; `replace` allows an existing target, `copyAllowed` a copy across
// file systems. Sets the last error on failure.
bool MoveEntry(LPCSTR fromName, LPCSTR toName, bool replace, bool copyAllowed) {
  std::string from, to;
  if (!FsPath(fromName, from) || !FsPath(toName, to)) return false;
  struct stat fromSt;
  if (lstat(from.c_str(), &fromSt) != 0) {
    SetLastErrorFromErrno(errno, from.c_str());
    return false;
  }
  struct stat toSt;
  bool toExists = lstat(to.c_str(), &toSt) == 0;
  bool same = toExists && toSt.st_dev == fromSt.st_dev && toSt.st_ino == fromSt.st_ino;
  if (toExists && !same) {
    if (!replace) return Fail(ERROR_ALREADY_EXISTS, false);
    if (S_ISDIR(toSt.st_mode) || IsReadOnlyMode(toSt.st_mode)) {
      return Fail(ERROR_ACCESS_DENIED, false);
    }
    if (HeldExclusively(to)) return Fail(ERROR_SHARING_VIOLATION, false);
  }
  if (!S_ISDIR(fromSt.st_mode) && HeldExclusively(from)) {
    return Fail(ERROR_SHARING_VIOLATION, false);
  }
  int rc;
  if (replace) {
    rc = rename(from.c_str(), to.c_str());
  } else {
    rc = renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
    if (rc != 0 && errno == EINVAL) {  // file system without RENAME_NOREPLACE
      if (link(from.c_str(), to.c_str()) == 0) {
        rc = unlink(from.c_str());
      } else if (errno == EPERM || errno == EXDEV || errno == EMLINK) {
        errno = EXDEV;
      }
    }
  }
  if (rc == 0) return true;
  if (errno == EEXIST) return Fail(ERROR_ALREADY_EXISTS, false);
  if (errno == EXDEV && copyAllowed && !S_ISDIR(fromSt.st_mode)) {
    if (!CopyContents(from, to, !replace)) {
      if (GetLastError() == ERROR_FILE_EXISTS) SetLastError(ERROR_ALREADY_EXISTS);
      return false;
    }
    if (unlink(from.c_str()) != 0) {
      SetLastErrorFromErrno(errno, from.c_str());
      return false;
    }
    return true;
  }
  SetLastErrorFromErrno(errno, to.c_str());
  return false;
}

}  // namespace

extern "C" HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share,
                                     LPSECURITY_ATTRIBUTES sa, DWORD disposition, DWORD flags,
                                     HANDLE templateFile) {
  std::string fs;
  if (!FsPath(name, fs)) return INVALID_HANDLE_VALUE;
  if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
    return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  }
  const DWORD kGenericAll = 0x10000000u;
  bool canRead = (access & (GENERIC_READ | kGenericAll | 0x0001u)) != 0;
  bool canWrite = (access & (GENERIC_WRITE | kGenericAll | 0x0002u | 0x0004u)) != 0;
  if (disposition == TRUNCATE_EXISTING && !canWrite) {
    return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  }
  int mode = canWrite ? (canRead ? O_RDWR : O_WRONLY) : O_RDONLY;
  // O_NONBLOCK: opening a FIFO must not wait for its other end (Windows has no such wait);
  // the descriptor goes back to blocking once it is open.
  int base = mode | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  bool truncate = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;

  int fd = -1;
  bool created = false;
  for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
    if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) {
      fd = open(fs.c_str(), base);
      if (fd < 0) break;
    } else {
      fd = open(fs.c_str(), base | O_CREAT | O_EXCL, 0666);
      if (fd >= 0) {
        created = true;
      } else if (errno == EEXIST && disposition != CREATE_NEW) {
        fd = open(fs.c_str(), base);
        if (fd < 0 && errno == ENOENT) continue;  // removed in between: create it again
      }
      if (fd < 0) break;
    }
  }
  if (fd < 0) {
    int err = errno;
    struct stat st;
    if (err == EEXIST) {
      SetLastError(ERROR_FILE_EXISTS);
    } else if (err == EISDIR || (stat(fs.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) {
      SetLastError(ERROR_ACCESS_DENIED);
    } else {
      SetLastErrorFromErrno(err, fs.c_str());
    }
    return INVALID_HANDLE_VALUE;
  }

  DWORD failure = ERROR_SUCCESS;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    failure = ErrorFromErrno(errno);
  } else if (S_ISDIR(st.st_mode)) {
    failure = ERROR_ACCESS_DENIED;
  } else if (!created && canWrite && IsReadOnlyMode(st.st_mode)) {
    failure = ERROR_ACCESS_DENIED;
  } else if (flock(fd, (share == 0 ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
    failure = errno == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : ErrorFromErrno(errno);
  } else if (truncate && !created && st.st_size != 0 && ftruncate(fd, 0) != 0) {
    failure = ErrorFromErrno(errno);
  }
  if (failure != ERROR_SUCCESS) {
    close(fd);
    if (created) unlink(fs.c_str());
    return Fail(failure, INVALID_HANDLE_VALUE);
  }

  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  FileEntry entry;
  entry.fd = fd;
  entry.canRead = canRead;
  entry.canWrite = canWrite;
  entry.buffer = NewBuffer(entry, share, st);
  HANDLE handle = AddEntry(std::move(entry));
  if (!handle) {
    close(fd);
    if (created) unlink(fs.c_str());
    return Fail(ERROR_TOO_MANY_OPEN_FILES, INVALID_HANDLE_VALUE);
  }
  bool existed = !created && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS);
  SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

namespace {

// The checks ReadFile and WriteFile share: the handle, a byte count to fill (or an
// OVERLAPPED), the access the handle was opened with, and the buffer. Sets the last error.
bool StartIo(const LockedEntry &entry, const DWORD *count, LPOVERLAPPED overlapped,
             bool FileEntry::*access, DWORD bytes, const void *buffer) {
  if (!entry) return false;
  if (!count && !overlapped) return Fail(ERROR_INVALID_PARAMETER, false);
  if (!((*entry).*access)) return Fail(ERROR_ACCESS_DENIED, false);
  if (bytes > 0 && !buffer) return Fail(ERROR_NOACCESS, false);
  return true;
}

// The error of a failed read or write: a bad buffer address is ERROR_NOACCESS.
DWORD IoError(int err) { return err == EFAULT ? ERROR_NOACCESS : ErrorFromErrno(err); }

}  // namespace

extern "C" BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read,
                                LPOVERLAPPED overlapped) {
  if (read) *read = 0;
  LockedEntry entry(file);
  if (!StartIo(entry, read, overlapped, &FileEntry::canRead, toRead, buffer)) return FALSE;
  DWORD done = 0;
  char *out = static_cast<char *>(buffer);
  int fd = entry->fd;
  FileBuffer *ahead = nullptr;
  if (!entry->buffer) {
    entry.Unlock();  // a pipe or device may wait for data: other calls on it must not
  } else if (entry->buffer->writeBehind) {
    WriteOut(fd, *entry->buffer);
  } else {
    ahead = entry->buffer.get();
  }
  if (ahead && toRead < FileBuffer::kReadSize && !ahead->data) {
    ahead->data = lumox_platform::NewBulkBuffer(FileBuffer::kReadSize);
    if (!ahead->data) ahead = nullptr;
  }
  while (done < toRead) {
    if (ahead && ahead->next < ahead->used) {
      size_t take = std::min<size_t>(ahead->used - ahead->next, toRead - done);
      memcpy(out + done, ahead->data.get() + ahead->next, take);
      ahead->next += take;
      done += static_cast<DWORD>(take);
      continue;
    }
    bool refill = ahead && ahead->data && toRead - done < FileBuffer::kReadSize;
    ssize_t n = refill ? ReadSome(fd, ahead->data.get(), FileBuffer::kReadSize)
                       : ReadSome(fd, out + done, toRead - done);
    if (n < 0) {
      SetLastError(IoError(errno));
      if (read) *read = done;
      return FALSE;
    }
    if (n == 0) break;
    if (refill) {
      ahead->used = static_cast<size_t>(n);
      ahead->next = 0;
    } else {
      done += static_cast<DWORD>(n);
    }
  }
  if (read) *read = done;
  return TRUE;
}

extern "C" BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written,
                                 LPOVERLAPPED overlapped) {
  if (written) *written = 0;
  LockedEntry entry(file);
  if (!StartIo(entry, written, overlapped, &FileEntry::canWrite, toWrite, buffer)) return FALSE;
  int fd = entry->fd;
  if (entry->buffer && entry->buffer->writeBehind) {
    FileBuffer &gather = *entry->buffer;
    if (gather.failure == ERROR_SUCCESS && gather.used + toWrite > FileBuffer::kGatherSize) {
      WriteOut(fd, gather);
    }
    // Data already acknowledged was lost: every later write fails, as the file can no
    // longer hold what the caller wrote.
    if (gather.failure != ERROR_SUCCESS) return Fail(gather.failure);
    if (toWrite < FileBuffer::kGatherSize && !gather.data) {
      gather.data = lumox_platform::NewBulkBuffer(FileBuffer::kGatherSize);
    }
    if (toWrite < FileBuffer::kGatherSize && gather.data) {
      memcpy(gather.data.get() + gather.used, buffer, toWrite);
      gather.used += toWrite;
      if (written) *written = toWrite;
      return TRUE;
    }
  } else if (!entry->buffer) {
    entry.Unlock();  // a pipe may wait for room: other calls on it must not
  }
  size_t done = 0;
  bool ok = WriteAll(fd, static_cast<const char *>(buffer), toWrite, done);
  if (written) *written = static_cast<DWORD>(done);
  if (!ok) return Fail(IoError(errno));
  return TRUE;
}

extern "C" DWORD WINAPI GetFileSize(HANDLE file, LPDWORD high) {
  LockedEntry entry(file);
  if (!entry) return INVALID_FILE_SIZE;
  Settle(*entry, false);
  struct stat st;
  if (fstat(entry->fd, &st) != 0) {
    SetLastErrorFromErrno(errno);
    return INVALID_FILE_SIZE;
  }
  uint64_t size = static_cast<uint64_t>(st.st_size);
  if (high) *high = static_cast<DWORD>(size >> 32);
  DWORD low = static_cast<DWORD>(size & 0xFFFFFFFFu);
  // A size whose low part looks like the failure value is told apart by the last error.
  if (low == INVALID_FILE_SIZE) SetLastError(ERROR_SUCCESS);
  return low;
}

extern "C" BOOL WINAPI GetFileSizeEx(HANDLE file, PLARGE_INTEGER size) {
  LockedEntry entry(file);
  if (!entry) return FALSE;
  if (!size) return Fail(ERROR_NOACCESS);
  Settle(*entry, false);
  struct stat st;
  if (fstat(entry->fd, &st) != 0) {
    SetLastErrorFromErrno(errno);
    return FALSE;
  }
  size->QuadPart = static_cast<LONGLONG>(st.st_size);
  return TRUE;
}

extern "C" DWORD WINAPI GetFileType(HANDLE file) {
  LockedEntry entry(file);
  if (!entry) return FILE_TYPE_UNKNOWN;
  struct stat st;
  if (fstat(entry->fd, &st) != 0) {
    SetLastErrorFromErrno(errno);
    return FILE_TYPE_UNKNOWN;
  }
  if (S_ISREG(st.st_mode)) return FILE_TYPE_DISK;
  if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) return FILE_TYPE_PIPE;
  if (S_ISCHR(st.st_mode)) return FILE_TYPE_CHAR;
  // Block devices: no Windows file name opens one. An unknown type clears the last error.
  SetLastError(ERROR_SUCCESS);
  return FILE_TYPE_UNKNOWN;
}

namespace {

// Moves the file pointer; false with the last error set when the move is refused.
bool MovePointer(HANDLE file, int64_t offset, DWORD method, int64_t &position) {
  LockedEntry entry(file);
  if (!entry) return false;
  Settle(*entry, true);
  off_t origin = 0;
  if (method == FILE_CURRENT) {
    origin = lseek(entry->fd, 0, SEEK_CUR);
  } else if (method == FILE_END) {
    struct stat st;
    origin = fstat(entry->fd, &st) == 0 ? st.st_size : -1;
  } else if (method != FILE_BEGIN) {
    return Fail(ERROR_INVALID_PARAMETER, false);
  }
  if (origin < 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  int64_t target = static_cast<int64_t>(origin) + offset;
  if (target < 0) return Fail(ERROR_NEGATIVE_SEEK, false);
  if (lseek(entry->fd, static_cast<off_t>(target), SEEK_SET) < 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  position = target;
  return true;
}

}  // namespace

extern "C" DWORD WINAPI SetFilePointer(HANDLE file, LONG distance, LONG *high, DWORD method) {
  int64_t offset =
      high ? static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*high)) << 32) |
                                  static_cast<uint32_t>(distance))
           : static_cast<int64_t>(distance);
  int64_t target;
  if (!MovePointer(file, offset, method, target)) return INVALID_SET_FILE_POINTER;
  if (high) *high = static_cast<LONG>(static_cast<uint64_t>(target) >> 32);
  DWORD low = static_cast<DWORD>(static_cast<uint64_t>(target) & 0xFFFFFFFFu);
  // A position whose low part looks like the failure value is told apart by the last error.
  if (low == INVALID_SET_FILE_POINTER) SetLastError(ERROR_SUCCESS);
  return low;
}

extern "C" BOOL WINAPI SetFilePointerEx(HANDLE file, LARGE_INTEGER distance,
                                        PLARGE_INTEGER newPosition, DWORD method) {
  int64_t target;
  if (!MovePointer(file, distance.QuadPart, method, target)) return FALSE;
  if (newPosition) newPosition->QuadPart = target;
  return TRUE;
}

extern "C" BOOL WINAPI SetEndOfFile(HANDLE file) {
  LockedEntry entry(file);
  if (!entry) return FALSE;
  if (!entry->canWrite) return Fail(ERROR_ACCESS_DENIED);
  Settle(*entry, true);
  off_t position = lseek(entry->fd, 0, SEEK_CUR);
  if (position < 0 || ftruncate(entry->fd, position) != 0) {
    SetLastErrorFromErrno(errno);
    return FALSE;
  }
  return TRUE;
}

extern "C" BOOL WINAPI FlushFileBuffers(HANDLE file) {
  LockedEntry entry(file);
  if (!entry) return FALSE;
  if (!entry->canWrite) return Fail(ERROR_ACCESS_DENIED);
  if (entry->buffer && !WriteOut(entry->fd, *entry->buffer)) return Fail(entry->buffer->failure);
  if (fsync(entry->fd) != 0 && errno != EINVAL && errno != EROFS) {
    SetLastErrorFromErrno(errno);
    return FALSE;
  }
  return TRUE;
}

// Closes the handle whatever happens; fails (with the error of the lost write) when
// gathered data could not be written, now or earlier.
extern "C" BOOL WINAPI CloseHandle(HANDLE handle) {
  size_t index = 0;
  Slot *slot = SlotOf(handle, &index);
  FileEntry entry;
  if (slot) {
    std::lock_guard<std::mutex> lock(slot->mutex);
    if (slot->entry.fd >= 0) {
      entry = std::move(slot->entry);
      slot->entry = FileEntry();
    }
  }
  if (entry.fd < 0) return Fail(ERROR_INVALID_HANDLE);
  DWORD failure = ERROR_SUCCESS;
  if (entry.buffer) {
    WriteOut(entry.fd, *entry.buffer);
    failure = entry.buffer->failure;
  }
  if (close(entry.fd) != 0 && errno != EINTR && failure == ERROR_SUCCESS) {
    failure = ErrorFromErrno(errno);
  }
  FreeSlot(index);
  if (failure != ERROR_SUCCESS) {
    SetLastError(failure);
    return FALSE;
  }
  return TRUE;
}

extern "C" BOOL WINAPI DeleteFileA(LPCSTR name) {
  std::string fs;
  if (!FsPath(name, fs)) return FALSE;
  struct stat st;
  if (lstat(fs.c_str(), &st) != 0) {
    SetLastErrorFromErrno(errno, fs.c_str());
    return FALSE;
  }
  if (S_ISDIR(st.st_mode) || (S_ISREG(st.st_mode) && IsReadOnlyMode(st.st_mode))) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  if (S_ISREG(st.st_mode) && HeldExclusively(fs)) return Fail(ERROR_SHARING_VIOLATION);
  if (unlink(fs.c_str()) != 0) {
    SetLastErrorFromErrno(errno, fs.c_str());
    return FALSE;
  }
  return TRUE;
}

extern "C" BOOL WINAPI MoveFileA(LPCSTR from, LPCSTR to) {
  return MoveEntry(from, to, false, true) ? TRUE : FALSE;
}

extern "C" BOOL WINAPI MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags) {
  if (flags & ~(MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (!to) {  // a null target means "delete", which is only done at the next restart
    return Fail(ERROR_INVALID_PARAMETER);
  }
  return MoveEntry(from, to, (flags & MOVEFILE_REPLACE_EXISTING) != 0,
                   (flags & MOVEFILE_COPY_ALLOWED) != 0)
             ? TRUE
             : FALSE;
}

extern "C" BOOL WINAPI CopyFileA(LPCSTR from, LPCSTR to, BOOL failIfExists) {
  std::string fromFs, toFs;
  if (!FsPath(from, fromFs) || !FsPath(to, toFs)) return FALSE;
  return CopyContents(fromFs, toFs, failIfExists != FALSE) ? TRUE : FALSE;
}

extern "C" BOOL WINAPI CreateDirectoryA(LPCSTR name, LPSECURITY_ATTRIBUTES sa) {
  std::string fs;
  if (!FsPath(name, fs)) return FALSE;
  if (mkdir(fs.c_str(), 0777) != 0) {
    int err = errno;
    SetLastError(err == EEXIST   ? ERROR_ALREADY_EXISTS
                 : err == ENOENT ? ERROR_PATH_NOT_FOUND
                                 : ErrorFromErrno(err, fs.c_str()));
    return FALSE;
  }
  return TRUE;
}

extern "C" BOOL WINAPI RemoveDirectoryA(LPCSTR name) {
  std::string fs;
  if (!FsPath(name, fs)) return FALSE;
  if (rmdir(fs.c_str()) != 0) {
    int err = errno;
    SetLastError(err == ENOTDIR  ? ERROR_DIRECTORY
                 : err == EEXIST ? ERROR_DIR_NOT_EMPTY
                                 : ErrorFromErrno(err, fs.c_str()));
    return FALSE;
  }
  return TRUE;
}

extern "C" DWORD WINAPI GetTempPathA(DWORD size, LPSTR buffer) {
  if (size && !buffer) return Fail(ERROR_INVALID_PARAMETER, 0);
  const char *dir = getenv("TMPDIR");
  std::string path = (dir && *dir) ? FsToAnsi(dir) : std::string("/tmp");
  if (path.empty() || path.back() != '/') path += '/';
  if (path.size() + 1 > MAX_PATH) return Fail(ERROR_FILENAME_EXCED_RANGE, 0);
  DWORD needed = static_cast<DWORD>(path.size() + 1);
  if (!buffer || size < needed) return needed;
  memcpy(buffer, path.c_str(), needed);
  return needed - 1;
}

extern "C" DWORD WINAPI GetFileAttributesA(LPCSTR name) {
  std::string fs;
  if (!FsPath(name, fs)) return INVALID_FILE_ATTRIBUTES;
  struct stat st;
  if (stat(fs.c_str(), &st) != 0) {
    SetLastErrorFromErrno(errno, fs.c_str());
    return INVALID_FILE_ATTRIBUTES;
  }
  DWORD attributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  if (!S_ISDIR(st.st_mode) && IsReadOnlyMode(st.st_mode)) attributes |= FILE_ATTRIBUTE_READONLY;
  return attributes;
}
