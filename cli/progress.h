// The progress line of a transfer. The library counts the body's bytes as it sends or
// receives them (tool_settings.h); a second thread shows that count several times a second,
// with the total, the percentage and the time left when the body's length is announced.
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
  // `label` names the local file: the target of a download, the file an upload sends.
  ProgressMeter(Kind kind, const std::string &label);
  ~ProgressMeter();
  ProgressMeter(const ProgressMeter &) = delete;
  ProgressMeter &operator=(const ProgressMeter &) = delete;

  // Starts the thread; it rewrites the line on stderr five times a second.
  void Start();
  // Stops the thread and, if a line was shown, ends it with the final count and the time
  // the transfer took.
  void Finish();

  // The line shown for `bytes` of `total` (-1: not announced) at `rate` bytes a second;
  // `seconds` is the time left, or with `last` the time taken.
  static std::string Line(const std::string &label, long long bytes, long long total, double rate,
                          double seconds, bool last);

 private:
  void Counts(long long &bytes, long long &total) const;
  void Show(bool last);
  void Run();

  std::string label_;
  Kind kind_;
  size_t width_ = 0;
  bool shown_ = false;
  bool stop_ = false;
  double started_ = 0;
  // Rate over the last few seconds: the count and time of an earlier sample.
  double sampleTime_ = 0;
  long long sampleBytes_ = 0;
  double rate_ = 0;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::thread thread_;
};

// Seconds on a monotonic clock.
double MonotonicSeconds();

}  // namespace lumox_cli

#endif  // LUMOX_CLI_PROGRESS_H
