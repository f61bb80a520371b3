// A file written under a temporary name and moved onto its target only when it is complete,
// so that the target is either the whole new file or exactly what it was before.
//
// The temporary file lies in a private folder of its own (".lumox-XXXXXX") in the target's
// folder: the rename stays on one file system, and nobody else can put a name where the
// file is to be written. Ending the staging in any way but Commit removes the file and the
// folder; so does an interruption (SIGINT, SIGTERM, SIGHUP, after which the process ends by
// that signal; on Windows Ctrl-C, Ctrl-Break and closing the console, which stop the
// transfer at its next block of the body).
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

  // Makes the private folder beside `target` (native path). False with `why` (the system's
  // reason) when it cannot be made. Only one staged file is active at a time.
  bool Begin(const std::string &target, std::string &why);

  // Native path of the file to write; it does not exist yet.
  const std::string &path() const { return path_; }

  // Moves the written file onto the target, replacing it, and removes the folder. False
  // with `why` when the move fails; the target is then as it was.
  bool Commit(std::string &why);

  // Removes the file, if any, and the folder.
  void Discard();

  // True once an interruption asked the transfer to stop (Windows; on POSIX the process has
  // ended by then).
  static bool Interrupted();

 private:
  std::string target_;
  std::string folder_;
  std::string path_;
  bool active_ = false;
};

}  // namespace lumox_cli

#endif  // LUMOX_CLI_STAGED_FILE_H
