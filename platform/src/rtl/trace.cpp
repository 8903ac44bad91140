// DbgPrint and the trace sink that keeps its lines.
#include "pf/host/trace.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>

#include "pf/ntbase.h"

namespace pf::trace {
namespace {

constexpr std::size_t kKeptLines = 100000;

std::mutex gMutex;
std::deque<std::string> gLines;
std::string gPartial;
bool gEcho = std::getenv("MPEGUNIT_TRACE") != nullptr;

}  // namespace

void write(const std::string& text) {
  std::lock_guard<std::mutex> lock(gMutex);
  for (char c : text) {
    if (c != '\n') {
      gPartial += c;
      continue;
    }
    if (!gPartial.empty() && gPartial.back() == '\r') gPartial.pop_back();
    if (gEcho) std::fprintf(stderr, "%s\n", gPartial.c_str());
    gLines.push_back(std::move(gPartial));
    gPartial.clear();
    if (gLines.size() > kKeptLines) gLines.pop_front();
  }
}

std::vector<std::string> lines() {
  std::lock_guard<std::mutex> lock(gMutex);
  return {gLines.begin(), gLines.end()};
}

std::size_t count(const std::string& needle) {
  std::lock_guard<std::mutex> lock(gMutex);
  std::size_t n = 0;
  for (auto& line : gLines) n += line.find(needle) != std::string::npos ? 1 : 0;
  return n;
}

bool contains(const std::string& needle) { return count(needle) != 0; }

void clear() {
  std::lock_guard<std::mutex> lock(gMutex);
  gLines.clear();
  gPartial.clear();
}

void setEcho(bool on) {
  std::lock_guard<std::mutex> lock(gMutex);
  gEcho = on;
}

bool echo() {
  std::lock_guard<std::mutex> lock(gMutex);
  return gEcho;
}

}  // namespace pf::trace

extern "C" ULONG DbgPrint(PCSTR Format, ...) {
  char buffer[1024];
  va_list args;
  va_start(args, Format);
  int n = std::vsnprintf(buffer, sizeof buffer, Format, args);
  va_end(args);
  if (n < 0) return (ULONG)STATUS_INVALID_PARAMETER;
  pf::trace::write(buffer);
  return STATUS_SUCCESS;
}
