// lumox: HTTP/HTTPS downloads and uploads from the command line, through the plain C
// exports of the Lumox library.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Lumox.h"
#include "descriptions.h"
#include "options.h"
#include "progress.h"
#include "staged_file.h"
#include "system.h"
#include "tool_settings.h"

namespace lumox_cli {

namespace {

// Exit statuses, by kind of failure.
enum ExitStatus {
  kExitOk = 0,
  kExitUsage = 2,
  kExitLocalFile = 3,
  kExitHttpStatus = 4,
  kExitNetwork = 5,
  kExitOther = 6,
  kExitInterrupted = 130,  // as a shell reports a process ended by SIGINT
};

constexpr int kWriteFault = 29;  // the system's write fault

int ExitStatusForTransfer(int code) {
  if (code == 0) return kExitOk;
  switch (code) {
    case LUMOX_E_FILE_CREATE:
    case LUMOX_E_FILE_OPEN:
    case LUMOX_E_FILE_SIZE:
    // The system's file errors while the body is written or the upload is read.
    case 2:  // the file being written was deleted
    case 5:  // access denied
    case kWriteFault:
    case 30:   // read fault
    case 32:   // sharing violation
    case 39:   // disk full
    case 112:  // disk full
      return kExitLocalFile;
    default: break;
  }
  if (code >= 100 && code <= 999) return kExitHttpStatus;
  if ((code >= 12000 && code <= 12999) || code == LUMOX_E_FILE_WRITE ||
      code == LUMOX_E_SIZE_MISMATCH)
    return kExitNetwork;
  return kExitOther;
}

// Messages on stderr: when even they cannot be written, nothing is left to tell it to.
void Say(const std::string &text) { WriteText(stderr, "lumox: " + text + "\n"); }

// The output of canon, message, --help and --version: a failed write is a failure of the
// command (exit 3), as it is for curl, so that a script does not take a cut result for one.
int Print(const std::string &text) {
  if (WriteText(stdout, text)) return kExitOk;
  Say(std::string("cannot write the output: ") + strerror(errno));
  return kExitLocalFile;
}

// One line: what is wrong and where the help is.
int UsageError(Command command, const std::string &error) {
  std::string help = command == Command::kNone
                         ? std::string("lumox --help")
                         : std::string("lumox ") + CommandName(command) + " --help";
  Say(error + "; see '" + help + "'");
  return kExitUsage;
}

std::string MessageFor(int code) {
  char buffer[512] = {0};
  if (HttpGetErrStrC(code, buffer, sizeof buffer) != 0) return std::string();
  return FromLibraryText(buffer);
}

// The library's message for a code, followed by lumox's own description when the library
// has only its general message for it.
std::string ExplainedMessage(int code) {
  std::string message = MessageFor(code);
  bool hasMessage = code != 0 && message != MessageFor(0);
  std::string description = CodeDescription(code, hasMessage);
  return description.empty() ? message : message + " (" + description + ")";
}

// The one line a failed call leaves on stderr: its result code and what it means.
void ReportFailure(int code) {
  Say("error " + std::to_string(code) + ": " + ExplainedMessage(code));
}

// Text arguments as the library takes them.
class LibraryArguments {
 public:
  bool Add(const std::string &native, std::string &library) {
    if (ToLibraryText(native, library)) return true;
    if (bad_.empty()) bad_ = native;
    return false;
  }
  const std::string &bad() const { return bad_; }

 private:
  std::string bad_;
};

struct Transfer {
  std::string url, path, field, reply, proxyHost, proxyUser, proxyPassword;
  std::vector<std::string> pairText;  // name, value, name, value, ...
  std::vector<char *> pairs;
};

// Converts what every transfer passes (`written`: the file that gets the download or the
// reply, checked here and replaced by its staged name later); false with a usage error
// already reported.
bool PrepareTransfer(const Options &o, Transfer &t, const std::string &written, int &status) {
  LibraryArguments args;
  std::string checked;
  bool ok = args.Add(o.url, t.url) && args.Add(written, checked);
  if (o.command == Command::kUpload) ok = ok && args.Add(o.file, t.path);
  for (const auto &pair : o.pairs) {
    t.pairText.emplace_back();
    ok = ok && args.Add(pair.first, t.pairText.back());
    t.pairText.emplace_back();
    ok = ok && args.Add(pair.second, t.pairText.back());
  }
  if (o.command == Command::kUpload) ok = ok && args.Add(o.field, t.field);
  ok = ok && args.Add(o.proxyHost, t.proxyHost) && args.Add(o.proxyUser, t.proxyUser);
  if (!ok) {
    status = UsageError(o.command, "'" + args.bad() + "' has characters without a Shift-JIS form");
    return false;
  }
  for (std::string &text : t.pairText) t.pairs.push_back(&text[0]);
  return true;
}

// The proxy password: the option, else LUMOX_PROXY_PASSWORD, else asked for on a terminal.
// False when none of them gives one (`password` stays empty).
bool ProxyPassword(const Options &o, std::string &password, int &status) {
  std::string native;
  if (o.hasProxyPassword) {
    native = o.proxyPassword;
  } else if (!GetEnv("LUMOX_PROXY_PASSWORD", native) &&
             !ReadPassword("Proxy password for " + o.proxyUser + ": ", native)) {
    return false;
  }
  if (!ToLibraryText(native, password)) {
    status = UsageError(o.command, "the proxy password has characters without a Shift-JIS form");
    return false;
  }
  return true;
}

// The local file a transfer writes: the download, or the reply of an upload (empty for
// none); "-" as given sends it to standard output as it arrives, with nothing staged on disk.
struct Written {
  std::string path;
  bool streamed = false;
};

// Chooses and checks the file the transfer writes and the file an upload sends; false with
// the failure said and `status` set.
bool ChooseWritten(const Options &o, Written &w, int &status) {
  bool get = o.command == Command::kGet;
  std::string &written = w.path;
  written = get ? o.output : o.reply;
  w.streamed = written == "-";
  std::string why;
  if (get && written.empty()) {
    std::string library;
    if (DefaultOutputName(o.url, written, why) && !ToLibraryText(written, library))
      why = "the name taken from the URL has characters without a Shift-JIS form";
    if (!why.empty()) {
      Say("cannot name the output file: " + why + "; give one with -o FILE");
      status = kExitLocalFile;
      return false;
    }
  }
  if (!get && !CheckReadable(o.file, why)) {
    Say("cannot read " + o.file + ": " + why);
    status = kExitLocalFile;
    return false;
  }
  if (!written.empty() && !w.streamed && !CheckWritable(written, why)) {
    Say("cannot write " + written + ": " + why);
    status = kExitLocalFile;
    return false;
  }
  return true;
}

// Points the library at where the transfer writes: a staged file that replaces the target
// only after success, or standard output as the body arrives (a name the library needs,
// never created). False with the failure said.
bool StageWritten(const Options &o, const Written &w, Transfer &t, StagedFile &staged) {
  std::string &libraryPath = o.command == Command::kGet ? t.path : t.reply;
  if (w.streamed) {
    libraryPath = "-";
    StagedFile::CatchInterruptions();
  } else if (!w.path.empty()) {
    std::string why;
    if (!staged.Begin(w.path, why)) {
      Say("cannot write " + w.path + ": " + why);
      return false;
    }
    ToLibraryText(staged.path(), libraryPath);  // the target's folder converted above
  }
  WatchTransfers(w.streamed);
  return true;
}

// Makes the one library call of the transfer: its result code.
int CallLibrary(const Options &o, Transfer &t, const char *proxyUser, const char *password) {
  int pairCount = static_cast<int>(t.pairs.size() / 2);
  char **pairs = t.pairs.empty() ? nullptr : t.pairs.data();
  if (o.command == Command::kGet) {
    int usePost = o.post ? 1 : 0;
    return o.useProxy
               ? HttpDownloadFileExC(t.url.c_str(), pairs, pairCount, t.path.c_str(), usePost, 0,
                                     t.proxyHost.c_str(), o.proxyPort, proxyUser, password)
               : HttpDownloadFileC(t.url.c_str(), pairs, pairCount, t.path.c_str(), usePost);
  }
  const char *field = o.raw ? nullptr : t.field.c_str();
  const char *reply = o.reply.empty() ? nullptr : t.reply.c_str();
  return o.useProxy
             ? HttpUploadFileExC(t.url.c_str(), pairs, pairCount, t.path.c_str(), field, reply, 0,
                                 t.proxyHost.c_str(), o.proxyPort, proxyUser, password)
             : HttpUploadFileC(t.url.c_str(), pairs, pairCount, t.path.c_str(), field, reply);
}

// What the call's result means for the user: the exit status, with the staged file kept in
// place of the target only after success.
int Conclude(const Options &o, int code, const Written &w, StagedFile &staged) {
  const std::string &written = w.path;
  if (StagedFile::Interrupted()) {
    staged.Discard();
    StagedFile::InterruptionHandled();
    return kExitInterrupted;
  }
  // The only file a stream writes is standard output; the library reports its failure as a
  // write fault.
  if (w.streamed && code == kWriteFault) {
    Say("cannot write the body to standard output");
    return kExitLocalFile;
  }
  if (code != 0) {
    staged.Discard();
    ReportFailure(code);
    return ExitStatusForTransfer(code);
  }
  if (written.empty() || w.streamed) return kExitOk;
  // The library keeps going when the reply file cannot be made; the caller asked for it.
  if (o.command != Command::kGet && FileSize(staged.path()) < 0) {
    Say("the upload succeeded but the reply could not be written to " + written);
    return kExitLocalFile;
  }
  std::string why;
  if (!staged.Commit(why)) {
    Say("cannot write " + written + ": " + why);
    return kExitLocalFile;
  }
  return kExitOk;
}

int RunTransfer(const Options &o) {
  bool get = o.command == Command::kGet;
  Written w;
  int status = kExitOk;
  if (!ChooseWritten(o, w, status)) return status;
  Transfer t;
  if (!PrepareTransfer(o, t, w.path, status)) return status;
  // A user without a password found anywhere goes with an empty one, as "user:".
  const char *password = nullptr;
  if (o.useProxy && o.hasProxyUser) {
    if (!ProxyPassword(o, t.proxyPassword, status) && status != kExitOk) return status;
    password = t.proxyPassword.c_str();
  }
  const char *proxyUser = o.hasProxyUser ? t.proxyUser.c_str() : nullptr;
  ApplyToolSettings(o.insecure, o.connectTimeoutMs, o.maxTimeMs);
  StagedFile staged;
  if (!StageWritten(o, w, t, staged)) return kExitLocalFile;

  bool progress = !o.silent && IsTerminal(stderr);
  ProgressMeter meter(get ? ProgressMeter::Kind::kDownload : ProgressMeter::Kind::kUpload,
                      get ? (w.streamed ? std::string("stdout") : w.path) : o.file);
  if (progress) meter.Start();
  int code = CallLibrary(o, t, proxyUser, password);
  meter.Finish();
  return Conclude(o, code, w, staged);
}

int RunCanon(const Options &o) {
  std::string url;
  if (!ToLibraryText(o.url, url))
    return UsageError(o.command, "'" + o.url + "' has characters without a Shift-JIS form");
  char buffer[2048] = {0};
  int code = HttpParseURLC(url.c_str(), buffer, sizeof buffer);
  if (code != 0) {
    ReportFailure(code);
    return kExitOther;
  }
  return Print(FromLibraryText(buffer) + "\n");
}

int RunMessage(const Options &o) { return Print(ExplainedMessage(o.code) + "\n"); }

}  // namespace

int Main(int argc, char **argv) {
  Options o;
  std::string error;
  if (!ParseCommandLine(argc, argv, o, error)) return UsageError(o.command, error);
  if (o.help) return Print(UsageText(o.command));
  if (o.version) return Print("lumox " LUMOX_CLI_VERSION "\n");
  switch (o.command) {
    case Command::kGet:
    case Command::kUpload: return RunTransfer(o);
    case Command::kCanon: return RunCanon(o);
    case Command::kMessage: return RunMessage(o);
    case Command::kNone: break;
  }
  return UsageError(Command::kNone, "no command given");
}

}  // namespace lumox_cli

int main(int argc, char **argv) { return lumox_cli::Main(argc, argv); }
