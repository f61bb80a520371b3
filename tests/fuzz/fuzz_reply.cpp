// The reply side of the WinINet layer: raw reply bytes from a loopback peer, read through
// HttpSendRequestA, HttpQueryInfoA and InternetReadFile. Besides crashes and leaks it
// checks that a reply whose Content-Length values are not one number is never taken, that
// a read never ends in success with more body than the Content-Length announces, and that
// a shorter body leaves that Content-Length for the caller to see.
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

// The header lines of the final reply head (after any interim 1xx heads) when every line
// is plain: a status line "HTTP/1.x", then "Name: value" lines ending in LF (CR optional).
bool FinalHead(const std::string &reply, std::vector<std::string> *headers) {
  size_t pos = 0;
  for (int head = 0; head < 8; ++head) {
    std::vector<std::string> lines;
    for (;;) {
      size_t eol = reply.find('\n', pos);
      if (eol == std::string::npos) return false;
      std::string line = reply.substr(pos, eol - pos);
      pos = eol + 1;
      while (!line.empty() && line.back() == '\r') line.pop_back();  // as the layer reads lines
      if (line.empty()) break;
      lines.push_back(line);
    }
    if (lines.empty() || lines[0].compare(0, 7, "HTTP/1.") != 0 || lines[0].size() < 12)
      return false;
    int status = atoi(lines[0].c_str() + 9);
    if (status >= 100 && status < 200) continue;
    headers->assign(lines.begin() + 1, lines.end());
    for (const std::string &line : *headers) {
      size_t colon = line.find(':');
      if (colon == std::string::npos || colon == 0 || line.find_first_of(" \t\r", 0) < colon ||
          line.find('\0') != std::string::npos)
        return false;
    }
    return true;
  }
  return false;
}

// The values of the head's Content-Length headers, lists split at commas, blanks dropped.
std::vector<std::string> LengthValues(const std::vector<std::string> &headers,
                                      bool *transferEncoding) {
  std::vector<std::string> values;
  *transferEncoding = false;
  for (const std::string &line : headers) {
    size_t colon = line.find(':');
    std::string name = Lower(line.substr(0, colon));
    if (name == "transfer-encoding") *transferEncoding = true;
    if (name != "content-length") continue;
    std::string value = line.substr(colon + 1);
    size_t start = 0;
    for (;;) {
      size_t comma = value.find(',', start);
      std::string item =
          value.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
      size_t b = item.find_first_not_of(" \t"), e = item.find_last_not_of(" \t\r\n");
      values.push_back(b == std::string::npos ? std::string() : item.substr(b, e - b + 1));
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
  }
  return values;
}

bool Digits(const std::string &text) {
  return !text.empty() && text.size() <= 12 &&
         text.find_first_not_of("0123456789") == std::string::npos;
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

  HINTERNET session =
      InternetOpenA("LumoxFuzz/1.0", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
  FUZZ_CHECK(session != nullptr);
  DWORD timeout = 3000;
  InternetSetOptionA(session, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof timeout);
  InternetSetOptionA(session, INTERNET_OPTION_CONNECT_TIMEOUT, &timeout, sizeof timeout);
  HINTERNET connection =
      InternetConnectA(session, "127.0.0.1", static_cast<INTERNET_PORT>(g_peer->port()), nullptr,
                       nullptr, INTERNET_SERVICE_HTTP, 0, 0);
  FUZZ_CHECK(connection != nullptr);
  // No redirects: a Location in the reply must not send the client anywhere else.
  const DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                      INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_UI |
                      INTERNET_FLAG_NO_AUTO_REDIRECT;
  HINTERNET request =
      HttpOpenRequestA(connection, "GET", "/fuzz", nullptr, nullptr, nullptr, flags, 0);
  FUZZ_CHECK(request != nullptr);

  if (HttpSendRequestA(request, nullptr, 0, nullptr, 0)) {
    DWORD status = 0, length = sizeof status;
    HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &length,
                   nullptr);
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
    std::vector<std::string> head;
    bool transferEncoding = false;
    std::vector<std::string> values;
    if (FinalHead(reply, &head)) values = LengthValues(head, &transferEncoding);
    // A length that is not a number, or two different numbers: such a reply is never taken.
    for (const std::string &v : values) {
      FUZZ_CHECK(Digits(v) || v.size() > 12);
      if (Digits(v) && Digits(values[0])) FUZZ_CHECK(atoll(v.c_str()) == atoll(values[0].c_str()));
    }
    long long announced = -1;
    if (!transferEncoding && values.size() == 1 && Digits(values[0]))
      announced = atoll(values[0].c_str());
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
