// The eight transfer exports: which engine and form each one uses, their start and end
// trace lines, and the arguments they pass on.
#include <functional>

#include "integration_support.h"

namespace lumox_it {
namespace {

class Exports : public LibSuite {};

TEST_F(Exports, EachExportWritesItsStartAndEndLines) {
  std::string target = files_.Path("t.bin");
  std::string file = files_.Path("f.bin");
  WriteFileBytes(file, "f");
  const char *proxy = "127.0.0.1";
  int port = Server().proxyPort;
  struct Case {
    const char *tag;
    const char *start;
    const char *end;
    std::function<int(const std::string &)> call;
    bool proxied;
  };
  std::vector<Case> cases = {
      {"DL", "Download開始。", "Download終了。Return Code:%d",
       [&](const std::string &u) {
         return lib_->DownloadFile(u.c_str(), nullptr, target.c_str(), 0);
       },
       false},
      {"DL", "Download開始--Agent。", "Download終了。Return Code:%d",
       [&](const std::string &u) {
         return lib_->DownloadFileEx(u.c_str(), nullptr, target.c_str(), 0, 12345, proxy, port,
                                     "Kiva3", "7391");
       },
       true},
      {"DL", "Download開始--C。", "Download終了。Return Code:%d",
       [&](const std::string &u) {
         return lib_->DownloadFileC(u.c_str(), nullptr, 0, target.c_str(), 0);
       },
       false},
      {"DL", "Download開始--C--Agent。", "Download終了。Return Code:%d",
       [&](const std::string &u) {
         return lib_->DownloadFileExC(u.c_str(), nullptr, 0, target.c_str(), 0, -1, proxy, port,
                                      "Kiva3", "7391");
       },
       true},
      {"UL", "Upload開始。", "Upload終了。Return Code:%d",
       [&](const std::string &u) {
         return lib_->UploadFile(u.c_str(), nullptr, file.c_str(), "f", nullptr);
       },
       false},
      {"UL", "Upload開始--Agent。", "Upload終了。Return Code:%d",
       [&](const std::string &u) {
         return lib_->UploadFileEx(u.c_str(), nullptr, file.c_str(), nullptr, nullptr, 1, "", port,
                                   nullptr, nullptr);
       },
       false},
      {"UL", "Upload開始--C。", "Upload終了。Return Code:%d",
       [&](const std::string &u) {
         return lib_->UploadFileC(u.c_str(), nullptr, 0, file.c_str(), "f", nullptr);
       },
       false},
      {"UL", "Upload開始--C--Agent。", "Upload終了。Return Code:%d",
       [&](const std::string &u) {
         return lib_->UploadFileExC(u.c_str(), nullptr, 0, file.c_str(), "f", nullptr, 1, nullptr,
                                    port, nullptr, nullptr);
       },
       false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.start);
    lib_->ClearTrace();
    std::string id = UniqueId("ex");
    int result = c.call(c.proxied ? ProxiedUrl(id, "status/203") : HttpUrl(id, "status/203"));
    std::vector<std::string> lines = lib_->Trace(c.tag);
    char end[64];
    snprintf(end, sizeof end, c.end, result);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(c.start, lines.front());
    EXPECT_EQ(end, lines.back());
    auto all = lib_->Trace();
    EXPECT_EQ(c.start, all.front());
    EXPECT_EQ(end, all.back());
    // The two Ex uploads above have no proxy server: 10008; everything else reaches the
    // server, whose 203 comes back.
    bool noProxy = std::string(c.start).find("Upload開始--") == 0 &&
                   std::string(c.start).find("Agent") != std::string::npos;
    EXPECT_EQ(noProxy ? 10008 : 203, result);
  }
}

TEST_F(Exports, UsePostChoosesTheEngineAndAnyNonZeroValueMeansPost) {
  std::string target = files_.Path("t.bin");
  Pairs pairs{{"p", "1"}, {"q", "2"}};
  for (int usePost : {0, 1, 2, -1}) {
    SCOPED_TRACE(usePost);
    lib_->ClearTrace();
    std::string id = UniqueId("ex-post");
    ASSERT_EQ(0, lib_->DownloadFileC(HttpUrl(id, "body/8").c_str(), pairs.data(), pairs.count(),
                                     target.c_str(), usePost));
    EXPECT_EQ(Pattern(8), ReadFileBytes(target));
    auto records = Records(id);
    ASSERT_EQ(1u, records.size());
    auto trace = lib_->EngineTrace();
    if (usePost == 0) {
      EXPECT_EQ("GET /x/" + id + "/body/8?p=1&q=2 HTTP/1.1", records[0].requestLine);
      EXPECT_EQ(0, trace[1].find("HttpDownloadFileExBC。"));
    } else {
      EXPECT_EQ("POST /x/" + id + "/body/8 HTTP/1.1", records[0].requestLine);
      std::string b = BoundaryOf(records[0]);
      EXPECT_EQ(FieldSection(b, "p", "1") + FieldSection(b, "q", "2") + "--" + b + "--\r\n",
                records[0].body);
      EXPECT_EQ(0, trace[1].find("HttpUploadFileExBC。"));
      EXPECT_NE(std::string::npos, trace[1].find("    UpDown:0    "));
    }
  }
}

TEST_F(Exports, ProxyExportsIgnoreReservedAndOthersIgnoreNothingTheyDoNotTake) {
  std::string target = files_.Path("t.bin");
  for (int reserved : {0, 1, 0x7fffffff, -5}) {
    std::string id = UniqueId("ex-res");
    EXPECT_EQ(0,
              lib_->DownloadFileExC(ProxiedUrl(id, "body/3").c_str(), nullptr, 0, target.c_str(), 0,
                                    reserved, "127.0.0.1", Server().proxyPort, "Kiva3", "7391"));
    auto records = Records(id);
    ASSERT_EQ(1u, records.size());
    EXPECT_NE(std::string::npos, records[0].meta.find("\"via_proxy\": true"));
  }
  // The plain export goes direct.
  std::string id = UniqueId("ex-direct");
  EXPECT_EQ(0, lib_->DownloadFileC(HttpUrl(id, "body/3").c_str(), nullptr, 0, target.c_str(), 0));
  auto records = Records(id);
  ASSERT_EQ(1u, records.size());
  EXPECT_NE(std::string::npos, records[0].meta.find("\"via_proxy\": false"));
}

TEST_F(Exports, ProxyUserWithoutPasswordIsRefused) {
  // Only the user name is set: the proxy sees no valid credentials and answers 407.
  if (UnderWine()) {
    GTEST_SKIP() << "known platform difference: Wine's WinINet dereferences the missing proxy "
                    "password while answering the 407 and crashes the process";
  }
  std::string target = files_.Path("t.bin");
  std::string id = UniqueId("ex-useronly");
  EXPECT_EQ(407, lib_->DownloadFileExC(ProxiedUrl(id, "body/3").c_str(), nullptr, 0, target.c_str(),
                                       0, 1, "127.0.0.1", Server().proxyPort, "Kiva3", nullptr));
  EXPECT_TRUE(Records(id).empty());
  EXPECT_FALSE(FileExists(target));
}

}  // namespace
}  // namespace lumox_it
