// Synchronous USB requests, device configuration and staged bulk transfers.
// Everything here runs at PASSIVE_LEVEL on the caller's thread (but the
// completion routine) and waits for the request it sends.
#pragma once

#include "mpegunit.h"

NTSTATUS UsbSubmitUrb(DeviceContext* Device, PURB Urb);
NTSTATUS UsbSubmitUrbBuilt(PDEVICE_OBJECT DeviceObject, PURB Urb);
// Completion routine of every packet the transport sends; Context is the waiter's event.
NTSTATUS NTAPI UsbRequestComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
NTSTATUS UsbResetPipe(DeviceContext* Device, USBD_PIPE_HANDLE Pipe);
NTSTATUS UsbConfigureDevice(DeviceContext* Device);
NTSTATUS UsbSelectConfiguration(DeviceContext* Device,
                                PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor);
// Diagnostic timing trace; no caller uses a result.
VOID UsbTraceElapsed(const char* Label, LONGLONG Elapsed, LONGLONG Frequency);

// Moves Length bytes over Pipe in chunks; *Transferred is always written.
NTSTATUS UsbStagedTransfer(DeviceContext* Device, USBD_PIPE_HANDLE Pipe, ULONG Length,
                           ULONG* Transferred, ULONG TransferFlags, PVOID Buffer);
NTSTATUS UsbSubmitPipeUrb(DeviceContext* Device);
NTSTATUS UsbBulkWrite(DeviceContext* Device, ULONG Length, PVOID Bytes);
NTSTATUS UsbGetPortStatus(DeviceContext* Device, ULONG* PortStatus);
