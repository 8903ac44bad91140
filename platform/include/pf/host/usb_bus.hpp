// The hosted USB bus driver: ports, the device objects the driver sends its
// URBs to, host-controller completion, and the traffic record.
//
// Plugging a Backend (pf/host/usb_backend.hpp) into a port creates the
// unit's physical device object. A function driver sends every URB to it
// with IofCallDriver (IRP_MJ_INTERNAL_DEVICE_CONTROL,
// IOCTL_INTERNAL_USB_SUBMIT_URB, the URB in Parameters.Others.Argument1) and
// asks the port's state with IOCTL_INTERNAL_USB_GET_PORT_STATUS.
//
// Completion: control-pipe requests, pipe requests and every request that
// fails validation complete on the caller's thread before IofCallDriver
// returns. Bulk transfers complete on the bus's host-controller thread at
// DISPATCH_LEVEL (IofCallDriver answers STATUS_PENDING), or, with
// BusOptions::synchronousBulk, on the caller's thread when the device
// finishes the transfer at once (otherwise on the thread the device
// finishes it on).
//
// Threads: every member may be called from any thread; none may be called
// from a completion routine or a backend callback except where noted.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform.h"
#include "pf/host/usb_backend.hpp"

namespace pf::usb {

// Link types of the pcap trace.
enum class PcapLinkType : int {
  UsbPcap = 249,  // the capture header of the Windows USB capture filter
  Usbmon = 220,   // Linux usbmon, memory-mapped form (64-byte header)
};

struct BusOptions {
  // Bulk transfers complete on the submitting thread when the device
  // finishes them at once.
  bool synchronousBulk = false;
  // Stack locations of each port's device object (1 or 2).
  CCHAR stackSize = 1;
  // When set, every transfer is written to this pcap file.
  std::string pcapPath;
  PcapLinkType pcapLinkType = PcapLinkType::UsbPcap;
  // Bytes the traffic record may hold (events and their data); past it the
  // oldest events are dropped, so that a long stream does not grow memory
  // without end. 0: no limit. The pcap file, when asked for, keeps everything.
  std::size_t trafficLimit = std::size_t(64) << 20;
  // The traffic record keeps the bytes of bulk transfers. Off, bulk events
  // keep their lengths and statuses only, and the bytes are never copied
  // for the record (the pcap file, when asked for, still has them all).
  bool recordBulkData = true;
};

// One entry of the traffic record.
struct TrafficEvent {
  enum class Kind {
    Submit,     // a transfer reached the device: setup packet, OUT data
    Complete,   // a transfer finished: status, IN data
    ResetPipe,  // the driver reset a pipe (status: the device's answer)
    AbortPipe,  // the driver aborted a pipe
  };
  enum class Type { Control, Bulk };

  Kind kind = Kind::Submit;
  Type type = Type::Control;
  std::uint64_t id = 0;         // pairs a Submit with its Complete
  int port = 0;                 // 1-based port number
  std::uint8_t endpoint = 0;    // endpoint address, bit 7 set: IN (control: by direction)
  SetupPacket setup;            // control transfers
  std::uint32_t length = 0;     // Submit: bytes asked for; Complete: bytes moved
  std::vector<std::uint8_t> data;  // Submit: OUT bytes; Complete: IN bytes
  UsbdStatus status = kUsbdSuccess;  // Complete, ResetPipe, AbortPipe
};

class Bus {
 public:
  explicit Bus(BusOptions options = {});
  // Unplugs every device and stops the host-controller thread. Device
  // objects stay valid until here.
  ~Bus();
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;

  // Plugs backend into a new port and returns the port number (from 1).
  // Calls backend->attach() before returning.
  int plug(std::shared_ptr<Backend> backend);

  // Unplugs the device in port: pending transfers fail with
  // USBD_STATUS_DEVICE_GONE / STATUS_DEVICE_NOT_CONNECTED, later URBs fail
  // likewise, the port status reads 0. The device object stays valid.
  // Unplugging an empty port does nothing.
  void unplug(int port);

  // The physical device object of port (also after unplug); null for an
  // unknown port.
  PDEVICE_OBJECT deviceObject(int port) const;
  // The bus's driver object: MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL]
  // is the bus dispatch.
  PDRIVER_OBJECT driverObject() const;

  bool connected(int port) const;
  // Bulk transfers submitted and not yet completed, on every port. A
  // transfer counts until its IRP's completion has returned, so a driver
  // woken by that completion may briefly still see it here: a caller that
  // checks for none left after the driver's own wait uses waitIdle.
  std::size_t pendingTransfers() const;
  // Waits until no bulk transfer is pending; false on time-out.
  bool waitIdle(std::chrono::milliseconds timeout) const;

  // The traffic record, in order of events.
  std::vector<TrafficEvent> traffic() const;
  void clearTraffic();
  // Waits until pred holds for the traffic record; false on time-out.
  bool waitForTraffic(const std::function<bool(const std::vector<TrafficEvent>&)>& pred,
                      std::chrono::milliseconds timeout) const;

  // Writes pending pcap records to the file.
  void flushPcap();

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

// The NTSTATUS with which the bus completes a request of this USBD status.
NTSTATUS ntStatusFromUsbd(USBD_STATUS status);

}  // namespace pf::usb
