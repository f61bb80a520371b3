// Reading, writing and observing open files: ReadFile, WriteFile, the size, type and
// pointer of a file, SetEndOfFile and FlushFileBuffers. Buffered handles (file_buffer.cpp)
// are settled before every call that observes the file.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "file_internal.h"
#include "platform_internal.h"

using lumox_platform::ErrorFromErrno;
using lumox_platform::Fail;
using lumox_platform::SetLastErrorFromErrno;

using namespace lumox_files;

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

// A descriptor of the handle's own for a call that must not hold the handle's lock while it
// waits, and the lock let go; -1 with the last error set when none can be had.
int OwnDescriptor(LockedEntry &entry) {
  int fd = fcntl(entry->fd, F_DUPFD_CLOEXEC, 0);
  int err = errno;
  entry.Unlock();
  if (fd < 0) SetLastErrorFromErrno(err);
  return fd;
}

}  // namespace

extern "C" BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read,
                                LPOVERLAPPED overlapped) {
  if (read) *read = 0;
  LockedEntry entry(file);
  if (!StartIo(entry, read, overlapped, &FileEntry::canRead, toRead, buffer)) return FALSE;
  char *out = static_cast<char *>(buffer);
  DWORD done = 0;
  bool ok;
  if (entry->buffer) {
    ok = BufferedRead(*entry, out, toRead, done);
  } else {
    // A pipe or device may wait for data: other calls on it must not. The call reads
    // through a copy of the descriptor, so a CloseHandle meanwhile cannot hand its number
    // to a file opened next.
    int fd = OwnDescriptor(entry);
    if (fd < 0) return FALSE;
    ok = true;
    while (done < toRead) {
      ssize_t n = ::read(fd, out + done, toRead - done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        ok = Fail(IoError(errno), false);
        break;
      }
      if (n == 0) break;
      done += static_cast<DWORD>(n);
    }
    close(fd);
  }
  if (read) *read = done;
  return ok ? TRUE : FALSE;
}

extern "C" BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written,
                                 LPOVERLAPPED overlapped) {
  if (written) *written = 0;
  LockedEntry entry(file);
  if (!StartIo(entry, written, overlapped, &FileEntry::canWrite, toWrite, buffer)) return FALSE;
  const char *data = static_cast<const char *>(buffer);
  if (entry->buffer) {
    DWORD done = 0;
    bool ok = BufferedWrite(*entry, data, toWrite, done);
    if (written) *written = done;
    return ok ? TRUE : FALSE;
  }
  int fd = OwnDescriptor(entry);  // a pipe may wait for room: other calls on it must not
  if (fd < 0) return FALSE;
  size_t done = 0;
  bool ok = WriteAll(fd, data, toWrite, done);
  int err = errno;
  close(fd);
  if (written) *written = static_cast<DWORD>(done);
  if (!ok) return Fail(IoError(err));
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
  if (DWORD failure = WriteOutAll(*entry)) return Fail(failure);
  if (fsync(entry->fd) != 0 && errno != EINVAL && errno != EROFS) {
    SetLastErrorFromErrno(errno);
    return FALSE;
  }
  return TRUE;
}
