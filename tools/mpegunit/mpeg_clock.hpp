// Stream time of an MPEG program or system stream, read as the bytes go by:
// from the presentation times of its video packets (or, in a stream without
// them, the system clock references of its pack headers); optionally the
// point where the stream reaches a time limit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace cli {

class MpegClock {
 public:
  // Ends the stream at the first video packet (or pack header) whose time
  // lies limit seconds or more after the first one.
  void stopAt(double seconds) { limit_ = static_cast<std::uint64_t>(seconds * 90000.0 + 0.5); }
  // Feeds the next bytes of the stream (any split). Answers how many of them
  // belong to the stream before the limit: size until the limit is reached,
  // then the bytes before the packet that reached it, then 0.
  std::size_t feed(const std::uint8_t* bytes, std::size_t size);
  // True once the limit was reached.
  bool stopped() const { return stopped_; }
  // Seconds from the first time stamp to the latest one kept; 0 before two.
  double seconds() const;

 private:
  struct Track {
    std::optional<std::uint64_t> first;
    std::uint64_t last = 0;  // 90 kHz units
  };
  // The clock of a pack header, the bytes after 00 00 01 BA at p.
  static std::optional<std::uint64_t> scr(const std::uint8_t* p);
  // The presentation time of a PES packet, the bytes after 00 00 01 Ex at p.
  static std::optional<std::uint64_t> pts(const std::uint8_t* p);
  // Notes a time stamp; true when it reaches the limit.
  bool stamp(Track& track, std::uint64_t value);

  std::vector<std::uint8_t> tail_;  // the last bytes of the previous call, not yet scanned
  Track packs_, video_;
  std::optional<std::uint64_t> limit_;  // 90 kHz units after the first stamp
  bool stopped_ = false;
};

}  // namespace cli
