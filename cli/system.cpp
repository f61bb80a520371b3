#include "system.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#include <io.h>
#include <sys/stat.h>
#else
#include <windows.h>  // the platform layer's code page 932, the one the library uses

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace lumox_cli {

#ifdef _WIN32

namespace {

HANDLE HandleOf(FILE *stream) {
  return GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
}

std::wstring Widen(const std::string &text, UINT codePage) {
  if (text.empty()) return std::wstring();
  int n = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(n > 0 ? n : 0, L'\0');
  if (n > 0)
    MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), &wide[0], n);
  return wide;
}

}  // namespace

bool ToLibraryText(const std::string &native, std::string &library) {
  library = native;  // both are the ANSI code page
  return true;
}

std::string FromLibraryText(const std::string &library) { return library; }

bool WriteText(FILE *stream, const std::string &native) {
  HANDLE handle = HandleOf(stream);
  DWORD mode = 0;
  std::wstring wide = Widen(native, CP_ACP);
  if (GetConsoleMode(handle, &mode)) {
    // A console shows UTF-16 whatever its code page.
    fflush(stream);
    DWORD written = 0;
    return WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr) !=
               FALSE &&
           written == wide.size();
  }
  UINT codePage = GetConsoleOutputCP();
  if (codePage == 0) codePage = GetACP();
  std::string out;
  if (!wide.empty()) {
    int n = WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                nullptr, nullptr);
    out.resize(n > 0 ? n : 0);
    if (n > 0)
      WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), &out[0], n,
                          nullptr, nullptr);
  }
  bool whole = fwrite(out.data(), 1, out.size(), stream) == out.size();
  return fflush(stream) == 0 && whole;
}

bool IsTerminal(FILE *stream) {
  DWORD mode = 0;
  return GetConsoleMode(HandleOf(stream), &mode) != 0;
}

namespace {

DWORD g_consoleMode = 0;

bool EchoOff() {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (!GetConsoleMode(input, &g_consoleMode)) return false;
  SetConsoleMode(input, g_consoleMode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
  return true;
}

void EchoOn() {
  SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), g_consoleMode);
  WriteText(stderr, "\n");  // the Enter that ended the password was not shown
}

}  // namespace

long long FileSize(const std::string &nativePath) {
  struct _stat64 st;
  if (_stat64(nativePath.c_str(), &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) return -1;
  return st.st_size;
}

bool PathExists(const std::string &nativePath) {
  return GetFileAttributesA(nativePath.c_str()) != INVALID_FILE_ATTRIBUTES;
}

#else

namespace {

const UINT kLibraryCodePage = 932;

// Converts between UTF-8 and the library's code page 932 with the conversions the library
// itself uses; false when the input holds a sequence the target cannot take (no default
// character, no best fit).
bool Convert(UINT to, UINT from, const std::string &in, std::string &out) {
  out.clear();
  bool ascii = true;
  for (unsigned char c : in) ascii = ascii && c < 0x80;
  if (ascii) {
    out = in;
    return true;
  }
  int length = static_cast<int>(in.size());
  int n = MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, in.data(), length, nullptr, 0);
  if (n <= 0) return false;
  std::u16string wide(static_cast<size_t>(n), u'\0');
  MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, in.data(), length, &wide[0], n);
  DWORD flags = to == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
  BOOL usedDefault = FALSE;
  BOOL *usedDefaultAt = to == CP_UTF8 ? nullptr : &usedDefault;
  int bytes = WideCharToMultiByte(to, flags, wide.data(), n, nullptr, 0, nullptr, usedDefaultAt);
  if (bytes <= 0 || usedDefault) return false;
  std::string converted(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(to, flags, wide.data(), n, &converted[0], bytes, nullptr, nullptr);
  out = converted;
  return true;
}

struct termios g_savedTerminal;
volatile sig_atomic_t g_echoOff = 0;
CaughtSignals g_echoSignals;

// SIGABRT, SIGSEGV and the other faults are left alone: they report a fault of the
// program, and their core dump is worth more than a tidy folder.
const int kEndingSignals[] = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGPIPE,   SIGALRM, SIGTERM, SIGUSR1,
    SIGUSR2,   SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO,
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};
constexpr int kEndingSignalCount = sizeof kEndingSignals / sizeof kEndingSignals[0];
static_assert(kEndingSignalCount <= kEndingSignalMax, "CaughtSignals holds them all");

// A failure here has no one left to be reported to: the process ends by the signal.
void RestoreEchoAndDie(int signalNumber) {
  if (g_echoOff) tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTerminal);
  signal(signalNumber, SIG_DFL);  // NOLINT(cert-err33-c)
  raise(signalNumber);            // NOLINT(cert-err33-c)
}

}  // namespace

bool ToLibraryText(const std::string &native, std::string &library) {
  return Convert(kLibraryCodePage, CP_UTF8, native, library);
}

std::string FromLibraryText(const std::string &library) {
  std::string out;
  return Convert(CP_UTF8, kLibraryCodePage, library, out) ? out : library;
}

bool WriteText(FILE *stream, const std::string &native) {
  bool whole = fwrite(native.data(), 1, native.size(), stream) == native.size();
  return fflush(stream) == 0 && whole;
}

bool IsTerminal(FILE *stream) { return isatty(fileno(stream)) == 1; }

const int *EndingSignals(int &count) {
  count = kEndingSignalCount;
  return kEndingSignals;
}

void CatchEndingSignals(void (*handler)(int), CaughtSignals &signals) {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = handler;
  sigfillset(&action.sa_mask);
  for (int i = 0; i < kEndingSignalCount; ++i) {
    struct sigaction current;
    signals.caught[i] = sigaction(kEndingSignals[i], nullptr, &current) == 0 &&
                        current.sa_handler == SIG_DFL &&
                        sigaction(kEndingSignals[i], &action, nullptr) == 0;
  }
}

void RestoreEndingSignals(const CaughtSignals &signals) {
  for (int i = 0; i < kEndingSignalCount; ++i) {
    // NOLINTNEXTLINE(cert-err33-c): a valid signal whose handler was set before
    if (signals.caught[i]) signal(kEndingSignals[i], SIG_DFL);
  }
}

namespace {

bool EchoOff() {
  if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &g_savedTerminal) != 0) return false;
  struct termios quiet = g_savedTerminal;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  quiet.c_lflag |= ECHONL;
  CatchEndingSignals(RestoreEchoAndDie, g_echoSignals);
  g_echoOff = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
  return true;
}

// Best effort: a terminal that refuses its settings back is left as it is.
void EchoOn() {
  if (g_echoOff) tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_savedTerminal);
  g_echoOff = 0;
  RestoreEndingSignals(g_echoSignals);
}

}  // namespace

long long FileSize(const std::string &nativePath) {
  struct stat st;
  if (stat(nativePath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return static_cast<long long>(st.st_size);
}

bool PathExists(const std::string &nativePath) {
  struct stat st;
  return lstat(nativePath.c_str(), &st) == 0;
}

#endif

bool ReadPassword(const std::string &prompt, std::string &password) {
  if (!EchoOff()) return false;
  // Echo is off before the prompt shows, so nothing typed after the prompt is echoed.
  WriteText(stderr, prompt);
  char line[512];
  bool ok = fgets(line, sizeof line, stdin) != nullptr;
  EchoOn();
  if (!ok) return false;
  line[strcspn(line, "\r\n")] = '\0';
  password = line;
  return true;
}

#ifdef _WIN32

bool CheckWritable(const std::string &nativePath, std::string &why) {
  DWORD attributes = GetFileAttributesA(nativePath.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) {
    why = strerror((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? EISDIR : EACCES);
    return false;
  }
  // A file of this process's own name in the target's folder, gone again when closed.
  size_t cut = nativePath.find_last_of("\\/:");
  std::string probe = (cut == std::string::npos ? std::string() : nativePath.substr(0, cut + 1)) +
                      ".lumox-check-" + std::to_string(GetCurrentProcessId()) + "-" +
                      std::to_string(GetTickCount());
  HANDLE file = CreateFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    why =
        strerror(error == ERROR_PATH_NOT_FOUND || error == ERROR_FILE_NOT_FOUND ? ENOENT : EACCES);
    return false;
  }
  CloseHandle(file);
  return true;
}

#else

bool CheckWritable(const std::string &nativePath, std::string &why) {
  struct stat st;
  // An existing file (through a link that leads somewhere) must be writable; a dangling
  // link is replaced, not followed, when the staged file takes its name.
  if (stat(nativePath.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode) || faccessat(AT_FDCWD, nativePath.c_str(), W_OK, AT_EACCESS) != 0) {
      why = strerror(S_ISDIR(st.st_mode) ? EISDIR : errno);
      return false;
    }
  }
  size_t cut = nativePath.rfind('/');
  std::string probe = (cut == std::string::npos ? std::string() : nativePath.substr(0, cut + 1)) +
                      ".lumox-check-XXXXXX";
  int fd = mkstemp(&probe[0]);  // a new name of its own: O_EXCL follows no link
  if (fd < 0) {
    why = strerror(errno);
    return false;
  }
  close(fd);
  unlink(probe.c_str());
  return true;
}

#endif

bool CheckReadable(const std::string &nativePath, std::string &why) {
#ifdef _WIN32
  struct _stat64 st;
  bool folder = _stat64(nativePath.c_str(), &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFDIR;
#else
  struct stat st;
  bool folder = stat(nativePath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
#endif
  if (folder) {
    why = strerror(EISDIR);
    return false;
  }
  FILE *f = fopen(nativePath.c_str(), "rb");
  if (f == nullptr) {
    why = strerror(errno);
    return false;
  }
  fclose(f);  // NOLINT(cert-err33-c): opened for reading only
  return true;
}

bool GetEnv(const char *name, std::string &value) {
  const char *text = getenv(name);
  if (text == nullptr) return false;
  value = text;
  return true;
}

}  // namespace lumox_cli
