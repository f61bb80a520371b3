// A request's target: its URL, its host as it goes on the wire, and whether the connection's
// credentials and a proxy apply to it.
#include "wininet_internal.h"

namespace lumox_inet {

unsigned DefaultPort(bool secure) {
  return secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT;
}

std::string HostForUrl(const std::string &host) {
  if (host.find(':') != std::string::npos) return "[" + host + "]";
  return host;
}

std::string HostPort(const Request &r) {
  std::string s = HostForUrl(r.host);
  if (r.port != DefaultPort(r.secure)) s += ":" + std::to_string(r.port);
  return s;
}

std::string UrlOf(const Request &r) {
  return (r.secure ? "https://" : "http://") + HostPort(r) + r.path;
}

bool AtCredentialOrigin(const Request &r) {
  return r.secure == r.originSecure && r.port == r.originPort && EqualsNoCase(r.host, r.originHost);
}

// Spaces in an object name go out as %20, as WinINet sends them; every other byte is kept,
// except CR and LF, which would end the request line early and are escaped too.
std::string EscapeSpaces(const std::string &s) {
  std::string out;
  for (char c : s) {
    if (c == ' ')
      out += "%20";
    else if (c == '\r')
      out += "%0D";
    else if (c == '\n')
      out += "%0A";
    else
      out += c;
  }
  return out;
}

}  // namespace lumox_inet
