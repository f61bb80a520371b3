// Internet session and HTTP connection of one transfer.
#include "session.h"

#include <stdio.h>
#include <string.h>

#include "Lumox.h"
#include "settings.h"

namespace {

constexpr char kUserAgent[] = "Lumox/1.0";
constexpr size_t kHostChars = 256;
constexpr size_t kCredentialChars = 64;
constexpr size_t kProxyChars = 256;

// Copies a URL part (pointer and length, no terminator) into out. False when it does not
// fit in maxChars characters.
bool CopyPart(const char *part, DWORD length, char *out, size_t maxChars) {
  if (part == nullptr || length == 0) return true;
  if (length > maxChars) return false;
  memcpy(out, part, length);
  out[length] = '\0';
  return true;
}

// The working copies of the URL's user name and password: cleared when the call ends, by
// a clearing the compiler keeps although nothing reads the buffers afterwards.
struct Credentials {
  char user[kCredentialChars + 1];
  char password[kCredentialChars + 1];
  Credentials() {
    memset(user, 0, sizeof user);
    memset(password, 0, sizeof password);
  }
  ~Credentials() {
    SecureZeroMemory(user, sizeof user);
    SecureZeroMemory(password, sizeof password);
  }
  Credentials(const Credentials &) = delete;
  Credentials &operator=(const Credentials &) = delete;
};

}  // namespace

int HttpOpenConnection(HINTERNET *session, HINTERNET *connection, const URL_COMPONENTSA *parts,
                       const char *proxyServer, int proxyPort, const char *proxyUser,
                       const char *proxyPassword) {
  *session = nullptr;
  *connection = nullptr;

  char host[kHostChars + 1];
  Credentials credentials;
  char *user = credentials.user;
  char *password = credentials.password;
  char proxy[kProxyChars + 1];
  memset(host, 0, sizeof host);
  memset(proxy, 0, sizeof proxy);

  // Every text is checked before anything is opened.
  if (!CopyPart(parts->lpszHostName, parts->dwHostNameLength, host, kHostChars) ||
      !CopyPart(parts->lpszUserName, parts->dwUserNameLength, user, kCredentialChars) ||
      !CopyPart(parts->lpszPassword, parts->dwPasswordLength, password, kCredentialChars)) {
    return LUMOX_E_TOO_LONG;
  }
  const bool useProxy = proxyServer != nullptr && proxyServer[0] != '\0';
  if (useProxy) {
    // InternetOpenA takes the proxy as one text, "host:port".
    int n = snprintf(proxy, sizeof proxy, "%s:%d", proxyServer, proxyPort);
    if (n < 0 || static_cast<size_t>(n) > kProxyChars) return LUMOX_E_TOO_LONG;
  }

  HINTERNET open;
  if (useProxy) {
    open = InternetOpenA(kUserAgent, INTERNET_OPEN_TYPE_PROXY, proxy, nullptr, 0);
  } else {
    open = InternetOpenA(kUserAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  }
  if (open == nullptr) return static_cast<int>(GetLastError());

  ApplyTimeouts(&open);

  HINTERNET connect =
      InternetConnectA(open, host, parts->nPort, user, password, INTERNET_SERVICE_HTTP, 0, 0);
  if (connect == nullptr) {
    int error = static_cast<int>(GetLastError());
    InternetCloseHandle(open);
    return error;
  }

  if (useProxy) {
    if (proxyUser != nullptr) {
      InternetSetOptionA(connect, INTERNET_OPTION_PROXY_USERNAME, const_cast<char *>(proxyUser),
                         static_cast<DWORD>(strlen(proxyUser) + 1));
    }
    if (proxyPassword != nullptr) {
      InternetSetOptionA(connect, INTERNET_OPTION_PROXY_PASSWORD, const_cast<char *>(proxyPassword),
                         static_cast<DWORD>(strlen(proxyPassword) + 1));
    }
  }

  *session = open;
  *connection = connect;
  return 0;
}
