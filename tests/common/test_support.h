// Helpers shared by the test programs of every leg: temporary folders, files, the test
// server's ports and records, automation strings and arrays, and copies of the library.
#pragma once
#include <windows.h>
#include <oleauto.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>
#endif

namespace lumox_test {

// --- paths and files (native paths: '\' on Windows, '/' on Linux) ---
char PathSeparator();
std::string JoinPath(const std::string &dir, const std::string &name);
// A new empty folder under the system's temporary folder.
std::string MakeTempDir(const std::string &tag);
void RemoveTree(const std::string &dir);
bool FileExists(const std::string &path);
std::string ReadFileBytes(const std::string &path);  // empty when missing
void WriteFileBytes(const std::string &path, const std::string &bytes);
std::vector<std::string> ListDir(const std::string &dir);  // names, sorted
// A Unix path as this program must open it (under Wine: Z:\...).
std::string NativePath(const std::string &unixPath);

#ifndef _WIN32
// While it lives, files of this process cannot grow beyond `limit` bytes: a write past it
// fails with EFBIG (SIGXFSZ ignored), which the Linux layer reports as a full disk.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t limit);
  ~FileSizeLimit();
  bool ok() const { return ok_; }

 private:
  rlimit saved_{};
  void (*previous_)(int) = nullptr;
  bool ok_ = false;
};
#endif

// --- the platform ---
// True when the program runs under Wine (the win64 leg).
bool UnderWine();
// Reports a known platform difference met at file:line: a "[ KNOWN    ]" line on the
// output and the test property "known_wine_difference" with the reason.
void NoteKnownDifference(const char *file, int line, const std::string &reason);
// True when the program runs under 32-bit Wine in the win32 leg's emulation (qemu-i386 in
// user mode; scripts/wine32-run.sh says so through LUMOX_EMULATOR).
bool UnderEmulation();
// Reports an expectation left out under that emulation: a "[ KNOWN    ]" line and the test
// property "known_emulation_difference" with the reason.
void NoteEmulationDifference(const char *file, int line, const std::string &reason);

#ifndef _WIN32
// The threads this process has now; -1 when /proc cannot be read.
int ThreadCount();
// Runs `call` and returns the seconds it took. A FIFO the call leaves waiting is released
// after `releaseAfterSeconds` by opening its other end (for writing when `asWriter`), so
// a call that blocks on the FIFO fails its test instead of hanging it.
double SecondsWithFifoRelease(const std::string &fifo, bool asWriter, double releaseAfterSeconds,
                              const std::function<void()> &call);
#endif

// --- text ---
// UTF-8 text converted to code page 932 (independent of how the test was compiled).
std::string Sjis(const std::string &utf8);
std::string Hex(const std::string &bytes);

// --- automation strings and arrays ---
BSTR MakeBstr(const std::u16string &text);
// A one-dimensional host array of (name, value) records as a host dimensions it. A pair
// whose `present` flag is false leaves that record's strings null.
struct HostPair {
  std::u16string name;
  std::u16string value;
  bool nameSet = true;
  bool valueSet = true;
};
class HostArray {
 public:
  explicit HostArray(const std::vector<HostPair> &pairs, ULONG declaredCount = 0);
  ~HostArray();
  HostArray(const HostArray &) = delete;
  HostArray &operator=(const HostArray &) = delete;
  SAFEARRAY **variable() { return &array_; }
  SAFEARRAY *array() { return array_; }

 private:
  SAFEARRAY *array_ = nullptr;
  SAFEARRAY *owned_ = nullptr;
};

// --- the built library ---
std::string BuiltLibraryPath();
// A copy of the library in a fresh folder, with Lumox.ini written beside it when
// iniText is not empty, loaded until Unload() or destruction.
class LibraryCopy {
 public:
  explicit LibraryCopy(const std::string &iniText, const std::string &tag = "lib");
  ~LibraryCopy();
  LibraryCopy(const LibraryCopy &) = delete;
  LibraryCopy &operator=(const LibraryCopy &) = delete;
  void Load();
  void Unload();
  bool loaded() const { return module_ != nullptr; }
  FARPROC Proc(const char *name) const;
  template <class F>
  F Get(const char *name) const {
    return reinterpret_cast<F>(Proc(name));
  }
  const std::string &dir() const { return dir_; }
  std::string libraryFile() const;
  std::string logDir() const { return JoinPath(dir_, "LUMOX_LOG"); }
  // Today's weekday file, e.g. LUMOX_LOG/LMON.TXT.
  std::string todayLogFile() const;
  void WriteIni(const std::string &iniText);

 private:
  std::string dir_;
  HMODULE module_ = nullptr;
};
// Day file name for the current local date ("LSUN.TXT" ... "LSAT.TXT").
std::string TodayLogName();
// Splits a day file into lines (CR LF removed).
std::vector<std::string> LogLines(const std::string &bytes);
// The text after the 31-character time stamp, tag and four blanks of each line that has one.
std::vector<std::string> LogMessages(const std::string &bytes, const std::string &tag = "");

// --- the test server (tests/server) ---
struct ServerInfo {
  int httpPort = 0;
  int httpsPort = 0;
  int httpsWrongNamePort = 0;
  int httpsExpiredPort = 0;
  int proxyPort = 0;
  int httpOtherPort = 0;  // a second HTTP origin on another port
  int proxyTlsPort = 0;   // the forward proxy spoken to over TLS (good certificate)
  int socksPort = 0;      // a SOCKS5 proxy (records in _socks)
  std::string records;    // native path of the records folder
  std::string caCert;     // native path of the test CA's certificate (PEM), "" if none
  bool ok = false;
};
// Read from the file named by LUMOX_SERVER_INFO; ok is false when there is none.
const ServerInfo &Server();
// A fresh record id for one test, unique within the run.
std::string UniqueId(const std::string &tag);
struct Record {
  std::string raw;   // exact bytes received
  std::string head;  // request line and headers, up to the blank line
  std::string body;  // bytes after the blank line
  std::string requestLine;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string meta;                                   // the .json sidecar, as text
  std::string header(const std::string &name) const;  // first value, case-insensitive; "" if none
  bool hasHeader(const std::string &name) const;
};
// The requests the origin recorded for id, in arrival order.
std::vector<Record> Records(const std::string &id);
// The proxy's notes for id (proxy-NNNN.json texts).
std::vector<std::string> ProxyRecords(const std::string &id);

}  // namespace lumox_test
