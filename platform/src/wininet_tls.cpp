// TLS of a secure exchange: the options set on curl, the certificate check against the
// system's trusted certificates that relaxes exactly the checks a request's security flags
// name (unknown CA, date, host name), and the WinINet error a failed handshake reports.
#include "wininet_internal.h"

#include <dlfcn.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

namespace lumox_inet {

namespace {

// The OpenSSL calls the check needs, found in the libraries libcurl already loaded, so
// the platform layer does not link OpenSSL itself.
struct Ossl {
  bool ok = false;
  void (*ctxSetVerify)(void *ctx, int mode, int (*cb)(int, void *)) = nullptr;
  int (*storeGetError)(void *store) = nullptr;
  void (*storeSetError)(void *store, int err) = nullptr;
  void *(*storeGetExData)(void *store, int idx) = nullptr;
  int (*sslStoreIdx)() = nullptr;
  void *(*sslGetCtx)(void *ssl) = nullptr;
};

void *OpenLib(const char *const *names) {
  for (const char *const *n = names; *n; ++n) {
    void *h = dlopen(*n, RTLD_LAZY | RTLD_NOLOAD);
    if (!h) h = dlopen(*n, RTLD_LAZY);
    if (h) return h;
  }
  return nullptr;
}

const Ossl &OpenSsl() {
  static Ossl o;
  static std::once_flag once;
  std::call_once(once, [] {
    const curl_version_info_data *v = curl_version_info(CURLVERSION_NOW);
    if (!v || !v->ssl_version || std::strncmp(v->ssl_version, "OpenSSL/", 8) != 0) return;
    static const char *const sslNames[] = {"libssl.so.3", "libssl.so.1.1", "libssl.so", nullptr};
    static const char *const cryptoNames[] = {"libcrypto.so.3", "libcrypto.so.1.1", "libcrypto.so",
                                              nullptr};
    void *ssl = OpenLib(sslNames);
    void *crypto = OpenLib(cryptoNames);
    if (!ssl || !crypto) return;
    o.ctxSetVerify = reinterpret_cast<decltype(o.ctxSetVerify)>(dlsym(ssl, "SSL_CTX_set_verify"));
    o.sslStoreIdx =
        reinterpret_cast<decltype(o.sslStoreIdx)>(dlsym(ssl, "SSL_get_ex_data_X509_STORE_CTX_idx"));
    o.sslGetCtx = reinterpret_cast<decltype(o.sslGetCtx)>(dlsym(ssl, "SSL_get_SSL_CTX"));
    o.storeGetError =
        reinterpret_cast<decltype(o.storeGetError)>(dlsym(crypto, "X509_STORE_CTX_get_error"));
    o.storeSetError =
        reinterpret_cast<decltype(o.storeSetError)>(dlsym(crypto, "X509_STORE_CTX_set_error"));
    o.storeGetExData =
        reinterpret_cast<decltype(o.storeGetExData)>(dlsym(crypto, "X509_STORE_CTX_get_ex_data"));
    o.ok = o.ctxSetVerify && o.sslStoreIdx && o.sslGetCtx && o.storeGetError && o.storeSetError &&
           o.storeGetExData;
  });
  return o;
}

// SSL_CTX of a connection being set up -> the transfer it belongs to.
std::mutex g_ctxLock;
std::map<void *, Transfer *> g_ctxOwner;

const int kSslVerifyPeer = 1;  // SSL_VERIFY_PEER

// X509_V_OK and X509_V_ERR_* values (stable across OpenSSL versions).
enum {
  kX509Ok = 0,
  kUnableToGetIssuerCert = 2,
  kCertNotYetValid = 9,
  kCertHasExpired = 10,
  kDepthZeroSelfSigned = 18,
  kSelfSignedInChain = 19,
  kUnableToGetIssuerLocally = 20,
  kUnableToVerifyLeaf = 21,
  kInvalidCa = 24,
  kCertUntrusted = 27,
};

int VerifyCallback(int preverifyOk, void *store) {
  if (preverifyOk) return 1;
  const Ossl &o = OpenSsl();
  void *ssl = o.storeGetExData(store, o.sslStoreIdx());
  void *ctx = ssl ? o.sslGetCtx(ssl) : nullptr;
  Transfer *t = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_ctxLock);
    auto it = g_ctxOwner.find(ctx);
    if (it != g_ctxOwner.end()) t = it->second;
  }
  if (!t || !t->owner) return 0;
  // Which check refused the certificate, and the security flag that relaxes it.
  DWORD ignoredBy = 0;
  bool *rejected = &t->certRejected;
  switch (o.storeGetError(store)) {
    case kUnableToGetIssuerCert:
    case kDepthZeroSelfSigned:
    case kSelfSignedInChain:
    case kUnableToGetIssuerLocally:
    case kUnableToVerifyLeaf:
    case kInvalidCa:
    case kCertUntrusted:
      ignoredBy = SECURITY_FLAG_IGNORE_UNKNOWN_CA;
      rejected = &t->caRejected;
      break;
    case kCertNotYetValid:
    case kCertHasExpired:
      ignoredBy = SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
      rejected = &t->dateRejected;
      break;
    default: break;
  }
  if (t->owner->securityFlags & ignoredBy) {
    o.storeSetError(store, kX509Ok);
    return 1;
  }
  *rejected = true;
  return 0;
}

CURLcode SslCtxFunction(CURL *, void *sslCtx, void *user) {
  const Ossl &o = OpenSsl();
  if (!o.ok) return CURLE_OK;
  Transfer *t = static_cast<Transfer *>(user);
  {
    std::lock_guard<std::mutex> lock(g_ctxLock);
    g_ctxOwner[sslCtx] = t;
  }
  o.ctxSetVerify(sslCtx, kSslVerifyPeer, VerifyCallback);
  return CURLE_OK;
}

// The trusted certificates are libcurl's default, the system's CA bundle. The variables
// OpenSSL itself reads for its default store, SSL_CERT_FILE (a bundle) and SSL_CERT_DIR (a
// hashed folder), replace that bundle or folder when set, as they do for OpenSSL's own
// tools; the tests use them to trust their own CA without touching the system's store.
void SetTrustedCertificates(CURL *easy, CURLoption fileOption, CURLoption dirOption) {
  // The library never changes the environment; a host that does so on another thread races
  // with every getenv of its own process too.
  const char *file = std::getenv("SSL_CERT_FILE");  // NOLINT(concurrency-mt-unsafe): see above
  if (file != nullptr && file[0] != '\0') curl_easy_setopt(easy, fileOption, file);
  const char *dir = std::getenv("SSL_CERT_DIR");  // NOLINT(concurrency-mt-unsafe): see above
  if (dir != nullptr && dir[0] != '\0') curl_easy_setopt(easy, dirOption, dir);
}

// The peer and host checks of one TLS connection (the server's or the proxy's) as the
// request's security flags allow, with the verify callback deciding where OpenSSL is at hand.
void SetChecks(CURL *easy, Transfer *t, CURLoption verifyPeer, CURLoption verifyHost) {
  DWORD flags = t->owner->securityFlags;
  // 2: the certificate must name the host; 0: the name is not checked.
  curl_easy_setopt(easy, verifyHost, (flags & SECURITY_FLAG_IGNORE_CERT_CN_INVALID) ? 0L : 2L);
  // With an unknown authority allowed, the trusted certificates cannot change the callback's
  // answer, so curl is told not to verify, which spares reading the system's bundle for every
  // connection (about 30 ms); the callback still refuses a certificate out of its dates, and
  // curl still checks the host name. Without OpenSSL hooks the chain check can only be on or
  // off as a whole.
  curl_easy_setopt(easy, verifyPeer, (flags & SECURITY_FLAG_IGNORE_UNKNOWN_CA) ? 0L : 1L);
  if (OpenSsl().ok) {
    curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, SslCtxFunction);
    curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, t);
  }
}

}  // namespace

void SetTlsOptions(CURL *easy, Transfer *t) {
  SetTrustedCertificates(easy, CURLOPT_CAINFO, CURLOPT_CAPATH);
  SetChecks(easy, t, CURLOPT_SSL_VERIFYPEER, CURLOPT_SSL_VERIFYHOST);
}

void SetProxyTlsOptions(CURL *easy, Transfer *t) {
  SetTrustedCertificates(easy, CURLOPT_PROXY_CAINFO, CURLOPT_PROXY_CAPATH);
  SetChecks(easy, t, CURLOPT_PROXY_SSL_VERIFYPEER, CURLOPT_PROXY_SSL_VERIFYHOST);
}

void ForgetTlsTransfer(Transfer *t) {
  std::lock_guard<std::mutex> lock(g_ctxLock);
  for (auto it = g_ctxOwner.begin(); it != g_ctxOwner.end();) {
    if (it->second == t)
      it = g_ctxOwner.erase(it);
    else
      ++it;
  }
}

DWORD MapTlsFailure(const Transfer &t, CURLcode code, long osErrno) {
  if (t.caRejected) return ERROR_INTERNET_INVALID_CA;
  if (t.dateRejected) return ERROR_INTERNET_SEC_CERT_DATE_INVALID;
  if (t.certRejected) return ERROR_INTERNET_SEC_INVALID_CERT;
  if (code == CURLE_PEER_FAILED_VERIFICATION) {
    // The chain passed (or was allowed); what is left is the host name check.
    return ERROR_INTERNET_SEC_CERT_CN_INVALID;
  }
  if (osErrno == ECONNRESET) return ERROR_INTERNET_CONNECTION_RESET;
  return ERROR_INTERNET_SECURITY_CHANNEL_ERROR;
}

DWORD SecurityFlagsOf(const Request &r) {
  DWORD flags = r.securityFlags;
  if (r.secure) flags |= SECURITY_FLAG_SECURE;
  return flags;
}

}  // namespace lumox_inet
