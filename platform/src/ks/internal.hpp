// Internal records of the hosted kernel-streaming class driver.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "pf/host/ks_class.hpp"
#include "pf/host/ks_client.hpp"

#ifndef STATUS_IO_TIMEOUT
#define STATUS_IO_TIMEOUT ((NTSTATUS)0xC00000B5L)
#endif

namespace pf::ks::detail {

// Zero-filled memory for records the minidriver sees (extensions, stream
// objects, SRBs); 16-byte aligned, as pool memory is.
struct ZeroBlock {
  explicit ZeroBlock(std::size_t size);
  ~ZeroBlock();
  ZeroBlock(const ZeroBlock&) = delete;
  ZeroBlock& operator=(const ZeroBlock&) = delete;
  void* get() const { return data; }
  void* data = nullptr;
  std::size_t size = 0;
};

struct DriverState {
  DRIVER_OBJECT driverObject{};
  std::wstring registryPathText;
  UNICODE_STRING registryPath{};
  bool registered = false;
  HW_INITIALIZATION_DATA registration{};
};

// The stream object of one open pin with its extension; requests on the
// stream hold it, so it outlives every request that points at it.
struct StreamState {
  std::shared_ptr<AdapterState> adapter;
  ZeroBlock object{sizeof(HW_STREAM_OBJECT)};
  std::unique_ptr<ZeroBlock> extension;
  ULONG number = 0;
  PHW_STREAM_OBJECT streamObject() const { return static_cast<PHW_STREAM_OBJECT>(object.get()); }
};

enum class Target { Device, Control, Data };

struct AdapterState : std::enable_shared_from_this<AdapterState> {
  std::shared_ptr<DriverState> driver;
  Minidriver* minidriver = nullptr;
  AdapterOptions options;
  DEVICE_OBJECT classDevice{};
  PDEVICE_OBJECT physicalDevice = nullptr;
  std::unique_ptr<ZeroBlock> extension;
  PORT_CONFIGURATION_INFORMATION config{};
  std::unique_ptr<ZeroBlock> streamDescriptor;
  bool removed = false;

  mutable std::mutex mutex;
  mutable std::condition_variable idle;
  std::unordered_map<Request*, RequestPtr> pending;  // strong while pending

  std::thread ticker;
  std::mutex tickerMutex;
  std::condition_variable tickerWake;
  bool tickerStop = false;

  const HW_INITIALIZATION_DATA& hw() const { return driver->registration; }
  PHW_STREAM_HEADER header() const {
    return static_cast<PHW_STREAM_HEADER>(streamDescriptor->get());
  }
  const HW_STREAM_INFORMATION* info(ULONG stream) const;

  // Builds and sends one request; null when its IRP could not be allocated.
  // setup fills the request's own storage (descriptors, buffers) and the
  // SRB fields pointing at it, before prepare.
  RequestPtr send(Target target, SRB_COMMAND command, const std::shared_ptr<StreamState>& stream,
                  const PrepareRequest& prepare, std::vector<StreamBuffer> buffers = {},
                  const std::function<void(Request::Core&)>& setup = {});
  // Sends and waits (bounded); STATUS_IO_TIMEOUT when the wait ran out.
  NTSTATUS call(Target target, SRB_COMMAND command, const std::shared_ptr<StreamState>& stream,
                const PrepareRequest& prepare, RequestPtr* out,
                const std::function<void(Request::Core&)>& setup = {});
  // As call(), for requests whose completion the class driver cannot do
  // without: running out of time is a bugcheck.
  NTSTATUS mustCall(SRB_COMMAND command, const PrepareRequest& prepare);

  void completed(Request* request);
  void startTicker();
  void stopTicker();
};

}  // namespace pf::ks::detail

namespace pf::ks {

struct Request::Core {
  using Target = detail::Target;
  using AdapterState = detail::AdapterState;
  using StreamState = detail::StreamState;
  using ZeroBlock = detail::ZeroBlock;
  std::shared_ptr<AdapterState> adapter;
  std::shared_ptr<StreamState> stream;
  Target target = Target::Device;
  ZeroBlock srbBlock{sizeof(HW_STREAM_REQUEST_BLOCK)};
  std::unique_ptr<ZeroBlock> extension;
  PIRP irp = nullptr;

  // What the request points at: headers and data of a data request, the
  // descriptors and buffers of property, intersection and open requests.
  std::vector<KSSTREAM_HEADER> headers;
  std::vector<std::vector<std::uint8_t>> buffers;
  STREAM_PROPERTY_DESCRIPTOR propertyDescriptor{};
  STREAM_DATA_INTERSECT_INFO intersectInfo{};

  mutable std::mutex mutex;
  mutable std::condition_variable done;
  bool isCompleted = false;
  unsigned completionCount = 0;
  NTSTATUS finalStatus = STATUS_PENDING;
  ULONG finalBytes = 0;

  PHW_STREAM_REQUEST_BLOCK srb() const {
    return static_cast<PHW_STREAM_REQUEST_BLOCK>(srbBlock.get());
  }
};

}  // namespace pf::ks

namespace pf::ks::detail {

// The tracker of every request handed to a minidriver, by SRB address.
void trackRequest(PHW_STREAM_REQUEST_BLOCK srb, const RequestPtr& request);
void untrackRequest(PHW_STREAM_REQUEST_BLOCK srb);

// Property checks shared by filters and pins: answers basic-support and
// default-value queries itself; forward is set when the request goes to
// the minidriver, with the index of its set.
struct PropertyCheck {
  PropertyResult answer;
  bool forward = false;
  ULONG setIndex = 0;
  const KSPROPERTY_ITEM* item = nullptr;
};
PropertyCheck checkProperty(const KSPROPERTY_SET* sets, ULONG setCount, const void* input,
                            ULONG inputSize, void* data, ULONG dataSize);

// Routes a checked GET or SET to the minidriver and copies the answer back.
PropertyResult forwardProperty(AdapterState& adapter, Target target,
                               const std::shared_ptr<StreamState>& stream, SRB_COMMAND command,
                               ULONG setIndex, const void* input, ULONG inputSize, void* data,
                               ULONG dataSize);

std::uint32_t leakTag(const AdapterState& adapter);
// One second of request time-outs (Adapter::tick).
void tickAdapter(AdapterState& adapter);

}  // namespace pf::ks::detail
