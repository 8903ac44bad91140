// Request packets: allocation, initialisation, sending and completion.
//
// The I/O manager keeps a side record of each packet it allocated,
// initialised or built: whether it belongs to the I/O manager (built by
// IoBuildDeviceIoControlRequest: completed into the caller's status block and
// event, then freed) and whether its completion has run past the top, so that
// a second completion is caught before it touches a finished packet.
#include <unordered_map>
#include <unordered_set>

#include "../ex/internal.hpp"
#include "pf/host/pool.hpp"
#include "pf/host/verifier.hpp"

namespace pf::io {
namespace {

struct IrpRecord {
  bool builtByIoManager = false;
  bool completed = false;
  // Buffered device control: the system buffer and where its output goes.
  PVOID systemBuffer = nullptr;
  PVOID outputBuffer = nullptr;
  ULONG outputLength = 0;
};

std::mutex gMutex;
std::unordered_map<PIRP, IrpRecord> gIrps;
std::unordered_set<PIRP> gFreedIrps;
constexpr std::size_t kFreedMemory = 1u << 16;

const ULONG kIrpTag = pf::pool::makeTag("Irp ");

void forgetLocked(PIRP irp) {
  gIrps.erase(irp);
  if (gFreedIrps.size() >= kFreedMemory) gFreedIrps.clear();
  gFreedIrps.insert(irp);
}

void checkIsIrp(PIRP irp, const char* api) {
  if (!irp) bugcheck("%s without a request packet", api);
  {
    std::lock_guard<std::mutex> lock(gMutex);
    if (!gIrps.count(irp) && gFreedIrps.count(irp))
      bugcheck("%s on request packet %p after it was freed", api, (void*)irp);
  }
  if (irp->Type != IO_TYPE_IRP)
    bugcheck("%s on %p, which is not a request packet (type %d)", api, (void*)irp, irp->Type);
}

}  // namespace
}  // namespace pf::io

using namespace pf::io;
using pf::bugcheck;
using pf::detail::requireIrqlAtMost;

extern "C" {

USHORT NTAPI IoSizeOfIrp(CCHAR StackSize) {
  return (USHORT)(sizeof(IRP) + (unsigned)(UCHAR)StackSize * sizeof(IO_STACK_LOCATION));
}

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN) {
  requireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateIrp");
  if (StackSize < 1) bugcheck("IoAllocateIrp with stack size %d", (int)StackSize);
  USHORT size = IoSizeOfIrp(StackSize);
  auto irp = static_cast<PIRP>(ExAllocatePoolWithTag(NonPagedPool, size, kIrpTag));
  if (!irp) return nullptr;
  IoInitializeIrp(irp, size, StackSize);
  return irp;
}

// Zeroes the packet and points it past its last stack location, as the
// kernel does: CurrentLocation = StackSize + 1.
void NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
  if (!Irp) bugcheck("IoInitializeIrp without a request packet");
  if (StackSize < 1 || PacketSize < IoSizeOfIrp(StackSize))
    bugcheck("IoInitializeIrp of %p: %u bytes cannot hold %d stack locations", (void*)Irp,
             PacketSize, (int)StackSize);
  RtlZeroMemory(Irp, PacketSize);
  Irp->Type = IO_TYPE_IRP;
  Irp->Size = PacketSize;
  Irp->StackCount = StackSize;
  Irp->CurrentLocation = (CHAR)(StackSize + 1);
  InitializeListHead(&Irp->ThreadListEntry);
  Irp->Tail.Overlay.CurrentStackLocation =
      reinterpret_cast<PIO_STACK_LOCATION>(reinterpret_cast<PUCHAR>(Irp) + sizeof(IRP)) +
      StackSize;
  std::lock_guard<std::mutex> lock(gMutex);
  gFreedIrps.erase(Irp);
  IrpRecord& record = gIrps[Irp];
  record.completed = false;
}

void NTAPI IoFreeIrp(PIRP Irp) {
  requireIrqlAtMost(DISPATCH_LEVEL, "IoFreeIrp");
  checkIsIrp(Irp, "IoFreeIrp");
  {
    std::lock_guard<std::mutex> lock(gMutex);
    forgetLocked(Irp);
  }
  Irp->Type = 0;
  ExFreePool(Irp);
}

void NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
  checkIsIrp(Irp, "IoReuseIrp");
  UCHAR allocationFlags = Irp->AllocationFlags;
  IoInitializeIrp(Irp, Irp->Size, Irp->StackCount);
  Irp->IoStatus.Status = Iostatus;
  Irp->AllocationFlags = allocationFlags;
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  requireIrqlAtMost(DISPATCH_LEVEL, "IofCallDriver");
  checkIsIrp(Irp, "IofCallDriver");
  if (!DeviceObject || !DeviceObject->DriverObject)
    bugcheck("IofCallDriver of packet %p to device object %p without a driver", (void*)Irp,
             (void*)DeviceObject);
  Irp->CurrentLocation--;
  if (Irp->CurrentLocation <= 0)
    bugcheck("IofCallDriver of packet %p: no more stack locations", (void*)Irp);
  PIO_STACK_LOCATION stack = --Irp->Tail.Overlay.CurrentStackLocation;
  stack->DeviceObject = DeviceObject;
  {
    std::lock_guard<std::mutex> lock(gMutex);
    auto it = gIrps.find(Irp);
    if (it != gIrps.end()) it->second.completed = false;
  }
  if (stack->MajorFunction > IRP_MJ_MAXIMUM_FUNCTION)
    bugcheck("IofCallDriver of packet %p with major function 0x%x", (void*)Irp,
             stack->MajorFunction);
  PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
  if (!dispatch) {
    // What the I/O manager installs for a function a driver does not handle.
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  return dispatch(DeviceObject, Irp);
}

// Runs the completion routines from the current stack location upward. Each
// routine sees the device object of the location above it (none past the
// top) and the PendingReturned mark of its own location; a location without
// a routine passes its pending mark up. STATUS_MORE_PROCESSING_REQUIRED
// stops here and leaves the packet to the routine's owner.
void FASTCALL IofCompleteRequest(PIRP Irp, CCHAR) {
  requireIrqlAtMost(DISPATCH_LEVEL, "IofCompleteRequest");
  checkIsIrp(Irp, "IofCompleteRequest");
  if (Irp->CurrentLocation > (CCHAR)(Irp->StackCount + 1))
    bugcheck("request packet %p completed twice (location %d of %d)", (void*)Irp,
             Irp->CurrentLocation, Irp->StackCount);
  {
    std::lock_guard<std::mutex> lock(gMutex);
    auto it = gIrps.find(Irp);
    if (it != gIrps.end() && it->second.completed)
      bugcheck("request packet %p completed twice", (void*)Irp);
  }
  if (Irp->IoStatus.Status == STATUS_PENDING)
    bugcheck("request packet %p completed with STATUS_PENDING", (void*)Irp);

  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  Irp->PendingReturned = Irp->CurrentLocation <= Irp->StackCount &&
                         (stack->Control & SL_PENDING_RETURNED) != 0;
  while (Irp->CurrentLocation <= Irp->StackCount) {
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
    const NTSTATUS status = Irp->IoStatus.Status;
    const UCHAR control = stack->Control;
    const bool invoke = stack->CompletionRoutine &&
                        ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                         (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                         (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
    PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
    PVOID context = stack->Context;
    stack->CompletionRoutine = nullptr;
    stack->Context = nullptr;
    stack->Control = 0;
    if (invoke) {
      PDEVICE_OBJECT device = Irp->CurrentLocation == Irp->StackCount + 1
                                  ? nullptr
                                  : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
      if (routine(device, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED) return;
    } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
      IoMarkIrpPending(Irp);
    }
    ++stack;
    Irp->PendingReturned = (Irp->CurrentLocation <= Irp->StackCount) &&
                           (stack->Control & SL_PENDING_RETURNED) != 0;
  }

  IrpRecord record;
  {
    std::lock_guard<std::mutex> lock(gMutex);
    auto it = gIrps.find(Irp);
    if (it != gIrps.end()) {
      it->second.completed = true;
      record = it->second;
    }
  }
  if (!record.builtByIoManager) return;

  // A packet of the I/O manager: hand the result to its sender and free it.
  if (record.systemBuffer) {
    if (record.outputBuffer && NT_SUCCESS(Irp->IoStatus.Status)) {
      ULONG_PTR n = Irp->IoStatus.Information;
      if (n > record.outputLength) n = record.outputLength;
      RtlCopyMemory(record.outputBuffer, record.systemBuffer, n);
    }
    ExFreePool(record.systemBuffer);
  }
  if (Irp->UserIosb) *Irp->UserIosb = Irp->IoStatus;
  PKEVENT event = Irp->UserEvent;
  {
    std::lock_guard<std::mutex> lock(gMutex);
    forgetLocked(Irp);
  }
  Irp->Type = 0;
  ExFreePool(Irp);
  if (event) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

// Builds a device-control packet that the I/O manager owns. Buffered codes
// (method 0) get a system buffer holding the input, copied to the output
// buffer at completion; for the other methods the input is the stack
// location's Type3InputBuffer and the output the packet's UserBuffer.
PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                         PVOID InputBuffer, ULONG InputBufferLength,
                                         PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock) {
  requireIrqlAtMost(APC_LEVEL, "IoBuildDeviceIoControlRequest");
  if (!DeviceObject) bugcheck("IoBuildDeviceIoControlRequest without a device object");
  PIRP irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
  if (!irp) return nullptr;
  IrpRecord record;
  record.builtByIoManager = true;
  const ULONG method = IoControlCode & 3;
  if (method == 0) {
    ULONG size = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
    if (size) {
      record.systemBuffer = ExAllocatePoolWithTag(NonPagedPool, size, kIrpTag);
      if (!record.systemBuffer) {
        IoFreeIrp(irp);
        return nullptr;
      }
      if (InputBuffer && InputBufferLength)
        RtlCopyMemory(record.systemBuffer, InputBuffer, InputBufferLength);
      record.outputBuffer = OutputBuffer;
      record.outputLength = OutputBufferLength;
    }
    irp->AssociatedIrp.SystemBuffer = record.systemBuffer;
  } else {
    irp->UserBuffer = OutputBuffer;
  }
  irp->RequestorMode = KernelMode;
  irp->UserIosb = IoStatusBlock;
  irp->UserEvent = Event;
  irp->Tail.Overlay.Thread = reinterpret_cast<PETHREAD>(KeGetCurrentThread());

  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction =
      InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
  next->Parameters.DeviceIoControl.Type3InputBuffer = method == 0 ? nullptr : InputBuffer;

  std::lock_guard<std::mutex> lock(gMutex);
  gIrps[irp] = record;
  return irp;
}

}  // extern "C"
