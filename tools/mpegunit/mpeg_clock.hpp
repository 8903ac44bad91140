// Stream time of an MPEG program or system stream, from the system clock
// references of its pack headers, read as the bytes go by; optionally the
// point where the stream reaches a time limit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace cli {

class MpegClock {
 public:
  // Ends the stream at the first pack header whose clock lies limit seconds
  // or more after the first one.
  void stopAt(double seconds) { limit_ = static_cast<std::uint64_t>(seconds * 90000.0 + 0.5); }
  // Feeds the next bytes of the stream (any split). Answers how many of them
  // belong to the stream before the limit: size until the limit is reached,
  // then the bytes before that pack header, then 0.
  std::size_t feed(const std::uint8_t* bytes, std::size_t size);
  // True once the limit was reached.
  bool stopped() const { return stopped_; }
  // Seconds from the first pack header to the latest one kept; 0 before two.
  double seconds() const;
  std::uint64_t packs() const { return packs_; }

 private:
  // The clock of the pack header whose bytes after 00 00 01 BA start at p.
  static std::optional<std::uint64_t> scr(const std::uint8_t* p);

  std::vector<std::uint8_t> tail_;  // the last bytes of the previous call, not yet scanned
  std::optional<std::uint64_t> first_;
  std::optional<std::uint64_t> limit_;  // 90 kHz units after first_
  std::uint64_t last_ = 0;              // 90 kHz units
  std::uint64_t packs_ = 0;
  bool stopped_ = false;
};

}  // namespace cli
