// Profile reading: sections and keys without regard to case, blanks, comments, the leading
// integer of a value, defaults, and a file that is read again on every call.
#include <windows.h>

#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "test_support.h"

namespace {

class ProfileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = lumox_test::MakeTempDir("profile");
    ASSERT_FALSE(dir_.empty());
    path_ = lumox_test::JoinPath(dir_, "Lumox.ini");
  }
  void TearDown() override { lumox_test::RemoveTree(dir_); }
  void Write(const std::string &text) { lumox_test::WriteFileBytes(path_, text); }
  UINT Get(const char *section, const char *key, INT fallback = -7) {
    return GetPrivateProfileIntA(section, key, fallback, path_.c_str());
  }
  std::string dir_, path_;
};

TEST_F(ProfileTest, ReadsKeysOfTheirSection) {
  Write("[OTHER]\r\nTotal=99\r\n[HTTP_SETTING]\r\nLogOn=1\r\nTotal=600\r\nConnect = 15 \r\n");
  EXPECT_EQ(1u, Get("HTTP_SETTING", "LogOn"));
  EXPECT_EQ(600u, Get("HTTP_SETTING", "Total"));
  EXPECT_EQ(15u, Get("HTTP_SETTING", "Connect"));
  EXPECT_EQ(99u, Get("OTHER", "Total"));
  EXPECT_EQ(static_cast<UINT>(-7), Get("HTTP_SETTING", "Receive"));
  EXPECT_EQ(static_cast<UINT>(300), Get("MISSING", "Total", 300));
}

TEST_F(ProfileTest, NamesIgnoreCaseAndBlanks) {
  Write("  [http_setting]\n\tlogon\t=\t7\n  Send=  42  \n");
  EXPECT_EQ(7u, Get("HTTP_SETTING", "LogOn"));
  EXPECT_EQ(42u, Get("Http_Setting", "SEND"));
  EXPECT_EQ(42u, Get(" HTTP_SETTING ", " Send "));
}

TEST_F(ProfileTest, CommentsAndOtherLinesAreNotKeys) {
  Write("; LogOn=5\n[HTTP_SETTING]\n;Total=9\nno equals sign\n=3\nTotal=4\n");
  EXPECT_EQ(static_cast<UINT>(-7), Get("HTTP_SETTING", "LogOn"));
  EXPECT_EQ(4u, Get("HTTP_SETTING", "Total"));
}

TEST_F(ProfileTest, TheValueIsReadAsItsLeadingInteger) {
  Write(
      "[S]\nneg=-5\nplus=+8\ntail=12abc\nword=abc\nempty=\nhex=0x1F\nbig=4294967295\nquoted=\"21\"\n"
      "first=1\nfirst=2\n");
  EXPECT_EQ(static_cast<UINT>(-5), Get("S", "neg"));
  EXPECT_EQ(8u, Get("S", "plus"));
  EXPECT_EQ(12u, Get("S", "tail"));
  EXPECT_EQ(0u, Get("S", "word"));
  EXPECT_EQ(static_cast<UINT>(-7), Get("S", "empty"));
  EXPECT_EQ(31u, Get("S", "hex"));
  EXPECT_EQ(4294967295u, Get("S", "big"));
  EXPECT_EQ(21u, Get("S", "quoted"));
  EXPECT_EQ(1u, Get("S", "first"));
}

TEST_F(ProfileTest, TextValuesAreTrimmedUnquotedCutOrDefaulted) {
  Write("[S]\nword = Yes Please \nquoted=\" on \"\nempty=\nlong=abcdefghij\n");
  struct Case {
    const char *key;
    DWORD size;
    std::string value;
  };
  for (const Case &c :
       {Case{"word", 32, "Yes Please"}, Case{"quoted", 32, " on "}, Case{"empty", 32, ""},
        Case{"absent", 32, "dflt"}, Case{"long", 5, "abcd"}}) {
    SCOPED_TRACE(c.key);
    char buffer[32];
    memset(buffer, 'X', sizeof buffer);
    DWORD n = GetPrivateProfileStringA("s", c.key, "dflt", buffer, c.size, path_.c_str());
    EXPECT_EQ(c.value, std::string(buffer));
    EXPECT_EQ(c.value.size(), n);
  }
}

TEST_F(ProfileTest, MissingFileGivesTheDefaultAndChangesShowAtOnce) {
  EXPECT_EQ(60u, Get("HTTP_SETTING", "Connect", 60));
  Write("[HTTP_SETTING]\nConnect=5\n");
  EXPECT_EQ(5u, Get("HTTP_SETTING", "Connect", 60));
  Write("[HTTP_SETTING]\nConnect=6\n");
  EXPECT_EQ(6u, Get("HTTP_SETTING", "Connect", 60));
  lumox_test::RemoveTree(dir_);
  EXPECT_EQ(60u, Get("HTTP_SETTING", "Connect", 60));
}

}  // namespace

namespace {

// The wide forms, which the library reads its settings with: the same values, and a last
// error that tells a file that cannot be read apart: a key found leaves 0, a missing file
// gives ERROR_FILE_NOT_FOUND, a missing key or section 0 or ERROR_FILE_NOT_FOUND (this layer
// gives the latter, Wine the former; both mean "readable" to the library), a folder in the
// file's place ERROR_ACCESS_DENIED.
std::u16string Wide16(const std::string &ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}
#define W16(text) reinterpret_cast<LPCWSTR>(Wide16(text).c_str())

TEST_F(ProfileTest, WideFormsReadTheSameAndTellWhatTheyFound) {
  Write("[HTTP_SETTING]\r\nTotal=600\r\nCertCheck = on \r\n");
  std::u16string file = Wide16(path_);
  LPCWSTR name = reinterpret_cast<LPCWSTR>(file.c_str());
  EXPECT_EQ(600u, GetPrivateProfileIntW(W16("HTTP_SETTING"), W16("total"), -7, name));
  EXPECT_EQ(static_cast<UINT>(-7),
            GetPrivateProfileIntW(W16("HTTP_SETTING"), W16("Send"), -7, name));
  struct Case {
    const char *section;
    const char *key;
    const char *expected;
    DWORD lastError;
  } cases[] = {
      {"HTTP_SETTING", "CertCheck", "on", ERROR_SUCCESS},
      {"HTTP_SETTING", "LogOn", "dflt", ERROR_FILE_NOT_FOUND},
      {"OTHER", "CertCheck", "dflt", ERROR_FILE_NOT_FOUND},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.key);
    WCHAR value[16];
    memset(value, 0xEE, sizeof value);
    SetLastError(0);
    DWORD length =
        GetPrivateProfileStringW(W16(c.section), W16(c.key), W16("dflt"), value, 16, name);
    DWORD error = GetLastError();
    if (c.lastError == ERROR_SUCCESS)
      EXPECT_EQ(c.lastError, error);
    else
      EXPECT_TRUE(error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND) << error;
    EXPECT_EQ(strlen(c.expected), length);
    EXPECT_EQ(Wide16(c.expected),
              std::u16string(reinterpret_cast<const char16_t *>(value), length));
    EXPECT_EQ(0, value[length]);
  }
  // No such file; a folder where the file should be: there, but not readable.
  std::u16string missing = Wide16(lumox_test::JoinPath(dir_, "none.ini"));
  WCHAR value[16];
  SetLastError(0xdeadbeef);
  GetPrivateProfileStringW(W16("HTTP_SETTING"), W16("CertCheck"), W16(""), value, 16,
                           reinterpret_cast<LPCWSTR>(missing.c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  std::u16string folder = Wide16(lumox_test::JoinPath(dir_, "folder.ini"));
  ASSERT_TRUE(CreateDirectoryA(lumox_test::JoinPath(dir_, "folder.ini").c_str(), nullptr));
  SetLastError(0xdeadbeef);
  EXPECT_EQ(0u, GetPrivateProfileStringW(W16("HTTP_SETTING"), W16("CertCheck"), W16(""), value, 16,
                                         reinterpret_cast<LPCWSTR>(folder.c_str())));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_EQ(
      FILE_ATTRIBUTE_DIRECTORY,
      GetFileAttributesW(reinterpret_cast<LPCWSTR>(folder.c_str())) & FILE_ATTRIBUTE_DIRECTORY);
  SetLastError(0xdeadbeef);
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES,
            GetFileAttributesW(reinterpret_cast<LPCWSTR>(missing.c_str())));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
}

}  // namespace
