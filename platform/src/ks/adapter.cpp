// The adapter life cycle: initialisation, stream information, initialisation
// complete, removal and surprise removal; request time-outs.
#include <map>

#include "internal.hpp"
#include "pf/host/pool.hpp"
#include "pf/host/verifier.hpp"

namespace pf::ks {
namespace detail {

std::uint32_t leakTag(const AdapterState& adapter) {
  char name[5] = {' ', ' ', ' ', ' ', 0};
  for (std::size_t i = 0; i < 4 && i < adapter.options.leakTag.size(); ++i)
    name[i] = adapter.options.leakTag[i];
  return pf::pool::makeTag(name);
}

namespace {

std::mutex& adaptersMutex() {
  static std::mutex m;
  return m;
}
// Adapters alive, by the pool tag their minidriver allocates with.
std::map<std::uint32_t, std::size_t>& liveAdapters() {
  static std::map<std::uint32_t, std::size_t> live;
  return live;
}

// Tick source: the platform clock in whole seconds (10 MHz counter).
LONGLONG platformSeconds() {
  LARGE_INTEGER frequency;
  LARGE_INTEGER now = KeQueryPerformanceCounter(&frequency);
  return frequency.QuadPart ? now.QuadPart / frequency.QuadPart : 0;
}

// What is left once the minidriver is done with the adapter: the pool must
// hold nothing of it. Blocks carry the driver's tag, not the adapter's, so
// while other adapters are alive nothing tells this adapter's blocks from
// theirs: the check then waits for the last adapter's removal, which finds
// whatever any of them left behind.
void checkPool(AdapterState& adapter, const char* what) {
  if (!adapter.options.checkLeaks) return;
  bool alone;
  {
    std::lock_guard<std::mutex> lock(adaptersMutex());
    alone = liveAdapters()[leakTag(adapter)] == 0;
  }
  if (alone) pf::pool::checkNoLeaks(what, leakTag(adapter));
}

void freeAdapter(AdapterState& adapter) {
  adapter.stopTicker();
  adapter.streamDescriptor.reset();
  adapter.extension.reset();
  adapter.classDevice.DeviceExtension = nullptr;
}

}  // namespace

void AdapterState::startTicker() {
  // Counted from the start, not from when the thread first runs.
  LONGLONG start = platformSeconds();
  ticker = std::thread([this, start] {
    LONGLONG last = start;
    std::unique_lock<std::mutex> lock(tickerMutex);
    while (!tickerStop) {
      // Real-time polling: a virtual clock moves in jumps, and the ticker
      // itself must never move it.
      tickerWake.wait_for(lock, std::chrono::milliseconds(50));
      if (tickerStop) break;
      LONGLONG now = platformSeconds();
      lock.unlock();
      for (; last < now; ++last) {
        tickAdapter(*this);
      }
      lock.lock();
    }
  });
}

void AdapterState::stopTicker() {
  if (!ticker.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(tickerMutex);
    tickerStop = true;
  }
  tickerWake.notify_all();
  ticker.join();
}

}  // namespace detail

NTSTATUS Adapter::add(Minidriver& driver, PDEVICE_OBJECT physicalDevice,
                      std::unique_ptr<Adapter>& out, AdapterOptions options) {
  out.reset();
  if (physicalDevice == nullptr) return STATUS_INVALID_PARAMETER;
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) return STATUS_INVALID_DEVICE_STATE;

  auto state = std::make_shared<detail::AdapterState>();
  state->driver = driver.state_;
  state->minidriver = &driver;
  state->options = std::move(options);
  state->physicalDevice = physicalDevice;
  const HW_INITIALIZATION_DATA& hw = state->hw();

  state->extension = std::make_unique<detail::ZeroBlock>(hw.DeviceExtensionSize);
  DEVICE_OBJECT& fdo = state->classDevice;
  fdo.Type = 3;  // IO_TYPE_DEVICE
  fdo.Size = sizeof(DEVICE_OBJECT);
  fdo.DriverObject = &state->driver->driverObject;
  fdo.DeviceExtension = state->extension->get();
  fdo.StackSize = CCHAR(physicalDevice->StackSize + 1);

  PORT_CONFIGURATION_INFORMATION& config = state->config;
  config.SizeOfThisPacket = sizeof(PORT_CONFIGURATION_INFORMATION);
  config.HwDeviceExtension = state->extension->get();
  config.ClassDeviceObject = &fdo;
  config.PhysicalDeviceObject = physicalDevice;
  config.RealPhysicalDeviceObject = physicalDevice;
  config.AdapterInterfaceType = PNPBus;

  {
    std::lock_guard<std::mutex> lock(detail::adaptersMutex());
    ++detail::liveAdapters()[detail::leakTag(*state)];
  }
  auto fail = [&](NTSTATUS status) {
    detail::freeAdapter(*state);
    {
      std::lock_guard<std::mutex> lock(detail::adaptersMutex());
      --detail::liveAdapters()[detail::leakTag(*state)];
    }
    detail::checkPool(*state, "failed adapter start");
    return status;
  };

  NTSTATUS status = state->mustCall(SRB_INITIALIZE_DEVICE, [&](HW_STREAM_REQUEST_BLOCK& srb) {
    srb.CommandData.ConfigInfo = &config;
    config.Irp = srb.Irp;
  });
  config.Irp = nullptr;
  if (!NT_SUCCESS(status)) return fail(status);

  // From here on a failure undoes the initialisation.
  auto undo = [&](NTSTATUS failure) {
    state->mustCall(SRB_UNINITIALIZE_DEVICE, {});  // the add's failure is what counts
    return fail(failure);
  };
  if (config.StreamDescriptorSize < sizeof(HW_STREAM_HEADER)) return undo(STATUS_INVALID_BUFFER_SIZE);
  state->streamDescriptor = std::make_unique<detail::ZeroBlock>(config.StreamDescriptorSize);
  status = state->mustCall(SRB_GET_STREAM_INFO, [&](HW_STREAM_REQUEST_BLOCK& srb) {
    srb.CommandData.StreamBuffer = static_cast<PHW_STREAM_DESCRIPTOR>(state->streamDescriptor->get());
    srb.NumberOfBytesToTransfer = config.StreamDescriptorSize;
  });
  if (!NT_SUCCESS(status)) return undo(status);
  std::size_t needed = offsetof(HW_STREAM_DESCRIPTOR, StreamInfo) +
                       std::size_t(state->header()->NumberOfStreams) * sizeof(HW_STREAM_INFORMATION);
  if (config.StreamDescriptorSize < needed) return undo(STATUS_INVALID_BUFFER_SIZE);

  // As the class driver does, the outcome of this notice is not examined.
  state->mustCall(SRB_INITIALIZATION_COMPLETE, {});

  if (state->options.timeoutTicker) state->startTicker();
  out.reset(new Adapter(std::move(state)));
  return STATUS_SUCCESS;
}

Adapter::Adapter(std::shared_ptr<detail::AdapterState> state) : state_(std::move(state)) {}

Adapter::~Adapter() {
  if (!state_->removed) remove();
}

NTSTATUS Adapter::remove() { return teardown(false); }
NTSTATUS Adapter::surpriseRemove() { return teardown(true); }
bool Adapter::removed() const { return state_->removed; }

NTSTATUS Adapter::teardown(bool surprise) {
  detail::AdapterState& s = *state_;
  if (s.removed) return STATUS_SUCCESS;
  s.removed = true;
  NTSTATUS first = STATUS_SUCCESS;
  if (surprise) first = s.mustCall(SRB_SURPRISE_REMOVAL, {});
  NTSTATUS status = s.mustCall(SRB_UNINITIALIZE_DEVICE, {});
  if (NT_SUCCESS(first)) first = status;

  // Nothing may still refer to the extension once it is freed.
  if (!waitIdle(s.options.waitLimit))
    pf::bugcheck("adapter removal: %zu request(s) still pending after %lld ms", pendingRequests(),
                 static_cast<long long>(s.options.waitLimit.count()));
  detail::freeAdapter(s);
  {
    std::lock_guard<std::mutex> lock(detail::adaptersMutex());
    --detail::liveAdapters()[detail::leakTag(s)];
  }
  detail::checkPool(s, "adapter removal");
  return first;
}

Minidriver& Adapter::driver() const { return *state_->minidriver; }
PVOID Adapter::deviceExtension() const {
  return state_->extension ? state_->extension->get() : nullptr;
}
PDEVICE_OBJECT Adapter::classDeviceObject() const { return &state_->classDevice; }
PDEVICE_OBJECT Adapter::physicalDeviceObject() const { return state_->physicalDevice; }
const PORT_CONFIGURATION_INFORMATION& Adapter::configInfo() const { return state_->config; }
const AdapterOptions& Adapter::options() const { return state_->options; }

const HW_STREAM_HEADER& Adapter::streamHeader() const { return *state_->header(); }
ULONG Adapter::streamCount() const { return state_->header()->NumberOfStreams; }
const HW_STREAM_INFORMATION& Adapter::streamInfo(ULONG stream) const {
  const HW_STREAM_INFORMATION* info = state_->info(stream);
  if (info == nullptr) pf::bugcheck("stream %lu beyond the adapter's streams", (unsigned long)stream);
  return *info;
}

RequestPtr Adapter::sendDeviceRequest(SRB_COMMAND command, const PrepareRequest& prepare) {
  return state_->send(detail::Target::Device, command, nullptr, prepare);
}

NTSTATUS Adapter::callDevice(SRB_COMMAND command, const PrepareRequest& prepare,
                             RequestPtr* request) {
  return state_->call(detail::Target::Device, command, nullptr, prepare, request);
}

void Adapter::tick() { detail::tickAdapter(*state_); }

void detail::tickAdapter(detail::AdapterState& s) {
  std::vector<RequestPtr> due;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    for (auto& [raw, request] : s.pending) {
      PHW_STREAM_REQUEST_BLOCK srb = request->srb();
      if (srb->TimeoutCounter == 0) continue;
      if (--srb->TimeoutCounter == 0) due.push_back(request);
    }
  }
  PHW_REQUEST_TIMEOUT_HANDLER handler = s.hw().HwRequestTimeoutHandler;
  for (auto& request : due) {
    if (handler == nullptr || request->completed()) continue;
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    handler(request->srb());
    KfLowerIrql(old);
  }
}

std::size_t Adapter::pendingRequests() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->pending.size();
}

bool Adapter::waitIdle(std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(state_->mutex);
  return state_->idle.wait_for(lock, timeout, [&] { return state_->pending.empty(); });
}

}  // namespace pf::ks
