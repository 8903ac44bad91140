// Synchronous USB requests, device configuration and staged bulk transfers.
// Everything here runs at PASSIVE_LEVEL on the caller's thread (but the
// completion routine) and waits for the request it sends, without a time
// limit: no request is outstanding when an operation returns. No lock is
// taken or expected, except the cancel spin lock held briefly inside
// UsbStagedTransfer.
#pragma once

#include "mpegunit.h"

// Largest number of bytes one URB of a staged transfer moves.
#define USB_STAGED_CHUNK 65536u
// Consecutive empty chunks after which a staged transfer counts as failed.
#define USB_STAGED_EMPTY_LIMIT 10u
// Maximum transfer size given to every pipe at configuration (1 MiB).
#define USB_PIPE_MAXIMUM_TRANSFER 0x100000u
// First configuration-descriptor buffer; a longer descriptor is fetched again.
#define USB_CONFIG_DESCRIPTOR_GUESS 521u
// Pipes with a larger maximum packet size mark a high-speed connection.
#define USB_FULL_SPEED_MAX_PACKET 64u

// Submits a URB the caller has filled in on a packet of its own and waits.
// Device: RealPhysicalDeviceObject receives it. Returns the packet's final
// status, the call's status when it did not pend, or
// STATUS_INSUFFICIENT_RESOURCES without a packet. Traces "Waited" on an error.
// PASSIVE_LEVEL; no lock. Safe on several threads at once.
NTSTATUS UsbSubmitUrb(DeviceContext* Device, PURB Urb);

// As UsbSubmitUrb, on a packet built (and freed) by the I/O manager; used
// while configuring. PASSIVE_LEVEL; no lock.
NTSTATUS UsbSubmitUrbBuilt(PDEVICE_OBJECT DeviceObject, PURB Urb);

// Completion routine of every packet the transport sends: signals Context
// (the waiter's KEVENT) and keeps the packet with its sender. Runs in the bus
// driver's completion context, IRQL <= DISPATCH_LEVEL.
NTSTATUS NTAPI UsbRequestComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// Resets Pipe with the device's one ResetPipeUrb; returns UsbSubmitUrb's
// status. One reset at a time (bulk transfers run one at a time).
// PASSIVE_LEVEL; no lock.
NTSTATUS UsbResetPipe(DeviceContext* Device, USBD_PIPE_HANDLE Pipe);
// Aborts what is pending on Pipe: the bus completes it as cancelled. Builds
// its own request (another thread may be using ResetPipeUrb). PASSIVE_LEVEL,
// no lock; STATUS_INSUFFICIENT_RESOURCES or the status of UsbSubmitUrb.
NTSTATUS UsbAbortPipe(DeviceContext* Device, USBD_PIPE_HANDLE Pipe);

// Fetches the whole configuration descriptor into ConfigurationDescriptor
// and selects the configuration. Returns UsbSelectConfiguration's status,
// STATUS_INSUFFICIENT_RESOURCES without pool, the descriptor request's own
// failure, or STATUS_UNSUCCESSFUL when it succeeded with too few bytes for a
// descriptor (nothing is parsed then). Once per initialisation,
// before any other request. PASSIVE_LEVEL; no lock.
NTSTATUS UsbConfigureDevice(DeviceContext* Device);

// Selects the configuration of ConfigurationDescriptor and records
// ConfigurationHandle, InterfaceInformation (a pool copy), BulkInPipe,
// BulkOutPipe and HighSpeed. Returns the selection's status, or
// STATUS_INSUFFICIENT_RESOURCES (no request, no interface, no pool).
// PASSIVE_LEVEL; no lock.
NTSTATUS UsbSelectConfiguration(DeviceContext* Device,
                                PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor);

// Diagnostic timing trace of one request: Elapsed performance-counter ticks
// at Frequency ticks per second, shown in the largest unit in which it is at
// least one. No effect on behaviour; no caller uses a result. Any IRQL.
VOID UsbTraceElapsed(const char* Label, LONGLONG Elapsed, LONGLONG Frequency);

// Moves Length bytes between Buffer and Pipe (TransferFlags 3 read, 2 write)
// in chunks of at most USB_STAGED_CHUNK bytes on the shared BulkIrp/BulkUrb,
// until the whole length has moved. Forgives transmission errors (pipe reset,
// go on); on any other error resets the pipe, sets TransferFailed and ends;
// after device-not-responding asks the port status and sets DeviceGone when
// the unit is off the bus; ten empty chunks in a row set TransferFailed and
// end with success. *Transferred always receives the bytes counted (0 first).
// Returns the last chunk's status (STATUS_SUCCESS for a length of 0,
// STATUS_INSUFFICIENT_RESOURCES without a buffer). Worker thread only,
// PASSIVE_LEVEL; no lock (the worker runs one transfer at a time).
NTSTATUS UsbStagedTransfer(DeviceContext* Device, USBD_PIPE_HANDLE Pipe, ULONG Length,
                           ULONG* Transferred, ULONG TransferFlags, PVOID Buffer);

// Submits BulkUrb once, as the caller filled it (its header status is set
// here), with CurrentPipe naming its pipe; resets CurrentPipe on an error.
// Traces "Waited". Returns the transfer's status. PASSIVE_LEVEL (the call
// into the bus is made at DISPATCH_LEVEL); never while a staged transfer runs.
NTSTATUS UsbSubmitPipeUrb(DeviceContext* Device);

// Writes Length bytes to BulkOutPipe in one transfer from a nonpaged copy.
// Returns UsbSubmitPipeUrb's status, STATUS_INSUFFICIENT_RESOURCES without
// pool (nothing sent), STATUS_SUCCESS for a length of 0 (nothing sent).
// PASSIVE_LEVEL; never while a staged transfer runs.
NTSTATUS UsbBulkWrite(DeviceContext* Device, ULONG Length, PVOID Bytes);

// Asks the bus driver for the unit's port status (USBD_PORT_ENABLED,
// USBD_PORT_CONNECTED) on the shared BulkIrp; *PortStatus is 0 first.
// Returns the request's status. PASSIVE_LEVEL; inside UsbStagedTransfer only.
NTSTATUS UsbGetPortStatus(DeviceContext* Device, ULONG* PortStatus);
