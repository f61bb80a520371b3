// One call of a transfer export as the engines take it: what is asked for (the mode), where
// (URL, parameter list), with which files, and through which proxy. The export wrappers
// build it once; the engines and their steps only read it.
#pragma once
#include <windows.h>
#include <oleauto.h>

// Longest local path, in bytes, without its terminator.
constexpr size_t kMaxLocalPath = 260;
// Transfer block: bodies are read, sent and written in pieces of this size.
constexpr DWORD kBlockSize = 1024;

// What a call does. A GET download goes to the download engine, the other three to the
// upload engine (one POST request each).
enum class TransferMode {
  kGetDownload,      // GET with the list as query strings; the reply body saved to localPath
  kPostDownload,     // the list posted as form-data fields; the reply body saved to localPath
  kMultipartUpload,  // localPath sent as the file part fieldName behind the list's fields
  kRawUpload,        // localPath sent as the bare body; the list as query strings
};

// The four proxy arguments of a call.
struct ProxyArgs {
  const char *server;
  int port;
  const char *user;
  const char *password;
};

struct TransferCall {
  TransferMode mode = TransferMode::kGetDownload;
  const char *url = nullptr;
  SAFEARRAY **params = nullptr;  // the list in host-array form, or null
  char **pairs = nullptr;        // the list in plain-array form, or null
  int pairCount = 0;
  const char *localPath = nullptr;  // a download's target, an upload's file to send
  const char *fieldName = nullptr;  // a multipart upload's file-part name, otherwise null
  const char *replyPath = nullptr;  // an upload's reply file, or null (then none is kept)
  bool useProxy = false;            // go through proxy; otherwise the system's settings
  ProxyArgs proxy = {nullptr, 0, nullptr, nullptr};
};

// True for the two downloads: the reply body is saved into localPath.
inline bool SavesReply(TransferMode mode) {
  return mode == TransferMode::kGetDownload || mode == TransferMode::kPostDownload;
}
