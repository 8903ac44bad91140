// Decodes what the host writes to bulk OUT during playback: the bytes are fed
// to a demultiplexer (libavformat, "mpeg") and the video decoder (libavcodec)
// on a thread of its own; decoded frames are counted and, when asked, every
// N-th one is saved as PNG, the picture the analog output would show.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern "C" {
struct AVFrame;
}

namespace emu {

struct PlaybackStats {
  std::uint64_t bytesFed = 0;
  std::uint64_t framesDecoded = 0;
  std::uint64_t audioPackets = 0;
  int width = 0, height = 0;
  int fpsNum = 0, fpsDen = 0;
  int audioRate = 0;
  std::string videoCodec;       // "mpeg1video", "mpeg2video"
  bool standardMismatch = false;// the stream does not fit the announced standard
  std::string error;            // demux or decode failure, if any
  bool finished = false;        // the decoder has drained its input
};

class PlaybackDecoder {
 public:
  // pal: the decoder messages announced a 576-line, 25 Hz source.
  PlaybackDecoder(bool pal, std::string frameDir, unsigned saveEvery);
  ~PlaybackDecoder();  // ends the input and joins the thread

  void feed(const std::uint8_t* bytes, std::size_t size);
  void endOfStream();  // drains what was fed, then stops
  void abandon();      // stops at once
  PlaybackStats stats() const;
  // Waits (bounded) until the decoder finished; false on time-out.
  bool waitFinished(unsigned timeoutMs);

 private:
  void run();
  int read(std::uint8_t* buf, int size);
  static int readThunk(void* opaque, std::uint8_t* buf, int size);
  void saveFrame(::AVFrame* frame, std::uint64_t index);

  const bool pal_;
  const std::string frameDir_;
  const unsigned saveEvery_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::uint8_t> input_;
  bool ended_ = false;
  bool abandoned_ = false;
  PlaybackStats stats_;
  std::thread thread_;
};

}  // namespace emu
