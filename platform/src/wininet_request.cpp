// HTTP requests over libcurl's multi interface, driven inside the calling API function (no
// threads): the request head is built here with WinINet's header set, the body is pushed by
// InternetWriteFile and pulled by InternetReadFile through bounded queues with curl's pause
// and unpause, and redirects and Basic challenges are answered the way WinINet does.
#include "wininet_internal.h"

#include <cstdlib>
#include <cstring>

namespace lumox_inet {

namespace {

const size_t kMaxHead = 256 * 1024;   // longest reply head accepted
const uint64_t kMaxDrain = 64 * 1024;  // body bytes read to keep a connection for a resend
const int kMaxRedirects = 30;

DWORD Effective(DWORD timeout) { return timeout == 0xFFFFFFFFu ? 0 : timeout; }

std::string HostForUrl(const std::string &host) {
  if (host.find(':') != std::string::npos) return "[" + host + "]";
  return host;
}

std::string HostPort(const Request &r) {
  std::string s = HostForUrl(r.host);
  if (r.port != (r.secure ? 443u : 80u)) s += ":" + std::to_string(r.port);
  return s;
}

bool ViaProxy(const Request &r) { return !r.connection->session->proxyHost.empty(); }

int FindHeader(const std::vector<Header> &list, const std::string &name, size_t from = 0) {
  for (size_t i = from; i < list.size(); ++i)
    if (EqualsNoCase(list[i].name, name)) return static_cast<int>(i);
  return -1;
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

// A verb is one token: no blanks and no control characters.
bool ValidVerb(const char *verb) {
  for (const char *p = verb; *p; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c <= ' ' || c == 0x7f) return false;
  }
  return true;
}

// ----- curl callbacks -----

size_t HeaderCallback(char *data, size_t size, size_t count, void *user) {
  Transfer *t = static_cast<Transfer *>(user);
  size_t len = size * count;
  t->lastActivityMs = NowMs();
  if (t->headDone) return len;  // trailers of a chunked body
  t->headBytes += len;
  if (t->headBytes > kMaxHead) {
    t->headTooLarge = true;
    return 0;
  }
  std::string line(data, len);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  if (line.empty()) {
    if (t->statusLine.empty()) return len;
    // An interim 1xx reply is followed by the real one.
    size_t sp = t->statusLine.find(' ');
    int code = sp == std::string::npos ? 0 : std::atoi(t->statusLine.c_str() + sp + 1);
    if (code >= 100 && code < 200) {
      t->statusLine.clear();
      t->headers.clear();
      return len;
    }
    t->headDone = true;
    return len;
  }
  if (line.compare(0, 5, "HTTP/") == 0) {
    t->statusLine = line;
    t->headers.clear();
  } else if ((line[0] == ' ' || line[0] == '\t') && !t->headers.empty()) {
    t->headers.back().value += " " + Trim(line);
  } else {
    size_t colon = line.find(':');
    if (colon == std::string::npos)
      t->headers.push_back({line, ""});
    else
      t->headers.push_back({line.substr(0, colon), Trim(line.substr(colon + 1))});
  }
  return len;
}

size_t WriteCallback(char *data, size_t size, size_t count, void *user) {
  Transfer *t = static_cast<Transfer *>(user);
  size_t len = size * count;
  t->lastActivityMs = NowMs();
  if (t->discard) {
    t->discarded += len;
    if (t->discarded > kMaxDrain) return 0;
    return len;
  }
  ByteQueue &q = t->owner->recvQueue;
  if (q.space() < len) {
    t->recvPaused = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  q.push(data, len);
  return len;
}

size_t ReadCallback(char *buffer, size_t size, size_t count, void *user) {
  Transfer *t = static_cast<Transfer *>(user);
  Request &r = *t->owner;
  size_t max = size * count;
  t->readCalled = true;
  t->lastActivityMs = NowMs();
  if (t->fixedBody) {
    size_t left = t->fixedBody->size() - t->fixedOffset;
    size_t n = left < max ? left : max;
    std::memcpy(buffer, t->fixedBody->data() + t->fixedOffset, n);
    t->fixedOffset += n;
    if (t->fixedOffset == t->fixedBody->size()) t->bodyHandedOver = true;
    return n;
  }
  if (!t->streaming) {
    t->bodyHandedOver = true;
    return 0;
  }
  size_t n = r.sendQueue.pop(buffer, max);
  if (r.sendQueue.size() == 0 && r.streamWritten >= r.streamTotal) t->bodyHandedOver = true;
  if (n > 0) return n;
  if (r.streamWritten >= r.streamTotal) return 0;
  t->sendPaused = true;
  return CURL_READFUNC_PAUSE;
}

int PrereqCallback(void *user, char *, char *, int, int) {
  Transfer *t = static_cast<Transfer *>(user);
  t->connected = true;
  t->lastActivityMs = NowMs();
  return CURL_PREREQFUNC_OK;
}

void Unpause(Transfer &t) {
  if (!t.easy || t.done || (!t.recvPaused && !t.sendPaused)) return;
  t.recvPaused = false;
  t.sendPaused = false;
  curl_easy_pause(t.easy, CURLPAUSE_CONT);
}

// ----- building one exchange -----

void AddLine(curl_slist **list, const std::string &name, const std::string &value) {
  // "Name;" is curl's way to send a header with an empty value.
  std::string line = value.empty() ? name + ";" : name + ": " + value;
  *list = curl_slist_append(*list, line.c_str());
}

enum class Body { None, Fixed, Stream };

// The request head WinINet sends: the caller's headers (Accept first, then those added with
// HttpAddRequestHeadersA, in that order), Host, Content-Length (every verb but GET),
// User-Agent, the no-cache lines of the request flags, the extra headers of the send call,
// the keep-alive line and the credentials. curl's own headers are switched off first, so the
// lines go out in exactly this order.
curl_slist *BuildHeaders(const Request &r, Body body, uint64_t bodyLength, bool tunnel) {
  curl_slist *list = nullptr;
  static const char *const suppressed[] = {"Host:", "Accept:", "Expect:", "Content-Type:",
                                           "Content-Length:", "Proxy-Connection:",
                                           "Connection:", "Transfer-Encoding:", "User-Agent:",
                                           "Pragma:", "Cache-Control:", "Authorization:",
                                           "Proxy-Authorization:", "Referer:"};
  for (const char *s : suppressed) list = curl_slist_append(list, s);
  const Session &session = *r.connection->session;
  bool plainProxy = ViaProxy(r) && !tunnel;
  auto present = [&r](const char *name) {
    return FindHeader(r.headers, name) >= 0 || FindHeader(r.extraHeaders, name) >= 0;
  };
  for (const Header &h : r.headers) AddLine(&list, h.name, h.value);
  if (!present("Host")) AddLine(&list, "Host", HostPort(r));
  bool sendLength = body != Body::None || r.verb != "GET";
  if (sendLength && !present("Content-Length")) AddLine(&list, "Content-Length", std::to_string(bodyLength));
  if (!session.agent.empty() && !present("User-Agent")) AddLine(&list, "User-Agent", session.agent);
  if ((r.flags & INTERNET_FLAG_PRAGMA_NOCACHE) && !present("Pragma")) AddLine(&list, "Pragma", "no-cache");
  if ((r.flags & INTERNET_FLAG_NO_CACHE_WRITE) && r.verb != "GET" && !present("Cache-Control"))
    AddLine(&list, "Cache-Control", "no-cache");
  for (const Header &h : r.extraHeaders) AddLine(&list, h.name, h.value);
  const char *keepName = plainProxy ? "Proxy-Connection" : "Connection";
  if ((r.flags & INTERNET_FLAG_KEEP_CONNECTION) && !present(keepName)) AddLine(&list, keepName, "Keep-Alive");
  if (!r.authorization.empty() && !present("Authorization")) AddLine(&list, "Authorization", r.authorization);
  if (plainProxy && !r.proxyAuthorization.empty() && !present("Proxy-Authorization"))
    AddLine(&list, "Proxy-Authorization", r.proxyAuthorization);
  return list;
}

DWORD StartTransfer(Request &r, Body body) {
  r.transfer.reset();
  r.recvQueue.clear();
  if (!r.multi) {
    r.multi = curl_multi_init();
    if (!r.multi) return ERROR_NOT_ENOUGH_MEMORY;
  }
  auto t = std::make_unique<Transfer>();
  t->owner = &r;
  t->easy = curl_easy_init();
  if (!t->easy) return ERROR_NOT_ENOUGH_MEMORY;
  CURL *e = t->easy;
  Session &session = *r.connection->session;
  bool proxy = ViaProxy(r);
  bool tunnel = proxy && r.secure;

  std::string url = std::string(r.secure ? "https://" : "http://") + HostForUrl(r.host) + ":" +
                    std::to_string(r.port) + "/";
  curl_easy_setopt(e, CURLOPT_URL, url.c_str());
  std::string target = r.path;
  if (proxy && !tunnel) target = "http://" + HostPort(r) + r.path;
  curl_easy_setopt(e, CURLOPT_REQUEST_TARGET, target.c_str());
  curl_easy_setopt(e, CURLOPT_PATH_AS_IS, 1L);
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_SHARE, session.share);
  curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t->errorText);
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(e, CURLOPT_HTTP_VERSION,
                   r.version == "HTTP/1.0" ? CURL_HTTP_VERSION_1_0 : CURL_HTTP_VERSION_1_1);
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(Effective(r.options.connectTimeout)));
  curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, HeaderCallback);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, t.get());
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, WriteCallback);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, t.get());
  curl_easy_setopt(e, CURLOPT_READFUNCTION, ReadCallback);
  curl_easy_setopt(e, CURLOPT_READDATA, t.get());
  curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, PrereqCallback);
  curl_easy_setopt(e, CURLOPT_PREREQDATA, t.get());
  curl_easy_setopt(e, CURLOPT_UPLOAD_BUFFERSIZE, 16384L);
  curl_easy_setopt(e, CURLOPT_BUFFERSIZE, 16384L);

  if (proxy) {
    std::string proxyUrl = "http://" + HostForUrl(session.proxyHost) + ":" + std::to_string(session.proxyPort);
    curl_easy_setopt(e, CURLOPT_PROXY, proxyUrl.c_str());
    curl_easy_setopt(e, CURLOPT_NOPROXY, "");
    if (tunnel) {
      curl_easy_setopt(e, CURLOPT_HTTPPROXYTUNNEL, 1L);
      curl_easy_setopt(e, CURLOPT_HEADEROPT, CURLHEADER_SEPARATE);
      curl_slist *ph = nullptr;
      ph = curl_slist_append(ph, "Proxy-Authorization:");
      ph = curl_slist_append(ph, "User-Agent:");
      if (!session.agent.empty()) AddLine(&ph, "User-Agent", session.agent);
      if (!r.proxyAuthorization.empty()) AddLine(&ph, "Proxy-Authorization", r.proxyAuthorization);
      t->proxyHeaderList = ph;
      curl_easy_setopt(e, CURLOPT_PROXYHEADER, ph);
    }
  } else {
    // An empty proxy keeps curl away from the *_proxy environment variables.
    curl_easy_setopt(e, CURLOPT_PROXY, "");
  }
  if (r.secure) InstallCertificateCheck(e, t.get());

  uint64_t bodyLength = 0;
  if (body == Body::Fixed) {
    t->fixedBody = &r.fixedBody;
    bodyLength = r.fixedBody.size();
    if (bodyLength == 0) t->bodyHandedOver = true;
  } else if (body == Body::Stream) {
    t->streaming = true;
    bodyLength = r.streamTotal;
    if (bodyLength == 0) t->bodyHandedOver = true;
  } else {
    t->bodyHandedOver = true;
  }
  curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, r.verb.c_str());
  if (r.verb == "HEAD") {
    curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
  } else if (body != Body::None || r.verb != "GET") {
    curl_easy_setopt(e, CURLOPT_POST, 1L);
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(bodyLength));
  } else {
    curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
  }
  t->headerList = BuildHeaders(r, body, bodyLength, tunnel);
  curl_easy_setopt(e, CURLOPT_HTTPHEADER, t->headerList);

  if (curl_multi_add_handle(r.multi, e) != CURLM_OK) return ERROR_INTERNET_INTERNAL_ERROR;
  t->added = true;
  t->lastActivityMs = NowMs();
  r.transfer = std::move(t);
  return 0;
}

// Runs curl until `ready` holds or the exchange ends. Inactivity limits: the connect
// time-out is curl's; after that the send time-out while body bytes are still going out,
// the receive time-out while waiting for the reply.
template <class Ready>
DWORD Pump(Request &r, Ready ready) {
  Transfer &t = *r.transfer;
  t.lastActivityMs = NowMs();
  for (;;) {
    if (ready()) return 0;
    if (t.done) return 0;
    int running = 0;
    curl_multi_perform(r.multi, &running);
    int left = 0;
    while (CURLMsg *m = curl_multi_info_read(r.multi, &left)) {
      if (m->msg == CURLMSG_DONE && m->easy_handle == t.easy) {
        t.done = true;
        t.result = m->data.result;
      }
    }
    if (ready() || t.done) return 0;
    uint64_t now = NowMs();
    long wait = 1000;
    if (t.connected) {
      DWORD limit = Effective(t.bodyHandedOver ? r.options.receiveTimeout : r.options.sendTimeout);
      if (limit) {
        uint64_t idle = now - t.lastActivityMs;
        if (idle >= limit) return ERROR_INTERNET_TIMEOUT;
        uint64_t rest = limit - idle;
        if (rest < static_cast<uint64_t>(wait)) wait = static_cast<long>(rest);
      }
    }
    if (t.recvPaused && t.sendPaused) return 0;  // nothing can move until the caller acts
    curl_multi_poll(r.multi, nullptr, 0, static_cast<int>(wait), nullptr);
  }
}

void EndTransfer(Request &r) { r.transfer.reset(); }

bool ParseStatus(const std::string &line, std::string *version, DWORD *code, std::string *text) {
  size_t sp = line.find(' ');
  if (sp == std::string::npos) return false;
  *version = line.substr(0, sp);
  size_t p = sp + 1;
  size_t sp2 = line.find(' ', p);
  std::string digits = line.substr(p, sp2 == std::string::npos ? std::string::npos : sp2 - p);
  if (digits.size() != 3) return false;
  for (char c : digits)
    if (c < '0' || c > '9') return false;
  *code = static_cast<DWORD>(std::atoi(digits.c_str()));
  *text = sp2 == std::string::npos ? "" : line.substr(sp2 + 1);
  return true;
}

bool HasBasicChallenge(const std::vector<Header> &headers, const char *name) {
  for (const Header &h : headers) {
    if (!EqualsNoCase(h.name, name)) continue;
    std::string v = Trim(h.value);
    if (v.size() >= 5 && EqualsNoCase(v.substr(0, 5), "basic")) return true;
  }
  return false;
}

// Resolves a Location value against the request's current target. False when it cannot be
// followed.
bool ResolveLocation(Request &r, const std::string &locationIn) {
  std::string location = EscapeSpaces(Trim(locationIn));
  size_t hash = location.find('#');
  if (hash != std::string::npos) location.resize(hash);
  if (location.empty()) return false;
  bool secure = r.secure;
  std::string host = r.host;
  unsigned port = r.port;
  std::string path;
  std::string rest;
  size_t schemeEnd = location.find("://");
  size_t firstSlash = location.find('/');
  if (schemeEnd != std::string::npos && (firstSlash == std::string::npos || schemeEnd < firstSlash)) {
    std::string scheme = location.substr(0, schemeEnd);
    if (EqualsNoCase(scheme, "http"))
      secure = false;
    else if (EqualsNoCase(scheme, "https"))
      secure = true;
    else
      return false;
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
    port = secure ? 443u : 80u;
    if (!authority.empty() && authority[0] == '[') {
      size_t close = authority.find(']');
      if (close == std::string::npos) return false;
      host = authority.substr(1, close - 1);
      if (close + 1 < authority.size() && authority[close + 1] == ':')
        port = static_cast<unsigned>(std::strtoul(authority.c_str() + close + 2, nullptr, 10));
    } else {
      size_t colon = authority.find(':');
      host = authority.substr(0, colon);
      if (colon != std::string::npos && colon + 1 < authority.size())
        port = static_cast<unsigned>(std::strtoul(authority.c_str() + colon + 1, nullptr, 10));
    }
    if (host.empty() || port == 0 || port > 65535) return false;
  } else if (location[0] == '/') {
    path = location;
  } else {
    std::string base = r.path.substr(0, r.path.find('?'));
    size_t slash = base.rfind('/');
    base = slash == std::string::npos ? "/" : base.substr(0, slash + 1);
    path = base + location;
  }
  if (!EqualsNoCase(host, r.host) || port != r.port || secure != r.secure) r.authorization.clear();
  r.secure = secure;
  r.host = host;
  r.port = port;
  r.path = path;
  r.redirected = true;
  return true;
}

// Reads and drops the rest of a reply that is being answered by a new exchange, so the
// connection can carry the next one; a long body is cut off with its connection instead.
void DrainReply(Request &r) {
  Transfer &t = *r.transfer;
  r.recvQueue.clear();
  t.discard = true;
  Unpause(t);
  Pump(r, [] { return false; });
  EndTransfer(r);
}

void TakeReply(Request &r, const Transfer &t) {
  ParseStatus(t.statusLine, &r.httpVersion, &r.status, &r.statusText);
  r.replyHeaders = t.headers;
  r.synthetic = false;
}

void MakeProxyRefusal(Request &r) {
  r.httpVersion = "HTTP/1.1";
  r.status = 407;
  r.statusText = "Proxy Authentication Required";
  r.replyHeaders.clear();
  r.synthetic = true;
}

// Runs exchanges until a reply head is there that goes to the caller: follows redirects and
// answers Basic challenges when the request can be sent again (its body is known, or there is
// none). A body streamed with InternetWriteFile is gone once sent, so a 401 or 407 to such a
// request goes to the caller as its status from HttpEndRequestA (no ERROR_INTERNET_FORCE_RETRY
// round trip). Through a proxy the library first sends a body-less priming request; its 407 is
// answered here, the session notes the accepted credentials, and the streamed request that
// follows carries them at once, so it passes the proxy without a challenge.
DWORD RunUntilHead(Request &r, Body body) {
  int redirects = 0;
  bool triedAuth = false;
  bool triedProxyAuth = false;
  unsigned retries = r.options.connectRetries;
  for (;;) {
    Transfer &t = *r.transfer;
    DWORD err = Pump(r, [&t] { return t.headDone; });
    if (err) return err;
    bool tunnel = ViaProxy(r) && r.secure;
    if (!t.headDone) {
      // The exchange ended without a reply head.
      if (tunnel) {
        long connectCode = 0;
        curl_easy_getinfo(t.easy, CURLINFO_HTTP_CONNECTCODE, &connectCode);
        if (connectCode == 407) {
          const Options &o = r.options;
          if (!triedProxyAuth && !o.proxyUserName.empty()) {
            triedProxyAuth = true;
            r.proxyAuthorization = "Basic " + Base64(o.proxyUserName + ":" + o.proxyPassword);
            EndTransfer(r);
            if ((err = StartTransfer(r, body))) return err;
            continue;
          }
          EndTransfer(r);
          MakeProxyRefusal(r);
          return 0;
        }
      }
      if (t.headTooLarge) return ERROR_HTTP_INVALID_SERVER_RESPONSE;
      if (t.result == CURLE_COULDNT_CONNECT && retries > 0 && !t.connected) {
        --retries;
        EndTransfer(r);
        if ((err = StartTransfer(r, body))) return err;
        continue;
      }
      if (t.result == CURLE_OK) return ERROR_HTTP_INVALID_SERVER_RESPONSE;
      return MapCurlError(t, t.result);
    }
    TakeReply(r, t);
    if (!t.statusLine.empty() && r.status == 0) return ERROR_HTTP_INVALID_SERVER_RESPONSE;
    Session &session = *r.connection->session;
    bool proxyAuthSent = !r.proxyAuthorization.empty();
    if (tunnel && proxyAuthSent) session.acceptedProxyAuth = r.proxyAuthorization;
    if (!tunnel && ViaProxy(r) && proxyAuthSent && r.status != 407)
      session.acceptedProxyAuth = r.proxyAuthorization;
    bool canResend = body != Body::Stream;
    const Options &o = r.options;
    if (r.status == 401 && canResend && !triedAuth && !(r.flags & INTERNET_FLAG_NO_AUTH) &&
        !o.userName.empty() && HasBasicChallenge(r.replyHeaders, "WWW-Authenticate")) {
      triedAuth = true;
      r.authorization = "Basic " + Base64(o.userName + ":" + o.password);
      DrainReply(r);
      if ((err = StartTransfer(r, body))) return err;
      continue;
    }
    if (r.status == 407 && canResend && !tunnel && ViaProxy(r) && !triedProxyAuth &&
        !(r.flags & INTERNET_FLAG_NO_AUTH) && !o.proxyUserName.empty() &&
        HasBasicChallenge(r.replyHeaders, "Proxy-Authenticate")) {
      std::string answer = "Basic " + Base64(o.proxyUserName + ":" + o.proxyPassword);
      triedProxyAuth = true;
      if (answer != r.proxyAuthorization || !proxyAuthSent) {
        r.proxyAuthorization = answer;
        DrainReply(r);
        if ((err = StartTransfer(r, body))) return err;
        continue;
      }
    }
    bool redirect = r.status == 301 || r.status == 302 || r.status == 303 || r.status == 307 ||
                    r.status == 308;
    if (redirect && !(r.flags & INTERNET_FLAG_NO_AUTO_REDIRECT)) {
      int loc = FindHeader(r.replyHeaders, "Location");
      bool keepVerb = r.status == 307 || r.status == 308;
      bool toGet = !keepVerb && r.verb != "GET" && r.verb != "HEAD";
      if (loc >= 0 && (canResend || !keepVerb)) {
        if (++redirects > kMaxRedirects) return ERROR_HTTP_REDIRECT_FAILED;
        std::string location = r.replyHeaders[loc].value;
        if (!ResolveLocation(r, location)) return ERROR_HTTP_REDIRECT_FAILED;
        DrainReply(r);
        if (toGet) {
          r.verb = "GET";
          body = Body::None;
          int cl;
          while ((cl = FindHeader(r.headers, "Content-Length")) >= 0) r.headers.erase(r.headers.begin() + cl);
        }
        if (body == Body::Stream) body = Body::None;
        if ((err = StartTransfer(r, body))) return err;
        continue;
      }
    }
    return 0;
  }
}

// Opens the exchange of HttpSendRequestExA and waits until the connection (with TLS or the
// proxy tunnel) is up, so that connect and certificate failures come from that call. A
// refused connection is tried again as often as the connect retries allow; a tunnel the proxy
// refuses is answered once with the proxy credentials, and if it stays refused the caller
// gets the 407 at HttpEndRequestA.
DWORD ConnectForStream(Request &r) {
  unsigned retries = r.options.connectRetries;
  bool triedProxyAuth = false;
  for (;;) {
    DWORD err = StartTransfer(r, Body::Stream);
    if (err) return err;
    Transfer &t = *r.transfer;
    err = Pump(r, [&t] { return t.connected; });
    if (err) return err;
    if (t.connected || t.headDone || !t.done) return 0;
    if (ViaProxy(r) && r.secure) {
      long connectCode = 0;
      curl_easy_getinfo(t.easy, CURLINFO_HTTP_CONNECTCODE, &connectCode);
      if (connectCode == 407) {
        if (!triedProxyAuth && !r.options.proxyUserName.empty()) {
          triedProxyAuth = true;
          r.proxyAuthorization = "Basic " + Base64(r.options.proxyUserName + ":" + r.options.proxyPassword);
          continue;
        }
        EndTransfer(r);
        r.refusedTunnel = true;
        return 0;
      }
    }
    if (t.result == CURLE_COULDNT_CONNECT && retries > 0) {
      --retries;
      continue;
    }
    if (t.result == CURLE_OK) return ERROR_HTTP_INVALID_SERVER_RESPONSE;
    return MapCurlError(t, t.result);
  }
}

BOOL Fail(DWORD code) {
  SetLastError(code);
  return FALSE;
}

std::shared_ptr<Request> GetRequest(HINTERNET handle, DWORD *err) {
  std::shared_ptr<Object> o = Lookup(handle);
  if (!o) {
    *err = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  if (o->kind != Kind::Request) {
    *err = ERROR_INTERNET_INCORRECT_HANDLE_TYPE;
    return nullptr;
  }
  return std::static_pointer_cast<Request>(o);
}

// Adds one "Name: value" line under WinINet's modifier rules. Extra headers of a send call
// (extras != null) replace a header the caller added before, else they go into their own list.
DWORD AddHeaderLine(Request &r, const std::string &line, DWORD modifiers,
                    std::vector<Header> *extras = nullptr) {
  size_t colon = line.find(':');
  if (colon == std::string::npos || colon == 0) return ERROR_HTTP_INVALID_HEADER;
  std::string name = Trim(line.substr(0, colon));
  std::string value = Trim(line.substr(colon + 1));
  if (name.empty()) return ERROR_HTTP_INVALID_HEADER;
  std::vector<Header> *list = &r.headers;
  int index = FindHeader(r.headers, name);
  if (extras && index < 0) {
    list = extras;
    index = FindHeader(*extras, name);
  }
  if (modifiers & HTTP_ADDREQ_FLAG_REPLACE) {
    // Replaces the first line of that name in place, removes it when the value is empty,
    // and adds it when there is none.
    if (index < 0) {
      if (!value.empty()) list->push_back({name, value});
      return 0;
    }
    if (value.empty()) {
      list->erase(list->begin() + index);
    } else {
      (*list)[index].name = name;
      (*list)[index].value = value;
    }
    return 0;
  }
  if (modifiers & (HTTP_ADDREQ_FLAG_COALESCE_WITH_COMMA | HTTP_ADDREQ_FLAG_COALESCE_WITH_SEMICOLON)) {
    if (index >= 0) {
      const char *sep = (modifiers & HTTP_ADDREQ_FLAG_COALESCE_WITH_COMMA) ? ", " : "; ";
      (*list)[index].value += sep + value;
      return 0;
    }
    list->push_back({name, value});
    return 0;
  }
  if (modifiers & HTTP_ADDREQ_FLAG_ADD) {
    list->push_back({name, value});
    return 0;
  }
  // HTTP_ADDREQ_FLAG_ADD_IF_NEW, or no modifier: only a header that is not there yet.
  if (index >= 0) return ERROR_HTTP_INVALID_HEADER;
  list->push_back({name, value});
  return 0;
}

DWORD AddHeaderBlock(Request &r, const char *text, DWORD length, DWORD modifiers,
                     std::vector<Header> *extras = nullptr) {
  size_t n = length == 0xFFFFFFFFu ? std::strlen(text) : length;
  std::string block(text, strnlen(text, n));
  size_t pos = 0;
  DWORD result = 0;
  bool any = false;
  while (pos <= block.size()) {
    size_t end = block.find('\n', pos);
    if (end == std::string::npos) end = block.size();
    std::string line = block.substr(pos, end - pos);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    pos = end + 1;
    if (Trim(line).empty()) continue;
    any = true;
    DWORD e = AddHeaderLine(r, line, modifiers, extras);
    if (e && !result) result = e;
  }
  if (!any) return ERROR_HTTP_INVALID_HEADER;
  return result;
}

void ResetForSend(Request &r) {
  EndTransfer(r);
  r.recvQueue.clear();
  r.sendQueue.clear();
  r.status = 0;
  r.statusText.clear();
  r.httpVersion.clear();
  r.replyHeaders.clear();
  r.synthetic = false;
  r.failure = 0;
  r.hasFixedBody = false;
  r.fixedBody.clear();
  r.streamTotal = r.streamWritten = 0;
  r.authorization.clear();
  r.proxyAuthorization = r.connection->session->acceptedProxyAuth;
}

// Query levels that name one header.
const char *HeaderNameOf(DWORD level) {
  switch (level) {
    case 0: return "Mime-Version";
    case HTTP_QUERY_CONTENT_TYPE: return "Content-Type";
    case 2: return "Content-Transfer-Encoding";
    case 3: return "Content-ID";
    case 4: return "Content-Description";
    case HTTP_QUERY_CONTENT_LENGTH: return "Content-Length";
    case 6: return "Content-Language";
    case 7: return "Allow";
    case 8: return "Public";
    case 9: return "Date";
    case 10: return "Expires";
    case 11: return "Last-Modified";
    case 12: return "Message-Id";
    case 13: return "URI";
    case 14: return "Derived-From";
    case 15: return "Cost";
    case 16: return "Link";
    case 17: return "Pragma";
    case 23: return "Connection";
    case 24: return "Accept";
    case 25: return "Accept-Charset";
    case 26: return "Accept-Encoding";
    case 27: return "Accept-Language";
    case 28: return "Authorization";
    case 29: return "Content-Encoding";
    case 30: return "Forwarded";
    case 31: return "From";
    case 32: return "If-Modified-Since";
    case HTTP_QUERY_LOCATION: return "Location";
    case 34: return "Orig-Uri";
    case 35: return "Referer";
    case 36: return "Retry-After";
    case 37: return "Server";
    case 38: return "Title";
    case 39: return "User-Agent";
    case 40: return "WWW-Authenticate";
    case 41: return "Proxy-Authenticate";
    case 42: return "Accept-Ranges";
    case 43: return "Set-Cookie";
    case 44: return "Cookie";
    default: return nullptr;
  }
}

BOOL ReturnText(const std::string &value, LPVOID buffer, LPDWORD length) {
  DWORD need = static_cast<DWORD>(value.size() + 1);
  if (!buffer || *length < need) {
    *length = need;
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  std::memcpy(buffer, value.c_str(), need);
  *length = need - 1;
  return TRUE;
}

BOOL ReturnNumber(const std::string &value, LPVOID buffer, LPDWORD length) {
  if (!buffer || *length < sizeof(DWORD)) {
    *length = sizeof(DWORD);
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  DWORD v = static_cast<DWORD>(std::strtoul(value.c_str(), nullptr, 10));
  std::memcpy(buffer, &v, sizeof v);
  *length = sizeof v;
  return TRUE;
}

}  // namespace

DWORD SecurityFlagsOf(const Request &r) {
  DWORD flags = r.securityFlags;
  if (r.secure) flags |= SECURITY_FLAG_SECURE;
  return flags;
}

Transfer::~Transfer() {
  if (easy) {
    if (added && owner && owner->multi) curl_multi_remove_handle(owner->multi, easy);
    curl_easy_cleanup(easy);
  }
  ForgetCertificateCheck(this);
  if (headerList) curl_slist_free_all(headerList);
  if (proxyHeaderList) curl_slist_free_all(proxyHeaderList);
}

Request::~Request() {
  transfer.reset();
  if (multi) curl_multi_cleanup(multi);
}

}  // namespace lumox_inet

using namespace lumox_inet;

extern "C" HINTERNET WINAPI HttpOpenRequestA(HINTERNET connection, LPCSTR verb, LPCSTR objectName,
                                             LPCSTR version, LPCSTR referrer, LPCSTR *acceptTypes,
                                             DWORD flags, DWORD_PTR context) {
  std::shared_ptr<Object> o = Lookup(connection);
  if (!o) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (o->kind != Kind::Connection) {
    SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    return nullptr;
  }
  if (verb && !ValidVerb(verb)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto c = std::static_pointer_cast<Connection>(o);
  auto r = std::make_shared<Request>();
  r->connection = c;
  r->options = c->options;
  r->verb = verb && *verb ? verb : "GET";
  r->object = objectName && *objectName ? objectName : "/";
  r->version = version && *version ? version : "HTTP/1.1";
  r->flags = flags;
  r->secure = (flags & INTERNET_FLAG_SECURE) != 0;
  r->securityFlags = c->options.securityFlags;
  if (r->secure)
    r->securityFlags |= flags & (INTERNET_FLAG_IGNORE_CERT_CN_INVALID | INTERNET_FLAG_IGNORE_CERT_DATE_INVALID);
  r->host = c->host;
  r->port = c->port != INTERNET_INVALID_PORT_NUMBER ? c->port : (r->secure ? 443u : 80u);
  std::string path = EscapeSpaces(r->object);
  if (path[0] != '/' && path.find("://") == std::string::npos) path = "/" + path;
  r->path = path;
  if (acceptTypes) {
    std::string accept;
    for (LPCSTR *p = acceptTypes; *p; ++p) {
      if (!**p) continue;
      if (!accept.empty()) accept += ", ";
      accept += *p;
    }
    if (!accept.empty()) r->headers.push_back({"Accept", accept});
  }
  if (referrer && *referrer) r->headers.push_back({"Referer", referrer});
  return Register(r);
}

extern "C" BOOL WINAPI HttpAddRequestHeadersA(HINTERNET request, LPCSTR headers, DWORD length,
                                              DWORD modifiers) {
  DWORD err = 0;
  std::shared_ptr<Request> r = GetRequest(request, &err);
  if (!r) return Fail(err);
  if (!headers) return Fail(ERROR_INVALID_PARAMETER);
  if (length == 0) return Fail(ERROR_HTTP_INVALID_HEADER);
  err = AddHeaderBlock(*r, headers, length, modifiers);
  if (err) return Fail(err);
  return TRUE;
}

extern "C" BOOL WINAPI HttpSendRequestA(HINTERNET request, LPCSTR headers, DWORD headersLength,
                                        LPVOID optional, DWORD optionalLength) {
  DWORD err = 0;
  std::shared_ptr<Request> r = GetRequest(request, &err);
  if (!r) return Fail(err);
  ResetForSend(*r);
  if (headers && headersLength) {
    err = AddHeaderBlock(*r, headers, headersLength, HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE,
                         &r->extraHeaders);
    if (err) return Fail(err);
  }
  Body body = Body::None;
  if (optional && optionalLength) {
    r->fixedBody.assign(static_cast<const char *>(optional), optionalLength);
    r->hasFixedBody = true;
    body = Body::Fixed;
  }
  err = StartTransfer(*r, body);
  if (!err) err = RunUntilHead(*r, body);
  if (err) {
    EndTransfer(*r);
    r->state = ReqState::Failed;
    r->failure = err;
    return Fail(err);
  }
  r->state = ReqState::HeadReady;
  return TRUE;
}

extern "C" BOOL WINAPI HttpSendRequestExA(HINTERNET request, LPINTERNET_BUFFERSA in,
                                          LPINTERNET_BUFFERSA out, DWORD flags, DWORD_PTR context) {
  DWORD err = 0;
  std::shared_ptr<Request> r = GetRequest(request, &err);
  if (!r) return Fail(err);
  ResetForSend(*r);
  if (in && in->lpcszHeader && in->dwHeadersLength) {
    err = AddHeaderBlock(*r, in->lpcszHeader, in->dwHeadersLength,
                         HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE, &r->extraHeaders);
    if (err) return Fail(err);
  }
  r->streamTotal = in ? in->dwBufferTotal : 0;
  const char *first = in ? static_cast<const char *>(in->lpvBuffer) : nullptr;
  DWORD firstLength = first ? in->dwBufferLength : 0;
  if (firstLength > r->streamTotal) r->streamTotal = firstLength;
  err = ConnectForStream(*r);
  if (err) {
    EndTransfer(*r);
    r->state = ReqState::Failed;
    r->failure = err;
    return Fail(err);
  }
  r->state = ReqState::Streaming;
  if (firstLength) {
    DWORD written = 0;
    if (!InternetWriteFile(request, first, firstLength, &written)) return FALSE;
  }
  return TRUE;
}

extern "C" BOOL WINAPI InternetWriteFile(HINTERNET request, LPCVOID buffer, DWORD length,
                                         LPDWORD written) {
  DWORD err = 0;
  std::shared_ptr<Request> r = GetRequest(request, &err);
  if (!r) return Fail(err);
  if (!written || (!buffer && length)) return Fail(ERROR_INVALID_PARAMETER);
  *written = 0;
  if (r->state != ReqState::Streaming) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
  // The request announced its length; bytes beyond it would corrupt the connection.
  if (length > r->streamTotal - r->streamWritten) return Fail(ERROR_INVALID_PARAMETER);
  if (r->refusedTunnel) {
    // The proxy refused the tunnel: the body has nowhere to go, the 407 comes at the end.
    r->streamWritten += length;
    *written = length;
    return TRUE;
  }
  if (!r->transfer) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
  Transfer &t = *r->transfer;
  const char *p = static_cast<const char *>(buffer);
  DWORD done = 0;
  while (done < length) {
    if (t.done) {
      err = t.result == CURLE_OK ? ERROR_INTERNET_CONNECTION_ABORTED : MapCurlError(t, t.result);
      break;
    }
    size_t n = r->sendQueue.push(p + done, length - done);
    done += static_cast<DWORD>(n);
    r->streamWritten += n;
    Unpause(t);
    if (done < length) {
      ByteQueue &q = r->sendQueue;
      err = Pump(*r, [&q] { return q.space() >= q.capacity() / 2; });
      if (err) break;
    }
  }
  if (!err && !t.done && r->streamWritten == r->streamTotal) {
    // The last bytes are in: hand them to curl now rather than at HttpEndRequestA.
    int running = 0;
    curl_multi_perform(r->multi, &running);
  }
  *written = done;
  if (err) {
    EndTransfer(*r);
    r->state = ReqState::Failed;
    r->failure = err;
    return Fail(err);
  }
  return TRUE;
}

extern "C" BOOL WINAPI HttpEndRequestA(HINTERNET request, LPINTERNET_BUFFERSA out, DWORD flags,
                                       DWORD_PTR context) {
  DWORD err = 0;
  std::shared_ptr<Request> r = GetRequest(request, &err);
  if (!r) return Fail(err);
  if (r->state != ReqState::Streaming) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
  if (r->refusedTunnel) {
    MakeProxyRefusal(*r);
    r->state = ReqState::HeadReady;
    return TRUE;
  }
  if (!r->transfer) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
  if (r->streamWritten < r->streamTotal) {
    // The body is shorter than announced; the exchange cannot be completed.
    err = ERROR_INTERNET_CONNECTION_ABORTED;
  } else {
    Unpause(*r->transfer);
    err = RunUntilHead(*r, Body::Stream);
  }
  if (err) {
    EndTransfer(*r);
    r->state = ReqState::Failed;
    r->failure = err;
    return Fail(err);
  }
  r->state = ReqState::HeadReady;
  return TRUE;
}

extern "C" BOOL WINAPI HttpQueryInfoA(HINTERNET request, DWORD infoLevel, LPVOID buffer,
                                      LPDWORD length, LPDWORD index) {
  DWORD err = 0;
  std::shared_ptr<Request> r = GetRequest(request, &err);
  if (!r) return Fail(err);
  if (!length) return Fail(ERROR_INVALID_PARAMETER);
  DWORD level = infoLevel & HTTP_QUERY_HEADER_MASK;
  bool number = (infoLevel & HTTP_QUERY_FLAG_NUMBER) != 0;
  bool requestHeaders = (infoLevel & HTTP_QUERY_FLAG_REQUEST_HEADERS) != 0;
  const std::vector<Header> &list = requestHeaders ? r->headers : r->replyHeaders;
  bool haveReply = r->state == ReqState::HeadReady && r->status != 0;
  auto give = [&](const std::string &value) {
    return number ? ReturnNumber(value, buffer, length) : ReturnText(value, buffer, length);
  };
  switch (level) {
    case HTTP_QUERY_STATUS_CODE:
      if (requestHeaders || !haveReply) return Fail(ERROR_HTTP_HEADER_NOT_FOUND);
      return give(std::to_string(r->status));
    case HTTP_QUERY_STATUS_TEXT:
      if (requestHeaders || !haveReply) return Fail(ERROR_HTTP_HEADER_NOT_FOUND);
      return give(r->statusText);
    case 18:  // HTTP_QUERY_VERSION
      if (requestHeaders || !haveReply) return Fail(ERROR_HTTP_HEADER_NOT_FOUND);
      return give(r->httpVersion);
    case 45:  // HTTP_QUERY_REQUEST_METHOD
      return give(r->verb);
    case HTTP_QUERY_RAW_HEADERS:
    case HTTP_QUERY_RAW_HEADERS_CRLF: {
      if (!requestHeaders && !haveReply) return Fail(ERROR_HTTP_HEADER_NOT_FOUND);
      bool crlf = level == HTTP_QUERY_RAW_HEADERS_CRLF;
      std::string sep = crlf ? "\r\n" : std::string(1, '\0');
      std::string text;
      if (requestHeaders)
        text = r->verb + " " + r->path + " " + r->version + sep;
      else
        text = r->httpVersion + " " + std::to_string(r->status) + (r->statusText.empty() ? "" : " " + r->statusText) + sep;
      for (const Header &h : list) text += h.name + ": " + h.value + sep;
      text += sep;
      if (!crlf) {
        // NUL-separated lines ending with an empty one; the terminator makes the last NUL.
        text.pop_back();
      }
      return ReturnText(text, buffer, length);
    }
    default:
      break;
  }
  std::string name;
  if (level == HTTP_QUERY_CUSTOM) {
    if (!buffer) return Fail(ERROR_INVALID_PARAMETER);
    // The header name is a NUL-terminated text, whatever the buffer's length says.
    name = static_cast<const char *>(buffer);
  } else if (const char *n = HeaderNameOf(level)) {
    name = n;
  } else {
    return Fail(ERROR_HTTP_INVALID_QUERY_REQUEST);
  }
  if (!requestHeaders && !haveReply) return Fail(ERROR_HTTP_HEADER_NOT_FOUND);
  DWORD want = index ? *index : 0;
  int found = -1;
  for (DWORD k = 0, from = 0;; ++k) {
    found = FindHeader(list, name, from);
    if (found < 0 || k == want) break;
    from = static_cast<DWORD>(found) + 1;
  }
  if (found < 0) return Fail(ERROR_HTTP_HEADER_NOT_FOUND);
  if (!give(list[found].value)) return FALSE;
  if (index) ++*index;
  return TRUE;
}

extern "C" BOOL WINAPI InternetReadFile(HINTERNET request, LPVOID buffer, DWORD toRead, LPDWORD read) {
  DWORD err = 0;
  std::shared_ptr<Request> r = GetRequest(request, &err);
  if (!r) return Fail(err);
  if (!read || (!buffer && toRead)) return Fail(ERROR_INVALID_PARAMETER);
  *read = 0;
  if (r->state == ReqState::Failed) return Fail(r->failure ? r->failure : ERROR_INTERNET_INCORRECT_HANDLE_STATE);
  if (r->state != ReqState::HeadReady) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
  if (toRead == 0) return TRUE;
  char *out = static_cast<char *>(buffer);
  for (;;) {
    size_t n = r->recvQueue.pop(out, toRead);
    if (n > 0) {
      *read = static_cast<DWORD>(n);
      if (r->transfer && r->transfer->recvPaused && r->recvQueue.space() >= CURL_MAX_WRITE_SIZE)
        Unpause(*r->transfer);
      return TRUE;
    }
    if (!r->transfer) return TRUE;  // a reply without a body
    Transfer &t = *r->transfer;
    if (t.done) {
      if (t.result == CURLE_OK) return TRUE;
      // A reply that announced its Content-Length and ended early ends like a complete
      // one, as WinINet does: the caller compares the length it got with the one announced.
      curl_off_t announced = -1;
      if (t.result == CURLE_PARTIAL_FILE &&
          curl_easy_getinfo(t.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) == CURLE_OK &&
          announced >= 0)
        return TRUE;
      err = MapCurlError(t, t.result);
      return Fail(err);
    }
    Unpause(t);
    ByteQueue &q = r->recvQueue;
    err = Pump(*r, [&q] { return q.size() > 0; });
    if (err) return Fail(err);
  }
}
