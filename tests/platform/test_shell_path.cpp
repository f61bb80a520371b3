// Shell path helpers with the platform's separator ('\' on Windows, '/' on Linux).
#include <windows.h>
#include <shlwapi.h>

#include <gtest/gtest.h>

#include <string>

#include "platform_expect.h"
#include "test_support.h"

namespace {

using platform_test::Native;

std::string RemoveFileSpec(const std::string &path, BOOL *changed) {
  char buffer[MAX_PATH];
  snprintf(buffer, sizeof buffer, "%s", path.c_str());
  *changed = PathRemoveFileSpecA(buffer);
  return buffer;
}

TEST(ShellPath, RemoveFileSpec) {
  BOOL changed;
  EXPECT_EQ(Native("/dir/sub"), RemoveFileSpec(Native("/dir/sub/Lumox.dll"), &changed));
  EXPECT_TRUE(changed);
  EXPECT_EQ(Native("/"), RemoveFileSpec(Native("/Lumox.dll"), &changed));
  EXPECT_TRUE(changed);
  EXPECT_EQ("", RemoveFileSpec("Lumox.dll", &changed));
  EXPECT_TRUE(changed);
  EXPECT_EQ(Native("/dir"), RemoveFileSpec(Native("/dir/"), &changed));
  EXPECT_TRUE(changed);
  EXPECT_EQ("", RemoveFileSpec("", &changed));
  EXPECT_FALSE(changed);
  EXPECT_EQ(Native("/"), RemoveFileSpec(Native("/"), &changed));
  EXPECT_FALSE(changed);
  // A trail byte that looks like a separator belongs to its character ("ソ" is 0x83 0x5C).
  std::string so = lumox_test::Sjis(u8"ソ");
  EXPECT_EQ(Native("/") + so, RemoveFileSpec(Native("/") + so + Native("/f.txt"), &changed));
  EXPECT_FALSE(PathRemoveFileSpecA(nullptr));
}

TEST(ShellPath, Append) {
  char buffer[MAX_PATH];
  snprintf(buffer, sizeof buffer, "%s", Native("/dir").c_str());
  EXPECT_TRUE(PathAppendA(buffer, "Lumox.ini"));
  EXPECT_EQ(Native("/dir/Lumox.ini"), std::string(buffer));

  snprintf(buffer, sizeof buffer, "%s", Native("/dir/").c_str());
  EXPECT_TRUE(PathAppendA(buffer, Native("/LUMOX_LOG").c_str()));
  EXPECT_EQ(Native("/dir/LUMOX_LOG"), std::string(buffer));

  snprintf(buffer, sizeof buffer, "%s", Native("/dir/sub").c_str());
  EXPECT_TRUE(PathAppendA(buffer, Native("../x").c_str()));
  EXPECT_EQ(Native("/dir/x"), std::string(buffer));

  EXPECT_FALSE(PathAppendA(nullptr, "x"));
  EXPECT_FALSE(PathAppendA(buffer, nullptr));
}

TEST(ShellPath, AppendRefusesToPassMaxPath) {
  char buffer[MAX_PATH];
  std::string base = Native("/") + std::string(MAX_PATH - 12, 'd');  // 249 characters
  snprintf(buffer, sizeof buffer, "%s", base.c_str());
  EXPECT_TRUE(PathAppendA(buffer, "123456789"));  // 259 characters: fits with the terminator
  EXPECT_EQ(static_cast<size_t>(MAX_PATH - 1), strlen(buffer));

  snprintf(buffer, sizeof buffer, "%s", base.c_str());
  EXPECT_FALSE(PathAppendA(buffer, "1234567890"));  // 260 characters: no room
  EXPECT_EQ("", std::string(buffer));
}

TEST(ShellPath, FileExists) {
  std::string dir = lumox_test::MakeTempDir("shellpath");
  ASSERT_FALSE(dir.empty());
  std::string file = lumox_test::JoinPath(dir, "f.txt");
  EXPECT_FALSE(PathFileExistsA(file.c_str()));
  lumox_test::WriteFileBytes(file, "1");
  EXPECT_TRUE(PathFileExistsA(file.c_str()));
  EXPECT_TRUE(PathFileExistsA(dir.c_str()));
  EXPECT_FALSE(PathFileExistsA(nullptr));
  lumox_test::RemoveTree(dir);
}

}  // namespace
