// Result strings, message lookups and the settings file.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "code_table.h"
#include "messages.h"
#include "module.h"
#include "settings.h"
#include "known_difference.h"
#include "test_support.h"

using lumox_test::LibraryCopy;
using lumox_test::Sjis;

namespace {

std::string Utf8(const WCHAR *text) {
  char out[4 * kSettingsPathChars] = {0};
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out, sizeof out, nullptr, nullptr);
  return out;
}

std::string BstrBytes(BSTR text) {
  return text ? std::string(reinterpret_cast<const char *>(text), SysStringByteLen(text)) : "";
}

// Points the library core at a copy of the library in its own folder, so the settings
// file is looked for there.
class ModuleInFolder {
 public:
  explicit ModuleInFolder(const std::string &ini) : copy_(ini, "settings") {
    module_ = LoadLibraryA(copy_.libraryFile().c_str());
    SetLumoxModule(module_);
  }
  ~ModuleInFolder() {
    SetLumoxModule(nullptr);
    if (module_) FreeLibrary(module_);
  }
  bool ok() const { return module_ != nullptr; }
  LibraryCopy &copy() { return copy_; }

 private:
  LibraryCopy copy_;
  HMODULE module_ = nullptr;
};

// Checks an option of handle. Known platform difference: Wine's InternetQueryOptionA
// answers only the connect time-out of a session, so the others cannot be read back there.
#define EXPECT_OPTION(handle, option, expected)                              \
  do {                                                                       \
    DWORD value_ = 0xdeadbeef, size_ = sizeof value_;                        \
    BOOL read_ = InternetQueryOptionA(handle, option, &value_, &size_);      \
    if (!read_ && option != INTERNET_OPTION_CONNECT_TIMEOUT) {               \
      EXPECT_WINDOWS(EXPECT_TRUE(read_) << #option,                          \
                     "Wine answers only the connect time-out of a session"); \
      break;                                                                 \
    }                                                                        \
    EXPECT_TRUE(read_) << #option;                                           \
    EXPECT_EQ(value_, static_cast<DWORD>(expected)) << #option;              \
  } while (0)

}  // namespace

TEST(ResultString, HoldsTheAnsiBytes) {
  BSTR target = nullptr;
  std::string text = Sjis(u8"要求された URI は存在しない。");
  SetResultString(&target, text.c_str());
  ASSERT_NE(target, nullptr);
  EXPECT_EQ(SysStringByteLen(target), text.size());
  EXPECT_EQ(BstrBytes(target), text);
  EXPECT_EQ(reinterpret_cast<const char *>(target)[text.size()], '\0');
  SetResultString(&target, "abc");
  EXPECT_EQ(BstrBytes(target), "abc");
  EXPECT_EQ(SysStringByteLen(target), 3u);
  // A null text changes nothing; an empty one frees the string and leaves null.
  BSTR before = target;
  SetResultString(&target, nullptr);
  EXPECT_EQ(target, before);
  SetResultString(&target, "");
  EXPECT_EQ(target, nullptr);
  SetResultString(nullptr, "abc");
}

TEST(MessageTable, LookupByExactCode) {
  char buffer[512];
  int length = LoadMessage(404, buffer, sizeof buffer);
  EXPECT_EQ(std::string(buffer), Sjis(u8"要求された URI は存在しない。"));
  EXPECT_EQ(length, 29);
  EXPECT_EQ(LoadMessage(0, buffer, sizeof buffer), 0);
  EXPECT_EQ(LoadMessage(200, buffer, sizeof buffer), 0);
  EXPECT_EQ(LoadMessage(12001, buffer, sizeof buffer), 0);
  // Too small for the message: refused, buffer untouched.
  memset(buffer, 'Z', sizeof buffer);
  EXPECT_EQ(LoadMessage(404, buffer, 29), -1);
  EXPECT_EQ(buffer[0], 'Z');
  EXPECT_EQ(LoadMessage(404, buffer, 30), 29);
  EXPECT_EQ(std::string(kFallbackMessage), Sjis(u8"不明なエラーが発生しました。"));
  EXPECT_EQ(strlen(kFallbackMessage), 28u);
}

// One entry per code: the message lookups and lumox's descriptions read the same table, so a
// code listed twice would give the two readers different answers.
TEST(MessageTable, EachCodeOnceWithAText) {
  size_t count = 0;
  const CodeMeaning *table = AllCodeMeanings(&count);
  size_t messages = 0, descriptions = 0;
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) EXPECT_LT(table[i - 1].code, table[i].code) << "at " << table[i].code;
    EXPECT_TRUE(table[i].message != nullptr || table[i].description != nullptr) << table[i].code;
    messages += table[i].message != nullptr;
    descriptions += table[i].description != nullptr;
  }
  EXPECT_EQ(messages, 50u);
  EXPECT_NE(FindCodeMeaning(404)->message, nullptr);
  EXPECT_EQ(FindCodeMeaning(12045)->message, nullptr);
  EXPECT_STREQ(FindCodeMeaning(39)->description, "the disk is full");
  EXPECT_EQ(FindCodeMeaning(200), nullptr);
  EXPECT_GE(descriptions, 31u);
}

TEST(Settings, DefaultsWithoutAFile) {
  ModuleInFolder module("");
  ASSERT_TRUE(module.ok());
  static WCHAR path[kSettingsPathChars] = {'u', 0};
  EXPECT_EQ(FindSettingsFile(path), 0);
  EXPECT_EQ(Utf8(path), "u");
  EXPECT_EQ(FindSettingsFile(nullptr), 0);

  HINTERNET session = InternetOpenA("Lumox/1.0", 1 /* direct */, nullptr, nullptr, 0);
  ASSERT_NE(session, nullptr);
  TotalLimitMs.store(1234);
  ApplyTimeouts(&session);
  EXPECT_OPTION(session, INTERNET_OPTION_CONNECT_TIMEOUT, 60000u);
  EXPECT_OPTION(session, INTERNET_OPTION_RECEIVE_TIMEOUT, 300000u);
  EXPECT_OPTION(session, INTERNET_OPTION_SEND_TIMEOUT, 300000u);
  EXPECT_OPTION(session, INTERNET_OPTION_CONNECT_RETRIES, 2u);
  EXPECT_EQ(TotalLimitMs.load(), 0u);
  InternetCloseHandle(session);
}

TEST(Settings, FileBesideTheLibraryIsReadOnEveryApplication) {
  ModuleInFolder module("[HTTP_SETTING]\r\nTotal=10\r\n");
  ASSERT_TRUE(module.ok());
  static WCHAR path[kSettingsPathChars] = {0};
  ASSERT_EQ(FindSettingsFile(path), 1);
  EXPECT_EQ(Utf8(path), lumox_test::JoinPath(module.copy().dir(), "Lumox.ini"));

  HINTERNET session = InternetOpenA("Lumox/1.0", 1, nullptr, nullptr, 0);
  ASSERT_NE(session, nullptr);
  ApplyTimeouts(&session);
  EXPECT_EQ(TotalLimitMs.load(), 10000u);
  EXPECT_OPTION(session, INTERNET_OPTION_CONNECT_TIMEOUT, 60000u);
  EXPECT_OPTION(session, INTERNET_OPTION_RECEIVE_TIMEOUT, 300000u);

  module.copy().WriteIni("[HTTP_SETTING]\r\nConnect=5\r\nReceive=7\r\nSend=9\r\nTotal=0\r\n");
  ApplyTimeouts(&session);
  EXPECT_OPTION(session, INTERNET_OPTION_CONNECT_TIMEOUT, 5000u);
  EXPECT_OPTION(session, INTERNET_OPTION_RECEIVE_TIMEOUT, 7000u);
  EXPECT_OPTION(session, INTERNET_OPTION_SEND_TIMEOUT, 9000u);
  EXPECT_EQ(TotalLimitMs.load(), 0u);
  InternetCloseHandle(session);
}

// A settings file that is there but cannot be read may hold CertCheck=1: the checks stay on,
// the time-outs take their defaults. A Lumox.ini that is a folder cannot be read anywhere.
TEST(Settings, UnreadableFileKeepsCertificateChecksOn) {
  ModuleInFolder module("[HTTP_SETTING]\r\nCertCheck=0\r\nTotal=10\r\n");
  ASSERT_TRUE(module.ok());
  EXPECT_EQ(ReadCertCheck(), 0);
  std::string ini = lumox_test::JoinPath(module.copy().dir(), "Lumox.ini");
  ASSERT_TRUE(DeleteFileA(ini.c_str()));
  EXPECT_EQ(ReadCertCheck(), 0);  // no file: as before, no checks asked for
  ASSERT_TRUE(CreateDirectoryA(ini.c_str(), nullptr));
  EXPECT_EQ(ReadCertCheck(), 1);
  HINTERNET session = InternetOpenA("Lumox/1.0", 1, nullptr, nullptr, 0);
  ASSERT_NE(session, nullptr);
  TotalLimitMs.store(1234);
  ApplyTimeouts(&session);
  EXPECT_EQ(TotalLimitMs.load(), 0u);
  EXPECT_OPTION(session, INTERNET_OPTION_CONNECT_TIMEOUT, 60000u);
  InternetCloseHandle(session);
  RemoveDirectoryA(ini.c_str());
}

TEST(Settings, TotalLimitUsesUnsignedTickDifference) {
  TotalLimitMs.store(0);
  EXPECT_FALSE(TotalLimitReached(GetTickCount() - 100000));
  TotalLimitMs.store(50);
  EXPECT_TRUE(TotalLimitReached(GetTickCount() - 50));
  TotalLimitMs.store(0xFFFFFFFFu);
  EXPECT_FALSE(TotalLimitReached(GetTickCount()));
  TotalLimitMs.store(0);
}
