// Shared pieces of the reliability tests: the whole stack over a unit (the
// emulated one or a backend of the test's own), a watchdog that turns a hang
// into a failed run with a message, the soak-mode switch, and the checks that
// every run ends with: the adapter removed and none of the driver's pool left.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver/drventry.h"
#include "driver/thread.h"
#include "driver_front/front.hpp"
#include "emulator/unit.hpp"
#include "pf/host/ks_client.hpp"
#include "pf/host/usb_bus.hpp"
#include "support/rig.hpp"
#include "tools/host/session.hpp"

namespace rel {

using Clock = std::chrono::steady_clock;
inline constexpr std::chrono::milliseconds kWait{10'000};
inline constexpr std::uint8_t kBulkIn = 0x81, kBulkOut = 0x02;

// Seconds of soak asked for with MPEGUNIT_SOAK_SECONDS (0: the short default
// run). Capped at an hour so that a typo cannot hold CI.
unsigned soakSeconds();
// The seed of randomised runs: MPEGUNIT_SEED when set, else a fixed one, so a
// failing run can be repeated.
std::uint32_t seed();

// Fails the run loudly when it is not disarmed in time: a hang in the driver
// cannot be interrupted from the test thread, so the watchdog prints what hung
// (the last phase noted) and ends the process with a failure.
class Watchdog {
 public:
  Watchdog(std::string what, std::chrono::milliseconds limit);
  ~Watchdog();
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;
  void phase(std::string text);

 private:
  void run();
  std::string what_;
  std::chrono::milliseconds limit_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::string phase_ = "start";
  Clock::time_point deadline_;
  bool done_ = false;
  std::thread thread_;
};

// Unit options with a fault script (fault_script.hpp); fails the test on a
// script that does not parse.
emu::UnitOptions unitWith(const std::string& faults, emu::UnitOptions base = rig::testUnit());

// The emulated unit serving a fixed pattern at once on bulk IN while its
// encoder runs, so that every transfer of a capture read is served whole.
emu::UnitOptions preparedUnit(const std::string& faults = "");

// Wraps the emulated unit in a backend of the test's own (a hostile unit, a
// unit that vanishes in a particular way); identity when empty.
using Wrap = std::function<std::shared_ptr<pf::usb::Backend>(std::shared_ptr<emu::Unit>)>;

// The whole stack in a state folder of its own: the bus, the emulated unit
// (wrapped when asked), the class driver with our driver and its adapter, as
// the session of the command line builds it. The class driver's own leak
// check is off: the stack checks the pool itself in finish(), so that a leak
// names the run that made it.
class Stack {
 public:
  explicit Stack(emu::UnitOptions unit = rig::testUnit(), Wrap wrap = {});
  ~Stack();
  Stack(const Stack&) = delete;
  Stack& operator=(const Stack&) = delete;

  bool ok() const { return filter_ != nullptr; }
  const std::string& why() const { return why_; }
  NTSTATUS addStatus() const { return addStatus_; }
  pf::ks::Filter& filter() const { return *filter_; }
  pf::ks::Adapter& adapter() const { return *adapter_; }
  emu::Unit& unit() const { return *unit_; }
  pf::usb::Bus& bus() const { return *bus_; }
  DeviceContext* device() const { return static_cast<DeviceContext*>(adapter_->deviceExtension()); }
  ULONG flags() const;

  // Removes the adapter (when still present), tears the stack down and
  // checks that none of the driver's pool is left (a failure names
  // context). Runs once; the destructor calls it otherwise.
  void finish(const std::string& context);

 private:
  rig::TempDir state_;
  std::string why_;
  NTSTATUS addStatus_ = STATUS_SUCCESS;
  std::shared_ptr<emu::Unit> unit_;
  std::unique_ptr<pf::usb::Bus> bus_;
  int port_ = 0;
  std::unique_ptr<pf::ks::Minidriver> driver_;
  std::unique_ptr<pf::ks::Adapter> adapter_;
  std::unique_ptr<pf::ks::Filter> filter_;
  bool finished_ = false;
};

// Blocks of the driver's tag still allocated.
std::size_t driverPoolBlocks();

// A pin with the usual format of its stream; null (and a failure) when the
// open fails.
std::unique_ptr<pf::ks::Pin> openPin(pf::ks::Filter& filter, ULONG id);

// One stream buffer of size bytes: a read of that frame extent, or a write
// of a pattern of that many bytes.
pf::ks::RequestPtr submitBuffer(pf::ks::Pin& pin, bool write, std::size_t size, std::uint8_t seed = 1);

// Waits (bounded) for every request; false with a failure naming the first
// one that was not completed.
bool waitAll(const std::vector<pf::ks::RequestPtr>& requests, const std::string& context);

// Pipe resets on the bus since its traffic record was last cleared.
unsigned pipeResets(const pf::usb::Bus& bus);

}  // namespace rel
