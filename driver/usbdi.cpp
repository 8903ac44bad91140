// Not yet built: every operation answers that it is not implemented.
#include "usbdi.h"


NTSTATUS UsbSubmitUrb(DeviceContext* Device, PURB Urb) {
  (void)Device;
  (void)Urb;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS UsbSubmitUrbBuilt(PDEVICE_OBJECT DeviceObject, PURB Urb) {
  (void)DeviceObject;
  (void)Urb;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS NTAPI UsbRequestComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  (void)DeviceObject;
  (void)Irp;
  (void)Context;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS UsbResetPipe(DeviceContext* Device, USBD_PIPE_HANDLE Pipe) {
  (void)Device;
  (void)Pipe;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS UsbConfigureDevice(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS UsbSelectConfiguration(DeviceContext* Device,
                                PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor) {
  (void)Device;
  (void)ConfigurationDescriptor;
  return STATUS_NOT_IMPLEMENTED;
}

VOID UsbTraceElapsed(const char* Label, LONGLONG Elapsed, LONGLONG Frequency) {
  (void)Label;
  (void)Elapsed;
  (void)Frequency;
}

NTSTATUS UsbStagedTransfer(DeviceContext* Device, USBD_PIPE_HANDLE Pipe, ULONG Length,
                           ULONG* Transferred, ULONG TransferFlags, PVOID Buffer) {
  (void)Device;
  (void)Pipe;
  (void)Length;
  (void)Transferred;
  (void)TransferFlags;
  (void)Buffer;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS UsbSubmitPipeUrb(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS UsbBulkWrite(DeviceContext* Device, ULONG Length, PVOID Bytes) {
  (void)Device;
  (void)Length;
  (void)Bytes;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS UsbGetPortStatus(DeviceContext* Device, ULONG* PortStatus) {
  (void)Device;
  (void)PortStatus;
  return STATUS_NOT_IMPLEMENTED;
}
