// The host and port of a URL's authority, read one way for every URL the layer takes apart:
// InternetCrackUrlA, redirect targets, proxy variables and the proxy of InternetOpenA.
#include "platform_internal.h"

#include <string.h>

namespace lumox_platform {

namespace {

// The host without the brackets of an IPv6 address.
std::string BareHost(const Authority &a) {
  if (a.hostLength >= 2 && a.host[0] == '[' && a.host[a.hostLength - 1] == ']')
    return std::string(a.host + 1, a.hostLength - 2);
  return std::string(a.host, a.hostLength);
}

}  // namespace

bool SplitAuthority(const char *text, size_t length, Authority *out) {
  *out = Authority();
  const char *end = text + length;
  const char *hostEnd = end;
  if (length > 0 && text[0] == '[') {
    // An IPv6 address: its colons are the address's own.
    const char *close = static_cast<const char *>(memchr(text, ']', length));
    if (close == nullptr) return false;
    hostEnd = close + 1;
    if (hostEnd < end && *hostEnd != ':') return false;
  } else {
    for (const char *p = text; p < end; ++p)
      if (*p == ':') hostEnd = p;
  }
  out->host = text;
  out->hostLength = static_cast<size_t>(hostEnd - text);
  if (hostEnd < end) {
    out->port = hostEnd + 1;
    out->portLength = static_cast<size_t>(end - out->port);
  }
  return true;
}

bool PortOf(const char *text, size_t length, unsigned defaultPort, unsigned *port) {
  if (text == nullptr || length == 0) {
    *port = defaultPort;
    return true;
  }
  unsigned long value = 0;
  for (size_t i = 0; i < length; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + static_cast<unsigned long>(text[i] - '0');
    if (value > kMaxPort) return false;
  }
  if (value == 0) return false;
  *port = static_cast<unsigned>(value);
  return true;
}

bool CrackHostPort(const std::string &authority, unsigned defaultPort, std::string *host,
                   unsigned *port) {
  Authority a;
  if (!SplitAuthority(authority.data(), authority.size(), &a) ||
      !PortOf(a.port, a.portLength, defaultPort, port))
    return false;
  *host = BareHost(a);
  return !host->empty();
}

}  // namespace lumox_platform
