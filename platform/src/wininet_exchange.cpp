// The exchanges behind one send: redirects followed, Basic challenges of the origin and the
// proxy answered, refused connections tried again, and a tunnel the proxy refuses turned
// into the 407 the caller sees, the way WinINet does.
#include "wininet_internal.h"

#include <cstdlib>

namespace lumox_inet {

namespace {

const int kMaxRedirects = 30;

// Resolves a Location value against the request's current target and makes it the target.
// ERROR_HTTP_REDIRECT_FAILED when it cannot be followed; from HTTPS to plain HTTP only when the
// caller allowed that crossing, else ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR and the target
// stays as it was, so a send that is tried again does not go out in the clear either.
DWORD ResolveLocation(Request &r, const std::string &locationIn) {
  std::string location = EscapeSpaces(Trim(locationIn));
  size_t hash = location.find('#');
  if (hash != std::string::npos) location.resize(hash);
  if (location.empty()) return ERROR_HTTP_REDIRECT_FAILED;
  bool secure = r.secure;
  std::string host = r.host;
  unsigned port = r.port;
  std::string path;
  std::string rest;
  size_t schemeEnd = location.find("://");
  size_t firstSlash = location.find('/');
  if (schemeEnd != std::string::npos &&
      (firstSlash == std::string::npos || schemeEnd < firstSlash)) {
    std::string scheme = location.substr(0, schemeEnd);
    if (EqualsNoCase(scheme, "http"))
      secure = false;
    else if (EqualsNoCase(scheme, "https"))
      secure = true;
    else
      return ERROR_HTTP_REDIRECT_FAILED;
    rest = location.substr(schemeEnd + 1);  // starts with "//"
  } else if (location.compare(0, 2, "//") == 0) {
    rest = location;
  }
  if (!rest.empty()) {
    rest = rest.substr(2);
    size_t end = rest.find_first_of("/?");
    std::string authority = rest.substr(0, end);
    path = end == std::string::npos ? "/" : rest.substr(end);
    if (path[0] == '?') path = "/" + path;
    size_t at = authority.rfind('@');
    if (at != std::string::npos) authority = authority.substr(at + 1);
    if (!CrackHostPort(authority, DefaultPort(secure), &host, &port))
      return ERROR_HTTP_REDIRECT_FAILED;
  } else if (location[0] == '/') {
    path = location;
  } else {
    std::string base = r.path.substr(0, r.path.find('?'));
    size_t slash = base.rfind('/');
    base = slash == std::string::npos ? "/" : base.substr(0, slash + 1);
    path = base + location;
  }
  if (r.secure && !secure && !((r.flags | r.securityFlags) & INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTP))
    return ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR;
  if (!EqualsNoCase(host, r.host) || port != r.port || secure != r.secure) r.authorization.clear();
  r.secure = secure;
  r.host = host;
  r.port = port;
  r.path = path;
  r.redirected = true;
  return 0;
}

// Reads and drops the rest of a reply that is being answered by a new exchange, so the
// connection can carry the next one; a long body is cut off with its connection instead.
void DrainReply(Request &r) {
  Transfer &t = *r.transfer;
  r.recvQueue.clear();
  t.discard = true;
  Unpause(t);
  Pump(r, Until::End);
  EndTransfer(r);
}

bool IsRedirect(DWORD status) {
  return status == HTTP_STATUS_MOVED || status == HTTP_STATUS_REDIRECT ||
         status == HTTP_STATUS_REDIRECT_METHOD || status == HTTP_STATUS_REDIRECT_KEEP_VERB ||
         status == HTTP_STATUS_PERMANENT_REDIRECT;
}

// What follows one exchange of RunUntilHead.
enum class Next {
  Deliver,  // the reply (or the failure) goes to the caller
  Restart,  // a new exchange replaces the ended one
  Resend,   // the reply is drained, then a new exchange answers it
};

// What one send has tried so far.
struct Attempts {
  int redirects = 0;
  bool triedAuth = false;
  bool triedProxyAuth = false;
  unsigned retries = 0;  // connect retries left
};

// The proxy answered the tunnel's CONNECT with a 407.
bool TunnelRefused(const Request &r, const Transfer &t) {
  if (!ViaProxy(r) || !r.secure) return false;
  long connectCode = 0;
  curl_easy_getinfo(t.easy, CURLINFO_HTTP_CONNECTCODE, &connectCode);
  return connectCode == HTTP_STATUS_PROXY_AUTH_REQ;
}

// The Basic answer to the request's proxy, or "" when there are no credentials for it.
std::string ProxyBasicAnswer(const Request &r) {
  ProxyServer *p = ProxyOf(r);
  if (p == nullptr) return std::string();
  std::string user, password;
  ProxyCredentialsOf(r, *p, &user, &password);
  return user.empty() ? std::string() : BasicCredentials(user, password);
}

// The exchange ended without a reply head.
DWORD OnNoHead(Request &r, Attempts &a, Next *next) {
  const Transfer &t = *r.transfer;
  if (TunnelRefused(r, t)) {
    NoteProxySchemes(r);
    std::string answer = ProxyBasicAnswer(r);
    if (!a.triedProxyAuth && !answer.empty() && !CurlAnsweredProxy(t)) {
      a.triedProxyAuth = true;
      r.proxyAuthorization = answer;
      *next = Next::Restart;
      return 0;
    }
    EndTransfer(r);
    MakeProxyRefusal(r);
    return 0;
  }
  if (t.headTooLarge) return ERROR_HTTP_INVALID_SERVER_RESPONSE;
  // curl refuses a reply header line over its own limit (100 KiB) as if memory ran out:
  // that head is too large to accept as well.
  if (t.result == CURLE_OUT_OF_MEMORY && (t.connected || t.headBytes > 0))
    return ERROR_HTTP_INVALID_SERVER_RESPONSE;
  if (t.result == CURLE_COULDNT_CONNECT && a.retries > 0 && !t.connected) {
    --a.retries;
    *next = Next::Restart;
    return 0;
  }
  if (t.result == CURLE_OK) return ERROR_HTTP_INVALID_SERVER_RESPONSE;
  return MapCurlError(t, t.result);
}

// A reply head is there: it goes to the caller unless a challenge or a redirect is answered.
DWORD OnReplyHead(Request &r, Body &body, Attempts &a, Next *next) {
  const Transfer &t = *r.transfer;
  TakeReply(r, t);
  if (!t.statusLine.empty() && r.status == 0) return ERROR_HTTP_INVALID_SERVER_RESPONSE;
  // A body whose length is announced twice differently, or not as a number, has no end
  // the caller could check: the reply is refused before any of it is read.
  if (!ContentLengthIsConsistent(r.replyHeaders)) return ERROR_HTTP_INVALID_SERVER_RESPONSE;
  ProxyServer *proxy = ProxyOf(r);
  bool tunnel = proxy && r.secure;
  NoteProxySchemes(r);
  bool proxyAuthSent = !r.proxyAuthorization.empty();
  if (tunnel && proxyAuthSent) proxy->acceptedBasic = r.proxyAuthorization;
  if (!tunnel && proxy && proxyAuthSent && r.status != HTTP_STATUS_PROXY_AUTH_REQ)
    proxy->acceptedBasic = r.proxyAuthorization;
  bool canResend = body != Body::Stream;
  bool mayAuthenticate = canResend && !(r.flags & INTERNET_FLAG_NO_AUTH);
  const Options &o = r.options;
  // A Digest or NTLM challenge curl answered and that came back is the server's last word.
  // The connection's credentials answer only their own origin; another one that asks after a
  // redirect gets its 401 passed on.
  if (r.status == HTTP_STATUS_DENIED && mayAuthenticate && !a.triedAuth && !o.userName.empty() &&
      AtCredentialOrigin(r) && !CurlAnsweredOrigin(t) &&
      HasBasicChallenge(r.replyHeaders, "WWW-Authenticate")) {
    a.triedAuth = true;
    r.authorization = BasicCredentials(o.userName, o.password);
    *next = Next::Resend;
    return 0;
  }
  std::string answer = ProxyBasicAnswer(r);
  if (r.status == HTTP_STATUS_PROXY_AUTH_REQ && mayAuthenticate && !tunnel && proxy &&
      !a.triedProxyAuth && !answer.empty() && !CurlAnsweredProxy(t) &&
      HasBasicChallenge(r.replyHeaders, "Proxy-Authenticate")) {
    a.triedProxyAuth = true;
    if (answer != r.proxyAuthorization || !proxyAuthSent) {
      r.proxyAuthorization = answer;
      *next = Next::Resend;
      return 0;
    }
  }
  if (!IsRedirect(r.status) || (r.flags & INTERNET_FLAG_NO_AUTO_REDIRECT)) return 0;
  int loc = FindHeader(r.replyHeaders, "Location");
  bool keepVerb =
      r.status == HTTP_STATUS_REDIRECT_KEEP_VERB || r.status == HTTP_STATUS_PERMANENT_REDIRECT;
  bool toGet = !keepVerb && r.verb != "GET" && r.verb != "HEAD";
  if (loc < 0 || (!canResend && keepVerb)) return 0;
  if (++a.redirects > kMaxRedirects) return ERROR_HTTP_REDIRECT_FAILED;
  std::string location = r.replyHeaders[loc].value;
  if (DWORD err = ResolveLocation(r, location)) return err;
  if (ProxyOf(r) != proxy) {
    // The new target goes through another proxy (or none), which gets its own credentials
    // only: those of the configured HTTP proxy must not reach the HTTPS one.
    ProxyServer *now = ProxyOf(r);
    r.proxyAuthorization = now ? now->acceptedBasic : std::string();
    a.triedProxyAuth = false;
  }
  if (toGet) {
    r.verb = "GET";
    body = Body::None;
    int cl;
    while ((cl = FindHeader(r.headers, "Content-Length")) >= 0)
      r.headers.erase(r.headers.begin() + cl);
  }
  if (body == Body::Stream) body = Body::None;
  *next = Next::Resend;
  return 0;
}

// A configured proxy (not one the library named) with credentials and no known way of
// authenticating is asked first with the request's head and no body, as the library's own
// priming request asks a named one, so that the streamed body goes out with the answer to its
// challenge rather than into a 407. A proxy that asks for nothing passes the probe on.
void ProbeConfiguredProxy(Request &r) {
  ProxyServer *p = ProxyOf(r);
  if (p == nullptr || !p->configured || r.secure || !p->acceptedBasic.empty() || p->scheme ||
      !r.proxyAuthorization.empty() || ProxyBasicAnswer(r).empty())
    return;
  r.probing = true;
  DWORD err = StartTransfer(r, Body::None);
  if (!err) err = Pump(r, Until::ReplyHead);
  r.probing = false;
  if (err || !r.transfer->headDone) {
    // The streamed exchange meets the same fault and reports it.
    EndTransfer(r);
    return;
  }
  const Transfer &t = *r.transfer;
  size_t sp = t.statusLine.find(' ');
  unsigned long status =
      sp == std::string::npos ? 0 : std::strtoul(t.statusLine.c_str() + sp + 1, nullptr, 10);
  NoteProxySchemes(r);
  if (status == HTTP_STATUS_PROXY_AUTH_REQ && !p->scheme &&
      HasBasicChallenge(t.headers, "Proxy-Authenticate"))
    r.proxyAuthorization = ProxyBasicAnswer(r);
  DrainReply(r);
}

}  // namespace

void MakeProxyRefusal(Request &r) {
  r.httpVersion = "HTTP/1.1";
  r.status = HTTP_STATUS_PROXY_AUTH_REQ;
  r.statusText = "Proxy Authentication Required";
  r.replyHeaders.clear();
  r.synthetic = true;
}

// Runs exchanges until a reply head is there that goes to the caller: follows redirects and
// answers Basic challenges when the request can be sent again (its body is known, or there is
// none). A body streamed with InternetWriteFile is gone once sent, so a 401 or 407 to such a
// request goes to the caller as its status from HttpEndRequestA (no ERROR_INTERNET_FORCE_RETRY
// round trip). Through a proxy the library first sends a body-less priming request; its 407 is
// answered here, the session notes the accepted Basic credentials or the Digest or NTLM scheme
// the proxy asked for, and the streamed request that follows carries the credentials at once
// (Basic), or lets curl open the handshake with a body-less probe before the body (Digest;
// NTLM on a new connection), so it passes the proxy. Digest and NTLM challenges are answered
// by curl inside one exchange; only its last reply comes here.
DWORD RunUntilHead(Request &r, Body body) {
  Attempts a;
  a.retries = r.options.connectRetries;
  for (;;) {
    DWORD err = Pump(r, Until::ReplyHead);
    if (err) return err;
    Next next = Next::Deliver;
    err = r.transfer->headDone ? OnReplyHead(r, body, a, &next) : OnNoHead(r, a, &next);
    if (err || next == Next::Deliver) return err;
    if (next == Next::Resend)
      DrainReply(r);
    else
      EndTransfer(r);
    if ((err = StartTransfer(r, body))) return err;
  }
}

// Opens the exchange of HttpSendRequestExA and waits until the connection (with TLS or the
// proxy tunnel) is up, so that connect and certificate failures come from that call. A
// refused connection is tried again as often as the connect retries allow; a tunnel the proxy
// refuses is answered once with the proxy credentials (Basic by the layer, Digest and NTLM by
// curl), and if it stays refused the caller gets the 407 at HttpEndRequestA. A configured
// proxy is probed first (ProbeConfiguredProxy).
DWORD ConnectForStream(Request &r) {
  unsigned retries = r.options.connectRetries;
  bool triedProxyAuth = false;
  ProbeConfiguredProxy(r);
  for (;;) {
    DWORD err = StartTransfer(r, Body::Stream);
    if (err) return err;
    Transfer &t = *r.transfer;
    err = Pump(r, Until::Connected);
    if (err) return err;
    if (t.connected || t.headDone || !t.done) return 0;
    if (TunnelRefused(r, t)) {
      NoteProxySchemes(r);
      std::string answer = ProxyBasicAnswer(r);
      if (!triedProxyAuth && !answer.empty() && !CurlAnsweredProxy(t)) {
        triedProxyAuth = true;
        r.proxyAuthorization = answer;
        continue;
      }
      EndTransfer(r);
      r.refusedTunnel = true;
      return 0;
    }
    if (t.result == CURLE_COULDNT_CONNECT && retries > 0) {
      --retries;
      continue;
    }
    if (t.result == CURLE_OK) return ERROR_HTTP_INVALID_SERVER_RESPONSE;
    return MapCurlError(t, t.result);
  }
}

}  // namespace lumox_inet
