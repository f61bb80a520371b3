#include "integration_support.h"

#include <stdio.h>

#include <atomic>
#include <mutex>
#include <set>

#ifndef _WIN32
#include <dirent.h>
#include <unistd.h>
#endif

namespace lumox_it {

namespace {
std::atomic<int> g_transfersUnderWay{0};
std::atomic<unsigned> g_transfersStarted{0};

#ifndef _WIN32
// The descriptors of the process as "fd -> what it is".
std::set<std::string> DescribeDescriptors() {
  // The entries are "fd -> target" so that a number reused for another file shows.
  std::set<std::string> out;
  DIR *dir = opendir("/proc/self/fd");
  if (!dir) return out;
  int own = dirfd(dir);
  while (struct dirent *entry = readdir(dir)) {
    if (entry->d_name[0] == '.' || atoi(entry->d_name) == own) continue;
    char target[512] = {};
    std::string link = std::string("/proc/self/fd/") + entry->d_name;
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    out.insert(std::string(entry->d_name) + " -> " + (n > 0 ? std::string(target, n) : "?"));
  }
  closedir(dir);
  return out;
}
#endif
}  // namespace

void TakeAllTemporaryNames(const std::string &target) {
  char name[32];
  for (int i = 0; i < 1000; ++i) {
    snprintf(name, sizeof name, ".tmp%04d", i);
    WriteFileBytes(target + name, "");
  }
}

int OpenDescriptors() {
#ifdef _WIN32
  return -1;
#else
  return static_cast<int>(DescribeDescriptors().size());
#endif
}

DescriptorWatch::DescriptorWatch() {
  start_ = ++g_transfersStarted;
  if (g_transfersUnderWay++ != 0) return;
#ifndef _WIN32
  open_ = DescribeDescriptors();
  before_ = static_cast<int>(open_.size());
#endif
}

DescriptorWatch::~DescriptorWatch() {
  bool alone = --g_transfersUnderWay == 0 && g_transfersStarted == start_;
  if (!alone || before_ < 0) return;
  int after = OpenDescriptors();
  if (after > before_) {
    std::string list;
#ifndef _WIN32
    for (const std::string &d : DescribeDescriptors()) {
      if (!open_.count(d)) list += "\n  " + d;
    }
#endif
    ADD_FAILURE() << "the transfer left " << after - before_ << " more descriptor(s) open:" << list;
  }
}

std::string IniText(const std::vector<std::string> &keys) {
  std::string text = "[HTTP_SETTING]\r\nLogOn=1\r\n";
  for (const std::string &key : keys) text += key + "\r\n";
  return text;
}

Lib::Lib(const std::vector<std::string> &iniKeys) : copy_(IniText(iniKeys), "it") {
  DownloadFile = copy_.Get<DownloadFileFn>("HttpDownloadFile");
  DownloadFileEx = copy_.Get<DownloadFileExFn>("HttpDownloadFileEx");
  DownloadFileC = copy_.Get<DownloadFileCFn>("HttpDownloadFileC");
  DownloadFileExC = copy_.Get<DownloadFileExCFn>("HttpDownloadFileExC");
  UploadFile = copy_.Get<UploadFileFn>("HttpUploadFile");
  UploadFileEx = copy_.Get<UploadFileExFn>("HttpUploadFileEx");
  UploadFileC = copy_.Get<UploadFileCFn>("HttpUploadFileC");
  UploadFileExC = copy_.Get<UploadFileExCFn>("HttpUploadFileExC");
  if (!DownloadFile || !DownloadFileEx || !DownloadFileC || !DownloadFileExC || !UploadFile ||
      !UploadFileEx || !UploadFileC || !UploadFileExC) {
    ADD_FAILURE() << "the library copy lacks a transfer export: " << copy_.libraryFile();
  }
}

void Lib::ClearTrace() { RemoveTree(copy_.logDir()); }

// Entries of a day file as (tag, message), continuation lines joined to their entry.
static std::vector<std::pair<std::string, std::string>> Entries(const std::string &bytes) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const std::string &line : LogLines(bytes)) {
    if (line.size() < 37 || line.compare(33, 4, "    ") != 0 || line[31] == '=') continue;
    bool continuation = line.compare(0, 31, std::string(31, ' ')) == 0;
    if (continuation && !out.empty()) {
      out.back().second += line.substr(37);
    } else {
      out.emplace_back(line.substr(31, 2), line.substr(37));
    }
  }
  return out;
}

std::vector<std::string> Lib::Trace(const std::string &tag) const {
  std::vector<std::string> out;
  for (const auto &entry : Entries(ReadFileBytes(copy_.todayLogFile()))) {
    if (tag.empty() || entry.first == tag) out.push_back(entry.second);
  }
  return out;
}

std::vector<std::string> Lib::EngineTrace() const {
  std::vector<std::string> out;
  for (const auto &entry : Entries(ReadFileBytes(copy_.todayLogFile()))) {
    if (entry.first == "IF" || (entry.first == "UL" && entry.second.compare(0, 4, "Http") == 0))
      out.push_back(entry.second);
  }
  return out;
}

std::string HttpUrl(const std::string &id, const std::string &directives) {
  char head[64];
  snprintf(head, sizeof head, "http://127.0.0.1:%d/x/", Server().httpPort);
  return head + id + (directives.empty() ? "" : "/" + directives);
}

std::string ProxiedUrl(const std::string &id, const std::string &directives) {
  char head[64];
  snprintf(head, sizeof head, "http://localhost:%d/x/", Server().httpPort);
  return head + id + (directives.empty() ? "" : "/" + directives);
}

std::string HttpsUrl(int port, const std::string &id, const std::string &directives) {
  char head[64];
  snprintf(head, sizeof head, "https://127.0.0.1:%d/x/", port);
  return head + id + (directives.empty() ? "" : "/" + directives);
}

Pairs::Pairs(std::initializer_list<std::pair<std::string, std::string>> pairs)
    : Pairs(std::vector<std::pair<std::string, std::string>>(pairs)) {}

Pairs::Pairs(const std::vector<std::pair<std::string, std::string>> &pairs) {
  for (const auto &p : pairs) {
    texts_.push_back(p.first);
    texts_.push_back(p.second);
  }
  for (std::string &t : texts_) pointers_.push_back(&t[0]);
}

Scratch::Scratch() : dir_(MakeTempDir("files")) {}
Scratch::~Scratch() { RemoveTree(dir_); }

std::string Pattern(size_t size) {
  std::string out(size, '\0');
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<char>(i % 251);
  return out;
}

std::string BoundaryOf(const Record &record) {
  const std::string prefix = "multipart/form-data; boundary=";
  std::string type = record.header("Content-Type");
  if (type.compare(0, prefix.size(), prefix) != 0) return "";
  return type.substr(prefix.size());
}

std::string FieldSection(const std::string &boundary, const std::string &name,
                         const std::string &value) {
  return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" +
         value + "\r\n";
}

std::string FilePartHeader(const std::string &boundary, const std::string &field,
                           const std::string &path) {
  return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + field +
         "\"; filename=\"" + path + "\"\r\nContent-Type: application/octet-stream\r\n\r\n";
}

int CountOf(const std::vector<std::string> &lines, const std::string &text) {
  int n = 0;
  for (const std::string &line : lines) n += line == text;
  return n;
}

bool InOrder(const std::vector<std::string> &lines, const std::vector<std::string> &sequence) {
  size_t next = 0;
  for (const std::string &line : lines) {
    if (next < sequence.size() && line == sequence[next]) ++next;
  }
  return next == sequence.size();
}

const std::vector<std::string> kCloseLines = {"InternetCloseHandle----hFile",
                                              "InternetCloseHandle----hConnection",
                                              "InternetCloseHandle----hOpen"};

Lib *LibSuite::lib_ = nullptr;

void LibSuite::SetUpTestSuite() { lib_ = new Lib(); }

void LibSuite::TearDownTestSuite() {
  delete lib_;
  lib_ = nullptr;
}

void LibSuite::SetUp() {
  REQUIRE_SERVER();
  lib_->ClearTrace();
}

int LibSuite::DownloadC(const std::string &url, const std::string &target, Pairs *pairs,
                        int usePost) {
  return lib_->DownloadFileC(url.c_str(), pairs ? pairs->data() : nullptr,
                             pairs ? pairs->count() : 0, target.c_str(), usePost);
}

}  // namespace lumox_it
