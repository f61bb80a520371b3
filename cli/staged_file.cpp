#include "staged_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#include <sddl.h>
#include <vector>
#else
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "system.h"
#include "tool_settings.h"

namespace lumox_cli {

namespace {

// The folder part of a path, with its separator ("" for a bare name).
std::string FolderOf(const std::string &path) {
#ifdef _WIN32
  size_t cut = path.find_last_of("\\/:");
#else
  size_t cut = path.rfind('/');
#endif
  return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

// The name of the file inside the private folder.
const char kPartName[] = "part";
const char kFolderPrefix[] = ".lumox-";

// Reads ".lumox-PID-START-" followed by six characters; false for any other name.
bool ParseFolderName(const char *name, unsigned long long &pid, unsigned long long &start) {
  if (strncmp(name, kFolderPrefix, sizeof kFolderPrefix - 1) != 0) return false;
  const char *p = name + sizeof kFolderPrefix - 1;
  unsigned long long *fields[] = {&pid, &start};
  for (unsigned long long *field : fields) {
    if (*p < '0' || *p > '9') return false;
    char *end = nullptr;
    errno = 0;
    *field = strtoull(p, &end, 10);
    if (errno != 0 || *end != '-') return false;
    p = end + 1;
  }
  return strlen(p) == 6;
}

}  // namespace

#ifdef _WIN32

namespace {

volatile LONG g_interrupted = 0;
HANDLE g_cleanedUp = nullptr;
// What the console handler removes itself when the transfer does not end in time.
char g_file[MAX_PATH * 2];
char g_folder[MAX_PATH * 2];
// Ctrl-C ends the transfer at once (its request is closed); if the main thread has not
// cleaned up after this long, the handler does.
constexpr DWORD kCleanUpMs = 3000;
constexpr UINT kExitInterrupted = 130;

std::string SystemReason(DWORD error) {
  char text[256] = {0};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           error, 0, text, sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == '.')) --n;
  return n > 0 ? std::string(text, n) : "system error " + std::to_string(error);
}

// Runs on a thread of its own: the transfer is asked to stop, which ends whatever it waits
// for, and the main thread removes the staged file once the library has closed it, then
// exits with 130. Should a wait not end (a system that does not cut it short), the handler
// removes what it can and ends the process with 130 itself.
BOOL WINAPI OnConsoleEvent(DWORD) {
  InterlockedExchange(&g_interrupted, 1);
  StopLibraryTransfers();
  if (g_cleanedUp != nullptr && WaitForSingleObject(g_cleanedUp, kCleanUpMs) == WAIT_OBJECT_0)
    return TRUE;
  if (g_file[0] != '\0') DeleteFileA(g_file);
  if (g_folder[0] != '\0') RemoveDirectoryA(g_folder);
  TerminateProcess(GetCurrentProcess(), kExitInterrupted);
  return TRUE;
}

unsigned long long CreationTime(HANDLE process) {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  return (static_cast<unsigned long long>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

// False only when the process is known to be gone (or its id now names a later process).
bool ProcessRuns(unsigned long long pid, unsigned long long start) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr) return GetLastError() != ERROR_INVALID_PARAMETER;
  DWORD code = 0;
  bool runs =
      GetExitCodeProcess(process, &code) && code == STILL_ACTIVE && CreationTime(process) == start;
  CloseHandle(process);
  return runs;
}

void RemoveStaleFolders(const std::string &folder) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + kFolderPrefix + "*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    unsigned long long pid = 0, start = 0;
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        !ParseFolderName(found.cFileName, pid, start) || ProcessRuns(pid, start))
      continue;
    std::string stale = folder + found.cFileName;
    DeleteFileA((stale + "\\" + kPartName).c_str());
    RemoveDirectoryA(stale.c_str());  // a folder holding anything else stays
  } while (FindNextFileA(search, &found));
  FindClose(search);
}

// An access list that grants the user alone full access, inherited by the file inside.
PSECURITY_DESCRIPTOR PrivateDescriptor() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return nullptr;
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<char> user(size > 0 ? size : 1);
  char *sid = nullptr;
  bool ok = GetTokenInformation(token, TokenUser, user.data(), size, &size) &&
            ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER *>(user.data())->User.Sid, &sid);
  CloseHandle(token);
  if (!ok) return nullptr;
  std::string sddl = std::string("D:P(A;OICI;FA;;;") + sid + ")";
  LocalFree(sid);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1,
                                                            &descriptor, nullptr))
    return nullptr;
  return descriptor;
}

}  // namespace

bool StagedFile::Begin(const std::string &target, std::string &why) {
  Discard();
  std::string folder = FolderOf(target);
  RemoveStaleFolders(folder);
  if (g_cleanedUp == nullptr) g_cleanedUp = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  PSECURITY_DESCRIPTOR descriptor = PrivateDescriptor();
  if (descriptor == nullptr) {
    why = SystemReason(GetLastError());
    return false;
  }
  SECURITY_ATTRIBUTES security = {sizeof security, descriptor, FALSE};
  unsigned long long start = CreationTime(GetCurrentProcess());
  DWORD error = ERROR_ALREADY_EXISTS;
  for (unsigned attempt = 0; attempt < 100 && error == ERROR_ALREADY_EXISTS; ++attempt) {
    char name[96];
    snprintf(name, sizeof name, "%s%lu-%llu-%06lu", kFolderPrefix,
             static_cast<unsigned long>(GetCurrentProcessId()), start,
             static_cast<unsigned long>((GetTickCount() + attempt) % 1000000));
    folder_ = folder + name;
    error = CreateDirectoryA(folder_.c_str(), &security) ? ERROR_SUCCESS : GetLastError();
  }
  LocalFree(descriptor);
  if (error != ERROR_SUCCESS) {
    why = SystemReason(error);
    return false;
  }
  target_ = target;
  path_ = folder_ + "\\" + kPartName;
  snprintf(g_file, sizeof g_file, "%s", path_.c_str());
  snprintf(g_folder, sizeof g_folder, "%s", folder_.c_str());
  active_ = true;
  CatchInterruptions();
  return true;
}

bool StagedFile::Commit(std::string &why) {
  if (!MoveFileExA(path_.c_str(), target_.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    why = SystemReason(GetLastError());
    return false;
  }
  Discard();
  return true;
}

void StagedFile::Discard() {
  if (!active_) return;
  DeleteFileA(path_.c_str());
  RemoveDirectoryA(folder_.c_str());
  g_file[0] = '\0';
  g_folder[0] = '\0';
  active_ = false;
  if (g_interrupted) InterruptionHandled();
}

void StagedFile::CatchInterruptions() {
  if (g_cleanedUp == nullptr) g_cleanedUp = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  StopEndsEveryWait();
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

bool StagedFile::Interrupted() { return g_interrupted != 0; }

void StagedFile::InterruptionHandled() {
  if (g_cleanedUp != nullptr) SetEvent(g_cleanedUp);
}

#else

namespace {

// What the signal handler removes; written only while the signals are blocked.
char g_file[4096];
char g_folder[4096];
CaughtSignals g_caught;

// A failure here has no one left to be reported to: the process ends by the signal.
void RemoveAndDie(int signalNumber) {
  if (g_file[0] != '\0') unlink(g_file);
  if (g_folder[0] != '\0') rmdir(g_folder);
  signal(signalNumber, SIG_DFL);  // NOLINT(cert-err33-c)
  raise(signalNumber);  // NOLINT(cert-err33-c): delivered when the handler returns; it ends us
}

// Blocks the ending signals on this thread for as long as it lives.
class BlockSignals {
 public:
  BlockSignals() {
    sigset_t set;
    sigemptyset(&set);
    int count = 0;
    const int *signals = EndingSignals(count);
    for (int i = 0; i < count; ++i) sigaddset(&set, signals[i]);
    pthread_sigmask(SIG_BLOCK, &set, &old_);
  }
  ~BlockSignals() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
  BlockSignals(const BlockSignals &) = delete;
  BlockSignals &operator=(const BlockSignals &) = delete;

 private:
  sigset_t old_;
};

// The start of a process in clock ticks after boot (field 22 of /proc/PID/stat); false when
// no such process runs.
bool ProcessStart(unsigned long long pid, unsigned long long &start) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%llu/stat", pid);  // NOLINT(cert-err33-c): fits
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char text[1024];
  ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  if (n <= 0) return false;
  text[n] = '\0';
  // The command name in parentheses may hold blanks; the fields after it do not.
  const char *p = strrchr(text, ')');
  if (p == nullptr) return false;
  int field = 2;
  for (++p; *p != '\0' && field < 22; ++p)
    if (*p == ' ') ++field;
  if (*p < '0' || *p > '9') return false;
  start = strtoull(p, nullptr, 10);
  return true;
}

// Removes the staging folders of this user in `folder` whose process is gone: the file
// inside and the folder, never following a link; a folder holding anything else stays.
void RemoveStaleFolders(const std::string &folder) {
  unsigned long long ownStart = 0;
  if (!ProcessStart(static_cast<unsigned long long>(getpid()), ownStart)) return;  // no /proc
  int dirFd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0) return;
  DIR *dir = fdopendir(dirFd);
  if (dir == nullptr) {
    close(dirFd);
    return;
  }
  // NOLINTNEXTLINE(concurrency-mt-unsafe): one thread reads this directory stream
  while (const struct dirent *entry = readdir(dir)) {
    unsigned long long pid = 0, start = 0, runningStart = 0;
    struct stat st;
    if (!ParseFolderName(entry->d_name, pid, start) ||
        fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode) ||
        st.st_uid != geteuid() || (ProcessStart(pid, runningStart) && runningStart == start))
      continue;
    int staleFd = openat(dirFd, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (staleFd < 0) continue;
    unlinkat(staleFd, kPartName, 0);
    close(staleFd);
    unlinkat(dirFd, entry->d_name, AT_REMOVEDIR);
  }
  closedir(dir);
}

}  // namespace

bool StagedFile::Begin(const std::string &target, std::string &why) {
  Discard();
  std::string parent = FolderOf(target);
  unsigned long long start = 0;
  ProcessStart(static_cast<unsigned long long>(getpid()), start);
  std::string folder =
      parent + kFolderPrefix + std::to_string(getpid()) + "-" + std::to_string(start) + "-XXXXXX";
  std::string file = folder + "/" + kPartName;
  if (file.size() >= sizeof g_file) {
    why = strerror(ENAMETOOLONG);
    return false;
  }
  BlockSignals blocked;
  RemoveStaleFolders(parent);
  if (mkdtemp(&folder[0]) == nullptr) {
    why = strerror(errno);
    return false;
  }
  target_ = target;
  folder_ = folder;
  path_ = folder + "/" + kPartName;
  snprintf(g_file, sizeof g_file, "%s", path_.c_str());        // NOLINT(cert-err33-c): fits,
  snprintf(g_folder, sizeof g_folder, "%s", folder_.c_str());  // NOLINT(cert-err33-c): checked
  CatchEndingSignals(RemoveAndDie, g_caught);
  active_ = true;
  return true;
}

// The new file takes the permission bits, owner and group of the file it replaces (for a
// symbolic link, of the file the link names), so that a private file stays private. Best
// effort: what the process may not set stays as it is.
void KeepOwnershipAndMode(const std::string &file, const std::string &replaced) {
  struct stat old;
  if (stat(replaced.c_str(), &old) != 0 || !S_ISREG(old.st_mode)) return;
  if (chown(file.c_str(), old.st_uid, old.st_gid) != 0) {
    (void)chown(file.c_str(), static_cast<uid_t>(-1), old.st_gid);
  }
  (void)chmod(file.c_str(), old.st_mode & 0777);
}

bool StagedFile::Commit(std::string &why) {
  KeepOwnershipAndMode(path_, target_);
  if (rename(path_.c_str(), target_.c_str()) != 0) {
    why = strerror(errno);
    return false;
  }
  Discard();
  return true;
}

void StagedFile::Discard() {
  if (!active_) return;
  BlockSignals blocked;
  unlink(path_.c_str());
  rmdir(folder_.c_str());
  g_file[0] = '\0';
  g_folder[0] = '\0';
  RestoreEndingSignals(g_caught);
  active_ = false;
}

void StagedFile::CatchInterruptions() {}

bool StagedFile::Interrupted() { return false; }

void StagedFile::InterruptionHandled() {}

#endif

}  // namespace lumox_cli
