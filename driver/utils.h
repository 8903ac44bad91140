// The settings store (the device's registry key) and the image-path lookup.
// PASSIVE_LEVEL.
#pragma once

#include "mpegunit.h"

VOID SettingsLoad(DeviceContext* Device);
NTSTATUS SettingsSave(DeviceContext* Device, PCWSTR ValueName, ULONG Value);
NTSTATUS SettingsReadDword(DeviceContext* Device, HANDLE Key, PCWSTR ValueName, ULONG* Value);
NTSTATUS SettingsWriteDword(HANDLE Key, PCWSTR ValueName, ULONG Value);
NTSTATUS SettingsQueryDword(DeviceContext* Device, PCWSTR ValueName, ULONG* Value);
NTSTATUS SettingsQueryFlag(DeviceContext* Device, PCWSTR ValueName, BOOLEAN* Flag);

// Full path of an image file: the registry value ValueName or the built-in
// default; DestinationSize in bytes.
NTSTATUS MicrocodeQueryPath(DeviceContext* Device, PCWSTR ValueName, ULONG DestinationSize,
                            PWSTR Destination);
