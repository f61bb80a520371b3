// What the Linux file layer keeps to where POSIX would let it slip: a failed direct write
// stays the handle's failure, a handle closed while another thread waits in a pipe write
// gives its descriptor number to no one, a replacing move keeps the old file's mode and
// keeps the old file whole when a copy across file systems fails, a file deleted under a
// write handle is no success, a fork never leaves a slot locked in the child, and exit()
// during a write touches no freed memory. Windows has none of these ways in (no unlink of
// an open file, no full disk or second file system a Windows program under Wine can set
// up), so they run on Linux only.
#ifndef _WIN32
#include <windows.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

using lumox_test::ReadFileBytes;
using lumox_test::WriteFileBytes;

class FileHazards : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = lumox_test::MakeTempDir("hazards");
    ASSERT_FALSE(dir_.empty());
  }
  void TearDown() override { lumox_test::RemoveTree(dir_); }
  std::string Path(const std::string &name) const { return lumox_test::JoinPath(dir_, name); }
  static HANDLE Create(const std::string &path, DWORD share = 0) {
    return CreateFileA(path.c_str(), GENERIC_WRITE, share, nullptr, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  static bool Write(HANDLE h, const std::string &bytes) {
    DWORD written = 0;
    return WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
  }
  static mode_t ModeOf(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  }
  std::string dir_;
};

// A write of at least the buffer's size goes out directly; when it fails (the file size
// limit here, a full disk in life) the file has a hole, so the next small write fails too
// instead of landing past it, and CloseHandle reports the loss.
TEST_F(FileHazards, AFailedDirectWriteIsTheHandlesFailure) {
  std::string path = Path("direct.bin");
  HANDLE h = Create(path);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  {
    lumox_test::FileSizeLimit limit(100000);
    ASSERT_TRUE(limit.ok());
    EXPECT_FALSE(Write(h, std::string(200000, 'a')));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(Write(h, "tail"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_DISK_FULL), GetLastError());
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(static_cast<DWORD>(ERROR_DISK_FULL), GetLastError());
  }
  EXPECT_EQ(std::string::npos, ReadFileBytes(path).find("tail"));
}

// A handle closed while another thread's WriteFile waits for room in a pipe: the file
// opened next may get the same descriptor number, and none of the waiting write's bytes
// may reach it.
TEST_F(FileHazards, ClosingDuringAPipeWriteLeavesTheNextFileAlone) {
  std::string fifo = Path("pipe");
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  HANDLE h = CreateFileA(fifo.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  const std::string bytes(300000, 'p');  // several times the pipe's room
  std::atomic<bool> wrote{false};
  std::thread writer([&] { wrote = Write(h, bytes); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the write waits for room
  EXPECT_TRUE(CloseHandle(h));
  std::string next = Path("next.bin");
  HANDLE n = Create(next);
  ASSERT_NE(INVALID_HANDLE_VALUE, n);
  // A signal ends the waiting write(2) early with part of the bytes written; the call then
  // writes the rest on.
  struct sigaction action, previous;
  memset(&action, 0, sizeof action);
  action.sa_handler = [](int) {};
  ASSERT_EQ(0, sigaction(SIGUSR1, &action, &previous));
  pthread_kill(writer.native_handle(), SIGUSR1);
  std::string got;
  char block[65536];
  for (int i = 0; i < 2000 && got.size() < bytes.size(); ++i) {
    ssize_t r = read(reader, block, sizeof block);
    if (r > 0) got.append(block, static_cast<size_t>(r));
    if (r <= 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  writer.join();
  sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_TRUE(wrote);
  EXPECT_EQ(bytes.size(), got.size());
  EXPECT_TRUE(CloseHandle(n));
  EXPECT_EQ(0u, ReadFileBytes(next).size());
  close(reader);
}

// A file that replaces another by a move keeps the old one's permission bits (and owner
// and group), within one file system and across two; a symbolic link as the target is
// replaced by the file, and the file it named is left as it was.
TEST_F(FileHazards, AReplacingMoveKeepsTheOldFilesMode) {
  std::string target = Path("private.txt");
  WriteFileBytes(target, "old");
  ASSERT_EQ(0, chmod(target.c_str(), 0600));
  std::string fresh = Path("fresh.tmp");
  WriteFileBytes(fresh, "new");
  ASSERT_EQ(0, chmod(fresh.c_str(), 0644));
  ASSERT_TRUE(MoveFileExA(fresh.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ("new", ReadFileBytes(target));
  EXPECT_EQ(0600u, ModeOf(target));

  std::string named = Path("named.txt");
  WriteFileBytes(named, "named");
  ASSERT_EQ(0, chmod(named.c_str(), 0640));
  std::string link = Path("link.txt");
  ASSERT_EQ(0, symlink("named.txt", link.c_str()));
  WriteFileBytes(fresh, "through");
  ASSERT_TRUE(MoveFileExA(fresh.c_str(), link.c_str(), MOVEFILE_REPLACE_EXISTING));
  struct stat st;
  ASSERT_EQ(0, lstat(link.c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(0640u, st.st_mode & 07777);
  EXPECT_EQ("through", ReadFileBytes(link));
  EXPECT_EQ("named", ReadFileBytes(named));
}

// Across file systems a replacing move copies. A copy that fails (the file size limit)
// leaves the target whole and the source in place, with nothing beside them; one that
// succeeds keeps the target's mode.
TEST_F(FileHazards, AFailedCopyingMoveKeepsTheTarget) {
  struct stat here, there;
  if (stat("/dev/shm", &there) != 0 || stat(dir_.c_str(), &here) != 0 ||
      here.st_dev == there.st_dev)
    GTEST_SKIP() << "no second file system at /dev/shm";
  std::string shm = "/dev/shm/lumox-hazard-" + std::to_string(getpid());
  ASSERT_EQ(0, mkdir(shm.c_str(), 0700));
  std::string source = shm + "/source.bin";
  WriteFileBytes(source, std::string(200000, 's'));
  std::string target = Path("target.bin");
  WriteFileBytes(target, "old");
  ASSERT_EQ(0, chmod(target.c_str(), 0600));
  {
    lumox_test::FileSizeLimit limit(100000);
    ASSERT_TRUE(limit.ok());
    EXPECT_FALSE(MoveFileExA(source.c_str(), target.c_str(),
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED));
  }
  EXPECT_EQ("old", ReadFileBytes(target));
  EXPECT_EQ(std::vector<std::string>{"target.bin"}, lumox_test::ListDir(dir_));
  EXPECT_TRUE(lumox_test::FileExists(source));
  EXPECT_TRUE(MoveFileExA(source.c_str(), target.c_str(),
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED));
  EXPECT_EQ(std::string(200000, 's'), ReadFileBytes(target));
  EXPECT_EQ(0600u, ModeOf(target));
  EXPECT_FALSE(lumox_test::FileExists(source));
  lumox_test::RemoveTree(shm);
}

// A write handle whose file is deleted (unlinked, or with its folder) ends in a failed
// CloseHandle: what was written is nowhere. A handle that shares deleting allows it.
TEST_F(FileHazards, AFileDeletedUnderAWriteHandleIsNoSuccess) {
  std::string folder = Path("sub");
  ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
  for (DWORD share : {DWORD{0}, DWORD{FILE_SHARE_READ}, DWORD{FILE_SHARE_DELETE}}) {
    SCOPED_TRACE(share);
    std::string path = lumox_test::JoinPath(folder, "f.bin");
    HANDLE h = Create(path, share);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_TRUE(Write(h, std::string(5000, 'x')));
    ASSERT_EQ(0, unlink(path.c_str()));
    EXPECT_TRUE(Write(h, "more"));
    SetLastError(0xdeadbeef);
    if (share == FILE_SHARE_DELETE) {
      EXPECT_TRUE(CloseHandle(h));
    } else {
      EXPECT_FALSE(CloseHandle(h));
      EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    }
  }
  std::string path = lumox_test::JoinPath(folder, "g.bin");
  HANDLE h = Create(path);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  lumox_test::RemoveTree(folder);
  EXPECT_FALSE(CloseHandle(h));
}

// Forks while other threads keep calling on their handles: each child can use the same
// handles at once (a slot locked at the fork would hang it, which its alarm ends).
TEST_F(FileHazards, AForkNeverLeavesASlotLocked) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer cannot start threads in the child of a threaded process";
#endif
  const int kThreads = 4;
  HANDLE handles[kThreads];
  for (int i = 0; i < kThreads; ++i) {
    handles[i] = CreateFileA(Path("h" + std::to_string(i)).c_str(), GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, handles[i]);
  }
  std::atomic<bool> stop{false};
  std::vector<std::thread> busy;
  for (int i = 0; i < kThreads; ++i) {
    busy.emplace_back([&, i] {
      while (!stop) GetFileSize(handles[i], nullptr);
    });
  }
  int hung = 0;
  for (int round = 0; round < 50; ++round) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      alarm(5);
      for (HANDLE h : handles) GetFileSize(h, nullptr);
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    hung += !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  stop = true;
  for (auto &t : busy) t.join();
  EXPECT_EQ(0, hung);
  for (HANDLE h : handles) EXPECT_TRUE(CloseHandle(h));
}

// exit() on one thread while another writes through the layer: the process ends cleanly
// (under AddressSanitizer, without a use of freed memory) and what was written before is
// in the file.
TEST_F(FileHazards, ExitWhileAnotherThreadWrites) {
  for (int round = 0; round < 3; ++round) {
    std::string path = Path("exit" + std::to_string(round) + ".bin");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      alarm(30);
      HANDLE h = Create(path);
      if (h == INVALID_HANDLE_VALUE) _exit(3);
      std::atomic<long> blocks{0};
      std::thread writer([&] {
        std::string block(1024, 'w');
        while (Write(h, block)) ++blocks;
        CloseHandle(h);
      });
      writer.detach();
      while (blocks < 2000 + round * 3000) std::this_thread::yield();
      exit(0);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status)) << "round " << round << ": status " << status;
    EXPECT_EQ(0, WEXITSTATUS(status)) << "round " << round;
    std::string got = ReadFileBytes(path);
    EXPECT_GE(got.size(), 2000u * 1024);
    EXPECT_EQ(std::string(got.size(), 'w'), got) << "round " << round;
  }
}

}  // namespace
#endif
