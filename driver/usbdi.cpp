// Synchronous USB requests, device configuration and staged bulk transfers.
//
// Every request goes to RealPhysicalDeviceObject and is waited for on the
// caller's thread. Control requests take a packet of their own per call;
// bulk traffic (staged transfers, microcode writes and acknowledgements, the
// port-status question) reuses the device's one BulkIrp and BulkUrb, so it
// must run one transfer at a time.
#include "usbdi.h"

namespace {

// The packet's thread: the calling thread (its KTHREAD heads the ETHREAD).
inline PETHREAD UsbCurrentThread() { return (PETHREAD)KeGetCurrentThread(); }

// Waits for Event without a time limit. PASSIVE_LEVEL.
inline VOID UsbWaitForEvent(PKEVENT Event) {
  (void)KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, NULL);
}

// Error severity: both top bits set.
inline BOOLEAN UsbIsError(LONG Status) { return ((ULONG)Status >> 30) == 3; }

// Elapsed ticks since Start, and the counter frequency.
inline VOID UsbTraceSince(const char* Label, LARGE_INTEGER Start) {
  LARGE_INTEGER frequency;
  LARGE_INTEGER end = KeQueryPerformanceCounter(&frequency);
  UsbTraceElapsed(Label, end.QuadPart - Start.QuadPart, frequency.QuadPart);
}

// Prepares the shared BulkIrp for one internal device-control request to
// RealPhysicalDeviceObject: clears its pending and cancel marks,
// re-initialises it, sets the calling thread, the next stack location
// (IoControlCode, Argument1) and UsbRequestComplete with Event (initialised
// here, not signalled). With SetUserEvent the event is also the packet's
// user event. PASSIVE_LEVEL; the shared packet must be idle.
VOID UsbPrepareSharedIrp(DeviceContext* Device, ULONG IoControlCode, PVOID Argument1,
                         PKEVENT Event, BOOLEAN SetUserEvent) {
  PIRP irp = Device->BulkIrp;
  CCHAR stackSize = Device->RealPhysicalDeviceObject->StackSize;

  irp->PendingReturned = FALSE;
  irp->Cancel = FALSE;
  IoInitializeIrp(irp, IoSizeOfIrp(stackSize), stackSize);
  irp->Tail.Overlay.Thread = UsbCurrentThread();

  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->DeviceObject = Device->RealPhysicalDeviceObject;
  next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  next->Parameters.Others.Argument1 = Argument1;

  KeInitializeEvent(Event, NotificationEvent, FALSE);
  if (SetUserEvent) irp->UserEvent = Event;
  IoSetCompletionRoutine(irp, UsbRequestComplete, Event, TRUE, TRUE, TRUE);
}

// Sends the prepared BulkIrp and waits for it. Returns the packet's final
// status, or the call's status when it did not pend. PASSIVE_LEVEL.
NTSTATUS UsbCallSharedIrp(DeviceContext* Device, PKEVENT Event) {
  NTSTATUS status = IofCallDriver(Device->RealPhysicalDeviceObject, Device->BulkIrp);
  if (status == STATUS_PENDING) {
    UsbWaitForEvent(Event);
    status = Device->BulkIrp->IoStatus.Status;
  }
  return status;
}

// USBD statuses of a transmission error that a staged transfer forgives.
BOOLEAN UsbIsForgivenError(USBD_STATUS UsbdStatus) {
  switch (UsbdStatus) {
    case USBD_STATUS_CRC:
    case USBD_STATUS_BTSTUFF:
    case USBD_STATUS_DATA_TOGGLE_MISMATCH:
    case USBD_STATUS_PID_CHECK_FAILURE:
    case USBD_STATUS_UNEXPECTED_PID:
    case USBD_STATUS_DATA_OVERRUN:
    case USBD_STATUS_DATA_UNDERRUN:
    case USBD_STATUS_XACT_ERROR:
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

// See usbdi.h. PASSIVE_LEVEL; no lock.
NTSTATUS UsbSubmitUrb(DeviceContext* Device, PURB Urb) {
  PDEVICE_OBJECT target = Device->RealPhysicalDeviceObject;
  CCHAR stackSize = target->StackSize;

  PIRP irp = IoAllocateIrp(stackSize, FALSE);
  if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;

  Urb->UrbHeader.Status = USBD_STATUS_PENDING;
  LARGE_INTEGER start = KeQueryPerformanceCounter(NULL);

  IoInitializeIrp(irp, IoSizeOfIrp(stackSize), stackSize);
  irp->Tail.Overlay.Thread = UsbCurrentThread();

  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = Urb;
  next->DeviceObject = target;

  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  irp->UserEvent = &event;
  IoSetCompletionRoutine(irp, UsbRequestComplete, &event, TRUE, TRUE, TRUE);

  NTSTATUS status = IofCallDriver(target, irp);
  if (status == STATUS_PENDING) {
    UsbWaitForEvent(&event);
    status = irp->IoStatus.Status;
  }
  if (UsbIsError(status)) UsbTraceSince("Waited", start);

  IoFreeIrp(irp);
  return status;
}

// See usbdi.h. PASSIVE_LEVEL; no lock.
NTSTATUS UsbSubmitUrbBuilt(PDEVICE_OBJECT DeviceObject, PURB Urb) {
  KEVENT event;
  IO_STATUS_BLOCK ioStatus;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  ioStatus.Status = STATUS_SUCCESS;
  ioStatus.Information = 0;

  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, DeviceObject, NULL, 0,
                                           NULL, 0, TRUE, &event, &ioStatus);
  if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;

  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Urb;
  NTSTATUS status = IofCallDriver(DeviceObject, irp);
  if (status == STATUS_PENDING) {
    UsbWaitForEvent(&event);
    status = ioStatus.Status;
  }
  return status;
}

// See usbdi.h. IRQL <= DISPATCH_LEVEL (bus completion context); no lock.
NTSTATUS NTAPI UsbRequestComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  (void)DeviceObject;
  (void)Irp;
  KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// See usbdi.h. PASSIVE_LEVEL; no lock; uses the one ResetPipeUrb.
NTSTATUS UsbResetPipe(DeviceContext* Device, USBD_PIPE_HANDLE Pipe) {
  PURB urb = Device->ResetPipeUrb;
  RtlZeroMemory(urb, sizeof(struct _URB_PIPE_REQUEST));
  urb->UrbHeader.Length = (USHORT)sizeof(struct _URB_PIPE_REQUEST);
  urb->UrbHeader.Function = URB_FUNCTION_RESET_PIPE;
  urb->UrbPipeRequest.PipeHandle = Pipe;
  return UsbSubmitUrb(Device, urb);
}

// See usbdi.h. PASSIVE_LEVEL; no lock.
NTSTATUS UsbAbortPipe(DeviceContext* Device, USBD_PIPE_HANDLE Pipe) {
  PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_PIPE_REQUEST),
                                         MPEGUNIT_POOL_TAG);
  if (urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(urb, sizeof(struct _URB_PIPE_REQUEST));
  urb->UrbHeader.Length = (USHORT)sizeof(struct _URB_PIPE_REQUEST);
  urb->UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
  urb->UrbPipeRequest.PipeHandle = Pipe;
  const NTSTATUS status = UsbSubmitUrb(Device, urb);
  ExFreePool(urb);
  return status;
}

// See usbdi.h. PASSIVE_LEVEL; no lock.
NTSTATUS UsbConfigureDevice(DeviceContext* Device) {
  const ULONG urbSize = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
  PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, urbSize, MPEGUNIT_POOL_TAG);
  if (urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;

  ULONG size = USB_CONFIG_DESCRIPTOR_GUESS;
  for (;;) {
    PUSB_CONFIGURATION_DESCRIPTOR descriptor = (PUSB_CONFIGURATION_DESCRIPTOR)
        ExAllocatePoolWithTag(NonPagedPool, size, MPEGUNIT_POOL_TAG);
    Device->ConfigurationDescriptor = descriptor;
    if (descriptor == NULL) {
      ExFreePool(urb);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    // Zeroed, so that a descriptor shorter than it claims ends the parse.
    RtlZeroMemory(descriptor, size);

    RtlZeroMemory(urb, urbSize);
    UsbBuildGetDescriptorRequest(urb, (USHORT)urbSize, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0,
                                 descriptor, NULL, size, NULL);
    NTSTATUS fetched = UsbSubmitUrbBuilt(Device->RealPhysicalDeviceObject, urb);

    // A failed request leaves the length as it was asked for; either way
    // the buffer then holds no descriptor (or not even its fixed part).
    ULONG received = urb->UrbControlDescriptorRequest.TransferBufferLength;
    if (!NT_SUCCESS(fetched) || received < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
      ExFreePool(descriptor);
      Device->ConfigurationDescriptor = NULL;
      ExFreePool(urb);
      return NT_SUCCESS(fetched) ? STATUS_UNSUCCESSFUL : fetched;
    }
    ULONG total = descriptor->wTotalLength;
    if (total <= size) break;

    ExFreePool(descriptor);
    Device->ConfigurationDescriptor = NULL;
    size = total;
  }

  ExFreePool(urb);
  return UsbSelectConfiguration(Device, Device->ConfigurationDescriptor);
}

// See usbdi.h. PASSIVE_LEVEL; no lock.
NTSTATUS UsbSelectConfiguration(DeviceContext* Device,
                                PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor) {
  NTSTATUS status;
  USHORT urbSize = 0;
  PURB urb = USBD_CreateConfigurationRequest(ConfigurationDescriptor, &urbSize);
  if (urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;

  if (USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor, -1,
                                          -1, -1, -1, -1) == NULL) {
    ExFreePool(urb);
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  {
    PUSBD_INTERFACE_INFORMATION request = &urb->UrbSelectConfiguration.Interface;
    PUSBD_PIPE_INFORMATION pipes = request->Pipes;
    for (ULONG i = 0; i < request->NumberOfPipes; ++i)
      pipes[i].MaximumTransferSize = USB_PIPE_MAXIMUM_TRANSFER;
  }
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbHeader.Length = urbSize;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

  status = UsbSubmitUrbBuilt(Device->RealPhysicalDeviceObject, urb);
  if (NT_SUCCESS(status))
    Device->ConfigurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
  if (!NT_SUCCESS(status)) goto free_request;

  {
    PUSBD_INTERFACE_INFORMATION selected = &urb->UrbSelectConfiguration.Interface;
    // The copy never reaches past the request the bus driver filled in.
    ULONG room = urbSize - (ULONG)((PUCHAR)selected - (PUCHAR)urb);
    ULONG length = selected->Length;
    if (length > room) length = room;
    if (length < sizeof(USBD_INTERFACE_INFORMATION)) length = sizeof(USBD_INTERFACE_INFORMATION);

    PUSBD_INTERFACE_INFORMATION copy = (PUSBD_INTERFACE_INFORMATION)
        ExAllocatePoolWithTag(NonPagedPool, length, MPEGUNIT_POOL_TAG);
    if (copy == NULL) {
      status = STATUS_INSUFFICIENT_RESOURCES;
      goto free_request;
    }
    RtlZeroMemory(copy, length);
    RtlCopyMemory(copy, selected, length > room ? room : length);
    Device->InterfaceInformation = copy;

    ULONG pipeRoom = (length - (ULONG)FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes)) /
                     sizeof(USBD_PIPE_INFORMATION);
    ULONG pipeCount = copy->NumberOfPipes < pipeRoom ? copy->NumberOfPipes : pipeRoom;
    PUSBD_PIPE_INFORMATION pipes = copy->Pipes;

    Device->HighSpeed = FALSE;
    for (ULONG i = 0; i < pipeCount; ++i) {
      if (pipes[i].MaximumPacketSize > USB_FULL_SPEED_MAX_PACKET) Device->HighSpeed = TRUE;
      if (USB_ENDPOINT_DIRECTION_IN(pipes[i].EndpointAddress))
        Device->BulkInPipe = pipes[i].PipeHandle;
      else
        Device->BulkOutPipe = pipes[i].PipeHandle;
    }
  }

free_request:
  ExFreePool(urb);
  return status;
}

// See usbdi.h. Any IRQL; no lock.
VOID UsbTraceElapsed(const char* Label, LONGLONG Elapsed, LONGLONG Frequency) {
  static const char* const units[] = {"s", "ms", "us", "ns", "ps", "fs", "as"};
  const ULONG lastUnit = sizeof(units) / sizeof(units[0]) - 1;

  if (Elapsed < 0 || Frequency <= 0) {
    DbgPrint("mpegunit: %s: no usable counter reading\n", Label);
    return;
  }
  ULONGLONG ticks = (ULONGLONG)Elapsed;
  ULONGLONG frequency = (ULONGLONG)Frequency;
  ULONG unit = 0;
  if (ticks != 0) {
    while (ticks < frequency && unit < lastUnit && ticks <= 0xFFFFFFFFFFFFFFFFull / 1000) {
      ticks *= 1000;
      ++unit;
    }
  }
  ULONGLONG whole = ticks / frequency;
  ULONGLONG rest = ticks % frequency;
  ULONG thousandths = frequency <= 0xFFFFFFFFFFFFull ? (ULONG)(rest * 1000 / frequency) : 0;
  if (whole > 0xFFFFFFFFull) whole = 0xFFFFFFFFull;
  DbgPrint("mpegunit: %s %u.%03u %s\n", Label, (unsigned int)whole, (unsigned int)thousandths,
           units[unit]);
}

// See usbdi.h. Worker thread, PASSIVE_LEVEL; takes the cancel spin lock briefly.
NTSTATUS UsbStagedTransfer(DeviceContext* Device, USBD_PIPE_HANDLE Pipe, ULONG Length,
                           ULONG* Transferred, ULONG TransferFlags, PVOID Buffer) {
  LARGE_INTEGER start = KeQueryPerformanceCounter(NULL);
  ULONG ignored;
  if (Transferred == NULL) Transferred = &ignored;
  *Transferred = 0;

  if (Length == 0) return STATUS_SUCCESS;
  if (Buffer == NULL) return STATUS_INSUFFICIENT_RESOURCES;

  PURB urb = Device->BulkUrb;
  PUCHAR position = (PUCHAR)Buffer;
  ULONG chunk = USB_STAGED_CHUNK;
  ULONG done = 0;
  ULONG total = 0;
  ULONG emptyRuns = 0;
  NTSTATUS status;

  for (;;) {
    KEVENT event;
    UsbPrepareSharedIrp(Device, IOCTL_INTERNAL_USB_SUBMIT_URB, urb, &event, TRUE);

    // The chunk only ever shrinks, to what is left of the buffer.
    if (chunk > Length - done) chunk = Length - done;

    RtlZeroMemory(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    UsbBuildInterruptOrBulkTransferRequest(urb,
                                           (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           Pipe, position, NULL, chunk, TransferFlags, NULL);
    urb->UrbHeader.Status = USBD_STATUS_PENDING;

    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    IoSetCancelRoutine(Device->BulkIrp, NULL);
    IoReleaseCancelSpinLock(cancelIrql);

    status = UsbCallSharedIrp(Device, &event);

    if (UsbIsError(status)) {
      USBD_STATUS usbdStatus = urb->UrbHeader.Status;
      (void)UsbResetPipe(Device, Pipe);  // not examined: the transfer's outcome decides
      if (UsbIsForgivenError(usbdStatus)) {
        status = STATUS_SUCCESS;
      } else {
        DeviceFlagsSet(Device, TransferFailed);
        if (usbdStatus == USBD_STATUS_DEV_NOT_RESPONDING) {
          ULONG portStatus = 0;
          NTSTATUS portResult = UsbGetPortStatus(Device, &portStatus);
          if (!NT_SUCCESS(portResult) || (portStatus & USBD_PORT_CONNECTED) == 0) {
            DeviceFlagsSet(Device, DeviceGone);
            break;  // off the bus: this chunk's bytes are not counted
          }
        }
      }
    }

    // Never count more than was asked for, whatever the bus reports.
    ULONG moved = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    if (moved > chunk) moved = chunk;
    total += moved;

    if (moved == 0) {
      if (++emptyRuns >= USB_STAGED_EMPTY_LIMIT) {
        DeviceFlagsSet(Device, TransferFailed);
        break;
      }
    } else {
      emptyRuns = 0;
    }

    done += moved;
    position += moved;
    if (done >= Length || !NT_SUCCESS(status)) break;
  }

  *Transferred = total;
  UsbTraceSince("Staged RW Time Taken", start);
  return status;
}

// See usbdi.h. PASSIVE_LEVEL (calls into the bus at DISPATCH_LEVEL); no lock.
NTSTATUS UsbSubmitPipeUrb(DeviceContext* Device) {
  Device->BulkUrb->UrbHeader.Status = USBD_STATUS_PENDING;
  LARGE_INTEGER start = KeQueryPerformanceCounter(NULL);

  KEVENT event;
  UsbPrepareSharedIrp(Device, IOCTL_INTERNAL_USB_SUBMIT_URB, Device->BulkUrb, &event, TRUE);

  KIRQL oldIrql;
  KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
  NTSTATUS status = IofCallDriver(Device->RealPhysicalDeviceObject, Device->BulkIrp);
  KeLowerIrql(oldIrql);
  if (status == STATUS_PENDING) {
    UsbWaitForEvent(&event);
    status = Device->BulkIrp->IoStatus.Status;
  }

  if (UsbIsError(status)) (void)UsbResetPipe(Device, DeviceCurrentPipe(Device));  // not examined
  UsbTraceSince("Waited", start);
  return status;
}

// See usbdi.h. PASSIVE_LEVEL; no lock.
NTSTATUS UsbBulkWrite(DeviceContext* Device, ULONG Length, PVOID Bytes) {
  if (Length == 0) return STATUS_SUCCESS;
  PVOID copy = ExAllocatePoolWithTag(NonPagedPool, Length, MPEGUNIT_POOL_TAG);
  if (copy == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  RtlCopyMemory(copy, Bytes, Length);

  PURB urb = Device->BulkUrb;
  RtlZeroMemory(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
  UsbBuildInterruptOrBulkTransferRequest(urb,
                                         (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                         Device->BulkOutPipe, copy, NULL, Length,
                                         USBD_SHORT_TRANSFER_OK | USBD_TRANSFER_DIRECTION_OUT,
                                         NULL);
  DeviceSetCurrentPipe(Device, Device->BulkOutPipe);
  NTSTATUS status = UsbSubmitPipeUrb(Device);  // the count moved is not examined

  ExFreePool(copy);
  return status;
}

// See usbdi.h. PASSIVE_LEVEL; no lock.
NTSTATUS UsbGetPortStatus(DeviceContext* Device, ULONG* PortStatus) {
  *PortStatus = 0;
  KEVENT event;
  UsbPrepareSharedIrp(Device, IOCTL_INTERNAL_USB_GET_PORT_STATUS, PortStatus, &event, FALSE);
  return UsbCallSharedIrp(Device, &event);
}
