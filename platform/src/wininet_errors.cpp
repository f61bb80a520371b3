// WinINet error numbers for curl's results; a failed TLS handshake is told apart by the
// TLS unit, which knows which certificate check refused it.
#include "wininet_internal.h"

#include <cerrno>

namespace lumox_inet {

DWORD MapCurlError(const Transfer &t, CURLcode code) {
  long osErrno = 0;
  if (t.easy) curl_easy_getinfo(t.easy, CURLINFO_OS_ERRNO, &osErrno);
  switch (code) {
    case CURLE_OK: return 0;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY: return ERROR_INTERNET_NAME_NOT_RESOLVED;
    case CURLE_COULDNT_CONNECT: return ERROR_INTERNET_CANNOT_CONNECT;
    case CURLE_OPERATION_TIMEDOUT: return ERROR_INTERNET_TIMEOUT;
    case CURLE_URL_MALFORMAT: return ERROR_INTERNET_INVALID_URL;
    case CURLE_UNSUPPORTED_PROTOCOL: return ERROR_INTERNET_UNRECOGNIZED_SCHEME;
    case CURLE_OUT_OF_MEMORY: return ERROR_NOT_ENOUGH_MEMORY;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CACERT_BADFILE: return MapTlsFailure(t, code, osErrno);
    case CURLE_GOT_NOTHING:
    case CURLE_WEIRD_SERVER_REPLY:
      if (osErrno == ECONNRESET) return ERROR_INTERNET_CONNECTION_RESET;
      return ERROR_HTTP_INVALID_SERVER_RESPONSE;
    case CURLE_PARTIAL_FILE: return ERROR_INTERNET_CONNECTION_ABORTED;
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
      if (osErrno == ECONNRESET) return ERROR_INTERNET_CONNECTION_RESET;
      return ERROR_INTERNET_CONNECTION_ABORTED;
    case CURLE_TOO_MANY_REDIRECTS: return ERROR_HTTP_REDIRECT_FAILED;
    default: return ERROR_INTERNET_CONNECTION_ABORTED;
  }
}

}  // namespace lumox_inet
