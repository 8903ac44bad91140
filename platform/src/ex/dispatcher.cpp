// Dispatcher objects (events, semaphores), waits and delays.
//
// Objects keep their whole state inline (a zero-filled KEVENT is a
// non-signalled notification event), so one dispatcher lock serves them all,
// as the kernel's dispatcher lock does. The threads waiting for an object are
// kept in a table beside it, each with a condition of its own: signalling an
// object wakes its waiters only, never every waiting thread of the process.
#include <chrono>
#include <condition_variable>
#include <map>
#include <thread>

#include "internal.hpp"
#include "pf/host/verifier.hpp"

namespace pf::detail {

std::mutex& dispatcherMutex() {
  static std::mutex mutex;
  return mutex;
}

namespace {

// The threads waiting for each object, by the condition each sleeps on; the
// dispatcher lock is held while the table changes.
using WaiterTable = std::multimap<const DISPATCHER_HEADER*, std::condition_variable*>;

WaiterTable& waiters() {
  static WaiterTable table;
  return table;
}

// A thread's entry in the table for as long as its wait lasts.
class WaitEntry {
 public:
  explicit WaitEntry(const DISPATCHER_HEADER* header)
      : entry_(waiters().emplace(header, &wake_)) {}
  ~WaitEntry() { waiters().erase(entry_); }
  WaitEntry(const WaitEntry&) = delete;
  WaitEntry& operator=(const WaitEntry&) = delete;
  std::condition_variable& wake() { return wake_; }

 private:
  std::condition_variable wake_;
  WaiterTable::iterator entry_;
};

}  // namespace

void dispatcherWakeObjectLocked(const DISPATCHER_HEADER* header) {
  auto range = waiters().equal_range(header);
  for (auto it = range.first; it != range.second; ++it) it->second->notify_one();
}

void dispatcherWakeAllLocked() {
  for (auto& entry : waiters()) entry.second->notify_one();
}

namespace {

// Takes the object when it is signalled (a synchronisation event resets, a
// semaphore counts down); the dispatcher lock is held.
bool tryAcquireLocked(DISPATCHER_HEADER* header) {
  switch (header->Type) {
    case EventNotificationObject:
      return header->SignalState > 0;
    case EventSynchronizationObject:
      if (header->SignalState <= 0) return false;
      header->SignalState = 0;
      return true;
    case SemaphoreObject:
      if (header->SignalState <= 0) return false;
      header->SignalState--;
      return true;
    default:
      bugcheck("wait on dispatcher object %p of unknown type %u", (void*)header, header->Type);
  }
}

// The relative time-out in 100 ns units of a Timeout argument (negative is
// relative, positive an absolute system time).
std::int64_t relativeTicks(const LARGE_INTEGER* timeout) {
  if (timeout->QuadPart <= 0) return -timeout->QuadPart;
  return timeout->QuadPart - clockSystemTime();
}

// Waits with the dispatcher lock held until the object is taken or the
// time-out (ticks > 0) expires.
NTSTATUS timedWaitLocked(std::unique_lock<std::mutex>& lock, DISPATCHER_HEADER* header,
                         std::int64_t ticks) {
  using namespace std::chrono;
  if (clockIsVirtual()) {
    const std::int64_t deadline = clockVirtualNow() + ticks;
    const auto realTimeout = std::min(milliseconds(clockGraceMs()),
                                      duration_cast<milliseconds>(nanoseconds(ticks * 100)));
    const auto realLimit = steady_clock::now() + realTimeout;
    WaitEntry entry(header);
    for (;;) {
      if (tryAcquireLocked(header)) return STATUS_SUCCESS;
      if (!clockIsVirtual() || clockVirtualNow() >= deadline) break;
      if (entry.wake().wait_until(lock, realLimit) == std::cv_status::timeout) {
        if (tryAcquireLocked(header)) return STATUS_SUCCESS;
        if (clockIsVirtual()) clockAdvanceToLocked(deadline);
        break;
      }
    }
    clockRecordTimedOut(ticks);
    return STATUS_TIMEOUT;
  }
  const auto limit = steady_clock::now() + nanoseconds(ticks * 100);
  WaitEntry entry(header);
  for (;;) {
    if (tryAcquireLocked(header)) return STATUS_SUCCESS;
    if (entry.wake().wait_until(lock, limit) == std::cv_status::timeout) {
      if (tryAcquireLocked(header)) return STATUS_SUCCESS;
      clockRecordTimedOut(ticks);
      return STATUS_TIMEOUT;
    }
  }
}

}  // namespace
}  // namespace pf::detail

using pf::bugcheck;
using namespace pf::detail;

extern "C" {

void NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  std::lock_guard<std::mutex> lock(dispatcherMutex());
  Event->Header.Type =
      Type == SynchronizationEvent ? EventSynchronizationObject : EventNotificationObject;
  Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
  Event->Header.Absolute = 0;
  Event->Header.Inserted = 0;
  Event->Header.SignalState = State ? 1 : 0;
  InitializeListHead(&Event->Header.WaitListHead);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN) {
  requireIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
  std::lock_guard<std::mutex> lock(dispatcherMutex());
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 1;
  dispatcherWakeObjectLocked(&Event->Header);
  return previous;
}

void NTAPI KeClearEvent(PRKEVENT Event) {
  std::lock_guard<std::mutex> lock(dispatcherMutex());
  Event->Header.SignalState = 0;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
  requireIrqlAtMost(DISPATCH_LEVEL, "KeResetEvent");
  std::lock_guard<std::mutex> lock(dispatcherMutex());
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
  std::lock_guard<std::mutex> lock(dispatcherMutex());
  return Event->Header.SignalState;
}

void NTAPI KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
  std::lock_guard<std::mutex> lock(dispatcherMutex());
  Semaphore->Header.Type = SemaphoreObject;
  Semaphore->Header.Size = sizeof(KSEMAPHORE) / sizeof(LONG);
  Semaphore->Header.Absolute = 0;
  Semaphore->Header.Inserted = 0;
  Semaphore->Header.SignalState = Count;
  InitializeListHead(&Semaphore->Header.WaitListHead);
  Semaphore->Limit = Limit;
}

// Raises the count by Adjustment; going past the limit raises
// STATUS_SEMAPHORE_LIMIT_EXCEEDED in the kernel, a bugcheck here.
LONG NTAPI KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY, LONG Adjustment, BOOLEAN) {
  requireIrqlAtMost(DISPATCH_LEVEL, "KeReleaseSemaphore");
  std::lock_guard<std::mutex> lock(dispatcherMutex());
  LONG previous = Semaphore->Header.SignalState;
  if (Semaphore->Header.Type != SemaphoreObject)
    bugcheck("KeReleaseSemaphore on object %p that is not a semaphore", (void*)Semaphore);
  if (Adjustment <= 0 ||
      (long long)previous + Adjustment > (long long)Semaphore->Limit)
    bugcheck("KeReleaseSemaphore of %p: count %d + %d exceeds the limit %d "
             "(STATUS_SEMAPHORE_LIMIT_EXCEEDED)",
             (void*)Semaphore, (int)previous, (int)Adjustment, (int)Semaphore->Limit);
  Semaphore->Header.SignalState = previous + Adjustment;
  dispatcherWakeObjectLocked(&Semaphore->Header);
  return previous;
}

LONG NTAPI KeReadStateSemaphore(PRKSEMAPHORE Semaphore) {
  std::lock_guard<std::mutex> lock(dispatcherMutex());
  return Semaphore->Header.SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                                     PLARGE_INTEGER Timeout) {
  const bool poll = Timeout && Timeout->QuadPart == 0;
  if (!poll) {
    requireNoSpinLock("KeWaitForSingleObject");
    if (KeGetCurrentIrql() >= DISPATCH_LEVEL)
      bugcheck("KeWaitForSingleObject with %s time-out at IRQL %u",
               Timeout ? "a non-zero" : "no", KeGetCurrentIrql());
  } else {
    requireIrqlAtMost(DISPATCH_LEVEL, "KeWaitForSingleObject");
  }
  auto* header = static_cast<DISPATCHER_HEADER*>(Object);
  std::unique_lock<std::mutex> lock(dispatcherMutex());
  if (tryAcquireLocked(header)) return STATUS_SUCCESS;
  if (poll) return STATUS_TIMEOUT;
  if (!Timeout) {
    WaitEntry entry(header);
    entry.wake().wait(lock, [&] { return tryAcquireLocked(header); });
    return STATUS_SUCCESS;
  }
  std::int64_t ticks = relativeTicks(Timeout);
  if (ticks <= 0) return STATUS_TIMEOUT;
  return timedWaitLocked(lock, header, ticks);
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval) {
  if (!Interval) bugcheck("KeDelayExecutionThread without an interval");
  if (Interval->QuadPart == 0) {
    requireIrqlAtMost(DISPATCH_LEVEL, "KeDelayExecutionThread");
    std::this_thread::yield();
    return STATUS_SUCCESS;
  }
  requireNoSpinLock("KeDelayExecutionThread");
  if (KeGetCurrentIrql() >= DISPATCH_LEVEL)
    bugcheck("KeDelayExecutionThread with a non-zero interval at IRQL %u", KeGetCurrentIrql());
  std::int64_t ticks = relativeTicks(Interval);
  if (ticks <= 0) return STATUS_SUCCESS;
  clockRecordDelay(ticks);
  if (clockIsVirtual()) {
    std::lock_guard<std::mutex> lock(dispatcherMutex());
    clockAdvanceToLocked(clockVirtualNow() + ticks);
    return STATUS_SUCCESS;
  }
  std::this_thread::sleep_for(std::chrono::nanoseconds(ticks * 100));
  return STATUS_SUCCESS;
}

}  // extern "C"
