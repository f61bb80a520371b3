// Proxies and authentication. A session's proxy is the one its caller named, or with
// INTERNET_OPEN_TYPE_PRECONFIG the system's configured one, which on Linux is set the usual
// way: the http_proxy, https_proxy and no_proxy environment variables, read as curl reads
// them. Basic challenges are answered by the layer's own headers (wininet_exchange.cpp);
// Digest and NTLM by curl inside an exchange, with the credentials the caller set on the
// handle or those of a configured proxy's URL.
#include "wininet_internal.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace lumox_inet {

namespace {

// curl's port of a proxy URL that names none.
const unsigned kDefaultProxyPort = 1080;
const unsigned kDefaultTlsProxyPort = 443;
const long kCurlSchemes = CURLAUTH_DIGEST | CURLAUTH_NTLM;

// The value of the first of the two variables that is set and not empty, or null. HTTP_PROXY
// is never read: a CGI program gets the request's "Proxy:" header under that name.
// The library never changes the environment; a host that does so while sessions open is
// racing with every getenv of its own process as well.
const char *Variable(const char *lower, const char *upper) {
  const char *v = std::getenv(lower);  // NOLINT(concurrency-mt-unsafe): see above
  // NOLINTNEXTLINE(concurrency-mt-unsafe): see above
  if ((v == nullptr || *v == '\0') && upper != nullptr) v = std::getenv(upper);
  return v != nullptr && *v != '\0' ? v : nullptr;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string PercentDecode(const std::string &s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    int hi = 0, lo = 0;
    if (s[i] == '%' && i + 2 < s.size() && (hi = HexDigit(s[i + 1])) >= 0 &&
        (lo = HexDigit(s[i + 2])) >= 0) {
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

// True when `host` (an IPv4 or IPv6 address) lies in the address or network `pattern`
// ("10.0.0.0/8", "::1"); both of the same family.
bool AddressMatches(int family, const unsigned char *host, const std::string &pattern) {
  std::string address = pattern;
  size_t slash = pattern.find('/');
  int bits = family == AF_INET ? 32 : 128;
  if (slash != std::string::npos) {
    address = pattern.substr(0, slash);
    std::string b = pattern.substr(slash + 1);
    if (b.empty() || b.size() > 3 || b.find_first_not_of("0123456789") != std::string::npos)
      return false;
    int n = static_cast<int>(std::strtoul(b.c_str(), nullptr, 10));  // digits only, checked
    if (n > bits) return false;
    bits = n;
  }
  unsigned char net[16];
  if (inet_pton(family, address.c_str(), net) != 1) return false;
  int whole = bits / 8;
  if (std::memcmp(host, net, static_cast<size_t>(whole)) != 0) return false;
  int rest = bits % 8;
  if (rest == 0) return true;
  unsigned mask = (0xFFu << (8 - rest)) & 0xFFu;
  return (host[whole] & mask) == (net[whole] & mask);
}

// The schemes curl answers for the proxy in this exchange: none without credentials or while
// the layer answers with Basic itself; the one the proxy asked for before; both before that,
// except for a streamed body going to a plain proxy, which curl would send before the
// challenge and could not send again. A tunnel's CONNECT carries no body.
long ProxySchemesFor(const Request &r, const ProxyServer &p, Body body, bool tunnel) {
  std::string user, password;
  ProxyCredentialsOf(r, p, &user, &password);
  if (user.empty() || r.probing || !r.proxyAuthorization.empty()) return 0;
  if (!tunnel && (r.flags & INTERNET_FLAG_NO_AUTH)) return 0;
  if (p.scheme) return p.scheme;
  if (body == Body::Stream && !tunnel) return 0;
  return kCurlSchemes;
}

// The schemes curl answers for the origin: with the connection's credentials, for the
// connection's own server, when the body can be sent again and Basic is not under way.
long OriginSchemesFor(const Request &r, Body body) {
  if (r.options.userName.empty() || r.probing || !r.authorization.empty()) return 0;
  if ((r.flags & INTERNET_FLAG_NO_AUTH) || body == Body::Stream) return 0;
  if (!AtCredentialOrigin(r)) return 0;
  return kCurlSchemes;
}

long Offered(const Transfer &t, CURLINFO info) {
  long offered = 0;
  if (!t.easy || curl_easy_getinfo(t.easy, info, &offered) != CURLE_OK) return 0;
  return offered;
}

}  // namespace

std::shared_ptr<ProxyServer> ParseProxyUrl(const std::string &text) {
  std::string s = Trim(text);
  auto p = std::make_shared<ProxyServer>();
  p->configured = true;
  size_t sep = s.find("://");
  if (sep != std::string::npos) {
    static const struct {
      const char *name;
      ProxyKind kind;
    } kSchemes[] = {{"http", ProxyKind::Http},     {"https", ProxyKind::Https},
                    {"socks4", ProxyKind::Socks4}, {"socks4a", ProxyKind::Socks4a},
                    {"socks5", ProxyKind::Socks5}, {"socks5h", ProxyKind::Socks5h}};
    std::string scheme = s.substr(0, sep);
    p->kind = ProxyKind::Unusable;
    for (const auto &known : kSchemes)
      if (EqualsNoCase(scheme, known.name)) p->kind = known.kind;
    if (p->kind == ProxyKind::Unusable) return nullptr;
    s = s.substr(sep + 3);
  }
  std::string authority = s.substr(0, s.find_first_of("/?#"));
  size_t at = authority.rfind('@');
  if (at != std::string::npos) {
    std::string userInfo = authority.substr(0, at);
    size_t colon = userInfo.find(':');
    p->user = PercentDecode(userInfo.substr(0, colon));
    if (colon != std::string::npos) p->password = PercentDecode(userInfo.substr(colon + 1));
    authority = authority.substr(at + 1);
  }
  unsigned defaultPort = p->kind == ProxyKind::Https ? kDefaultTlsProxyPort : kDefaultProxyPort;
  if (!CrackHostPort(authority, defaultPort, &p->host, &p->port)) return nullptr;
  return p;
}

bool NoProxyMatches(const std::string &list, const std::string &hostIn) {
  if (hostIn.empty()) return false;
  unsigned char address[16];
  int family = 0;
  if (inet_pton(AF_INET, hostIn.c_str(), address) == 1)
    family = AF_INET;
  else if (inet_pton(AF_INET6, hostIn.c_str(), address) == 1)
    family = AF_INET6;
  std::string host = hostIn;
  if (!family && host.back() == '.') host.pop_back();
  for (std::string entry : SplitList(list, ", \t")) {
    if (entry == "*") return true;
    if (family) {
      if (entry.size() > 2 && entry.front() == '[') {
        size_t close = entry.find(']');
        if (close != std::string::npos)
          entry = entry.substr(1, close - 1) + entry.substr(close + 1);
      }
      if (AddressMatches(family, address, entry)) return true;
      continue;
    }
    if (entry.back() == '.') entry.pop_back();
    if (!entry.empty() && entry[0] == '.') entry = entry.substr(1);
    if (entry.empty() || entry.size() > host.size()) continue;
    size_t offset = host.size() - entry.size();
    if (EqualsNoCase(host.substr(offset), entry) && (offset == 0 || host[offset - 1] == '.'))
      return true;
  }
  return false;
}

namespace {

// A proxy variable's value as the proxy it names; one this layer cannot use is kept as
// Unusable, so that the requests it is meant for fail rather than go direct.
std::shared_ptr<ProxyServer> ConfiguredProxy(const char *value) {
  std::shared_ptr<ProxyServer> p = ParseProxyUrl(value);
  if (p) return p;
  p = std::make_shared<ProxyServer>();
  p->kind = ProxyKind::Unusable;
  p->configured = true;
  return p;
}

}  // namespace

void LoadConfiguredProxies(Session &session) {
  if (const char *v = Variable("http_proxy", nullptr)) session.httpProxy = ConfiguredProxy(v);
  if (const char *v = Variable("https_proxy", "HTTPS_PROXY"))
    session.httpsProxy = ConfiguredProxy(v);
  if (const char *v = Variable("no_proxy", "NO_PROXY")) session.noProxy = v;
}

ProxyServer *RouteOf(const Request &r) {
  const Session &s = *r.connection->session;
  ProxyServer *p = (r.secure ? s.httpsProxy : s.httpProxy).get();
  if (p != nullptr && p->configured && NoProxyMatches(s.noProxy, r.host)) return nullptr;
  return p;
}

ProxyServer *ProxyOf(const Request &r) {
  ProxyServer *p = RouteOf(r);
  if (p == nullptr || (p->kind != ProxyKind::Http && p->kind != ProxyKind::Https)) return nullptr;
  return p;
}

bool ViaProxy(const Request &r) { return ProxyOf(r) != nullptr; }

void ProxyCredentialsOf(const Request &r, const ProxyServer &p, std::string *user,
                        std::string *password) {
  if (!r.options.proxyUserName.empty()) {
    *user = r.options.proxyUserName;
    *password = r.options.proxyPassword;
  } else {
    *user = p.user;
    *password = p.password;
  }
}

bool SetProxyAndAuthOptions(CURL *e, Request &r, Transfer &t, Body body, bool tunnel) {
  ProxyServer *route = RouteOf(r);
  ProxyServer *p = ProxyOf(r);
  if (route == nullptr) {
    // An empty proxy keeps curl away from the *_proxy environment variables.
    curl_easy_setopt(e, CURLOPT_PROXY, "");
  } else {
    static const long kTypeOf[] = {CURLPROXY_HTTP,    CURLPROXY_HTTPS,  CURLPROXY_SOCKS4,
                                   CURLPROXY_SOCKS4A, CURLPROXY_SOCKS5, CURLPROXY_SOCKS5_HOSTNAME};
    curl_easy_setopt(e, CURLOPT_PROXYTYPE, kTypeOf[static_cast<int>(route->kind)]);
    curl_easy_setopt(e, CURLOPT_PROXY, HostForUrl(route->host).c_str());
    curl_easy_setopt(e, CURLOPT_PROXYPORT, static_cast<long>(route->port));
    curl_easy_setopt(e, CURLOPT_NOPROXY, "");
    if (route->kind == ProxyKind::Https) SetProxyTlsOptions(e, &t);
  }
  if (route != nullptr && p == nullptr && !route->user.empty()) {
    // A SOCKS proxy's own user name and password (SOCKS5) or user id (SOCKS4).
    curl_easy_setopt(e, CURLOPT_PROXYUSERNAME, route->user.c_str());
    curl_easy_setopt(e, CURLOPT_PROXYPASSWORD, route->password.c_str());
  }
  if (p != nullptr) {
    if (long schemes = ProxySchemesFor(r, *p, body, tunnel)) {
      std::string user, password;
      ProxyCredentialsOf(r, *p, &user, &password);
      curl_easy_setopt(e, CURLOPT_PROXYAUTH, schemes);
      curl_easy_setopt(e, CURLOPT_PROXYUSERNAME, user.c_str());
      curl_easy_setopt(e, CURLOPT_PROXYPASSWORD, password.c_str());
      t.curlAnswersProxy = true;
    }
  }
  if (long schemes = OriginSchemesFor(r, body)) {
    curl_easy_setopt(e, CURLOPT_HTTPAUTH, schemes);
    curl_easy_setopt(e, CURLOPT_USERNAME, r.options.userName.c_str());
    curl_easy_setopt(e, CURLOPT_PASSWORD, r.options.password.c_str());
    t.curlAnswersOrigin = true;
  }
  bool inBand = t.curlAnswersOrigin || (t.curlAnswersProxy && !tunnel);
  if (inBand && !r.path.empty() && r.path[0] == '/') {
    // A Digest answer covers the request's target, which curl takes from the URL's path.
    std::string url = std::string(r.secure ? "https://" : "http://") + HostForUrl(r.host) + ":" +
                      std::to_string(r.port) + r.path;
    CURLU *parsed = curl_url();
    if (parsed != nullptr &&
        curl_url_set(parsed, CURLUPART_URL, url.c_str(), CURLU_PATH_AS_IS) == CURLUE_OK)
      curl_easy_setopt(e, CURLOPT_URL, url.c_str());
    curl_url_cleanup(parsed);
  }
  // curl's probe of a Digest or NTLM handshake goes out without the body, with its own length.
  return inBand && body != Body::None;
}

void NoteProxySchemes(Request &r) {
  ProxyServer *p = ProxyOf(r);
  if (p == nullptr || !r.transfer) return;
  long offered = Offered(*r.transfer, CURLINFO_PROXYAUTH_AVAIL);
  if (offered & CURLAUTH_DIGEST)
    p->scheme = CURLAUTH_DIGEST;
  else if (offered & CURLAUTH_NTLM)
    p->scheme = CURLAUTH_NTLM;
}

bool CurlAnsweredProxy(const Transfer &t) {
  return t.curlAnswersProxy && (Offered(t, CURLINFO_PROXYAUTH_AVAIL) & kCurlSchemes) != 0;
}

bool CurlAnsweredOrigin(const Transfer &t) {
  return t.curlAnswersOrigin && (Offered(t, CURLINFO_HTTPAUTH_AVAIL) & kCurlSchemes) != 0;
}

}  // namespace lumox_inet
