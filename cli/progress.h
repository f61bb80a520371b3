// The progress line of a transfer. The library call is synchronous, so a second thread
// watches the transfer from outside: a download by the size of the file being written, an
// upload by the bytes the process has read (the file is read block by block as it is sent).
#ifndef LUMOX_CLI_PROGRESS_H
#define LUMOX_CLI_PROGRESS_H

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace lumox_cli {

class ProgressMeter {
 public:
  enum class Kind { kDownload, kUpload };
  // `label` names the local file (for a download, the target). A download watches
  // `watchedPath`, the file the library writes, until Finish (total unknown: -1);
  // an upload counts the process's reads against `total`, the size of the file sent.
  ProgressMeter(Kind kind, const std::string &label, const std::string &watchedPath,
                long long total);
  ~ProgressMeter();
  ProgressMeter(const ProgressMeter &) = delete;
  ProgressMeter &operator=(const ProgressMeter &) = delete;

  // Starts the thread; it rewrites the line on stderr four times a second.
  void Start();
  // Stops the thread and, if a line was shown, ends it with the final count.
  void Finish();

  // The line shown for `bytes` after `seconds`; `total` -1 when unknown.
  static std::string Line(const std::string &label, long long bytes, long long total,
                          double seconds);

 private:
  long long Current() const;
  void Show(bool last);
  void Run();

  std::string label_;
  std::string watchedPath_;
  long long total_ = -1;
  long long readBase_ = 0;
  long long lastBytes_ = 0;
  size_t width_ = 0;
  Kind kind_;
  bool shown_ = false;
  bool stop_ = false;
  double started_ = 0;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::thread thread_;
};

// Seconds on a monotonic clock.
double MonotonicSeconds();

}  // namespace lumox_cli

#endif  // LUMOX_CLI_PROGRESS_H
