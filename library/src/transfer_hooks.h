// What a program that links the library's objects into itself (the lumox tool) may watch and
// take over in its own process: the bytes of a transfer as they move, a reply body handed to
// it instead of a file, and requests closed at once when StopTransfers asks, so that no wait
// of the internet library (connect, TLS, send, reply head, body) outlasts the stop. The
// shared library never sets them: a host program sees the transfers exactly as before.
#pragma once
#include <windows.h>
#include <wininet.h>
#include <stdint.h>

enum class Direction { kSend, kReceive };

class TransferObserver {
 public:
  virtual ~TransferObserver() = default;
  // The length of the body about to move: the announced upload body, or the reply body's
  // Content-Length (not called when the reply announces none).
  virtual void Announced(Direction direction, uint64_t total) = 0;
  // Bytes of the body just sent or received.
  virtual void Moved(Direction direction, uint64_t bytes) = 0;
  // True when the reply body that would be saved into a file (a download, an upload's
  // reply) goes to Body instead, with nothing created on disk.
  virtual bool TakesBody() const = 0;
  // Takes the next part of such a body; returns 0, or the error that ends the transfer.
  virtual int Body(const char *data, DWORD length) = 0;
};

// Set before the first transfer starts; null (the default) watches nothing.
void SetTransferObserver(TransferObserver *observer);
TransferObserver *CurrentTransferObserver();

// Makes StopTransfers close every request that is open, and every one opened later, at once.
// Called once before the first transfer.
void CloseRequestsOnStop();

// A request the engines opened, and its end. ForgetRequest returns false when the request
// was closed by a stop already, and must not be closed again.
void WatchRequest(HINTERNET request);
bool ForgetRequest(HINTERNET request);

// Closes the watched requests (after CloseRequestsOnStop); called by StopTransfers.
void CloseWatchedRequests();
