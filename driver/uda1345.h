// The unit's audio codec. PASSIVE_LEVEL; each command is one control transfer.
#pragma once

#include "mpegunit.h"

NTSTATUS AudioCodecAddress(DeviceContext* Device, ULONG Group);
NTSTATUS AudioCodecWrite(DeviceContext* Device, ULONG Type, UCHAR Value);
NTSTATUS AudioCodecSeparator(DeviceContext* Device);
NTSTATUS AudioCodecCommand1(DeviceContext* Device);
NTSTATUS AudioCodecCommand2(DeviceContext* Device);
VOID AudioCodecInit(DeviceContext* Device);
NTSTATUS AudioSetVolume(DeviceContext* Device, LONG Level);
NTSTATUS AudioSetMute(DeviceContext* Device, UCHAR Mute);
ULONG AudioGetMute(DeviceContext* Device);
NTSTATUS AudioSetSamplingFrequency(DeviceContext* Device, ULONG Frequency, UCHAR Flag1,
                                   UCHAR Flag2);
