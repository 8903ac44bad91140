// Not yet built: every operation answers that it is not implemented.
#include "uda1345.h"


NTSTATUS AudioCodecAddress(DeviceContext* Device, ULONG Group) {
  (void)Device;
  (void)Group;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS AudioCodecWrite(DeviceContext* Device, ULONG Type, UCHAR Value) {
  (void)Device;
  (void)Type;
  (void)Value;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS AudioCodecSeparator(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS AudioCodecCommand1(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS AudioCodecCommand2(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

VOID AudioCodecInit(DeviceContext* Device) {
  (void)Device;
}

NTSTATUS AudioSetVolume(DeviceContext* Device, LONG Level) {
  (void)Device;
  (void)Level;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS AudioSetMute(DeviceContext* Device, UCHAR Mute) {
  (void)Device;
  (void)Mute;
  return STATUS_NOT_IMPLEMENTED;
}

ULONG AudioGetMute(DeviceContext* Device) {
  (void)Device;
  return 0;
}

NTSTATUS AudioSetSamplingFrequency(DeviceContext* Device, ULONG Frequency, UCHAR Flag1,
                                   UCHAR Flag2) {
  (void)Device;
  (void)Frequency;
  (void)Flag1;
  (void)Flag2;
  return STATUS_NOT_IMPLEMENTED;
}
