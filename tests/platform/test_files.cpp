// Files and handles: dispositions, share modes, reads and writes, sizes and pointers,
// deleting, moving, copying, folders, the temporary folder, and the last-error values.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform_expect.h"
#include "test_support.h"

using lumox_test::FileExists;
using lumox_test::JoinPath;
using lumox_test::ReadFileBytes;
using lumox_test::WriteFileBytes;

namespace {

const DWORD kSentinel = 0xdeadbeef;

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = lumox_test::MakeTempDir("files");
    ASSERT_FALSE(dir_.empty());
  }
  void TearDown() override { lumox_test::RemoveTree(dir_); }
  std::string Path(const std::string &name) const { return JoinPath(dir_, name); }

  HANDLE Open(const std::string &path, DWORD access, DWORD share, DWORD disposition) {
    return CreateFileA(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
  }

  std::string dir_;
};

TEST_F(FilesTest, CreateNewIsExclusive) {
  std::string path = Path("new.bin");
  SetLastError(kSentinel);
  HANDLE h = Open(path, GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ(0u, GetLastError());
  ASSERT_TRUE(CloseHandle(h));

  WriteFileBytes(path, "keep");
  SetLastError(kSentinel);
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(path, GENERIC_WRITE, 0, CREATE_NEW));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_EXISTS), GetLastError());
  EXPECT_EQ("keep", ReadFileBytes(path));
}

TEST_F(FilesTest, CreateAlwaysTruncatesAndReportsAnExistingFile) {
  std::string path = Path("always.bin");
  SetLastError(kSentinel);
  HANDLE h = Open(path, GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ(0u, GetLastError());
  CloseHandle(h);

  WriteFileBytes(path, "old contents");
  SetLastError(kSentinel);
  h = Open(path, GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
  EXPECT_EQ(0u, GetFileSize(h, nullptr));
  CloseHandle(h);
  EXPECT_EQ("", ReadFileBytes(path));
}

TEST_F(FilesTest, OpenAlwaysKeepsContents) {
  std::string path = Path("open-always.bin");
  WriteFileBytes(path, "abc");
  SetLastError(kSentinel);
  HANDLE h = Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_ALWAYS);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
  EXPECT_EQ(3u, GetFileSize(h, nullptr));
  CloseHandle(h);

  std::string fresh = Path("fresh.bin");
  SetLastError(kSentinel);
  h = Open(fresh, GENERIC_READ, FILE_SHARE_READ, OPEN_ALWAYS);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ(0u, GetLastError());
  CloseHandle(h);
  EXPECT_TRUE(FileExists(fresh));
}

TEST_F(FilesTest, OpenExistingAndTruncateExisting) {
  SetLastError(kSentinel);
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(Path("missing.bin"), GENERIC_READ, 0, OPEN_EXISTING));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());

  SetLastError(kSentinel);
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(Path("no-dir/missing.bin"), GENERIC_READ, 0, OPEN_EXISTING));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());

  SetLastError(kSentinel);
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(Path("missing.bin"), GENERIC_WRITE, 0, TRUNCATE_EXISTING));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());

  std::string path = Path("trunc.bin");
  WriteFileBytes(path, "0123456789");
  HANDLE h = Open(path, GENERIC_WRITE, 0, TRUNCATE_EXISTING);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  CloseHandle(h);
  EXPECT_EQ("", ReadFileBytes(path));

  SetLastError(kSentinel);
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(path, GENERIC_READ, 0, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST_F(FilesTest, AFolderCannotBeOpenedAsAFile) {
  SetLastError(kSentinel);
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(dir_, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
}

TEST_F(FilesTest, ShareModeZeroKeepsOthersOutUntilClosed) {
  std::string path = Path("locked.bin");
  WriteFileBytes(path, "precious");
  HANDLE first = Open(path, GENERIC_READ, 0, OPEN_EXISTING);
  ASSERT_NE(INVALID_HANDLE_VALUE, first);

  SetLastError(kSentinel);
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());

  // A refused CREATE_ALWAYS must not have emptied the file.
  SetLastError(kSentinel);
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(path, GENERIC_WRITE, 0, CREATE_ALWAYS));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
  EXPECT_WINDOWS(EXPECT_EQ(std::string("precious"), ReadFileBytes(path)),
                 "Wine empties the file before it refuses the second open");

  SetLastError(kSentinel);
  EXPECT_FALSE(DeleteFileA(path.c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
  EXPECT_TRUE(FileExists(path));

  ASSERT_TRUE(CloseHandle(first));
  HANDLE again = Open(path, GENERIC_READ, 0, OPEN_EXISTING);
  EXPECT_NE(INVALID_HANDLE_VALUE, again);
  CloseHandle(again);
}

TEST_F(FilesTest, SharedOpensCoexistButRefuseAnExclusiveOne) {
  std::string path = Path("shared.bin");
  WriteFileBytes(path, "x");
  HANDLE a = Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  HANDLE b = Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  EXPECT_NE(INVALID_HANDLE_VALUE, a);
  EXPECT_NE(INVALID_HANDLE_VALUE, b);
  SetLastError(kSentinel);
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(path, GENERIC_READ, 0, OPEN_EXISTING));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
  CloseHandle(a);
  CloseHandle(b);
}

TEST_F(FilesTest, WriteReadSizesAndPointer) {
  std::string path = Path("data.bin");
  HANDLE h = Open(path, GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  std::string block(100000, '\0');
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(h, block.data(), static_cast<DWORD>(block.size()), &written, nullptr));
  EXPECT_EQ(block.size(), written);

  DWORD high = kSentinel;
  EXPECT_EQ(block.size(), GetFileSize(h, &high));
  EXPECT_EQ(0u, high);
  LARGE_INTEGER size;
  ASSERT_TRUE(GetFileSizeEx(h, &size));
  EXPECT_EQ(static_cast<LONGLONG>(block.size()), size.QuadPart);

  EXPECT_EQ(10u, SetFilePointer(h, 10, nullptr, FILE_BEGIN));
  char buffer[5];
  DWORD read = 0;
  ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &read, nullptr));
  EXPECT_EQ(5u, read);
  EXPECT_EQ(block.substr(10, 5), std::string(buffer, 5));
  EXPECT_EQ(block.size() - 4, SetFilePointer(h, -4, nullptr, FILE_END));

  // Reading at the end succeeds with no bytes.
  EXPECT_EQ(block.size(), SetFilePointer(h, 0, nullptr, FILE_END));
  read = kSentinel;
  EXPECT_TRUE(ReadFile(h, buffer, sizeof buffer, &read, nullptr));
  EXPECT_EQ(0u, read);

  SetLastError(kSentinel);
  EXPECT_EQ(INVALID_SET_FILE_POINTER, SetFilePointer(h, -1, nullptr, FILE_BEGIN));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NEGATIVE_SEEK), GetLastError());

  LARGE_INTEGER distance, position;
  distance.QuadPart = -3;
  ASSERT_TRUE(SetFilePointerEx(h, distance, &position, FILE_END));
  EXPECT_EQ(static_cast<LONGLONG>(block.size() - 3), position.QuadPart);
  distance.QuadPart = -static_cast<LONGLONG>(block.size());
  SetLastError(kSentinel);
  EXPECT_FALSE(SetFilePointerEx(h, distance, &position, FILE_CURRENT));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NEGATIVE_SEEK), GetLastError());

  EXPECT_EQ(1000u, SetFilePointer(h, 1000, nullptr, FILE_BEGIN));
  ASSERT_TRUE(SetEndOfFile(h));
  EXPECT_EQ(1000u, GetFileSize(h, nullptr));
  CloseHandle(h);
  EXPECT_EQ(block.substr(0, 1000), ReadFileBytes(path));
}

TEST_F(FilesTest, AccessIsCheckedPerHandle) {
  std::string path = Path("access.bin");
  WriteFileBytes(path, "abc");
  HANDLE reader = Open(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
  ASSERT_NE(INVALID_HANDLE_VALUE, reader);
  DWORD written = kSentinel;
  SetLastError(kSentinel);
  EXPECT_FALSE(WriteFile(reader, "x", 1, &written, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_EQ(0u, written);
  CloseHandle(reader);

  HANDLE writer = Open(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
  ASSERT_NE(INVALID_HANDLE_VALUE, writer);
  char c;
  DWORD read = kSentinel;
  SetLastError(kSentinel);
  EXPECT_FALSE(ReadFile(writer, &c, 1, &read, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  CloseHandle(writer);
}

TEST_F(FilesTest, BadHandlesAreRefused) {
  SetLastError(kSentinel);
  EXPECT_FALSE(CloseHandle(nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());

  SetLastError(kSentinel);
  EXPECT_EQ(INVALID_FILE_SIZE, GetFileSize(INVALID_HANDLE_VALUE, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());

  DWORD read = kSentinel;
  char c;
  SetLastError(kSentinel);
  EXPECT_FALSE(ReadFile(INVALID_HANDLE_VALUE, &c, 1, &read, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());

  HANDLE h = Open(Path("once.bin"), GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_TRUE(CloseHandle(h));
  SetLastError(kSentinel);
  EXPECT_FALSE(WriteFile(h, "x", 1, &read, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

// More handles than one block of the handle table holds: each keeps its own file, a closed
// one is refused, and a handle opened after closes works as any other.
TEST_F(FilesTest, ManyHandlesOpenAtOnceStayApart) {
  const int kCount = 300;
  std::vector<HANDLE> handles;
  for (int i = 0; i < kCount; ++i) {
    HANDLE h = Open(Path("many" + std::to_string(i)), GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(INVALID_HANDLE_VALUE, h) << i;
    std::string text = "file " + std::to_string(i);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr));
    handles.push_back(h);
  }
  for (int i = 0; i < kCount; i += 2) EXPECT_TRUE(CloseHandle(handles[i])) << i;
  for (int i = 0; i < kCount; ++i) {
    std::string text = "file " + std::to_string(i);
    char back[32] = {};
    DWORD read = kSentinel;
    SetLastError(kSentinel);
    if (i % 2 == 0) {
      EXPECT_FALSE(ReadFile(handles[i], back, sizeof back, &read, nullptr)) << i;
      EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError()) << i;
      continue;
    }
    ASSERT_EQ(0u, SetFilePointer(handles[i], 0, nullptr, FILE_BEGIN)) << i;
    ASSERT_TRUE(ReadFile(handles[i], back, sizeof back, &read, nullptr)) << i;
    EXPECT_EQ(text, std::string(back, read)) << i;
  }
  HANDLE later = Open(Path("later"), GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(INVALID_HANDLE_VALUE, later);
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(later, "later", 5, &written, nullptr));
  EXPECT_TRUE(CloseHandle(later));
  EXPECT_EQ("later", lumox_test::ReadFileBytes(Path("later")));
  for (int i = 1; i < kCount; i += 2) EXPECT_TRUE(CloseHandle(handles[i])) << i;
  for (int i = 0; i < kCount; i += 7) {
    EXPECT_EQ("file " + std::to_string(i),
              lumox_test::ReadFileBytes(Path("many" + std::to_string(i))));
  }
}

TEST_F(FilesTest, DeleteMoveAndCopy) {
  std::string a = Path("a.txt"), b = Path("b.txt"), c = Path("c.txt");
  SetLastError(kSentinel);
  EXPECT_FALSE(DeleteFileA(a.c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());

  WriteFileBytes(a, "AAA");
  WriteFileBytes(b, "BBB");
  // MoveFileA never replaces.
  SetLastError(kSentinel);
  EXPECT_FALSE(MoveFileA(a.c_str(), b.c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
  EXPECT_EQ("AAA", ReadFileBytes(a));
  EXPECT_EQ("BBB", ReadFileBytes(b));

  EXPECT_TRUE(MoveFileExA(a.c_str(), b.c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_FALSE(FileExists(a));
  EXPECT_EQ("AAA", ReadFileBytes(b));

  EXPECT_TRUE(MoveFileA(b.c_str(), c.c_str()));
  EXPECT_EQ("AAA", ReadFileBytes(c));
  SetLastError(kSentinel);
  EXPECT_FALSE(MoveFileA(b.c_str(), a.c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());

  EXPECT_TRUE(CopyFileA(c.c_str(), a.c_str(), TRUE));
  EXPECT_EQ("AAA", ReadFileBytes(a));
  WriteFileBytes(b, "other");
  SetLastError(kSentinel);
  EXPECT_FALSE(CopyFileA(c.c_str(), b.c_str(), TRUE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_EXISTS), GetLastError());
  EXPECT_EQ("other", ReadFileBytes(b));
  EXPECT_TRUE(CopyFileA(c.c_str(), b.c_str(), FALSE));
  EXPECT_EQ("AAA", ReadFileBytes(b));

  EXPECT_TRUE(DeleteFileA(a.c_str()));
  EXPECT_FALSE(FileExists(a));
}

TEST_F(FilesTest, Folders) {
  std::string sub = Path("sub");
  ASSERT_TRUE(CreateDirectoryA(sub.c_str(), nullptr));
  SetLastError(kSentinel);
  EXPECT_FALSE(CreateDirectoryA(sub.c_str(), nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
  SetLastError(kSentinel);
  EXPECT_FALSE(CreateDirectoryA(Path("none/deeper").c_str(), nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());

  DWORD attributes = GetFileAttributesA(sub.c_str());
  ASSERT_NE(INVALID_FILE_ATTRIBUTES, attributes);
  EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
  WriteFileBytes(JoinPath(sub, "f"), "1");
  EXPECT_FALSE(GetFileAttributesA(JoinPath(sub, "f").c_str()) & FILE_ATTRIBUTE_DIRECTORY);
  SetLastError(kSentinel);
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(Path("nothing").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());

  SetLastError(kSentinel);
  EXPECT_FALSE(RemoveDirectoryA(sub.c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DIR_NOT_EMPTY), GetLastError());
  ASSERT_TRUE(DeleteFileA(JoinPath(sub, "f").c_str()));
  EXPECT_TRUE(RemoveDirectoryA(sub.c_str()));
  SetLastError(kSentinel);
  EXPECT_FALSE(RemoveDirectoryA(sub.c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
}

TEST_F(FilesTest, ShiftJisNamesAreTheSameFileEveryTime) {
  // The name is code page 932 text; the file system keeps it as that text's characters.
  std::string name = lumox_test::Sjis(u8"データ.txt");
  std::string path = Path(name);
  HANDLE h = Open(path, GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  DWORD written;
  WriteFile(h, "jp", 2, &written, nullptr);
  CloseHandle(h);
  EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(path.c_str()));
  h = Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ(2u, GetFileSize(h, nullptr));
  CloseHandle(h);
#ifdef _WIN32
  EXPECT_EQ(std::vector<std::string>{name}, lumox_test::ListDir(dir_));
#else
  EXPECT_EQ(std::vector<std::string>{u8"データ.txt"}, lumox_test::ListDir(dir_));
#endif
}

TEST(Files, AFullDiskIsReportedAsSuch) {
  std::string path = lumox_test::NativePath("/dev/full");
  HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) GTEST_SKIP() << "no /dev/full here";
  DWORD written = kSentinel;
  SetLastError(kSentinel);
  EXPECT_FALSE(WriteFile(h, "0123456789", 10, &written, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DISK_FULL), GetLastError());
  EXPECT_EQ(0u, written);
  CloseHandle(h);
}

TEST(TempPath, EndsWithASeparatorAndFollowsTheBufferRules) {
  char buffer[MAX_PATH + 1];
  DWORD length = GetTempPathA(sizeof buffer, buffer);
  ASSERT_GT(length, 0u);
  EXPECT_EQ(strlen(buffer), length);
  EXPECT_EQ(lumox_test::PathSeparator(), buffer[length - 1]);
  EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(buffer));

  char small[2] = {'x', 'x'};
  EXPECT_EQ(length + 1, GetTempPathA(sizeof small, small));
}

TEST(LastError, IsKeptPerThread) {
  // The threads meet through atomics only, so no system call in between touches the values.
  std::atomic<int> stage{0};
  DWORD seenThere = 0;
  std::thread other([&] {
    SetLastError(ERROR_ACCESS_DENIED);
    stage = 1;
    for (long spin = 0; stage.load() != 2 && spin < 2000000000L; ++spin) {
    }
    seenThere = GetLastError();
  });
  for (long spin = 0; stage.load() != 1 && spin < 2000000000L; ++spin) {
  }
  SetLastError(1234);
  stage = 2;
  DWORD seenHere = GetLastError();
  other.join();
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), seenThere);
  EXPECT_EQ(1234u, seenHere);
}

}  // namespace
