// Not yet built: every operation answers that it is not implemented.
#include "kivenc.h"


NTSTATUS EncMsg0004(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS EncMsgB115(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS EncMsgC119(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS EncMsgC11A(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS EncMsgA004(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS EncMsgA002(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS EncMsgA00E(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS EncMsgA001(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS EncMsgFrameRate(DeviceContext* Device, ULONG FrameRateCode) {
  (void)Device;
  (void)FrameRateCode;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS EncMsgMux(DeviceContext* Device, ULONG MuxAudioDelay) {
  (void)Device;
  (void)MuxAudioDelay;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS EncMsgAudio(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS EncMsgA035(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS EncMsgHorizontalSize(DeviceContext* Device, ULONG HorizontalSizeCode) {
  (void)Device;
  (void)HorizontalSizeCode;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS EncMsgBitRate(DeviceContext* Device, ULONG BitRate) {
  (void)Device;
  (void)BitRate;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS EncMsgVariableBitRate(DeviceContext* Device, ULONG BitRate, ULONG PeakBitRate) {
  (void)Device;
  (void)BitRate;
  (void)PeakBitRate;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS EncMsg8011(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS EncMsgStart(DeviceContext* Device, ULONG Prefix) {
  (void)Device;
  (void)Prefix;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS EncMsgStop(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS DecMsg0003(DeviceContext* Device, ULONG Channel, ULONG Value) {
  (void)Device;
  (void)Channel;
  (void)Value;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS DecMsg0090(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS DecMsgAudio(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS DecMsg0093(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS DecMsg0098(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS DecMsg009E(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS DecMsg009FPair(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS DecMsg009F(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}
