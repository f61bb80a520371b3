// The steps both transfer engines take: argument limits, the proxy-argument rule, the
// request flags and object name, the send with its retry, the status check, and the one
// closing block that releases what a call opened, in the fixed order with its trace lines.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <wininet.h>

#include "reply_file.h"
#include "transfer_call.h"

// Forced reload, no cache write, keep-alive, no cookies, no UI, no-cache pragma.
constexpr DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                                INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_NO_COOKIES |
                                INTERNET_FLAG_NO_UI | INTERNET_FLAG_PRAGMA_NOCACHE;
// Added for HTTPS URLs; with CertCheck on, only INTERNET_FLAG_SECURE.
constexpr DWORD kSecureFlags = INTERNET_FLAG_SECURE | INTERNET_FLAG_IGNORE_CERT_DATE_INVALID |
                               INTERNET_FLAG_IGNORE_CERT_CN_INVALID;
static_assert(kRequestFlags == 0x84480300u, "request flags");
static_assert((kRequestFlags | kSecureFlags) == 0x84C83300u, "secure request flags");
// HttpSendRequestExA and HttpEndRequestA: the request starts, its body follows in pieces.
constexpr DWORD kSendExFlags = HSR_INITIATE | HSR_CHUNKED;
static_assert(kSendExFlags == 0x28u, "send flags");

// LUMOX_E_TOO_LONG when the URL, the local path or a given reply path is too long, or when
// a download's reply is to be saved into an existing local path whose temporary names would
// not fit; otherwise 0.
int CheckTransferTexts(const TransferCall &call);

// Writes "InternetOpen,InternetConnection" and applies the proxy-argument rule: false when
// a proxy is asked for without a host, which the engine reports as LUMOX_E_NO_PROXY with
// nothing opened; otherwise true, with *proxy the call's arguments, or all absent when no
// proxy is asked for.
bool TakeProxyArguments(const TransferCall &call, ProxyArgs *proxy);

// What one engine call holds open. Null and invalid handles mean "not open".
struct TransferHandles {
  HINTERNET session = nullptr;
  HINTERNET connection = nullptr;
  HINTERNET request = nullptr;
  HANDLE localFile = INVALID_HANDLE_VALUE;  // hLocalFile: the file sent, or the file saved
  HANDLE replyFile = INVALID_HANDLE_VALUE;  // hTmpFile: the reply file of an upload
  SaveTarget reply;        // where the reply file is written, by the temporary-file rule
  bool keepReply = false;  // the time limit ended the reply: what arrived stays
};

// Opens the session and the connection of a call. Returns 0 or HttpOpenConnection's code,
// in which case nothing is open.
int OpenConnection(TransferHandles *handles, const URL_COMPONENTSA *parts, const ProxyArgs &proxy);

// The closing block: request, connection and session handles, then hLocalFile, then
// hTmpFile, each with its trace line and only when open. Returns result. The reply file
// then takes the reply's name only when the result is 0; otherwise it goes and an existing
// reply file stays as it was. A close that fails gives its error.
int CloseTransfer(TransferHandles *handles, int result);

// Appends the query strings of the call's list, in either form, to objectName, with their
// trace lines. Returns 0, or LUMOX_E_TOO_LONG when a list cannot be turned into a query or
// the name would not fit.
int AppendQueryStrings(const TransferCall &call, char *objectName, size_t size);

// How a request is opened and how its failed sends are repeated.
struct RequestFlags {
  DWORD open = kRequestFlags;  // flags of HttpOpenRequestA
  bool relaxUnknownCa = true;  // a repeated send accepts a certificate of an unknown CA
};

// The request flags for the cracked URL; an HTTPS URL writes "INTERNET_SCHEME_HTTPS". With
// "CertCheck" non-zero in the settings file an HTTPS request keeps every certificate check:
// no name or date relaxation, and no unknown-CA relaxation on a repeated send; a plain HTTP
// request then keeps the unknown-CA check too (an HTTPS proxy's certificate, a redirect to
// HTTPS).
RequestFlags RequestFlagsFor(const URL_COMPONENTSA *parts);

// Opens a request on the connection and applies the time-outs to it. Returns 0 or the
// platform's error, with *request null.
int OpenRequest(HINTERNET connection, const char *verb, const char *objectName,
                const char **acceptTypes, DWORD flags, HINTERNET *request);

// The three sends of the engines.
enum class SendForm {
  kGet,      // HttpSendRequestA with the form header; "HttpSendRequest" before each try
  kPriming,  // HttpSendRequestA without headers or data; no trace line
  kHead,     // HttpSendRequestExA announcing the body; "HttpSendRequestEx" after each failure
};

// Sends the request, repeating a failed send up to three times, with a certificate of an
// unknown authority accepted from then on when relaxUnknownCa is set. bodyLength is the
// length kHead announces. Returns 0 or the last send's error.
int SendWithRetry(HINTERNET request, SendForm form, DWORD bodyLength, bool relaxUnknownCa);

// Writes "HttpQueryInfo" and reads the reply's status. Returns 0 for 200, the status
// itself for any other, or the query's error.
int CheckStatus(HINTERNET request);
