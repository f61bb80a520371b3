// Faults of the network and of the local side, each on the GET and the POST path: cut,
// reset, stalled and trickling replies, a full disk (a small tmpfs, Linux as root), all
// temporary names taken, two transfers racing for one target, and local files that are not
// regular files. Every case ends with a clear code, and the user's file is left whole.
#include <thread>

#include <windows.h>
#include <wininet.h>

#include "integration_support.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#endif

namespace lumox_it {
namespace {

// The two ways a reply body reaches a local file.
enum class Path { kGet, kPost };
const Path kPaths[] = {Path::kGet, Path::kPost};
const char *Name(Path p) { return p == Path::kGet ? "GET" : "POST"; }

class Faults : public ::testing::Test {
 protected:
  void SetUp() override { REQUIRE_SERVER(); }
  int Fetch(Path path, const std::string &url, const std::string &target, Lib *lib = nullptr) {
    Lib &l = lib ? *lib : lib_;
    return l.DownloadFileC(url.c_str(), nullptr, 0, target.c_str(), path == Path::kPost ? 1 : 0);
  }
  int Upload(const std::string &url, const std::string &file, const char *field,
             const char *reply) {
    return lib_.UploadFileC(url.c_str(), nullptr, 0, file.c_str(), field, reply);
  }
  Lib lib_;
  Scratch files_;
};

TEST_F(Faults, CutAndResetRepliesNeverReplaceTheTarget) {
  // A body cut short of its Content-Length (FIN), a chunked body without its last chunk,
  // and a reset in the middle of the body.
  const struct {
    const char *plan;
    int code;
  } cuts[] = {
      {"body/5000/short/1000", LUMOX_E_SIZE_MISMATCH},
      {"body/5000/chunked/short/1000", 0},
      {"body/200000/trickle/20/20000/abort/60000", 0},
  };
  const char *wineCut = "Wine's InternetReadFile ends a cut chunked body like a complete one";
  const char *wineReset =
      "Wine's InternetReadFile reports a reset as an error or as the body's end, by timing";
  for (Path path : kPaths) {
    for (const auto &cut : cuts) {
      SCOPED_TRACE(std::string(Name(path)) + " " + cut.plan);
      std::string target = files_.Path("t.bin");
      DeleteFileA(target.c_str());
      int result = Fetch(path, HttpUrl(UniqueId("ft-cut"), cut.plan), target);
      if (cut.code != 0) {
        EXPECT_EQ(cut.code, result);
      }
      EXPECT_WINDOWS(EXPECT_NE(0, result), wineCut);
      EXPECT_WINDOWS(EXPECT_TRUE(files_.Names().empty()), wineCut);
      for (const std::string &name : files_.Names()) DeleteFileA(files_.Path(name).c_str());
      WriteFileBytes(target, "old");
      result = Fetch(path, HttpUrl(UniqueId("ft-cut"), cut.plan), target);
      EXPECT_WINDOWS(EXPECT_NE(0, result), wineCut);
      EXPECT_WINDOWS(EXPECT_EQ("old", ReadFileBytes(target)), wineCut);
      EXPECT_EQ(std::vector<std::string>{"t.bin"}, files_.Names());
    }
  }
}

// The reply to an upload is a body like a download's: cut short of its Content-Length, a
// chunked reply without its last chunk, or reset, it gives the code a download gets for the
// same reply, and the reply file stays as it was (or absent).
TEST_F(Faults, CutReplyToAnUploadIsAnErrorAndKeepsTheReplyFile) {
  const char *cuts[] = {
      "body/100000/short/10000",
      "body/5000/chunked/short/1000",
      "body/200000/trickle/20/20000/abort/60000",
  };
  const char *wineCut = "Wine's InternetReadFile ends a cut chunked body like a complete one";
  const char *wineReset =
      "Wine's InternetReadFile reports a reset as an error or as the body's end, by timing";
  std::string file = files_.Path("up.bin");
  WriteFileBytes(file, "payload");
  std::string reply = files_.Path("r.txt");
  for (const char *cut : cuts) {
    SCOPED_TRACE(cut);
    std::string target = files_.Path("t.bin");
    int download = Fetch(Path::kGet, HttpUrl(UniqueId("ft-rcut"), cut), target);
    DeleteFileA(target.c_str());
    int result = Upload(HttpUrl(UniqueId("ft-rcut"), cut), file, "f", reply.c_str());
    EXPECT_WINDOWS(EXPECT_EQ(download, result), wineReset);
    EXPECT_WINDOWS(EXPECT_NE(0, result), wineCut);
    EXPECT_WINDOWS(EXPECT_FALSE(FileExists(reply)), wineCut);
    WriteFileBytes(reply, "old");
    result = Upload(HttpUrl(UniqueId("ft-rcut"), cut), file, nullptr, reply.c_str());
    EXPECT_WINDOWS(EXPECT_NE(0, result), wineCut);
    EXPECT_WINDOWS(EXPECT_EQ("old", ReadFileBytes(reply)), wineCut);
    EXPECT_EQ((std::vector<std::string>{"r.txt", "up.bin"}), files_.Names());
    DeleteFileA(reply.c_str());
  }
}

// Content-Length that is invalid or contradicts itself, and heads too large to take: the
// reply is invalid (12152) and nothing local changes. Equal values in a list are one length.
TEST_F(Faults, InvalidReplyFramingFailsWith12152) {
  const char *invalid[] = {
      "body/20/hdr/Content-Length/10%2C%2020",                // a list of different values
      "body/20/hdr/Content-Length/10/hdr/Content-Length/20",  // two headers that differ
      "body/20/hdr/Content-Length/-20",                       // negative
      "body/20/hdr/Content-Length/2O",                        // not a number
      "body/20/fill/1/400000",                                // a header line of 400 KB
      "body/20/fill/4000/100",                                // a head of 400 KB
  };
  for (Path path : kPaths) {
    for (const char *plan : invalid) {
      SCOPED_TRACE(std::string(Name(path)) + " " + plan);
      std::string target = files_.Path("t.bin");
      DeleteFileA(target.c_str());
      const char *wine = "Wine's WinINet reads such a reply by the first length it finds";
      int result = Fetch(path, HttpUrl(UniqueId("ft-frame"), plan), target);
      EXPECT_WINDOWS(EXPECT_EQ(static_cast<int>(ERROR_HTTP_INVALID_SERVER_RESPONSE), result), wine);
      EXPECT_WINDOWS(EXPECT_TRUE(files_.Names().empty()), wine);
      DeleteFileA(target.c_str());
      WriteFileBytes(target, "old");
      result = Fetch(path, HttpUrl(UniqueId("ft-frame"), plan), target);
      EXPECT_WINDOWS(EXPECT_EQ(static_cast<int>(ERROR_HTTP_INVALID_SERVER_RESPONSE), result), wine);
      EXPECT_WINDOWS(EXPECT_EQ("old", ReadFileBytes(target)), wine);
      EXPECT_EQ(std::vector<std::string>{"t.bin"}, files_.Names());
    }
    SCOPED_TRACE(Name(path));
    std::string target = files_.Path("t.bin");
    EXPECT_EQ(0, Fetch(path, HttpUrl(UniqueId("ft-frame"), "body/10/hdr/Content-Length/10%2C%2010"),
                       target));
    EXPECT_EQ(Pattern(10), ReadFileBytes(target));
    DeleteFileA(target.c_str());
  }
  // The reply to an upload: the same rule, and no reply file.
  std::string file = files_.Path("up.bin");
  WriteFileBytes(file, "payload");
  std::string reply = files_.Path("reply.bin");
  int result = Upload(HttpUrl(UniqueId("ft-frame"), "body/20/hdr/Content-Length/10%2C%2020"), file,
                      "f", reply.c_str());
  EXPECT_WINDOWS(EXPECT_EQ(static_cast<int>(ERROR_HTTP_INVALID_SERVER_RESPONSE), result),
                 "Wine's WinINet reads such a reply by the first length it finds");
  EXPECT_WINDOWS(EXPECT_FALSE(FileExists(reply)),
                 "Wine's WinINet reads such a reply by the first length it finds");
}

TEST_F(Faults, ResetOrStallWhileAnUploadIsSentFails) {
  std::string file = files_.Path("up.bin");
  WriteFileBytes(file, Pattern(300000));
  std::string reply = files_.Path("reply.bin");
  // The server resets the connection once it has the head: the body cannot be sent.
  int result = Upload(HttpUrl(UniqueId("ft-ulreset"), "reset"), file, "file", reply.c_str());
  EXPECT_NE(0, result);
  EXPECT_FALSE(FileExists(reply));
  result = Upload(HttpUrl(UniqueId("ft-ulreset"), "reset"), file, "", reply.c_str());
  EXPECT_NE(0, result);
  EXPECT_FALSE(FileExists(reply));
  EXPECT_EQ(Pattern(300000), ReadFileBytes(file));

  // The server takes the body but answers only after the receive time-out.
  Lib slow({"Receive=1"});
  std::string url = HttpUrl(UniqueId("ft-ulstall"), "delay/2500/text/late");
  result = slow.UploadFileC(url.c_str(), nullptr, 0, file.c_str(), "file", reply.c_str());
  EXPECT_WINDOWS(EXPECT_EQ(static_cast<int>(ERROR_INTERNET_TIMEOUT), result),
                 "Wine's HttpEndRequestA waits for the reply past the receive time-out");
  EXPECT_WINDOWS(EXPECT_FALSE(FileExists(reply)),
                 "Wine's HttpEndRequestA waits for the reply past the receive time-out");
}

TEST_F(Faults, StalledReplyBodyFailsOnBothPaths) {
  Lib slow({"Receive=1"});
  for (Path path : kPaths) {
    SCOPED_TRACE(Name(path));
    std::string target = files_.Path("s.bin");
    DeleteFileA(target.c_str());
    int result =
        Fetch(path, HttpUrl(UniqueId("ft-stall"), "body/300/trickle/3000/100"), target, &slow);
    EXPECT_WINDOWS(EXPECT_EQ(static_cast<int>(ERROR_INTERNET_TIMEOUT), result),
                   "Wine reports this time-out otherwise");
    EXPECT_NE(0, result);
    EXPECT_TRUE(files_.Names().empty());
    WriteFileBytes(target, "old");
    result = Fetch(path, HttpUrl(UniqueId("ft-stall"), "body/300/trickle/3000/100"), target, &slow);
    EXPECT_NE(0, result);
    EXPECT_EQ("old", ReadFileBytes(target));
    EXPECT_EQ(std::vector<std::string>{"s.bin"}, files_.Names());
  }
}

TEST_F(Faults, TricklingReplyWithinTheTimeOutsArrivesWhole) {
  Lib patient({"Receive=5", "Total=0"});
  for (Path path : kPaths) {
    SCOPED_TRACE(Name(path));
    std::string target = files_.Path("t.bin");
    WriteFileBytes(target, "old");
    EXPECT_EQ(0, Fetch(path, HttpUrl(UniqueId("ft-trickle"), "body/4000/trickle/150/333"), target,
                       &patient));
    EXPECT_EQ(Pattern(4000), ReadFileBytes(target));
    EXPECT_EQ(std::vector<std::string>{"t.bin"}, files_.Names());
  }
  std::string file = files_.Path("up.bin");
  WriteFileBytes(file, "payload");
  std::string reply = files_.Path("reply.bin");
  EXPECT_EQ(
      0, patient.UploadFileC(HttpUrl(UniqueId("ft-trickle"), "body/3000/trickle/150/700").c_str(),
                             nullptr, 0, file.c_str(), "f", reply.c_str()));
  EXPECT_EQ(Pattern(3000), ReadFileBytes(reply));
}

TEST_F(Faults, AllTemporaryNamesTakenOnThePostPath) {
  std::string target = files_.Path("t.bin");
  WriteFileBytes(target, "old");
  TakeAllTemporaryNames(target);
  EXPECT_EQ(LUMOX_E_FILE_CREATE,
            Fetch(Path::kPost, HttpUrl(UniqueId("ft-names"), "body/7"), target));
  EXPECT_EQ("old", ReadFileBytes(target));
  EXPECT_EQ(1001u, files_.Names().size());
  EXPECT_EQ("", ReadFileBytes(target + ".tmp0999"));
}

TEST_F(Faults, TwoTransfersRaceForOneTargetOnEachPath) {
  for (Path path : kPaths) {
    SCOPED_TRACE(Name(path));
    std::string target = files_.Path("both.bin");
    WriteFileBytes(target, "old");
    int results[2] = {-1, -1};
    std::thread a([&] {
      results[0] = Fetch(path, HttpUrl(UniqueId("ft-race"), "body/3000/trickle/200/1000"), target);
    });
    std::thread b([&] {
      results[1] = Fetch(path, HttpUrl(UniqueId("ft-race"), "body/3000/trickle/200/1000"), target);
    });
    a.join();
    b.join();
    // Each ends with success, or with 10002 when the other's file took the target's name
    // between this one's delete and its move: then its download stays in its temporary file.
    EXPECT_TRUE(results[0] == 0 || results[1] == 0) << results[0] << " " << results[1];
    for (int r : results) EXPECT_TRUE(r == 0 || r == LUMOX_E_FILE_CREATE) << r;
    EXPECT_EQ(Pattern(3000), ReadFileBytes(target));
    std::vector<std::string> names = files_.Names();
    size_t failed = (results[0] != 0) + (results[1] != 0);
    EXPECT_EQ(1 + failed, names.size());
    for (const std::string &name : names) {
      EXPECT_EQ(Pattern(3000), ReadFileBytes(files_.Path(name))) << name;
      if (name != "both.bin") DeleteFileA(files_.Path(name).c_str());
    }
  }
}

TEST_F(Faults, UploadOfAFolderOrADeviceFailsAtOnce) {
  std::string folder = files_.Path("folder");
  ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
#ifdef _WIN32
  const std::string device = "NUL";
#else
  const std::string device = "/dev/null";
#endif
  for (const std::string &local : {folder, device}) {
    for (const char *field : {"file", ""}) {
      SCOPED_TRACE(local + " field '" + field + "'");
      std::string id = UniqueId("ft-odd");
      std::string reply = files_.Path("reply.bin");
      EXPECT_EQ(LUMOX_E_FILE_OPEN, Upload(HttpUrl(id, "text/OK"), local, field, reply.c_str()));
      EXPECT_TRUE(Records(id).empty());
      EXPECT_FALSE(FileExists(reply));
    }
  }
}

#ifndef _WIN32
// FIFOs and sockets: only the Linux side has them in its file system.

TEST_F(Faults, UploadOfAFifoOrSocketFailsAtOnce) {
  std::string fifo = files_.Path("fifo");
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  for (const char *field : {"file", ""}) {
    SCOPED_TRACE(std::string("field '") + field + "'");
    // Nobody writes: the upload must not wait for a writer.
    std::string id = UniqueId("ft-fifo");
    int result = -1;
    double seconds = SecondsWithFifoRelease(
        fifo, true, 10, [&] { result = Upload(HttpUrl(id, "text/OK"), fifo, field, nullptr); });
    EXPECT_LT(seconds, 5.0);
    EXPECT_EQ(LUMOX_E_FILE_OPEN, result);
    EXPECT_TRUE(Records(id).empty());

    // A writer with data: still not a file whose size can be announced.
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(writer, 0);
    ASSERT_EQ(5, write(writer, "12345", 5));
    id = UniqueId("ft-fifo");
    EXPECT_EQ(LUMOX_E_FILE_OPEN, Upload(HttpUrl(id, "text/OK"), fifo, field, nullptr));
    EXPECT_TRUE(Records(id).empty());
    close(writer);
    close(reader);
  }

  std::string socketPath = files_.Path("sock");
  int s = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(s, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
  ASSERT_EQ(0, bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address));
  ASSERT_EQ(0, listen(s, 1));
  std::string id = UniqueId("ft-sock");
  EXPECT_EQ(LUMOX_E_FILE_OPEN, Upload(HttpUrl(id, "text/OK"), socketPath, "file", nullptr));
  EXPECT_TRUE(Records(id).empty());
  close(s);
}

TEST_F(Faults, DownloadOntoAFifoReplacesItWithoutWaiting) {
  for (Path path : kPaths) {
    SCOPED_TRACE(Name(path));
    std::string fifo = files_.Path("fifo");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    int result = -1;
    double seconds = SecondsWithFifoRelease(fifo, true, 10, [&] {
      result = Fetch(path, HttpUrl(UniqueId("ft-dlfifo"), "body/500"), fifo);
    });
    EXPECT_LT(seconds, 5.0);
    EXPECT_EQ(0, result);
    struct stat st;
    ASSERT_EQ(0, lstat(fifo.c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(Pattern(500), ReadFileBytes(fifo));
    EXPECT_EQ(std::vector<std::string>{"fifo"}, files_.Names());
    DeleteFileA(fifo.c_str());
  }
}

// A tmpfs of `kilobytes` mounted on a fresh folder while it lives (root only).
class SmallDisk {
 public:
  explicit SmallDisk(int kilobytes) {
    dir_ = MakeTempDir("tmpfs");
    std::string options = "size=" + std::to_string(kilobytes) + "k,mode=0777";
    mounted_ = geteuid() == 0 && mount("lumox-test", dir_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
                                       options.c_str()) == 0;
  }
  ~SmallDisk() {
    if (mounted_ && umount2(dir_.c_str(), 0) != 0) umount2(dir_.c_str(), MNT_DETACH);
    RemoveTree(dir_);
  }
  bool mounted() const { return mounted_; }
  std::string Path(const std::string &name) const { return JoinPath(dir_, name); }
  std::vector<std::string> Names() const { return ListDir(dir_); }

 private:
  std::string dir_;
  bool mounted_ = false;
};

TEST_F(Faults, FullDiskOnBothPathsLeavesNothingHalfWritten) {
  SmallDisk disk(256);
  if (!disk.mounted()) GTEST_SKIP() << "mounting a tmpfs needs root";
  for (Path path : kPaths) {
    SCOPED_TRACE(Name(path));
    std::string target = disk.Path("t.bin");
    EXPECT_EQ(ERROR_DISK_FULL, Fetch(path, HttpUrl(UniqueId("ft-full"), "body/1000000"), target));
    EXPECT_TRUE(disk.Names().empty());
    // An existing target keeps its content when its temporary file fills the disk.
    WriteFileBytes(target, Pattern(100000));
    EXPECT_EQ(ERROR_DISK_FULL, Fetch(path, HttpUrl(UniqueId("ft-full"), "body/1000000"), target));
    EXPECT_EQ(Pattern(100000), ReadFileBytes(target));
    EXPECT_EQ(std::vector<std::string>{"t.bin"}, disk.Names());
    // A body that fits still arrives once the space is there.
    EXPECT_EQ(0, Fetch(path, HttpUrl(UniqueId("ft-full"), "body/90000"), target));
    EXPECT_EQ(Pattern(90000), ReadFileBytes(target));
    DeleteFileA(target.c_str());
  }
  // The reply file of an upload on the full disk.
  std::string file = files_.Path("up.bin");
  WriteFileBytes(file, "payload");
  std::string reply = disk.Path("reply.bin");
  EXPECT_EQ(ERROR_DISK_FULL,
            Upload(HttpUrl(UniqueId("ft-full"), "body/1000000"), file, "f", reply.c_str()));
  EXPECT_EQ("payload", ReadFileBytes(file));
}
#endif

}  // namespace
}  // namespace lumox_it
