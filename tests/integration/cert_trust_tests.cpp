// "CertCheck" in Lumox.ini with the test CA trusted by the platform for this process only:
// a checked transfer succeeds against the certificate that chains to it and names the
// host, and the wrong-name and expired certificates each fail with their own code.
//
// How the test CA is trusted without changing anything outside the test's environment:
// on Linux through SSL_CERT_FILE, which the platform layer reads as OpenSSL does; under
// Wine by adding it to the root store of the test's own Wine prefix, removed again at the
// end (ctest runs this program alone, so no other test sees the CA trusted).
#include "cert_check_support.h"

#ifdef _WIN32
#include <wincrypt.h>
#else
#include <stdlib.h>
#endif

namespace lumox_it {
namespace {

#ifdef _WIN32
// The DER bytes of a PEM certificate.
std::vector<BYTE> DerOf(const std::string &pem) {
  DWORD size = 0;
  if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                            nullptr, &size, nullptr, nullptr))
    return {};
  std::vector<BYTE> der(size);
  if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                            der.data(), &size, nullptr, nullptr))
    return {};
  der.resize(size);
  return der;
}

HCERTSTORE OpenRootStore() {
  return CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE,
                       "Root");
}

bool TrustCa(const std::string &caFile) {
  std::vector<BYTE> der = DerOf(ReadFileBytes(caFile));
  HCERTSTORE store = OpenRootStore();
  if (der.empty() || store == nullptr) return false;
  BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(),
                                                static_cast<DWORD>(der.size()),
                                                CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  CertCloseStore(store, 0);
  return added != FALSE;
}

// Removes the CA from the root store again; false when it is still there.
bool ForgetCa(const std::string &caFile) {
  std::vector<BYTE> der = DerOf(ReadFileBytes(caFile));
  PCCERT_CONTEXT ca = der.empty() ? nullptr
                                  : CertCreateCertificateContext(X509_ASN_ENCODING, der.data(),
                                                                 static_cast<DWORD>(der.size()));
  if (ca == nullptr) return false;
  bool gone = false;
  for (int pass = 0; pass < 2 && !gone; ++pass) {
    HCERTSTORE store = OpenRootStore();
    if (store == nullptr) break;
    PCCERT_CONTEXT found =
        CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, ca, nullptr);
    gone = found == nullptr;
    if (found != nullptr) CertDeleteCertificateFromStore(found);
    CertCloseStore(store, 0);
  }
  CertFreeCertificateContext(ca);
  return gone;
}
#else
bool TrustCa(const std::string &caFile) { return setenv("SSL_CERT_FILE", caFile.c_str(), 1) == 0; }
bool ForgetCa(const std::string &) { return unsetenv("SSL_CERT_FILE") == 0; }
#endif

class CertCheckTrusted : public CertCheckSuite {
 protected:
  static void SetUpTestSuite() {
    CertCheckSuite::SetUpTestSuite();
    trusted_ = !Server().caCert.empty() && TrustCa(Server().caCert);
  }
  static void TearDownTestSuite() {
    if (trusted_) EXPECT_TRUE(ForgetCa(Server().caCert)) << "the test CA is still trusted";
    CertCheckSuite::TearDownTestSuite();
  }
  void SetUp() override {
    CertCheckSuite::SetUp();
    ASSERT_TRUE(trusted_) << "the test CA could not be trusted: " << Server().caCert;
  }
  static bool trusted_;
};
bool CertCheckTrusted::trusted_ = false;

TEST_F(CertCheckTrusted, CheckedTransfersPassOnlyWithTheRightNameAndDate) {
  Keys({"CertCheck=1"});
  std::string id = UniqueId("ct-good");
  std::string target = files_.Path("g.bin");
  WriteFileBytes(target, "old");
  ASSERT_EQ(0, Get(LocalhostUrl(Server().httpsPort, id, "body/3000"), target));
  EXPECT_EQ(Pattern(3000), ReadFileBytes(target));
  EXPECT_EQ(1, CountOf(lib_->Trace(), "HttpSendRequest"));
  auto records = Records(id);
  ASSERT_EQ(1u, records.size());
  EXPECT_NE(std::string::npos, records[0].meta.find("\"tls\": true"));

  struct Case {
    int port;
    int code;
    const char *wine;  // why Wine differs, or null
  } cases[] = {{Server().httpsWrongNamePort, 12038, nullptr},
               {Server().httpsExpiredPort, 12037, nullptr}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.code);
    lib_->ClearTrace();
    std::string bad = UniqueId("ct-bad");
    std::string file = files_.Path("b.bin");
    int result = Get(LocalhostUrl(c.port, bad, "body/10"), file);
    if (c.wine)
      EXPECT_WINDOWS(EXPECT_EQ(c.code, result), c.wine);
    else
      EXPECT_EQ(c.code, result);
    EXPECT_EQ(4, CountOf(lib_->Trace(), "HttpSendRequest"));
    EXPECT_FALSE(FileExists(file));
    EXPECT_TRUE(Records(bad).empty());
  }
}

TEST_F(CertCheckTrusted, CheckedUploadAndDownloadByPostPass) {
  Keys({"CertCheck=1"});
  std::string id = UniqueId("ct-ul");
  std::string file = files_.Path("u.bin");
  std::string reply = files_.Path("r.bin");
  WriteFileBytes(file, Pattern(5000));
  ASSERT_EQ(0, Put(LocalhostUrl(Server().httpsPort, id, "echo"), file, nullptr, reply));
  EXPECT_EQ(Pattern(5000), ReadFileBytes(reply));
  EXPECT_EQ(0, CountOf(lib_->Trace(), "HttpSendRequestEx"));  // written only after a failure

  std::string target = files_.Path("p.bin");
  ASSERT_EQ(0, Post(LocalhostUrl(Server().httpsPort, id, "body/20"), target));
  EXPECT_EQ(Pattern(20), ReadFileBytes(target));
  EXPECT_EQ(2u, Records(id).size());

  // The upload's real request is refused by the expired certificate's date.
  lib_->ClearTrace();
  std::string expired = UniqueId("ct-ulx");
  std::string reply2 = files_.Path("r2.bin");
  EXPECT_EQ(12037,
            Put(LocalhostUrl(Server().httpsExpiredPort, expired, "echo"), file, "f", reply2));
  EXPECT_EQ(4, CountOf(lib_->Trace(), "HttpSendRequestEx"));
  EXPECT_FALSE(FileExists(reply2));
  EXPECT_TRUE(Records(expired).empty());
}

}  // namespace
}  // namespace lumox_it
