#include "support/unit_bench.hpp"

#include <string>

#include "pf/host/clock.hpp"
#include "pf/host/pool.hpp"
#include "pf/host/registry.hpp"
#include "support/state.hpp"
#include "tools/host/bare_device.hpp"
#include "tools/host/session.hpp"

namespace fuzz {

namespace {

// The registry file and drivers folder, prepared once per process.
void prepareOnce() {
  static const bool prepared = [] {
    std::string why;
    if (!mpegunit::prepareState(stateDir(), &why)) fail("unit bench", why.c_str());
    return true;
  }();
  (void)prepared;
}

}  // namespace

emu::UnitOptions fuzzUnit() {
  emu::UnitOptions options;
  options.pacing = emu::Pacing::Fast;
  options.bulkRecordLimit = 1u << 16;
  return options;
}

UnitBench::UnitBench(std::shared_ptr<pf::usb::Backend> backend) {
  prepareOnce();
  pf::clock::useVirtual();
  if (backend) {
    backend_ = std::move(backend);
  } else {
    unit_ = std::make_shared<emu::Unit>(fuzzUnit());
    backend_ = unit_;
  }
  bus_ = std::make_unique<pf::usb::Bus>();
  port_ = bus_->plug(backend_);
  pf::registry::bindDriverKey(bus_->deviceObject(port_), pf::registry::driverKeyPath(0));
  device_.reset(new DeviceContext());
  device_->RealPhysicalDeviceObject = bus_->deviceObject(port_);
}

UnitBench::~UnitBench() {
  mpegunit::releaseBareDevice(device_.get());
  pf::registry::unbindDriverKey(bus_->deviceObject(port_));
  bus_.reset();
  unit_.reset();
  backend_.reset();
  pf::pool::checkNoLeaks("the fuzz unit bench", MPEGUNIT_POOL_TAG);
}

NTSTATUS UnitBench::configure() { return mpegunit::configureBareDevice(device_.get()); }

}  // namespace fuzz
