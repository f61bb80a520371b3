// What the integration tests share: a loaded copy of the library with the trace log on,
// typed exports, URLs of the test server, trace reading, and the fixture of the suites
// that share one library copy.
#pragma once
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "Lumox.h"
#include "known_difference.h"
#include "test_support.h"

namespace lumox_it {

using namespace lumox_test;

using DownloadFileFn = int(LUMOX_CALL *)(const char *, SAFEARRAY **, const char *, int);
using DownloadFileExFn = int(LUMOX_CALL *)(const char *, SAFEARRAY **, const char *, int, int,
                                           const char *, int, const char *, const char *);
using DownloadFileCFn = int(LUMOX_CALL *)(const char *, char **, int, const char *, int);
using DownloadFileExCFn = int(LUMOX_CALL *)(const char *, char **, int, const char *, int, int,
                                            const char *, int, const char *, const char *);
using UploadFileFn = int(LUMOX_CALL *)(const char *, SAFEARRAY **, const char *, const char *,
                                       const char *);
using UploadFileExFn = int(LUMOX_CALL *)(const char *, SAFEARRAY **, const char *, const char *,
                                         const char *, int, const char *, int, const char *,
                                         const char *);
using UploadFileCFn = int(LUMOX_CALL *)(const char *, char **, int, const char *, const char *,
                                        const char *);
using UploadFileExCFn = int(LUMOX_CALL *)(const char *, char **, int, const char *, const char *,
                                          const char *, int, const char *, int, const char *,
                                          const char *);

// "[HTTP_SETTING]" with LogOn=1 and the extra key lines given ("Total=1").
std::string IniText(const std::vector<std::string> &keys = {});

// Open file descriptors of the process (Linux); -1 where they cannot be counted.
int OpenDescriptors();
// Around one transfer: when no other transfer of the program ran at the same time, a
// transfer that leaves the process with more descriptors than it found is a test failure.
class DescriptorWatch {
 public:
  DescriptorWatch();
  ~DescriptorWatch();
  DescriptorWatch(const DescriptorWatch &) = delete;
  DescriptorWatch &operator=(const DescriptorWatch &) = delete;

 private:
  int before_ = -1;
  std::set<std::string> open_;  // what the descriptors were before the transfer
  unsigned start_ = 0;
};

// An export of a library copy whose every call is watched for descriptors left open.
template <class Fn>
class Watched;
template <class R, class... A>
class Watched<R(LUMOX_CALL *)(A...)> {
 public:
  using Fn = R(LUMOX_CALL *)(A...);
  Watched &operator=(Fn fn) {
    fn_ = fn;
    return *this;
  }
  explicit operator bool() const { return fn_ != nullptr; }
  // The export itself, for a call that must not report to the test (a forked child).
  Fn raw() const { return fn_; }
  R operator()(A... args) const {
    DescriptorWatch watch;
    return fn_(args...);
  }

 private:
  Fn fn_ = nullptr;
};

// A loaded library copy with its exports and today's trace.
class Lib {
 public:
  explicit Lib(const std::vector<std::string> &iniKeys = {});
  Watched<DownloadFileFn> DownloadFile;
  Watched<DownloadFileExFn> DownloadFileEx;
  Watched<DownloadFileCFn> DownloadFileC;
  Watched<DownloadFileExCFn> DownloadFileExC;
  Watched<UploadFileFn> UploadFile;
  Watched<UploadFileExFn> UploadFileEx;
  Watched<UploadFileCFn> UploadFileC;
  Watched<UploadFileExCFn> UploadFileExC;
  // Forgets the trace written so far.
  void ClearTrace();
  // Messages of today's trace (after the time stamp and tag), optionally of one tag.
  std::vector<std::string> Trace(const std::string &tag = "") const;
  // The trace's "IF" and "UL" lines of the engine only.
  std::vector<std::string> EngineTrace() const;
  LibraryCopy &copy() { return copy_; }

 private:
  LibraryCopy copy_;
};

// http://127.0.0.1:<http_port>/x/<id>/<directives>
std::string HttpUrl(const std::string &id, const std::string &directives = "");
// The same origin named "localhost", for requests through the proxy: the direct tests use
// 127.0.0.1, and Wine's WinINet would hand a proxied request to a pooled direct connection
// of the same host and port.
std::string ProxiedUrl(const std::string &id, const std::string &directives = "");
std::string HttpsUrl(int port, const std::string &id, const std::string &directives = "");

// A plain-array parameter list that owns its strings.
class Pairs {
 public:
  Pairs(std::initializer_list<std::pair<std::string, std::string>> pairs);
  explicit Pairs(const std::vector<std::pair<std::string, std::string>> &pairs);
  char **data() { return pointers_.empty() ? nullptr : pointers_.data(); }
  int count() const { return static_cast<int>(pointers_.size() / 2); }

 private:
  std::vector<std::string> texts_;
  std::vector<char *> pointers_;
};

// A fresh folder for one test's files, removed afterwards.
class Scratch {
 public:
  Scratch();
  ~Scratch();
  std::string Path(const std::string &name) const { return JoinPath(dir_, name); }
  std::vector<std::string> Names() const { return ListDir(dir_); }
  const std::string &dir() const { return dir_; }

 private:
  std::string dir_;
};

// Creates the 1,000 temporary names of a target ("<target>.tmp0000" to ".tmp0999"), empty.
void TakeAllTemporaryNames(const std::string &target);
// Body bytes the server's body/N directive sends: byte[i] = i % 251.
std::string Pattern(size_t size);
// The boundary announced by a multipart request's Content-Type, or "".
std::string BoundaryOf(const Record &record);
// A field section and the file-part header as the library lays them out.
std::string FieldSection(const std::string &boundary, const std::string &name,
                         const std::string &value);
std::string FilePartHeader(const std::string &boundary, const std::string &field,
                           const std::string &path);
// Number of lines equal to text.
int CountOf(const std::vector<std::string> &lines, const std::string &text);
// True when the lines contain `sequence` in this order (others may lie between).
bool InOrder(const std::vector<std::string> &lines, const std::vector<std::string> &sequence);

// The engine's three close lines, in their order.
extern const std::vector<std::string> kCloseLines;

// A suite whose tests share one loaded library copy with the trace log on. Each test needs
// the test server, starts with the trace forgotten, and has a fresh folder for its files.
class LibSuite : public ::testing::Test {
 protected:
  static void SetUpTestSuite();
  static void TearDownTestSuite();
  void SetUp() override;
  // HttpDownloadFileC with an optional plain-array list.
  int DownloadC(const std::string &url, const std::string &target, Pairs *pairs, int usePost);
  static Lib *lib_;
  Scratch files_;
};

}  // namespace lumox_it

#define REQUIRE_SERVER()                                                                     \
  do {                                                                                       \
    if (!::lumox_test::Server().ok) FAIL() << "test server not running (LUMOX_SERVER_INFO)"; \
  } while (0)
