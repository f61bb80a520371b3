// Buffered local files of the Linux layer: a share-mode-0 write handle gathers its writes,
// hands full buffers to a background writer and writes everything out before anything
// observes the file and at CloseHandle; a delayed write that fails (full disk) is reported
// by the next WriteFile or by CloseHandle with ERROR_DISK_FULL. A read-only handle reads
// ahead, and a file that shrinks is seen at the next refill. Closing from another thread,
// unloading a copy of the layer and forking never lose, repeat or reorder written bytes.
// Windows keeps its own cache, and a Windows program under Wine can set up no full disk, so
// these cases run on Linux only; the first one, many handles at once, holds on both.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

const DWORD kBlock = 1024;

// Bytes that differ from file to file and from block to block.
std::string Pattern(size_t size, unsigned seed = 0) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<char>((i * 7 + i / 1000 + seed * 13) & 0xff);
  return bytes;
}

// Many handles at once, each long enough to be written and read in the background: writers
// filled round robin in 1,024-byte blocks while readers read files of their own the same
// way. Every file holds its own bytes in order, and every reader gets its file's.
TEST(FilesAtOnce, ManyWritersAndReadersKeepTheirOwnBytes) {
  const int kWriters = 24, kReaders = 8;
  const size_t kSize = 1300 * 1024 + 123;
  std::string dir = lumox_test::MakeTempDir("many");
  ASSERT_FALSE(dir.empty());
  std::vector<HANDLE> writers, readers;
  std::vector<std::string> got(kReaders);
  for (int i = 0; i < kWriters; ++i) {
    std::string path = lumox_test::JoinPath(dir, "w" + std::to_string(i));
    writers.push_back(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_NE(INVALID_HANDLE_VALUE, writers.back()) << path;
  }
  for (int i = 0; i < kReaders; ++i) {
    std::string path = lumox_test::JoinPath(dir, "r" + std::to_string(i));
    lumox_test::WriteFileBytes(path, Pattern(kSize, 100 + i));
    readers.push_back(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_NE(INVALID_HANDLE_VALUE, readers.back()) << path;
  }
  std::vector<std::string> data;
  for (int i = 0; i < kWriters; ++i) data.push_back(Pattern(kSize, i));
  char block[kBlock];
  for (size_t at = 0; at <= kSize; at += kBlock) {  // one more round: the readers' ends
    DWORD n = static_cast<DWORD>(std::min<size_t>(kBlock, kSize - std::min(at, kSize)));
    for (int i = 0; i < kWriters && n > 0; ++i) {
      DWORD written = 0;
      ASSERT_TRUE(WriteFile(writers[i], data[i].data() + at, n, &written, nullptr)) << i;
      ASSERT_EQ(n, written);
    }
    for (int i = 0; i < kReaders; ++i) {
      DWORD read = 99;
      ASSERT_TRUE(ReadFile(readers[i], block, kBlock, &read, nullptr)) << i;
      ASSERT_EQ(n, read) << "reader " << i << " at " << at;
      got[i].append(block, read);
    }
  }
  for (HANDLE h : writers) EXPECT_TRUE(CloseHandle(h));
  for (HANDLE h : readers) EXPECT_TRUE(CloseHandle(h));
  for (int i = 0; i < kWriters; ++i) {
    EXPECT_TRUE(lumox_test::ReadFileBytes(lumox_test::JoinPath(dir, "w" + std::to_string(i))) ==
                data[i])
        << "writer " << i;
  }
  for (int i = 0; i < kReaders; ++i) EXPECT_TRUE(got[i] == Pattern(kSize, 100 + i)) << i;
  lumox_test::RemoveTree(dir);
}

}  // namespace

#ifndef _WIN32
#include <dlfcn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace {

using lumox_test::FileSizeLimit;

const DWORD kSentinel = 0xdeadbeef;

long long SizeOnDisk(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// A small tmpfs, a real full disk (mounting needs root or a mount namespace).
struct SmallDisk {
  SmallDisk(const std::string &where, const char *options) : at(where) {
    mounted =
        mkdir(at.c_str(), 0700) == 0 && mount("lumox-test", at.c_str(), "tmpfs", 0, options) == 0;
  }
  ~SmallDisk() {
    if (mounted) umount2(at.c_str(), MNT_DETACH);
  }
  std::string at;
  bool mounted = false;
};

class BufferedFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = lumox_test::MakeTempDir("buffered");
    ASSERT_FALSE(dir_.empty());
  }
  void TearDown() override { lumox_test::RemoveTree(dir_); }
  std::string Path(const std::string &name) const { return lumox_test::JoinPath(dir_, name); }

  HANDLE Create(const std::string &path, DWORD share) {
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  }

  // Writes `bytes` in 1,024-byte blocks; returns the index of the first failing block (its
  // last error in `error`), or -1 when every block was taken whole.
  static long WriteBlocks(HANDLE h, const std::string &bytes, DWORD &error) {
    for (size_t at = 0; at < bytes.size(); at += kBlock) {
      DWORD n = static_cast<DWORD>(std::min<size_t>(kBlock, bytes.size() - at));
      DWORD written = kSentinel;
      SetLastError(kSentinel);
      if (!WriteFile(h, bytes.data() + at, n, &written, nullptr)) {
        error = GetLastError();
        EXPECT_EQ(0u, written);
        return static_cast<long>(at / kBlock);
      }
      EXPECT_EQ(n, written);
    }
    return -1;
  }

  std::string dir_;
};

TEST_F(BufferedFiles, SmallWritesReachTheFileBeforeItIsObserved) {
  std::string path = Path("gather.bin");
  std::string bytes = Pattern(3000);
  HANDLE h = Create(path, 0);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  DWORD error = 0;
  ASSERT_EQ(-1, WriteBlocks(h, bytes, error));
  EXPECT_EQ(0, SizeOnDisk(path)) << "share mode 0: the writes are still gathered";

  DWORD high = kSentinel;
  EXPECT_EQ(3000u, GetFileSize(h, &high));
  EXPECT_EQ(0u, high);
  EXPECT_EQ(3000, SizeOnDisk(path));

  ASSERT_EQ(-1, WriteBlocks(h, "tail", error));
  LARGE_INTEGER size;
  ASSERT_TRUE(GetFileSizeEx(h, &size));
  EXPECT_EQ(3004, size.QuadPart);

  ASSERT_EQ(-1, WriteBlocks(h, "xy", error));
  EXPECT_EQ(3006u, SetFilePointer(h, 0, nullptr, FILE_CURRENT));
  EXPECT_EQ(0u, SetFilePointer(h, 0, nullptr, FILE_BEGIN));
  char head[8] = {};
  DWORD got = 0;
  ASSERT_TRUE(ReadFile(h, head, 5, &got, nullptr));
  EXPECT_EQ(bytes.substr(0, 5), std::string(head, got));

  // Overwrite in place, then truncate there: SetEndOfFile sees the gathered bytes first.
  ASSERT_EQ(-1, WriteBlocks(h, "ABC", error));
  ASSERT_TRUE(SetEndOfFile(h));
  EXPECT_EQ(8, SizeOnDisk(path));
  ASSERT_EQ(-1, WriteBlocks(h, "!", error));
  ASSERT_TRUE(FlushFileBuffers(h));
  EXPECT_EQ(9, SizeOnDisk(path));
  ASSERT_TRUE(CloseHandle(h));
  EXPECT_EQ(bytes.substr(0, 5) + "ABC!", lumox_test::ReadFileBytes(path));
}

TEST_F(BufferedFiles, LargeFilesArriveWholeAndSharedHandlesWriteAtOnce) {
  std::string path = Path("large.bin");
  std::string bytes = Pattern(1000000);
  HANDLE h = Create(path, 0);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  DWORD error = 0;
  ASSERT_EQ(-1, WriteBlocks(h, bytes.substr(0, 500000), error));
  DWORD written = 0;  // one write larger than any buffer, behind gathered ones
  ASSERT_TRUE(WriteFile(h, bytes.data() + 500000, 500000, &written, nullptr));
  EXPECT_EQ(500000u, written);
  ASSERT_TRUE(CloseHandle(h));
  EXPECT_EQ(bytes, lumox_test::ReadFileBytes(path));

  // Another handle may read a file opened with sharing, so its writes are not held back.
  std::string shared = Path("shared.bin");
  h = Create(shared, FILE_SHARE_READ);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  ASSERT_EQ(-1, WriteBlocks(h, "seen at once", error));
  EXPECT_EQ("seen at once", lumox_test::ReadFileBytes(shared));
  ASSERT_TRUE(CloseHandle(h));
}

TEST_F(BufferedFiles, DelayedWriteFailureIsReportedByTheNextWriteFile) {
  std::string path = Path("full.bin");
  std::string bytes = Pattern(1 << 20);
  HANDLE h = Create(path, 0);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  DWORD error = 0;
  long failed;
  {
    FileSizeLimit limit(100000);
    ASSERT_TRUE(limit.ok());
    failed = WriteBlocks(h, bytes, error);
  }
  // The first blocks were accepted; a later WriteFile reports the gathered data lost.
  EXPECT_GT(failed, 100000 / static_cast<long>(kBlock));
  EXPECT_LT(failed, 1024);
  EXPECT_EQ(static_cast<DWORD>(ERROR_DISK_FULL), error);
  // The file can no longer hold what was written: later writes fail too, even with room.
  DWORD written = kSentinel;
  SetLastError(kSentinel);
  EXPECT_FALSE(WriteFile(h, "x", 1, &written, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DISK_FULL), GetLastError());
  EXPECT_EQ(0u, written);
  SetLastError(kSentinel);
  EXPECT_FALSE(CloseHandle(h));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DISK_FULL), GetLastError());
  EXPECT_EQ(100000, SizeOnDisk(path));
  SetLastError(kSentinel);
  EXPECT_FALSE(CloseHandle(h)) << "the failed close still released the handle";
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST_F(BufferedFiles, DelayedWriteFailureIsReportedByCloseHandle) {
  std::string path = Path("close.bin");
  HANDLE h = Create(path, 0);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  DWORD error = 0;
  FileSizeLimit limit(100000);
  ASSERT_TRUE(limit.ok());
  ASSERT_EQ(-1, WriteBlocks(h, Pattern(120000), error)) << "every block is gathered";
  SetLastError(kSentinel);
  EXPECT_FALSE(CloseHandle(h));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DISK_FULL), GetLastError());
  EXPECT_EQ(100000, SizeOnDisk(path));
  EXPECT_FALSE(CloseHandle(h));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST_F(BufferedFiles, FailureWhileObservedStaysPendingForWriteAndClose) {
  std::string path = Path("observed.bin");
  HANDLE h = Create(path, 0);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  DWORD error = 0;
  FileSizeLimit limit(100000);
  ASSERT_TRUE(limit.ok());
  ASSERT_EQ(-1, WriteBlocks(h, Pattern(120000), error));
  EXPECT_EQ(100000u, GetFileSize(h, nullptr)) << "the size shows what reached the file";
  SetLastError(kSentinel);
  EXPECT_FALSE(FlushFileBuffers(h));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DISK_FULL), GetLastError());
  EXPECT_EQ(0, WriteBlocks(h, "more", error));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DISK_FULL), error);
  SetLastError(kSentinel);
  EXPECT_FALSE(CloseHandle(h));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DISK_FULL), GetLastError());
}

TEST_F(BufferedFiles, FullFileSystemFailsTheClose) {
  // A real full disk: a 64 KiB tmpfs (needs the right to mount; skipped without it).
  SmallDisk disk(Path("mnt"), "size=64k");
  if (!disk.mounted) GTEST_SKIP() << "cannot mount a tmpfs here";
  std::string path = lumox_test::JoinPath(disk.at, "f.bin");
  HANDLE h = Create(path, 0);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  DWORD error = 0;
  EXPECT_EQ(-1, WriteBlocks(h, Pattern(100000), error));
  SetLastError(kSentinel);
  EXPECT_FALSE(CloseHandle(h));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DISK_FULL), GetLastError());
  EXPECT_LT(SizeOnDisk(path), 100000);
}

// The disk fills while the background writer has buffers in hand: the failure reaches the
// next WriteFile and CloseHandle, every later write fails, and the file holds an unbroken
// first part of the bytes, nothing written past the lost ones. The first megabyte is written
// in place; after it the writer takes a megabyte per hand-off. The write of the second
// megabyte fails; its failure shows at the first WriteFile after it ended, and at the latest
// at block 3,072, whose hand-off waits for it (a busy machine gets there first).
TEST_F(BufferedFiles, FullDiskWhileTheWriterRuns) {
  SmallDisk disk(Path("mnt"), "size=1536k");
  if (!disk.mounted) GTEST_SKIP() << "cannot mount a tmpfs here";
  std::string path = lumox_test::JoinPath(disk.at, "f.bin");
  std::string bytes = Pattern(4 << 20);
  HANDLE h = Create(path, 0);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  DWORD error = 0;
  long failed = WriteBlocks(h, bytes, error);
  EXPECT_GE(failed, 1536) << "the disk took 1,536 KiB";
  EXPECT_LE(failed, 3072);
  EXPECT_EQ(static_cast<DWORD>(ERROR_DISK_FULL), error);
  DWORD written = kSentinel;
  SetLastError(kSentinel);
  EXPECT_FALSE(WriteFile(h, "x", 1, &written, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DISK_FULL), GetLastError());
  SetLastError(kSentinel);
  EXPECT_FALSE(CloseHandle(h));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DISK_FULL), GetLastError());
  std::string got = lumox_test::ReadFileBytes(path);
  EXPECT_GT(got.size(), 0u);
  EXPECT_LE(got.size(), 1536u * 1024);
  EXPECT_TRUE(bytes.compare(0, got.size(), got) == 0) << "the file is not a first part";
}

// Each call that observes the file comes after writes long enough for the background
// writer, so some bytes are with it and some still gathered: all are in the file first.
TEST_F(BufferedFiles, EveryObservingCallFindsEveryByteInTheFile) {
  const size_t kSize = 1533333;
  std::string bytes = Pattern(kSize);
  struct Case {
    const char *name;
    std::function<bool(HANDLE)> observe;  // true when the call gave its right result
  };
  const Case cases[] = {
      {"GetFileSize", [&](HANDLE h) { return GetFileSize(h, nullptr) == kSize; }},
      {"GetFileSizeEx",
       [&](HANDLE h) {
         LARGE_INTEGER size;
         return GetFileSizeEx(h, &size) && size.QuadPart == static_cast<LONGLONG>(kSize);
       }},
      {"SetFilePointer",
       [&](HANDLE h) { return SetFilePointer(h, 0, nullptr, FILE_CURRENT) == kSize; }},
      {"ReadFile",
       [&](HANDLE h) {
         char c;
         DWORD got = 1;
         return ReadFile(h, &c, 1, &got, nullptr) && got == 0;  // at the end
       }},
      {"SetEndOfFile", [&](HANDLE h) { return SetEndOfFile(h) != FALSE; }},
      {"FlushFileBuffers", [&](HANDLE h) { return FlushFileBuffers(h) != FALSE; }},
      {"CloseHandle", [&](HANDLE h) { return CloseHandle(h) != FALSE; }},
  };
  for (const Case &c : cases) {
    std::string path = Path(std::string(c.name) + ".bin");
    HANDLE h = Create(path, 0);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    DWORD error = 0;
    ASSERT_EQ(-1, WriteBlocks(h, bytes, error));
    EXPECT_TRUE(c.observe(h)) << c.name;
    EXPECT_TRUE(lumox_test::ReadFileBytes(path) == bytes) << c.name;
    if (std::string(c.name) != "CloseHandle") {
      EXPECT_TRUE(CloseHandle(h));
    }
  }
}

// CloseHandle from another thread while a writer thread keeps writing: every block a
// WriteFile took is in the file, in order, and the writer's next call finds no handle.
TEST_F(BufferedFiles, CloseFromAnotherThreadWhileWriting) {
  std::string path = Path("closed.bin");
  HANDLE h = Create(path, 0);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  const std::string bytes = Pattern(1 << 20);
  const size_t kLimit = size_t(1) << 30;  // the writer stops here if the close never comes
  std::atomic<size_t> accepted{0};
  DWORD lastError = 0;
  std::thread writer([&] {
    for (size_t at = 0; at < kLimit; at += kBlock) {
      DWORD written = 0;
      if (!WriteFile(h, bytes.data() + at % bytes.size(), kBlock, &written, nullptr)) {
        lastError = GetLastError();
        return;
      }
      accepted += written;
    }
  });
  for (int i = 0; i < 1000 && accepted < (4u << 20); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_TRUE(CloseHandle(h));
  writer.join();
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), lastError);
  std::string got = lumox_test::ReadFileBytes(path);
  ASSERT_EQ(accepted.load(), got.size());
  for (size_t at = 0; at < got.size(); at += bytes.size())
    ASSERT_TRUE(got.compare(at, bytes.size(), bytes, 0, got.size() - at) == 0) << "at " << at;
}

// A copy of the layer unloaded while it holds a file it never closed, a write in flight
// and bytes gathered: every byte reaches the file and none of its threads stays behind.
TEST_F(BufferedFiles, UnloadWithAWriteInFlight) {
  // The program's own file threads, idle since earlier tests, end on their own first.
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  const int before = lumox_test::ThreadCount();
  for (int round = 0; round < 3; ++round) {
    std::string path = Path("unload" + std::to_string(round) + ".bin");
    const unsigned kSize = 3 * 1024 * 1024 + 500;
    void *module = dlopen(LUMOX_FILE_LAYER_MODULE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, module) << dlerror();
    using WriteFn = bool (*)(const char *, unsigned);
    auto write = reinterpret_cast<WriteFn>(dlsym(module, "WriteWithoutClosing"));
    ASSERT_NE(nullptr, write);
    ASSERT_TRUE(write(path.c_str(), kSize));
    EXPECT_EQ(0, dlclose(module));
    EXPECT_EQ(before, lumox_test::ThreadCount()) << "round " << round;
    std::string expected(kSize, '\0');
    for (unsigned i = 0; i < kSize; ++i) expected[i] = static_cast<char>(i * 7 % 251);
    EXPECT_TRUE(lumox_test::ReadFileBytes(path) == expected) << "round " << round;
  }
}

// A fork in the middle of a download-sized write. The child's calls on the inherited handle
// neither wait for the parent's writer nor write the parent's bytes again, and its own
// files work; the parent's file holds exactly the parent's bytes.
TEST_F(BufferedFiles, ForkDuringAWrite) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer cannot start threads in the child of a threaded process";
#endif
  std::string path = Path("forked.bin");
  std::string own = Path("child.bin");
  const std::string bytes = Pattern(3 << 20);
  const size_t half = bytes.size() / 2 + 300;
  HANDLE h = Create(path, 0);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  DWORD error = 0;
  ASSERT_EQ(-1, WriteBlocks(h, bytes.substr(0, half), error));
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(30);  // a wait for the parent's writer would never end
    bool ok = CloseHandle(h) != FALSE;
    std::string mine = Pattern(700000, 5);
    HANDLE c = Create(own, 0);
    ok = ok && c != INVALID_HANDLE_VALUE;
    for (size_t at = 0; ok && at < mine.size(); at += kBlock) {
      DWORD n = static_cast<DWORD>(std::min<size_t>(kBlock, mine.size() - at)), written = 0;
      ok = WriteFile(c, mine.data() + at, n, &written, nullptr) && written == n;
    }
    ok = ok && CloseHandle(c) && lumox_test::ReadFileBytes(own) == mine;
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  EXPECT_TRUE(WIFEXITED(status)) << "the child did not end by itself: status " << status;
  EXPECT_EQ(0, WEXITSTATUS(status));
  ASSERT_EQ(-1, WriteBlocks(h, bytes.substr(half), error));
  ASSERT_TRUE(CloseHandle(h));
  EXPECT_TRUE(lumox_test::ReadFileBytes(path) == bytes);
}

// The pointer stays right while reading ahead, and a file that shrinks after a refill of a
// long read (to past what was read ahead, and to within it) hands out no byte past its end.
// Past its first megabyte a handle holds a megabyte and reads the next one ahead, so the
// cuts lie beyond the first: at 1.5 MB within what was read ahead, at 2.5 MB past it.
TEST_F(BufferedFiles, ReadAheadKeepsThePointerAndSeesAShrinkingFileAtTheRefill) {
  for (long beyond : {2500000L, 1500000L}) {
    std::string path = Path("source" + std::to_string(beyond) + ".bin");
    std::string bytes = Pattern(4000000);
    lumox_test::WriteFileBytes(path, bytes);
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    char block[kBlock];
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(h, block, kBlock, &got, nullptr));
    ASSERT_EQ(kBlock, got);
    EXPECT_EQ(bytes.substr(0, kBlock), std::string(block, got));
    EXPECT_EQ(kBlock, SetFilePointer(h, 0, nullptr, FILE_CURRENT));
    EXPECT_EQ(4000000u, GetFileSize(h, nullptr));
    EXPECT_EQ(5000u, SetFilePointer(h, 5000, nullptr, FILE_BEGIN));
    std::string read;
    for (int i = 0; i < 1025; ++i) {  // 1 MiB and one block from 5,000 on
      ASSERT_TRUE(ReadFile(h, block, kBlock, &got, nullptr));
      read.append(block, got);
    }
    const long at = 5000 + 1025 * static_cast<long>(kBlock);
    EXPECT_TRUE(bytes.substr(5000, at - 5000) == read);
    EXPECT_EQ(static_cast<DWORD>(at), SetFilePointer(h, 0, nullptr, FILE_CURRENT));
    EXPECT_EQ(static_cast<DWORD>(at), SetFilePointer(h, at, nullptr, FILE_BEGIN));

    ASSERT_TRUE(ReadFile(h, block, kBlock, &got, nullptr));  // a refill, then reading ahead
    std::string rest(block, got);
    // Time for the read ahead to finish first, so that it holds bytes the cut removes.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_EQ(0, truncate(path.c_str(), at + beyond));
    for (int i = 0; i < 4000; ++i) {
      ASSERT_TRUE(ReadFile(h, block, kBlock, &got, nullptr));
      if (got == 0) break;
      rest.append(block, got);
    }
    EXPECT_TRUE(bytes.substr(at, beyond) == rest) << "cut " << beyond << " past " << at;
    ASSERT_TRUE(CloseHandle(h));
  }
}

}  // namespace
#endif
