// The library against real servers (tests/peers/peers.py starts them): nginx as origin with
// static files over HTTP and HTTPS, a 404, redirects and a chunked reply; PHP behind it as
// receiver of downloads by POST and of multipart and raw uploads; squid as forward proxy
// asking for Basic, Digest or NTLM. Each case checks what the server received (PHP's report,
// nginx's and squid's access logs), not only the result code. On Linux the proxy variables
// of the environment are the system's configured proxy and are tested here too.
#include <stdio.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <thread>

#include "integration_support.h"

#ifdef _WIN32
#include <wincrypt.h>
#else
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
extern char **environ;
#endif

namespace lumox_it {
namespace {

// ----- the servers -----

struct Peers {
  std::string unavailable;  // why there are no servers, or ""
  std::map<std::string, std::string> info;
  std::string operator[](const std::string &key) const {
    auto it = info.find(key);
    return it == info.end() ? std::string() : it->second;
  }
  int Port(const std::string &key) const { return atoi((*this)[key].c_str()); }
};

const Peers &P() {
  static Peers peers = [] {
    Peers p;
    const char *file = getenv("LUMOX_PEERS_INFO");
    std::ifstream in(NativePath(file ? file : ""));
    std::string line;
    while (std::getline(in, line)) {
      size_t eq = line.find('=');
      if (eq != std::string::npos) p.info[line.substr(0, eq)] = line.substr(eq + 1);
    }
    p.unavailable = p["unavailable"];
    if (p.info.empty()) p.unavailable = "no info file (LUMOX_PEERS_INFO): peers.py did not run";
    return p;
  }();
  return peers;
}

const char *kUser = "kiva";
const char *kPassword = "s3cret";

// The origin as the client names it: directly by loopback name (the certificate names
// "localhost"), through a proxy by a name only the proxies resolve (Windows would take a
// loopback origin past the proxy). HTTPS through a proxy goes to the port whose idle
// connections close soon, so that squid logs the tunnel while the test waits.
std::string OriginPort(bool https, bool proxied) {
  return P()[!https ? "http_port" : proxied ? "https_tunnel_port" : "https_port"];
}

std::string Origin(bool https, bool proxied) {
  return std::string(https ? "https://" : "http://") +
         (proxied ? P()["origin"] : std::string("localhost")) + ":" + OriginPort(https, proxied);
}

// What squid logs for a request through it.
std::string Logged(bool https, const std::string &method, const std::string &url) {
  return https ? "CONNECT " + P()["origin"] + ":" + OriginPort(true, true) : method + " " + url;
}

struct Squid {
  const char *scheme;  // "basic", "digest", "ntlm"
  int port() const { return P().Port(std::string("squid_") + scheme + "_port"); }
  std::string log() const { return P()[std::string("squid_") + scheme + "_log"]; }
};

// An access log read from where it stood when the watch began: the lines a transfer added.
// squid's record of a connection that sent nothing ("- error:...", the start-up check of
// peers.py) is left out.
class LogWatch {
 public:
  explicit LogWatch(const std::string &path) : path_(NativePath(path)), skip_(Read().size()) {}
  // The new lines once one of them contains `awaited` and the log has then been quiet for
  // 300 ms, or after 10 s. A server writes its line when the exchange is over, which may be
  // just after the client has its reply, and a transfer may make several exchanges (the
  // priming request and the real one, each perhaps answered 407 first): the first line
  // that matches need not be the last line the transfer adds.
  std::vector<std::string> Lines(const std::string &awaited) const {
    std::vector<std::string> lines = Current();
    bool seen = false;
    int quiet = 0;
    for (int i = 0; i < 200; ++i) {
      for (const std::string &l : lines)
        if (l.find(awaited) != std::string::npos) seen = true;
      if (seen && quiet >= 6) return lines;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      std::vector<std::string> next = Current();
      quiet = next.size() == lines.size() ? quiet + 1 : 0;
      lines = next;
    }
    return lines;
  }
  // The new lines as they stand.
  std::vector<std::string> Current() const {
    std::vector<std::string> lines = Read();
    lines.erase(lines.begin(), lines.begin() + std::min(skip_, lines.size()));
    auto idle = [](const std::string &l) { return l.compare(0, 2, "- ") == 0; };
    lines.erase(std::remove_if(lines.begin(), lines.end(), idle), lines.end());
    return lines;
  }

 private:
  std::vector<std::string> Read() const {
    std::vector<std::string> out;
    std::ifstream in(path_);
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
  }
  std::string path_;
  size_t skip_;
};

// The squid lines of one transfer: every exchange was
// either refused for credentials (407) or passed with the user named (200), and the last one
// passed. NTLM's test helper names the user with its own decorations around "kiva".
void ExpectAuthenticated(const std::vector<std::string> &lines, const std::string &target) {
  ASSERT_FALSE(lines.empty()) << "squid logged nothing for " << target;
  for (const std::string &l : lines) {
    EXPECT_EQ(0u, l.find(target)) << l;
    EXPECT_TRUE(l.find(" 407 ") != std::string::npos || l.find(" 200 ") != std::string::npos) << l;
  }
  const std::string &last = lines.back();
  size_t ok = last.find(" 200 ");
  ASSERT_NE(std::string::npos, ok) << last;
  EXPECT_NE(std::string::npos, last.find(kUser, ok)) << last;
}

// True when the file holds exactly `size` bytes of the pattern (byte[i] = i % 251).
::testing::AssertionResult FileIsPattern(const std::string &path, size_t size) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return ::testing::AssertionFailure() << path << " is missing";
  std::vector<char> block(1 << 20);
  size_t offset = 0;
  while (in) {
    in.read(block.data(), static_cast<std::streamsize>(block.size()));
    size_t n = static_cast<size_t>(in.gcount());
    for (size_t i = 0; i < n; ++i, ++offset) {
      if (static_cast<unsigned char>(block[i]) != offset % 251)
        return ::testing::AssertionFailure() << path << " differs at byte " << offset;
    }
  }
  if (offset != size) return ::testing::AssertionFailure() << path << " has " << offset << " bytes";
  return ::testing::AssertionSuccess();
}

// ----- the test CA, trusted for this program only -----

#ifdef _WIN32
// Under Wine the CA goes into the root store of the build's own prefix and out again at the
// end (CTest runs this program alone).
std::vector<BYTE> DerOf(const std::string &pem) {
  DWORD size = 0;
  const DWORD kind = CRYPT_STRING_BASE64HEADER;
  if (!CryptStringToBinaryA(pem.c_str(), 0, kind, nullptr, &size, nullptr, nullptr)) return {};
  std::vector<BYTE> der(size);
  if (!CryptStringToBinaryA(pem.c_str(), 0, kind, der.data(), &size, nullptr, nullptr)) return {};
  der.resize(size);
  return der;
}

bool SetCaTrusted(const std::string &caFile, bool trusted) {
  std::vector<BYTE> der = DerOf(ReadFileBytes(NativePath(caFile)));
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_A, 0, 0,
                                   CERT_SYSTEM_STORE_LOCAL_MACHINE, "Root");
  if (der.empty() || store == nullptr) return false;
  BOOL ok = FALSE;
  if (trusted) {
    ok = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(),
                                          static_cast<DWORD>(der.size()),
                                          CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  } else if (PCCERT_CONTEXT ca = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(),
                                                              static_cast<DWORD>(der.size()))) {
    PCCERT_CONTEXT found =
        CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, ca, nullptr);
    ok = found == nullptr || CertDeleteCertificateFromStore(found);
    CertFreeCertificateContext(ca);
  }
  CertCloseStore(store, 0);
  return ok != FALSE;
}
#else
bool SetCaTrusted(const std::string &caFile, bool trusted) {
  return trusted ? setenv("SSL_CERT_FILE", caFile.c_str(), 1) == 0 : unsetenv("SSL_CERT_FILE") == 0;
}
#endif

// ----- the suite -----

// One library copy with "CertCheck=1": every HTTPS transfer must pass the real certificate
// check against the test CA.
class PeersTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!P().unavailable.empty()) return;
    trusted_ = SetCaTrusted(P()["ca_cert"], true);
    lib_ = new Lib({"CertCheck=1"});
  }
  static void TearDownTestSuite() {
    delete lib_;
    lib_ = nullptr;
    if (trusted_) {
      EXPECT_TRUE(SetCaTrusted(P()["ca_cert"], false)) << "the test CA stays trusted";
    }
    trusted_ = false;
  }
  void SetUp() override {
    if (!P().unavailable.empty()) GTEST_SKIP() << "peers: " << P().unavailable;
    ASSERT_TRUE(trusted_) << "the test CA could not be trusted";
  }
  // A file of `size` pattern bytes in the scratch folder; `utf8Name` may be Japanese, and
  // the path the library gets is in code page 932.
  std::string PatternFile(const std::string &utf8Name, size_t size) {
#ifdef _WIN32
    std::string path = files_.Path(Sjis(utf8Name));
    WriteFileBytes(path, Pattern(size));
#else
    WriteFileBytes(files_.Path(utf8Name), Pattern(size));
    std::string path = Sjis(files_.Path(utf8Name));
#endif
    return path;
  }
  static Lib *lib_;
  static bool trusted_;
  Scratch files_;
};
Lib *PeersTest::lib_ = nullptr;
bool PeersTest::trusted_ = false;

// The four download exports: automation or plain lists, with or without a proxy.
enum class Form { Automation, Plain };

struct ProxyArgs {
  const Squid *squid = nullptr;  // null: no proxy
  const char *user = kUser;
  const char *password = kPassword;
};

// The parameters of most cases: one ASCII pair and one Japanese pair.
const std::vector<std::pair<std::string, std::string>> kPairs = {{"peer", "lumox"},
                                                                 {"kana", Sjis(u8"日本語の値")}};
const std::vector<HostPair> kHostPairs = {{u"peer", u"lumox"}, {u"kana", u"日本語の値"}};

int Download(Lib &lib, Form form, const std::string &url, const std::string &target, int usePost,
             const ProxyArgs &proxy = {}) {
  Pairs pairs(kPairs);
  HostArray host(kHostPairs);
  int port = proxy.squid ? proxy.squid->port() : 0;
  if (form == Form::Automation) {
    if (!proxy.squid)
      return lib.DownloadFile(url.c_str(), host.variable(), target.c_str(), usePost);
    return lib.DownloadFileEx(url.c_str(), host.variable(), target.c_str(), usePost, 0, "127.0.0.1",
                              port, proxy.user, proxy.password);
  }
  if (!proxy.squid)
    return lib.DownloadFileC(url.c_str(), pairs.data(), pairs.count(), target.c_str(), usePost);
  return lib.DownloadFileExC(url.c_str(), pairs.data(), pairs.count(), target.c_str(), usePost, 0,
                             "127.0.0.1", port, proxy.user, proxy.password);
}

int Upload(Lib &lib, Form form, const std::string &url, const std::string &file, const char *field,
           const std::string &reply, const ProxyArgs &proxy = {}) {
  Pairs pairs(kPairs);
  HostArray host(kHostPairs);
  int port = proxy.squid ? proxy.squid->port() : 0;
  if (form == Form::Automation) {
    if (!proxy.squid)
      return lib.UploadFile(url.c_str(), host.variable(), file.c_str(), field, reply.c_str());
    return lib.UploadFileEx(url.c_str(), host.variable(), file.c_str(), field, reply.c_str(), 0,
                            "127.0.0.1", port, proxy.user, proxy.password);
  }
  if (!proxy.squid)
    return lib.UploadFileC(url.c_str(), pairs.data(), pairs.count(), file.c_str(), field,
                           reply.c_str());
  return lib.UploadFileExC(url.c_str(), pairs.data(), pairs.count(), file.c_str(), field,
                           reply.c_str(), 0, "127.0.0.1", port, proxy.user, proxy.password);
}

// kPairs as PHP's reports list them: "<prefix>name=value" lines.
std::string PairLines(const std::string &prefix) {
  return prefix + "peer=lumox\n" + prefix + "kana=" + Sjis(u8"日本語の値") + "\n";
}

// What upload.php reports for a file part of pattern bytes behind kPairs.
std::string UploadReport(const std::string &path, size_t size) {
  size_t slash = path.find_last_of("/\\");
  std::string n = std::to_string(size);
  return "file=f\nfull_path=" + path + "\nname=" + path.substr(slash + 1) + "\nerror=0\nsize=" + n +
         "\nsha256=" + P()["sha256_" + n] + "\n" + PairLines("field=") + "lfile-length=" + n + "\n";
}

// ----- nginx as origin -----

TEST_F(PeersTest, StaticFilesOverHttpAndHttps) {
  struct Case {
    const char *file;
    size_t size;
    bool https;
    Form form;
  } cases[] = {{"0.bin", 0, false, Form::Automation},
               {"1k.bin", 1024, false, Form::Plain},
               {"1m.bin", 1 << 20, false, Form::Automation},
               {"100m.bin", 100 << 20, false, Form::Plain},
               {"0.bin", 0, true, Form::Plain},
               {"1k.bin", 1024, true, Form::Automation},
               {"1m.bin", 1 << 20, true, Form::Plain},
               {"100m.bin", 100 << 20, true, Form::Automation}};
  for (const Case &c : cases) {
    std::string id = UniqueId("static");
    SCOPED_TRACE(id + " " + c.file);
    LogWatch nginx(P()["nginx_log"]);
    std::string target = files_.Path(id + ".bin");
    std::string path = "/s/" + id + "/" + c.file;
    ASSERT_EQ(0, Download(*lib_, c.form, Origin(c.https, false) + path, target, 0));
    EXPECT_TRUE(FileIsPattern(target, c.size));
    std::string port = P()[c.https ? "https_port" : "http_port"];
    EXPECT_EQ(std::vector<std::string>{"GET " + path +
                                       "?peer=lumox&kana=%93%FA%96%7B%8C%EA%82%CC%92l 200 " +
                                       std::to_string(c.size) + " " + port + " via=\"-\" te=\"-\""},
              nginx.Lines(path));
  }
}

TEST_F(PeersTest, NotFoundLeavesTheTargetAsItWas) {
  std::string id = UniqueId("missing");
  std::string target = files_.Path("kept.bin");
  WriteFileBytes(target, "old");
  LogWatch nginx(P()["nginx_log"]);
  EXPECT_EQ(404, Download(*lib_, Form::Plain, Origin(false, false) + "/s/" + id + "/none.bin",
                          target, 0));
  EXPECT_EQ("old", ReadFileBytes(target));
  EXPECT_EQ(std::vector<std::string>{"kept.bin"}, files_.Names());
  std::vector<std::string> lines = nginx.Lines(id);
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(0u, lines[0].find("GET /s/" + id + "/none.bin?peer=lumox&")) << lines[0];
  EXPECT_NE(std::string::npos, lines[0].find(" 404 ")) << lines[0];
}

TEST_F(PeersTest, RedirectsAreFollowed) {
  for (const char *status : {"301", "302"}) {
    SCOPED_TRACE(status);
    std::string id = UniqueId("redirect");
    std::string target = files_.Path(id + ".bin");
    LogWatch nginx(P()["nginx_log"]);
    ASSERT_EQ(0, Download(*lib_, Form::Automation, Origin(false, false) + "/r/" + id + "/" + status,
                          target, 0));
    EXPECT_TRUE(FileIsPattern(target, 1024));
    std::string to = std::string(status) == "301" ? "/s/moved/1k.bin" : "/s/found/1k.bin";
    std::vector<std::string> lines = nginx.Lines(to);
    ASSERT_EQ(2u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find("/r/" + id + "/" + status + "?")) << lines[0];
    EXPECT_NE(std::string::npos, lines[0].find(std::string(" ") + status + " ")) << lines[0];
    EXPECT_EQ(0u, lines[1].find("GET " + to + " 200 1024 ")) << lines[1];
  }
}

TEST_F(PeersTest, ChunkedReplyArrivesWhole) {
  std::string id = UniqueId("chunked");
  std::string target = files_.Path("chunked.txt");
  std::string path = "/p/" + id + "/chunked.php";
  LogWatch nginx(P()["nginx_log"]);
  Pairs lines{{"lines", "40000"}};
  ASSERT_EQ(0, lib_->DownloadFileC((Origin(false, false) + path).c_str(), lines.data(),
                                   lines.count(), target.c_str(), 0));
  std::string expected;
  char line[16];
  for (int i = 0; i < 40000; ++i) {
    snprintf(line, sizeof line, "%07d\n", i);
    expected += line;
  }
  EXPECT_EQ(expected, ReadFileBytes(target));
  std::vector<std::string> log = nginx.Lines(path);
  ASSERT_EQ(1u, log.size());
  EXPECT_NE(std::string::npos, log[0].find(" 200 ")) << log[0];
  EXPECT_NE(std::string::npos, log[0].find("te=\"chunked\"")) << log[0];
}

// ----- PHP as receiver -----

TEST_F(PeersTest, DownloadByPostAnswersFromTheFields) {
  for (Form form : {Form::Automation, Form::Plain}) {
    for (bool https : {false, true}) {
      std::string id = UniqueId("post");
      SCOPED_TRACE(id);
      std::string target = files_.Path(id + ".txt");
      ASSERT_EQ(0,
                Download(*lib_, form, Origin(https, false) + "/p/" + id + "/post.php", target, 1));
      EXPECT_EQ(PairLines(""), ReadFileBytes(target));
    }
  }
}

TEST_F(PeersTest, MultipartUploadReachesPhpWhole) {
  struct Case {
    const char *utf8Name;
    size_t size;
    Form form;
    bool https;
  } cases[] = {{u8"報告書.bin", 5000, Form::Automation, false},
               {"large.bin", 100 << 20, Form::Plain, false},
               {u8"報告書.bin", 1 << 20, Form::Plain, true}};
  for (const Case &c : cases) {
    std::string id = UniqueId("upload");
    SCOPED_TRACE(id);
    std::string file = PatternFile(c.utf8Name, c.size);
    std::string reply = files_.Path(id + ".txt");
    LogWatch nginx(P()["nginx_log"]);
    std::string path = "/p/" + id + "/upload.php";
    ASSERT_EQ(0, Upload(*lib_, c.form, Origin(c.https, false) + path, file, "f", reply));
    EXPECT_EQ(UploadReport(file, c.size), ReadFileBytes(reply));
    std::vector<std::string> lines = nginx.Lines(path);
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(0u, lines[0].find("POST " + path + " 200 ")) << lines[0];
  }
}

TEST_F(PeersTest, RawUploadReachesPhpWhole) {
  // An empty field name selects the raw body as a null one does; the pairs go into the query.
  struct Case {
    Form form;
    const char *field;
  } cases[] = {{Form::Automation, ""}, {Form::Plain, nullptr}};
  for (const Case &c : cases) {
    std::string id = UniqueId("raw");
    SCOPED_TRACE(id);
    std::string file = PatternFile("raw.bin", 1 << 20);
    std::string reply = files_.Path(id + ".txt");
    ASSERT_EQ(0, Upload(*lib_, c.form, Origin(false, false) + "/p/" + id + "/raw.php", file,
                        c.field, reply));
    EXPECT_EQ("size=1048576\nsha256=" + P()["sha256_1048576"] + "\n" + PairLines("get=") +
                  "content-type=\n",
              ReadFileBytes(reply));
  }
}

// ----- squid as forward proxy -----

const Squid kBasic{"basic"};
const Squid kDigest{"digest"};
const Squid kNtlm{"ntlm"};

// What Wine's WinINet cannot do with a scheme, or null when it should manage.
const char *WineLacks(const Squid &squid) {
  if (std::string(squid.scheme) == "digest") return "Wine's WinINet does not answer Digest";
  if (std::string(squid.scheme) == "ntlm")
    return "Wine's NTLM needs an external helper (ntlm_auth) this machine does not have";
  return nullptr;
}

using ThroughSquid = PeersTest;

TEST_F(ThroughSquid, DownloadsAndUploadsWithEachScheme) {
  struct Case {
    const Squid *squid;
    enum { Get, Post, Put } kind;
    bool https;
    size_t size;  // of the file fetched or sent
    Form form;
  } cases[] = {
      {&kBasic, Case::Get, false, 1 << 20, Form::Plain},
      {&kBasic, Case::Get, true, 1024, Form::Automation},
      {&kBasic, Case::Post, false, 0, Form::Automation},
      {&kBasic, Case::Put, false, 300000, Form::Plain},
      {&kBasic, Case::Put, true, 300000, Form::Automation},
      {&kDigest, Case::Get, false, 100 << 20, Form::Plain},
      {&kDigest, Case::Get, true, 1 << 20, Form::Automation},
      {&kDigest, Case::Post, false, 0, Form::Plain},
      {&kDigest, Case::Post, true, 0, Form::Automation},
      {&kDigest, Case::Put, false, 300000, Form::Automation},
      {&kDigest, Case::Put, true, 300000, Form::Plain},
      {&kNtlm, Case::Get, false, 100 << 20, Form::Automation},
      {&kNtlm, Case::Get, true, 1 << 20, Form::Plain},
      {&kNtlm, Case::Post, false, 0, Form::Automation},
      {&kNtlm, Case::Post, true, 0, Form::Plain},
      {&kNtlm, Case::Put, false, 300000, Form::Plain},
      {&kNtlm, Case::Put, true, 300000, Form::Automation},
  };
  for (const Case &c : cases) {
    std::string id = UniqueId(c.squid->scheme);
    SCOPED_TRACE(id + (c.https ? " https" : " http") + " kind " + std::to_string(c.kind));
    LogWatch squidLog(c.squid->log());
    LogWatch nginx(P()["nginx_log"]);
    std::string target = files_.Path(id + ".bin");
    std::string base = Origin(c.https, true);
    std::string path;
    int result = 0;
    ProxyArgs proxy;
    proxy.squid = c.squid;
    if (c.kind == Case::Get) {
      path = "/s/" + id + "/" +
             (c.size == 1024      ? "1k.bin"
              : c.size == 1 << 20 ? "1m.bin"
                                  : "100m.bin");
      result = Download(*lib_, c.form, base + path, target, 0, proxy);
    } else if (c.kind == Case::Post) {
      path = "/p/" + id + "/post.php";
      result = Download(*lib_, c.form, base + path, target, 1, proxy);
    } else {
      path = "/p/" + id + "/upload.php";
      std::string file = PatternFile("sent.bin", c.size);
      result = Upload(*lib_, c.form, base + path, file, "f", target, proxy);
      if (result == 0) {
        EXPECT_EQ(UploadReport(file, c.size), ReadFileBytes(target));
      }
    }
    const char *lacks = WineLacks(*c.squid);
    if (c.kind != Case::Get && !lacks)
      lacks =
          "Wine keeps no proxy credentials between requests and its HttpEndRequestA does "
          "not answer the 407 of the real request";
    if (lacks) {
      EXPECT_WINDOWS(EXPECT_EQ(0, result), lacks);
    } else {
      EXPECT_EQ(0, result);
    }
    if (result != 0) {
      EXPECT_FALSE(FileExists(target));
      continue;
    }
    if (c.kind == Case::Get) {
      EXPECT_TRUE(FileIsPattern(target, c.size));
    } else if (c.kind == Case::Post) {
      EXPECT_EQ(PairLines(""), ReadFileBytes(target));
    }
    std::string logged = Logged(c.https, c.kind == Case::Get ? "GET" : "POST", base + path);
    std::vector<std::string> lines = squidLog.Lines(" 200 ");
    ExpectAuthenticated(lines, logged);
    // nginx got every request that reached it from squid (by the tunnel: no Via).
    std::vector<std::string> got = nginx.Lines(path);
    ASSERT_FALSE(got.empty());
    for (const std::string &l : got) {
      std::string via = c.https ? "via=\"-\"" : std::string("lumox-peers-") + c.squid->scheme;
      EXPECT_NE(std::string::npos, l.find(via)) << l;
      EXPECT_NE(std::string::npos, l.find(" 200 ")) << l;
    }
  }
}

TEST_F(ThroughSquid, RefusedCredentialsEndWith407AndWriteNothing) {
  // ntlm_fake_auth accepts any password, so only a missing user is refused there.
  struct Case {
    const Squid *squid;
    const char *user;
    const char *password;
    bool https;
    bool upload;
  } cases[] = {
      {&kBasic, kUser, "wrong", false, false},    {&kBasic, kUser, "wrong", true, false},
      {&kBasic, nullptr, nullptr, false, false},  {&kBasic, nullptr, nullptr, true, false},
      {&kBasic, kUser, "wrong", false, true},     {&kDigest, kUser, "wrong", false, false},
      {&kDigest, kUser, "wrong", true, false},    {&kDigest, kUser, "wrong", false, true},
      {&kDigest, nullptr, nullptr, false, false}, {&kNtlm, nullptr, nullptr, false, false},
  };
  for (const Case &c : cases) {
    std::string id = UniqueId(c.squid->scheme);
    SCOPED_TRACE(id + " user " + (c.user ? c.user : "none") + (c.https ? " https" : " http") +
                 (c.upload ? " upload" : " download"));
    std::string target = files_.Path("kept.bin");
    WriteFileBytes(target, "old");
    LogWatch nginx(P()["nginx_log"]);
    LogWatch squidLog(c.squid->log());
    ProxyArgs proxy;
    proxy.squid = c.squid;
    proxy.user = c.user;
    proxy.password = c.password;
    int result;
    std::string base = Origin(c.https, true) + "/s/" + id;
    if (c.upload) {
      std::string file = PatternFile("sent.bin", 2000);
      result = Upload(*lib_, Form::Plain, Origin(c.https, true) + "/p/" + id + "/upload.php", file,
                      "f", target, proxy);
    } else {
      result = Download(*lib_, Form::Plain, base + "/1k.bin", target, 0, proxy);
    }
    EXPECT_EQ(407, result);
    EXPECT_EQ("old", ReadFileBytes(target));
    std::vector<std::string> lines = squidLog.Lines(" 407 ");
    ASSERT_FALSE(lines.empty());
    for (const std::string &l : lines) EXPECT_NE(std::string::npos, l.find(" 407 ")) << l;
    EXPECT_TRUE(nginx.Current().empty());
  }
}

#ifndef _WIN32
// ----- the system's configured proxy on Linux: the proxy variables -----

// Sets the variables for one case and clears every proxy variable again afterwards.
class ProxyVariables {
 public:
  explicit ProxyVariables(const std::vector<std::pair<const char *, std::string>> &set) {
    Clear();
    for (const auto &v : set) setenv(v.first, v.second.c_str(), 1);
  }
  ~ProxyVariables() { Clear(); }
  static void Clear() {
    for (const char *n : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "no_proxy",
                          "NO_PROXY", "all_proxy", "ALL_PROXY"})
      unsetenv(n);
  }
};

std::string ProxyUrl(const Squid &squid, const std::string &password = kPassword) {
  return std::string("http://") + kUser + ":" + password +
         "@127.0.0.1:" + std::to_string(squid.port()) + "/";
}

TEST_F(PeersTest, ConfiguredProxyCarriesDownloadsAndUploads) {
  struct Case {
    const char *name;
    const Squid *squid;  // the squid the transfer must pass, or null: direct
    std::vector<std::pair<const char *, std::string>> variables;
    bool https;
    bool upload;
  } cases[] = {
      {"http_proxy, download", &kBasic, {{"http_proxy", ProxyUrl(kBasic)}}, false, false},
      {"http_proxy, upload", &kBasic, {{"http_proxy", ProxyUrl(kBasic)}}, false, true},
      {"http_proxy, Digest upload", &kDigest, {{"http_proxy", ProxyUrl(kDigest)}}, false, true},
      {"https_proxy, download", &kDigest, {{"https_proxy", ProxyUrl(kDigest)}}, true, false},
      {"HTTPS_PROXY, upload", &kNtlm, {{"HTTPS_PROXY", ProxyUrl(kNtlm)}}, true, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::string id = UniqueId("env");
    ProxyVariables variables(c.variables);
    LogWatch squidLog(c.squid->log());
    LogWatch nginx(P()["nginx_log"]);
    std::string base = Origin(c.https, true);
    std::string target = files_.Path(id + ".bin");
    std::string path;
    if (c.upload) {
      path = "/p/" + id + "/upload.php";
      std::string file = PatternFile("sent.bin", 300000);
      ASSERT_EQ(0, Upload(*lib_, Form::Plain, base + path, file, "f", target));
      EXPECT_EQ(UploadReport(file, 300000), ReadFileBytes(target));
    } else {
      path = "/s/" + id + "/1m.bin";
      ASSERT_EQ(0, Download(*lib_, Form::Automation, base + path, target, 0));
      EXPECT_TRUE(FileIsPattern(target, 1 << 20));
    }
    std::vector<std::string> lines = squidLog.Lines(" 200 ");
    std::string logged = Logged(c.https, c.upload ? "POST" : "GET", base + path);
    ExpectAuthenticated(lines, logged);
    // The upload reached PHP once: the layer's probe of the proxy stopped at the proxy.
    EXPECT_EQ(1u, nginx.Lines(path).size());
  }
}

TEST_F(PeersTest, ConfiguredProxyIsPassedByNoProxyAndUpperCaseHttpProxy) {
  // Each of these goes straight to nginx although a proxy variable names squid.
  std::string squid = ProxyUrl(kBasic);
  struct Case {
    const char *name;
    std::vector<std::pair<const char *, std::string>> variables;
  } cases[] = {
      {"no_proxy names the host", {{"http_proxy", squid}, {"no_proxy", "example.com, localhost"}}},
      {"NO_PROXY names the domain", {{"http_proxy", squid}, {"NO_PROXY", ".localhost"}}},
      {"no_proxy is *", {{"http_proxy", squid}, {"no_proxy", "*"}}},
      {"HTTP_PROXY is never read", {{"HTTP_PROXY", squid}}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::string id = UniqueId("direct");
    ProxyVariables variables(c.variables);
    LogWatch squidLog(kBasic.log());
    LogWatch nginx(P()["nginx_log"]);
    std::string path = "/s/" + id + "/1k.bin";
    std::string target = files_.Path(id + ".bin");
    ASSERT_EQ(0, Download(*lib_, Form::Plain, Origin(false, false) + path, target, 0));
    EXPECT_TRUE(FileIsPattern(target, 1024));
    std::vector<std::string> got = nginx.Lines(path);
    ASSERT_EQ(1u, got.size());
    EXPECT_NE(std::string::npos, got[0].find("via=\"-\"")) << got[0];
    EXPECT_TRUE(squidLog.Current().empty());
  }
}

TEST_F(PeersTest, ConfiguredProxyWithAWrongPasswordEndsWith407) {
  for (bool https : {false, true}) {
    SCOPED_TRACE(https ? "https_proxy" : "http_proxy");
    ProxyVariables variables({{https ? "https_proxy" : "http_proxy", ProxyUrl(kDigest, "wrong")}});
    std::string id = UniqueId("env407");
    std::string target = files_.Path("none.bin");
    EXPECT_EQ(
        407, Download(*lib_, Form::Plain, Origin(https, true) + "/s/" + id + "/1k.bin", target, 0));
    EXPECT_FALSE(FileExists(target));
  }
}

// Runs the lumox tool with these variables added to the environment; its exit status.
int RunLumox(const std::vector<std::string> &args, const std::vector<std::string> &variables) {
  const char *tool = getenv("LUMOX_CLI");
  if (tool == nullptr) return -1;
  std::vector<std::string> argv = {tool};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char *> av, ev;
  for (std::string &a : argv) av.push_back(&a[0]);
  av.push_back(nullptr);
  std::vector<std::string> env(variables);
  for (char **e = environ; *e; ++e) env.push_back(*e);
  for (std::string &e : env) ev.push_back(&e[0]);
  ev.push_back(nullptr);
  pid_t pid;
  if (posix_spawn(&pid, tool, nullptr, nullptr, av.data(), ev.data()) != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST_F(PeersTest, LumoxToolFollowsHttpsProxyAndNoProxy) {
  ASSERT_NE(nullptr, getenv("LUMOX_CLI")) << "LUMOX_CLI names the built lumox";
  ProxyVariables::Clear();
  std::string id = UniqueId("cli");
  std::string target = files_.Path("cli.bin");
  LogWatch squidLog(kDigest.log());
  std::string url = Origin(true, true) + "/s/" + id + "/1m.bin";
  ASSERT_EQ(0, RunLumox({"get", "-s", url, "-o", target}, {"https_proxy=" + ProxyUrl(kDigest)}));
  EXPECT_TRUE(FileIsPattern(target, 1 << 20));
  std::vector<std::string> lines = squidLog.Lines(" 200 ");
  ExpectAuthenticated(lines, Logged(true, "", ""));

  // A host in no_proxy is fetched directly, though https_proxy names squid.
  LogWatch nginx(P()["nginx_log"]);
  std::string direct = Origin(true, false) + "/s/" + id + "/1k.bin";
  ASSERT_EQ(0, RunLumox({"get", "-s", direct, "-o", target},
                        {"https_proxy=" + ProxyUrl(kDigest), "no_proxy=localhost"}));
  EXPECT_TRUE(FileIsPattern(target, 1024));
  std::vector<std::string> got = nginx.Lines("/s/" + id + "/1k.bin");
  ASSERT_FALSE(got.empty());
  for (const std::string &l : got) EXPECT_NE(std::string::npos, l.find("via=\"-\"")) << l;
}
#endif

// ----- origin authentication -----

// Last (a suite of its own): under Wine its Digest attempt leaves WinINet's credential cache in a
// state in which a later Digest or NTLM answer to a proxy crashes Wine itself
// (cache_authorization).
using OriginAuthentication = PeersTest;

TEST_F(OriginAuthentication, DigestOfPhp) {
  // The credentials travel in the URL; digest.php checks the answer to its own challenge.
  struct Case {
    const char *password;
    int result;
  } cases[] = {{"s3cret", 0}, {"wrong", 401}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.password);
    std::string id = UniqueId("digest");
    std::string target = files_.Path(std::string("welcome-") + c.password);
    std::string url = std::string("http://kiva:") + c.password + "@localhost:" + P()["http_port"] +
                      "/p/" + id + "/digest.php";
    LogWatch nginx(P()["nginx_log"]);
    int result = lib_->DownloadFileC(url.c_str(), nullptr, 0, target.c_str(), 0);
    EXPECT_WINDOWS(EXPECT_EQ(c.result, result), "Wine's WinINet does not answer Digest");
    EXPECT_EQ(c.result == 0 && result == 0 ? "welcome kiva\n" : "", ReadFileBytes(target));
    std::vector<std::string> lines = nginx.Lines(c.result == 0 && result == 0 ? " 200 " : " 401 ");
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(std::string::npos, lines[0].find(" 401 ")) << lines[0];  // the challenge
    if (result == 0) {
      EXPECT_NE(std::string::npos, lines.back().find(" 200 ")) << lines.back();
    }
  }
}

}  // namespace
}  // namespace lumox_it
