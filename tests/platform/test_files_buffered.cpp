// Buffered local files of the Linux layer: a share-mode-0 write handle gathers its writes and
// writes them out before anything observes the file and at CloseHandle; a delayed write that
// fails (full disk) is reported by the next WriteFile or by CloseHandle with ERROR_DISK_FULL.
// A read-only handle reads ahead, and a file that shrinks is seen at the next refill.
// Windows keeps its own cache, and a Windows program under Wine can set up no full disk, so
// these cases run on Linux only.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

#ifndef _WIN32
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using lumox_test::FileSizeLimit;

const DWORD kSentinel = 0xdeadbeef;
const DWORD kBlock = 1024;

long long SizeOnDisk(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 1000) & 0xff);
  return bytes;
}

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
  std::string mnt = Path("mnt");
  ASSERT_EQ(0, mkdir(mnt.c_str(), 0700));
  if (mount("lumox-test", mnt.c_str(), "tmpfs", 0, "size=64k") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here";
  }
  struct Unmount {
    std::string at;
    ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
  } unmount{mnt};
  std::string path = lumox_test::JoinPath(mnt, "f.bin");
  HANDLE h = Create(path, 0);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  DWORD error = 0;
  EXPECT_EQ(-1, WriteBlocks(h, Pattern(100000), error));
  SetLastError(kSentinel);
  EXPECT_FALSE(CloseHandle(h));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DISK_FULL), GetLastError());
  EXPECT_LT(SizeOnDisk(path), 100000);
}

TEST_F(BufferedFiles, ReadAheadKeepsThePointerAndSeesAShrinkingFileAtTheRefill) {
  std::string path = Path("source.bin");
  std::string bytes = Pattern(1000000);
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
  EXPECT_EQ(1000000u, GetFileSize(h, nullptr));
  EXPECT_EQ(5000u, SetFilePointer(h, 5000, nullptr, FILE_BEGIN));
  ASSERT_TRUE(ReadFile(h, block, kBlock, &got, nullptr));
  EXPECT_EQ(bytes.substr(5000, kBlock), std::string(block, got));

  ASSERT_EQ(0, truncate(path.c_str(), 400000));
  std::string rest;
  for (int i = 0; i < 2000; ++i) {
    ASSERT_TRUE(ReadFile(h, block, kBlock, &got, nullptr));
    if (got == 0) break;
    rest.append(block, got);
  }
  EXPECT_EQ(bytes.substr(5000 + kBlock, 400000 - 5000 - kBlock), rest);
  ASSERT_TRUE(CloseHandle(h));
}

}  // namespace
#endif
