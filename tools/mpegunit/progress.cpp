#include "tools/mpegunit/progress.hpp"

#include <unistd.h>

#include <cstdio>

namespace cli {

Progress::Progress(std::string verb)
    : verb_(std::move(verb)),
      shown_(isatty(STDERR_FILENO) != 0),
      start_(std::chrono::steady_clock::now()),
      lastDraw_(start_) {}

double Progress::elapsedSeconds() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void Progress::update(double streamSeconds, std::uint64_t bytes) {
  if (!shown_) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - lastDraw_ < std::chrono::milliseconds(200)) return;
  lastDraw_ = now;
  const double rate = streamSeconds > 0 ? double(bytes) * 8 / streamSeconds : 0;
  std::fprintf(stderr, "\r%s %6.1f s  %10s  %s   ", verb_.c_str(), streamSeconds, formatBytes(bytes).c_str(),
               formatRate(rate).c_str());
  std::fflush(stderr);
}

void Progress::finish() {
  if (!shown_) return;
  std::fprintf(stderr, "\r%60s\r", "");
  std::fflush(stderr);
}

std::string formatBytes(std::uint64_t bytes) {
  char text[32];
  if (bytes >= 1000000) {
    std::snprintf(text, sizeof text, "%.1f MB", double(bytes) / 1e6);
  } else if (bytes >= 1000) {
    std::snprintf(text, sizeof text, "%.0f kB", double(bytes) / 1e3);
  } else {
    std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
  }
  return text;
}

std::string formatRate(double bitsPerSecond) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f Mbit/s", bitsPerSecond / 1e6);
  return text;
}

}  // namespace cli
