// Prepared stream bytes that the unit serves in place of its encoder's output
// (bulk IN while the encoder runs) and the sink that takes bulk OUT in place
// of its decoder (while the decoder runs), for measuring the host side alone:
// no encoding, no decoding, only a copy per IN transfer.
//
// At once (byteRate 0) every transfer is served as soon as it arrives. Paced,
// bytes become due at byteRate from the start of the stream, and a transfer
// completes once its whole length is due. Due bytes that nobody takes pile up
// in the unit's buffer (capacity bytes); beyond it they are lost, as on a
// real unit whose host is late, and counted as overflow.
//
// Threads: the unit calls everything but the counters under its own lock:
// read and sink on its own thread or, for a transfer served at once, on the
// submitter's; start and stop on a control caller's. The counters may be read
// from any thread at any time.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <pthread.h>
#include <optional>
#include <vector>

namespace emu {

struct PreparedStreamOptions {
  std::vector<std::uint8_t> bytes;  // served over and over; must not be empty
  double byteRate = 0;              // bytes per second either way; 0: at once
  std::size_t capacity = 4u << 20;  // the unit's buffer when paced
};

class PreparedStream {
 public:
  using Clock = std::chrono::steady_clock;

  explicit PreparedStream(PreparedStreamOptions options);
  PreparedStream(const PreparedStream&) = delete;
  PreparedStream& operator=(const PreparedStream&) = delete;

  // The stream starts (the encoder or decoder started): pacing counts from
  // now. A start while running keeps the running stream's clock.
  void start(Clock::time_point now);
  // The stream stops; what was due and not taken is forgotten.
  void stop();
  bool running() const { return running_; }

  // True when a transfer of length bytes may complete now. Paced, it also
  // moves due bytes beyond the buffer's capacity to the overflow count.
  bool ready(std::size_t length, Clock::time_point now);
  // When a transfer of length bytes will be ready (now when it is; nothing
  // when the stream is stopped).
  std::optional<Clock::time_point> readyAt(std::size_t length, Clock::time_point now) const;

  // Copies the next length bytes of the stream into buffer (IN). Returns length.
  std::size_t read(std::uint8_t* buffer, std::size_t length);
  // Takes and drops length bytes (OUT).
  void sink(std::size_t length);

  // Counters, readable from any thread.
  std::uint64_t bytesRead() const { return read_.load(std::memory_order_relaxed); }
  std::uint64_t bytesSunk() const { return sunk_.load(std::memory_order_relaxed); }
  std::uint64_t overflowBytes() const { return overflow_.load(std::memory_order_relaxed); }
  std::uint64_t transfers() const { return transfers_.load(std::memory_order_relaxed); }
  // The calling thread is the unit's own (its CPU time counts as the unit's).
  void adoptServer();
  // CPU seconds the unit has used so far: all of its own thread, plus the
  // copies made on other threads for transfers served at once. Readable
  // while the adopted thread runs.
  double serverCpuSeconds() const;

 private:
  double dueBytes(Clock::time_point now) const;
  void noteServer();
  void copy(std::uint8_t* buffer, std::size_t length);

  const PreparedStreamOptions options_;
  bool running_ = false;
  Clock::time_point base_;  // when byte 0 of the stream was due
  double taken_ = 0;        // bytes moved or lost since base_
  std::size_t position_ = 0;
  std::atomic<std::uint64_t> read_{0}, sunk_{0}, overflow_{0}, transfers_{0};
  std::atomic<bool> haveServer_{false};
  clockid_t serverClock_{};
  pthread_t server_{};
  std::atomic<std::uint64_t> inlineCpuNs_{0};
};

}  // namespace emu
