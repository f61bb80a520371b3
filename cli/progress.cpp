#include "progress.h"

#include <chrono>
#include <cstdio>

#include "system.h"

namespace lumox_cli {

namespace {

const auto kInterval = std::chrono::milliseconds(250);

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

}  // namespace

double MonotonicSeconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

ProgressMeter::ProgressMeter(Kind kind, const std::string &label, const std::string &watchedPath,
                             long long total)
    : label_(label), watchedPath_(watchedPath), total_(total), kind_(kind) {}

ProgressMeter::~ProgressMeter() { Finish(); }

std::string ProgressMeter::Line(const std::string &label, long long bytes, long long total,
                                double seconds) {
  std::string line = label + "  " + Amount(static_cast<double>(bytes));
  if (total >= 0) line += " of " + Amount(static_cast<double>(total));
  line += "  " + Amount(seconds > 0 ? static_cast<double>(bytes) / seconds : 0) + "/s";
  if (total > 0) {
    char percent[16];
    // NOLINTNEXTLINE(cert-err33-c): a percentage fits.
    snprintf(percent, sizeof percent, "  %3d%%", static_cast<int>(bytes * 100 / total));
    line += percent;
  }
  return line;
}

long long ProgressMeter::Current() const {
  long long bytes;
  if (kind_ == Kind::kDownload) {
    bytes = FileSize(watchedPath_);
  } else {
    long long read = ProcessReadBytes();
    bytes = read < 0 ? 0 : read - readBase_;
  }
  if (bytes < 0) bytes = 0;
  if (total_ >= 0 && bytes > total_) bytes = total_;
  return bytes;
}

void ProgressMeter::Show(bool last) {
  // A failed download loses its file at the end: the last line keeps the last count seen.
  long long bytes = Current();
  if (bytes < lastBytes_) bytes = lastBytes_;
  lastBytes_ = bytes;
  std::string line = Line(label_, bytes, total_, MonotonicSeconds() - started_);
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
  if (kind_ == Kind::kUpload) {
    long long read = ProcessReadBytes();
    readBase_ = read < 0 ? 0 : read;
  }
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
  // The watched file is still there: lumox moves it onto the target afterwards.
  if (shown_) Show(true);
}

}  // namespace lumox_cli
