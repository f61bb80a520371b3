// The request exports: HttpOpenRequestA, the two ways to send (HttpSendRequestA with the
// whole body; HttpSendRequestExA, InternetWriteFile and HttpEndRequestA streaming it) and
// InternetReadFile. Each export looks up its request, runs an internal step that returns an
// error code, and is the only place that sets the last error. The exchanges run on libcurl
// inside these calls up to the reply head; a reply body is received by the request's network
// thread (wininet_net.cpp).
#include "wininet_internal.h"

#include <cstring>

namespace lumox_inet {

namespace {

// A verb is one token: no blanks and no control characters.
bool ValidVerb(const char *verb) {
  for (const char *p = verb; *p; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c <= ' ' || c == 0x7f) return false;
  }
  return true;
}

// Runs `step` on the request behind `handle`; a failure sets the last error here only.
// The request is the one this thread's look-up holds: no reference is taken per call, as the
// body calls come once per block.
template <class Step>
BOOL OnRequest(HINTERNET handle, Step step) {
  Object *o = LookupPinned(handle);
  DWORD err = !o                         ? ERROR_INVALID_HANDLE
              : o->kind != Kind::Request ? ERROR_INTERNET_INCORRECT_HANDLE_TYPE
                                         : step(static_cast<Request &>(*o));
  return err ? Fail(err) : TRUE;
}

// Ends a send step: on failure the exchange is dropped and the request remembers why
// (InternetReadFile reports it); otherwise the request moves on to `next`.
DWORD Settle(Request &r, DWORD err, ReqState next) {
  if (err) {
    EndTransfer(r);
    r.state = ReqState::Failed;
    r.failure = err;
  } else {
    r.state = next;
  }
  return err;
}

// A new send starts from a clean reply and body; proxy credentials the session has seen
// accepted go out at once.
void ResetForSend(Request &r) {
  EndTransfer(r);
  r.recvQueue.clear();
  r.sendQueue.clear();
  r.status = 0;
  r.statusText.clear();
  r.httpVersion.clear();
  r.replyHeaders.clear();
  r.synthetic = false;
  r.failure = 0;
  r.hasFixedBody = false;
  r.fixedBody.clear();
  r.streamTotal = r.streamWritten = 0;
  r.authorization.clear();
  ProxyServer *proxy = ProxyOf(r);
  r.proxyAuthorization = proxy ? proxy->acceptedBasic : std::string();
}

// The extra headers of a send call replace or join the caller's own.
DWORD AddExtraHeaders(Request &r, const char *headers, DWORD length) {
  if (!headers || !length) return 0;
  return AddHeaderBlock(r, headers, length, HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE,
                        &r.extraHeaders);
}

DWORD SendRequest(Request &r, const char *headers, DWORD headersLength, const void *optional,
                  DWORD optionalLength) {
  ResetForSend(r);
  if (DWORD err = AddExtraHeaders(r, headers, headersLength)) return err;
  Body body = Body::None;
  if (optional && optionalLength) {
    r.fixedBody.assign(static_cast<const char *>(optional), optionalLength);
    r.hasFixedBody = true;
    body = Body::Fixed;
  }
  DWORD err = StartTransfer(r, body);
  if (!err) err = RunUntilHead(r, body);
  return Settle(r, err, ReqState::HeadReady);
}

// The exchange is over with a complete reply while its body was still to come.
bool AnsweredEarly(const Transfer &t) { return t.done && t.headDone && t.result == CURLE_OK; }

// The exchange of a streamed body: taken back from its network thread once that is finished
// (the exchange ended), so that its outcome can be read.
void SettleNet(Request &r) {
  if (r.net.active && r.net.finished.load()) ReclaimNet(r);
}

// The exchange ended while body bytes were still to go: the error of that end.
DWORD EndedEarly(const Transfer &t) {
  return t.result == CURLE_OK ? ERROR_INTERNET_CONNECTION_ABORTED : MapCurlError(t, t.result);
}

// Queues body bytes of a streamed request for the network thread that sends them (or lets
// curl send them here when there is no such thread); waits while the queue is full.
DWORD WriteBody(Request &r, const char *data, DWORD length, DWORD *written) {
  if (r.state != ReqState::Streaming) return ERROR_INTERNET_INCORRECT_HANDLE_STATE;
  // The request announced its length; bytes beyond it would corrupt the connection.
  if (length > r.streamTotal - r.streamWritten) return ERROR_INVALID_PARAMETER;
  SettleNet(r);
  if (r.refusedTunnel || (r.transfer && !r.net.active && AnsweredEarly(*r.transfer))) {
    // The body has nowhere to go: the proxy refused the tunnel (the 407 comes at the end),
    // or the server answered before reading it and closed, where a write into the closed
    // connection still succeeds on WinINet. HttpEndRequestA hands out that reply.
    r.streamWritten += length;
    *written = length;
    return 0;
  }
  if (!r.transfer) return ERROR_INTERNET_INCORRECT_HANDLE_STATE;
  Transfer &t = *r.transfer;
  if (!r.net.active && !t.done && NetThreadPays(r.streamWritten, r.streamTotal - r.streamWritten))
    StartNet(r);
  DWORD err = 0;
  DWORD done = 0;
  uint64_t callStart = NowMs();
  while (done < length) {
    if (!r.net.active && t.done) {
      err = EndedEarly(t);
      break;
    }
    size_t n = r.sendQueue.push(data + done, length - done);
    done += static_cast<DWORD>(n);
    r.streamWritten += n;
    if (r.net.active)
      CallerAdded(r);
    else
      Unpause(t);
    if (done < length) {
      DWORD limit = r.options.sendTimeout == INFINITE ? 0 : r.options.sendTimeout;
      err = r.net.active ? WaitForSendRoom(r, callStart, limit) : Pump(r, Until::SendRoom);
      if (err) break;
      SettleNet(r);  // an exchange that ended while this call waited fails it
    }
  }
  if (!err && !r.net.active && !t.done && r.streamWritten == r.streamTotal) {
    // The last bytes are in: hand them to curl now rather than at HttpEndRequestA.
    int running = 0;
    curl_multi_perform(r.multi, &running);
  }
  *written = done;
  return Settle(r, err, ReqState::Streaming);
}

DWORD SendRequestEx(Request &r, const INTERNET_BUFFERSA *in) {
  ResetForSend(r);
  if (in) {
    if (DWORD err = AddExtraHeaders(r, in->lpcszHeader, in->dwHeadersLength)) return err;
  }
  r.streamTotal = in ? in->dwBufferTotal : 0;
  const char *first = in ? static_cast<const char *>(in->lpvBuffer) : nullptr;
  DWORD firstLength = first ? in->dwBufferLength : 0;
  if (firstLength > r.streamTotal) r.streamTotal = firstLength;
  if (DWORD err = Settle(r, ConnectForStream(r), ReqState::Streaming)) return err;
  if (!firstLength) return 0;
  DWORD written = 0;
  return WriteBody(r, first, firstLength, &written);
}

DWORD EndRequest(Request &r) {
  if (r.state != ReqState::Streaming) return ERROR_INTERNET_INCORRECT_HANDLE_STATE;
  if (r.refusedTunnel) {
    MakeProxyRefusal(r);
    r.state = ReqState::HeadReady;
    return 0;
  }
  if (!r.transfer) return ERROR_INTERNET_INCORRECT_HANDLE_STATE;
  // The caller's thread drives the exchange to the reply head, as it decides what follows.
  if (r.net.active) ReclaimNet(r);
  DWORD err;
  if (r.streamWritten < r.streamTotal) {
    // The body is shorter than announced; the exchange cannot be completed.
    err = ERROR_INTERNET_CONNECTION_ABORTED;
  } else {
    Unpause(*r.transfer);
    err = RunUntilHead(r, Body::Stream);
  }
  return Settle(r, err, ReqState::HeadReady);
}

// The end of a reply body whose exchange is over: 0, or the error the caller gets for it.
DWORD BodyEnd(const Transfer &t) {
  if (t.result == CURLE_OK) return 0;
  // A reply that announced its Content-Length and ended early ends like a complete one, as
  // WinINet does: the caller compares the length it got with the one announced.
  curl_off_t announced = -1;
  if (t.result == CURLE_PARTIAL_FILE &&
      curl_easy_getinfo(t.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) == CURLE_OK &&
      announced >= 0)
    return 0;
  return MapCurlError(t, t.result);
}

// Reply body bytes still to come as announced; UINT64_MAX when no length was announced.
uint64_t BodyLeft(const Transfer &t) {
  curl_off_t announced = -1;
  if (curl_easy_getinfo(t.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) != CURLE_OK ||
      announced < 0)
    return UINT64_MAX;
  uint64_t length = static_cast<uint64_t>(announced);
  return length > t.moved ? length - t.moved : 0;
}

// Hands out reply body bytes as they come; 0 bytes read is the end of the body. The body is
// received by the request's network thread; the receive time-out limits each wait of this
// call for bytes. Without that thread (it could not start, or it was stopped by a close or
// an unload) this call drives the exchange itself.
DWORD ReadBody(Request &r, char *out, DWORD toRead, DWORD *read) {
  if (r.state == ReqState::Failed)
    return r.failure ? r.failure : ERROR_INTERNET_INCORRECT_HANDLE_STATE;
  if (r.state != ReqState::HeadReady) return ERROR_INTERNET_INCORRECT_HANDLE_STATE;
  if (toRead == 0) return 0;
  uint64_t callStart = 0;
  for (;;) {
    size_t n = r.recvQueue.pop(out, toRead);
    if (n > 0) {
      *read = static_cast<DWORD>(n);
      if (r.transfer) r.transfer->moved += n;
      if (r.net.active) {
        ReaderTook(r);
      } else if (r.transfer && r.transfer->recvPaused &&
                 r.recvQueue.space() >= kReceiveBufferBytes) {
        // curl resumes by handing over all it holds, up to one receive buffer; with less
        // room it would pause again and copy the rest once more, block after block.
        Unpause(*r.transfer);
      }
      return 0;
    }
    if (!r.transfer) return 0;  // a reply without a body
    Transfer &t = *r.transfer;
    if (!callStart) callStart = NowMs();
    if (r.net.active) {
      if (!r.net.finished.load()) {
        DWORD limit = r.options.receiveTimeout;
        if (DWORD err = WaitForBytes(r, callStart, limit == INFINITE ? 0 : limit)) return err;
        continue;
      }
      if (r.recvQueue.size() > 0) continue;
      ReclaimNet(r);
    }
    if (t.done) return BodyEnd(t);
    Unpause(t);
    // The thread takes over once the request body is all in curl's hands (the send time-out
    // no longer applies) and the reply body is long.
    if (t.bodyHandedOver && !t.done && NetThreadPays(t.moved, BodyLeft(t)) && StartNet(r)) continue;
    if (DWORD err = Pump(r, Until::ReplyBytes)) return err;
  }
}

}  // namespace

}  // namespace lumox_inet

using namespace lumox_inet;

extern "C" HINTERNET WINAPI HttpOpenRequestA(HINTERNET connection, LPCSTR verb, LPCSTR objectName,
                                             LPCSTR version, LPCSTR referrer, LPCSTR *acceptTypes,
                                             DWORD flags, DWORD_PTR context) {
  DWORD err = 0;
  std::shared_ptr<Connection> c = LookupAs<Connection>(connection, Kind::Connection, &err);
  if (!c) return Fail(err, nullptr);
  if (verb && !ValidVerb(verb)) return Fail(ERROR_INVALID_PARAMETER, nullptr);
  auto r = std::make_shared<Request>();
  r->connection = c;
  r->options = c->options;
  r->verb = verb && *verb ? verb : "GET";
  r->object = objectName && *objectName ? objectName : "/";
  r->version = version && *version ? version : "HTTP/1.1";
  r->flags = flags;
  r->secure = (flags & INTERNET_FLAG_SECURE) != 0;
  r->securityFlags = c->options.securityFlags;
  if (r->secure)
    r->securityFlags |=
        flags & (INTERNET_FLAG_IGNORE_CERT_CN_INVALID | INTERNET_FLAG_IGNORE_CERT_DATE_INVALID);
  r->host = c->host;
  r->port = c->port != INTERNET_INVALID_PORT_NUMBER ? c->port : DefaultPort(r->secure);
  r->originSecure = r->secure;
  r->originHost = r->host;
  r->originPort = r->port;
  std::string path = EscapeSpaces(r->object);
  if (path[0] != '/' && path.find("://") == std::string::npos) path = "/" + path;
  r->path = path;
  if (acceptTypes) {
    std::string accept;
    for (LPCSTR *p = acceptTypes; *p; ++p) {
      if (!**p) continue;
      if (!accept.empty()) accept += ", ";
      accept += *p;
    }
    if (!accept.empty()) r->headers.push_back({"Accept", accept});
  }
  if (referrer && *referrer) r->headers.push_back({"Referer", referrer});
  return Register(r);
}

extern "C" BOOL WINAPI HttpSendRequestA(HINTERNET request, LPCSTR headers, DWORD headersLength,
                                        LPVOID optional, DWORD optionalLength) {
  return OnRequest(request, [&](Request &r) {
    return SendRequest(r, headers, headersLength, optional, optionalLength);
  });
}

extern "C" BOOL WINAPI HttpSendRequestExA(HINTERNET request, LPINTERNET_BUFFERSA in,
                                          LPINTERNET_BUFFERSA out, DWORD flags, DWORD_PTR context) {
  return OnRequest(request, [&](Request &r) { return SendRequestEx(r, in); });
}

extern "C" BOOL WINAPI InternetWriteFile(HINTERNET request, LPCVOID buffer, DWORD length,
                                         LPDWORD written) {
  return OnRequest(request, [&](Request &r) -> DWORD {
    if (!written || (!buffer && length)) return ERROR_INVALID_PARAMETER;
    *written = 0;
    return WriteBody(r, static_cast<const char *>(buffer), length, written);
  });
}

extern "C" BOOL WINAPI HttpEndRequestA(HINTERNET request, LPINTERNET_BUFFERSA out, DWORD flags,
                                       DWORD_PTR context) {
  return OnRequest(request, [](Request &r) { return EndRequest(r); });
}

extern "C" BOOL WINAPI InternetReadFile(HINTERNET request, LPVOID buffer, DWORD toRead,
                                        LPDWORD read) {
  return OnRequest(request, [&](Request &r) -> DWORD {
    if (!read || (!buffer && toRead)) return ERROR_INVALID_PARAMETER;
    *read = 0;
    return ReadBody(r, static_cast<char *>(buffer), toRead, read);
  });
}
