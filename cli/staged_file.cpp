#include "staged_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

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

}  // namespace

#ifdef _WIN32

namespace {

volatile LONG g_interrupted = 0;
HANDLE g_cleanedUp = nullptr;

std::string SystemReason(DWORD error) {
  char text[256] = {0};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           error, 0, text, sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == '.')) --n;
  return n > 0 ? std::string(text, n) : "system error " + std::to_string(error);
}

// Runs on a thread of its own: the transfer is asked to stop, and the main thread removes
// the staged file once the library has closed it, then exits with 130. If that takes too
// long the process ends by the default handling.
BOOL WINAPI OnConsoleEvent(DWORD) {
  InterlockedExchange(&g_interrupted, 1);
  StopLibraryTransfers();
  bool cleaned = g_cleanedUp != nullptr && WaitForSingleObject(g_cleanedUp, 5000) == WAIT_OBJECT_0;
  return cleaned ? TRUE : FALSE;
}

}  // namespace

bool StagedFile::Begin(const std::string &target, std::string &why) {
  Discard();
  std::string folder = FolderOf(target);
  if (g_cleanedUp == nullptr) g_cleanedUp = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD error = ERROR_ALREADY_EXISTS;
  for (unsigned attempt = 0; attempt < 100 && error == ERROR_ALREADY_EXISTS; ++attempt) {
    char name[64];
    snprintf(name, sizeof name, ".lumox-%lu-%lu", static_cast<unsigned long>(GetCurrentProcessId()),
             static_cast<unsigned long>(GetTickCount() + attempt));
    folder_ = folder + name;
    error = CreateDirectoryA(folder_.c_str(), nullptr) ? ERROR_SUCCESS : GetLastError();
  }
  if (error != ERROR_SUCCESS) {
    why = SystemReason(error);
    return false;
  }
  target_ = target;
  path_ = folder_ + "\\" + kPartName;
  active_ = true;
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
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
  active_ = false;
  SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
  if (g_interrupted && g_cleanedUp != nullptr) SetEvent(g_cleanedUp);
}

bool StagedFile::Interrupted() { return g_interrupted != 0; }

#else

namespace {

// What the signal handler removes; written only while the signals are blocked.
char g_file[4096];
char g_folder[4096];
const int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction g_previous[3];

// A failure here has no one left to be reported to: the process ends by the signal.
void RemoveAndDie(int signalNumber) {
  if (g_file[0] != '\0') unlink(g_file);
  if (g_folder[0] != '\0') rmdir(g_folder);
  signal(signalNumber, SIG_DFL);  // NOLINT(cert-err33-c)
  raise(signalNumber);  // NOLINT(cert-err33-c): delivered when the handler returns; it ends us
}

// Blocks the three signals on this thread for as long as it lives.
class BlockSignals {
 public:
  BlockSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : kSignals) sigaddset(&set, s);
    pthread_sigmask(SIG_BLOCK, &set, &old_);
  }
  ~BlockSignals() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }

 private:
  sigset_t old_;
};

}  // namespace

bool StagedFile::Begin(const std::string &target, std::string &why) {
  Discard();
  std::string folder = FolderOf(target) + ".lumox-XXXXXX";
  std::string file = folder + "/" + kPartName;
  if (file.size() >= sizeof g_file) {
    why = strerror(ENAMETOOLONG);
    return false;
  }
  BlockSignals blocked;
  if (mkdtemp(&folder[0]) == nullptr) {
    why = strerror(errno);
    return false;
  }
  target_ = target;
  folder_ = folder;
  path_ = folder + "/" + kPartName;
  snprintf(g_file, sizeof g_file, "%s", path_.c_str());        // NOLINT(cert-err33-c): fits,
  snprintf(g_folder, sizeof g_folder, "%s", folder_.c_str());  // NOLINT(cert-err33-c): checked
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = RemoveAndDie;
  sigfillset(&action.sa_mask);
  for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &action, &g_previous[i]);
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
  for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &g_previous[i], nullptr);
  active_ = false;
}

bool StagedFile::Interrupted() { return false; }

#endif

}  // namespace lumox_cli
