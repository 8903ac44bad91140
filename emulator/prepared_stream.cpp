#include "emulator/prepared_stream.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace emu {

PreparedStream::PreparedStream(PreparedStreamOptions options) : options_(std::move(options)) {
  if (options_.bytes.empty()) throw std::invalid_argument("prepared stream without bytes");
}

void PreparedStream::start(Clock::time_point now) {
  if (running_) return;
  running_ = true;
  base_ = now;
  taken_ = 0;
}

void PreparedStream::stop() { running_ = false; }

double PreparedStream::dueBytes(Clock::time_point now) const {
  return std::chrono::duration<double>(now - base_).count() * options_.byteRate;
}

bool PreparedStream::ready(std::size_t length, Clock::time_point now) {
  if (!running_) return false;
  if (options_.byteRate <= 0) return true;
  const double waiting = dueBytes(now) - taken_;
  const double capacity = double(std::max(options_.capacity, length));
  if (waiting > capacity) {  // the host is late: the oldest bytes are lost
    const double lost = waiting - capacity;
    overflow_.fetch_add(std::uint64_t(lost), std::memory_order_relaxed);
    taken_ += lost;
  }
  return dueBytes(now) - taken_ >= double(length);
}

std::optional<PreparedStream::Clock::time_point> PreparedStream::readyAt(std::size_t length,
                                                                        Clock::time_point now) const {
  if (!running_) return std::nullopt;
  if (options_.byteRate <= 0) return now;
  const double seconds = (taken_ + double(length)) / options_.byteRate;
  // Rounded up, so that a wake at this time finds the bytes due.
  const auto at = base_ + std::chrono::ceil<Clock::duration>(std::chrono::duration<double>(seconds)) +
                  std::chrono::microseconds(1);
  return std::max(at, now);
}

namespace {

std::uint64_t threadCpuNs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return std::uint64_t(t.tv_sec) * 1000000000u + std::uint64_t(t.tv_nsec);
}

}  // namespace

void PreparedStream::adoptServer() {
  server_ = pthread_self();
  if (pthread_getcpuclockid(server_, &serverClock_) == 0) haveServer_.store(true, std::memory_order_release);
}

void PreparedStream::noteServer() { transfers_.fetch_add(1, std::memory_order_relaxed); }

std::size_t PreparedStream::read(std::uint8_t* buffer, std::size_t length) {
  noteServer();
  if (haveServer_.load(std::memory_order_acquire) && pthread_equal(server_, pthread_self())) {
    copy(buffer, length);
  } else {
    const std::uint64_t t0 = threadCpuNs();
    copy(buffer, length);
    inlineCpuNs_.fetch_add(threadCpuNs() - t0, std::memory_order_relaxed);
  }
  taken_ += double(length);
  read_.fetch_add(length, std::memory_order_relaxed);
  return length;
}

void PreparedStream::copy(std::uint8_t* buffer, std::size_t length) {
  const std::vector<std::uint8_t>& bytes = options_.bytes;
  std::size_t done = 0;
  while (done < length) {
    const std::size_t n = std::min(length - done, bytes.size() - position_);
    std::memcpy(buffer + done, bytes.data() + position_, n);
    done += n;
    position_ = (position_ + n) % bytes.size();
  }
}

void PreparedStream::sink(std::size_t length) {
  noteServer();
  taken_ += double(length);
  sunk_.fetch_add(length, std::memory_order_relaxed);
}

double PreparedStream::serverCpuSeconds() const {
  double seconds = double(inlineCpuNs_.load(std::memory_order_relaxed)) * 1e-9;
  timespec t{};
  if (haveServer_.load(std::memory_order_acquire) && clock_gettime(serverClock_, &t) == 0)
    seconds += double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
  return seconds;
}

}  // namespace emu
