// Shared internals of the hosted executive: per-thread state, the dispatcher
// lock, the handle table and the IRQL checks used by every group of the API.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "pf/io.h"

// The platform's thread object; opaque to the driver.
struct _KTHREAD {
  std::atomic<KPRIORITY> priority{8};
};

namespace pf::detail {

struct ThreadState {
  KIRQL irql = PASSIVE_LEVEL;
  PKSPIN_LOCK heldLock = nullptr;  // the one spin lock this thread holds
  _KTHREAD* thread = nullptr;      // made on first use, never freed
};
ThreadState& threadState();

// The dispatcher lock guards every event's and semaphore's state and the
// list of waiting threads. A waiting thread sleeps on a condition of its own,
// woken when its object is signalled (dispatcherWakeObjectLocked) or when
// virtual time moves or the clock changes mode (dispatcherWakeAllLocked), so
// that signalling one object wakes only the threads that wait for it.
// Both take the dispatcher lock held.
std::mutex& dispatcherMutex();
void dispatcherWakeObjectLocked(const DISPATCHER_HEADER* header);
void dispatcherWakeAllLocked();

// Bugchecks when the calling thread runs above maxIrql; api names the call.
void requireIrqlAtMost(KIRQL maxIrql, const char* api);
// Bugchecks when the calling thread holds a spin lock (before blocking).
void requireNoSpinLock(const char* api);

// The handle table.
struct HandleObject {
  virtual ~HandleObject() = default;
  virtual const char* kind() const = 0;
  virtual std::string describe() const = 0;
};
HANDLE insertHandle(std::shared_ptr<HandleObject> object);
std::shared_ptr<HandleObject> lookupHandle(HANDLE handle);
template <class T>
std::shared_ptr<T> lookupHandleAs(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(lookupHandle(handle));
}
// Removes the handle; false when it was not open.
bool removeHandle(HANDLE handle);

// Case-insensitive comparison of ASCII-and-beyond text (UTF-8 bytes compared
// after ASCII folding) and the UTF-8 / WCHAR conversions the platform needs.
bool equalsNoCase(const std::string& a, const std::string& b);
std::string lowerAscii(std::string text);
std::string toUtf8(const std::wstring& text);
std::wstring fromUtf8(const std::string& text);
// A counted string as UTF-8 (Length bytes, no terminator needed).
std::string toUtf8(PCUNICODE_STRING text);

}  // namespace pf::detail

namespace pf::detail {

// The clock as the executive reads it (see pf/host/clock.hpp).
bool clockIsVirtual();
std::int64_t clockVirtualNow();
// Moves virtual time to at least deadline; the caller holds the dispatcher
// lock.
void clockAdvanceToLocked(std::int64_t deadline);
// Counter of 100 ns units: virtual time, or real time since process start.
std::int64_t clockCounter();
// System time in 100 ns units since 1601.
std::int64_t clockSystemTime();
std::int64_t clockGraceMs();
void clockRecordDelay(std::int64_t ticks);
void clockRecordTimedOut(std::int64_t ticks);

}  // namespace pf::detail
