// IRQL per thread and spin locks.
//
// Each thread carries its own IRQL (PASSIVE_LEVEL at start). A spin lock is
// a real lock on its KSPIN_LOCK word; taking one raises to DISPATCH_LEVEL.
// A thread may hold one spin lock at a time: the driver never nests them,
// and a second one is reported as the deadlock risk it is.
#include <sched.h>

#include "internal.hpp"
#include "pf/host/verifier.hpp"

namespace pf::detail {

ThreadState& threadState() {
  thread_local ThreadState state;
  return state;
}

void requireIrqlAtMost(KIRQL maxIrql, const char* api) {
  KIRQL irql = threadState().irql;
  if (irql > maxIrql) bugcheck("%s called at IRQL %u (at most %u allowed)", api, irql, maxIrql);
}

void requireNoSpinLock(const char* api) {
  if (threadState().heldLock)
    bugcheck("%s would block while spin lock %p is held", api, (void*)threadState().heldLock);
}

}  // namespace pf::detail

using pf::bugcheck;
using pf::detail::threadState;

extern "C" {

KIRQL NTAPI KeGetCurrentIrql(void) { return threadState().irql; }

KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql) {
  auto& state = threadState();
  if (NewIrql < state.irql)
    bugcheck("KfRaiseIrql to %u below the current IRQL %u", NewIrql, state.irql);
  KIRQL old = state.irql;
  state.irql = NewIrql;
  return old;
}

void FASTCALL KfLowerIrql(KIRQL NewIrql) {
  auto& state = threadState();
  if (NewIrql > state.irql)
    bugcheck("KfLowerIrql to %u above the current IRQL %u", NewIrql, state.irql);
  if (state.heldLock && NewIrql < DISPATCH_LEVEL)
    bugcheck("KfLowerIrql to %u while spin lock %p is held", NewIrql, (void*)state.heldLock);
  state.irql = NewIrql;
}

void NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
  __atomic_store_n(SpinLock, (KSPIN_LOCK)0, __ATOMIC_RELEASE);
}

KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
  auto& state = threadState();
  if (state.irql > DISPATCH_LEVEL)
    bugcheck("KfAcquireSpinLock at IRQL %u (above DISPATCH_LEVEL)", state.irql);
  if (state.heldLock == SpinLock) bugcheck("spin lock %p acquired recursively", (void*)SpinLock);
  if (state.heldLock)
    bugcheck("spin lock %p acquired while spin lock %p is held", (void*)SpinLock,
             (void*)state.heldLock);
  KIRQL old = state.irql;
  state.irql = DISPATCH_LEVEL;
  // The owner word is the address of the thread state: never 0.
  KSPIN_LOCK owner = (KSPIN_LOCK)&state;
  for (;;) {
    KSPIN_LOCK expected = 0;
    if (__atomic_compare_exchange_n(SpinLock, &expected, owner, false, __ATOMIC_ACQUIRE,
                                    __ATOMIC_RELAXED))
      break;
    sched_yield();
  }
  state.heldLock = SpinLock;
  return old;
}

void FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  auto& state = threadState();
  if (state.heldLock != SpinLock)
    bugcheck("KfReleaseSpinLock of spin lock %p that this thread does not hold", (void*)SpinLock);
  if (NewIrql > state.irql)
    bugcheck("KfReleaseSpinLock restores IRQL %u above the current IRQL %u", NewIrql, state.irql);
  state.heldLock = nullptr;
  __atomic_store_n(SpinLock, (KSPIN_LOCK)0, __ATOMIC_RELEASE);
  state.irql = NewIrql;
}

}  // extern "C"
