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

using lumox_platform::ErrorFromErrno;
using lumox_platform::Fail;
using lumox_platform::FsToAnsi;
using lumox_platform::SetLastErrorFromErrno;

using namespace lumox_files;

namespace {

// Why `to` may not receive a copy of `in` (whose status is `inSt`): ERROR_SUCCESS when it
// may; `toExisted` tells whether it is there.
DWORD CopyTargetRefused(const std::string &to, const struct stat &inSt, bool failIfExists,
                        bool &toExisted) {
  struct stat toSt;
  toExisted = stat(to.c_str(), &toSt) == 0;
  if (!toExisted) return ERROR_SUCCESS;
  if (failIfExists) return ERROR_FILE_EXISTS;
  if (toSt.st_dev == inSt.st_dev && toSt.st_ino == inSt.st_ino) return ERROR_SHARING_VIOLATION;
  if (S_ISDIR(toSt.st_mode) || IsReadOnlyMode(toSt.st_mode)) return ERROR_ACCESS_DENIED;
  return ERROR_SUCCESS;
}

// Copies every byte of `in` to `out`: 0 or the errno that stopped it.
int CopyBytes(int in, int out) {
  char block[65536];
  for (;;) {
    size_t got = 0;
    if (int err = ReadAll(in, block, sizeof block, got)) return err;
    size_t done;
    if (int err = WriteAll(out, block, got, done)) return err;
    if (got < sizeof block) return 0;
  }
}

// Copies the contents of the open `in` into a new or emptied `to`: ERROR_SUCCESS or the
// error; a failed copy leaves no `to` that it made or emptied.
DWORD CopyInto(int in, const struct stat &inSt, const std::string &to, bool failIfExists) {
  bool toExisted = false;
  if (DWORD err = CopyTargetRefused(to, inSt, failIfExists, toExisted)) return err;
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | (failIfExists ? O_EXCL : 0);
  int out = open(to.c_str(), flags, inSt.st_mode & 0777);
  if (out < 0) return ErrorFromErrno(errno, to.c_str());
  if (flock(out, LOCK_SH | LOCK_NB) != 0 || ftruncate(out, 0) != 0) {
    DWORD code = errno == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : ErrorFromErrno(errno);
    close(out);
    if (!toExisted) unlink(to.c_str());
    return code;
  }
  if (int err = CopyBytes(in, out)) {
    close(out);
    unlink(to.c_str());
    return ErrorFromErrno(err);
  }
  return close(out) != 0 ? ErrorFromErrno(errno) : ERROR_SUCCESS;
}

// Copies the contents of `from` into a new or emptied `to`: ERROR_SUCCESS or the error.
DWORD CopyContents(const std::string &from, const std::string &to, bool failIfExists) {
  int in = open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (in < 0) return ErrorFromErrno(errno, from.c_str());
  struct stat inSt;
  DWORD code = ERROR_SUCCESS;
  if (fstat(in, &inSt) != 0 || S_ISDIR(inSt.st_mode))
    code = ERROR_ACCESS_DENIED;
  else if (flock(in, LOCK_SH | LOCK_NB) != 0)
    code = ERROR_SHARING_VIOLATION;
  else
    code = CopyInto(in, inSt, to, failIfExists);
  close(in);
  return code;
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
// that then takes its name, so that `to` stays whole until the copy is complete.
// ERROR_SUCCESS or the error; `to` is then untouched and nothing is left beside it.
DWORD CopyOver(const std::string &from, const std::string &to) {
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
  if (temp.empty()) return ERROR_ACCESS_DENIED;
  if (DWORD err = CopyContents(from, temp, true))
    return err == ERROR_FILE_EXISTS ? ERROR_ACCESS_DENIED : err;
  TakeOwnershipAndMode(temp, to);
  if (rename(temp.c_str(), to.c_str()) != 0) {
    DWORD code = ErrorFromErrno(errno, to.c_str());
    unlink(temp.c_str());
    return code;
  }
  return ERROR_SUCCESS;
}

// Why `from` (status `fromSt`) may not take the name `to`: ERROR_SUCCESS when it may;
// `toSt` is the target's status when `toExists`.
DWORD MoveRefused(const std::string &from, const struct stat &fromSt, const std::string &to,
                  bool toExists, const struct stat &toSt, bool same, bool replace) {
  if (toExists && !same) {
    if (!replace) return ERROR_ALREADY_EXISTS;
    if (S_ISDIR(toSt.st_mode) || IsReadOnlyMode(toSt.st_mode)) return ERROR_ACCESS_DENIED;
    if (HeldExclusively(to)) return ERROR_SHARING_VIOLATION;
  }
  if (!S_ISDIR(fromSt.st_mode) && HeldExclusively(from)) return ERROR_SHARING_VIOLATION;
  return ERROR_SUCCESS;
}

// Renames `from` to `to`, over an existing `to` only when `replace`: 0, or -1 with errno
// (EXDEV when only a copy can move it).
int RenameEntry(const std::string &from, const std::string &to, bool replace) {
  if (replace) return rename(from.c_str(), to.c_str());
  int rc = renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
  if (rc != 0 && errno == EINVAL) {  // file system without RENAME_NOREPLACE
    if (link(from.c_str(), to.c_str()) == 0) {
      rc = unlink(from.c_str());
    } else if (errno == EPERM || errno == EXDEV || errno == EMLINK) {
      errno = EXDEV;
    }
  }
  return rc;
}

// Moves `from` to `to` by a copy (across file systems), then removes `from`.
DWORD MoveByCopy(const std::string &from, const std::string &to, bool replacing, bool replace) {
  DWORD err = replacing ? CopyOver(from, to) : CopyContents(from, to, !replace);
  if (err) return err == ERROR_FILE_EXISTS ? ERROR_ALREADY_EXISTS : err;
  if (unlink(from.c_str()) != 0) return ErrorFromErrno(errno, from.c_str());
  return ERROR_SUCCESS;
}

// Moves `from` to `to`; `replace` allows an existing target, `copyAllowed` a copy across
// file systems. A file that replaces another keeps the old one's permission bits, owner and
// group (see TakeOwnershipAndMode); a symbolic link as the target is replaced, not the file
// it names. ERROR_SUCCESS or the error.
DWORD MoveEntry(LPCSTR fromName, LPCSTR toName, bool replace, bool copyAllowed) {
  std::string from, to;
  if (DWORD err = FsPath(fromName, from)) return err;
  if (DWORD err = FsPath(toName, to)) return err;
  struct stat fromSt;
  if (lstat(from.c_str(), &fromSt) != 0) return ErrorFromErrno(errno, from.c_str());
  struct stat toSt;
  bool toExists = lstat(to.c_str(), &toSt) == 0;
  bool same = toExists && toSt.st_dev == fromSt.st_dev && toSt.st_ino == fromSt.st_ino;
  if (DWORD err = MoveRefused(from, fromSt, to, toExists, toSt, same, replace)) return err;
  const bool replacing = toExists && !same && S_ISREG(fromSt.st_mode);
  if (replacing) TakeOwnershipAndMode(from, to);
  if (RenameEntry(from, to, replace) == 0) return ERROR_SUCCESS;
  if (errno == EEXIST) return ERROR_ALREADY_EXISTS;
  if (errno == EXDEV && copyAllowed && !S_ISDIR(fromSt.st_mode))
    return MoveByCopy(from, to, replacing, replace);
  return ErrorFromErrno(errno, to.c_str());
}

}  // namespace

namespace {

// The path of an ANSI name and the status of what it names (of a symbolic link itself
// unless `follow`): ERROR_SUCCESS or the error.
DWORD StatName(LPCSTR name, bool follow, std::string &fs, struct stat &st) {
  if (DWORD err = FsPath(name, fs)) return err;
  int rc = follow ? stat(fs.c_str(), &st) : lstat(fs.c_str(), &st);
  return rc != 0 ? ErrorFromErrno(errno, fs.c_str()) : ERROR_SUCCESS;
}

}  // namespace

extern "C" BOOL WINAPI DeleteFileA(LPCSTR name) {
  std::string fs;
  struct stat st;
  if (DWORD err = StatName(name, false, fs, st)) return Fail(err);
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
  DWORD err = MoveEntry(from, to, false, true);
  return err ? Fail(err) : TRUE;
}

extern "C" BOOL WINAPI MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags) {
  if (flags & ~(MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (!to) {  // a null target means "delete", which is only done at the next restart
    return Fail(ERROR_INVALID_PARAMETER);
  }
  DWORD err = MoveEntry(from, to, (flags & MOVEFILE_REPLACE_EXISTING) != 0,
                        (flags & MOVEFILE_COPY_ALLOWED) != 0);
  return err ? Fail(err) : TRUE;
}

extern "C" BOOL WINAPI CopyFileA(LPCSTR from, LPCSTR to, BOOL failIfExists) {
  std::string fromFs, toFs;
  DWORD err = FsPath(from, fromFs);
  if (!err) err = FsPath(to, toFs);
  if (!err) err = CopyContents(fromFs, toFs, failIfExists != FALSE);
  return err ? Fail(err) : TRUE;
}

namespace {

// An errno value that means something of its own for a folder call, and its error.
struct FolderErrno {
  int err;
  DWORD code;
};

// Makes (`make`) or removes a folder: ERROR_SUCCESS or the error, `special` naming the errno
// values the call reports as errors of their own.
DWORD ChangeFolder(LPCSTR name, bool make, const FolderErrno (&special)[2]) {
  std::string fs;
  if (DWORD err = FsPath(name, fs)) return err;
  if ((make ? mkdir(fs.c_str(), 0777) : rmdir(fs.c_str())) == 0) return ERROR_SUCCESS;
  int err = errno;
  for (const FolderErrno &e : special)
    if (err == e.err) return e.code;
  return ErrorFromErrno(err, fs.c_str());
}

}  // namespace

extern "C" BOOL WINAPI CreateDirectoryA(LPCSTR name, LPSECURITY_ATTRIBUTES sa) {
  DWORD err =
      ChangeFolder(name, true, {{EEXIST, ERROR_ALREADY_EXISTS}, {ENOENT, ERROR_PATH_NOT_FOUND}});
  return err ? Fail(err) : TRUE;
}

extern "C" BOOL WINAPI RemoveDirectoryA(LPCSTR name) {
  DWORD err =
      ChangeFolder(name, false, {{ENOTDIR, ERROR_DIRECTORY}, {EEXIST, ERROR_DIR_NOT_EMPTY}});
  return err ? Fail(err) : TRUE;
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
  struct stat st;
  if (DWORD err = StatName(name, true, fs, st)) return Fail(err, INVALID_FILE_ATTRIBUTES);
  DWORD attributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  if (!S_ISDIR(st.st_mode) && IsReadOnlyMode(st.st_mode)) attributes |= FILE_ATTRIBUTE_READONLY;
  return attributes;
}
