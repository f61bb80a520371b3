// Internal object model of the WinINet subset: sessions, connections and requests behind
// HINTERNET values, and the pieces of the request engine that its units share.
#pragma once
#include <windows.h>
#include <wininet.h>

#include <curl/curl.h>

#include "platform_internal.h"

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace lumox_inet {

using lumox_platform::CrackHostPort;
using lumox_platform::EqualsNoCase;
using lumox_platform::Fail;
using lumox_platform::ReturnDword;
using lumox_platform::ReturnString;
using lumox_platform::SplitList;

enum class Kind { Session, Connection, Request };

// Options a handle carries; a child copies its parent's values when it is created.
struct Options {
  DWORD connectTimeout = 60000;
  DWORD connectRetries = 5;
  DWORD sendTimeout = 30000;
  DWORD receiveTimeout = 30000;
  DWORD dataSendTimeout = 30000;
  DWORD dataReceiveTimeout = 30000;
  std::string userName;
  std::string password;
  std::string proxyUserName;
  std::string proxyPassword;
  DWORD securityFlags = 0;  // the "ignore" security flags, carried down to requests
};

// Clears a text that held a secret before its memory goes back (user names, passwords,
// Authorization values) (wininet_text.cpp, as Trim).
void Wipe(std::string &text);
void Wipe(curl_slist *lines);
// Blanks (and a trailing CR or LF) around a header value dropped.
std::string Trim(const std::string &s);

struct Object {
  explicit Object(Kind k) : kind(k) {}
  virtual ~Object();  // clears the credentials it carries
  Kind kind;
  Options options;
  HINTERNET handle = nullptr;
  std::atomic<bool> registered{false};  // false once the handle is closed
};

// How a proxy is spoken to: HTTP proxies (plain or over TLS) get requests in proxy form and
// CONNECT tunnels; a SOCKS proxy only relays the connection. A proxy variable that names
// another scheme or cannot be read is kept as Unusable: requests it would carry fail instead
// of going around it.
enum class ProxyKind { Http, Https, Socks4, Socks4a, Socks5, Socks5h, Unusable };

// A proxy a session sends requests through, and what the session learned of it.
struct ProxyServer {
  ProxyKind kind = ProxyKind::Http;
  std::string host;
  unsigned port = 0;
  bool configured = false;  // from the system's settings, not named by the caller
  std::string user;         // a configured proxy URL's user name and password
  std::string password;
  // Basic credentials the proxy has accepted once; sent at once from then on.
  std::string acceptedBasic;  // "Basic xxx", empty when none
  long scheme = 0;            // CURLAUTH_DIGEST or CURLAUTH_NTLM once the proxy asked for it
  ProxyServer() = default;
  ~ProxyServer() {
    Wipe(user);
    Wipe(password);
    Wipe(acceptedBasic);
  }
  ProxyServer(const ProxyServer &) = delete;
  ProxyServer &operator=(const ProxyServer &) = delete;
};

struct Session : Object {
  Session();
  ~Session() override;
  std::string agent;
  DWORD accessType = INTERNET_OPEN_TYPE_PRECONFIG;
  // The proxies of HTTP and HTTPS requests (the same one when the caller named it); null:
  // direct.
  std::shared_ptr<ProxyServer> httpProxy;
  std::shared_ptr<ProxyServer> httpsProxy;
  std::string noProxy;      // hosts the configured proxies are not used for
  CURLSH *share = nullptr;  // connection cache and DNS cache of the session
};

struct Connection : Object {
  Connection() : Object(Kind::Connection) {}
  std::shared_ptr<Session> session;
  std::string host;
  INTERNET_PORT port = 0;
  DWORD service = INTERNET_SERVICE_HTTP;
};

struct Header {
  std::string name;
  std::string value;
};

// Body bytes between the side that makes them and the side that takes them: a reply from
// curl's write callback (on the request's network thread or on the caller's) to
// InternetReadFile, a streamed request body from InternetWriteFile to curl's read callback.
// One producer and one consumer:
// each position is moved by one side only and published with release, so a block is copied
// in or out without a lock. Its storage is taken at the first push.
class ByteRing {
 public:
  explicit ByteRing(size_t capacity) : capacity_(capacity) {}  // a power of two
  size_t capacity() const { return capacity_; }
  // Sequentially consistent with the sleep flags of NetThread: a side that says it sleeps
  // and then finds nothing to do is seen by the other side after its next move.
  size_t size() const { return static_cast<size_t>(in_.load() - out_.load()); }
  size_t space() const { return capacity_ - size(); }
  size_t push(const char *data, size_t n);  // producer
  size_t pop(char *out, size_t n);          // consumer
  void clear() {                            // neither side is running
    in_.store(0);
    out_.store(0);
  }
  // Empties the ring and gives it `capacity` bytes (a power of two); neither side is running.
  void resize(size_t capacity) {
    clear();
    if (capacity != capacity_) buf_.reset();
    capacity_ = capacity;
  }

 private:
  lumox_platform::BulkBuffer buf_;
  size_t capacity_;
  std::atomic<uint64_t> in_{0};   // bytes pushed so far
  std::atomic<uint64_t> out_{0};  // bytes popped so far
};

// The thread that receives a reply body for its request. Between its start and its end it
// alone drives the request's multi handle; `finished` hands the handle back.
struct NetThread {
  bool active = false;  // the caller's side: a thread was started and not taken back
  pthread_t id{};
  bool joinable = false;  // under the threads' lock (wininet_net.cpp)
  std::atomic<bool> stop{false};
  std::atomic<bool> finished{false};  // the thread no longer touches curl
  // Waits of the reader for bytes and of the receiver for room; a side is woken only when
  // it says it sleeps.
  std::mutex lock;
  std::condition_variable wake;
  std::atomic<bool> readerSleeps{false};    // the caller waits for bytes or room
  std::atomic<bool> receiverSleeps{false};  // the thread waits for room in the receive ring
  // The thread paused curl's sending for want of body bytes; the caller wakes it once a
  // batch of them is queued (or the last one).
  std::atomic<bool> wantsBody{false};
};

struct Request;

// One HTTP exchange on the wire (a request may need several: redirects, authentication).
struct Transfer {
  ~Transfer();
  Request *owner = nullptr;
  CURL *easy = nullptr;
  curl_slist *headerList = nullptr;
  curl_slist *proxyHeaderList = nullptr;
  char errorText[CURL_ERROR_SIZE] = {};
  bool added = false;
  bool done = false;
  CURLcode result = CURLE_OK;
  bool connected = false;       // the prerequest callback ran: connection and TLS are up
  bool readCalled = false;      // curl asked for body bytes
  bool bodyHandedOver = false;  // every body byte is in curl's hands
  bool recvPaused = false;
  bool sendPaused = false;
  bool headDone = false;
  // Digest and NTLM challenges are answered by curl inside the exchange. A 401 or 407 head
  // it may answer waits here until the next head (it was answered), body bytes or the end
  // of the exchange (it is the reply) tell which.
  bool curlAnswersProxy = false;
  bool curlAnswersOrigin = false;
  bool challengeHead = false;
  bool discard = false;  // body bytes of a reply that is being skipped
  uint64_t discarded = 0;
  // TLS verification outcome noted by the certificate callback.
  bool caRejected = false;
  bool dateRejected = false;
  bool certRejected = false;
  // Reply head as it arrives.
  std::string statusLine;
  std::vector<Header> headers;
  size_t headBytes = 0;
  bool headTooLarge = false;
  // Body source: either fixed bytes (HttpSendRequestA) or the streaming queue.
  const std::string *fixedBody = nullptr;
  size_t fixedOffset = 0;
  bool streaming = false;
  uint64_t streamSent = 0;  // streamed body bytes handed to curl
  bool threaded = false;    // the callbacks run on the request's network thread
  uint64_t moved = 0;       // reply body bytes handed to the caller
  std::atomic<uint64_t> lastActivityMs{0};
};

enum class ReqState { Open, Streaming, HeadReady, Failed };

// Reply bytes held for InternetReadFile when the caller's thread receives them: two receive
// buffers, so curl seldom has to pause with a buffer in hand (it then keeps a copy of it).
const size_t kReceiveQueueBytes = size_t{128} * 1024;
const size_t kReceiveBufferBytes = size_t{64} * 1024;  // curl's receive buffer: one socket read
static_assert(kReceiveQueueBytes >= kReceiveBufferBytes, "a whole receive must fit the queue");
static_assert((kReceiveQueueBytes & (kReceiveQueueBytes - 1)) == 0, "the ring wraps by a mask");
// With a network thread the ring is larger: the two threads hand over half of it at a time,
// as waking the other thread costs more than copying a few hundred blocks.
const size_t kNetRingBytes = size_t{1024} * 1024;
static_assert(kNetRingBytes / 2 >= kReceiveBufferBytes, "a whole receive must fit half the ring");
static_assert((kNetRingBytes & (kNetRingBytes - 1)) == 0, "the ring wraps by a mask");
const size_t kSendQueueBytes = size_t{512} * 1024;  // body bytes of InternetWriteFile not yet sent:
                                                    // one send buffer of curl's
static_assert((kSendQueueBytes & (kSendQueueBytes - 1)) == 0, "the ring wraps by a mask");
// Body bytes queued before a network thread waiting for them is woken.
const size_t kSendWakeBytes = size_t{64} * 1024;
// The send ring has room for the caller to go on: at least half of it is free.
inline bool SendRoom(const Request &r);

struct Request : Object {
  Request() : Object(Kind::Request), recvQueue(kReceiveQueueBytes), sendQueue(kSendQueueBytes) {}
  ~Request() override;
  std::shared_ptr<Connection> connection;
  std::string verb;
  std::string object;
  std::string version;
  DWORD flags = 0;
  DWORD securityFlags = 0;
  std::vector<Header> headers;       // request headers the caller added (Accept, Referer, ...)
  std::vector<Header> extraHeaders;  // extra headers of the current send call
  // Current target; redirects change it.
  bool secure = false;
  std::string host;
  unsigned port = 0;
  std::string path;  // origin-form target as sent to the origin
  bool redirected = false;
  // Where the request was opened: the connection's credentials belong to this origin only.
  bool originSecure = false;
  std::string originHost;
  unsigned originPort = 0;
  bool probing = false;  // an exchange that only asks the proxy how it authenticates
  // Credentials answered on this request.
  std::string authorization;       // "Basic ..." for the origin
  std::string proxyAuthorization;  // "Basic ..." for the proxy
  // Engine.
  CURLM *multi = nullptr;
  std::unique_ptr<Transfer> transfer;
  ReqState state = ReqState::Open;
  DWORD failure = 0;
  std::string fixedBody;  // body of HttpSendRequestA, kept for a resend
  bool hasFixedBody = false;
  uint64_t streamTotal = 0;  // announced body length of HttpSendRequestExA
  uint64_t streamWritten = 0;
  ByteRing recvQueue;
  ByteRing sendQueue;
  NetThread net;
  // Reply the caller sees.
  DWORD status = 0;
  std::string statusText;
  std::string httpVersion;
  std::vector<Header> replyHeaders;
  bool synthetic = false;  // a reply made up locally (refused CONNECT)
  bool refusedTunnel = false;
};

inline bool SendRoom(const Request &r) { return r.sendQueue.space() >= r.sendQueue.capacity() / 2; }

// ----- handle table (wininet_handles.cpp) -----

HINTERNET Register(std::shared_ptr<Object> object);
std::shared_ptr<Object> Lookup(HINTERNET handle);
// The object behind `handle`, held for this thread until its next look-up or close: valid
// for the rest of the calling API function without a reference of its own.
Object *LookupPinned(HINTERNET handle);
bool Unregister(HINTERNET handle);
void GlobalInit();

// The object behind `handle` when it is of `kind`; otherwise null, with *err set to
// ERROR_INVALID_HANDLE (no such handle) or ERROR_INTERNET_INCORRECT_HANDLE_TYPE.
template <class T>
std::shared_ptr<T> LookupAs(HINTERNET handle, Kind kind, DWORD *err) {
  std::shared_ptr<Object> o = Lookup(handle);
  if (!o) {
    *err = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  if (o->kind != kind) {
    *err = ERROR_INTERNET_INCORRECT_HANDLE_TYPE;
    return nullptr;
  }
  return std::static_pointer_cast<T>(o);
}

// ----- a request's target (wininet_target.cpp) -----

// The default port of the scheme: 443 for HTTPS, 80 for HTTP.
unsigned DefaultPort(bool secure);
// A host as it stands in a URL: an IPv6 address in brackets.
std::string HostForUrl(const std::string &host);
// "host" or "host:port" when the port is not the scheme's default.
std::string HostPort(const Request &r);
// The request's current URL (INTERNET_OPTION_URL).
std::string UrlOf(const Request &r);
// True while the current target is the scheme, host and port the request was opened for,
// the only origin the connection's user name and password are sent to.
bool AtCredentialOrigin(const Request &r);
// Spaces, CR and LF of an object name as %20, %0D and %0A; other bytes as they are.
std::string EscapeSpaces(const std::string &s);

// ----- the libcurl side (wininet_transfer.cpp) -----

// Where the body of an exchange comes from.
enum class Body { None, Fixed, Stream };

// Opens a new exchange for the request's current target and adds it to the request's
// multi handle; the previous one is dropped.
DWORD StartTransfer(Request &r, Body body);
void EndTransfer(Request &r);

// What Pump waits for.
enum class Until {
  Connected,   // the connection (with TLS or the proxy tunnel) is up
  ReplyHead,   // the reply head is complete
  SendRoom,    // the send queue is at most half full
  ReplyBytes,  // reply bytes wait in the receive queue
  End,         // the exchange is over
};
// Runs curl until `until` holds or the exchange ends; ERROR_INTERNET_TIMEOUT when the
// connection stays idle too long.
DWORD Pump(Request &r, Until until);
// Lets curl go on with a transfer paused for a full or an empty queue.
void Unpause(Transfer &t);
// Milliseconds of the coarse monotonic clock, read without a system call; its few
// milliseconds of resolution are far below any time-out.
inline uint64_t NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec / 1000000);
}

// ----- the network thread of a reply body (wininet_net.cpp) -----

// Hands the request's exchange to a thread of its own that receives the body into the
// receive ring; false when none was started (the library is going away, or no thread).
bool StartNet(Request &r);
// Whether a body with `moved` bytes moved and `left` still to go (UINT64_MAX: unknown) is
// worth a network thread now: it is not small, and a core is free for the thread.
bool NetThreadPays(uint64_t moved, uint64_t left);
// Counts the open request handles, which each keep a caller's thread busy.
void RequestHandleOpened();
void RequestHandleClosed();
// For tests: a thread from the first byte and whatever the number of requests (true), or
// the rule above (false).
void AlwaysStartNetThreads(bool always);
// For tests: the rule above as on a machine with `cores` cores (0: this machine's).
void PretendCoresForNetThreads(size_t cores);
// Ends the request's network thread, if any, from any thread; the exchange stays as it is.
void StopNet(Request &r);
// Waits until reply bytes are in the ring or the thread is finished, at most the receive
// time-out since the later of the call's start and the last activity on the wire.
DWORD WaitForBytes(Request &r, uint64_t callStart, DWORD limit);
// After the reader took bytes: wakes a receiver waiting for room.
void ReaderTook(Request &r);
// On the network thread: waits until the ring has `need` bytes of room; false when the
// thread is being stopped.
bool WaitForRoom(Request &r, size_t need);
// After the receiver added bytes: wakes a reader waiting for them.
void ReceiverAdded(Request &r);
// The same for room in the send ring (SendRoom) while the thread sends a streamed body,
// limited by the send time-out.
DWORD WaitForSendRoom(Request &r, uint64_t callStart, DWORD limit);
// After the caller queued body bytes: wakes a thread that waits for them, once a batch is
// there or the body is complete.
void CallerAdded(Request &r);
// On the network thread, after curl took body bytes: wakes a caller waiting for room.
void ThreadTookBody(Request &r);
// Takes the exchange back from a finished (or stopped) network thread.
void ReclaimNet(Request &r);
// Notes the end of the request's exchange from curl's messages; true when it is over.
bool CollectEnd(Request &r);

// ----- curl results as WinINet errors (wininet_errors.cpp) -----

DWORD MapCurlError(const Transfer &t, CURLcode code);

// ----- TLS options and certificate checks (wininet_tls.cpp) -----

// Sets the TLS options of a secure exchange: which certificate checks run, as the
// request's security flags say.
void SetTlsOptions(CURL *easy, Transfer *t);
// Sets the TLS options of the connection to an HTTPS proxy: its certificate is checked as a
// server's is, relaxed only by the same security flags of the request.
void SetProxyTlsOptions(CURL *easy, Transfer *t);
// Drops what the certificate check noted about a transfer that goes away.
void ForgetTlsTransfer(Transfer *t);
// The WinINet error of a failed TLS handshake: the rejected check, else the channel error.
DWORD MapTlsFailure(const Transfer &t, CURLcode code, long osErrno);
// The security flags a request reports: its "ignore" flags, and SECURITY_FLAG_SECURE.
DWORD SecurityFlagsOf(const Request &r);

// ----- header rules (wininet_headers.cpp) -----

// Index of the first header of that name at or after `from`; -1 when there is none.
int FindHeader(const std::vector<Header> &list, const std::string &name, size_t from = 0);
// False when the reply's Content-Length values (of every such header, lists split at
// commas) are not all the same decimal number: such a reply cannot be framed.
bool ContentLengthIsConsistent(const std::vector<Header> &headers);
// "Basic <base64 of user:password>".
std::string BasicCredentials(const std::string &user, const std::string &password);
// True when a header of that name offers Basic authentication.
bool HasBasicChallenge(const std::vector<Header> &headers, const char *name);
// Adds the lines of a header block under the modifier rules of HttpAddRequestHeadersA;
// with `extras`, lines the caller did not add before go there (extra headers of a send).
DWORD AddHeaderBlock(Request &r, const char *text, DWORD length, DWORD modifiers,
                     std::vector<Header> *extras = nullptr);
// The request head of one exchange, and the head of the CONNECT that opens a tunnel. With
// `curlLength`, curl sends the Content-Length (an authentication probe goes out without the
// body).
curl_slist *RequestHeadLines(const Request &r, Body body, uint64_t bodyLength, bool tunnel,
                             bool curlLength = false);
curl_slist *ConnectHeadLines(const Request &r);
// Takes the status line and headers of an exchange as the reply the caller sees.
void TakeReply(Request &r, const Transfer &t);

// ----- proxies and authentication (wininet_proxy.cpp) -----

// The system's configured proxies: http_proxy, https_proxy (or HTTPS_PROXY) and no_proxy (or
// NO_PROXY), as curl reads them.
void LoadConfiguredProxies(Session &session);
// A configured proxy's URL, "[scheme://][user[:password]@]host[:port][/...]" with the schemes
// curl knows for proxies: http (the default), https, socks4, socks4a, socks5 and socks5h
// (curl's port when it names none: 443 for https, else 1080); null for another scheme, no
// host or a bad port.
std::shared_ptr<ProxyServer> ParseProxyUrl(const std::string &text);
// The no_proxy rules: entries separated by commas or blanks; "*" is every host; a name
// matches itself and the names below it ("example.com" and ".example.com" both match
// "www.example.com", not "myexample.com"), without regard to case or a trailing dot; an
// address host matches only addresses and networks ("192.168.0.0/16", "::1").
bool NoProxyMatches(const std::string &list, const std::string &host);
// The proxy of the request's current target, of any kind; null when it goes direct.
ProxyServer *RouteOf(const Request &r);
// The HTTP proxy (plain or over TLS) of the request's current target; null when it goes
// direct or through a SOCKS proxy.
ProxyServer *ProxyOf(const Request &r);
// True when the request goes through an HTTP proxy (ProxyOf is not null).
bool ViaProxy(const Request &r);
// The user name and password answered to the proxy: those set on the handle, else those of
// the configured proxy's URL.
void ProxyCredentialsOf(const Request &r, const ProxyServer &p, std::string *user,
                        std::string *password);
// Sets the proxy of an exchange and lets curl answer Digest and NTLM challenges where it can;
// true when curl then frames the body itself (its Content-Length goes out).
bool SetProxyAndAuthOptions(CURL *easy, Request &r, Transfer &t, Body body, bool tunnel);
// Notes the schemes a proxy asked for in the exchange that just ended its head.
void NoteProxySchemes(Request &r);
// True when curl answered a Digest or NTLM challenge of this 407 (or 401) itself: the reply
// is the server's last word.
bool CurlAnsweredProxy(const Transfer &t);
bool CurlAnsweredOrigin(const Transfer &t);

// ----- redirects, challenges and retries (wininet_exchange.cpp) -----

// Runs exchanges until a reply head is there that goes to the caller.
DWORD RunUntilHead(Request &r, Body body);
// Opens the exchange of HttpSendRequestExA and waits until its connection is up.
DWORD ConnectForStream(Request &r);
// The 407 a request gets when the proxy refuses its tunnel.
void MakeProxyRefusal(Request &r);

}  // namespace lumox_inet
