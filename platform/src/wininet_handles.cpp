// WinINet handles: the handle table, sessions, connections, closing, and the options
// every handle carries (time-outs, retries, credentials, security flags).
#include "wininet_internal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>

namespace lumox_inet {

namespace {

std::mutex g_tableLock;
std::map<uintptr_t, std::shared_ptr<Object>> g_table;
uintptr_t g_nextHandle = 0xcc0004;  // handle values are never reused within a process

// Defaults set through a null handle; copied into every new session.
std::mutex g_defaultsLock;
Options g_defaults;

void ShareLock(CURL *, curl_lock_data, curl_lock_access, void *user) {
  static_cast<std::recursive_mutex *>(user)->lock();
}
void ShareUnlock(CURL *, curl_lock_data, void *user) {
  static_cast<std::recursive_mutex *>(user)->unlock();
}
std::recursive_mutex g_shareMutex;

}  // namespace

HINTERNET Register(std::shared_ptr<Object> object) {
  std::lock_guard<std::mutex> lock(g_tableLock);
  uintptr_t value = g_nextHandle;
  g_nextHandle += 4;
  HINTERNET h = reinterpret_cast<HINTERNET>(value);
  object->handle = h;
  g_table[value] = std::move(object);
  return h;
}

std::shared_ptr<Object> Lookup(HINTERNET handle) {
  std::lock_guard<std::mutex> lock(g_tableLock);
  auto it = g_table.find(reinterpret_cast<uintptr_t>(handle));
  if (it == g_table.end()) return nullptr;
  return it->second;
}

bool Unregister(HINTERNET handle) {
  std::shared_ptr<Object> doomed;
  {
    std::lock_guard<std::mutex> lock(g_tableLock);
    auto it = g_table.find(reinterpret_cast<uintptr_t>(handle));
    if (it == g_table.end()) return false;
    doomed = std::move(it->second);
    g_table.erase(it);
  }
  // The object goes away here, outside the table lock (a request's teardown drives curl).
  doomed.reset();
  return true;
}

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });
}

Session::Session() : Object(Kind::Session) {
  share = curl_share_init();
  if (share) {
    curl_share_setopt(share, CURLSHOPT_LOCKFUNC, ShareLock);
    curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, ShareUnlock);
    curl_share_setopt(share, CURLSHOPT_USERDATA, &g_shareMutex);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  }
}

Session::~Session() {
  if (share) curl_share_cleanup(share);
}

bool EqualsNoCase(const std::string &a, const std::string &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string Trim(const std::string &s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r' || s[e - 1] == '\n'))
    --e;
  return s.substr(b, e - b);
}

std::string Base64(const std::string &in) {
  static const char table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  while (i + 2 < in.size()) {
    unsigned v = (static_cast<unsigned char>(in[i]) << 16) |
                 (static_cast<unsigned char>(in[i + 1]) << 8) | static_cast<unsigned char>(in[i + 2]);
    out += table[(v >> 18) & 63];
    out += table[(v >> 12) & 63];
    out += table[(v >> 6) & 63];
    out += table[v & 63];
    i += 3;
  }
  if (i + 1 == in.size()) {
    unsigned v = static_cast<unsigned char>(in[i]) << 16;
    out += table[(v >> 18) & 63];
    out += table[(v >> 12) & 63];
    out += "==";
  } else if (i + 2 == in.size()) {
    unsigned v = (static_cast<unsigned char>(in[i]) << 16) | (static_cast<unsigned char>(in[i + 1]) << 8);
    out += table[(v >> 18) & 63];
    out += table[(v >> 12) & 63];
    out += table[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

uint64_t NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec / 1000000);
}

size_t ByteQueue::push(const char *data, size_t n) {
  size_t cap = buf_.size();
  if (n > cap - size_) n = cap - size_;
  for (size_t done = 0; done < n;) {
    size_t tail = (head_ + size_) % cap;
    size_t run = cap - tail;
    if (run > n - done) run = n - done;
    std::memcpy(buf_.data() + tail, data + done, run);
    size_ += run;
    done += run;
  }
  return n;
}

size_t ByteQueue::pop(char *out, size_t n) {
  size_t cap = buf_.size();
  if (n > size_) n = size_;
  for (size_t done = 0; done < n;) {
    size_t run = cap - head_;
    if (run > n - done) run = n - done;
    if (out) std::memcpy(out + done, buf_.data() + head_, run);
    head_ = (head_ + run) % cap;
    size_ -= run;
    done += run;
  }
  if (size_ == 0) head_ = 0;
  return n;
}

namespace {

// "host:port", "http=host:port" or a list of them: the first entry that applies to HTTP.
bool ParseProxy(const char *text, std::string *host, unsigned *port) {
  std::string list = text ? text : "";
  std::string chosen;
  size_t pos = 0;
  while (pos < list.size()) {
    size_t end = list.find_first_of(" ;", pos);
    if (end == std::string::npos) end = list.size();
    std::string entry = list.substr(pos, end - pos);
    pos = end + 1;
    if (entry.empty()) continue;
    size_t eq = entry.find('=');
    if (eq != std::string::npos) {
      std::string scheme = entry.substr(0, eq);
      if (!EqualsNoCase(scheme, "http")) continue;
      entry = entry.substr(eq + 1);
    }
    chosen = entry;
    break;
  }
  if (chosen.compare(0, 7, "http://") == 0) chosen = chosen.substr(7);
  while (!chosen.empty() && chosen.back() == '/') chosen.pop_back();
  if (chosen.empty()) return false;
  unsigned p = 80;
  std::string h = chosen;
  size_t colon = chosen.rfind(':');
  if (colon != std::string::npos && chosen.find(']', colon) == std::string::npos) {
    h = chosen.substr(0, colon);
    std::string digits = chosen.substr(colon + 1);
    p = static_cast<unsigned>(std::strtoul(digits.c_str(), nullptr, 10));
  }
  if (h.size() > 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
  if (h.empty()) return false;
  *host = h;
  *port = p;
  return true;
}

BOOL Fail(DWORD code) {
  SetLastError(code);
  return FALSE;
}

bool IsDwordOption(DWORD option) {
  switch (option) {
    case INTERNET_OPTION_CONNECT_TIMEOUT:
    case INTERNET_OPTION_CONNECT_RETRIES:
    case INTERNET_OPTION_SEND_TIMEOUT:
    case INTERNET_OPTION_RECEIVE_TIMEOUT:
    case INTERNET_OPTION_DATA_SEND_TIMEOUT:
    case INTERNET_OPTION_DATA_RECEIVE_TIMEOUT:
      return true;
    default:
      return false;
  }
}

DWORD *DwordSlot(Options &o, DWORD option) {
  switch (option) {
    case INTERNET_OPTION_CONNECT_TIMEOUT: return &o.connectTimeout;
    case INTERNET_OPTION_CONNECT_RETRIES: return &o.connectRetries;
    case INTERNET_OPTION_SEND_TIMEOUT: return &o.sendTimeout;
    case INTERNET_OPTION_RECEIVE_TIMEOUT: return &o.receiveTimeout;
    case INTERNET_OPTION_DATA_SEND_TIMEOUT: return &o.dataSendTimeout;
    case INTERNET_OPTION_DATA_RECEIVE_TIMEOUT: return &o.dataReceiveTimeout;
    default: return nullptr;
  }
}

std::string *StringSlot(Options &o, DWORD option) {
  switch (option) {
    case INTERNET_OPTION_USERNAME: return &o.userName;
    case INTERNET_OPTION_PASSWORD: return &o.password;
    case INTERNET_OPTION_PROXY_USERNAME: return &o.proxyUserName;
    case INTERNET_OPTION_PROXY_PASSWORD: return &o.proxyPassword;
    default: return nullptr;
  }
}

BOOL ReturnDword(DWORD value, LPVOID buffer, LPDWORD length) {
  if (!buffer || *length < sizeof(DWORD)) {
    *length = sizeof(DWORD);
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  std::memcpy(buffer, &value, sizeof(DWORD));
  *length = sizeof(DWORD);
  return TRUE;
}

BOOL ReturnString(const std::string &value, LPVOID buffer, LPDWORD length) {
  DWORD need = static_cast<DWORD>(value.size() + 1);
  if (!buffer || *length < need) {
    *length = need;
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  std::memcpy(buffer, value.c_str(), need);
  *length = need - 1;
  return TRUE;
}

}  // namespace

}  // namespace lumox_inet

using namespace lumox_inet;

extern "C" HINTERNET WINAPI InternetOpenA(LPCSTR agent, DWORD accessType, LPCSTR proxy,
                                          LPCSTR proxyBypass, DWORD flags) {
  GlobalInit();
  auto session = std::make_shared<Session>();
  if (!session->share) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  {
    std::lock_guard<std::mutex> lock(g_defaultsLock);
    session->options = g_defaults;
  }
  session->agent = agent ? agent : "";
  session->accessType = accessType;
  switch (accessType) {
    case INTERNET_OPEN_TYPE_PRECONFIG:
    case INTERNET_OPEN_TYPE_DIRECT:
      // The configured settings of this layer are "direct": no proxy from the environment.
      break;
    case INTERNET_OPEN_TYPE_PROXY:
      if (!proxy || !*proxy) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
      }
      if (!ParseProxy(proxy, &session->proxyHost, &session->proxyPort)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
      }
      break;
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
  }
  return Register(session);
}

extern "C" HINTERNET WINAPI InternetConnectA(HINTERNET sessionHandle, LPCSTR server,
                                             INTERNET_PORT port, LPCSTR user, LPCSTR password,
                                             DWORD service, DWORD flags, DWORD_PTR context) {
  std::shared_ptr<Object> o = Lookup(sessionHandle);
  if (!o) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (o->kind != Kind::Session) {
    SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    return nullptr;
  }
  if (!server || !*server) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (service != INTERNET_SERVICE_HTTP) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto c = std::make_shared<Connection>();
  c->session = std::static_pointer_cast<Session>(o);
  c->options = o->options;
  c->host = server;
  if (c->host.size() > 2 && c->host.front() == '[' && c->host.back() == ']')
    c->host = c->host.substr(1, c->host.size() - 2);
  c->port = port;
  c->service = service;
  if (user && *user) c->options.userName = user;
  if (password && *password) c->options.password = password;
  return Register(c);
}

extern "C" BOOL WINAPI InternetCloseHandle(HINTERNET handle) {
  if (!handle || !Unregister(handle)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

extern "C" BOOL WINAPI InternetSetOptionA(HINTERNET handle, DWORD option, LPVOID buffer,
                                          DWORD length) {
  bool dword = IsDwordOption(option) || option == INTERNET_OPTION_SECURITY_FLAGS;
  bool text = option == INTERNET_OPTION_USERNAME || option == INTERNET_OPTION_PASSWORD ||
              option == INTERNET_OPTION_PROXY_USERNAME || option == INTERNET_OPTION_PROXY_PASSWORD;
  if (!handle) {
    // Process defaults for the sessions opened later.
    if (!IsDwordOption(option)) {
      return Fail(dword || text ? ERROR_INTERNET_INCORRECT_HANDLE_TYPE : ERROR_INTERNET_INVALID_OPTION);
    }
    if (length != sizeof(DWORD)) return Fail(ERROR_INTERNET_BAD_OPTION_LENGTH);
    if (!buffer) return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> lock(g_defaultsLock);
    std::memcpy(DwordSlot(g_defaults, option), buffer, sizeof(DWORD));
    return TRUE;
  }
  std::shared_ptr<Object> o = Lookup(handle);
  if (!o) return Fail(ERROR_INVALID_HANDLE);
  if (!dword && !text) return Fail(ERROR_INTERNET_INVALID_OPTION);
  if (dword && length != sizeof(DWORD)) return Fail(ERROR_INTERNET_BAD_OPTION_LENGTH);
  if (!buffer) return Fail(ERROR_INVALID_PARAMETER);
  if (option == INTERNET_OPTION_SECURITY_FLAGS) {
    DWORD value;
    std::memcpy(&value, buffer, sizeof(DWORD));
    // Only the "ignore" bits can be set; a set never clears one.
    const DWORD settable = SECURITY_FLAG_IGNORE_REVOCATION | SECURITY_FLAG_IGNORE_UNKNOWN_CA |
                           SECURITY_FLAG_IGNORE_WRONG_USAGE | SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
                           SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
    if (o->kind == Kind::Request)
      static_cast<Request &>(*o).securityFlags |= value & settable;
    else
      o->options.securityFlags |= value & settable;
    return TRUE;
  }
  if (dword) {
    std::memcpy(DwordSlot(o->options, option), buffer, sizeof(DWORD));
    return TRUE;
  }
  const char *chars = static_cast<const char *>(buffer);
  size_t n = 0;
  while (n < length && chars[n]) ++n;
  *StringSlot(o->options, option) = std::string(chars, n);
  return TRUE;
}

extern "C" BOOL WINAPI InternetQueryOptionA(HINTERNET handle, DWORD option, LPVOID buffer,
                                            LPDWORD length) {
  if (!length) return Fail(ERROR_INVALID_PARAMETER);
  if (!handle) {
    if (!IsDwordOption(option)) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    DWORD value;
    {
      std::lock_guard<std::mutex> lock(g_defaultsLock);
      value = *DwordSlot(g_defaults, option);
    }
    return ReturnDword(value, buffer, length);
  }
  std::shared_ptr<Object> o = Lookup(handle);
  if (!o) return Fail(ERROR_INVALID_HANDLE);
  if (IsDwordOption(option)) return ReturnDword(*DwordSlot(o->options, option), buffer, length);
  if (std::string *s = StringSlot(o->options, option)) return ReturnString(*s, buffer, length);
  switch (option) {
    case INTERNET_OPTION_HANDLE_TYPE: {
      DWORD type = o->kind == Kind::Session ? 1 : o->kind == Kind::Connection ? 3 : 13;
      return ReturnDword(type, buffer, length);
    }
    case INTERNET_OPTION_SECURITY_FLAGS:
      if (o->kind != Kind::Request) return ReturnDword(o->options.securityFlags, buffer, length);
      return ReturnDword(SecurityFlagsOf(static_cast<Request &>(*o)), buffer, length);
    case INTERNET_OPTION_URL: {
      if (o->kind != Kind::Request) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
      Request &r = static_cast<Request &>(*o);
      std::string url = r.secure ? "https://" : "http://";
      url += r.host.find(':') != std::string::npos ? "[" + r.host + "]" : r.host;
      if (r.port != (r.secure ? 443u : 80u)) url += ":" + std::to_string(r.port);
      url += r.path;
      return ReturnString(url, buffer, length);
    }
    default:
      return Fail(ERROR_INTERNET_INVALID_OPTION);
  }
}
