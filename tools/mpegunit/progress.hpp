// A progress line on the terminal while a long command runs.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace cli {

class Progress {
 public:
  // Shows nothing unless stderr is a terminal.
  explicit Progress(std::string verb);
  // Redraws at most a few times a second.
  void update(double streamSeconds, std::uint64_t bytes);
  // Clears the line.
  void finish();
  double elapsedSeconds() const;

 private:
  std::string verb_;
  bool shown_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point lastDraw_;
};

// "4.2 MB", "812 kB"
std::string formatBytes(std::uint64_t bytes);
// "4.20 Mbit/s"
std::string formatRate(double bitsPerSecond);

}  // namespace cli
