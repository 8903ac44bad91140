// The cancel spin lock and IoCancelIrp.
#include "../ex/internal.hpp"
#include "pf/host/verifier.hpp"

namespace {
KSPIN_LOCK gCancelLock = 0;
}

extern "C" {

void NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) { *Irql = KfAcquireSpinLock(&gCancelLock); }

void NTAPI IoReleaseCancelSpinLock(KIRQL Irql) { KfReleaseSpinLock(&gCancelLock, Irql); }

// Marks the packet cancelled and, when it has a cancel routine, calls it
// with the cancel spin lock held (the routine releases it with
// Irp->CancelIrql), as the kernel does. TRUE when a routine was called.
BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
  if (!Irp || Irp->Type != IO_TYPE_IRP) pf::bugcheck("IoCancelIrp on %p, not a request packet", (void*)Irp);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  Irp->Cancel = TRUE;
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (!routine) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  if (Irp->CurrentLocation > Irp->StackCount + 1)
    pf::bugcheck("IoCancelIrp of packet %p after its completion", (void*)Irp);
  Irp->CancelIrql = irql;
  PDEVICE_OBJECT device = Irp->CurrentLocation <= Irp->StackCount
                              ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject
                              : nullptr;
  routine(device, Irp);
  return TRUE;
}

}  // extern "C"
