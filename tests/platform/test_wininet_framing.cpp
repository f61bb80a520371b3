// Reply framing of the WinINet subset: a Content-Length that is not a number or contradicts
// itself, and reply heads too large to accept, make the reply invalid (12152) at
// HttpSendRequestA and HttpEndRequestA; a list of equal lengths is one length.
#include "platform_expect.h"
#include "test_support.h"

#include <wininet.h>

#include <cstring>
#include <string>

using lumox_test::Server;
using lumox_test::UniqueId;

namespace {

const DWORD kFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_UI;
const char *kWine = "Wine's WinINet reads such a reply by the first length it finds";

class WininetFraming : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Server().ok) GTEST_SKIP() << "test server not running (LUMOX_SERVER_INFO)";
    session_ = InternetOpenA("Lumox/1.0", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    ASSERT_NE(nullptr, session_);
    connection_ =
        InternetConnectA(session_, "127.0.0.1", static_cast<INTERNET_PORT>(Server().httpPort), "",
                         "", INTERNET_SERVICE_HTTP, 0, 0);
    ASSERT_NE(nullptr, connection_);
  }
  void TearDown() override {
    if (connection_) InternetCloseHandle(connection_);
    if (session_) InternetCloseHandle(session_);
  }
  HINTERNET Open(const char *verb, const std::string &directives) {
    std::string path = "/x/" + UniqueId("frame") + "/" + directives;
    return HttpOpenRequestA(connection_, verb, path.c_str(), nullptr, nullptr, nullptr, kFlags, 0);
  }
  HINTERNET session_ = nullptr;
  HINTERNET connection_ = nullptr;
};

std::string ReadAll(HINTERNET request, BOOL *ok) {
  std::string body;
  char block[1024];
  *ok = TRUE;
  for (int i = 0; i < 1000; ++i) {
    DWORD n = 0;
    if (!InternetReadFile(request, block, sizeof block, &n)) {
      *ok = FALSE;
      break;
    }
    if (n == 0) break;
    body.append(block, n);
  }
  return body;
}

TEST_F(WininetFraming, InvalidLengthsAndHugeHeadsAreInvalidReplies) {
  const char *plans[] = {
      "body/20/hdr/Content-Length/10%2C%2020",
      "body/20/hdr/Content-Length/10/hdr/Content-Length/20",
      "body/20/hdr/Content-Length/-20",
      "body/20/hdr/Content-Length/20x",
      "body/20/fill/1/400000",
      "body/20/fill/4000/100",
  };
  for (const char *plan : plans) {
    SCOPED_TRACE(plan);
    HINTERNET request = Open("GET", plan);
    ASSERT_NE(nullptr, request);
    SetLastError(0xdeadbeef);
    BOOL sent = HttpSendRequestA(request, nullptr, 0, nullptr, 0);
    DWORD error = GetLastError();
    EXPECT_WINDOWS(EXPECT_FALSE(sent), kWine);
    EXPECT_WINDOWS(EXPECT_EQ(static_cast<DWORD>(ERROR_HTTP_INVALID_SERVER_RESPONSE), error), kWine);
    InternetCloseHandle(request);
  }
}

TEST_F(WininetFraming, EqualLengthsInAListAreOneLength) {
  HINTERNET request = Open("GET", "body/10/hdr/Content-Length/10%2C%2010");
  ASSERT_NE(nullptr, request);
  ASSERT_TRUE(HttpSendRequestA(request, nullptr, 0, nullptr, 0));
  BOOL ok = FALSE;
  std::string body = ReadAll(request, &ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(10u, body.size());
  InternetCloseHandle(request);
}

TEST_F(WininetFraming, InvalidReplyToAStreamedBodyFailsTheEndOfTheRequest) {
  HINTERNET request = Open("POST", "body/20/hdr/Content-Length/10%2C%2020");
  ASSERT_NE(nullptr, request);
  INTERNET_BUFFERSA buffers;
  memset(&buffers, 0, sizeof buffers);
  buffers.dwStructSize = sizeof buffers;
  buffers.dwBufferTotal = 4;
  ASSERT_TRUE(HttpSendRequestExA(request, &buffers, nullptr, 0, 0));
  DWORD written = 0;
  ASSERT_TRUE(InternetWriteFile(request, "body", 4, &written));
  SetLastError(0xdeadbeef);
  BOOL ended = HttpEndRequestA(request, nullptr, 0, 0);
  DWORD error = GetLastError();
  EXPECT_WINDOWS(EXPECT_FALSE(ended), kWine);
  EXPECT_WINDOWS(EXPECT_EQ(static_cast<DWORD>(ERROR_HTTP_INVALID_SERVER_RESPONSE), error), kWine);
  InternetCloseHandle(request);
}

}  // namespace
