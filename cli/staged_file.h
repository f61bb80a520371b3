// A file written under a temporary name and moved onto its target only when it is complete,
// so that the target is either the whole new file or exactly what it was before.
//
// The temporary file lies in a private folder of its own in the target's folder (0700; on
// Windows an access list that grants the user alone): the rename stays on one file system,
// and nobody else can put a name where the file is to be written. Ending the staging in
// any way but Commit removes the file and the folder; so does every catchable signal that
// would end the process (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGALRM, SIGUSR1, ...,
// after which the process ends by that signal) unless the user had set it to be ignored;
// on Windows Ctrl-C, Ctrl-Break and closing the console, which stop the transfer in
// whatever it waits for.
//
// The folder is named ".lumox-PID-START-XXXXXX" after the process and its start time. What
// cannot be caught (SIGKILL, the out-of-memory killer, a power cut) leaves it behind; a
// later Begin in the same folder removes such folders of the same user whose process is
// gone, and leaves those of running processes alone.
#ifndef LUMOX_CLI_STAGED_FILE_H
#define LUMOX_CLI_STAGED_FILE_H

#include <string>

namespace lumox_cli {

class StagedFile {
 public:
  StagedFile() = default;
  ~StagedFile() { Discard(); }
  StagedFile(const StagedFile &) = delete;
  StagedFile &operator=(const StagedFile &) = delete;

  // Removes stale staging folders beside `target` (native path), then makes the private
  // folder. False with `why` (the system's reason) when it cannot be made. Only one staged
  // file is active at a time.
  bool Begin(const std::string &target, std::string &why);

  // Native path of the file to write; it does not exist yet.
  const std::string &path() const { return path_; }

  // Moves the written file onto the target, replacing it, and removes the folder. False
  // with `why` when the move fails; the target is then as it was.
  bool Commit(std::string &why);

  // Removes the file, if any, and the folder.
  void Discard();

  // Windows: asks for Ctrl-C, Ctrl-Break and closing the console to stop the transfer even
  // when nothing is staged (a body streamed to standard output).
  static void CatchInterruptions();

  // True once an interruption asked the transfer to stop (Windows; on POSIX the process has
  // ended by then).
  static bool Interrupted();

  // Says that the interrupted transfer has ended and nothing is left to remove (Windows).
  static void InterruptionHandled();

 private:
  std::string target_;
  std::string folder_;
  std::string path_;
  bool active_ = false;
};

}  // namespace lumox_cli

#endif  // LUMOX_CLI_STAGED_FILE_H
