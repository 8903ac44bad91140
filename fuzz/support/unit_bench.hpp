// The emulated unit on a hosted bus with a bare, zero-filled DeviceContext
// bound to its device object, for harnesses that call driver operations
// directly: what the adapter bring-up does before the codec is touched.
// One bench at a time in a process (the registry and clock are global).
#pragma once

#include <memory>

#include "driver/mpegunit.h"
#include "emulator/unit.hpp"
#include "pf/host/usb_bus.hpp"

namespace fuzz {

class UnitBench {
 public:
  // Plugs backend in (the emulated unit when null) and binds the driver key.
  explicit UnitBench(std::shared_ptr<pf::usb::Backend> backend = nullptr);
  // Frees what the driver left in the DeviceContext, unplugs the device and
  // ends the process when pool of the driver's tag is left over.
  ~UnitBench();
  UnitBench(const UnitBench&) = delete;
  UnitBench& operator=(const UnitBench&) = delete;

  DeviceContext* device() const { return device_.get(); }
  pf::usb::Bus& bus() const { return *bus_; }
  // The emulated unit; null when another backend was plugged in.
  emu::Unit* unit() const { return unit_.get(); }

  // UsbConfigureDevice, then the shared bulk IRP and URBs; the
  // configuration's status.
  NTSTATUS configure();

 private:
  std::shared_ptr<emu::Unit> unit_;
  std::shared_ptr<pf::usb::Backend> backend_;
  std::unique_ptr<pf::usb::Bus> bus_;
  int port_ = 0;
  std::unique_ptr<DeviceContext> device_;
};

// Unit options for fuzzing: fast pacing, small traffic records.
emu::UnitOptions fuzzUnit();

}  // namespace fuzz
