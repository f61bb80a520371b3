// WinINet's header rules: the request head an exchange sends, the modifier rules of
// HttpAddRequestHeadersA, the reply head as the caller sees it, and HttpQueryInfoA.
#include "wininet_internal.h"

#include <cstdlib>
#include <cstring>

namespace lumox_inet {

namespace {

// A header block length that means "up to the terminating NUL".
const DWORD kNulTerminated = 0xFFFFFFFFu;

std::string Base64(const std::string &in) {
  static const char table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  while (i + 2 < in.size()) {
    unsigned v = (static_cast<unsigned char>(in[i]) << 16) |
                 (static_cast<unsigned char>(in[i + 1]) << 8) |
                 static_cast<unsigned char>(in[i + 2]);
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
    unsigned v =
        (static_cast<unsigned char>(in[i]) << 16) | (static_cast<unsigned char>(in[i + 1]) << 8);
    out += table[(v >> 18) & 63];
    out += table[(v >> 12) & 63];
    out += table[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

void AddLine(curl_slist **list, const std::string &name, const std::string &value) {
  // "Name;" is curl's way to send a header with an empty value.
  std::string line = value.empty() ? name + ";" : name + ": " + value;
  *list = curl_slist_append(*list, line.c_str());
}

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
  *code = static_cast<DWORD>(std::strtoul(digits.c_str(), nullptr, 10));
  *text = sp2 == std::string::npos ? "" : line.substr(sp2 + 1);
  return true;
}

// Adds one "Name: value" line under WinINet's modifier rules. Extra headers of a send call
// (extras != null) replace a header the caller added before, else they go into their own list.
DWORD AddHeaderLine(Request &r, const std::string &line, DWORD modifiers,
                    std::vector<Header> *extras) {
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
  if (modifiers &
      (HTTP_ADDREQ_FLAG_COALESCE_WITH_COMMA | HTTP_ADDREQ_FLAG_COALESCE_WITH_SEMICOLON)) {
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

// Query levels that name one header.
const char *HeaderNameOf(DWORD level) {
  switch (level) {
    case HTTP_QUERY_MIME_VERSION: return "Mime-Version";
    case HTTP_QUERY_CONTENT_TYPE: return "Content-Type";
    case HTTP_QUERY_CONTENT_TRANSFER_ENCODING: return "Content-Transfer-Encoding";
    case HTTP_QUERY_CONTENT_ID: return "Content-ID";
    case HTTP_QUERY_CONTENT_DESCRIPTION: return "Content-Description";
    case HTTP_QUERY_CONTENT_LENGTH: return "Content-Length";
    case HTTP_QUERY_CONTENT_LANGUAGE: return "Content-Language";
    case HTTP_QUERY_ALLOW: return "Allow";
    case HTTP_QUERY_PUBLIC: return "Public";
    case HTTP_QUERY_DATE: return "Date";
    case HTTP_QUERY_EXPIRES: return "Expires";
    case HTTP_QUERY_LAST_MODIFIED: return "Last-Modified";
    case HTTP_QUERY_MESSAGE_ID: return "Message-Id";
    case HTTP_QUERY_URI: return "URI";
    case HTTP_QUERY_DERIVED_FROM: return "Derived-From";
    case HTTP_QUERY_COST: return "Cost";
    case HTTP_QUERY_LINK: return "Link";
    case HTTP_QUERY_PRAGMA: return "Pragma";
    case HTTP_QUERY_CONNECTION: return "Connection";
    case HTTP_QUERY_ACCEPT: return "Accept";
    case HTTP_QUERY_ACCEPT_CHARSET: return "Accept-Charset";
    case HTTP_QUERY_ACCEPT_ENCODING: return "Accept-Encoding";
    case HTTP_QUERY_ACCEPT_LANGUAGE: return "Accept-Language";
    case HTTP_QUERY_AUTHORIZATION: return "Authorization";
    case HTTP_QUERY_CONTENT_ENCODING: return "Content-Encoding";
    case HTTP_QUERY_FORWARDED: return "Forwarded";
    case HTTP_QUERY_FROM: return "From";
    case HTTP_QUERY_IF_MODIFIED_SINCE: return "If-Modified-Since";
    case HTTP_QUERY_LOCATION: return "Location";
    case HTTP_QUERY_ORIG_URI: return "Orig-Uri";
    case HTTP_QUERY_REFERER: return "Referer";
    case HTTP_QUERY_RETRY_AFTER: return "Retry-After";
    case HTTP_QUERY_SERVER: return "Server";
    case HTTP_QUERY_TITLE: return "Title";
    case HTTP_QUERY_USER_AGENT: return "User-Agent";
    case HTTP_QUERY_WWW_AUTHENTICATE: return "WWW-Authenticate";
    case HTTP_QUERY_PROXY_AUTHENTICATE: return "Proxy-Authenticate";
    case HTTP_QUERY_ACCEPT_RANGES: return "Accept-Ranges";
    case HTTP_QUERY_SET_COOKIE: return "Set-Cookie";
    case HTTP_QUERY_COOKIE: return "Cookie";
    default: return nullptr;
  }
}

// The whole head as one text: lines separated by CR LF, or by NULs ending with an empty one.
std::string RawHeaders(const Request &r, bool requestHeaders, bool crlf) {
  std::string sep = crlf ? "\r\n" : std::string(1, '\0');
  std::string text;
  if (requestHeaders)
    text = r.verb + " " + r.path + " " + r.version + sep;
  else
    text = r.httpVersion + " " + std::to_string(r.status) +
           (r.statusText.empty() ? "" : " " + r.statusText) + sep;
  for (const Header &h : requestHeaders ? r.headers : r.replyHeaders)
    text += h.name + ": " + h.value + sep;
  text += sep;
  if (!crlf) {
    // NUL-separated lines ending with an empty one; the terminator makes the last NUL.
    text.pop_back();
  }
  return text;
}

// HttpQueryInfoA on a request: the status line parts, the raw head, or one header (the
// `*index`th of its name, counting from 0), as text or as a number.
DWORD QueryInfo(Request &r, DWORD infoLevel, LPVOID buffer, LPDWORD length, LPDWORD index) {
  if (!length) return ERROR_INVALID_PARAMETER;
  DWORD level = infoLevel & HTTP_QUERY_HEADER_MASK;
  bool number = (infoLevel & HTTP_QUERY_FLAG_NUMBER) != 0;
  bool requestHeaders = (infoLevel & HTTP_QUERY_FLAG_REQUEST_HEADERS) != 0;
  const std::vector<Header> &list = requestHeaders ? r.headers : r.replyHeaders;
  bool haveReply = r.state == ReqState::HeadReady && r.status != 0;
  auto give = [&](const std::string &value) {
    if (!number) return ReturnString(value, buffer, length);
    return ReturnDword(static_cast<DWORD>(std::strtoul(value.c_str(), nullptr, 10)), buffer,
                       length);
  };
  switch (level) {
    case HTTP_QUERY_STATUS_CODE:
      if (requestHeaders || !haveReply) return ERROR_HTTP_HEADER_NOT_FOUND;
      return give(std::to_string(r.status));
    case HTTP_QUERY_STATUS_TEXT:
      if (requestHeaders || !haveReply) return ERROR_HTTP_HEADER_NOT_FOUND;
      return give(r.statusText);
    case HTTP_QUERY_VERSION:
      if (requestHeaders || !haveReply) return ERROR_HTTP_HEADER_NOT_FOUND;
      return give(r.httpVersion);
    case HTTP_QUERY_REQUEST_METHOD: return give(r.verb);
    case HTTP_QUERY_RAW_HEADERS:
    case HTTP_QUERY_RAW_HEADERS_CRLF:
      if (!requestHeaders && !haveReply) return ERROR_HTTP_HEADER_NOT_FOUND;
      return ReturnString(RawHeaders(r, requestHeaders, level == HTTP_QUERY_RAW_HEADERS_CRLF),
                          buffer, length);
    default: break;
  }
  std::string name;
  if (level == HTTP_QUERY_CUSTOM) {
    if (!buffer) return ERROR_INVALID_PARAMETER;
    // The header name is a NUL-terminated text, whatever the buffer's length says.
    name = static_cast<const char *>(buffer);
  } else if (const char *n = HeaderNameOf(level)) {
    name = n;
  } else {
    return ERROR_HTTP_INVALID_QUERY_REQUEST;
  }
  if (!requestHeaders && !haveReply) return ERROR_HTTP_HEADER_NOT_FOUND;
  DWORD want = index ? *index : 0;
  int found = -1;
  for (DWORD k = 0, from = 0;; ++k) {
    found = FindHeader(list, name, from);
    if (found < 0 || k == want) break;
    from = static_cast<DWORD>(found) + 1;
  }
  if (found < 0) return ERROR_HTTP_HEADER_NOT_FOUND;
  DWORD err = give(list[found].value);
  if (!err && index) ++*index;
  return err;
}

}  // namespace

int FindHeader(const std::vector<Header> &list, const std::string &name, size_t from) {
  for (size_t i = from; i < list.size(); ++i)
    if (EqualsNoCase(list[i].name, name)) return static_cast<int>(i);
  return -1;
}

bool ContentLengthIsConsistent(const std::vector<Header> &headers) {
  bool seen = false;
  uint64_t length = 0;
  for (int i = FindHeader(headers, "Content-Length"); i >= 0;
       i = FindHeader(headers, "Content-Length", static_cast<size_t>(i) + 1)) {
    const std::string &value = headers[static_cast<size_t>(i)].value;
    size_t start = 0;
    for (;;) {
      size_t comma = value.find(',', start);
      std::string item =
          Trim(value.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
      if (item.empty() || item.size() > 19 ||
          item.find_first_not_of("0123456789") != std::string::npos)
        return false;
      uint64_t number = strtoull(item.c_str(), nullptr, 10);
      if (seen && number != length) return false;
      seen = true;
      length = number;
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
  }
  return true;
}

std::string BasicCredentials(const std::string &user, const std::string &password) {
  return "Basic " + Base64(user + ":" + password);
}

bool HasBasicChallenge(const std::vector<Header> &headers, const char *name) {
  for (const Header &h : headers) {
    if (!EqualsNoCase(h.name, name)) continue;
    std::string v = Trim(h.value);
    if (v.size() >= 5 && EqualsNoCase(v.substr(0, 5), "basic")) return true;
  }
  return false;
}

DWORD AddHeaderBlock(Request &r, const char *text, DWORD length, DWORD modifiers,
                     std::vector<Header> *extras) {
  size_t n = length == kNulTerminated ? std::strlen(text) : length;
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

// The request head WinINet sends: the caller's headers (Accept first, then those added with
// HttpAddRequestHeadersA, in that order), Host, Content-Length (every verb but GET),
// User-Agent, the no-cache lines of the request flags, the extra headers of the send call,
// the keep-alive line and the credentials. curl's own headers are switched off first, so the
// lines go out in exactly this order.
curl_slist *RequestHeadLines(const Request &r, Body body, uint64_t bodyLength, bool tunnel,
                             bool curlLength) {
  curl_slist *list = nullptr;
  static const char *const suppressed[] = {"Host:",
                                           "Accept:",
                                           "Expect:",
                                           "Content-Type:",
                                           "Proxy-Connection:",
                                           "Connection:",
                                           "Transfer-Encoding:",
                                           "User-Agent:",
                                           "Pragma:",
                                           "Cache-Control:",
                                           "Authorization:",
                                           "Proxy-Authorization:",
                                           "Referer:"};
  for (const char *s : suppressed) list = curl_slist_append(list, s);
  if (!curlLength) list = curl_slist_append(list, "Content-Length:");
  const Session &session = *r.connection->session;
  bool plainProxy = ViaProxy(r) && !tunnel;
  auto present = [&r](const char *name) {
    return FindHeader(r.headers, name) >= 0 || FindHeader(r.extraHeaders, name) >= 0;
  };
  for (const Header &h : r.headers) AddLine(&list, h.name, h.value);
  if (!present("Host")) AddLine(&list, "Host", HostPort(r));
  bool sendLength = body != Body::None || r.verb != "GET";
  if (sendLength && !curlLength && !present("Content-Length"))
    AddLine(&list, "Content-Length", std::to_string(bodyLength));
  if (!session.agent.empty() && !present("User-Agent")) AddLine(&list, "User-Agent", session.agent);
  if ((r.flags & INTERNET_FLAG_PRAGMA_NOCACHE) && !present("Pragma"))
    AddLine(&list, "Pragma", "no-cache");
  if ((r.flags & INTERNET_FLAG_NO_CACHE_WRITE) && r.verb != "GET" && !present("Cache-Control"))
    AddLine(&list, "Cache-Control", "no-cache");
  for (const Header &h : r.extraHeaders) AddLine(&list, h.name, h.value);
  const char *keepName = plainProxy ? "Proxy-Connection" : "Connection";
  if ((r.flags & INTERNET_FLAG_KEEP_CONNECTION) && !present(keepName))
    AddLine(&list, keepName, "Keep-Alive");
  if (!r.authorization.empty() && !present("Authorization"))
    AddLine(&list, "Authorization", r.authorization);
  if (plainProxy && !r.proxyAuthorization.empty() && !present("Proxy-Authorization"))
    AddLine(&list, "Proxy-Authorization", r.proxyAuthorization);
  return list;
}

// The CONNECT of a tunnel carries only the agent and the proxy credentials.
curl_slist *ConnectHeadLines(const Request &r) {
  const Session &session = *r.connection->session;
  curl_slist *list = nullptr;
  list = curl_slist_append(list, "Proxy-Authorization:");
  list = curl_slist_append(list, "User-Agent:");
  if (!session.agent.empty()) AddLine(&list, "User-Agent", session.agent);
  if (!r.proxyAuthorization.empty()) AddLine(&list, "Proxy-Authorization", r.proxyAuthorization);
  return list;
}

void TakeReply(Request &r, const Transfer &t) {
  ParseStatus(t.statusLine, &r.httpVersion, &r.status, &r.statusText);
  r.replyHeaders = t.headers;
  r.synthetic = false;
}

}  // namespace lumox_inet

using namespace lumox_inet;

extern "C" BOOL WINAPI HttpAddRequestHeadersA(HINTERNET request, LPCSTR headers, DWORD length,
                                              DWORD modifiers) {
  DWORD err = 0;
  std::shared_ptr<Request> r = LookupAs<Request>(request, Kind::Request, &err);
  if (!err && !headers) err = ERROR_INVALID_PARAMETER;
  if (!err && length == 0) err = ERROR_HTTP_INVALID_HEADER;
  if (!err) err = AddHeaderBlock(*r, headers, length, modifiers);
  return err ? Fail(err) : TRUE;
}

extern "C" BOOL WINAPI HttpQueryInfoA(HINTERNET request, DWORD infoLevel, LPVOID buffer,
                                      LPDWORD length, LPDWORD index) {
  DWORD err = 0;
  std::shared_ptr<Request> r = LookupAs<Request>(request, Kind::Request, &err);
  if (!err) err = QueryInfo(*r, infoLevel, buffer, length, index);
  return err ? Fail(err) : TRUE;
}
