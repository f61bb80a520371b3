// The rules the file units share: how a name becomes a path, what counts as read-only or
// held, and moving whole blocks through a descriptor. Nothing here sets the last error: the
// exported calls do, from the codes these return.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "file_internal.h"
#include "platform_internal.h"

using lumox_platform::AnsiToFs;
using lumox_platform::ErrorFromErrno;

namespace lumox_files {

DWORD FsPath(LPCSTR name, std::string &fs) {
  if (!name || !*name) return ERROR_PATH_NOT_FOUND;
  fs = AnsiToFs(name);
  return ERROR_SUCCESS;
}

bool IsReadOnlyMode(mode_t mode) { return (mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0; }

bool HeldExclusively(const std::string &fs) {
  int fd = open(fs.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  bool held = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  close(fd);
  return held;
}

int WriteAll(int fd, const char *data, size_t size, size_t &done) {
  done = 0;
  while (done < size) {
    ssize_t n = write(fd, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return ENOSPC;
    done += static_cast<size_t>(n);
  }
  return 0;
}

int ReadAll(int fd, char *out, size_t size, size_t &done) {
  done = 0;
  while (done < size) {
    ssize_t n = read(fd, out + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return 0;
}

DWORD IoError(int err) { return err == EFAULT ? ERROR_NOACCESS : ErrorFromErrno(err); }

}  // namespace lumox_files
