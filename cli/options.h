// The command line of `lumox`: what each command takes, parsed without touching the network.
#ifndef LUMOX_CLI_OPTIONS_H
#define LUMOX_CLI_OPTIONS_H

#include <string>
#include <utility>
#include <vector>

namespace lumox_cli {

enum class Command { kNone, kGet, kUpload, kCanon, kMessage };

struct Options {
  Command command = Command::kNone;
  bool help = false;     // --help for the tool or for `command`
  bool version = false;  // --version
  std::string url;
  std::string output;  // get: -o FILE (empty: named from the URL)
  std::string file;    // upload: the file to send
  std::string field = "file";
  bool raw = false;     // upload: bare body, pairs in the query string
  std::string reply;    // upload: --reply FILE
  bool post = false;    // get: download by POST
  bool silent = false;  // -s: no progress line
  std::vector<std::pair<std::string, std::string>> pairs;
  bool useProxy = false;
  std::string proxyHost;  // as given before the last ':' ("[::1]" keeps its brackets)
  int proxyPort = 0;
  bool hasProxyUser = false;
  std::string proxyUser;
  bool hasProxyPassword = false;
  std::string proxyPassword;
  bool insecure = false;            // -k: the library's relaxed certificate checks
  long long maxTimeMs = -1;         // --max-time in ms (0: no limit); -1: Lumox.ini's Total
  long long connectTimeoutMs = -1;  // --connect-timeout in ms; -1: Lumox.ini's Connect
  int code = 0;                     // message: the result code
};

// Parses argv. Returns true with `options` filled, or false with `error` saying what is wrong
// (the caller prints it with a hint to the help and exits 2). `--help` anywhere wins over
// errors in the other arguments.
bool ParseCommandLine(int argc, char **argv, Options &options, std::string &error);

// The file name `curl -O` and `wget` would take from `url`: its last path segment,
// percent-decoded. Returns false with `why` when that name is empty or unsafe to create
// in the current folder (".", "..", a path separator, a control character, ...).
bool DefaultOutputName(const std::string &url, std::string &name, std::string &why);

// Usage text of the tool (Command::kNone) or of one command.
const char *UsageText(Command command);

const char *CommandName(Command command);

}  // namespace lumox_cli

#endif  // LUMOX_CLI_OPTIONS_H
