// A loadable copy of the WinINet layer for the unload test: it starts a download and leaves
// it in flight, so the library is unloaded while the request's network thread receives.
#include <windows.h>
#include <wininet.h>

// Opens a request for `path` on 127.0.0.1:`port`, sends it and reads 256 KiB of the reply
// body, more than the bytes that came with the head, so the network thread runs; the
// handles stay open. False when a call failed.
namespace lumox_inet {
void AlwaysStartNetThreads(bool always);
}

extern "C" __attribute__((visibility("default"))) bool StartDownloadAndLeave(int port,
                                                                             const char *path) {
  lumox_inet::AlwaysStartNetThreads(true);  // a thread for this short a body too
  HINTERNET session = InternetOpenA("Lumox/1.0", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
  HINTERNET connection =
      session ? InternetConnectA(session, "127.0.0.1", static_cast<INTERNET_PORT>(port), nullptr,
                                 nullptr, INTERNET_SERVICE_HTTP, 0, 0)
              : nullptr;
  HINTERNET request =
      connection ? HttpOpenRequestA(connection, "GET", path, nullptr, nullptr, nullptr, 0, 0)
                 : nullptr;
  if (!request || !HttpSendRequestA(request, nullptr, 0, nullptr, 0)) return false;
  char block[1024];
  for (DWORD total = 0, i = 0; total < 256 * 1024; total += i) {
    if (!InternetReadFile(request, block, sizeof block, &i) || i == 0) return false;
  }
  return true;
}
