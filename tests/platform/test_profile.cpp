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
