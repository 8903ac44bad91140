// The audio codec behind commands 0x80 (address byte), 0x81 (data byte) and
// 0x82 (separator). After address 0x16 a data byte goes to the status group;
// after 0x14 its top two bits choose the group: 00 volume, 10 mute group,
// 11 setup group (01 is not a group and is logged).
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace emu {

struct AudioCodecState {
  std::uint8_t address = 0;  // last address byte, 0 before the first
  std::uint8_t status = 0;   // 6-bit values, without group prefix
  std::uint8_t volume = 0;
  std::uint8_t mute = 0;     // bit 2 is the mute bit
  std::uint8_t setup = 0;
  unsigned bytesWritten = 0;
  unsigned separators = 0;
  bool muted() const { return (mute & 0x04) != 0; }
};

class AudioCodec {
 public:
  // Each returns false (with a reason) for a byte the codec cannot take.
  bool address(std::uint16_t value, std::string* why);
  bool write(std::uint16_t value, std::string* why);
  void separator();
  AudioCodecState state() const;

 private:
  mutable std::mutex mutex_;
  AudioCodecState state_;
};

}  // namespace emu
