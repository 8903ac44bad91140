// Not yet built: every operation answers that it is not implemented.
#include "capture.h"


NTSTATUS CaptureStart(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS CaptureRunMpeg1(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS CaptureRunMpeg2(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS CaptureStop(PHW_STREAM_REQUEST_BLOCK Request) {
  (void)Request;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS PlaybackStart(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS PlaybackStop(PHW_STREAM_REQUEST_BLOCK Request) {
  (void)Request;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS CaptureGoIdle(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}
