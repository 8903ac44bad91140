#include "reliability/reliability.hpp"

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "emulator/fault_script.hpp"
#include "emulator/prepared_stream.hpp"
#include "pf/host/clock.hpp"
#include "pf/host/pool.hpp"
#include "pf/host/registry.hpp"

namespace rel {

unsigned soakSeconds() {
  const char* text = std::getenv("MPEGUNIT_SOAK_SECONDS");
  if (!text || !*text) return 0;
  const unsigned long value = std::strtoul(text, nullptr, 10);
  return static_cast<unsigned>(std::min<unsigned long>(value, 3600));
}

std::uint32_t seed() {
  const char* text = std::getenv("MPEGUNIT_SEED");
  if (!text || !*text) return 20240611u;
  return static_cast<std::uint32_t>(std::strtoul(text, nullptr, 10));
}

Watchdog::Watchdog(std::string what, std::chrono::milliseconds limit)
    : what_(std::move(what)), limit_(limit), deadline_(Clock::now() + limit) {
  thread_ = std::thread([this] { run(); });
}

Watchdog::~Watchdog() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void Watchdog::phase(std::string text) {
  std::lock_guard<std::mutex> lock(mutex_);
  phase_ = std::move(text);
}

void Watchdog::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (wake_.wait_until(lock, deadline_, [this] { return done_; })) return;
  // The hung thread holds driver state that cannot be unwound: report and end.
  std::cerr << "watchdog: " << what_ << " did not finish within " << limit_.count()
            << " ms (last phase: " << phase_ << ")" << std::endl;
  std::fflush(nullptr);
  std::_Exit(3);
}

emu::UnitOptions unitWith(const std::string& faults, emu::UnitOptions base) {
  if (faults.empty()) return base;
  std::string why;
  auto script = emu::parseFaultScript(faults, &why);
  EXPECT_TRUE(script) << faults << ": " << why;
  if (script) base.faults = *script;
  return base;
}

emu::UnitOptions preparedUnit(const std::string& faults) {
  emu::UnitOptions unit = unitWith(faults);
  emu::PreparedStreamOptions prepared;
  prepared.bytes = front::pattern(188 * 64, 0x47);
  prepared.byteRate = 0;
  unit.prepared = std::make_shared<emu::PreparedStream>(prepared);
  return unit;
}

Stack::Stack(emu::UnitOptions unit, Wrap wrap) {
  if (!mpegunit::prepareState(state_.path(), &why_)) return;
  pf::clock::useVirtual();
  unit_ = std::make_shared<emu::Unit>(std::move(unit));
  bus_ = std::make_unique<pf::usb::Bus>();
  port_ = mpegunit::plugUnit(*bus_, wrap ? wrap(unit_) : unit_);
  addStatus_ = mpegunit::loadDriver(driver_, &why_);
  if (!NT_SUCCESS(addStatus_)) return;
  pf::ks::AdapterOptions options;
  options.timeoutTicker = false;
  options.checkLeaks = false;
  options.waitLimit = std::chrono::milliseconds(20'000);
  addStatus_ = mpegunit::startAdapter(*driver_, bus_->deviceObject(port_), options, adapter_, &why_);
  if (!NT_SUCCESS(addStatus_)) return;
  filter_ = std::make_unique<pf::ks::Filter>(*adapter_);
}

Stack::~Stack() { finish("the stack"); }

ULONG Stack::flags() const { return __atomic_load_n(&device()->Flags, __ATOMIC_SEQ_CST); }

void Stack::finish(const std::string& context) {
  if (finished_) return;
  finished_ = true;
  filter_.reset();
  if (adapter_ && !adapter_->removed()) {
    const NTSTATUS status = adapter_->remove();
    EXPECT_EQ(status, STATUS_SUCCESS) << context << ": the adapter removal";
  }
  adapter_.reset();
  driver_.reset();
  if (bus_) mpegunit::releaseDevice(bus_->deviceObject(port_));
  bus_.reset();
  unit_.reset();
  mpegunit::closeState();
  pf::registry::reset();
  pf::clock::useReal();
  EXPECT_EQ(driverPoolBlocks(), 0u)
      << context << ": pool left after removal\n" << pf::pool::leakReport(MPEGUNIT_POOL_TAG);
}

std::size_t driverPoolBlocks() { return pf::pool::outstanding(MPEGUNIT_POOL_TAG).total().blocks; }

std::unique_ptr<pf::ks::Pin> openPin(pf::ks::Filter& filter, ULONG id) {
  std::unique_ptr<pf::ks::Pin> pin;
  const NTSTATUS status = front::createPin(filter, id, front::defaultFormat(id), pin);
  EXPECT_EQ(status, STATUS_SUCCESS) << "pin " << id;
  return NT_SUCCESS(status) ? std::move(pin) : nullptr;
}

pf::ks::RequestPtr submitBuffer(pf::ks::Pin& pin, bool write, std::size_t size, std::uint8_t seed) {
  if (write) return pin.write(front::pattern(size, seed));
  std::vector<pf::ks::StreamBuffer> buffers(1);
  buffers[0].data.resize(size);
  return pin.submit(SRB_READ_DATA, std::move(buffers));
}

bool waitAll(const std::vector<pf::ks::RequestPtr>& requests, const std::string& context) {
  for (std::size_t i = 0; i < requests.size(); ++i) {
    if (!requests[i] || !requests[i]->wait(kWait)) {
      ADD_FAILURE() << context << ": request " << i << " was not completed";
      return false;
    }
  }
  return true;
}

unsigned pipeResets(const pf::usb::Bus& bus) {
  unsigned n = 0;
  for (const auto& e : bus.traffic()) n += e.kind == pf::usb::TrafficEvent::Kind::ResetPipe;
  return n;
}

}  // namespace rel
