// The platform clock: real time, or a virtual time that moves only when a
// delay or an expiring timed wait asks it to.
#include "pf/host/clock.hpp"

#include <atomic>
#include <chrono>

#include "internal.hpp"

namespace pf::detail {
namespace {

std::atomic<bool> gVirtual{false};
std::atomic<std::int64_t> gVirtualNow{0};
std::atomic<std::int64_t> gGraceMs{20};
std::atomic<std::int64_t> gTotalDelay{0};
std::atomic<std::uint64_t> gDelayCount{0};
std::atomic<std::int64_t> gTotalTimedOut{0};
std::atomic<std::uint64_t> gTimedOutCount{0};
const auto gStart = std::chrono::steady_clock::now();

// 1601-01-01 to 1970-01-01 in 100 ns units.
constexpr std::int64_t kUnixEpochTicks = 116444736000000000LL;
// Virtual time 0 is 2024-01-01 00:00:00 UTC.
constexpr std::int64_t kVirtualBaseTicks = kUnixEpochTicks + 1704067200LL * 10'000'000LL;

}  // namespace

bool clockIsVirtual() { return gVirtual.load(); }
std::int64_t clockVirtualNow() { return gVirtualNow.load(); }

void clockAdvanceToLocked(std::int64_t deadline) {
  std::int64_t now = gVirtualNow.load();
  while (now < deadline && !gVirtualNow.compare_exchange_weak(now, deadline)) {
  }
  dispatcherWakeAllLocked();
}

std::int64_t clockCounter() {
  if (gVirtual.load()) return gVirtualNow.load();
  auto elapsed = std::chrono::steady_clock::now() - gStart;
  return std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100;
}

std::int64_t clockSystemTime() {
  if (gVirtual.load()) return kVirtualBaseTicks + gVirtualNow.load();
  auto sinceUnix = std::chrono::system_clock::now().time_since_epoch();
  return kUnixEpochTicks + std::chrono::duration_cast<std::chrono::nanoseconds>(sinceUnix).count() / 100;
}

std::int64_t clockGraceMs() { return gGraceMs.load(); }

void clockRecordDelay(std::int64_t ticks) {
  gTotalDelay += ticks;
  ++gDelayCount;
}

void clockRecordTimedOut(std::int64_t ticks) {
  gTotalTimedOut += ticks;
  ++gTimedOutCount;
}

}  // namespace pf::detail

namespace pf::clock {

void useVirtual() {
  std::lock_guard<std::mutex> lock(detail::dispatcherMutex());
  detail::gVirtualNow = 0;
  resetCounters();
  detail::gVirtual = true;
  detail::dispatcherWakeAllLocked();
}

void useReal() {
  std::lock_guard<std::mutex> lock(detail::dispatcherMutex());
  detail::gVirtual = false;
  detail::dispatcherWakeAllLocked();
}

bool isVirtual() { return detail::gVirtual.load(); }
Ticks now() { return detail::clockCounter(); }

void advance(Ticks delta) {
  if (delta <= 0) return;
  std::lock_guard<std::mutex> lock(detail::dispatcherMutex());
  detail::clockAdvanceToLocked(detail::gVirtualNow.load() + delta);
}

Ticks totalDelay() { return detail::gTotalDelay.load(); }
std::uint64_t delayCount() { return detail::gDelayCount.load(); }
Ticks totalTimedOut() { return detail::gTotalTimedOut.load(); }
std::uint64_t timedOutCount() { return detail::gTimedOutCount.load(); }

void resetCounters() {
  detail::gTotalDelay = 0;
  detail::gDelayCount = 0;
  detail::gTotalTimedOut = 0;
  detail::gTimedOutCount = 0;
}

void setGrace(std::chrono::milliseconds grace) { detail::gGraceMs = grace.count(); }
std::chrono::milliseconds grace() { return std::chrono::milliseconds(detail::gGraceMs.load()); }

}  // namespace pf::clock

extern "C" {

LARGE_INTEGER NTAPI KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
  if (PerformanceFrequency) PerformanceFrequency->QuadPart = pf::clock::kTicksPerSecond;
  LARGE_INTEGER counter;
  counter.QuadPart = pf::detail::clockCounter();
  return counter;
}

void NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  CurrentTime->QuadPart = pf::detail::clockSystemTime();
}

}  // extern "C"
