#include "tools/mpegunit/mpeg_clock.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

namespace cli {

namespace {
// Bytes of a pack header after its start code needed to read the clock.
constexpr std::size_t kClockBytes = 6;
}  // namespace

void MpegClock::pack(const std::uint8_t* p) {
  std::uint64_t scr = 0;
  if ((p[0] & 0xC0) == 0x40) {  // MPEG-2: 01 then SCR base 32..30, marker, ...
    mpeg2_ = true;
    scr = (std::uint64_t(p[0] & 0x38) << 27) | (std::uint64_t(p[0] & 0x03) << 28) |
          (std::uint64_t(p[1]) << 20) | (std::uint64_t(p[2] & 0xF8) << 12) |
          (std::uint64_t(p[2] & 0x03) << 13) | (std::uint64_t(p[3]) << 5) | (std::uint64_t(p[4]) >> 3);
  } else if ((p[0] & 0xF0) == 0x20) {  // MPEG-1: 0010 then SCR 32..30, marker, ...
    scr = (std::uint64_t(p[0] & 0x0E) << 29) | (std::uint64_t(p[1]) << 22) |
          (std::uint64_t(p[2] & 0xFE) << 14) | (std::uint64_t(p[3]) << 7) | (std::uint64_t(p[4]) >> 1);
  } else {
    return;
  }
  if (!first_) first_ = scr;
  if (scr >= *first_) last_ = scr;
  ++packs_;
}

void MpegClock::feed(const std::uint8_t* bytes, std::size_t size) {
  // Join what was held back from the last call with the new bytes' head, so
  // that a start code split between two buffers is still seen.
  std::vector<std::uint8_t> joined(carry_, carry_ + carried_);
  const std::size_t head = size < 16 ? size : 16;
  joined.insert(joined.end(), bytes, bytes + head);
  auto scan = [this](const std::uint8_t* data, std::size_t n, std::size_t limit) {
    for (std::size_t i = 0; i + 4 + kClockBytes <= n && i < limit; ++i) {
      if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1 && data[i + 3] == 0xBA) pack(data + i + 4);
    }
  };
  scan(joined.data(), joined.size(), carried_);
  scan(bytes, size, size);
  const std::size_t keep = 4 + kClockBytes - 1;
  if (size >= keep) {
    std::memcpy(carry_, bytes + size - keep, keep);
    carried_ = keep;
  } else {
    std::vector<std::uint8_t> tail(joined.end() - static_cast<long>(std::min(joined.size(), keep)), joined.end());
    std::memcpy(carry_, tail.data(), tail.size());
    carried_ = tail.size();
  }
}

double MpegClock::seconds() const { return first_ ? double(last_ - *first_) / 90000.0 : 0.0; }

}  // namespace cli
