// Progress of a copy: the line printed for each file that arrived, and at a
// terminal a live line for a long download, read from the growing file.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <mutex>
#include <string>
#include <thread>

namespace merlo {

// "report.txt  2.9 KiB  1.2 MiB/s"
std::string ArrivalLine(const std::string& shown, uint64_t bytes, double seconds);

// The live line. The module copies a file in one call and tells nothing
// until it returns, so a second thread asks meanwhile how far it has come:
// how large the destination has grown (get), how far the module has read
// the source (put). It draws nothing during the first second, and nothing
// while that cannot be told: no line rather than a false one.
class LiveProgress {
 public:
  LiveProgress(std::ostream& out, bool enabled) : out_(out), enabled_(enabled) {}
  LiveProgress(const LiveProgress&) = delete;
  LiveProgress& operator=(const LiveProgress&) = delete;
  ~LiveProgress() { Stop(); }

  // The bytes done so far; false when that cannot be told now.
  using HowFar = std::function<bool(uint64_t* done)>;
  void Start(const std::string& shown, uint64_t total, HowFar howFar);
  // The size of a file that grows as the copy goes on.
  void Start(const std::string& shown, uint64_t total, const std::filesystem::path& file);
  // A step with nothing to count (a deletion): the line tells only the time
  // it has taken.
  void Start(const std::string& shown);
  bool Enabled() const { return enabled_; }
  // Ends the watch and clears the line; also called before a message box.
  void Stop();

 private:
  void Watch();

  std::ostream& out_;
  const bool enabled_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::string shown_;
  uint64_t total_ = 0;
  HowFar howFar_;
  std::chrono::steady_clock::time_point started_;
  size_t drawn_ = 0;
};

}  // namespace merlo
