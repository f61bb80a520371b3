// The libcurl side of a request: one exchange on a curl easy handle with WinINet's options,
// curl's callbacks feeding the bounded queues between the caller and the wire (with pause and
// unpause), and the pump that drives the multi handle inside the calling API function with
// WinINet's inactivity time-outs.
#include "wininet_internal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

namespace lumox_inet {

size_t ByteRing::push(const char *data, size_t n) {
  const size_t cap = capacity_;
  uint64_t in = in_.load(std::memory_order_relaxed);
  size_t used = static_cast<size_t>(in - out_.load(std::memory_order_acquire));
  if (n > cap - used) n = cap - used;
  if (n == 0) return 0;
  if (!buf_) {
    buf_ = lumox_platform::NewBulkBuffer(cap);
    if (!buf_) throw std::bad_alloc();
  }
  size_t tail = static_cast<size_t>(in) & (cap - 1);
  size_t run = cap - tail < n ? cap - tail : n;
  lumox_platform::CopyBulk(buf_.get() + tail, data, run);
  if (run < n) lumox_platform::CopyBulk(buf_.get(), data + run, n - run);
  in_.store(in + n);
  return n;
}

size_t ByteRing::pop(char *out, size_t n) {
  const size_t cap = capacity_;
  uint64_t from = out_.load(std::memory_order_relaxed);
  size_t held = static_cast<size_t>(in_.load(std::memory_order_acquire) - from);
  if (n > held) n = held;
  if (n == 0) return 0;
  size_t head = static_cast<size_t>(from) & (cap - 1);
  size_t run = cap - head < n ? cap - head : n;
  if (out) {
    lumox_platform::CopyBulk(out, buf_.get() + head, run);
    if (run < n) lumox_platform::CopyBulk(out + run, buf_.get(), n - run);
  }
  out_.store(from + n);
  return n;
}

namespace {

const size_t kMaxHead = size_t{256} * 1024;      // longest reply head accepted
const uint64_t kMaxDrain = uint64_t{64} * 1024;  // body bytes read to keep a connection
// curl's send buffer (the receive buffer is kReceiveBufferBytes). Large sends wake the
// receiving side less often: sending 1 GiB over loopback took 0.30 s of system time in
// 512 KiB sends against 0.45 s in 64 KiB ones.
const long kUploadBufferBytes = 512L * 1024;
const long kMaxWaitMs = 1000;  // longest single wait for socket activity

// A time-out option as a limit in milliseconds; 0 is none.
DWORD Effective(DWORD timeout) { return timeout == INFINITE ? 0 : timeout; }

// ----- curl callbacks -----

// A challenge curl may answer within the exchange: a 407 of a plain proxy it has credentials
// for, a 401 of an origin it has credentials for.
bool MayBeAnswered(const Transfer &t, int code) {
  if (code == HTTP_STATUS_PROXY_AUTH_REQ)
    return t.curlAnswersProxy && !t.owner->secure && ViaProxy(*t.owner);
  return code == HTTP_STATUS_DENIED && t.curlAnswersOrigin;
}

// A challenge head followed by body bytes or by the end of the exchange is the reply.
void ChallengeIsTheReply(Transfer &t) {
  if (!t.challengeHead) return;
  t.challengeHead = false;
  t.headDone = true;
}

size_t HeaderCallback(char *data, size_t size, size_t count, void *user) {
  Transfer *t = static_cast<Transfer *>(user);
  size_t len = size * count;
  t->lastActivityMs = NowMs();
  if (t->headDone) return len;  // trailers of a chunked body
  if (t->challengeHead) {
    // curl answered the challenge: the head of its next request's reply replaces it.
    t->challengeHead = false;
    t->statusLine.clear();
    t->headers.clear();
    t->headBytes = 0;
  }
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
    long number =
        sp == std::string::npos ? 0 : std::strtol(t->statusLine.c_str() + sp + 1, nullptr, 10);
    int code = number >= 100 && number <= 999 ? static_cast<int>(number) : 0;
    if (code >= 100 && code < 200) {
      t->statusLine.clear();
      t->headers.clear();
      return len;
    }
    if (MayBeAnswered(*t, code)) {
      t->challengeHead = true;
      return len;
    }
    t->headDone = true;
    return len;
  }
  // Only the first line of a head is its status line; a later line that starts with
  // "HTTP/" is a header line, as curl reads it (it must not hide the lines before it from
  // the framing checks).
  if (t->statusLine.empty() && line.compare(0, 5, "HTTP/") == 0) {
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
  ChallengeIsTheReply(*t);
  if (t->discard) {
    t->discarded += len;
    if (t->discarded > kMaxDrain) return 0;
    return len;
  }
  Request &r = *t->owner;
  ByteRing &q = r.recvQueue;
  // On the network thread the receiver waits for room; on the caller's, curl pauses until
  // the caller has made room. A thread being stopped pauses too: the caller goes on.
  if (q.space() < len && (!t->threaded || !WaitForRoom(r, len))) {
    t->recvPaused = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  q.push(data, len);
  if (t->threaded) ReceiverAdded(r);
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
  if (n == 0 && t->threaded && t->streamSent < r.streamTotal) {
    // The caller is told to wake this thread (CallerAdded); bytes it queued before it could
    // see that are taken now.
    r.net.wantsBody.store(true);
    if (r.sendQueue.size() > 0 && r.net.wantsBody.exchange(false)) n = r.sendQueue.pop(buffer, max);
  }
  t->streamSent += n;
  if (t->streamSent >= r.streamTotal) t->bodyHandedOver = true;
  if (n > 0) {
    if (t->threaded) ThreadTookBody(r);
    return n;
  }
  if (t->streamSent >= r.streamTotal) return 0;
  t->sendPaused = true;
  return CURL_READFUNC_PAUSE;
}

// curl sends a body again after it answered a challenge: a fixed body starts over; a
// streamed one is gone.
int SeekCallback(void *user, curl_off_t offset, int origin) {
  Transfer *t = static_cast<Transfer *>(user);
  if (!t->fixedBody || origin != SEEK_SET || offset < 0 ||
      static_cast<uint64_t>(offset) > t->fixedBody->size())
    return CURL_SEEKFUNC_CANTSEEK;
  t->fixedOffset = static_cast<size_t>(offset);
  t->bodyHandedOver = t->fixedOffset == t->fixedBody->size();
  return CURL_SEEKFUNC_OK;
}

int PrereqCallback(void *user, char *, char *, int, int) {
  Transfer *t = static_cast<Transfer *>(user);
  t->connected = true;
  t->lastActivityMs = NowMs();
  return CURL_PREREQFUNC_OK;
}

}  // namespace

void Unpause(Transfer &t) {
  if (!t.easy || t.done || (!t.recvPaused && !t.sendPaused)) return;
  t.recvPaused = false;
  t.sendPaused = false;
  curl_easy_pause(t.easy, CURLPAUSE_CONT);
}

namespace {

bool Reached(const Request &r, const Transfer &t, Until until) {
  switch (until) {
    case Until::Connected: return t.connected;
    case Until::ReplyHead: return t.headDone;
    case Until::SendRoom: return SendRoom(r);
    case Until::ReplyBytes: return r.recvQueue.size() > 0;
    case Until::End: return false;
  }
  return false;
}

// The verb and the body source of an exchange; returns the body's length.
uint64_t SetBodyOptions(Request &r, Transfer &t, Body body) {
  CURL *e = t.easy;
  uint64_t bodyLength = 0;
  if (body == Body::Fixed) {
    t.fixedBody = &r.fixedBody;
    bodyLength = r.fixedBody.size();
  } else if (body == Body::Stream) {
    t.streaming = true;
    bodyLength = r.streamTotal;
  }
  if (bodyLength == 0) t.bodyHandedOver = true;
  curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, r.verb.c_str());
  if (r.verb == "HEAD") {
    curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
  } else if (body != Body::None || r.verb != "GET") {
    curl_easy_setopt(e, CURLOPT_POST, 1L);
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(bodyLength));
  } else {
    curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
  }
  return bodyLength;
}

}  // namespace

DWORD StartTransfer(Request &r, Body body) {
  EndTransfer(r);
  r.recvQueue.resize(kReceiveQueueBytes);
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
  const ProxyServer *route = RouteOf(r);
  if (route != nullptr && route->kind == ProxyKind::Unusable)
    return ERROR_INTERNET_INVALID_PROXY_REQUEST;
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
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS,
                   static_cast<long>(Effective(r.options.connectTimeout)));
  curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, HeaderCallback);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, t.get());
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, WriteCallback);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, t.get());
  curl_easy_setopt(e, CURLOPT_READFUNCTION, ReadCallback);
  curl_easy_setopt(e, CURLOPT_READDATA, t.get());
  curl_easy_setopt(e, CURLOPT_SEEKFUNCTION, SeekCallback);
  curl_easy_setopt(e, CURLOPT_SEEKDATA, t.get());
  curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, PrereqCallback);
  curl_easy_setopt(e, CURLOPT_PREREQDATA, t.get());
  curl_easy_setopt(e, CURLOPT_UPLOAD_BUFFERSIZE, kUploadBufferBytes);
  curl_easy_setopt(e, CURLOPT_BUFFERSIZE, static_cast<long>(kReceiveBufferBytes));

  bool curlLength = SetProxyAndAuthOptions(e, r, *t, body, tunnel);
  if (tunnel) {
    curl_easy_setopt(e, CURLOPT_HTTPPROXYTUNNEL, 1L);
    curl_easy_setopt(e, CURLOPT_HEADEROPT, CURLHEADER_SEPARATE);
    t->proxyHeaderList = ConnectHeadLines(r);
    curl_easy_setopt(e, CURLOPT_PROXYHEADER, t->proxyHeaderList);
  }
  if (r.secure) SetTlsOptions(e, t.get());

  uint64_t bodyLength = SetBodyOptions(r, *t, body);
  t->headerList = RequestHeadLines(r, body, bodyLength, tunnel, curlLength);
  curl_easy_setopt(e, CURLOPT_HTTPHEADER, t->headerList);

  if (curl_multi_add_handle(r.multi, e) != CURLM_OK) return ERROR_INTERNET_INTERNAL_ERROR;
  t->added = true;
  t->lastActivityMs = NowMs();
  r.transfer = std::move(t);
  return 0;
}

// Inactivity limits: the connect time-out is curl's; after that the send time-out while body
// bytes are still going out, the receive time-out while waiting for the reply.
DWORD Pump(Request &r, Until until) {
  Transfer &t = *r.transfer;
  auto ready = [&r, &t, until] { return Reached(r, t, until); };
  t.lastActivityMs = NowMs();
  for (;;) {
    if (ready()) return 0;
    if (t.done) return 0;
    int running = 0;
    curl_multi_perform(r.multi, &running);
    if (CollectEnd(r)) ChallengeIsTheReply(t);
    if (ready() || t.done) return 0;
    uint64_t now = NowMs();
    long wait = kMaxWaitMs;
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

void EndTransfer(Request &r) {
  if (r.net.active) ReclaimNet(r);
  r.transfer.reset();
}

Transfer::~Transfer() {
  if (easy) {
    if (added && owner && owner->multi) curl_multi_remove_handle(owner->multi, easy);
    curl_easy_cleanup(easy);
  }
  ForgetTlsTransfer(this);
  // The head lines carry the Authorization and Proxy-Authorization values.
  Wipe(headerList);
  Wipe(proxyHeaderList);
  if (headerList) curl_slist_free_all(headerList);
  if (proxyHeaderList) curl_slist_free_all(proxyHeaderList);
}

Request::~Request() {
  StopNet(*this);
  transfer.reset();
  Wipe(authorization);
  Wipe(proxyAuthorization);
  if (multi) curl_multi_cleanup(multi);
}

}  // namespace lumox_inet
