#include "emulator/synthetic_source.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

extern "C" {
#include <libavutil/frame.h>
}

namespace emu {
namespace {

// 75% colour bars: white, yellow, cyan, green, magenta, red, blue, black (Y, Cb, Cr).
constexpr std::uint8_t kBars[8][3] = {
    {180, 128, 128}, {162, 44, 142}, {131, 156, 44}, {112, 72, 58},
    {84, 184, 198},  {65, 100, 212}, {35, 212, 114}, {16, 128, 128},
};

// A 3x5 font of the ten digits, one row per byte (bits 2..0 left to right).
constexpr std::uint8_t kDigits[10][5] = {
    {7, 5, 5, 5, 7}, {2, 6, 2, 2, 7}, {7, 1, 7, 4, 7}, {7, 1, 7, 1, 7}, {5, 5, 7, 1, 1},
    {7, 4, 7, 1, 7}, {7, 4, 7, 5, 7}, {7, 1, 1, 1, 1}, {7, 5, 7, 5, 7}, {7, 5, 7, 1, 7},
};

void fillRect(AVFrame* f, int x0, int y0, int w, int h, std::uint8_t y, std::uint8_t u, std::uint8_t v) {
  for (int yy = std::max(0, y0); yy < std::min(f->height, y0 + h); ++yy)
    for (int xx = std::max(0, x0); xx < std::min(f->width, x0 + w); ++xx) {
      f->data[0][yy * f->linesize[0] + xx] = y;
      f->data[1][(yy / 2) * f->linesize[1] + xx / 2] = u;
      f->data[2][(yy / 2) * f->linesize[2] + xx / 2] = v;
    }
}

}  // namespace

void drawTestPicture(AVFrame* f, std::int64_t index) {
  const int w = f->width, h = f->height;
  const int shift = int((index * 4) % w);
  for (int x = 0; x < w; ++x) {
    const auto& bar = kBars[((x + shift) % w) * 8 / w];
    for (int y = 0; y < h; ++y) f->data[0][y * f->linesize[0] + x] = bar[0];
    if (x % 2 == 0)
      for (int y = 0; y < h / 2; ++y) {
        f->data[1][y * f->linesize[1] + x / 2] = bar[1];
        f->data[2][y * f->linesize[2] + x / 2] = bar[2];
      }
  }
  // The frame number, white on a black box in the top left corner.
  const std::string digits = std::to_string(index);
  const int scale = std::max(2, h / 60);
  const int cell = 4 * scale;
  fillRect(f, 8, 8, int(digits.size()) * cell + scale * 2, 5 * scale + scale * 2, 16, 128, 128);
  for (std::size_t i = 0; i < digits.size(); ++i) {
    const auto& glyph = kDigits[digits[i] - '0'];
    for (int row = 0; row < 5; ++row)
      for (int col = 0; col < 3; ++col)
        if (glyph[row] & (4 >> col))
          fillRect(f, 8 + scale + int(i) * cell + col * scale, 8 + scale + row * scale, scale, scale, 235, 128, 128);
  }
}

void drawTone(std::int16_t* out, int samples, std::int64_t first, int rate) {
  constexpr double kTwoPi = 6.283185307179586;
  for (int i = 0; i < samples; ++i) {
    const double t = double(first + i) / rate;
    const auto s = std::int16_t(std::lround(8000.0 * std::sin(kTwoPi * 1000.0 * t)));
    out[2 * i] = s;
    out[2 * i + 1] = s;
  }
}

}  // namespace emu
