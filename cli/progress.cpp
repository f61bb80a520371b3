#include "progress.h"

#include <chrono>
#include <cmath>
#include <cstdio>

#include "system.h"
#include "tool_settings.h"

namespace lumox_cli {

namespace {

const auto kInterval = std::chrono::milliseconds(200);
// The rate shown follows the last seconds of the transfer rather than its whole average.
constexpr double kRateWindow = 3.0;

std::string Amount(double bytes) {
  static const char *const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int unit = 0;
  while (bytes >= 1024 && unit < 4) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  // NOLINTNEXTLINE(cert-err33-c): below 1024 TiB the number has at most 13 characters.
  snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, kUnits[unit]);
  return text;
}

// M:SS, or H:MM:SS from an hour on.
std::string Duration(double seconds) {
  long long s = std::llround(seconds);
  char text[32];
  if (s >= 3600)
    // NOLINTNEXTLINE(cert-err33-c): fits
    snprintf(text, sizeof text, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
  else
    snprintf(text, sizeof text, "%lld:%02lld", s / 60, s % 60);  // NOLINT(cert-err33-c): fits
  return text;
}

}  // namespace

double MonotonicSeconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

ProgressMeter::ProgressMeter(Kind kind, const std::string &label) : label_(label), kind_(kind) {}

ProgressMeter::~ProgressMeter() { Finish(); }

std::string ProgressMeter::Line(const std::string &label, long long bytes, long long total,
                                double rate, double seconds, bool last) {
  std::string line = label + "  " + Amount(static_cast<double>(bytes));
  if (total >= 0) {
    line += " of " + Amount(static_cast<double>(total));
    char percent[32];
    long long share = total > 0 ? bytes * 100 / total : 100;
    // NOLINTNEXTLINE(cert-err33-c): a percentage fits.
    snprintf(percent, sizeof percent, "  %3lld%%", share > 100 ? 100 : share);
    line += percent;
  }
  line += "  " + Amount(rate) + "/s";
  if (last)
    line += "  in " + Duration(seconds);
  else if (total >= 0)
    line += "  " + (seconds >= 0 ? Duration(seconds) : std::string("-:--")) + " left";
  return line;
}

void ProgressMeter::Counts(long long &bytes, long long &total) const {
  TransferCounts counts = CurrentCounts();
  bytes = kind_ == Kind::kDownload ? counts.received : counts.sent;
  total = kind_ == Kind::kDownload ? counts.receiveTotal : counts.sendTotal;
}

void ProgressMeter::Show(bool last) {
  long long bytes = 0;
  long long total = -1;
  Counts(bytes, total);
  double now = MonotonicSeconds();
  double elapsed = now - started_;
  if (last) {
    rate_ = elapsed > 0 ? static_cast<double>(bytes) / elapsed : 0;
  } else if (now > sampleTime_) {
    rate_ = static_cast<double>(bytes - sampleBytes_) / (now - sampleTime_);
    if (now - sampleTime_ > kRateWindow) {  // the next rate is taken from here on
      sampleTime_ = now;
      sampleBytes_ = bytes;
    }
  }
  double seconds = last ? elapsed : -1;
  if (!last && total >= 0 && rate_ > 0)
    seconds = static_cast<double>(total > bytes ? total - bytes : 0) / rate_;
  std::string line = Line(label_, bytes, total, rate_, seconds, last);
  size_t length = line.size();
  if (length < width_) line.append(width_ - length, ' ');  // wipe the end of a longer line
  width_ = length;
  WriteText(stderr, "\r" + line + (last ? "\n" : ""));
}

void ProgressMeter::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!wake_.wait_for(lock, kInterval, [this] { return stop_; })) {
    Show(false);
    shown_ = true;
  }
}

void ProgressMeter::Start() {
  started_ = MonotonicSeconds();
  sampleTime_ = started_;
  thread_ = std::thread(&ProgressMeter::Run, this);
}

void ProgressMeter::Finish() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
  if (shown_) Show(true);
}

}  // namespace lumox_cli
