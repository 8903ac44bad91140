// Stream time of an MPEG program or system stream, from the system clock
// references of its pack headers, read as the bytes go by.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace cli {

class MpegClock {
 public:
  // Feeds the next bytes of the stream (any split).
  void feed(const std::uint8_t* bytes, std::size_t size);
  // Seconds from the first pack header to the latest one; 0 before two.
  double seconds() const;
  std::uint64_t packs() const { return packs_; }
  // True once a pack header of an MPEG-2 program stream was seen.
  bool mpeg2() const { return mpeg2_; }

 private:
  void pack(const std::uint8_t* header);  // the bytes after 00 00 01 BA

  std::uint8_t carry_[16] = {};
  std::size_t carried_ = 0;
  std::optional<std::uint64_t> first_;
  std::uint64_t last_ = 0;  // 90 kHz units
  std::uint64_t packs_ = 0;
  bool mpeg2_ = false;
};

}  // namespace cli
