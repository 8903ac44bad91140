// The hosted kernel-streaming class driver, seen from the host: loading a
// stream minidriver, adding and removing adapters, and the requests (SRBs)
// sent to the minidriver.
//
// Every request carries its zero-filled per-request extension and an IRP
// whose Tail.Overlay.DriverContext[0] points at the SRB. Device requests go
// to HwReceivePacket and stream control requests to the stream's
// ReceiveControlPacket at PASSIVE_LEVEL; data requests go to the stream's
// ReceiveDataPacket at DISPATCH_LEVEL. Nothing is serialised: with
// TurnOffSynchronization TRUE the minidriver sees calls from every thread
// that sends one. Completion arrives through StreamClassDeviceNotification
// or StreamClassStreamNotification on any thread; a second completion of a
// request, or the completion of a request never sent, is a bugcheck.
//
// The application's view (filter, pins, properties, stream buffers) is in
// ks_client.hpp.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pf/ks.h"

namespace pf::ks {

namespace detail {
struct DriverState;
struct AdapterState;
struct StreamState;
}  // namespace detail

// Time-out a request starts with (TimeoutCounter and TimeoutOriginal), in
// seconds of the platform clock; 0 disables the time-out.
inline constexpr ULONG kDefaultRequestTimeoutSeconds = 15;

// A loaded stream minidriver: its driver object and the registration record
// it handed to StreamClassRegisterAdapter.
class Minidriver {
 public:
  // Makes a driver object and a registry path for the service and calls
  // entry (PASSIVE_LEVEL). The load succeeds when entry succeeds and has
  // registered with the class driver; entry's own failure is returned as it
  // is, a success without registration as STATUS_UNSUCCESSFUL.
  static NTSTATUS load(PDRIVER_INITIALIZE entry, std::unique_ptr<Minidriver>& out,
                       const std::wstring& serviceName = L"mpegunit");
  ~Minidriver();
  Minidriver(const Minidriver&) = delete;
  Minidriver& operator=(const Minidriver&) = delete;

  PDRIVER_OBJECT driverObject() const;
  PUNICODE_STRING registryPath() const;
  // The class driver's copy of the registration record.
  const HW_INITIALIZATION_DATA& registration() const;

 private:
  explicit Minidriver(std::shared_ptr<detail::DriverState> state);
  std::shared_ptr<detail::DriverState> state_;
  friend class Adapter;
};

// One request in flight or completed. The class driver keeps it alive while
// it is pending, the holder of the handle afterwards; the SRB, its extension,
// its IRP and the buffers the request points at are freed with the last
// handle.
class Request {
 public:
  ~Request();
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;

  PHW_STREAM_REQUEST_BLOCK srb() const;
  PIRP irp() const;
  SRB_COMMAND command() const;

  bool completed() const;
  // Waits at most timeout for the completion; true when completed.
  bool wait(std::chrono::milliseconds timeout) const;
  // The SRB's Status and ActualBytesTransferred as completed (Status is
  // STATUS_PENDING while the request is pending).
  NTSTATUS status() const;
  ULONG bytesTransferred() const;
  // Completions seen (1 once completed; a second one never returns).
  unsigned completions() const;

  // Data requests: the stream headers and the bytes of each buffer.
  std::size_t bufferCount() const;
  const KSSTREAM_HEADER& header(std::size_t index = 0) const;
  const std::vector<std::uint8_t>& data(std::size_t index = 0) const;

  // Asks the minidriver to cancel the request (HwCancelPacket, at
  // DISPATCH_LEVEL) when it is still pending; the minidriver completes it.
  void cancel();

  // The class driver's record of the request; made only by the class driver.
  struct Core;
  explicit Request(std::unique_ptr<Core> core);
  Core& core() const { return *core_; }

 private:
  std::unique_ptr<Core> core_;
};
using RequestPtr = std::shared_ptr<Request>;

// Fills the command-specific fields of a request before it is sent.
using PrepareRequest = std::function<void(HW_STREAM_REQUEST_BLOCK& srb)>;

struct AdapterOptions {
  // Bound on every wait of the class driver for the minidriver: lifecycle
  // requests, synchronous client calls, pending requests at removal. A
  // lifecycle request or removal that exceeds it is a bugcheck; a client
  // call answers STATUS_IO_TIMEOUT and leaves its request pending.
  std::chrono::milliseconds waitLimit{60'000};
  // Time-out of each request in seconds (TimeoutCounter, TimeoutOriginal).
  ULONG requestTimeoutSeconds = kDefaultRequestTimeoutSeconds;
  // A thread that counts down the time-outs of pending requests once per
  // second of the platform clock. Off: tests call Adapter::tick().
  bool timeoutTicker = true;
  // After removal (and after a failed add), bugcheck when pool blocks of
  // this tag are still allocated beyond what was allocated before the add.
  bool checkLeaks = true;
  std::string leakTag = "KMF2";
};

// One adapter: the class device object over a physical device object, the
// minidriver's zero-filled device extension and the stream information the
// minidriver announced.
class Adapter {
 public:
  // Allocates the device extension and the port configuration, then sends
  // SRB_INITIALIZE_DEVICE, SRB_GET_STREAM_INFO and
  // SRB_INITIALIZATION_COMPLETE (PASSIVE_LEVEL). A failed initialisation is
  // returned and no adapter is made; a stream descriptor size too small for
  // the announced streams, or a failed stream information request, undoes
  // the initialisation (SRB_UNINITIALIZE_DEVICE) and fails the add.
  static NTSTATUS add(Minidriver& driver, PDEVICE_OBJECT physicalDevice,
                      std::unique_ptr<Adapter>& out, AdapterOptions options = {});
  // Removes the adapter when not yet removed (SRB_UNINITIALIZE_DEVICE).
  ~Adapter();
  Adapter(const Adapter&) = delete;
  Adapter& operator=(const Adapter&) = delete;

  // SRB_UNINITIALIZE_DEVICE, then waits for every pending request, frees the
  // extension and checks the pool. Answers the request's status; the
  // adapter is gone either way. A second call answers STATUS_SUCCESS.
  NTSTATUS remove();
  // SRB_SURPRISE_REMOVAL, then as remove(); answers the first failure.
  NTSTATUS surpriseRemove();
  bool removed() const;

  Minidriver& driver() const;
  PVOID deviceExtension() const;
  PDEVICE_OBJECT classDeviceObject() const;
  PDEVICE_OBJECT physicalDeviceObject() const;
  const PORT_CONFIGURATION_INFORMATION& configInfo() const;
  const AdapterOptions& options() const;

  // The minidriver's stream header and stream information entries.
  const HW_STREAM_HEADER& streamHeader() const;
  ULONG streamCount() const;
  const HW_STREAM_INFORMATION& streamInfo(ULONG stream) const;

  // Sends a device request (PASSIVE_LEVEL) prepared by prepare; returns at
  // once with the request, pending or completed. Null when the request
  // could not be built (no memory for its IRP).
  RequestPtr sendDeviceRequest(SRB_COMMAND command, const PrepareRequest& prepare = {});
  // Sends and waits (bounded); STATUS_IO_TIMEOUT when the wait ran out.
  NTSTATUS callDevice(SRB_COMMAND command, const PrepareRequest& prepare = {},
                      RequestPtr* request = nullptr);

  // One second of request time-outs: every pending request with a non-zero
  // TimeoutCounter counts down by one; at zero HwRequestTimeoutHandler is
  // called (DISPATCH_LEVEL).
  void tick();
  std::size_t pendingRequests() const;
  // Waits at most timeout until no request of the adapter is pending.
  bool waitIdle(std::chrono::milliseconds timeout) const;

  std::shared_ptr<detail::AdapterState> state() const { return state_; }

 private:
  explicit Adapter(std::shared_ptr<detail::AdapterState> state);
  NTSTATUS teardown(bool surprise);
  std::shared_ptr<detail::AdapterState> state_;
};

}  // namespace pf::ks
