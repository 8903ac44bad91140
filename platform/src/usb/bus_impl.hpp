// Inner state of the hosted USB bus (pf/host/usb_bus.hpp), shared by the
// bus object (bus.cpp), the URB dispatch (urb_dispatch.cpp) and the bulk
// transfer engine (bulk.cpp).
//
// Locking: one mutex per bus guards ports, pipes, transfers, the work queue
// and the traffic record. It is never held while a backend is called or an
// IRP is completed, so backends and completion routines may call back in.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "pcap_writer.hpp"
#include "pf/host/usb_bus.hpp"

namespace pf::usb {

struct PortState;

// One open pipe of the selected configuration, found by its handle value.
struct PipeState {
  std::uint8_t endpoint = 0;        // address, bit 7 set: IN
  USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
  std::uint32_t maxTransfer = 0;    // MaximumTransferSize the driver chose
};

// One bulk URB from dispatch to completion.
struct Transfer {
  enum class State { Queued, AtDevice, Done };

  std::uint64_t id = 0;
  PortState* port = nullptr;
  PIRP irp = nullptr;
  PURB urb = nullptr;
  std::uint8_t endpoint = 0;
  bool in = false;
  bool shortOk = false;
  std::uint32_t length = 0;
  // The device works on this copy, never on the driver's buffer, so that a
  // device finishing late can never write into memory the driver reused.
  // Not zero-filled: the device writes what it sends before anyone reads it,
  // and only the bytes it reports are copied out.
  std::unique_ptr<std::uint8_t[]> bounce;

  // Guarded by the bus mutex.
  State state = State::Queued;
  int holds = 0;                          // completion deferred while > 0
  std::optional<TransferResult> parked;   // a result that arrived while held
};

class BackendHostLink : public BackendHost {
 public:
  BackendHostLink(Bus::Impl* bus, int port) : bus_(bus), port_(port) {}
  void deviceRemoved() override;

 private:
  Bus::Impl* bus_;
  int port_;
};

struct PortState {
  int number = 0;
  Bus::Impl* bus = nullptr;
  std::shared_ptr<Backend> backend;
  DEVICE_OBJECT device{};
  std::unique_ptr<BackendHostLink> host;

  // Guarded by the bus mutex.
  bool connected = false;
  void* configurationHandle = nullptr;
  std::map<void*, PipeState> pipes;
};

struct Bus::Impl : std::enable_shared_from_this<Bus::Impl> {
  explicit Impl(BusOptions opts);

  // ---- bus.cpp ----
  PortState* port(int number) const;
  void disconnect(int number, bool tellBackend);
  void recordLocked(TrafficEvent event);
  // Whether bulk events are given their bytes: for the record or the pcap file.
  bool bulkDataWanted() const { return options.recordBulkData || pcap != nullptr; }
  std::uint64_t nextIdLocked() { return ++lastId; }
  // Runs job on the host-controller thread.
  void post(std::function<void()> job);
  void controllerLoop();
  // Whether the caller runs on the host-controller thread.
  bool onController() const { return std::this_thread::get_id() == controller.get_id(); }
  void stopController();

  // ---- urb_dispatch.cpp ----
  NTSTATUS dispatch(PortState& port, PIRP irp);
  NTSTATUS submitUrb(PortState& port, PIRP irp, PURB urb);
  NTSTATUS selectConfiguration(PortState& port, PIRP irp, PURB urb);
  // One control transfer on the default pipe, recorded; length in: wLength,
  // out: bytes moved.
  USBD_STATUS controlTransfer(PortState& port, SetupPacket setup, void* buffer,
                              std::uint32_t& length);
  NTSTATUS resetPipe(PortState& port, PIRP irp, PURB urb);

  // ---- bulk.cpp ----
  NTSTATUS submitBulk(PortState& port, PIRP irp, PURB urb);
  NTSTATUS abortPipe(PortState& port, PIRP irp, PURB urb);
  // Hands t to its device and drops the submitter's hold; finishes t when
  // the device answered at once (returning the status), otherwise marks the
  // IRP pending when markPending is set.
  std::optional<NTSTATUS> startTransfer(const std::shared_ptr<Transfer>& t, bool markPending);
  // A result for t from the device, an abort or an unplug.
  void deviceDone(const std::shared_ptr<Transfer>& t, TransferResult result);
  // Completes t's IRP with result unless it is already done; returns its status.
  std::optional<NTSTATUS> finish(const std::shared_ptr<Transfer>& t, TransferResult result);
  // Fails every unfinished transfer that matches, as if the device had
  // answered status (used by unplug and abort).
  void failTransfers(const std::function<bool(const Transfer&)>& match, UsbdStatus status,
                     bool onCaller);

  BusOptions options;
  DRIVER_OBJECT driver{};

  mutable std::mutex mutex;
  // Notified when the traffic record or the count in flight changes (for
  // the waits of Bus); the controller thread sleeps on workReady instead, so
  // that recording traffic never wakes it.
  mutable std::condition_variable changed;
  std::condition_variable workReady;
  std::vector<std::unique_ptr<PortState>> ports;
  std::list<std::shared_ptr<Transfer>> transfers;  // not yet completed
  std::size_t inFlight = 0;                        // dispatched and not yet completed
  std::uint64_t lastId = 0;
  std::uintptr_t lastHandle = 0x5B000000;
  std::vector<TrafficEvent> traffic;
  std::size_t trafficBytes = 0;  // what traffic holds, as counted against the limit
  std::unique_ptr<detail::PcapWriter> pcap;

  std::deque<std::function<void()>> work;
  bool stopping = false;
  std::thread controller;
};

// Completes irp on the caller's thread with the URB's status set.
NTSTATUS completeUrb(PIRP irp, PURB urb, USBD_STATUS status);
NTSTATUS completeIrp(PIRP irp, NTSTATUS status);

}  // namespace pf::usb
