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
using lumox_platform::SetLastErrorFromErrno;

namespace lumox_files {

bool IsReadOnlyMode(mode_t mode) { return (mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0; }

// True when another open of the file holds it with share mode 0 (an exclusive lock).
bool HeldExclusively(const std::string &fs) {
  int fd = open(fs.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  bool held = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  close(fd);
  return held;
}

}  // namespace lumox_files

using namespace lumox_files;

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
  } else if (S_ISDIR(st.st_mode) || (!created && canWrite && IsReadOnlyMode(st.st_mode))) {
    failure = ERROR_ACCESS_DENIED;
  } else if (flock(fd, (share == 0 ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
    failure = errno == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : ErrorFromErrno(errno);
  }
  if (failure == ERROR_SUCCESS && truncate && !created && st.st_size != 0 && ftruncate(fd, 0) != 0)
    failure = ErrorFromErrno(errno);
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
  entry.shareDelete = (share & FILE_SHARE_DELETE) != 0;
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
  if (failure != ERROR_SUCCESS) {
    SetLastError(failure);
    return FALSE;
  }
  return TRUE;
}
