#include "system.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#include <io.h>
#include <sys/stat.h>
#else
#include <csignal>
#include <fcntl.h>
#include <iconv.h>
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

long long ProcessReadBytes() {
  IO_COUNTERS counters;
  if (!GetProcessIoCounters(GetCurrentProcess(), &counters)) return -1;
  return static_cast<long long>(counters.ReadTransferCount);
}

#else

namespace {

// Converts with iconv; false when the input holds a sequence the target cannot take.
bool Convert(const char *to, const char *from, const std::string &in, std::string &out) {
  out.clear();
  bool ascii = true;
  for (unsigned char c : in) ascii = ascii && c < 0x80;
  if (ascii) {
    out = in;
    return true;
  }
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string buffer(in.size() * 4 + 4, '\0');
  char *inPtr = const_cast<char *>(in.data());
  size_t inLeft = in.size();
  char *outPtr = &buffer[0];
  size_t outLeft = buffer.size();
  bool ok = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1) && inLeft == 0;
  iconv_close(cd);
  if (ok) out.assign(buffer.data(), buffer.size() - outLeft);
  return ok;
}

struct termios g_savedTerminal;
volatile sig_atomic_t g_echoOff = 0;

// A failure here has no one left to be reported to: the process ends by the signal.
void RestoreEchoAndDie(int signalNumber) {
  if (g_echoOff) tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTerminal);
  signal(signalNumber, SIG_DFL);  // NOLINT(cert-err33-c)
  raise(signalNumber);            // NOLINT(cert-err33-c)
}

}  // namespace

bool ToLibraryText(const std::string &native, std::string &library) {
  return Convert("CP932", "UTF-8", native, library);
}

std::string FromLibraryText(const std::string &library) {
  std::string out;
  return Convert("UTF-8", "CP932", library, out) ? out : library;
}

bool WriteText(FILE *stream, const std::string &native) {
  bool whole = fwrite(native.data(), 1, native.size(), stream) == native.size();
  return fflush(stream) == 0 && whole;
}

bool IsTerminal(FILE *stream) { return isatty(fileno(stream)) == 1; }

namespace {

void (*g_oldInt)(int) = SIG_DFL;
void (*g_oldTerm)(int) = SIG_DFL;

bool EchoOff() {
  if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &g_savedTerminal) != 0) return false;
  struct termios quiet = g_savedTerminal;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  quiet.c_lflag |= ECHONL;
  g_oldInt = signal(SIGINT, RestoreEchoAndDie);
  g_oldTerm = signal(SIGTERM, RestoreEchoAndDie);
  g_echoOff = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
  return true;
}

// Best effort: a terminal that refuses its settings back is left as it is.
void EchoOn() {
  if (g_echoOff) tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_savedTerminal);
  g_echoOff = 0;
  signal(SIGINT, g_oldInt);    // NOLINT(cert-err33-c): a handler of ours, set before
  signal(SIGTERM, g_oldTerm);  // NOLINT(cert-err33-c): a handler of ours, set before
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

long long ProcessReadBytes() {
  int fd = open("/proc/self/io", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  char text[512];
  ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  if (n <= 0) return -1;
  text[n] = '\0';
  const char *rchar = strstr(text, "rchar:");
  return rchar ? strtoll(rchar + 6, nullptr, 10) : -1;
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

bool CheckWritable(const std::string &nativePath, std::string &why) {
  bool existed = PathExists(nativePath);
  FILE *f = fopen(nativePath.c_str(), "ab");
  if (f == nullptr) {
    why = strerror(errno);
    return false;
  }
  fclose(f);  // NOLINT(cert-err33-c): nothing was written through it
  // NOLINTNEXTLINE(cert-err33-c): an empty file left behind is replaced by the transfer.
  if (!existed) remove(nativePath.c_str());
  return true;
}

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
