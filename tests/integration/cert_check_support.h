// What the certificate-check tests share: a suite whose library copy reads "CertCheck" from
// its Lumox.ini, rewritten by each test, and the transfers they make. The tests run in
// programs of their own: Wine's WinINet keeps certificate decisions and TLS connections for
// the whole process, so an earlier relaxed transfer would let a later checked one pass.
#pragma once
#include "integration_support.h"

namespace lumox_it {

// https://localhost:<port>/x/<id>/<directives>: the good test certificate names the host
// both as IP:127.0.0.1 and as DNS:localhost, and Wine's name check matches DNS names only.
inline std::string LocalhostUrl(int port, const std::string &id, const std::string &directives) {
  return "https://localhost:" + std::to_string(port) + "/x/" + id + "/" + directives;
}

class CertCheckSuite : public LibSuite {
 protected:
  // Rewrites Lumox.ini with the trace on and these keys ("CertCheck=1"); the library reads
  // it again at the next transfer.
  void Keys(const std::vector<std::string> &keys) { lib_->copy().WriteIni(IniText(keys)); }
  int Get(const std::string &url, const std::string &target) {
    return DownloadC(url, target, nullptr, 0);
  }
  int Post(const std::string &url, const std::string &target) {
    return DownloadC(url, target, nullptr, 1);
  }
  int Put(const std::string &url, const std::string &file, const char *field,
          const std::string &reply) {
    return lib_->UploadFileC(url.c_str(), nullptr, 0, file.c_str(), field, reply.c_str());
  }
  // An upload through the test proxy, which makes the engine send its priming request.
  int PutViaProxy(const std::string &url, const std::string &file, const std::string &reply) {
    return lib_->UploadFileExC(url.c_str(), nullptr, 0, file.c_str(), "f", reply.c_str(), 1,
                               "127.0.0.1", Server().proxyPort, "Kiva3", "7391");
  }
};

}  // namespace lumox_it
