// Encoder speed of the emulated unit against real time: frames encoded per
// second of wall time for each stream format the unit produces. A counter
// "realtime" above 1 means the unit can keep pace with its own stream.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "emulator/mpeg_producer.hpp"

namespace {

void encode(benchmark::State& state, emu::StreamFormat format) {
  std::string why;
  auto producer = emu::MpegProducer::open(format, &why);
  if (!producer) {
    state.SkipWithError(why.c_str());
    return;
  }
  std::vector<std::uint8_t> out;
  for (auto _ : state) {
    out.clear();
    if (!producer->next(out)) {
      state.SkipWithError("encoder failed");
      return;
    }
    benchmark::DoNotOptimize(out.data());
  }
  const double fps = double(format.fpsNum) / format.fpsDen;
  state.counters["frames/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["realtime"] =
      benchmark::Counter(double(state.iterations()) / fps, benchmark::Counter::kIsRate);
}

emu::StreamFormat mpeg2(int height, int num, int den) {
  emu::StreamFormat f;
  f.height = height;
  f.fpsNum = num;
  f.fpsDen = den;
  f.bitRate = 8000000;
  return f;
}

emu::StreamFormat mpeg1(int height, int num, int den) {
  emu::StreamFormat f;
  f.mpeg2 = false;
  f.width = 352;
  f.height = height;
  f.fpsNum = num;
  f.fpsDen = den;
  f.bitRate = 1150000;
  return f;
}

BENCHMARK_CAPTURE(encode, mpeg2_720x480, mpeg2(480, 30000, 1001))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(encode, mpeg2_720x576, mpeg2(576, 25, 1))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(encode, mpeg1_352x240, mpeg1(240, 30000, 1001))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(encode, mpeg1_352x288, mpeg1(288, 25, 1))->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
