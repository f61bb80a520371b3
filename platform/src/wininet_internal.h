// Internal object model of the WinINet subset: sessions, connections and requests behind
// HINTERNET values, and the request engine that drives libcurl's multi interface.
#pragma once
#include <windows.h>
#include <wininet.h>

#include <curl/curl.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace lumox_inet {

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

struct Object {
  explicit Object(Kind k) : kind(k) {}
  virtual ~Object() = default;
  Kind kind;
  Options options;
  HINTERNET handle = nullptr;
};

struct Session : Object {
  Session();
  ~Session() override;
  std::string agent;
  DWORD accessType = INTERNET_OPEN_TYPE_PRECONFIG;
  std::string proxyHost;  // empty: direct
  unsigned proxyPort = 0;
  // Basic proxy credentials the proxy has accepted once; sent at once from then on.
  std::string acceptedProxyAuth;  // "Basic xxx", empty when none
  CURLSH *share = nullptr;        // connection cache and DNS cache of the session
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

// A bounded byte queue between the caller and curl's callbacks.
class ByteQueue {
 public:
  explicit ByteQueue(size_t capacity) : buf_(capacity) {}
  size_t size() const { return size_; }
  size_t capacity() const { return buf_.size(); }
  size_t space() const { return buf_.size() - size_; }
  size_t push(const char *data, size_t n);
  size_t pop(char *out, size_t n);
  void clear() { head_ = size_ = 0; }

 private:
  std::vector<char> buf_;
  size_t head_ = 0;
  size_t size_ = 0;
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
  bool connected = false;     // the prerequest callback ran: connection and TLS are up
  bool readCalled = false;    // curl asked for body bytes
  bool bodyHandedOver = false;  // every body byte is in curl's hands
  bool recvPaused = false;
  bool sendPaused = false;
  bool headDone = false;
  bool discard = false;       // body bytes of a reply that is being skipped
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
  uint64_t lastActivityMs = 0;
};

enum class ReqState { Open, Streaming, HeadReady, Failed };

struct Request : Object {
  Request() : Object(Kind::Request), recvQueue(128 * 1024), sendQueue(64 * 1024) {}
  ~Request() override;
  std::shared_ptr<Connection> connection;
  std::string verb;
  std::string object;
  std::string version;
  DWORD flags = 0;
  DWORD securityFlags = 0;
  std::vector<Header> headers;  // request headers the caller added (Accept, Referer, ...)
  std::vector<Header> extraHeaders;  // extra headers of the current send call
  // Current target; redirects change it.
  bool secure = false;
  std::string host;
  unsigned port = 0;
  std::string path;    // origin-form target as sent to the origin
  bool redirected = false;
  // Credentials answered on this request.
  std::string authorization;       // "Basic ..." for the origin
  std::string proxyAuthorization;  // "Basic ..." for the proxy
  // Engine.
  CURLM *multi = nullptr;
  std::unique_ptr<Transfer> transfer;
  ReqState state = ReqState::Open;
  DWORD failure = 0;
  std::string fixedBody;   // body of HttpSendRequestA, kept for a resend
  bool hasFixedBody = false;
  uint64_t streamTotal = 0;  // announced body length of HttpSendRequestExA
  uint64_t streamWritten = 0;
  ByteQueue recvQueue;
  ByteQueue sendQueue;
  // Reply the caller sees.
  DWORD status = 0;
  std::string statusText;
  std::string httpVersion;
  std::vector<Header> replyHeaders;
  bool synthetic = false;  // a reply made up locally (refused CONNECT)
  bool refusedTunnel = false;
};

// Handle table.
HINTERNET Register(std::shared_ptr<Object> object);
std::shared_ptr<Object> Lookup(HINTERNET handle);
bool Unregister(HINTERNET handle);
void GlobalInit();

template <class T>
std::shared_ptr<T> LookupAs(HINTERNET handle, Kind kind) {
  std::shared_ptr<Object> o = Lookup(handle);
  if (!o || o->kind != kind) return nullptr;
  return std::static_pointer_cast<T>(o);
}

// Errors and TLS.
DWORD MapCurlError(const Transfer &t, CURLcode code);
void InstallCertificateCheck(CURL *easy, Transfer *t);
void ForgetCertificateCheck(Transfer *t);

// Request engine (wininet_request.cpp).
DWORD SecurityFlagsOf(const Request &r);

// Small text helpers.
bool EqualsNoCase(const std::string &a, const std::string &b);
std::string Trim(const std::string &s);
std::string Base64(const std::string &in);
uint64_t NowMs();

}  // namespace lumox_inet
