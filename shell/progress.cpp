#include "progress.h"

#include <algorithm>
#include <ostream>

#include "host_services.h"
#include "platform.h"
#include "text.h"

namespace fs = std::filesystem;

namespace merlo {

namespace {

std::string Rate(uint64_t bytes, double seconds) {
  if (seconds <= 0) seconds = 1e-6;
  return HumanBytes(static_cast<uint64_t>(static_cast<double>(bytes) / seconds)) + "/s";
}

}  // namespace

std::string ArrivalLine(const std::string& shown, uint64_t bytes, double seconds) {
  return shown + "  " + HumanBytes(bytes) + "  " + Rate(bytes, seconds);
}

void LiveProgress::Start(const std::string& shown, uint64_t total, HowFar howFar) {
  if (!enabled_) return;
  Stop();
  shown_ = shown;
  total_ = total;
  howFar_ = std::move(howFar);
  started_ = std::chrono::steady_clock::now();
  stop_ = false;
  SetBeforeBox([this] { Stop(); });
  thread_ = std::thread([this] { Watch(); });
}

void LiveProgress::Start(const std::string& shown, uint64_t total, const fs::path& file) {
  Start(shown, total, [file](uint64_t* done) {
    std::error_code ec;
    const uint64_t size = fs::file_size(file, ec);
    *done = ec ? 0 : size;
    return true;
  });
}

void LiveProgress::Start(const std::string& shown) { Start(shown, 0, HowFar()); }

void LiveProgress::Stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
  SetBeforeBox(nullptr);
  if (drawn_ > 0) out_ << '\r' << std::string(drawn_, ' ') << '\r' << std::flush;
  drawn_ = 0;
}

void LiveProgress::Watch() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!wake_.wait_for(lock, std::chrono::milliseconds(200), [this] { return stop_; })) {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    if (seconds < 1.0) continue;
    std::string line;
    uint64_t now = 0;
    if (!howFar_) {
      line = shown_ + "  " + std::to_string(static_cast<unsigned>(seconds)) + " s";
    } else if (howFar_(&now)) {
      now = std::min(now, total_);
      const unsigned percent = total_ == 0 ? 100u : static_cast<unsigned>(now * 100 / total_);
      line = shown_ + "  " + HumanBytes(now) + " of " + HumanBytes(total_) + "  " +
             std::to_string(percent) + "%  " + Rate(now, seconds);
    } else {
      continue;  // no line rather than a false one
    }
    // One row of the screen: a line that wrapped could not be drawn over.
    line = FitColumns(line, platform::TerminalWidth() - 1);
    const size_t columns = ShownWidth(line);
    if (columns < drawn_) line += std::string(drawn_ - columns, ' ');
    out_ << '\r' << line << std::flush;
    drawn_ = columns;
  }
}

}  // namespace merlo
