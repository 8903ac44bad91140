// Request packets: sending, completion order, pending marks, packets built
// by the I/O manager, cancel.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pf/host/pool.hpp"
#include "platform.h"

namespace {

// A driver stack of up to three devices; each dispatch routine forwards or
// completes as the test says, recording what it saw.
struct Stack {
  DRIVER_OBJECT driver{};
  DEVICE_OBJECT devices[3]{};
  std::vector<std::string> log;
};
Stack* gStack = nullptr;

// Forwards down to the next device with a completion routine, or completes
// at the bottom device (index 2).
int indexOf(PDEVICE_OBJECT device) { return int(device - gStack->devices); }

NTSTATUS NTAPI recordCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  auto* name = static_cast<const char*>(context);
  gStack->log.push_back(std::string("complete ") + name + " dev=" +
                        (device ? std::to_string(indexOf(device)) : "none") +
                        " pending=" + std::to_string(irp->PendingReturned));
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return std::string(name) == "stop" ? STATUS_MORE_PROCESSING_REQUIRED : STATUS_SUCCESS;
}

bool gPendAtBottom = false;
PIRP gParked = nullptr;

NTSTATUS NTAPI dispatch(PDEVICE_OBJECT device, PIRP irp) {
  int i = indexOf(device);
  gStack->log.push_back("dispatch " + std::to_string(i));
  if (i < 2) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, recordCompletion, (PVOID)(i == 0 ? "upper" : "middle"), TRUE,
                           TRUE, TRUE);
    return IoCallDriver(&gStack->devices[i + 1], irp);
  }
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 7;
  if (gPendAtBottom) {
    IoMarkIrpPending(irp);
    gParked = irp;
    return STATUS_PENDING;
  }
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

class IrpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gStack = &stack;
    gPendAtBottom = false;
    gParked = nullptr;
    stack.driver.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = dispatch;
    for (int i = 0; i < 3; ++i) {
      stack.devices[i].DriverObject = &stack.driver;
      stack.devices[i].StackSize = CCHAR(3 - i);
    }
  }
  void TearDown() override {
    pf::pool::reset();
    gStack = nullptr;
  }
  // A packet for the top device with the caller's own completion routine.
  PIRP sendable(const char* topRoutine) {
    PIRP irp = IoAllocateIrp(4, FALSE);  // one more than the stack: the sender's own
    EXPECT_NE(irp, nullptr);
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, recordCompletion, (PVOID)topRoutine, TRUE, TRUE, TRUE);
    return irp;
  }
  Stack stack;
};

TEST_F(IrpTest, InitialisedPacketPointsPastItsLastLocation) {
  PIRP irp = IoAllocateIrp(3, FALSE);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(irp->Type, IO_TYPE_IRP);
  EXPECT_EQ(irp->Size, IoSizeOfIrp(3));
  EXPECT_EQ(irp->StackCount, 3);
  EXPECT_EQ(irp->CurrentLocation, 4);
  auto* first = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
  EXPECT_EQ(IoGetCurrentIrpStackLocation(irp), first + 3);
  EXPECT_EQ(IoGetNextIrpStackLocation(irp), first + 2);
  EXPECT_EQ(pf::pool::outstanding(pf::pool::makeTag("Irp ")).total().blocks, 1u);
  IoFreeIrp(irp);
  EXPECT_EQ(pf::pool::outstanding(pf::pool::makeTag("Irp ")).total().blocks, 0u);
}

TEST_F(IrpTest, CompletionRoutinesRunBottomUpWithTheirOwnDevice) {
  PIRP irp = sendable("top");
  EXPECT_EQ(IoCallDriver(&stack.devices[0], irp), STATUS_SUCCESS);
  std::vector<std::string> expected = {
      "dispatch 0", "dispatch 1", "dispatch 2", "complete middle dev=1 pending=0",
      "complete upper dev=0 pending=0", "complete top dev=none pending=0"};
  EXPECT_EQ(stack.log, expected);
  EXPECT_EQ(irp->IoStatus.Information, 7u);
  IoFreeIrp(irp);
}

TEST_F(IrpTest, MoreProcessingRequiredStopsCompletionAndKeepsThePacket) {
  PIRP irp = IoAllocateIrp(4, FALSE);
  IoSetNextIrpStackLocation(irp);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoSetCompletionRoutine(irp, recordCompletion, (PVOID) "top", TRUE, TRUE, TRUE);
  // The upper device's routine is replaced by one that keeps the packet.
  stack.driver.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [](PDEVICE_OBJECT device,
                                                                  PIRP p) -> NTSTATUS {
    if (indexOf(device) == 0) {
      IoCopyCurrentIrpStackLocationToNext(p);
      IoSetCompletionRoutine(p, recordCompletion, (PVOID) "stop", TRUE, TRUE, TRUE);
      return IoCallDriver(&gStack->devices[1], p);
    }
    return dispatch(device, p);
  };
  IoCallDriver(&stack.devices[0], irp);
  ASSERT_EQ(stack.log.back(), "complete stop dev=0 pending=0");
  // The owner of the stopping routine finishes it later: completion goes on
  // from where it stopped.
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  EXPECT_EQ(stack.log.back(), "complete top dev=none pending=0");
  IoFreeIrp(irp);
}

TEST_F(IrpTest, PendingReturnedPropagatesUpward) {
  gPendAtBottom = true;
  PIRP irp = sendable("top");
  EXPECT_EQ(IoCallDriver(&stack.devices[0], irp), STATUS_PENDING);
  ASSERT_NE(gParked, nullptr);
  IoCompleteRequest(gParked, IO_NO_INCREMENT);
  EXPECT_EQ(stack.log[3], "complete middle dev=1 pending=1");
  EXPECT_EQ(stack.log[4], "complete upper dev=0 pending=1");
  EXPECT_EQ(stack.log[5], "complete top dev=none pending=1");
  IoFreeIrp(irp);
}

TEST_F(IrpTest, RoutinesRunOnlyForTheOutcomeTheyAskFor) {
  struct Case {
    bool onSuccess, onError, onCancel;
    NTSTATUS status;
    bool cancel;
    bool runs;
  } cases[] = {
      {true, false, false, STATUS_SUCCESS, false, true},
      {true, false, false, STATUS_UNSUCCESSFUL, false, false},
      {false, true, false, STATUS_UNSUCCESSFUL, false, true},
      {false, true, false, STATUS_SUCCESS, false, false},
      {false, false, true, STATUS_CANCELLED, true, true},
      {false, false, true, STATUS_SUCCESS, false, false},
  };
  for (const Case& c : cases) {
    stack.log.clear();
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoSetCompletionRoutine(irp, recordCompletion, (PVOID) "only", c.onSuccess, c.onError,
                           c.onCancel);
    IoSetNextIrpStackLocation(irp);  // the lower driver's location is now current
    irp->Cancel = c.cancel;
    irp->IoStatus.Status = c.status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(!stack.log.empty(), c.runs) << "status " << std::hex << c.status;
    IoFreeIrp(irp);
  }
}

TEST_F(IrpTest, BuiltRequestIsCompletedIntoTheCallersBlockAndFreed) {
  stack.driver.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [](PDEVICE_OBJECT,
                                                                  PIRP irp) -> NTSTATUS {
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    gStack->log.push_back("code " + std::to_string(s->Parameters.DeviceIoControl.IoControlCode) +
                          " in " + std::to_string(s->Parameters.DeviceIoControl.InputBufferLength));
    gParked = irp;
    IoMarkIrpPending(irp);
    return STATUS_PENDING;
  };
  const ULONG irpTag = pf::pool::makeTag("Irp ");
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  char input[3] = {1, 2, 3};
  PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(0x22, 0, METHOD_NEITHER, 0),
                                           &stack.devices[2], input, 3, nullptr, 0, TRUE,
                                           &event, &iosb);
  ASSERT_NE(irp, nullptr);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  EXPECT_EQ(next->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
  EXPECT_EQ(next->Parameters.DeviceIoControl.Type3InputBuffer, input);
  EXPECT_EQ(irp->StackCount, 1);
  EXPECT_EQ(IoCallDriver(&stack.devices[2], irp), STATUS_PENDING);
  EXPECT_EQ(stack.log.back(), "code " + std::to_string(0x220003) + " in 3");
  EXPECT_EQ(KeReadStateEvent(&event), 0);
  gParked->IoStatus.Status = STATUS_DEVICE_DATA_ERROR;
  gParked->IoStatus.Information = 5;
  IoCompleteRequest(gParked, IO_NO_INCREMENT);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_EQ(iosb.Status, STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(iosb.Information, 5u);
  EXPECT_EQ(pf::pool::outstanding(irpTag).total().blocks, 0u);
}

TEST_F(IrpTest, BufferedRequestCopiesOutputBack) {
  stack.driver.MajorFunction[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
    auto* buffer = static_cast<char*>(irp->AssociatedIrp.SystemBuffer);
    buffer[0] = char(buffer[0] + 1);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 1;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };
  char in = 41, out = 0;
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(0x22, 1, METHOD_BUFFERED, 0),
                                           &stack.devices[2], &in, 1, &out, 1, FALSE, nullptr,
                                           &iosb);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(IoCallDriver(&stack.devices[2], irp), STATUS_SUCCESS);
  EXPECT_EQ(out, 42);
  EXPECT_EQ(pf::pool::outstanding().total().blocks, 0u);
}

TEST_F(IrpTest, NoPoolMeansNoPacket) {
  pf::pool::failNth(1, {pf::pool::makeTag("Irp "), std::nullopt});
  EXPECT_EQ(IoAllocateIrp(2, FALSE), nullptr);
  IO_STATUS_BLOCK iosb;
  pf::pool::failNth(1);
  EXPECT_EQ(IoBuildDeviceIoControlRequest(0x220003, &stack.devices[0], nullptr, 0, nullptr, 0,
                                          TRUE, nullptr, &iosb),
            nullptr);
}

TEST_F(IrpTest, UnhandledMajorFunctionIsAnInvalidRequest) {
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
  EXPECT_EQ(IoCallDriver(&stack.devices[2], irp), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(irp->IoStatus.Status, STATUS_INVALID_DEVICE_REQUEST);
  IoFreeIrp(irp);
}

TEST_F(IrpTest, ReuseKeepsTheAllocationAndSetsTheStatus) {
  PIRP irp = IoAllocateIrp(2, FALSE);
  IoSetNextIrpStackLocation(irp);
  irp->Cancel = TRUE;
  IoReuseIrp(irp, STATUS_CANCELLED);
  EXPECT_EQ(irp->CurrentLocation, 3);
  EXPECT_FALSE(irp->Cancel);
  EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
  IoFreeIrp(irp);
}

PIRP gCancelled = nullptr;
KIRQL gIrqlInCancel = 0;
void NTAPI cancelRoutine(PDEVICE_OBJECT, PIRP irp) {
  gCancelled = irp;
  gIrqlInCancel = KeGetCurrentIrql();
  IoReleaseCancelSpinLock(irp->CancelIrql);
}

TEST_F(IrpTest, CancelCallsTheRoutineOnceUnderTheCancelLock) {
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoSetNextIrpStackLocation(irp);
  IoSetCancelRoutine(irp, cancelRoutine);
  EXPECT_TRUE(IoCancelIrp(irp));
  EXPECT_EQ(gCancelled, irp);
  EXPECT_EQ(gIrqlInCancel, DISPATCH_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_TRUE(irp->Cancel);
  EXPECT_EQ(irp->CancelRoutine, nullptr);
  gCancelled = nullptr;
  EXPECT_FALSE(IoCancelIrp(irp));  // no routine left: only the mark
  EXPECT_EQ(gCancelled, nullptr);
  IoFreeIrp(irp);
}

using IrpDeathTest = IrpTest;

TEST_F(IrpDeathTest, CompletingTwiceIsABugcheck) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoSetNextIrpStackLocation(irp);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
      },
      "BUGCHECK: request packet .* completed twice");
  EXPECT_DEATH(
      {
        IO_STATUS_BLOCK iosb;
        PIRP irp = IoBuildDeviceIoControlRequest(0x220003, &stack.devices[2], nullptr, 0,
                                                 nullptr, 0, TRUE, nullptr, &iosb);
        IoSetNextIrpStackLocation(irp);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);  // frees it
        IoCompleteRequest(irp, IO_NO_INCREMENT);
      },
      "BUGCHECK: IofCompleteRequest on request packet .* after it was freed");
}

TEST_F(IrpDeathTest, PacketMisuseIsABugcheck) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IoSetNextIrpStackLocation(irp);  // the only location is used up
        IoCallDriver(&stack.devices[2], irp);
      },
      "BUGCHECK: IofCallDriver .* no more stack locations");
  EXPECT_DEATH(
      {
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoSetNextIrpStackLocation(irp);
        irp->IoStatus.Status = STATUS_PENDING;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
      },
      "BUGCHECK: .* completed with STATUS_PENDING");
  EXPECT_DEATH(
      {
        alignas(16) unsigned char small[sizeof(IRP)];
        IoInitializeIrp(reinterpret_cast<PIRP>(small), sizeof small, 2);
      },
      "BUGCHECK: IoInitializeIrp .* cannot hold 2 stack locations");
}

}  // namespace
