// The codec chip: which microcode it holds, whether it was prepared as
// encoder or decoder, the configuration its parameter messages set, and the
// start and stop orders. It decides; the unit carries out (streams, decodes).
// Not thread-safe: the unit calls it under its own lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "emulator/encoder_message.hpp"
#include "emulator/microcode_loader.hpp"
#include "emulator/mpeg_producer.hpp"

namespace emu {

// The configuration as the messages left it (what tests inspect).
struct CodecConfig {
  int horizontalSizeCode = -1;  // -1: never sent
  int frameRateCode = -1;
  std::uint32_t bitRate = 0;
  bool variable = false;
  std::uint32_t peakBitRate = 0;
  std::uint32_t audioRate = 0;
  std::uint8_t audioFlag1 = 0, audioFlag2 = 0;
  std::uint32_t muxRate = 0;
  std::uint32_t muxAudioDelay = 0;
  std::uint32_t startPrefix = 0;  // of the last start message
  bool decoderPal = false;        // decoder video message: 576-line source
};

enum class CodecAction { None, StartEncoder, StopEncoder, FlushEncoder, StartDecoder, StopDecoder, Reset };

struct CodecResult {
  CodecAction action = CodecAction::None;
  StreamFormat format;   // StartEncoder
  std::string note;      // for the log: a refusal or a remark
};

enum class Prepared { None, Encoder, Decoder };

class Codec {
 public:
  void setImage(const LoadedMicrocode& image) { image_ = image; prepared_ = Prepared::None; }
  const LoadedMicrocode& image() const { return image_; }
  Prepared prepared() const { return prepared_; }
  const CodecConfig& config() const { return config_; }
  bool encoderRunning() const { return encoderRunning_; }
  bool decoderRunning() const { return decoderRunning_; }

  // Commands without data: 0x21, 0x22, 0x23, 0x26, 0x27, 0x2B.
  CodecResult command(std::uint8_t code);
  CodecResult message(const EncoderMessage& msg);

 private:
  CodecResult startEncoder();

  LoadedMicrocode image_{false, ucode::Kind::Decoder, ucode::Standard::Any, "no microcode loaded"};
  Prepared prepared_ = Prepared::None;
  CodecConfig config_;
  bool encoderStartSeen_ = false;
  bool decoderStartSeen_ = false;
  bool encoderRunning_ = false;
  bool decoderRunning_ = false;
};

}  // namespace emu
