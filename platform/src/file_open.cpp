// Opening and closing files over POSIX descriptors, with Windows share modes.
//
// Share modes are emulated with flock(2) on the descriptor, which works across processes
// and across separate copies of this library in one process: share mode 0 takes an
// exclusive lock, any other share mode a shared one. A file whose write bits are all clear
// counts as read-only, as Windows treats FILE_ATTRIBUTE_READONLY (also for root).
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "file_internal.h"
#include "platform_internal.h"

using lumox_platform::ErrorFromErrno;
using lumox_platform::Fail;

using namespace lumox_files;

namespace {

// What CreateFileA asked for, in the terms of open(2).
struct OpenRequest {
  std::string fs;
  DWORD disposition = 0;
  DWORD share = 0;
  bool canRead = false;
  bool canWrite = false;
  int flags = 0;  // open(2) flags without O_CREAT
};

// Checks the arguments and turns them into an open request: ERROR_SUCCESS or the error.
DWORD ReadRequest(LPCSTR name, DWORD access, DWORD share, DWORD disposition, OpenRequest &r) {
  if (DWORD err = FsPath(name, r.fs)) return err;
  if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) return ERROR_INVALID_PARAMETER;
  const DWORD kGenericAll = 0x10000000u;
  r.canRead = (access & (GENERIC_READ | kGenericAll | 0x0001u)) != 0;
  r.canWrite = (access & (GENERIC_WRITE | kGenericAll | 0x0002u | 0x0004u)) != 0;
  if (disposition == TRUNCATE_EXISTING && !r.canWrite) return ERROR_INVALID_PARAMETER;
  r.disposition = disposition;
  r.share = share;
  int mode = r.canWrite ? (r.canRead ? O_RDWR : O_WRONLY) : O_RDONLY;
  // O_NONBLOCK: opening a FIFO must not wait for its other end (Windows has no such wait);
  // the descriptor goes back to blocking once it is open.
  r.flags = mode | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  return ERROR_SUCCESS;
}

// Opens or creates the file as the disposition says: ERROR_SUCCESS with `fd` (and `created`
// when this call made the file), or the error.
DWORD OpenDescriptor(const OpenRequest &r, int &fd, bool &created) {
  const char *fs = r.fs.c_str();
  fd = -1;
  created = false;
  for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
    if (r.disposition == OPEN_EXISTING || r.disposition == TRUNCATE_EXISTING) {
      fd = open(fs, r.flags);
      if (fd < 0) break;
    } else {
      fd = open(fs, r.flags | O_CREAT | O_EXCL, 0666);
      if (fd >= 0) {
        created = true;
      } else if (errno == EEXIST && r.disposition != CREATE_NEW) {
        fd = open(fs, r.flags);
        if (fd < 0 && errno == ENOENT) continue;  // removed in between: create it again
      }
      if (fd < 0) break;
    }
  }
  if (fd >= 0) return ERROR_SUCCESS;
  int err = errno;
  struct stat st;
  if (err == EEXIST) return ERROR_FILE_EXISTS;
  if (err == EISDIR || (stat(fs, &st) == 0 && S_ISDIR(st.st_mode))) return ERROR_ACCESS_DENIED;
  return ErrorFromErrno(err, fs);
}

// Checks what was opened and takes its share lock, emptying it where the disposition says:
// ERROR_SUCCESS with its status in `st`, or the error.
DWORD Admit(const OpenRequest &r, int fd, bool created, struct stat &st) {
  if (fstat(fd, &st) != 0) return ErrorFromErrno(errno);
  if (S_ISDIR(st.st_mode) || (!created && r.canWrite && IsReadOnlyMode(st.st_mode)))
    return ERROR_ACCESS_DENIED;
  if (flock(fd, (r.share == 0 ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0)
    return errno == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : ErrorFromErrno(errno);
  bool truncate = r.disposition == CREATE_ALWAYS || r.disposition == TRUNCATE_EXISTING;
  if (truncate && !created && st.st_size != 0 && ftruncate(fd, 0) != 0)
    return ErrorFromErrno(errno);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return ERROR_SUCCESS;
}

// Puts the open file in the handle table: its handle, or null when the table is full.
HANDLE AddHandle(const OpenRequest &r, int fd, const struct stat &st) {
  FileEntry entry;
  entry.fd = fd;
  entry.canRead = r.canRead;
  entry.canWrite = r.canWrite;
  entry.shareDelete = (r.share & FILE_SHARE_DELETE) != 0;
  entry.buffer = NewBuffer(entry, r.share, st);
  return AddEntry(std::move(entry));
}

}  // namespace

extern "C" HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share,
                                     LPSECURITY_ATTRIBUTES sa, DWORD disposition, DWORD flags,
                                     HANDLE templateFile) {
  OpenRequest r;
  if (DWORD err = ReadRequest(name, access, share, disposition, r))
    return Fail(err, INVALID_HANDLE_VALUE);
  int fd = -1;
  bool created = false;
  if (DWORD err = OpenDescriptor(r, fd, created)) return Fail(err, INVALID_HANDLE_VALUE);
  struct stat st;
  DWORD failure = Admit(r, fd, created, st);
  HANDLE handle = failure == ERROR_SUCCESS ? AddHandle(r, fd, st) : nullptr;
  if (failure == ERROR_SUCCESS && !handle) failure = ERROR_TOO_MANY_OPEN_FILES;
  if (failure != ERROR_SUCCESS) {
    close(fd);
    if (created) unlink(r.fs.c_str());
    return Fail(failure, INVALID_HANDLE_VALUE);
  }
  bool existed = !created && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS);
  SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

// Closes the handle whatever happens; fails (with the error of the lost write) when
// buffered data could not be written, now or earlier. A handle for writing whose file was
// deleted meanwhile (unlinked, or its folder removed) fails with ERROR_FILE_NOT_FOUND:
// what was written is gone. Windows refuses that delete unless the handle shares deleting.
extern "C" BOOL WINAPI CloseHandle(HANDLE handle) {
  FileEntry entry;
  size_t index = 0;
  if (!TakeEntry(handle, entry, index)) return Fail(ERROR_INVALID_HANDLE);
  DWORD failure = WriteOutAll(entry);
  entry.buffer.reset();
  struct stat st;
  if (failure == ERROR_SUCCESS && entry.canWrite && !entry.shareDelete &&
      fstat(entry.fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 0)
    failure = ERROR_FILE_NOT_FOUND;
  if (close(entry.fd) != 0 && errno != EINTR && failure == ERROR_SUCCESS) {
    failure = ErrorFromErrno(errno);
  }
  ReleaseSlot(index);
  return failure != ERROR_SUCCESS ? Fail(failure) : TRUE;
}
