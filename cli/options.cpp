// Command-line parsing of `lumox`. Options and operands may come in any order after the
// command; "--" ends the options. Long options take their value as "--name VALUE" or
// "--name=VALUE", the one-letter ones as "-o VALUE" or "-oVALUE".
#include "options.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace lumox_cli {

namespace {

enum OptionId {
  kOutput,
  kData,
  kPost,
  kSilent,
  kField,
  kRaw,
  kReply,
  kProxy,
  kProxyUser,
  kProxyPassword,
  kInsecure,
  kMaxTime,
  kConnectTimeout,
  kHelp,
  kVersion
};

struct OptionDef {
  OptionId id;
  const char *longName;
  char shortName;
  bool takesValue;
  bool forGet;
  bool forUpload;
};

const OptionDef kOptionDefs[] = {
    {kOutput, "output", 'o', true, true, false},
    {kData, "data", 'd', true, true, true},
    {kPost, "post", 0, false, true, false},
    {kSilent, "silent", 's', false, true, true},
    {kField, "field", 0, true, false, true},
    {kRaw, "raw", 0, false, false, true},
    {kReply, "reply", 0, true, false, true},
    {kProxy, "proxy", 0, true, true, true},
    {kProxyUser, "proxy-user", 0, true, true, true},
    {kProxyPassword, "proxy-password", 0, true, true, true},
    {kInsecure, "insecure", 'k', false, true, true},
    {kMaxTime, "max-time", 0, true, true, true},
    {kConnectTimeout, "connect-timeout", 0, true, true, true},
    {kHelp, "help", 'h', false, true, true},
    {kVersion, "version", 0, false, false, false},
};

const OptionDef *FindLong(const std::string &name) {
  for (const OptionDef &def : kOptionDefs)
    if (name == def.longName) return &def;
  return nullptr;
}

const OptionDef *FindShort(char name) {
  for (const OptionDef &def : kOptionDefs)
    if (def.shortName != 0 && def.shortName == name) return &def;
  return nullptr;
}

Command CommandByName(const std::string &name) {
  if (name == "get") return Command::kGet;
  if (name == "upload") return Command::kUpload;
  if (name == "canon") return Command::kCanon;
  if (name == "message") return Command::kMessage;
  return Command::kNone;
}

bool IsHelp(const char *arg) { return strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0; }

bool StartsWithNoCase(const std::string &text, const char *prefix) {
  size_t n = strlen(prefix);
  if (text.size() < n) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

bool ParseDecimal(const std::string &text, long long low, long long high, long long &value) {
  if (text.empty() || text.size() > 12) return false;
  size_t i = text[0] == '-' ? 1 : 0;
  if (i == text.size()) return false;
  for (size_t j = i; j < text.size(); ++j)
    if (text[j] < '0' || text[j] > '9') return false;
  value = strtoll(text.c_str(), nullptr, 10);
  return value >= low && value <= high;
}

// Seconds with at most three decimals ("30", "0.5") as milliseconds, within [lowMs, highMs].
bool ParseSeconds(const std::string &text, long long lowMs, long long highMs, long long &ms) {
  size_t dot = text.find('.');
  std::string whole = text.substr(0, dot);
  std::string fraction = dot == std::string::npos ? std::string() : text.substr(dot + 1);
  if (whole.empty() || whole.size() > 7 || fraction.size() > 3 ||
      (dot != std::string::npos && fraction.empty()))
    return false;
  for (char c : whole + fraction)
    if (c < '0' || c > '9') return false;
  while (fraction.size() < 3) fraction += '0';
  ms = strtoll(whole.c_str(), nullptr, 10) * 1000 + strtoll(fraction.c_str(), nullptr, 10);
  return ms >= lowMs && ms <= highMs;
}

// The library keeps its limits in 32-bit milliseconds.
constexpr long long kMaxMs = 4294967295LL;

bool ParseProxy(const std::string &text, Options &options, std::string &error) {
  size_t colon = text.rfind(':');
  long long port = 0;
  if (colon == std::string::npos || colon == 0 ||
      !ParseDecimal(text.substr(colon + 1), 1, 65535, port) || text[colon + 1] == '-') {
    error = "--proxy takes HOST:PORT with a port from 1 to 65535, not '" + text + "'";
    return false;
  }
  options.useProxy = true;
  options.proxyHost = text.substr(0, colon);
  options.proxyPort = static_cast<int>(port);
  return true;
}

// A text option that must not be empty.
bool SetText(const std::string &value, std::string &target, const char *whenEmpty,
             std::string &error) {
  if (value.empty()) {
    error = whenEmpty;
    return false;
  }
  target = value;
  return true;
}

// A time option in seconds, within [lowMs, kMaxMs] milliseconds.
bool SetSeconds(const std::string &value, long long lowMs, long long &targetMs, const char *usage,
                std::string &error) {
  if (ParseSeconds(value, lowMs, kMaxMs, targetMs)) return true;
  error = std::string(usage) + ", not '" + value + "'";
  return false;
}

bool ApplyOption(const OptionDef &def, const std::string &value, Options &options,
                 std::string &error) {
  switch (def.id) {
    case kOutput: return SetText(value, options.output, "-o needs a file name", error);
    case kData: {
      size_t eq = value.find('=');
      if (eq == std::string::npos) {
        error = "-d takes NAME=VALUE, not '" + value + "'";
        return false;
      }
      options.pairs.emplace_back(value.substr(0, eq), value.substr(eq + 1));
      return true;
    }
    case kPost: options.post = true; return true;
    case kSilent: options.silent = true; return true;
    case kField:
      return SetText(value, options.field, "--field needs a name (use --raw to send the bare file)",
                     error);
    case kRaw: options.raw = true; return true;
    case kReply: return SetText(value, options.reply, "--reply needs a file name", error);
    case kProxy: return ParseProxy(value, options, error);
    case kProxyUser:
      options.hasProxyUser = true;
      options.proxyUser = value;
      return true;
    case kProxyPassword:
      options.hasProxyPassword = true;
      options.proxyPassword = value;
      return true;
    case kInsecure: options.insecure = true; return true;
    case kMaxTime:
      return SetSeconds(value, 0, options.maxTimeMs,
                        "--max-time takes SECONDS (0 for no limit, up to three decimals)", error);
    case kConnectTimeout:
      return SetSeconds(value, 1, options.connectTimeoutMs,
                        "--connect-timeout takes SECONDS above 0 (up to three decimals)", error);
    case kHelp:
    case kVersion: return true;
  }
  return true;
}

bool CheckOperands(Options &options, const std::vector<std::string> &operands, bool fieldGiven,
                   std::string &error) {
  size_t wanted = options.command == Command::kUpload ? 2 : 1;
  if (operands.size() != wanted) {
    error = operands.size() < wanted ? "missing operand" : "too many operands";
    return false;
  }
  switch (options.command) {
    case Command::kGet:
    case Command::kUpload:
      options.url = operands[0];
      if (!StartsWithNoCase(options.url, "http://") && !StartsWithNoCase(options.url, "https://")) {
        error = "the URL must start with http:// or https://";
        return false;
      }
      if (options.command == Command::kUpload) {
        options.file = operands[1];
        if (options.file.empty()) {
          error = "the file to upload has no name";
          return false;
        }
        if (options.raw && fieldGiven) {
          error = "--field and --raw exclude each other";
          return false;
        }
      }
      break;
    case Command::kCanon: options.url = operands[0]; break;
    case Command::kMessage: {
      long long code = 0;
      if (!ParseDecimal(operands[0], INT_MIN, INT_MAX, code)) {
        error = "CODE must be a whole number, not '" + operands[0] + "'";
        return false;
      }
      options.code = static_cast<int>(code);
      break;
    }
    case Command::kNone: break;
  }
  if ((options.hasProxyUser || options.hasProxyPassword) && !options.useProxy) {
    error = "--proxy-user and --proxy-password need --proxy";
    return false;
  }
  if (options.hasProxyPassword && !options.hasProxyUser) {
    error = "--proxy-password needs --proxy-user";
    return false;
  }
  return true;
}

// The option `arg` names ("--name", "--name=VALUE", "-x", "-xVALUE"), with the value it
// carries in itself; null when there is no such option.
const OptionDef *LookUpOption(const std::string &arg, std::string &value, bool &hasValue,
                              std::string &error) {
  const OptionDef *def = nullptr;
  if (arg[1] == '-') {
    size_t eq = arg.find('=');
    def = FindLong(arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2));
    if (def != nullptr && eq != std::string::npos) {
      if (!def->takesValue) {
        error = "option --" + std::string(def->longName) + " takes no value";
        return nullptr;
      }
      value = arg.substr(eq + 1);
      hasValue = true;
    }
  } else {
    def = FindShort(arg[1]);
    if (def != nullptr && arg.size() > 2) {
      if (!def->takesValue)
        def = nullptr;  // "-sx": no bundling of switches
      else {
        value = arg.substr(2);
        hasValue = true;
      }
    }
  }
  if (def == nullptr) error = "unknown option '" + arg + "'";
  return def;
}

// The command (argv[1]) and a help request anywhere before "--". False with `error` when
// there is no known command; true with nothing more to read for help and --version.
bool ReadCommand(int argc, char **argv, Options &options, std::string &error) {
  if (argc < 2) {
    error = "no command given";
    return false;
  }
  std::string first = argv[1];
  if (IsHelp(argv[1])) {
    options.help = true;
    return true;
  }
  if (first == "--version") {
    options.version = true;
    return true;
  }
  options.command = CommandByName(first);
  if (options.command == Command::kNone) {
    error = "unknown command '" + first + "'";
    return false;
  }
  for (int i = 2; i < argc; ++i) {
    if (strcmp(argv[i], "--") == 0) break;
    if (IsHelp(argv[i])) {
      options.help = true;
      return true;
    }
  }
  return true;
}

}  // namespace

bool ParseCommandLine(int argc, char **argv, Options &options, std::string &error) {
  options = Options();
  if (!ReadCommand(argc, argv, options, error)) return false;
  if (options.help || options.version) return true;

  std::vector<std::string> operands;
  bool fieldGiven = false;
  bool optionsEnded = false;
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    bool negativeCode = options.command == Command::kMessage && arg[0] == '-' && arg.size() > 1 &&
                        arg[1] >= '0' && arg[1] <= '9';
    if (optionsEnded || arg.size() < 2 || arg[0] != '-' || negativeCode) {
      operands.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    std::string value;
    bool hasValue = false;
    const OptionDef *def = LookUpOption(arg, value, hasValue, error);
    if (def == nullptr) return false;
    bool allowed = options.command == Command::kGet      ? def->forGet
                   : options.command == Command::kUpload ? def->forUpload
                                                         : def->id == kHelp;
    if (!allowed) {
      error = "option '" + arg + "' does not apply to " + CommandName(options.command);
      return false;
    }
    if (def->takesValue && !hasValue) {
      if (i + 1 >= argc) {
        error = "option '" + arg + "' needs a value";
        return false;
      }
      value = argv[++i];
    }
    if (def->id == kField) fieldGiven = true;
    if (!ApplyOption(*def, value, options, error)) return false;
  }
  return CheckOperands(options, operands, fieldGiven, error);
}

bool DefaultOutputName(const std::string &url, std::string &name, std::string &why) {
  // The path ends where the query or the fragment starts; it begins after "scheme://host".
  std::string rest = url;
  size_t end = rest.find_first_of("?#");
  if (end != std::string::npos) rest.resize(end);
  size_t scheme = rest.find("://");
  size_t pathStart = rest.find('/', scheme == std::string::npos ? 0 : scheme + 3);
  std::string segment =
      pathStart == std::string::npos ? std::string() : rest.substr(rest.rfind('/') + 1);

  std::string decoded;
  for (size_t i = 0; i < segment.size(); ++i) {
    auto hex = [](char c) {
      return c >= '0' && c <= '9'   ? c - '0'
             : c >= 'a' && c <= 'f' ? c - 'a' + 10
             : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                    : -1;
    };
    if (segment[i] == '%' && i + 2 < segment.size() && hex(segment[i + 1]) >= 0 &&
        hex(segment[i + 2]) >= 0) {
      decoded.push_back(static_cast<char>(hex(segment[i + 1]) * 16 + hex(segment[i + 2])));
      i += 2;
    } else {
      decoded.push_back(segment[i]);
    }
  }

  if (decoded.empty()) {
    why = "the URL's path ends without a file name";
    return false;
  }
  if (decoded.find_first_not_of('.') == std::string::npos) {
    why = "the URL's last path segment is '" + decoded + "'";
    return false;
  }
  for (unsigned char c : decoded) {
    if (c == '/' || c == '\\') {
      why = "the file name taken from the URL holds a path separator";
      return false;
    }
    if (c < 0x20 || c == 0x7f) {
      why = "the file name taken from the URL holds a control character";
      return false;
    }
    if (c == ':') {
      why = "the file name taken from the URL holds a ':'";
      return false;
    }
  }
#ifdef _WIN32
  // Windows opens a device, not a file, under these names, with or without an extension.
  std::string stem = decoded.substr(0, decoded.find('.'));
  for (char &c : stem)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  static const char *const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  bool device = false;
  for (const char *d : kDevices) device = device || stem == d;
  if (stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
      stem[3] >= '0' && stem[3] <= '9')
    device = true;
  if (device || decoded.find_first_of("<>\"|?*") != std::string::npos || decoded.back() == '.' ||
      decoded.back() == ' ') {
    why = "'" + decoded + "' is not a usable Windows file name";
    return false;
  }
#endif
  name = decoded;
  return true;
}

const char *CommandName(Command command) {
  switch (command) {
    case Command::kGet: return "get";
    case Command::kUpload: return "upload";
    case Command::kCanon: return "canon";
    case Command::kMessage: return "message";
    case Command::kNone: break;
  }
  return "lumox";
}

const char *UsageText(Command command) {
  switch (command) {
    case Command::kGet:
      return "Usage: lumox get URL [-o FILE | -o -] [-d NAME=VALUE]... [--post] [OPTIONS]\n"
             "Downloads URL into FILE (default: the URL's last path segment).\n"
             "  -o, --output FILE     file to write; replaced only when the download succeeds\n"
             "  -o -                  write the body to standard output as it arrives (nothing\n"
             "                        on disk; exit status 5 when it was cut short)\n"
             "  -d, --data NAME=VALUE a parameter; repeatable. GET: query string; --post: form field\n"
             "      --post            download by POST with the parameters as multipart form fields\n"
             "  -k, --insecure        relax the HTTPS certificate checks (full by default)\n"
             "      --max-time SECONDS        stop a body that takes longer than this\n"
             "      --connect-timeout SECONDS give up connecting after this long\n"
             "  -s, --silent          no progress line (bytes, total, %, rate, time left)\n"
             "      --proxy HOST:PORT, --proxy-user USER, --proxy-password PASSWORD\n"
             "                        go through a proxy; give the password by LUMOX_PROXY_PASSWORD\n"
             "                        or at the prompt (standard input a terminal): on the command\n"
             "                        line it shows in the process list\n"
             "The body is staged in .lumox-PID-START-XXXXXX beside FILE; a signal removes it\n"
             "(one ignored at start, as under nohup, stays ignored), and a later run removes\n"
             "those of lumox processes that are gone. See lumox(1).\n";
    case Command::kUpload:
      return "Usage: lumox upload URL FILE [--field NAME | --raw] [-d NAME=VALUE]... [--reply FILE]\n"
             "                    [OPTIONS]\n"
             "Uploads FILE to URL by POST.\n"
             "      --field NAME      form field of the file part (default: file)\n"
             "      --raw             send FILE as the bare body; parameters go to the query string\n"
             "  -d, --data NAME=VALUE a form field before the file (query parameter with --raw)\n"
             "      --reply FILE      keep the server's reply in FILE (-: standard output)\n"
             "  -k, --insecure, --max-time SECONDS, --connect-timeout SECONDS, -s, --silent,\n"
             "      --proxy HOST:PORT, --proxy-user USER, --proxy-password PASSWORD\n"
             "                        as for get (see lumox get --help)\n";
    case Command::kCanon:
      return "Usage: lumox canon URL\n"
             "Prints the canonical form of URL (dot segments resolved, unsafe characters escaped).\n";
    case Command::kMessage:
      return "Usage: lumox message CODE\n"
             "Prints the library's message for a result code.\n";
    case Command::kNone: break;
  }
  return "Usage: lumox COMMAND [ARGUMENTS]\n"
         "HTTP/HTTPS file transfers through the Lumox library.\n"
         "\n"
         "Commands:\n"
         "  get URL [-o FILE] [-d NAME=VALUE]... [--post]       download a file (-o -: stdout)\n"
         "  upload URL FILE [--field NAME | --raw] [-d NAME=VALUE]... [--reply FILE]\n"
         "                                                      upload a file\n"
         "  canon URL                                           canonical form of a URL\n"
         "  message CODE                                        the message for a result code\n"
         "\n"
         "get and upload check HTTPS certificates fully unless given -k (--insecure); they\n"
         "also take --max-time and --connect-timeout SECONDS, -s (no progress) and\n"
         "--proxy HOST:PORT with --proxy-user USER; the proxy password is best given by\n"
         "LUMOX_PROXY_PASSWORD or at the prompt rather than by --proxy-password.\n"
         "lumox COMMAND --help describes one command; lumox --version shows the version.\n"
         "\n"
         "Exit status: 0 success, 2 usage, 3 local file, 4 HTTP status, 5 network, 6 other.\n";
}

}  // namespace lumox_cli
