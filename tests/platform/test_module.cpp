// Modules: the program's and a loaded library's file names, the module of an address,
// truncation, loading and unloading, and looking up exports.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "platform_expect.h"
#include "test_support.h"

namespace {

const DWORD kSentinel = 0xdeadbeef;

std::string ModuleName(HMODULE module) {
  char buffer[MAX_PATH * 4];
  DWORD n = GetModuleFileNameA(module, buffer, sizeof buffer);
  return std::string(buffer, n);
}

bool EndsWith(const std::string &text, const std::string &tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(Module, ProgramFileName) {
  std::string name = ModuleName(nullptr);
#ifdef _WIN32
  EXPECT_TRUE(EndsWith(name, "\\platform_tests.exe")) << name;
#else
  EXPECT_TRUE(EndsWith(name, "/platform_tests")) << name;
#endif
  // The module that holds this function is the program.
  HMODULE self = nullptr;
  ASSERT_TRUE(GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCSTR>(&ModuleName), &self));
  EXPECT_EQ(name, ModuleName(self));
}

TEST(Module, TruncatedFileName) {
  std::string full = ModuleName(nullptr);
  char buffer[8];
  memset(buffer, 'x', sizeof buffer);
  SetLastError(kSentinel);
  EXPECT_EQ(5u, GetModuleFileNameA(nullptr, buffer, 5));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  // Cut to the buffer and terminated; Wine copies five characters without a terminator, as
  // Windows XP did.
  EXPECT_WINDOWS(EXPECT_EQ(full.substr(0, 4), std::string(buffer, strnlen(buffer, 5))),
                 "Wine does not terminate a cut module name");
  EXPECT_EQ(full.substr(0, 4), std::string(buffer, 4));
  EXPECT_EQ('x', buffer[5]);

  std::string exact(full.size() + 1, 'x');
  EXPECT_EQ(full.size(), GetModuleFileNameA(nullptr, &exact[0], static_cast<DWORD>(exact.size())));
  EXPECT_EQ(full, exact.c_str());
}

TEST(Module, LoadLookUpAndFreeALibrary) {
  std::string path = lumox_test::BuiltLibraryPath();
  HMODULE module = LoadLibraryA(path.c_str());
  ASSERT_NE(nullptr, module) << path << " error " << GetLastError();
  FARPROC proc = GetProcAddress(module, "HttpGetErrStrC");
  ASSERT_NE(nullptr, proc);

  HMODULE owner = nullptr;
  ASSERT_TRUE(GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCSTR>(proc), &owner));
  EXPECT_EQ(module, owner);
  std::string name = ModuleName(owner);
  std::string file = path.substr(path.find_last_of("/\\") + 1);
  EXPECT_TRUE(EndsWith(name, file)) << name;

  SetLastError(kSentinel);
  EXPECT_EQ(nullptr, GetProcAddress(module, "NoSuchExport"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), GetLastError());
  // Exports of the library's own dependencies are not the library's.
  EXPECT_EQ(nullptr, GetProcAddress(module, "malloc"));
  EXPECT_TRUE(FreeLibrary(module));
}

TEST(Module, MissingLibrary) {
  std::string dir = lumox_test::MakeTempDir("module");
  std::string path = lumox_test::JoinPath(dir, "absent.dll");
  SetLastError(kSentinel);
  EXPECT_EQ(nullptr, LoadLibraryA(path.c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
  lumox_test::RemoveTree(dir);
}

}  // namespace
