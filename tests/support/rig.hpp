// The shared rig of the driver tests.
//
// UnitRig: the hosted USB bus with the emulated unit plugged in, a registry and
// a drivers folder (with our microcode images) in a temporary state folder,
// and a zero-filled DeviceContext bound to the unit's device object, for
// module-level tests that call driver operations directly.
//
// DriverRig: the whole stack, as an application sees it: the class driver with
// our minidriver loaded and its adapter added over the emulated unit.
//
// Both run the platform clock virtual by default, and the unit in fast pacing.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "driver/mpegunit.h"
#include "emulator/unit.hpp"
#include "tools/host/session.hpp"
#include "tools/host/temp_dir.hpp"

namespace rig {

// A fresh temporary folder of the test's own, removed with its contents.
class TempDir : public mpegunit::TempDir {
 public:
  TempDir() : mpegunit::TempDir("mpegunit-test") {}
};

// Unit options for tests: fast pacing, everything else as the real unit.
emu::UnitOptions testUnit();

// Control transfers that carry vendor requests, in order.
std::vector<emu::ControlRecord> vendorRequests(const emu::Unit& unit);
// Their command codes (the low byte of wIndex), in order.
std::vector<unsigned> vendorCodes(const emu::Unit& unit);

class UnitRig {
 public:
  explicit UnitRig(emu::UnitOptions unit = testUnit(), pf::usb::BusOptions bus = {},
                   bool virtualClock = true);
  // Frees what the driver left in the DeviceContext (configuration
  // descriptor, interface information, bulk IRP and URBs), unplugs the unit
  // and checks that no pool of the driver's tag is left.
  ~UnitRig();
  UnitRig(const UnitRig&) = delete;
  UnitRig& operator=(const UnitRig&) = delete;

  emu::Unit& unit() const { return *unit_; }
  pf::usb::Bus& bus() const { return *bus_; }
  PDEVICE_OBJECT pdo() const;
  DeviceContext* device() const { return device_.get(); }
  const std::filesystem::path& stateDir() const { return state_.path(); }
  // The driver key path of the unit in the registry store.
  std::string driverKey() const;

  // What the adapter bring-up would do before the codec is touched: USB
  // configuration, then the shared bulk IRP and URBs. Returns the status of
  // the configuration.
  NTSTATUS configure();

 private:
  TempDir state_;
  std::shared_ptr<emu::Unit> unit_;
  std::unique_ptr<pf::usb::Bus> bus_;
  int port_ = 0;
  std::unique_ptr<DeviceContext> device_;
};

class DriverRig {
 public:
  explicit DriverRig(emu::UnitOptions unit = testUnit(), pf::usb::BusOptions bus = {},
                     bool virtualClock = true);
  ~DriverRig();
  DriverRig(const DriverRig&) = delete;
  DriverRig& operator=(const DriverRig&) = delete;

  // False when the adapter could not be added (why() says why).
  bool ok() const { return session_ != nullptr; }
  const std::string& why() const { return why_; }
  mpegunit::Session& session() const { return *session_; }
  pf::ks::Filter& filter() const { return session_->filter(); }
  pf::ks::Adapter& adapter() const { return session_->adapter(); }
  emu::Unit& unit() const { return session_->unit(); }
  pf::usb::Bus& bus() const { return session_->bus(); }
  DeviceContext* device() const { return session_->device(); }
  const std::filesystem::path& stateDir() const { return state_.path(); }
  std::string driverKey() const;

 private:
  TempDir state_;
  std::string why_;
  std::unique_ptr<mpegunit::Session> session_;
};

}  // namespace rig
