// The audio codec: its control bytes, start-up sequence, level and mute, and
// the sampling frequency setting.
#include "uda1345.h"
#include "kivchip.h"
#include "kivproto.h"
#include "usbdi.h"
#include "utils.h"

// A status of error severity: both top bits set.
#define AUDIO_IS_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3u)

// AudioCodecSend: one codec command: vendor request to the interface with
// request type 0x41, bRequest 0, wIndex = Code, wValue = Value, the IN
// direction flag and no data stage, on a request block of its own. When
// Record is given, *Record = Recorded once the block exists, before the
// command goes out. Returns STATUS_INSUFFICIENT_RESOURCES without pool (and
// records nothing), else the transfer's status. PASSIVE_LEVEL, no lock.
static NTSTATUS AudioCodecSend(DeviceContext* Device, USHORT Code, USHORT Value,
                               UCHAR* Record = nullptr, UCHAR Recorded = 0) {
  const USHORT Size = (USHORT)sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  PURB Urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, Size, MPEGUNIT_POOL_TAG);
  if (Urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  if (Record != nullptr) *Record = Recorded;
  RtlZeroMemory(Urb, Size);
  UsbBuildVendorRequest(Urb, URB_FUNCTION_VENDOR_INTERFACE, Size, USBD_TRANSFER_DIRECTION_IN,
                        VENDOR_TYPE_HOST_TO_DEVICE, VENDOR_REQUEST_CODE, Value, Code, nullptr,
                        nullptr, 0, nullptr);
  NTSTATUS Status = UsbSubmitUrb(Device, Urb);
  ExFreePoolWithTag(Urb, MPEGUNIT_POOL_TAG);
  return Status;
}

// AudioCodecAddress: see uda1345.h. PASSIVE_LEVEL, no lock.
NTSTATUS AudioCodecAddress(DeviceContext* Device, ULONG Group) {
  const USHORT Address = Group == AUDIO_CODEC_GROUP_STATUS ? AUDIO_CODEC_ADDRESS_STATUS
                                                           : AUDIO_CODEC_ADDRESS_DATA;
  return AudioCodecSend(Device, KIV_CMD_CODEC_ADDRESS, Address);
}

// AudioCodecWrite: see uda1345.h. PASSIVE_LEVEL, no lock.
NTSTATUS AudioCodecWrite(DeviceContext* Device, ULONG Type, UCHAR Value) {
  const UCHAR Bits = (UCHAR)(Value & AUDIO_CODEC_VALUE_MASK);
  UCHAR Byte = Bits;
  UCHAR* Field = nullptr;
  switch (Type) {
    case AUDIO_CODEC_TYPE_STATUS: Field = &Device->AudioCodecStatus; break;
    case AUDIO_CODEC_TYPE_VOLUME: Field = &Device->AudioCodecVolume; break;
    case AUDIO_CODEC_TYPE_MUTE: Field = &Device->AudioCodecMute, Byte |= 0x80; break;
    case AUDIO_CODEC_TYPE_SETUP: Field = &Device->AudioCodecSetup, Byte |= 0xC0; break;
    default: break;
  }
  return AudioCodecSend(Device, KIV_CMD_CODEC_WRITE, Byte, Field, Bits);
}

// AudioCodecSeparator: see uda1345.h. PASSIVE_LEVEL, no lock.
NTSTATUS AudioCodecSeparator(DeviceContext* Device) {
  return AudioCodecSend(Device, KIV_CMD_CODEC_SEPARATOR, 0);
}

// AudioCodecCommand1: see uda1345.h. PASSIVE_LEVEL, no lock.
NTSTATUS AudioCodecCommand1(DeviceContext* Device) {
  return AudioCodecSend(Device, KIV_CMD_AUDIO_COMMAND1, 0);
}

// AudioCodecCommand2: see uda1345.h. PASSIVE_LEVEL, no lock.
NTSTATUS AudioCodecCommand2(DeviceContext* Device) {
  return AudioCodecSend(Device, KIV_CMD_AUDIO_COMMAND2, 0);
}

// AudioCodecInit: see uda1345.h. The unit receives (wIndex/wValue) 80/16,
// 81/21, 80/14, 81/00, 82/0, 81/80, 82/0, 81/C3. PASSIVE_LEVEL, no lock.
VOID AudioCodecInit(DeviceContext* Device) {
  NTSTATUS Status = AudioCodecAddress(Device, AUDIO_CODEC_GROUP_STATUS);
  if (!AUDIO_IS_ERROR(Status)) Status = AudioCodecWrite(Device, AUDIO_CODEC_TYPE_STATUS, 0x21);
  if (!AUDIO_IS_ERROR(Status)) Status = AudioCodecAddress(Device, AUDIO_CODEC_GROUP_DATA);
  if (!AUDIO_IS_ERROR(Status)) Status = AudioCodecWrite(Device, AUDIO_CODEC_TYPE_VOLUME, 0);
  if (!AUDIO_IS_ERROR(Status)) Status = AudioCodecSeparator(Device);
  if (!AUDIO_IS_ERROR(Status)) Status = AudioCodecWrite(Device, AUDIO_CODEC_TYPE_MUTE, 0);
  if (!AUDIO_IS_ERROR(Status)) Status = AudioCodecSeparator(Device);
  if (!AUDIO_IS_ERROR(Status)) (void)AudioCodecWrite(Device, AUDIO_CODEC_TYPE_SETUP, 3);
}

// AudioSetVolume: see uda1345.h. Level 0 and -1 both give volume byte 0;
// below that the byte is -Level - 1. PASSIVE_LEVEL, no lock.
NTSTATUS AudioSetVolume(DeviceContext* Device, LONG Level) {
  if (Level < AUDIO_VOLUME_MIN || Level > AUDIO_VOLUME_MAX) return STATUS_INVALID_PARAMETER;
  NTSTATUS Status = AudioCodecAddress(Device, AUDIO_CODEC_GROUP_DATA);
  if (!NT_SUCCESS(Status)) return Status;
  const UCHAR Byte = Level == 0 ? 0 : (UCHAR)(-Level - 1);
  Status = AudioCodecWrite(Device, AUDIO_CODEC_TYPE_VOLUME, Byte);
  if (Status == STATUS_SUCCESS) {
    Device->AudioVolumeLevel = Level;
    (void)SettingsSave(Device, SETTING_AUDIO_VOLUME, (ULONG)Level);  // never changes the result
  }
  return Status;
}

// AudioSetMute: see uda1345.h. PASSIVE_LEVEL, no lock.
NTSTATUS AudioSetMute(DeviceContext* Device, UCHAR Mute) {
  if (!NT_SUCCESS(AudioCodecAddress(Device, AUDIO_CODEC_GROUP_DATA)))
    return STATUS_INVALID_PARAMETER;
  return AudioCodecWrite(Device, AUDIO_CODEC_TYPE_MUTE, Mute != 0 ? AUDIO_CODEC_MUTE_BIT : 0);
}

// AudioGetMute: see uda1345.h. Any IRQL, no lock.
ULONG AudioGetMute(DeviceContext* Device) {
  return Device->AudioCodecMute != 0 ? 1 : 0;
}

// AudioSetSamplingFrequency: see uda1345.h. PASSIVE_LEVEL, no lock.
NTSTATUS AudioSetSamplingFrequency(DeviceContext* Device, ULONG Frequency, UCHAR Flag1,
                                   UCHAR Flag2) {
  NTSTATUS Status = VideoSetAudioClock(Device, Frequency);
  if (Status != STATUS_SUCCESS) return Status;
  Device->AudioFlag2 = Flag2;
  Device->AudioSamplingFrequency = Frequency;
  Device->AudioFlag1 = Flag1;
  (void)SettingsSave(Device, SETTING_AUDIO_FREQUENCY, Frequency);  // never changes the result
  return STATUS_SUCCESS;
}
