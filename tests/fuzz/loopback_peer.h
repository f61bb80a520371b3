// A peer on 127.0.0.1 for the fuzz targets: it takes one connection at a time, reads the
// request head and as much body as the head announces, notes what it got, answers with
// the reply bytes it was given and closes its side. Everything is bounded in time.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fuzz_check.h"

struct PeerRecord {
  std::string head;          // request line and headers
  long long announced = -1;  // the request's Content-Length, -1 when it has none
  size_t bodyReceived = 0;   // body bytes that arrived before the reply went out
  bool chunked = false;
};

class LoopbackPeer {
 public:
  LoopbackPeer() {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    FUZZ_CHECK(listener_ >= 0);
    int one = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    FUZZ_CHECK(bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0);
    FUZZ_CHECK(listen(listener_, 16) == 0);
    socklen_t length = sizeof address;
    FUZZ_CHECK(getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &length) == 0);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~LoopbackPeer() {
    stop_ = true;
    thread_.join();
    close(listener_);
  }
  int port() const { return port_; }

  // The bytes every connection gets from now on; forgets the records so far.
  void Answer(const std::string &reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    reply_ = reply;
    records_.clear();
  }
  std::vector<PeerRecord> Records() {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
  }

 private:
  static bool WaitReadable(int fd, int ms) {
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, ms) > 0;
  }

  static long long ContentLength(const std::string &head, bool &chunked) {
    std::string lower = head;
    for (char &c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    chunked = lower.find("\r\ntransfer-encoding: chunked") != std::string::npos;
    size_t at = lower.find("\r\ncontent-length:");
    if (at == std::string::npos) return -1;
    return atoll(lower.c_str() + at + 17);
  }

  void Serve(int fd) {
    PeerRecord record;
    std::string data;
    char block[16384];
    size_t headEnd = std::string::npos;
    // Head: at most 256 KiB, 3 s of silence ends the connection.
    while (headEnd == std::string::npos && data.size() < (256u << 10)) {
      if (!WaitReadable(fd, 3000)) return;
      ssize_t n = recv(fd, block, sizeof block, 0);
      if (n <= 0) return;
      data.append(block, static_cast<size_t>(n));
      headEnd = data.find("\r\n\r\n");
    }
    if (headEnd == std::string::npos) return;
    record.head = data.substr(0, headEnd + 4);
    record.announced = ContentLength(record.head, record.chunked);
    record.bodyReceived = data.size() - record.head.size();
    // Body: what was announced, with 3 s of silence allowed between pieces.
    while (record.announced > 0 && record.bodyReceived < static_cast<size_t>(record.announced)) {
      if (!WaitReadable(fd, 3000)) break;
      ssize_t n = recv(fd, block, sizeof block, 0);
      if (n <= 0) break;
      record.bodyReceived += static_cast<size_t>(n);
    }
    std::string reply;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      records_.push_back(record);
      reply = reply_;
    }
    size_t sent = 0;
    while (sent < reply.size()) {
      ssize_t n = send(fd, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    shutdown(fd, SHUT_WR);
    // Wait (briefly) for the client to close, so it reads the whole reply.
    for (int i = 0; i < 20 && WaitReadable(fd, 100); ++i) {
      if (recv(fd, block, sizeof block, 0) <= 0) break;
    }
  }

  void Run() {
    while (!stop_) {
      if (!WaitReadable(listener_, 100)) continue;
      int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      Serve(fd);
      close(fd);
    }
  }

  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::string reply_;
  std::vector<PeerRecord> records_;
};
