// Not yet built: every operation answers that it is not implemented.
#include "kivenc.h"


BOOLEAN EncMpeg1NeedsLoad(DeviceContext* Device) {
  (void)Device;
  return FALSE;
}

BOOLEAN EncMpeg2NeedsLoad(DeviceContext* Device) {
  (void)Device;
  return FALSE;
}

NTSTATUS EncMpeg1Load(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS EncMpeg2Load(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS EncMpeg1LoadImage(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS EncMpeg2LoadImage(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS EncMpeg1Configure(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS EncMpeg2Configure(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS EncMpeg1Start(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS EncMpeg2Start(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS EncMpeg1SetBitRate(DeviceContext* Device, ULONG BitRate, ULONG PeakBitRate,
                            ULONG Variable) {
  (void)Device;
  (void)BitRate;
  (void)PeakBitRate;
  (void)Variable;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS EncMpeg2SetBitRate(DeviceContext* Device, ULONG BitRate, ULONG PeakBitRate,
                            ULONG Variable) {
  (void)Device;
  (void)BitRate;
  (void)PeakBitRate;
  (void)Variable;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS EncMpeg1SetWidth(DeviceContext* Device, ULONG Width) {
  (void)Device;
  (void)Width;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS EncMpeg2SetWidth(DeviceContext* Device, ULONG Width) {
  (void)Device;
  (void)Width;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS EncMpeg1Stop(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS EncMpeg2Stop(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}
