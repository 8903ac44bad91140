// Not yet built: every operation answers that it is not implemented.
#include "kivchip.h"


VOID VideoFrontEndInit(DeviceContext* Device) {
  (void)Device;
}

NTSTATUS VideoSelectInput(DeviceContext* Device, ULONG Input) {
  (void)Device;
  (void)Input;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS VideoSetStandard(DeviceContext* Device, ULONG Standard) {
  (void)Device;
  (void)Standard;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS VideoSetFixedInput(DeviceContext* Device, BOOLEAN Fixed) {
  (void)Device;
  (void)Fixed;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS VideoDisableOutput(DeviceContext* Device, BOOLEAN Disable) {
  (void)Device;
  (void)Disable;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS VideoSetAudioClock(DeviceContext* Device, ULONG SamplingFrequency) {
  (void)Device;
  (void)SamplingFrequency;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS VideoSetBrightness(DeviceContext* Device, ULONG Value) {
  (void)Device;
  (void)Value;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS VideoSetContrast(DeviceContext* Device, ULONG Value) {
  (void)Device;
  (void)Value;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS VideoSetSaturation(DeviceContext* Device, ULONG Value) {
  (void)Device;
  (void)Value;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS VideoSetHue(DeviceContext* Device, ULONG Value) {
  (void)Device;
  (void)Value;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS VideoSetSharpness(DeviceContext* Device, ULONG Value) {
  (void)Device;
  (void)Value;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS VideoReadBrightness(DeviceContext* Device, UCHAR* Value) {
  (void)Device;
  (void)Value;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS VideoReadContrast(DeviceContext* Device, UCHAR* Value) {
  (void)Device;
  (void)Value;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS VideoReadSaturation(DeviceContext* Device, UCHAR* Value) {
  (void)Device;
  (void)Value;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS VideoReadHue(DeviceContext* Device, UCHAR* Value) {
  (void)Device;
  (void)Value;
  return STATUS_NOT_IMPLEMENTED;
}

BOOLEAN VideoIsCaptureSizeValid(ULONG Standard, ULONG CaptureMode, ULONG Width, ULONG Height) {
  (void)Standard;
  (void)CaptureMode;
  (void)Width;
  (void)Height;
  return FALSE;
}

NTSTATUS VideoSetCaptureSize(DeviceContext* Device, ULONG Width, ULONG Height) {
  (void)Device;
  (void)Width;
  (void)Height;
  return STATUS_NOT_IMPLEMENTED;
}
