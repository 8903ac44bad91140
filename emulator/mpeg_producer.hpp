// Encodes the synthetic source into an MPEG-1 system stream or an MPEG-2
// program stream with FFmpeg's libraries, one video frame (and the audio up
// to its time) per call, the muxed bytes appended to the caller's buffer.
// Single-threaded and quiet.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace emu {

struct StreamFormat {
  bool mpeg2 = true;
  int width = 720;
  int height = 480;
  int fpsNum = 30000;
  int fpsDen = 1001;
  std::uint32_t bitRate = 4200000;  // bit/s (average when variable)
  bool variable = false;
  std::uint32_t peakBitRate = 0;    // with variable bit rate
  int audioRate = 48000;            // Hz
  int audioBitRate = 224000;
};

class MpegProducer {
 public:
  // Fails (returns nullptr, with a reason) when FFmpeg refuses the format.
  static std::unique_ptr<MpegProducer> open(const StreamFormat& format, std::string* why);
  ~MpegProducer();
  MpegProducer(const MpegProducer&) = delete;
  MpegProducer& operator=(const MpegProducer&) = delete;

  // Encodes the next frame; false on an encoder failure.
  bool next(std::vector<std::uint8_t>& out);
  // Flushes the encoders and writes the end code.
  void finish(std::vector<std::uint8_t>& out);

  std::int64_t frames() const;
  // Seconds of stream per frame.
  double frameDuration() const;

 private:
  struct Impl;
  explicit MpegProducer(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// Silences FFmpeg's log output (once per process).
void quietFfmpeg();

}  // namespace emu
