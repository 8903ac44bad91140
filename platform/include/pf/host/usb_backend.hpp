// The device side of the emulated USB bus.
//
// A Backend stands for one device plugged into one port of the hosted bus
// driver (pf/host/usb_bus.hpp). The bus turns every URB the driver sends into
// calls on this interface: standard and vendor control transfers, bulk
// transfers, endpoint reset and abort, port status. The emulated unit
// (emulator/) is one backend; a pass-through to a real device could be another.
//
// Threads: control() is called on the thread that submitted the URB. Bulk
// transfers are submitted from the bus's host-controller thread and may be
// completed later from any thread (the backend's own streaming thread, say);
// a backend must complete every submitted transfer exactly once, including on
// abortEndpoint() and on unplug.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace pf::usb {

// USBD status words as the bus reports them in URB headers.
using UsbdStatus = std::uint32_t;
inline constexpr UsbdStatus kUsbdSuccess = 0x00000000;
inline constexpr UsbdStatus kUsbdStallPid = 0xC0000004;        // USBD_STATUS_STALL_PID
inline constexpr UsbdStatus kUsbdDevNotResponding = 0xC0000005; // USBD_STATUS_DEV_NOT_RESPONDING
inline constexpr UsbdStatus kUsbdDataOverrun = 0xC0000008;      // USBD_STATUS_DATA_OVERRUN
inline constexpr UsbdStatus kUsbdDataUnderrun = 0xC0000009;     // USBD_STATUS_DATA_UNDERRUN
inline constexpr UsbdStatus kUsbdXactError = 0xC0000011;        // USBD_STATUS_XACT_ERROR
inline constexpr UsbdStatus kUsbdCanceled = 0xC0010000;         // USBD_STATUS_CANCELED
inline constexpr UsbdStatus kUsbdDeviceGone = 0xC0007000;       // USBD_STATUS_DEVICE_GONE

enum class Speed { Full, High };

// The eight bytes of a control transfer's setup stage.
struct SetupPacket {
  std::uint8_t bmRequestType = 0;  // bit 7 set: device to host
  std::uint8_t bRequest = 0;
  std::uint16_t wValue = 0;
  std::uint16_t wIndex = 0;
  std::uint16_t wLength = 0;

  bool deviceToHost() const { return (bmRequestType & 0x80) != 0; }
};

struct TransferResult {
  UsbdStatus status = kUsbdSuccess;
  std::size_t actual = 0;  // bytes moved in the data stage
};

// Called exactly once per bulk transfer.
using BulkCompletion = std::function<void(TransferResult)>;

// Lets a backend tell the bus about events it causes itself.
class BackendHost {
 public:
  virtual ~BackendHost() = default;
  // The device left the bus (an injected unplug): the bus fails what is
  // pending and every later request, as a real bus does.
  virtual void deviceRemoved() = 0;
};

class Backend {
 public:
  virtual ~Backend() = default;

  // The bus calls this when the device is plugged in, and with null when the
  // bus lets go of it (the device must not call the host after that).
  virtual void attach(BackendHost* host) = 0;

  virtual Speed speed() const = 0;

  // One control transfer on the default pipe, standard requests included
  // (GET_DESCRIPTOR, SET_CONFIGURATION, ...). data holds setup.wLength bytes:
  // filled by the device for an IN transfer, read by it for an OUT transfer.
  // A request the device does not support answers kUsbdStallPid.
  virtual TransferResult control(const SetupPacket& setup, std::uint8_t* data) = 0;

  // Starts one bulk transfer on endpoint (bit 7 set: IN). For IN the device
  // may complete with fewer bytes than length (a short packet) when
  // shortOk is true; buffer stays valid until done runs.
  virtual void submitBulk(std::uint8_t endpoint, std::uint8_t* buffer, std::size_t length,
                          bool shortOk, BulkCompletion done) = 0;

  // Completes every transfer still pending on endpoint with kUsbdCanceled.
  virtual void abortEndpoint(std::uint8_t endpoint) = 0;

  // Clears a halt on endpoint (the bus's reset-pipe request).
  virtual UsbdStatus resetEndpoint(std::uint8_t endpoint) = 0;
};

}  // namespace pf::usb
