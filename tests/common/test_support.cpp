#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#ifdef _WIN32
#include <windows.h>
#include <shlwapi.h>
#else
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#endif

namespace lumox_test {

char PathSeparator() {
#ifdef _WIN32
  return '\\';
#else
  return '/';
#endif
}

std::string JoinPath(const std::string &dir, const std::string &name) {
  if (dir.empty()) return name;
  char last = dir.back();
  if (last == '/' || last == '\\') return dir + name;
  return dir + PathSeparator() + name;
}

bool UnderWine() {
#ifdef _WIN32
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

void NoteKnownDifference(const char *file, int line, const std::string &reason) {
  printf("[ KNOWN    ] Wine differs from Windows at %s:%d: %s\n", file, line, reason.c_str());
  ::testing::Test::RecordProperty("known_wine_difference", reason);
}

bool UnderEmulation() {
  const char *emulator = getenv("LUMOX_EMULATOR");
  return UnderWine() && emulator != nullptr && *emulator != '\0';
}

void NoteEmulationDifference(const char *file, int line, const std::string &reason) {
  printf("[ KNOWN    ] not run under emulation at %s:%d: %s\n", file, line, reason.c_str());
  ::testing::Test::RecordProperty("known_emulation_difference", reason);
}

#ifndef _WIN32
double SecondsWithFifoRelease(const std::string &fifo, bool asWriter, double releaseAfterSeconds,
                              const std::function<void()> &call) {
  std::atomic<bool> done{false};
  std::thread release([&] {
    auto until =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(releaseAfterSeconds);
    while (!done && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (done) return;
    int fd = open(fifo.c_str(), (asWriter ? O_WRONLY : O_RDONLY) | O_NONBLOCK);
    if (fd < 0) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    close(fd);
  });
  auto start = std::chrono::steady_clock::now();
  call();
  done = true;
  release.join();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
#endif

std::string NativePath(const std::string &unixPath) {
#ifdef _WIN32
  if (unixPath.size() >= 2 && unixPath[1] == ':') return unixPath;
  std::string out = "Z:";
  for (char c : unixPath) out += (c == '/') ? '\\' : c;
  return out;
#else
  return unixPath;
#endif
}

#ifndef _WIN32
int ThreadCount() {
  int count = 0;
  DIR *dir = opendir("/proc/self/task");
  if (!dir) return -1;
  while (struct dirent *entry = readdir(dir)) count += entry->d_name[0] != '.';
  closedir(dir);
  return count;
}

FileSizeLimit::FileSizeLimit(rlim_t limit) {
  getrlimit(RLIMIT_FSIZE, &saved_);
  previous_ = signal(SIGXFSZ, SIG_IGN);
  rlimit now = saved_;
  now.rlim_cur = limit;
  ok_ = setrlimit(RLIMIT_FSIZE, &now) == 0;
}

FileSizeLimit::~FileSizeLimit() {
  setrlimit(RLIMIT_FSIZE, &saved_);
  signal(SIGXFSZ, previous_);
}
#endif

std::string MakeTempDir(const std::string &tag) {
  static std::atomic<unsigned> counter{0};
#ifdef _WIN32
  char base[MAX_PATH] = {0};
  GetTempPathA(sizeof(base), base);
  for (int attempt = 0; attempt < 1000; ++attempt) {
    char name[MAX_PATH];
    snprintf(name, sizeof(name), "%slumox-%s-%lu-%u", base, tag.c_str(),
             (unsigned long)GetCurrentProcessId(), counter++);
    if (CreateDirectoryA(name, nullptr)) return name;
  }
  return std::string();
#else
  const char *tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/lumox-" + tag + "-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  counter++;
  if (!mkdtemp(buf.data())) return std::string();
  return buf.data();
#endif
}

void RemoveTree(const std::string &dir) {
  if (dir.empty()) return;
  for (const std::string &name : ListDir(dir)) {
    std::string path = JoinPath(dir, name);
#ifdef _WIN32
    DWORD attr = GetFileAttributesA(path.c_str());
    if (attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY)) {
      RemoveTree(path);
    } else {
      SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      DeleteFileA(path.c_str());
    }
#else
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      RemoveTree(path);
    } else {
      unlink(path.c_str());
    }
#endif
  }
#ifdef _WIN32
  RemoveDirectoryA(dir.c_str());
#else
  rmdir(dir.c_str());
#endif
}

std::vector<std::string> ListDir(const std::string &dir) {
  std::vector<std::string> names;
#ifdef _WIN32
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA(JoinPath(dir, "*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      if (strcmp(data.cFileName, ".") && strcmp(data.cFileName, ".."))
        names.push_back(data.cFileName);
    } while (FindNextFileA(find, &data));
    FindClose(find);
  }
#else
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d)) {
      if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) names.push_back(e->d_name);
    }
    closedir(d);
  }
#endif
  std::sort(names.begin(), names.end());
  return names;
}

bool FileExists(const std::string &path) {
#ifdef _WIN32
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
#else
  struct stat st;
  return stat(path.c_str(), &st) == 0;
#endif
}

std::string ReadFileBytes(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::string();
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFileBytes(const std::string &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), (std::streamsize)bytes.size());
}

std::string Sjis(const std::string &utf8) {
  int wlen = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), (int)utf8.size(), nullptr, 0);
  if (wlen <= 0) return std::string();
  std::vector<WCHAR> wide(wlen);
  MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), (int)utf8.size(), wide.data(), wlen);
  int len = WideCharToMultiByte(932, 0, wide.data(), wlen, nullptr, 0, nullptr, nullptr);
  std::string out(len > 0 ? len : 0, '\0');
  if (len > 0) WideCharToMultiByte(932, 0, wide.data(), wlen, &out[0], len, nullptr, nullptr);
  return out;
}

std::string Hex(const std::string &bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

BSTR MakeBstr(const std::u16string &text) {
  return SysAllocStringLen(reinterpret_cast<const OLECHAR *>(text.data()), (UINT)text.size());
}

HostArray::HostArray(const std::vector<HostPair> &pairs, ULONG declaredCount) {
  struct Record {
    BSTR name;
    BSTR value;
  };
  ULONG count = declaredCount ? declaredCount : (ULONG)pairs.size();
  if (FAILED(SafeArrayAllocDescriptor(1, &owned_))) return;
  owned_->cbElements = sizeof(Record);
  owned_->fFeatures = 0;
  owned_->rgsabound[0].cElements = count ? count : 1;
  owned_->rgsabound[0].lLbound = 0;
  if (FAILED(SafeArrayAllocData(owned_))) {
    SafeArrayDestroyDescriptor(owned_);
    owned_ = nullptr;
    return;
  }
  owned_->rgsabound[0].cElements = count;
  Record *records = static_cast<Record *>(owned_->pvData);
  for (size_t i = 0; i < pairs.size() && i < (count ? count : 1); ++i) {
    records[i].name = pairs[i].nameSet ? MakeBstr(pairs[i].name) : nullptr;
    records[i].value = pairs[i].valueSet ? MakeBstr(pairs[i].value) : nullptr;
  }
  array_ = owned_;
}

HostArray::~HostArray() {
  if (!owned_) return;
  struct Record {
    BSTR name;
    BSTR value;
  };
  Record *records = static_cast<Record *>(owned_->pvData);
  ULONG count = owned_->rgsabound[0].cElements;
  for (ULONG i = 0; records && i < count; ++i) {
    SysFreeString(records[i].name);
    SysFreeString(records[i].value);
  }
  if (owned_->rgsabound[0].cElements == 0) owned_->rgsabound[0].cElements = 1;
  owned_->cLocks = 0;
  SafeArrayDestroyData(owned_);
  SafeArrayDestroyDescriptor(owned_);
}

std::string BuiltLibraryPath() { return NativePath(LUMOX_LIBRARY_FILE); }

static std::string LibraryFileName() {
#ifdef _WIN32
  return "Lumox.dll";
#else
  return "libLumox.so";
#endif
}

LibraryCopy::LibraryCopy(const std::string &iniText, const std::string &tag) {
  dir_ = MakeTempDir(tag);
  std::string bytes = ReadFileBytes(BuiltLibraryPath());
  WriteFileBytes(libraryFile(), bytes);
  if (!iniText.empty()) WriteIni(iniText);
  Load();
}

LibraryCopy::~LibraryCopy() {
  Unload();
  RemoveTree(dir_);
}

std::string LibraryCopy::libraryFile() const { return JoinPath(dir_, LibraryFileName()); }

void LibraryCopy::WriteIni(const std::string &iniText) {
  WriteFileBytes(JoinPath(dir_, "Lumox.ini"), iniText);
}

void LibraryCopy::Load() {
  if (module_) return;
#ifdef _WIN32
  module_ = LoadLibraryA(libraryFile().c_str());
#else
  module_ = reinterpret_cast<HMODULE>(dlopen(libraryFile().c_str(), RTLD_NOW | RTLD_LOCAL));
#endif
}

void LibraryCopy::Unload() {
  if (!module_) return;
#ifdef _WIN32
  FreeLibrary(module_);
#else
  dlclose(module_);
#endif
  module_ = nullptr;
}

FARPROC LibraryCopy::Proc(const char *name) const {
  if (!module_) return nullptr;
#ifdef _WIN32
  return GetProcAddress(module_, name);
#else
  return reinterpret_cast<FARPROC>(dlsym(module_, name));
#endif
}

std::string TodayLogName() {
  static const char *days[] = {"SUN", "MON", "TUE", "WED", "THU", "FRI", "SAT"};
  SYSTEMTIME now;
  GetLocalTime(&now);
  return std::string("L") + days[now.wDayOfWeek % 7] + ".TXT";
}

std::string LibraryCopy::todayLogFile() const { return JoinPath(logDir(), TodayLogName()); }

std::vector<std::string> LogLines(const std::string &bytes) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = bytes.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(bytes.substr(start));
      break;
    }
    lines.push_back(bytes.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

std::vector<std::string> LogMessages(const std::string &bytes, const std::string &tag) {
  std::vector<std::string> out;
  for (const std::string &line : LogLines(bytes)) {
    // 31 characters of time stamp (or blanks), the two-letter tag, four blanks.
    if (line.size() < 37 || line.compare(33, 4, "    ") != 0) continue;
    if (line[31] == '=') continue;
    std::string lineTag = line.substr(31, 2);
    if (!tag.empty() && lineTag != tag) continue;
    out.push_back(line.substr(37));
  }
  return out;
}

static ServerInfo LoadServerInfo() {
  ServerInfo info;
  const char *file = getenv("LUMOX_SERVER_INFO");
  if (!file || !*file) return info;
  std::ifstream in(NativePath(file));
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    int number = atoi(value.c_str());
    if (key == "http_port")
      info.httpPort = number;
    else if (key == "https_port")
      info.httpsPort = number;
    else if (key == "https_wrongname_port")
      info.httpsWrongNamePort = number;
    else if (key == "https_expired_port")
      info.httpsExpiredPort = number;
    else if (key == "proxy_port")
      info.proxyPort = number;
    else if (key == "http_other_port")
      info.httpOtherPort = number;
    else if (key == "proxy_tls_port")
      info.proxyTlsPort = number;
    else if (key == "socks_port")
      info.socksPort = number;
    else if (key == "records")
      info.records = NativePath(value);
    else if (key == "ca_cert" && !value.empty())
      info.caCert = NativePath(value);
  }
  info.ok = info.httpPort != 0 && !info.records.empty();
  return info;
}

const ServerInfo &Server() {
  static ServerInfo info = LoadServerInfo();
  return info;
}

std::string UniqueId(const std::string &tag) {
  static std::atomic<unsigned> counter{0};
  char buf[128];
#ifdef _WIN32
  unsigned long pid = GetCurrentProcessId();
#else
  unsigned long pid = (unsigned long)getpid();
#endif
  snprintf(buf, sizeof(buf), "%s-%lu-%lu-%u", tag.c_str(), pid, (unsigned long)time(nullptr),
           counter++);
  return buf;
}

static std::string Lower(std::string s) {
  for (char &c : s) c = (char)tolower((unsigned char)c);
  return s;
}

std::string Record::header(const std::string &name) const {
  std::string key = Lower(name);
  for (const auto &h : headers)
    if (Lower(h.first) == key) return h.second;
  return std::string();
}

bool Record::hasHeader(const std::string &name) const {
  std::string key = Lower(name);
  for (const auto &h : headers)
    if (Lower(h.first) == key) return true;
  return false;
}

static Record ParseRecord(const std::string &raw) {
  Record r;
  r.raw = raw;
  size_t end = raw.find("\r\n\r\n");
  r.head = end == std::string::npos ? raw : raw.substr(0, end + 2);
  r.body = end == std::string::npos ? std::string() : raw.substr(end + 4);
  size_t pos = r.head.find("\r\n");
  r.requestLine = r.head.substr(0, pos);
  while (pos != std::string::npos && pos + 2 < r.head.size()) {
    size_t next = r.head.find("\r\n", pos + 2);
    std::string line =
        r.head.substr(pos + 2, next == std::string::npos ? std::string::npos : next - pos - 2);
    size_t colon = line.find(':');
    if (colon != std::string::npos) {
      size_t v = colon + 1;
      while (v < line.size() && line[v] == ' ') ++v;
      r.headers.emplace_back(line.substr(0, colon), line.substr(v));
    }
    pos = next;
  }
  return r;
}

std::vector<Record> Records(const std::string &id) {
  std::vector<Record> out;
  std::string dir = JoinPath(Server().records, id);
  for (const std::string &name : ListDir(dir)) {
    if (name.size() < 4 || name.compare(name.size() - 4, 4, ".req") != 0) continue;
    if (name.compare(0, 6, "proxy-") == 0) continue;
    Record r = ParseRecord(ReadFileBytes(JoinPath(dir, name)));
    std::string meta = JoinPath(dir, name.substr(0, name.size() - 4) + ".json");
    r.meta = ReadFileBytes(meta);
    out.push_back(std::move(r));
  }
  return out;
}

std::vector<std::string> ProxyRecords(const std::string &id) {
  std::vector<std::string> out;
  std::string dir = JoinPath(Server().records, id);
  for (const std::string &name : ListDir(dir)) {
    if (name.compare(0, 6, "proxy-") == 0 && name.size() > 5 &&
        name.compare(name.size() - 5, 5, ".json") == 0)
      out.push_back(ReadFileBytes(JoinPath(dir, name)));
  }
  return out;
}

}  // namespace lumox_test
