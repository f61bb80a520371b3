// WinINet handles: the handle table, sessions, connections, closing, and the options
// every handle carries (time-outs, retries, credentials, security flags).
#include "wininet_internal.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <new>

namespace lumox_inet {

Object::~Object() {
  Wipe(options.userName);
  Wipe(options.password);
  Wipe(options.proxyUserName);
  Wipe(options.proxyPassword);
}

namespace {

std::mutex g_tableLock;
// Never destroyed: a thread still moving a body while the process exits keeps looking its
// handles up after the static destructors have run.
using HandleTable = std::map<uintptr_t, std::shared_ptr<Object>>;
alignas(HandleTable) unsigned char g_tableStorage[sizeof(HandleTable)];
HandleTable &g_table = *new (g_tableStorage) HandleTable;
uintptr_t g_nextHandle = 0xcc0004;  // handle values are never reused within a process

// The handle this thread looked up last, held by this thread. The calls that move a body
// come once per block, so they find their request here without the table lock, a search or
// a reference count: the object stays alive while this thread's entry holds it, which only
// this thread's next look-up or close (or its end) drops. Handle values are never reused; a
// closed handle is no longer `registered`.
struct LastLookup {
  uintptr_t value = 0;
  std::shared_ptr<Object> object;
};
thread_local LastLookup t_lastLookup;

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
  object->registered = true;
  if (object->kind == Kind::Request) RequestHandleOpened();
  g_table[value] = std::move(object);
  return h;
}

Object *LookupPinned(HINTERNET handle) {
  uintptr_t value = reinterpret_cast<uintptr_t>(handle);
  LastLookup &last = t_lastLookup;
  if (value != 0 && last.value == value && last.object->registered.load(std::memory_order_relaxed))
    return last.object.get();
  LastLookup found;
  {
    std::lock_guard<std::mutex> lock(g_tableLock);
    auto it = g_table.find(value);
    if (it != g_table.end()) {
      found.value = value;
      found.object = it->second;
    }
  }
  std::swap(last, found);  // the entry held before goes outside the table lock
  return last.object.get();
}

std::shared_ptr<Object> Lookup(HINTERNET handle) {
  if (!LookupPinned(handle)) return nullptr;
  return t_lastLookup.object;
}

bool Unregister(HINTERNET handle) {
  std::shared_ptr<Object> doomed;
  {
    std::lock_guard<std::mutex> lock(g_tableLock);
    auto it = g_table.find(reinterpret_cast<uintptr_t>(handle));
    if (it == g_table.end()) return false;
    doomed = std::move(it->second);
    doomed->registered = false;
    g_table.erase(it);
  }
  if (t_lastLookup.value == reinterpret_cast<uintptr_t>(handle)) t_lastLookup = LastLookup();
  // A request's network thread ends with its handle, also while another thread reads.
  if (doomed->kind == Kind::Request) {
    RequestHandleClosed();
    StopNet(static_cast<Request &>(*doomed));
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

namespace {

// "host:port", "http=host:port" or a list of them: the first entry that applies to HTTP.
// False when there is none or it names no host. A port that breaks the port rule leaves the
// proxy Unusable: the requests meant for it fail, as those of a configured proxy do.
bool ParseProxy(const char *text, ProxyServer *proxy) {
  std::string chosen;
  for (std::string &entry : SplitList(text ? text : "", " ;")) {
    size_t eq = entry.find('=');
    if (eq != std::string::npos) {
      if (!EqualsNoCase(entry.substr(0, eq), "http")) continue;
      entry = entry.substr(eq + 1);
    }
    chosen = entry;
    break;
  }
  if (chosen.compare(0, 7, "http://") == 0) chosen = chosen.substr(7);
  while (!chosen.empty() && chosen.back() == '/') chosen.pop_back();
  if (chosen.empty() || chosen[0] == ':') return false;
  if (!CrackHostPort(chosen, INTERNET_DEFAULT_HTTP_PORT, &proxy->host, &proxy->port))
    proxy->kind = ProxyKind::Unusable;
  return true;
}

// The member of Options an option sets, or null when the option is not one of them.
DWORD Options::*DwordMember(DWORD option) {
  switch (option) {
    case INTERNET_OPTION_CONNECT_TIMEOUT: return &Options::connectTimeout;
    case INTERNET_OPTION_CONNECT_RETRIES: return &Options::connectRetries;
    case INTERNET_OPTION_SEND_TIMEOUT: return &Options::sendTimeout;
    case INTERNET_OPTION_RECEIVE_TIMEOUT: return &Options::receiveTimeout;
    case INTERNET_OPTION_DATA_SEND_TIMEOUT: return &Options::dataSendTimeout;
    case INTERNET_OPTION_DATA_RECEIVE_TIMEOUT: return &Options::dataReceiveTimeout;
    default: return nullptr;
  }
}

std::string Options::*StringMember(DWORD option) {
  switch (option) {
    case INTERNET_OPTION_USERNAME: return &Options::userName;
    case INTERNET_OPTION_PASSWORD: return &Options::password;
    case INTERNET_OPTION_PROXY_USERNAME: return &Options::proxyUserName;
    case INTERNET_OPTION_PROXY_PASSWORD: return &Options::proxyPassword;
    default: return nullptr;
  }
}

// The "ignore" bits of the security flags a caller can set.
const DWORD kSettableSecurityFlags =
    SECURITY_FLAG_IGNORE_REVOCATION | SECURITY_FLAG_IGNORE_UNKNOWN_CA |
    SECURITY_FLAG_IGNORE_WRONG_USAGE | SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
    SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;

DWORD HandleTypeOf(const Object &o) {
  switch (o.kind) {
    case Kind::Session: return INTERNET_HANDLE_TYPE_INTERNET;
    case Kind::Connection: return INTERNET_HANDLE_TYPE_CONNECT_HTTP;
    case Kind::Request: return INTERNET_HANDLE_TYPE_HTTP_REQUEST;
  }
  return 0;
}

DWORD SetOption(HINTERNET handle, DWORD option, LPVOID buffer, DWORD length) {
  DWORD Options::*dwordMember = DwordMember(option);
  std::string Options::*stringMember = StringMember(option);
  bool dword = dwordMember || option == INTERNET_OPTION_SECURITY_FLAGS;
  bool text = stringMember != nullptr;
  if (!handle) {
    // Process defaults for the sessions opened later.
    if (!dwordMember)
      return dword || text ? ERROR_INTERNET_INCORRECT_HANDLE_TYPE : ERROR_INTERNET_INVALID_OPTION;
    if (length != sizeof(DWORD)) return ERROR_INTERNET_BAD_OPTION_LENGTH;
    if (!buffer) return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(g_defaultsLock);
    std::memcpy(&(g_defaults.*dwordMember), buffer, sizeof(DWORD));
    return 0;
  }
  std::shared_ptr<Object> o = Lookup(handle);
  if (!o) return ERROR_INVALID_HANDLE;
  if (!dword && !text) return ERROR_INTERNET_INVALID_OPTION;
  if (dword && length != sizeof(DWORD)) return ERROR_INTERNET_BAD_OPTION_LENGTH;
  if (!buffer) return ERROR_INVALID_PARAMETER;
  if (option == INTERNET_OPTION_SECURITY_FLAGS) {
    DWORD value;
    std::memcpy(&value, buffer, sizeof(DWORD));
    // Only the "ignore" bits can be set; a set never clears one.
    if (o->kind == Kind::Request)
      static_cast<Request &>(*o).securityFlags |= value & kSettableSecurityFlags;
    else
      o->options.securityFlags |= value & kSettableSecurityFlags;
    return 0;
  }
  if (dword) {
    std::memcpy(&(o->options.*dwordMember), buffer, sizeof(DWORD));
    return 0;
  }
  const char *chars = static_cast<const char *>(buffer);
  size_t n = 0;
  while (n < length && chars[n]) ++n;
  o->options.*stringMember = std::string(chars, n);
  return 0;
}

DWORD QueryOption(HINTERNET handle, DWORD option, LPVOID buffer, LPDWORD length) {
  if (!length) return ERROR_INVALID_PARAMETER;
  DWORD Options::*dwordMember = DwordMember(option);
  std::string Options::*stringMember = StringMember(option);
  if (!handle) {
    if (!dwordMember) return ERROR_INTERNET_INCORRECT_HANDLE_TYPE;
    DWORD value;
    {
      std::lock_guard<std::mutex> lock(g_defaultsLock);
      value = g_defaults.*dwordMember;
    }
    return ReturnDword(value, buffer, length);
  }
  std::shared_ptr<Object> o = Lookup(handle);
  if (!o) return ERROR_INVALID_HANDLE;
  if (dwordMember) return ReturnDword(o->options.*dwordMember, buffer, length);
  if (stringMember) return ReturnString(o->options.*stringMember, buffer, length);
  switch (option) {
    case INTERNET_OPTION_HANDLE_TYPE: return ReturnDword(HandleTypeOf(*o), buffer, length);
    case INTERNET_OPTION_SECURITY_FLAGS:
      if (o->kind != Kind::Request) return ReturnDword(o->options.securityFlags, buffer, length);
      return ReturnDword(SecurityFlagsOf(static_cast<Request &>(*o)), buffer, length);
    case INTERNET_OPTION_URL:
      if (o->kind != Kind::Request) return ERROR_INTERNET_INCORRECT_HANDLE_TYPE;
      return ReturnString(UrlOf(static_cast<Request &>(*o)), buffer, length);
    default: return ERROR_INTERNET_INVALID_OPTION;
  }
}

}  // namespace

}  // namespace lumox_inet

using namespace lumox_inet;

extern "C" HINTERNET WINAPI InternetOpenA(LPCSTR agent, DWORD accessType, LPCSTR proxy,
                                          LPCSTR proxyBypass, DWORD flags) {
  GlobalInit();
  auto session = std::make_shared<Session>();
  if (!session->share) return Fail(ERROR_NOT_ENOUGH_MEMORY, nullptr);
  {
    std::lock_guard<std::mutex> lock(g_defaultsLock);
    session->options = g_defaults;
  }
  session->agent = agent ? agent : "";
  session->accessType = accessType;
  switch (accessType) {
    case INTERNET_OPEN_TYPE_PRECONFIG: LoadConfiguredProxies(*session); break;
    case INTERNET_OPEN_TYPE_DIRECT: break;
    case INTERNET_OPEN_TYPE_PROXY: {
      auto named = std::make_shared<ProxyServer>();
      if (!proxy || !*proxy || !ParseProxy(proxy, named.get()))
        return Fail(ERROR_INVALID_PARAMETER, nullptr);
      session->httpProxy = session->httpsProxy = named;
      break;
    }
    default: return Fail(ERROR_INVALID_PARAMETER, nullptr);
  }
  return Register(session);
}

extern "C" HINTERNET WINAPI InternetConnectA(HINTERNET sessionHandle, LPCSTR server,
                                             INTERNET_PORT port, LPCSTR user, LPCSTR password,
                                             DWORD service, DWORD flags, DWORD_PTR context) {
  DWORD err = 0;
  std::shared_ptr<Session> session = LookupAs<Session>(sessionHandle, Kind::Session, &err);
  if (!session) return Fail(err, nullptr);
  if (!server || !*server || service != INTERNET_SERVICE_HTTP)
    return Fail(ERROR_INVALID_PARAMETER, nullptr);
  auto c = std::make_shared<Connection>();
  c->session = session;
  c->options = session->options;
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
  if (!handle || !Unregister(handle)) return Fail(ERROR_INVALID_HANDLE);
  return TRUE;
}

extern "C" BOOL WINAPI InternetSetOptionA(HINTERNET handle, DWORD option, LPVOID buffer,
                                          DWORD length) {
  DWORD err = SetOption(handle, option, buffer, length);
  return err ? Fail(err) : TRUE;
}

extern "C" BOOL WINAPI InternetQueryOptionA(HINTERNET handle, DWORD option, LPVOID buffer,
                                            LPDWORD length) {
  DWORD err = QueryOption(handle, option, buffer, length);
  return err ? Fail(err) : TRUE;
}
