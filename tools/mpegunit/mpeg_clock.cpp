#include "tools/mpegunit/mpeg_clock.hpp"

namespace cli {

namespace {
// A start code and the bytes after it that any header reads: a pack header's
// clock, or a PES header with up to 16 stuffing bytes, a buffer size and PTS.
constexpr std::size_t kHeaderBytes = 4 + 28;

std::uint64_t timeStamp(const std::uint8_t* p) {  // the 33-bit PTS/DTS layout
  return (std::uint64_t(p[0] & 0x0E) << 29) | (std::uint64_t(p[1]) << 22) | (std::uint64_t(p[2] & 0xFE) << 14) |
         (std::uint64_t(p[3]) << 7) | (std::uint64_t(p[4]) >> 1);
}
}  // namespace

std::optional<std::uint64_t> MpegClock::scr(const std::uint8_t* p) {
  if ((p[0] & 0xC0) == 0x40) {  // MPEG-2: 01, SCR base 32..30, marker, 29..15, marker, 14..0
    return (std::uint64_t(p[0] & 0x38) << 27) | (std::uint64_t(p[0] & 0x03) << 28) | (std::uint64_t(p[1]) << 20) |
           (std::uint64_t(p[2] & 0xF8) << 12) | (std::uint64_t(p[2] & 0x03) << 13) | (std::uint64_t(p[3]) << 5) |
           (std::uint64_t(p[4]) >> 3);
  }
  if ((p[0] & 0xF0) == 0x20) return timeStamp(p);  // MPEG-1: the PTS layout
  return std::nullopt;
}

std::optional<std::uint64_t> MpegClock::pts(const std::uint8_t* p) {
  const std::uint8_t* h = p + 2;  // past the packet length
  if ((h[0] & 0xC0) == 0x80) {    // MPEG-2 PES header: flags, PTS_DTS_flags, header length
    if ((h[1] & 0x80) == 0) return std::nullopt;
    return timeStamp(h + 3);
  }
  int stuffing = 0;  // MPEG-1 packet: stuffing, optional buffer size, then PTS
  while (*h == 0xFF && stuffing < 16) ++h, ++stuffing;
  if ((h[0] & 0xC0) == 0x40) h += 2;
  if ((h[0] & 0xE0) == 0x20) return timeStamp(h);
  return std::nullopt;
}

bool MpegClock::stamp(Track& track, std::uint64_t value) {
  if (!track.first) track.first = value;
  if (value < *track.first) return false;  // a B-frame's earlier time, or a wrap
  if (limit_ && value - *track.first >= *limit_) return true;
  if (value > track.last || track.last < *track.first) track.last = value;
  return false;
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
    if (p[0] != 0 || p[1] != 0 || p[2] != 1) continue;
    bool reached = false;
    if (p[3] == 0xBA) {
      // Pack clocks decide only in a stream without video time stamps.
      const auto clock = scr(p + 4);
      if (clock) reached = stamp(packs_, *clock) && !video_.first;
    } else if ((p[3] & 0xF0) == 0xE0) {
      const auto time = pts(p + 4);
      if (time) reached = stamp(video_, *time);
    }
    if (reached) {
      stopped_ = true;
      tail_.clear();
      return i > carried ? i - carried : 0;
    }
  }
  tail_.assign(joined.begin() + static_cast<long>(i), joined.end());
  return size;
}

double MpegClock::seconds() const {
  const Track& t = video_.first ? video_ : packs_;
  return t.first && t.last >= *t.first ? double(t.last - *t.first) / 90000.0 : 0.0;
}

}  // namespace cli
