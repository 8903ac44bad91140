#include "support/rig.hpp"

#include <gtest/gtest.h>

#include "pf/host/clock.hpp"
#include "pf/host/files.hpp"
#include "pf/host/pool.hpp"
#include "pf/host/registry.hpp"
#include "tools/host/bare_device.hpp"

namespace rig {

namespace {

// Virtual time for the driver's delays. A timed wait (the stop's bounded wait
// for the worker) first waits this long in real time, so that a transfer the
// emulated unit serves slowly but surely is not taken for a stuck one.
constexpr auto kVirtualWaitGrace = std::chrono::seconds(2);
const std::chrono::milliseconds kDefaultGrace = pf::clock::grace();

void useClock(bool virtualClock) {
  if (virtualClock) {
    pf::clock::useVirtual();
    pf::clock::setGrace(kVirtualWaitGrace);
  } else {
    pf::clock::useReal();
  }
}

void restoreClock() {
  pf::clock::useReal();
  pf::clock::setGrace(kDefaultGrace);
}

}  // namespace

emu::UnitOptions testUnit() {
  emu::UnitOptions options;
  options.pacing = emu::Pacing::Fast;
  return options;
}

std::vector<emu::ControlRecord> vendorRequests(const emu::Unit& unit) {
  std::vector<emu::ControlRecord> out;
  for (const auto& record : unit.controlLog()) {
    if ((record.setup.bmRequestType & 0x60) == 0x40) out.push_back(record);
  }
  return out;
}

std::vector<unsigned> vendorCodes(const emu::Unit& unit) {
  std::vector<unsigned> out;
  for (const auto& record : vendorRequests(unit)) out.push_back(record.setup.wIndex & 0xFF);
  return out;
}

UnitRig::UnitRig(emu::UnitOptions unit, pf::usb::BusOptions bus, bool virtualClock) {
  std::string why;
  if (!mpegunit::prepareState(state_.path(), &why)) ADD_FAILURE() << why;
  useClock(virtualClock);
  unit_ = std::make_shared<emu::Unit>(unit);
  bus_ = std::make_unique<pf::usb::Bus>(bus);
  port_ = bus_->plug(unit_);
  pf::registry::bindDriverKey(pdo(), driverKey());
  device_.reset(new DeviceContext());
  device_->RealPhysicalDeviceObject = pdo();
}

UnitRig::~UnitRig() {
  mpegunit::releaseBareDevice(device_.get());
  pf::registry::unbindDriverKey(pdo());
  bus_.reset();
  unit_.reset();
  pf::files::clearDriversFolder();
  pf::registry::close();
  pf::registry::reset();
  restoreClock();
  pf::pool::checkNoLeaks("the unit rig", MPEGUNIT_POOL_TAG);
}

PDEVICE_OBJECT UnitRig::pdo() const { return bus_->deviceObject(port_); }

std::string UnitRig::driverKey() const { return pf::registry::driverKeyPath(0); }

NTSTATUS UnitRig::configure() { return mpegunit::configureBareDevice(device_.get()); }

DriverRig::DriverRig(emu::UnitOptions unit, pf::usb::BusOptions bus, bool virtualClock) {
  mpegunit::SessionOptions options;
  options.stateDir = state_.path();
  options.unit = unit;
  options.bus = bus;
  options.virtualClock = virtualClock;
  options.adapter.timeoutTicker = false;
  options.adapter.waitLimit = std::chrono::milliseconds(30'000);
  session_ = mpegunit::Session::open(options, &why_);  // sets the clock itself
  if (virtualClock) pf::clock::setGrace(kVirtualWaitGrace);
}

DriverRig::~DriverRig() {
  session_.reset();
  pf::registry::reset();
  restoreClock();
}

std::string DriverRig::driverKey() const { return pf::registry::driverKeyPath(0); }

}  // namespace rig
