// GetFileType, and CreateFileA on names that are not regular files: it answers at once and
// the handle's type tells a disk file from a pipe or a device.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include "platform_expect.h"
#include "test_support.h"

namespace {

const DWORD kSentinel = 0xdeadbeef;

HANDLE OpenForReading(const std::string &path) {
  return CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

class FileTypeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = lumox_test::MakeTempDir("filetype");
    ASSERT_FALSE(dir_.empty());
  }
  void TearDown() override { lumox_test::RemoveTree(dir_); }
  std::string dir_;
};

TEST_F(FileTypeTest, RegularFileIsDisk) {
  std::string path = lumox_test::JoinPath(dir_, "plain.bin");
  lumox_test::WriteFileBytes(path, "abc");
  HANDLE h = OpenForReading(path);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ(static_cast<DWORD>(FILE_TYPE_DISK), GetFileType(h));
  CloseHandle(h);
}

TEST_F(FileTypeTest, NullDeviceIsCharacterDevice) {
#ifdef _WIN32
  HANDLE h = OpenForReading("NUL");
#else
  HANDLE h = OpenForReading("/dev/null");
#endif
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ(static_cast<DWORD>(FILE_TYPE_CHAR), GetFileType(h));
  char buffer[8];
  DWORD read = 5;
  EXPECT_TRUE(ReadFile(h, buffer, sizeof buffer, &read, nullptr));
  EXPECT_EQ(0u, read);
  CloseHandle(h);
}

TEST(FileType, ClosedOrNullHandleIsUnknown) {
  SetLastError(kSentinel);
  EXPECT_EQ(static_cast<DWORD>(FILE_TYPE_UNKNOWN), GetFileType(nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

#ifndef _WIN32
// FIFOs and sockets exist only on the Linux side: Windows file names never name one.

TEST_F(FileTypeTest, FifoWithoutWriterOpensAtOnceAsPipe) {
  std::string fifo = lumox_test::JoinPath(dir_, "fifo");
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  HANDLE h = INVALID_HANDLE_VALUE;
  double seconds =
      lumox_test::SecondsWithFifoRelease(fifo, true, 5, [&] { h = OpenForReading(fifo); });
  EXPECT_LT(seconds, 2.0);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ(static_cast<DWORD>(FILE_TYPE_PIPE), GetFileType(h));
  CloseHandle(h);

  // Writing needs a reader: without one the open fails at once.
  HANDLE w = INVALID_HANDLE_VALUE;
  seconds = lumox_test::SecondsWithFifoRelease(fifo, false, 5, [&] {
    w = CreateFileA(fifo.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                    nullptr);
  });
  EXPECT_LT(seconds, 2.0);
  EXPECT_EQ(INVALID_HANDLE_VALUE, w);
  if (w != INVALID_HANDLE_VALUE) CloseHandle(w);
}

TEST_F(FileTypeTest, FifoWithWriterIsPipeAndReadsBlockAsAPipeDoes) {
  std::string fifo = lumox_test::JoinPath(dir_, "fifo");
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);  // lets the writer open
  int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
  ASSERT_GE(writer, 0);
  HANDLE h = OpenForReading(fifo);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ(static_cast<DWORD>(FILE_TYPE_PIPE), GetFileType(h));
  ASSERT_EQ(3, ::write(writer, "xyz", 3));
  ::close(writer);
  ::close(reader);
  char buffer[8];
  DWORD read = 0;
  EXPECT_TRUE(ReadFile(h, buffer, sizeof buffer, &read, nullptr));
  EXPECT_EQ("xyz", std::string(buffer, read));
  CloseHandle(h);
}

TEST_F(FileTypeTest, SocketPathCannotBeOpened) {
  std::string path = lumox_test::JoinPath(dir_, "sock");
  int s = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(s, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof address.sun_path);
  memcpy(address.sun_path, path.c_str(), path.size() + 1);
  ASSERT_EQ(0, bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address));
  ASSERT_EQ(0, listen(s, 1));
  auto start = std::chrono::steady_clock::now();
  HANDLE h = OpenForReading(path);
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 2.0);
  EXPECT_EQ(INVALID_HANDLE_VALUE, h);
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  ::close(s);
}
#endif

}  // namespace
