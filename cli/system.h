// What `lumox` needs from the operating system besides the library: text in the terminal's
// encoding, terminals and passwords, file checks and the signals that end the process.
//
// "Native" text is what the tool's own arguments and terminal use (UTF-8 on Linux, the ANSI
// code page on Windows); "library" text is the library's ANSI code page (Shift-JIS).
#ifndef LUMOX_CLI_SYSTEM_H
#define LUMOX_CLI_SYSTEM_H

#include <cstdio>
#include <string>

namespace lumox_cli {

// Native text as the library takes it. False when a character has no Shift-JIS form.
bool ToLibraryText(const std::string &native, std::string &library);

// Library text (a message, a canonical URL) as native text.
std::string FromLibraryText(const std::string &library);

// Writes native text to stdout or stderr in the encoding of what they are connected to;
// false (with errno set) when not all of it went out, e.g. to a full disk or a closed pipe.
bool WriteText(FILE *stream, const std::string &native);

// True when the stream is a terminal (a console on Windows).
bool IsTerminal(FILE *stream);

// Asks for a password on the terminal of standard input without echo. False when standard
// input is not a terminal or nothing could be read.
bool ReadPassword(const std::string &prompt, std::string &password);

// Size of a file in bytes, or -1 when it does not exist or is not a regular file.
long long FileSize(const std::string &nativePath);
bool PathExists(const std::string &nativePath);

// True when the file can be written where it is: not a folder, not a file without write
// permission, in a folder where a file can be made. The check touches nothing but a file of
// its own unique name, which it makes and removes again; it never follows a link to create
// something. `why` names the reason otherwise.
bool CheckWritable(const std::string &nativePath, std::string &why);

// True when the file can be opened for reading; `why` names the reason otherwise (a folder
// is refused as one).
bool CheckReadable(const std::string &nativePath, std::string &why);

#ifndef _WIN32
// The signals that end the process by default and can be caught. Each whose action is the
// default gets `handler` (one the user set to be ignored stays ignored); `caught` records
// which, for RestoreEndingSignals. Both with the signals blocked or before threads start.
constexpr int kEndingSignalMax = 16;
struct CaughtSignals {
  bool caught[kEndingSignalMax] = {};
};
void CatchEndingSignals(void (*handler)(int), CaughtSignals &signals);
void RestoreEndingSignals(const CaughtSignals &signals);
// The signals themselves (for blocking them), `count` of them.
const int *EndingSignals(int &count);
#endif

// Environment variable, false when unset.
bool GetEnv(const char *name, std::string &value);

}  // namespace lumox_cli

#endif  // LUMOX_CLI_SYSTEM_H
