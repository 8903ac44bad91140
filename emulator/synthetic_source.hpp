// The picture and sound the emulated unit "digitises": colour bars that move
// one step per frame with the frame number burnt in, and a 1 kHz tone.
#pragma once

#include <cstdint>

extern "C" {
struct AVFrame;
}

namespace emu {

// Fills a YUV 4:2:0 frame (allocated by the caller) with frame `index`.
void drawTestPicture(AVFrame* frame, std::int64_t index);

// Fills `samples` interleaved stereo 16-bit samples starting at sample number
// `first` of a tone at `rate` Hz.
void drawTone(std::int16_t* out, int samples, std::int64_t first, int rate);

}  // namespace emu
