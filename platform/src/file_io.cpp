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
// OVERLAPPED), the access the handle was opened with, and the buffer.
DWORD StartIo(const LockedEntry &entry, const DWORD *count, LPOVERLAPPED overlapped,
              bool FileEntry::*access, DWORD bytes, const void *buffer) {
  if (!entry) return ERROR_INVALID_HANDLE;
  if (!count && !overlapped) return ERROR_INVALID_PARAMETER;
  if (!((*entry).*access)) return ERROR_ACCESS_DENIED;
  if (bytes > 0 && !buffer) return ERROR_NOACCESS;
  return ERROR_SUCCESS;
}

// Reads or writes an unbuffered handle (a pipe or device, which may wait for data or room:
// other calls on it must not). The call works on a copy of the descriptor with the handle's
// lock let go, so a CloseHandle meanwhile cannot hand its number to a file opened next.
DWORD Unbuffered(LockedEntry &entry, bool reading, char *buffer, DWORD bytes, DWORD &done) {
  int fd = fcntl(entry->fd, F_DUPFD_CLOEXEC, 0);
  int err = errno;
  entry.Unlock();
  if (fd < 0) return ErrorFromErrno(err);
  size_t moved = 0;
  err = reading ? ReadAll(fd, buffer, bytes, moved) : WriteAll(fd, buffer, bytes, moved);
  close(fd);
  done = static_cast<DWORD>(moved);
  return err ? IoError(err) : ERROR_SUCCESS;
}

// ReadFile (`reading`) and WriteFile: the checks, then the buffer's work or the descriptor's.
BOOL MoveBytes(HANDLE file, bool reading, char *buffer, DWORD bytes, LPDWORD count,
               LPOVERLAPPED overlapped) {
  if (count) *count = 0;
  LockedEntry entry(file);
  bool FileEntry::*access = reading ? &FileEntry::canRead : &FileEntry::canWrite;
  if (DWORD err = StartIo(entry, count, overlapped, access, bytes, buffer)) return Fail(err);
  DWORD done = 0;
  DWORD err = !entry->buffer ? Unbuffered(entry, reading, buffer, bytes, done)
              : reading      ? BufferedRead(*entry, buffer, bytes, done)
                             : BufferedWrite(*entry, buffer, bytes, done);
  if (count) *count = done;
  return err ? Fail(err) : TRUE;
}

}  // namespace

extern "C" BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read,
                                LPOVERLAPPED overlapped) {
  return MoveBytes(file, true, static_cast<char *>(buffer), toRead, read, overlapped);
}

// The bytes are only read from: the shared path takes them as the char * a read fills.
extern "C" BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written,
                                 LPOVERLAPPED overlapped) {
  char *data = static_cast<char *>(const_cast<void *>(buffer));
  return MoveBytes(file, false, data, toWrite, written, overlapped);
}

extern "C" DWORD WINAPI GetFileSize(HANDLE file, LPDWORD high) {
  LockedEntry entry(file);
  if (!entry) return Fail(ERROR_INVALID_HANDLE, INVALID_FILE_SIZE);
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
  if (!entry) return Fail(ERROR_INVALID_HANDLE);
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
  if (!entry) return Fail(ERROR_INVALID_HANDLE, static_cast<DWORD>(FILE_TYPE_UNKNOWN));
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

// Moves the file pointer: ERROR_SUCCESS, or why the move is refused.
DWORD MovePointer(HANDLE file, int64_t offset, DWORD method, int64_t &position) {
  LockedEntry entry(file);
  if (!entry) return ERROR_INVALID_HANDLE;
  Settle(*entry, true);
  off_t origin = 0;
  if (method == FILE_CURRENT) {
    origin = lseek(entry->fd, 0, SEEK_CUR);
  } else if (method == FILE_END) {
    struct stat st;
    origin = fstat(entry->fd, &st) == 0 ? st.st_size : -1;
  } else if (method != FILE_BEGIN) {
    return ERROR_INVALID_PARAMETER;
  }
  if (origin < 0) return ErrorFromErrno(errno);
  int64_t target = static_cast<int64_t>(origin) + offset;
  if (target < 0) return ERROR_NEGATIVE_SEEK;
  if (lseek(entry->fd, static_cast<off_t>(target), SEEK_SET) < 0) return ErrorFromErrno(errno);
  position = target;
  return ERROR_SUCCESS;
}

}  // namespace

extern "C" DWORD WINAPI SetFilePointer(HANDLE file, LONG distance, LONG *high, DWORD method) {
  int64_t offset =
      high ? static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*high)) << 32) |
                                  static_cast<uint32_t>(distance))
           : static_cast<int64_t>(distance);
  int64_t target = 0;
  if (DWORD err = MovePointer(file, offset, method, target))
    return Fail(err, INVALID_SET_FILE_POINTER);
  if (high) *high = static_cast<LONG>(static_cast<uint64_t>(target) >> 32);
  DWORD low = static_cast<DWORD>(static_cast<uint64_t>(target) & 0xFFFFFFFFu);
  // A position whose low part looks like the failure value is told apart by the last error.
  if (low == INVALID_SET_FILE_POINTER) SetLastError(ERROR_SUCCESS);
  return low;
}

extern "C" BOOL WINAPI SetFilePointerEx(HANDLE file, LARGE_INTEGER distance,
                                        PLARGE_INTEGER newPosition, DWORD method) {
  int64_t target = 0;
  if (DWORD err = MovePointer(file, distance.QuadPart, method, target)) return Fail(err);
  if (newPosition) newPosition->QuadPart = target;
  return TRUE;
}

extern "C" BOOL WINAPI SetEndOfFile(HANDLE file) {
  LockedEntry entry(file);
  if (!entry) return Fail(ERROR_INVALID_HANDLE);
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
  if (!entry) return Fail(ERROR_INVALID_HANDLE);
  if (!entry->canWrite) return Fail(ERROR_ACCESS_DENIED);
  if (DWORD failure = WriteOutAll(*entry)) return Fail(failure);
  if (fsync(entry->fd) != 0 && errno != EINVAL && errno != EROFS) {
    SetLastErrorFromErrno(errno);
    return FALSE;
  }
  return TRUE;
}
