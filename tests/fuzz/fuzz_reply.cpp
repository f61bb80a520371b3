// The reply side of the WinINet layer: raw reply bytes from a loopback peer, read through
// HttpSendRequestA, HttpQueryInfoA and InternetReadFile. Besides crashes and leaks it
// checks that a read never ends in success with more body than a plain Content-Length
// announces, and that a shorter body leaves that Content-Length for the caller to see.
#include <windows.h>
#include <wininet.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz_check.h"
#include "loopback_peer.h"

namespace {

LoopbackPeer *g_peer;

std::string Lower(std::string text) {
  for (char &c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return text;
}

// The Content-Length of the final reply head when it is plain: a status line "HTTP/1.x"
// after any interim 1xx heads, header lines of the form "Name: value", exactly one
// Content-Length of digits alone and no Transfer-Encoding. -1 otherwise. Lines end with LF,
// with or without CR before it.
long long PlainContentLength(const std::string &reply) {
  size_t pos = 0;
  for (int head = 0; head < 8; ++head) {
    std::vector<std::string> lines;
    for (;;) {
      size_t eol = reply.find('\n', pos);
      if (eol == std::string::npos) return -1;
      std::string line = reply.substr(pos, eol - pos);
      pos = eol + 1;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty()) break;
      lines.push_back(line);
    }
    if (lines.empty() || lines[0].compare(0, 7, "HTTP/1.") != 0 || lines[0].size() < 12) return -1;
    int status = atoi(lines[0].c_str() + 9);
    if (status >= 100 && status < 200) continue;
    long long length = -1;
    for (size_t i = 1; i < lines.size(); ++i) {
      const std::string &line = lines[i];
      size_t colon = line.find(':');
      if (colon == std::string::npos || colon == 0 || line[0] == ' ' || line[0] == '\t') return -1;
      std::string name = Lower(line.substr(0, colon));
      if (name.find_first_of(" \t\r") != std::string::npos || line.find('\0') != std::string::npos) return -1;
      if (name == "transfer-encoding") return -1;
      if (name != "content-length") continue;
      if (length >= 0) return -1;
      size_t p = colon + 1, end = line.size();
      while (p < end && (line[p] == ' ' || line[p] == '\t')) ++p;
      while (end > p && (line[end - 1] == ' ' || line[end - 1] == '\t')) --end;
      if (p == end || end - p > 12 || line.find_first_not_of("0123456789", p) < end) return -1;
      length = atoll(line.substr(p, end - p).c_str());
    }
    return length;
  }
  return -1;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  g_peer = new LoopbackPeer();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 65536) return 0;
  std::string reply(reinterpret_cast<const char *>(data), size);
  g_peer->Answer(reply);

  HINTERNET session = InternetOpenA("LumoxFuzz/1.0", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
  FUZZ_CHECK(session != nullptr);
  DWORD timeout = 3000;
  InternetSetOptionA(session, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof timeout);
  InternetSetOptionA(session, INTERNET_OPTION_CONNECT_TIMEOUT, &timeout, sizeof timeout);
  HINTERNET connection = InternetConnectA(session, "127.0.0.1", static_cast<INTERNET_PORT>(g_peer->port()),
                                          nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0);
  FUZZ_CHECK(connection != nullptr);
  // No redirects: a Location in the reply must not send the client anywhere else.
  const DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_COOKIES |
                      INTERNET_FLAG_NO_UI | INTERNET_FLAG_NO_AUTO_REDIRECT;
  HINTERNET request = HttpOpenRequestA(connection, "GET", "/fuzz", nullptr, nullptr, nullptr, flags, 0);
  FUZZ_CHECK(request != nullptr);

  if (HttpSendRequestA(request, nullptr, 0, nullptr, 0)) {
    DWORD status = 0, length = sizeof status;
    HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &length, nullptr);
    char headers[512];
    length = sizeof headers;
    HttpQueryInfoA(request, HTTP_QUERY_RAW_HEADERS_CRLF, headers, &length, nullptr);
    size_t total = 0;
    bool ok = true;
    char block[1024];
    for (int i = 0; i < 200; ++i) {  // the reply is at most 64 KiB
      DWORD read = 0;
      if (!InternetReadFile(request, block, sizeof block, &read)) {
        ok = false;
        break;
      }
      if (read == 0) break;
      FUZZ_CHECK(read <= sizeof block);
      total += read;
    }
    FUZZ_CHECK(total <= reply.size());
    long long announced = PlainContentLength(reply);
    if (ok && announced >= 0 && status >= 200 && status != 204 && status != 304) {
      FUZZ_CHECK(total <= static_cast<unsigned long long>(announced));
      if (total < static_cast<unsigned long long>(announced)) {
        char value[32] = {};
        length = sizeof value - 1;
        FUZZ_CHECK(HttpQueryInfoA(request, HTTP_QUERY_CONTENT_LENGTH, value, &length, nullptr));
        FUZZ_CHECK(atoll(value) == announced);
      }
    }
  }
  InternetCloseHandle(request);
  InternetCloseHandle(connection);
  InternetCloseHandle(session);
  return 0;
}
