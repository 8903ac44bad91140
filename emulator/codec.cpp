#include "emulator/codec.hpp"

#include "emulator/protocol.hpp"

namespace emu {
namespace {

struct FrameRate { int num, den; };
// MPEG frame-rate codes 1-8.
constexpr FrameRate kFrameRates[9] = {{0, 0},  {24000, 1001}, {24, 1}, {25, 1}, {30000, 1001},
                                      {30, 1}, {50, 1},       {60000, 1001}, {60, 1}};

// Horizontal size codes; 0 marks a code the microcode does not know.
constexpr int kMpeg1Widths[] = {480, 352, 320};
constexpr int kMpeg2Widths[] = {720, 704, 0, 544, 480, 0, 0, 352};

CodecResult note(std::string text) { return {CodecAction::None, {}, std::move(text)}; }

std::string hex(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%X", v);
  return buf;
}

}  // namespace

CodecResult Codec::command(std::uint8_t code) {
  switch (code) {
    case proto::kResetCodec:
      image_ = {false, ucode::Kind::Decoder, ucode::Standard::Any, "no microcode loaded: codec was reset"};
      prepared_ = Prepared::None;
      encoderStartSeen_ = decoderStartSeen_ = false;
      encoderRunning_ = decoderRunning_ = false;
      return {CodecAction::Reset, {}, {}};
    case proto::kInitEncoder:
    case proto::kInitDecoder: {
      const bool enc = code == proto::kInitEncoder;
      if (!image_.valid) return note(std::string(enc ? "encoder" : "decoder") + " not prepared: " + image_.reason);
      if ((image_.kind == ucode::Kind::Decoder) == enc)
        return note(std::string(enc ? "encoder" : "decoder") + " not prepared: the codec holds the " +
                    ucode::kindName(image_.kind) + " microcode");
      prepared_ = enc ? Prepared::Encoder : Prepared::Decoder;
      config_ = CodecConfig();
      encoderStartSeen_ = decoderStartSeen_ = false;
      return {};
    }
    case proto::kStartEncoder:
      if (prepared_ != Prepared::Encoder) return note("encoder start ignored: encoder not prepared");
      encoderStartSeen_ = true;
      return {};
    case proto::kStartDecoder:
      if (prepared_ != Prepared::Decoder) return note("decoder start ignored: decoder not prepared");
      decoderStartSeen_ = true;
      return {};
    case proto::kFlushEncoder:
      return {CodecAction::FlushEncoder, {}, {}};
    default:
      return {};
  }
}

CodecResult Codec::message(const EncoderMessage& msg) {
  if (prepared_ == Prepared::None) return note("parameter message ignored: codec not prepared (" + image_.reason + ")");
  CodecResult result;
  for (const auto& c : msg.commands) {
    const bool start = c.code == proto::kMsgStart;
    if (!start && c.prefix != proto::kPrefixPlain)
      return note("message command " + hex(c.code) + " ignored: prefix " + hex(c.prefix));
    auto arg = [&](std::size_t i) { return i < c.args.size() ? c.args[i] : 0u; };
    switch (c.code) {
      case proto::kMsgFrameRate: config_.frameRateCode = int(arg(0)); break;
      case proto::kMsgMux:
        config_.muxRate = arg(1);
        config_.muxAudioDelay = arg(7);
        break;
      case proto::kMsgAudio:
        config_.audioFlag1 = c.argByte(1, 1) != 0;
        config_.audioRate = arg(2);
        config_.audioFlag2 = c.argByte(4, 0) != 0;
        break;
      case proto::kMsgHorizontalSize: config_.horizontalSizeCode = int(arg(0)); break;
      case proto::kMsgBitRate:
        config_.bitRate = arg(0);
        config_.variable = false;
        break;
      case proto::kMsgVariableBitRate:
        config_.peakBitRate = arg(1);
        config_.bitRate = arg(5);
        config_.variable = true;
        break;
      case proto::kMsgStart:
        config_.startPrefix = c.prefix;
        // The message carries the order for channels 0 and 1; the second starts the stream.
        if (c.channel == 1) result = startEncoder();
        break;
      case proto::kMsgStop:
        if (c.channel == 1 && encoderRunning_) {
          encoderRunning_ = false;
          result = {CodecAction::StopEncoder, {}, {}};
        }
        break;
      case proto::kMsgDecVideo: config_.decoderPal = c.argByte(0, 3) != 0; break;
      case 0x0098:
        if (prepared_ == Prepared::Decoder && decoderStartSeen_ && !decoderRunning_) {
          decoderRunning_ = true;
          result = {CodecAction::StartDecoder, {}, {}};
        }
        break;
      case proto::kMsgDecStop:
        if (decoderRunning_) {
          decoderRunning_ = false;
          decoderStartSeen_ = false;
          result = {CodecAction::StopDecoder, {}, {}};
        }
        break;
      default:
        break;  // parameters the emulated chip takes without effect
    }
  }
  return result;
}

CodecResult Codec::startEncoder() {
  auto refuse = [](std::string why) { return note("encoder refused to start: " + why); };
  if (prepared_ != Prepared::Encoder || !image_.valid) return refuse("encoder not prepared");
  if (!encoderStartSeen_) return refuse("no encoder start command before the start message");
  if (encoderRunning_) return note("start message while the encoder runs: ignored");
  const bool mpeg2 = image_.kind == ucode::Kind::Mpeg2Encoder;
  const std::uint32_t want = mpeg2 ? proto::kPrefixMpeg2 : proto::kPrefixMpeg1;
  if (config_.startPrefix != want)
    return refuse("start prefix " + hex(config_.startPrefix) + " does not fit the " + ucode::kindName(image_.kind) +
                  " microcode");
  StreamFormat f;
  f.mpeg2 = mpeg2;
  const int code = config_.horizontalSizeCode;
  const int nCodes = mpeg2 ? 8 : 3;
  f.width = code >= 0 && code < nCodes ? (mpeg2 ? kMpeg2Widths[code] : kMpeg1Widths[code]) : 0;
  if (f.width == 0) return refuse("horizontal size code " + std::to_string(code) + " unknown");
  const bool pal = image_.standard == ucode::Standard::Pal;
  f.height = mpeg2 ? (pal ? 576 : 480) : (pal ? 288 : 240);
  if (config_.frameRateCode < 1 || config_.frameRateCode > 8)
    return refuse("frame-rate code " + std::to_string(config_.frameRateCode) + " unknown");
  f.fpsNum = kFrameRates[config_.frameRateCode].num;
  f.fpsDen = kFrameRates[config_.frameRateCode].den;
  if (config_.bitRate == 0) return refuse("no bit rate");
  f.bitRate = config_.bitRate;
  f.variable = config_.variable;
  f.peakBitRate = config_.peakBitRate;
  if (config_.audioRate != 32000 && config_.audioRate != 44100 && config_.audioRate != 48000)
    return refuse("audio sampling rate " + std::to_string(config_.audioRate) + " unsupported");
  f.audioRate = int(config_.audioRate);
  encoderRunning_ = true;
  CodecResult result{CodecAction::StartEncoder, f, {}};
  const bool rate25 = config_.frameRateCode == 3;
  if (rate25 != pal) result.note = "frame rate does not fit the microcode's video standard";
  if (f.variable && f.peakBitRate < f.bitRate) result.note = "peak bit rate below the average: the average caps it";
  return result;
}

}  // namespace emu
