// Not yet built: every operation answers that it is not implemented.
#include "utils.h"


VOID SettingsLoad(DeviceContext* Device) {
  (void)Device;
}

NTSTATUS SettingsSave(DeviceContext* Device, PCWSTR ValueName, ULONG Value) {
  (void)Device;
  (void)ValueName;
  (void)Value;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS SettingsReadDword(DeviceContext* Device, HANDLE Key, PCWSTR ValueName, ULONG* Value) {
  (void)Device;
  (void)Key;
  (void)ValueName;
  (void)Value;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS SettingsWriteDword(HANDLE Key, PCWSTR ValueName, ULONG Value) {
  (void)Key;
  (void)ValueName;
  (void)Value;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS SettingsQueryDword(DeviceContext* Device, PCWSTR ValueName, ULONG* Value) {
  (void)Device;
  (void)ValueName;
  (void)Value;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS SettingsQueryFlag(DeviceContext* Device, PCWSTR ValueName, BOOLEAN* Flag) {
  (void)Device;
  (void)ValueName;
  (void)Flag;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS MicrocodeQueryPath(DeviceContext* Device, PCWSTR ValueName, ULONG DestinationSize,
                            PWSTR Destination) {
  (void)Device;
  (void)ValueName;
  (void)DestinationSize;
  (void)Destination;
  return STATUS_NOT_IMPLEMENTED;
}
