// Many threads, many mixed transfers at once against the loopback test server: downloads by
// GET and POST, multipart and raw uploads (some long enough for the background file writer
// and reader), cut bodies, error statuses, existing targets, messages and URL parsing,
// through one library copy whose trace is switched on and off while it runs and one without
// a settings file. Every call must give its own result and
// files; afterwards the process holds no more descriptors than before, and (without a
// sanitizer) its resident memory has not grown beyond a small allowance.
// LUMOX_STRESS_THREADS and LUMOX_STRESS_TRANSFERS set the load (default 16 x 50); the
// ThreadSanitizer leg runs this program with a smaller load.
#include <windows.h>
#include <wininet.h>

#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Lumox.h"
#include "test_support.h"

namespace lumox_inet {
void AlwaysStartNetThreads(bool always);  // the layer's switches for tests
void PretendCoresForNetThreads(size_t cores);
}  // namespace lumox_inet

namespace {

using namespace lumox_test;

using DownloadFileCFn = int(LUMOX_CALL *)(const char *, char **, int, const char *, int);
using UploadFileCFn = int(LUMOX_CALL *)(const char *, char **, int, const char *, const char *,
                                        const char *);
using GetErrStrCFn = int(LUMOX_CALL *)(int, char *, unsigned int);
using ParseURLCFn = int(LUMOX_CALL *)(const char *, char *, unsigned int);

struct Exports {
  explicit Exports(const LibraryCopy &copy)
      : download(copy.Get<DownloadFileCFn>("HttpDownloadFileC")),
        upload(copy.Get<UploadFileCFn>("HttpUploadFileC")),
        message(copy.Get<GetErrStrCFn>("HttpGetErrStrC")),
        parse(copy.Get<ParseURLCFn>("HttpParseURLC")) {}
  bool ok() const { return download && upload && message && parse; }
  DownloadFileCFn download;
  UploadFileCFn upload;
  GetErrStrCFn message;
  ParseURLCFn parse;
};

int EnvOr(const char *name, int fallback) {
  const char *value = getenv(name);
  return value && atoi(value) > 0 ? atoi(value) : fallback;
}

int OpenDescriptors() {
  int count = 0;
  DIR *dir = opendir("/proc/self/fd");
  if (!dir) return -1;
  while (struct dirent *entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count - 1;  // the folder's own descriptor
}

long ResidentKiB() {
  long pages = 0, resident = 0;
  FILE *file = fopen("/proc/self/statm", "r");
  if (!file) return -1;
  if (fscanf(file, "%ld %ld", &pages, &resident) != 2) resident = -1;
  fclose(file);
  return resident < 0 ? -1 : resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// The thread count once it is at most `limit`, or after 5 s as it then is.
int ThreadsSettledTo(int limit) {
  for (int i = 0; i < 500 && ThreadCount() > limit; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return ThreadCount();
}

// Body bytes of the server's body/N directive: byte[i] = i % 251.
std::string Pattern(size_t size) {
  std::string out(size, '\0');
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<char>(i % 251);
  return out;
}

std::string Url(const std::string &id, const std::string &directives) {
  return "http://127.0.0.1:" + std::to_string(Server().httpPort) + "/x/" + id + "/" + directives;
}

const int kKinds = 9;

// One transfer of kind `kind`; returns "" when everything is as it must be, else what differs.
std::string RunOne(const Exports &lib, int kind, const std::string &dir, const std::string &id) {
  char name[] = "field", value[] = "v a&l=u\x82\xa0";
  char *pairs[] = {name, value};
  std::string target = JoinPath(dir, "target.bin");
  std::string reply = JoinPath(dir, "reply.bin");
  std::string source = JoinPath(dir, "source.bin");
  auto expect = [](bool ok, const std::string &what) { return ok ? std::string() : what; };
  switch (kind) {
    case 0: {  // GET into a new file, with a length header
      DeleteFileA(target.c_str());
      int r = lib.download(Url(id, "body/3000/hdr/LFile-Length/3000").c_str(), pairs, 1,
                           target.c_str(), 0);
      return expect(r == 0 && ReadFileBytes(target) == Pattern(3000),
                    "GET new: " + std::to_string(r));
    }
    case 1: {  // GET over an existing file by way of a temporary name
      WriteFileBytes(target, "old");
      int r =
          lib.download(Url(id, "body/1500/trickle/1/500").c_str(), nullptr, 0, target.c_str(), 0);
      return expect(r == 0 && ReadFileBytes(target) == Pattern(1500) && ListDir(dir).size() == 1,
                    "GET existing: " + std::to_string(r));
    }
    case 2: {  // a body cut short of its Content-Length: the old file stays
      WriteFileBytes(target, "keep");
      int r = lib.download(Url(id, "body/75/short/6").c_str(), nullptr, 0, target.c_str(), 0);
      return expect(
          r == LUMOX_E_SIZE_MISMATCH && ReadFileBytes(target) == "keep" && ListDir(dir).size() == 1,
          "GET cut: " + std::to_string(r));
    }
    case 3: {  // download by POST
      DeleteFileA(target.c_str());
      int r = lib.download(Url(id, "body/700").c_str(), pairs, 1, target.c_str(), 1);
      return expect(r == 0 && ReadFileBytes(target) == Pattern(700),
                    "POST download: " + std::to_string(r));
    }
    case 4: {  // multipart upload; the reply echoes the body
      WriteFileBytes(source, Pattern(2500));
      DeleteFileA(reply.c_str());
      int r = lib.upload(Url(id, "echo").c_str(), pairs, 1, source.c_str(), "file", reply.c_str());
      std::string echoed = ReadFileBytes(reply);
      return expect(r == 0 && echoed.find(Pattern(2500)) != std::string::npos &&
                        echoed.find("name=\"field\"") != std::string::npos,
                    "multipart upload: " + std::to_string(r));
    }
    case 5: {  // raw upload with the pairs in the query string
      WriteFileBytes(source, Pattern(1200));
      DeleteFileA(reply.c_str());
      int r = lib.upload(Url(id, "echo").c_str(), pairs, 1, source.c_str(), "", reply.c_str());
      return expect(r == 0 && ReadFileBytes(reply) == Pattern(1200),
                    "raw upload: " + std::to_string(r));
    }
    case 7: {  // a download many file buffers long: the background writer at work
      DeleteFileA(target.c_str());
      int r = lib.download(Url(id, "body/1300000").c_str(), nullptr, 0, target.c_str(), 0);
      return expect(r == 0 && ReadFileBytes(target) == Pattern(1300000),
                    "large GET: " + std::to_string(r));
    }
    case 8: {  // an upload read ahead, whose echoed reply is written behind
      WriteFileBytes(source, Pattern(1200000));
      DeleteFileA(reply.c_str());
      int r = lib.upload(Url(id, "echo").c_str(), nullptr, 0, source.c_str(), "", reply.c_str());
      return expect(r == 0 && ReadFileBytes(reply) == Pattern(1200000),
                    "large raw upload: " + std::to_string(r));
    }
    default: {  // an error status, its message, and a URL parsed
      DeleteFileA(target.c_str());
      int r = lib.download(Url(id, "status/404").c_str(), nullptr, 0, target.c_str(), 0);
      char text[512];
      int m = lib.message(r, text, sizeof text);
      char parsed[1100];
      int p = lib.parse("http://Host/a/./b/../c d", parsed, sizeof parsed);
      return expect(
          r == 404 && !FileExists(target) && m == 0 && strlen(text) > 0 && p == 0 &&
              std::string(parsed) == "http://Host/a/c%20d",
          "404: " + std::to_string(r) + "/" + std::to_string(m) + "/" + std::to_string(p));
    }
  }
}

TEST(Stress, ManyThreadsManyMixedTransfers) {
  ASSERT_TRUE(Server().ok) << "test server not running (LUMOX_SERVER_INFO)";
  // Large blocks (the test's own copies of megabyte bodies) stay mapped on their own: glibc
  // otherwise raises its mapping threshold after the first such free and keeps them in the
  // threads' arenas, which the resident-memory check would count as the transfers'.
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  const int threads = EnvOr("LUMOX_STRESS_THREADS", 16);
  const int transfers = EnvOr("LUMOX_STRESS_TRANSFERS", 50);
  const std::string iniOn = "[HTTP_SETTING]\r\nLogOn=1\r\nReceive=20000\r\n";
  const std::string iniOff = "[HTTP_SETTING]\r\nLogOn=0\r\nReceive=20000\r\n";
  LibraryCopy traced(iniOn, "stress-trace");
  LibraryCopy quiet("", "stress-quiet");
  Exports tracedLib(traced), quietLib(quiet);
  ASSERT_TRUE(tracedLib.ok() && quietLib.ok());

  std::string scratch = MakeTempDir("stress");
  // One transfer of each kind first, so that what stays loaded for the process's life
  // (libcurl, the TLS library, locale data) is in place before the counts are taken.
  for (int kind = 0; kind < kKinds; ++kind) {
    std::string dir = JoinPath(scratch, "warm" + std::to_string(kind));
    CreateDirectoryA(dir.c_str(), nullptr);
    EXPECT_EQ("", RunOne(kind % 2 ? tracedLib : quietLib, kind, dir, UniqueId("stress-warm")));
  }
  // The load runs twice: the first round lets the allocator's per-thread arenas and the
  // threads' stacks settle, so growth in the second one is what transfers keep.
  std::vector<long> rss;
  for (int round = 0; round < 2; ++round) {
    const int fdsBefore = OpenDescriptors();
    rss.push_back(ResidentKiB());
    std::atomic<bool> running{true};
    std::thread toggler([&] {  // switches the trace on and off while the transfers run
      for (int i = 0; running && i < 100000; ++i) {
        traced.WriteIni(i % 2 ? iniOff : iniOn);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });
    std::vector<std::vector<std::string>> failures(threads);
    std::vector<std::thread> workers;
    auto start = std::chrono::steady_clock::now();
    for (int t = 0; t < threads; ++t) {
      workers.emplace_back([&, t] {
        std::string dir = JoinPath(scratch, "t" + std::to_string(t));
        CreateDirectoryA(dir.c_str(), nullptr);
        for (int i = 0; i < transfers; ++i) {
          const Exports &lib = (t + i) % 2 ? tracedLib : quietLib;
          // Clear the thread's folder so each kind starts from its own state.
          for (const std::string &name : ListDir(dir)) DeleteFileA(JoinPath(dir, name).c_str());
          std::string problem = RunOne(lib, (t * 3 + i) % kKinds, dir, UniqueId("stress"));
          if (!problem.empty())
            failures[t].push_back("thread " + std::to_string(t) + " #" + std::to_string(i) + ": " +
                                  problem);
        }
      });
    }
    for (std::thread &w : workers) w.join();
    running = false;
    toggler.join();
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    printf("round %d: %d threads x %d transfers in %.1f s\n", round + 1, threads, transfers,
           seconds);
    size_t failed = 0;
    for (const auto &list : failures) {
      for (const std::string &f : list) {
        if (++failed <= 20) ADD_FAILURE() << f;
      }
    }
    EXPECT_EQ(0u, failed) << "round " << round + 1;
    EXPECT_EQ(fdsBefore, OpenDescriptors()) << "descriptors left open in round " << round + 1;
  }
  rss.push_back(ResidentKiB());
  printf("resident memory: %ld KiB, %ld KiB after round 1, %ld KiB after round 2\n", rss[0], rss[1],
         rss[2]);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // Nothing is kept per transfer: the second round adds allocator slack at most.
  EXPECT_LT(rss[2] - rss[1], 4 * 1024) << "resident memory grew in the second round";
#endif
  // The trace was written while it was on.
  EXPECT_FALSE(ReadFileBytes(traced.todayLogFile()).empty());
  RemoveTree(scratch);
}

// A session and a connection to the test server, both closed at the end of the scope.
struct ServerConnection {
  ServerConnection() = default;
  ServerConnection(const ServerConnection &) = delete;
  ServerConnection &operator=(const ServerConnection &) = delete;
  ~ServerConnection() {
    InternetCloseHandle(connection);
    InternetCloseHandle(session);
  }
  HINTERNET session = InternetOpenA("Lumox/1.0", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
  HINTERNET connection =
      InternetConnectA(session, "127.0.0.1", static_cast<INTERNET_PORT>(Server().httpPort), nullptr,
                       nullptr, INTERNET_SERVICE_HTTP, 0, 0);
};

// Downloads on several threads at once, each request closed by another thread while its
// reader waits inside InternetReadFile for the next trickle of the body: every byte a reader
// got is the body's own, a reader that calls again gets ERROR_INVALID_HANDLE, and the
// requests' network threads end with their handles, while the readers (which hold the
// requests they read last) still run.
TEST(Stress, RequestsClosedByOtherThreadsMidBody) {
  ASSERT_TRUE(Server().ok) << "test server not running (LUMOX_SERVER_INFO)";
  const int kReaders = 6;
  const size_t kBody = 8000000;
  // A thread for every request, whatever the body's length and the cores; off again however
  // the test ends, so that a failed assertion leaves the next tests their normal rule.
  struct AlwaysThreads {
    AlwaysThreads() { lumox_inet::AlwaysStartNetThreads(true); }
    ~AlwaysThreads() { lumox_inet::AlwaysStartNetThreads(false); }
    AlwaysThreads(const AlwaysThreads &) = delete;
    AlwaysThreads &operator=(const AlwaysThreads &) = delete;
  } always;
  std::this_thread::sleep_for(std::chrono::milliseconds(800));  // idle file threads end
  const int before = ThreadCount();
  ServerConnection link;
  HINTERNET connection = link.connection;
  ASSERT_NE(nullptr, connection);
  std::vector<HINTERNET> requests;
  for (int i = 0; i < kReaders; ++i) {
    std::string path = "/x/" + UniqueId("stress-close") + "/body/8000000/trickle/150/300000";
    requests.push_back(
        HttpOpenRequestA(connection, "GET", path.c_str(), nullptr, nullptr, nullptr, 0, 0));
    ASSERT_NE(nullptr, requests.back());
  }
  const std::string body = Pattern(kBody);
  std::unique_ptr<std::atomic<size_t>[]> got(new std::atomic<size_t>[kReaders]);
  std::unique_ptr<std::atomic<bool>[]> closed(new std::atomic<bool>[kReaders]);
  std::vector<DWORD> lastError(kReaders, 0);
  std::vector<int> wrong(kReaders, 0);
  std::atomic<int> done{0};
  std::atomic<bool> counted{false};
  std::vector<std::thread> readers;
  for (int i = 0; i < kReaders; ++i) {
    got[i] = 0;
    closed[i] = false;
    readers.emplace_back([&, i] {
      if (HttpSendRequestA(requests[i], nullptr, 0, nullptr, 0)) {
        char block[1024];
        for (int n = 0; n < 20000 && !closed[i]; ++n) {
          DWORD count = 0;
          if (!InternetReadFile(requests[i], block, sizeof block, &count)) {
            lastError[i] = GetLastError();
            break;
          }
          if (count == 0) break;
          wrong[i] += body.compare(got[i], count, block, count) != 0;
          got[i] += count;
        }
      }
      ++done;
      for (int n = 0; n < 1000 && !counted; ++n)  // keeps its look-up until counted
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    });
  }
  for (int i = 0; i < kReaders; ++i) {
    for (int n = 0; n < 1000 && got[i] < 400000; ++n)  // past the first trickle
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(InternetCloseHandle(requests[i])) << "request " << i;
    closed[i] = true;
  }
  for (int n = 0; n < 1000 && done < kReaders; ++n)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_LE(ThreadsSettledTo(before + kReaders), before + kReaders) << "network threads stayed";
  counted = true;
  for (std::thread &r : readers) r.join();
  for (int i = 0; i < kReaders; ++i) {
    EXPECT_EQ(0, wrong[i]) << "reader " << i;
    EXPECT_GE(got[i], 400000u) << "reader " << i;
    EXPECT_LT(got[i], kBody) << "reader " << i;
    EXPECT_TRUE(lastError[i] == 0 || lastError[i] == ERROR_INVALID_HANDLE)
        << "reader " << i << ": " << lastError[i];
  }
}

// Reads a request's reply body until `total` bytes have come; false at an error or its end.
bool ReadUpTo(HINTERNET request, size_t total, size_t *got) {
  char block[1024];
  while (*got < total) {
    DWORD count = 0;
    if (!InternetReadFile(request, block, sizeof block, &count) || count == 0) return false;
    *got += count;
  }
  return true;
}

// A reply body gets a network thread only past its first MiB, and only while fewer requests
// are open than there are cores (each keeps a caller's thread busy). The thread is looked
// for once the caller has read a few receive buffers past that MiB (it starts when the
// caller finds no byte waiting), and before its ring of 1 MiB could hold the rest. The
// machine's cores are pretended, so that every case runs on any machine.
TEST(Stress, NetworkThreadOnlyForALongBodyWithACoreFree) {
  ASSERT_TRUE(Server().ok) << "test server not running (LUMOX_SERVER_INFO)";
  struct PretendCores {
    ~PretendCores() { lumox_inet::PretendCoresForNetThreads(0); }
  } restore;
  std::this_thread::sleep_for(std::chrono::milliseconds(800));  // idle file threads end
  const int before = ThreadCount();
  ServerConnection link;
  HINTERNET connection = link.connection;
  struct Case {
    size_t cores;
    int alsoOpen;  // requests opened beside it, not sent
    int threads;   // network threads past the first MiB
    const char *why;
  };
  const Case cases[] = {
      {4, 0, 1, "the only request open, four cores"},
      {4, 2, 1, "three requests open, four cores"},
      {4, 3, 0, "four requests open, four cores: no core free"},
      {2, 0, 1, "the only request open, two cores"},
      {2, 1, 0, "two requests open, two cores: no core free"},
      {1, 0, 0, "one core: the caller's thread takes it"},
  };
  for (const Case &c : cases) {
    lumox_inet::PretendCoresForNetThreads(c.cores);
    std::vector<HINTERNET> open;
    for (int i = 0; i < c.alsoOpen; ++i)
      open.push_back(HttpOpenRequestA(connection, "GET", "/", nullptr, nullptr, nullptr, 0, 0));
    std::string path = "/x/" + UniqueId("stress-rule") + "/body/4000000";
    HINTERNET r =
        HttpOpenRequestA(connection, "GET", path.c_str(), nullptr, nullptr, nullptr, 0, 0);
    ASSERT_TRUE(r && HttpSendRequestA(r, nullptr, 0, nullptr, 0)) << c.why;
    size_t got = 0;
    ASSERT_TRUE(ReadUpTo(r, 900000, &got)) << c.why;
    EXPECT_EQ(before, ThreadCount()) << "within the first MiB: " << c.why;
    ASSERT_TRUE(ReadUpTo(r, 1500000, &got)) << c.why;
    EXPECT_EQ(before + c.threads, ThreadCount()) << c.why;
    InternetCloseHandle(r);
    for (HINTERNET o : open) InternetCloseHandle(o);
    EXPECT_EQ(before, ThreadsSettledTo(before)) << c.why;
  }
}

// A copy of the layer unloaded while a download runs on its network thread (the ring full,
// the thread waiting for room): no thread of it stays behind.
TEST(Stress, UnloadWithADownloadInFlight) {
#ifdef __SANITIZE_ADDRESS__
  // The unloaded copy's open handles stay allocated, as a library unloaded with handles
  // open leaves them; LeakSanitizer would report them. The other legs run this test.
  GTEST_SKIP() << "leaves the unloaded copy's handles allocated, on purpose";
#endif
  ASSERT_TRUE(Server().ok) << "test server not running (LUMOX_SERVER_INFO)";
  std::this_thread::sleep_for(std::chrono::milliseconds(800));  // idle file threads end
  const int before = ThreadCount();
  void *module = dlopen(LUMOX_NET_LAYER_MODULE, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(nullptr, module) << dlerror();
  using StartFn = bool (*)(int, const char *);
  auto start = reinterpret_cast<StartFn>(dlsym(module, "StartDownloadAndLeave"));
  ASSERT_NE(nullptr, start);
  std::string path = "/x/" + UniqueId("stress-unload") + "/body/3000000";
  bool started = false;
  // On a thread of its own, whose end drops its per-thread state before the unload.
  std::thread([&] { started = start(Server().httpPort, path.c_str()); }).join();
  ASSERT_TRUE(started);
  EXPECT_EQ(before + 1, ThreadCount()) << "the download's network thread";
  EXPECT_EQ(0, dlclose(module));
  EXPECT_EQ(before, ThreadsSettledTo(before));
}

// Threads reading one buffered file handle in small blocks while another thread closes it:
// every block handed out is a whole, untorn slice of the file, and once the handle is closed
// every reader gets ERROR_INVALID_HANDLE.
TEST(Stress, ReadersOfOneHandleWhileItIsClosed) {
  std::string dir = MakeTempDir("stress-close");
  ASSERT_FALSE(dir.empty());
  std::string path = JoinPath(dir, "words.bin");
  const uint32_t kWords = 1 << 20;  // 4 MiB: each 4-byte word holds its own index
  {
    std::vector<uint32_t> words(kWords);
    for (uint32_t i = 0; i < kWords; ++i) words[i] = i;
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    ASSERT_EQ(words.size(), fwrite(words.data(), sizeof(uint32_t), words.size(), f));
    ASSERT_EQ(0, fclose(f));
  }
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  const int kReaders = 3;
  std::atomic<int> started{0};
  std::vector<DWORD> lastError(kReaders, 0);
  std::vector<long> torn(kReaders, 0), blocks(kReaders, 0);
  std::vector<std::thread> readers;
  for (int r = 0; r < kReaders; ++r) {
    readers.emplace_back([&, r] {
      ++started;
      uint32_t block[256];
      for (long n = 0; n < 20000000; ++n) {
        DWORD got = 0;
        if (!ReadFile(h, block, sizeof block, &got, nullptr)) {
          lastError[r] = GetLastError();
          return;
        }
        if (got == 0) {  // at the end: start over
          SetFilePointer(h, 0, nullptr, FILE_BEGIN);
          continue;
        }
        ++blocks[r];
        for (DWORD i = 1; i < got / 4; ++i) {
          if (block[i] != block[0] + i) {
            ++torn[r];
            break;
          }
        }
      }
    });
  }
  while (started < kReaders) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(CloseHandle(h));
  for (auto &t : readers) t.join();
  for (int r = 0; r < kReaders; ++r) {
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), lastError[r]) << "reader " << r;
    EXPECT_EQ(0, torn[r]) << "reader " << r;
    EXPECT_GT(blocks[r], 0) << "reader " << r;
  }
  RemoveTree(dir);
}

}  // namespace
