#include "emulator/audio_codec.hpp"

#include "emulator/protocol.hpp"

namespace emu {

bool AudioCodec::address(std::uint16_t value, std::string* why) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (value != proto::kCodecStatusGroup && value != proto::kCodecDataGroups) {
    *why = "audio codec address " + std::to_string(value) + " is neither 0x14 nor 0x16";
    return false;
  }
  state_.address = std::uint8_t(value);
  return true;
}

bool AudioCodec::write(std::uint16_t value, std::string* why) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (value > 0xFF) {
    *why = "audio codec data byte wider than 8 bits";
    return false;
  }
  const std::uint8_t byte = std::uint8_t(value);
  const std::uint8_t v = byte & 0x3F;
  if (state_.address == proto::kCodecStatusGroup) {
    state_.status = v;
  } else if (state_.address == proto::kCodecDataGroups) {
    switch (byte >> 6) {
      case 0: state_.volume = v; break;
      case 2: state_.mute = v; break;
      case 3: state_.setup = v; break;
      default:
        *why = "audio codec data byte with group prefix 01";
        return false;
    }
  } else {
    *why = "audio codec data byte before any address byte";
    return false;
  }
  ++state_.bytesWritten;
  return true;
}

void AudioCodec::separator() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++state_.separators;
}

AudioCodecState AudioCodec::state() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_;
}

}  // namespace emu
