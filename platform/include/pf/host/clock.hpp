// The platform clock, read by KeQueryPerformanceCounter (10 MHz) and
// KeQuerySystemTime, and used by KeDelayExecutionThread and timed waits.
//
// Real by default. In virtual mode time moves only when a thread asks to
// wait for it:
//  - KeDelayExecutionThread returns at once and moves virtual time forward
//    to the end of the delay;
//  - a timed KeWaitForSingleObject first waits for its object for a short
//    real-time grace (grace(), 20 ms by default, never longer than the
//    time-out itself would be in real time); if the object is signalled
//    meanwhile the wait succeeds and virtual time stays. Otherwise virtual
//    time moves forward to the deadline and the wait answers STATUS_TIMEOUT.
//    A wait also ends with STATUS_TIMEOUT as soon as another thread has moved
//    virtual time past its deadline.
//  - waits without a time-out are unaffected.
#pragma once

#include <chrono>
#include <cstdint>

namespace pf::clock {

// Units of 100 ns, as the platform counts time.
using Ticks = std::int64_t;
inline constexpr Ticks kTicksPerSecond = 10'000'000;

// Switches to virtual time starting at 0 (and resets the counters below),
// or back to real time.
void useVirtual();
void useReal();
bool isVirtual();

// Virtual mode: the current virtual time; moves it forward by delta.
Ticks now();
void advance(Ticks delta);

// Sum of every KeDelayExecutionThread interval requested, and their count,
// since the last useVirtual() or resetCounters() (kept in both modes).
Ticks totalDelay();
std::uint64_t delayCount();
// Sum of the time-outs of timed waits that expired, and their count.
Ticks totalTimedOut();
std::uint64_t timedOutCount();
void resetCounters();

// Real-time grace of a timed wait in virtual mode (see above).
void setGrace(std::chrono::milliseconds grace);
std::chrono::milliseconds grace();

// Switches to virtual time for a scope and back to real time at its end.
class VirtualScope {
 public:
  VirtualScope() { useVirtual(); }
  ~VirtualScope() { useReal(); }
  VirtualScope(const VirtualScope&) = delete;
  VirtualScope& operator=(const VirtualScope&) = delete;
};

}  // namespace pf::clock
