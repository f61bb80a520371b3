// Operations on paths: deleting, moving and copying files, folders, the temporary folder and
// attributes. A file another handle holds with share mode 0 cannot be deleted, moved over
// or copied.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "file_internal.h"
#include "platform_internal.h"

using lumox_platform::AnsiToFs;
using lumox_platform::ErrorFromErrno;
using lumox_platform::Fail;
using lumox_platform::FsToAnsi;
using lumox_platform::SetLastErrorFromErrno;

namespace lumox_files {

// The file-system path of an ANSI name; false with the Windows error for null or empty.
bool FsPath(LPCSTR name, std::string &fs) {
  if (!name) return Fail(ERROR_PATH_NOT_FOUND, false);
  if (!*name) return Fail(ERROR_PATH_NOT_FOUND, false);
  fs = AnsiToFs(name);
  return true;
}

}  // namespace lumox_files

using namespace lumox_files;

namespace {

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

// A file about to take the name of an existing file gets what the old one had: its
// permission bits, and its owner and group where the process may set them (a private file
// stays private). `old` is the status of the file the name leads to (for a symbolic link,
// the file it names). Best effort: a file the process may not change keeps its own.
void TakeOwnershipAndMode(int fd, const struct stat &old) {
  if (fchown(fd, old.st_uid, old.st_gid) != 0) {
    fchown(fd, static_cast<uid_t>(-1), old.st_gid);  // the group alone, when it is ours
  }
  fchmod(fd, old.st_mode & 0777);
}

void TakeOwnershipAndMode(const std::string &path, const std::string &oldName) {
  struct stat old;
  if (stat(oldName.c_str(), &old) != 0 || !S_ISREG(old.st_mode)) return;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return;
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) TakeOwnershipAndMode(fd, old);
  close(fd);
}

// Copies `from` across file systems onto an existing `to`: into a new file beside `to`
// that then takes its name, so that `to` stays whole until the copy is complete. Sets the
// last error on failure; `to` is then untouched and nothing is left beside it.
bool CopyOver(const std::string &from, const std::string &to) {
  static std::atomic<unsigned> counter{0};
  std::string temp;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[48];
    // NOLINTNEXTLINE(cert-err33-c): the suffix fits.
    snprintf(suffix, sizeof suffix, ".~lumox%ld.%u", static_cast<long>(getpid()),
             counter.fetch_add(1, std::memory_order_relaxed));
    temp = to + suffix;
    struct stat st;
    if (lstat(temp.c_str(), &st) != 0 && errno == ENOENT) break;
    temp.clear();
  }
  if (temp.empty()) return Fail(ERROR_ACCESS_DENIED, false);
  if (!CopyContents(from, temp, true)) {
    if (GetLastError() == ERROR_FILE_EXISTS) SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  TakeOwnershipAndMode(temp, to);
  if (rename(temp.c_str(), to.c_str()) != 0) {
    DWORD code = ErrorFromErrno(errno, to.c_str());
    unlink(temp.c_str());
    return Fail(code, false);
  }
  return true;
}

// Moves `from` to `to`; `replace` allows an existing target, `copyAllowed` a copy across
// file systems. A file that replaces another keeps the old one's permission bits, owner and
// group (see TakeOwnershipAndMode); a symbolic link as the target is replaced, not the file
// it names. Sets the last error on failure.
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
  const bool replacing = toExists && !same && S_ISREG(fromSt.st_mode);
  if (replacing) TakeOwnershipAndMode(from, to);
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
    bool copied = replacing ? CopyOver(from, to) : CopyContents(from, to, !replace);
    if (!copied) {
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
  // NOLINTNEXTLINE(concurrency-mt-unsafe): the library never changes the environment.
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
