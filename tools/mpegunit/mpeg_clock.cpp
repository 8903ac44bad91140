#include "tools/mpegunit/mpeg_clock.hpp"

namespace cli {

namespace {
// A pack start code and the bytes after it that hold the clock.
constexpr std::size_t kHeaderBytes = 4 + 6;
}  // namespace

std::optional<std::uint64_t> MpegClock::scr(const std::uint8_t* p) {
  if ((p[0] & 0xC0) == 0x40) {  // MPEG-2: 01, SCR base 32..30, marker, 29..15, marker, 14..0
    return (std::uint64_t(p[0] & 0x38) << 27) | (std::uint64_t(p[0] & 0x03) << 28) | (std::uint64_t(p[1]) << 20) |
           (std::uint64_t(p[2] & 0xF8) << 12) | (std::uint64_t(p[2] & 0x03) << 13) | (std::uint64_t(p[3]) << 5) |
           (std::uint64_t(p[4]) >> 3);
  }
  if ((p[0] & 0xF0) == 0x20) {  // MPEG-1: 0010, SCR 32..30, marker, 29..15, marker, 14..0, marker
    return (std::uint64_t(p[0] & 0x0E) << 29) | (std::uint64_t(p[1]) << 22) | (std::uint64_t(p[2] & 0xFE) << 14) |
           (std::uint64_t(p[3]) << 7) | (std::uint64_t(p[4]) >> 1);
  }
  return std::nullopt;
}

std::size_t MpegClock::feed(const std::uint8_t* bytes, std::size_t size) {
  if (stopped_) return 0;
  // The unscanned tail of the last call joined with the new bytes, so that a
  // header split between two buffers is still seen (and seen once).
  std::vector<std::uint8_t> joined(tail_);
  const std::size_t carried = joined.size();
  joined.insert(joined.end(), bytes, bytes + size);
  std::size_t i = 0;
  for (; i + kHeaderBytes <= joined.size(); ++i) {
    const std::uint8_t* p = joined.data() + i;
    if (p[0] != 0 || p[1] != 0 || p[2] != 1 || p[3] != 0xBA) continue;
    const auto clock = scr(p + 4);
    if (!clock) continue;
    if (!first_) first_ = *clock;
    if (*clock < *first_) continue;
    if (limit_ && *clock - *first_ >= *limit_) {
      stopped_ = true;
      tail_.clear();
      return i > carried ? i - carried : 0;
    }
    last_ = *clock;
    ++packs_;
  }
  tail_.assign(joined.begin() + static_cast<long>(i), joined.end());
  return size;
}

double MpegClock::seconds() const { return first_ ? double(last_ - *first_) / 90000.0 : 0.0; }

}  // namespace cli
