// The whole stack of one unit (class driver, stream loop, worker, staged
// transfer, bus, emulated unit) with the unit serving prepared stream bytes,
// so that what is measured is the host side: throughput against a plain
// memcpy of the same bytes, host CPU time when paced at the USB 2.0 bulk
// limit, cost per data and per control request, and the capture start.
//
// Host CPU is the process's CPU time minus the unit's serving thread; it
// includes the application's side of the class driver (buffer allocation,
// submission, waits).
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "bench/stack_support.hpp"
#include "pf/host/clock.hpp"
#include "tools/host/session.hpp"
#include "tools/host/temp_dir.hpp"

namespace {

constexpr std::uint64_t kMemcpyBytes = 256u << 20;
// Playback writes kept in flight, as the command line does (the pin's
// framing asks for one).
constexpr unsigned kPlaybackInFlight = 4;

// One session over a unit that serves prepared bytes at byteRate (0: at once).
struct Rig {
  explicit Rig(double byteRate, bool synchronousBus = false) : stream(bench::makePrepared(byteRate)) {
    mpegunit::SessionOptions options;
    options.bus.synchronousBulk = synchronousBus;
    options.bus.recordBulkData = false;  // a test instrument, not part of the data path
    options.stateDir = state.path();
    options.unit.prepared = stream;
    options.unit.bulkRecordLimit = 0;
    options.virtualClock = true;  // settling delays cost no wall time
    session = mpegunit::Session::open(options, &why);
  }
  mpegunit::TempDir state{"mpegunit-bench"};
  std::shared_ptr<emu::PreparedStream> stream;
  std::string why;
  std::unique_ptr<mpegunit::Session> session;
};

void fail(benchmark::State& state, const std::string& why) { state.SkipWithError(why.c_str()); }

// Counters common to the data benchmarks.
void report(benchmark::State& state, const bench::HostMeter& meter, std::uint64_t bytes, std::uint64_t buffers) {
  const double wall = meter.wallSeconds();
  const double host = meter.hostCpuSeconds();
  state.counters["MB/s"] = double(bytes) / wall / 1e6;
  state.counters["host_cpu%"] = 100 * host / wall;
  state.counters["unit_cpu%"] = 100 * meter.unitCpuSeconds() / wall;
  state.counters["host_us/buf"] = buffers ? 1e6 * host / double(buffers) : 0;
  // What one core of host CPU would move: the rate less the machine's load.
  state.counters["MB/host_cpu_s"] = host > 0 ? double(bytes) / host / 1e6 : 0;
  state.SetBytesProcessed(std::int64_t(bytes));
}

// Argument 0: bulk transfers complete on the bus's host-controller thread,
// as on a real bus; 1: on the submitter's thread (the bus handing over
// nothing), which shows what the thread hand-overs cost.
void streamData(benchmark::State& state, bool write, double byteRate) {
  Rig rig(byteRate, state.range(0) != 0);
  if (!rig.session) return fail(state, rig.why);
  std::string why;
  bench::OpenPin open = write ? bench::openPlaybackPin(rig.session->filter(), &why)
                              : bench::openCapturePin(rig.session->filter(), &why);
  if (!open.pin) return fail(state, why);
  pf::ks::Pin& pin = *open.pin;
  if (write) {
    if (pin.setState(KSSTATE_PAUSE) != STATUS_SUCCESS) return fail(state, "the decoder did not load");
    auto announce = pin.write(open.format, KSSTREAM_HEADER_OPTIONSF_TYPECHANGED);
    if (!announce || !announce->wait(std::chrono::seconds(10)) || !NT_SUCCESS(announce->status()))
      return fail(state, "the format announcement failed");
  }
  if (pin.setState(KSSTATE_RUN) != STATUS_SUCCESS) return fail(state, "the stream did not start");

  const unsigned inFlight = write ? kPlaybackInFlight : open.framing.Frames;
  bench::Streamer streamer(pin, rig.session->bus(), write, open.framing.FrameSize, inFlight);
  bool good = streamer.prime(&why);
  for (unsigned i = 0; good && i < inFlight; ++i) good = streamer.step(&why);  // warm up
  const std::uint64_t bytes0 = streamer.bytes(), buffers0 = streamer.buffers();
  const std::uint64_t overflow0 = rig.stream->overflowBytes();
  bench::HostMeter meter({rig.stream});
  for (auto _ : state) {
    if (!good || !(good = streamer.step(&why))) break;
  }
  if (good) {
    const std::uint64_t bytes = streamer.bytes() - bytes0;
    report(state, meter, bytes, streamer.buffers() - buffers0);
    if (byteRate > 0) {
      state.counters["overflow_bytes"] = double(rig.stream->overflowBytes() - overflow0);
    } else {
      const double rate = double(bytes) / meter.wallSeconds();
      const double copy = bench::memcpyRate(open.framing.FrameSize, inFlight, kMemcpyBytes);
      state.counters["memcpy_MB/s"] = copy / 1e6;
      state.counters["vs_memcpy"] = rate / copy;
      state.counters["x_53MB/s"] = rate / bench::kUsb2BulkRate;
    }
  }
  pin.setState(KSSTATE_STOP);
  streamer.drop();
  pin.close();
  if (!good) fail(state, why);
}

void BM_CaptureUnpaced(benchmark::State& state) { streamData(state, false, 0); }
void BM_CapturePaced53MBs(benchmark::State& state) { streamData(state, false, bench::kUsb2BulkRate); }
void BM_PlaybackUnpaced(benchmark::State& state) { streamData(state, true, 0); }
void BM_PlaybackPaced53MBs(benchmark::State& state) { streamData(state, true, bench::kUsb2BulkRate); }

// A device property get (the proc-amp brightness) round trip from the
// application to the minidriver and back.
void BM_PropertyGet(benchmark::State& state) {
  Rig rig(0);
  if (!rig.session) return fail(state, rig.why);
  pf::ks::Filter& filter = rig.session->filter();
  bench::HostMeter meter({rig.stream});
  std::uint64_t calls = 0;
  for (auto _ : state) {
    KSPROPERTY_VIDEOPROCAMP_S record{};
    const auto result = filter.get(PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, record);
    if (!NT_SUCCESS(result.status)) return fail(state, "the property get failed");
    ++calls;
  }
  state.counters["host_us/req"] = 1e6 * meter.hostCpuSeconds() / double(calls);
  state.counters["wall_us/req"] = 1e6 * meter.wallSeconds() / double(calls);
}

// The capture pin's move from STOP to PAUSE: codec reset, encoder image
// download, encoder start. Wall time is manual (the move alone).
void BM_CaptureStart(benchmark::State& state) {
  Rig rig(0);
  if (!rig.session) return fail(state, rig.why);
  std::string why;
  bench::OpenPin open = bench::openCapturePin(rig.session->filter(), &why);
  if (!open.pin) return fail(state, why);
  pf::usb::Bus& bus = rig.session->bus();
  double hostCpu = 0, settle = 0;
  std::uint64_t control = 0, bulk = 0, bulkBytes = 0, starts = 0;
  for (auto _ : state) {
    bus.clearTraffic();
    pf::clock::resetCounters();
    bench::HostMeter meter({rig.stream});
    const NTSTATUS status = open.pin->setState(KSSTATE_PAUSE);
    state.SetIterationTime(meter.wallSeconds());
    hostCpu += meter.hostCpuSeconds();
    settle += double(pf::clock::totalDelay()) / pf::clock::kTicksPerSecond;
    if (status != STATUS_SUCCESS) return fail(state, "the capture did not start");
    for (const auto& e : bus.traffic()) {
      if (e.kind != pf::usb::TrafficEvent::Kind::Submit) continue;
      if (e.type == pf::usb::TrafficEvent::Type::Control) {
        ++control;
      } else {
        ++bulk;
        bulkBytes += e.length;
      }
    }
    ++starts;
    state.PauseTiming();
    open.pin->setState(KSSTATE_STOP);
    state.ResumeTiming();
  }
  const double n = double(starts);
  state.counters["host_cpu_ms"] = 1e3 * hostCpu / n;
  state.counters["settle_s"] = settle / n;  // delays the real unit would take (virtual here)
  state.counters["control_xfers"] = double(control) / n;
  state.counters["bulk_xfers"] = double(bulk) / n;
  state.counters["bulk_bytes"] = double(bulkBytes) / n;
  open.pin->close();
}

BENCHMARK(BM_CaptureUnpaced)->ArgName("syncbus")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_CapturePaced53MBs)->ArgName("syncbus")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_PlaybackUnpaced)->ArgName("syncbus")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_PlaybackPaced53MBs)->ArgName("syncbus")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_PropertyGet)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_CaptureStart)->Unit(benchmark::kMillisecond)->UseManualTime();

}  // namespace
