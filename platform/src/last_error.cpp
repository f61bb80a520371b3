// Last error, one value per thread; Fail, the failure return every service uses; and the
// errno-to-Windows mapping.
#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include "platform_internal.h"

namespace {
thread_local DWORD g_lastError = 0;
}

extern "C" DWORD WINAPI GetLastError(void) { return g_lastError; }

extern "C" void WINAPI SetLastError(DWORD code) { g_lastError = code; }

namespace lumox_platform {

BOOL Fail(DWORD code) {
  SetLastError(code);
  return FALSE;
}

namespace {
// True when the folder that would hold `path` exists.
bool ParentExists(const char *path) {
  if (!path || !*path) return false;
  std::string p(path);
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  size_t slash = p.find_last_of('/');
  if (slash == std::string::npos) return true;  // relative name in the current folder
  std::string dir = slash == 0 ? std::string("/") : p.substr(0, slash);
  struct stat st;
  return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
}  // namespace

DWORD ErrorFromErrno(int err, const char *fsPath) {
  switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT:
      if (fsPath && !*fsPath) return ERROR_PATH_NOT_FOUND;
      return (fsPath && !ParentExists(fsPath)) ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EBADF: return ERROR_INVALID_HANDLE;
    case EEXIST: return ERROR_FILE_EXISTS;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case EXDEV: return ERROR_NOT_SAME_DEVICE;
    case EBUSY:
    case ETXTBSY:
    case EWOULDBLOCK: return ERROR_SHARING_VIOLATION;
    case ELOOP: return ERROR_PATH_NOT_FOUND;
    case EFBIG: return ERROR_DISK_FULL;
    case EIO: return ERROR_WRITE_FAULT;
    default: return ERROR_ACCESS_DENIED;
  }
}

void SetLastErrorFromErrno(int err, const char *fsPath) {
  SetLastError(ErrorFromErrno(err, fsPath));
}

}  // namespace lumox_platform
