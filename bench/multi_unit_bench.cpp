// Several units at once: N adapters of our minidriver on one bus, each over an
// emulated unit that serves prepared bytes at the unit's top stream rate
// (8 Mbit/s), all capturing in real time. Reports the host CPU time per unit
// (the process minus the units' serving threads and the content check), and
// checks that nothing overflowed in the units and no byte was lost.
//
// One Session is one unit, so the setup is built here from the session's
// pieces: one bus with a port per unit, a driver key per physical device
// object, the minidriver loaded once and an adapter added per unit.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "bench/stack_support.hpp"
#include "emulator/unit.hpp"
#include "pf/host/clock.hpp"
#include "tools/host/session.hpp"
#include "tools/host/temp_dir.hpp"

namespace {

// Buffers each unit's capture takes, round robin (about 4 s of stream).
constexpr int kBuffersPerUnit = 30;

class Units {
 public:
  // n units at byteRate each; null with a reason in why.
  static std::unique_ptr<Units> open(unsigned n, double byteRate, std::string* why);
  ~Units();
  Units(const Units&) = delete;
  Units& operator=(const Units&) = delete;

  unsigned count() const { return unsigned(filters_.size()); }
  pf::ks::Filter& filter(unsigned i) const { return *filters_[i]; }
  pf::usb::Bus& bus() const { return *bus_; }
  const std::vector<std::shared_ptr<emu::PreparedStream>>& streams() const { return streams_; }

 private:
  Units() = default;
  mpegunit::TempDir state_{"mpegunit-bench"};
  std::vector<std::shared_ptr<emu::PreparedStream>> streams_;
  std::vector<std::shared_ptr<emu::Unit>> units_;
  std::unique_ptr<pf::usb::Bus> bus_;
  std::vector<PDEVICE_OBJECT> pdos_;
  std::unique_ptr<pf::ks::Minidriver> driver_;
  std::vector<std::unique_ptr<pf::ks::Adapter>> adapters_;
  std::vector<std::unique_ptr<pf::ks::Filter>> filters_;
};

std::unique_ptr<Units> Units::open(unsigned n, double byteRate, std::string* why) {
  std::unique_ptr<Units> units(new Units());
  if (!mpegunit::prepareState(units->state_.path(), why)) return nullptr;
  pf::clock::useVirtual();
  pf::usb::BusOptions bus;
  bus.recordBulkData = false;  // a test instrument, not part of the data path
  units->bus_ = std::make_unique<pf::usb::Bus>(bus);
  for (unsigned i = 0; i < n; ++i) {
    emu::UnitOptions options;
    options.prepared = bench::makePrepared(byteRate);
    options.bulkRecordLimit = 0;
    units->streams_.push_back(options.prepared);
    units->units_.push_back(std::make_shared<emu::Unit>(options));
    const int port = mpegunit::plugUnit(*units->bus_, units->units_.back(), i);
    units->pdos_.push_back(units->bus_->deviceObject(port));
  }
  if (!NT_SUCCESS(mpegunit::loadDriver(units->driver_, why))) return nullptr;
  for (PDEVICE_OBJECT pdo : units->pdos_) {
    std::unique_ptr<pf::ks::Adapter> adapter;
    if (!NT_SUCCESS(mpegunit::startAdapter(*units->driver_, pdo, {}, adapter, why))) return nullptr;
    units->filters_.push_back(std::make_unique<pf::ks::Filter>(*adapter));
    units->adapters_.push_back(std::move(adapter));
  }
  return units;
}

// Teardown in the order of the session's, safe on a half-built set. The
// adapters go last added first: each one's leak check counts the pool of the
// adapters added before it as its starting point.
Units::~Units() {
  filters_.clear();
  for (auto it = adapters_.rbegin(); it != adapters_.rend(); ++it) {
    if (!(*it)->removed()) (*it)->remove();
  }
  adapters_.clear();
  driver_.reset();
  for (PDEVICE_OBJECT pdo : pdos_) mpegunit::releaseDevice(pdo);
  bus_.reset();
  units_.clear();
  mpegunit::closeState();
}

void BM_UnitsRealTime(benchmark::State& state) {
  const unsigned n = unsigned(state.range(0));
  std::string why;
  auto units = Units::open(n, bench::kUnitStreamRate, &why);
  if (!units) return state.SkipWithError(why.c_str());

  std::vector<bench::OpenPin> pins;
  std::vector<std::unique_ptr<bench::Streamer>> streamers;
  bool good = true;
  for (unsigned i = 0; good && i < n; ++i) {
    pins.push_back(bench::openCapturePin(units->filter(i), &why));
    bench::OpenPin& open = pins.back();
    good = open.pin && open.pin->setState(KSSTATE_RUN) == STATUS_SUCCESS;
    if (open.pin && !good) why = "a capture did not start";
    if (!good) break;
    streamers.push_back(std::make_unique<bench::Streamer>(*open.pin, units->bus(), false, open.framing.FrameSize,
                                                          open.framing.Frames));
    streamers.back()->checkContent();
    good = streamers.back()->prime(&why);
  }
  for (auto& s : streamers) good = good && s->step(&why);  // every stream flowing

  bench::HostMeter meter(units->streams());
  double check0 = 0;
  for (auto& s : streamers) check0 += s->checkCpuSeconds();
  std::uint64_t bytes0 = 0;
  for (auto& s : streamers) bytes0 += s->bytes();
  for (auto _ : state) {
    for (auto& s : streamers) {
      if (!good || !(good = s->step(&why))) break;
    }
    if (!good) break;
  }
  if (good) {
    const double wall = meter.wallSeconds();
    double check = -check0, overflow = 0;
    std::uint64_t bytes = 0;
    for (auto& s : streamers) {
      check += s->checkCpuSeconds();
      bytes += s->bytes();
    }
    for (const auto& stream : units->streams()) overflow += double(stream->overflowBytes());
    const double host = meter.hostCpuSeconds() - check;
    state.counters["host_cpu%"] = 100 * host / wall;
    state.counters["host_cpu%/unit"] = 100 * host / wall / n;
    state.counters["unit_cpu%"] = 100 * meter.unitCpuSeconds() / wall;
    state.counters["MB/s/unit"] = double(bytes - bytes0) / wall / n / 1e6;
    state.counters["overflow_bytes"] = overflow;
    if (overflow > 0) state.SetLabel("OVERFLOW: the host was late");
  }
  for (auto& open : pins) {
    if (open.pin) open.pin->setState(KSSTATE_STOP);
  }
  streamers.clear();
  pins.clear();
  if (!good) state.SkipWithError(why.c_str());
}

BENCHMARK(BM_UnitsRealTime)
    ->Arg(1)
    ->Arg(8)
    ->Arg(32)
    ->Iterations(kBuffersPerUnit)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
