// The query and form builders. Query strings: whatever the pairs, a query that is built
// decodes back to the pairs given. Form bodies: uploads and downloads by POST go through
// the library to a loopback peer, and the body that arrives is exactly as long as the
// Content-Length the request announced.
#include <windows.h>

#include <fuzzer/FuzzedDataProvider.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "Lumox.h"
#include "fuzz_check.h"
#include "loopback_peer.h"
#include "url.h"

namespace {

LoopbackPeer *g_peer;
std::string g_dir;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Percent-decodes one encoded name or value; every other byte must be unreserved.
std::string Decode(const std::string &text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%') {
      FUZZ_CHECK(i + 2 < text.size());
      int high = HexValue(text[i + 1]), low = HexValue(text[i + 2]);
      FUZZ_CHECK(high >= 0 && low >= 0);
      out.push_back(static_cast<char>(high << 4 | low));
      i += 2;
    } else {
      FUZZ_CHECK((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 c == '-' || c == '.' || c == '_');
      out.push_back(c);
    }
  }
  return out;
}

void CheckQuery(const std::vector<std::string> &texts, int pairCount) {
  std::vector<char *> pairs;
  for (const std::string &t : texts) pairs.push_back(const_cast<char *>(t.c_str()));
  char dest[1025];
  memset(dest, 0, sizeof dest);
  snprintf(dest, sizeof dest, "/path");
  if (!HttpAddGetParaC(pairs.data(), pairCount, dest, sizeof dest)) return;
  std::string built(dest);
  FUZZ_CHECK(built.size() < sizeof dest && built.compare(0, 5, "/path") == 0);
  std::string query = built.substr(5);
  int count = pairCount < 0 ? 0 : pairCount;
  if (count > static_cast<int>(texts.size() / 2)) count = static_cast<int>(texts.size() / 2);
  size_t pos = 0;
  for (int i = 0; i < count; ++i) {
    FUZZ_CHECK(pos < query.size() && query[pos] == (i == 0 ? '?' : '&'));
    size_t equals = query.find('=', pos + 1);
    FUZZ_CHECK(equals != std::string::npos);
    size_t end = query.find('&', equals + 1);
    if (end == std::string::npos) end = query.size();
    FUZZ_CHECK(Decode(query.substr(pos + 1, equals - pos - 1)) == texts[2 * i]);
    FUZZ_CHECK(Decode(query.substr(equals + 1, end - equals - 1)) == texts[2 * i + 1]);
    pos = end;
  }
  FUZZ_CHECK(pos == query.size());
}

void CheckPostBody(const std::vector<std::string> &texts, int pairCount,
                   const std::string &fieldName, const std::string &fileBytes, bool upload) {
  std::vector<char *> pairs;
  for (const std::string &t : texts) pairs.push_back(const_cast<char *>(t.c_str()));
  std::string localPath = g_dir + (upload ? "/send.bin" : "/reply.bin");
  if (upload) {
    FILE *file = fopen(localPath.c_str(), "wb");
    FUZZ_CHECK(file != nullptr);
    fwrite(fileBytes.data(), 1, fileBytes.size(), file);
    fclose(file);
  }
  g_peer->Answer("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
  std::string url = "http://127.0.0.1:" + std::to_string(g_peer->port()) + "/form?x=1";
  int result = upload
                   ? HttpUploadFileC(url.c_str(), pairs.data(), pairCount, localPath.c_str(),
                                     fieldName.c_str(), nullptr)
                   : HttpDownloadFileC(url.c_str(), pairs.data(), pairCount, localPath.c_str(), 1);
  std::vector<PeerRecord> records = g_peer->Records();
  if (result == 0) {
    FUZZ_CHECK(records.size() == 1);
    FUZZ_CHECK(!records[0].chunked && records[0].announced >= 0);
    FUZZ_CHECK(records[0].bodyReceived == static_cast<size_t>(records[0].announced));
    if (upload && fieldName.empty()) FUZZ_CHECK(records[0].bodyReceived == fileBytes.size());
  } else {
    // A body that cannot be laid out is refused before anything is sent.
    FUZZ_CHECK(result == LUMOX_E_TOO_LONG);
    FUZZ_CHECK(records.empty());
  }
  unlink(localPath.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  char dir[] = "/tmp/lumox-fuzz-form-XXXXXX";
  FUZZ_CHECK(mkdtemp(dir) != nullptr);
  g_dir = dir;
  g_peer = new LoopbackPeer();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 200000) return 0;
  FuzzedDataProvider input(data, size);
  const uint8_t mode = input.ConsumeIntegral<uint8_t>();
  int pairCount = input.ConsumeIntegralInRange<int>(-1, 70);
  std::string fieldName = input.ConsumeRandomLengthString(300);
  fieldName = std::string(fieldName.c_str());
  std::string fileBytes = input.ConsumeRandomLengthString(4096);
  std::vector<std::string> texts;
  while (texts.size() < 140 && input.remaining_bytes() > 0) {
    std::string text = input.ConsumeRandomLengthString(3000);
    texts.push_back(std::string(text.c_str()));  // a C text ends at its first NUL
  }
  if (texts.size() % 2) texts.pop_back();
  int usable = pairCount > static_cast<int>(texts.size() / 2) ? static_cast<int>(texts.size() / 2)
                                                              : pairCount;

  CheckQuery(texts, usable);
  switch (mode % 3) {
    case 0: CheckPostBody(texts, usable, fieldName, fileBytes, true); break;
    case 1: CheckPostBody(texts, usable, "", fileBytes, true); break;
    default: CheckPostBody(texts, usable, "", fileBytes, false); break;
  }
  return 0;
}
