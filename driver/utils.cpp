// The settings store and the image-path lookup, over the device's driver
// registry key. The key is opened per operation and closed before it returns.
#include "utils.h"

#include "devprop.h"
#include "kivchip.h"

namespace {

// Characters before the terminating zero.
ULONG WideLength(PCWSTR Text) {
  ULONG length = 0;
  while (Text[length] != 0) ++length;
  return length;
}

// Opens the device's driver key with Access (KEY_READ or KEY_WRITE).
inline NTSTATUS SettingsOpenKey(DeviceContext* Device, ACCESS_MASK Access, HANDLE* Key) {
  *Key = NULL;
  return IoOpenDeviceRegistryKey(Device->RealPhysicalDeviceObject, PLUGPLAY_REGKEY_DRIVER, Access,
                                 Key);
}

// Opens the key for reading, reads ValueName and closes the key; *Value is 0
// unless the read succeeded. Returns the open's or the read's status.
NTSTATUS SettingsQueryNumber(DeviceContext* Device, PCWSTR ValueName, ULONG* Value) {
  HANDLE key;
  ULONG value = 0;
  NTSTATUS status = SettingsOpenKey(Device, KEY_READ, &key);
  if (NT_SUCCESS(status)) {
    status = SettingsReadDword(Device, key, ValueName, &value);
    if (status != STATUS_SUCCESS) value = 0;
    (void)ZwClose(key);
  }
  *Value = value;
  return status;
}

// TRUE when ValueName could be read from Key; the number goes to *Value.
inline BOOLEAN SettingsRead(DeviceContext* Device, HANDLE Key, PCWSTR ValueName, ULONG* Value) {
  return SettingsReadDword(Device, Key, ValueName, Value) == STATUS_SUCCESS;
}

const WCHAR MicrocodeFolder[] = MICROCODE_FOLDER L"\\";

}  // namespace

// See utils.h. PASSIVE_LEVEL; no lock.
NTSTATUS SettingsReadDword(DeviceContext* Device, HANDLE Key, PCWSTR ValueName, ULONG* Value) {
  (void)Device;
  ULONG characters = WideLength(ValueName);
  ULONG nameBytes = (characters + 2) * sizeof(WCHAR);
  PWSTR nameBuffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, nameBytes, MPEGUNIT_POOL_TAG);
  if (nameBuffer == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(nameBuffer, nameBytes);
  RtlCopyMemory(nameBuffer, ValueName, characters * sizeof(WCHAR));

  UNICODE_STRING name;
  name.Length = (USHORT)(characters * sizeof(WCHAR));
  name.MaximumLength = (USHORT)nameBytes;
  name.Buffer = nameBuffer;

  ULONG needed = 0;
  NTSTATUS status = ZwQueryValueKey(Key, &name, KeyValuePartialInformation, NULL, 0, &needed);
  if (status == STATUS_OBJECT_NAME_NOT_FOUND || needed == 0) {
    ExFreePool(nameBuffer);
    return status;
  }

  PKEY_VALUE_PARTIAL_INFORMATION information = (PKEY_VALUE_PARTIAL_INFORMATION)
      ExAllocatePoolWithTag(PagedPool, needed, MPEGUNIT_POOL_TAG);
  if (information == NULL) {
    ExFreePool(nameBuffer);
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  ULONG returned = 0;
  status = ZwQueryValueKey(Key, &name, KeyValuePartialInformation, information, needed, &returned);
  if (status == STATUS_SUCCESS) {
    const ULONG dataOffset = (ULONG)FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
    // Four data bytes must really be there: a shorter value is unreadable.
    if (information->DataLength < 4 || needed < dataOffset + 4) {
      status = STATUS_INVALID_BUFFER_SIZE;
    } else {
      const UCHAR* data = information->Data;
      *Value = (ULONG)data[0] | (ULONG)data[1] << 8 | (ULONG)data[2] << 16 | (ULONG)data[3] << 24;
    }
  }

  ExFreePool(information);
  ExFreePool(nameBuffer);
  return status;
}

// See utils.h. PASSIVE_LEVEL; no lock.
NTSTATUS SettingsWriteDword(HANDLE Key, PCWSTR ValueName, ULONG Value) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, ValueName);
  ULONG data = Value;
  return ZwSetValueKey(Key, &name, 0, REG_DWORD, &data, sizeof(data));
}

// See utils.h. PASSIVE_LEVEL; no lock.
NTSTATUS SettingsSave(DeviceContext* Device, PCWSTR ValueName, ULONG Value) {
  HANDLE key;
  NTSTATUS status = SettingsOpenKey(Device, KEY_WRITE, &key);
  if (!NT_SUCCESS(status)) return status;
  status = SettingsWriteDword(key, ValueName, Value);
  (void)ZwClose(key);
  return status;
}

// See utils.h. PASSIVE_LEVEL; no lock.
NTSTATUS SettingsQueryDword(DeviceContext* Device, PCWSTR ValueName, ULONG* Value) {
  return SettingsQueryNumber(Device, ValueName, Value);
}

// See utils.h. PASSIVE_LEVEL; no lock.
NTSTATUS SettingsQueryFlag(DeviceContext* Device, PCWSTR ValueName, BOOLEAN* Flag) {
  ULONG value;
  NTSTATUS status = SettingsQueryNumber(Device, ValueName, &value);
  *Flag = value != 0 ? TRUE : FALSE;
  return status;
}

// See utils.h. PASSIVE_LEVEL, from AdapterBringUp; no lock. Later checks use
// the values stored by earlier steps, so the order matters.
VOID SettingsLoad(DeviceContext* Device) {
  HANDLE key;
  if (!NT_SUCCESS(SettingsOpenKey(Device, KEY_READ, &key))) return;
  ULONG value;

  Device->CaptureMode = CaptureModeMpeg2;
  if (SettingsRead(Device, key, SETTING_CAPTURE_MODE, &value) &&
      ((value & 0xFF) == CaptureModeMpeg2 || (value & 0xFF) == CaptureModeMpeg1))
    Device->CaptureMode = value & 0xFF;

  Device->VideoStandard = KS_AnalogVideo_NTSC_M;
  if (SettingsRead(Device, key, SETTING_VIDEO_STANDARD, &value) &&
      (value == KS_AnalogVideo_NTSC_M || value == KS_AnalogVideo_PAL_B))
    Device->VideoStandard = value;

  // Defaults of the capture mode.
  BOOLEAN ntsc = Device->VideoStandard == KS_AnalogVideo_NTSC_M;
  Device->MinBitRate = 1000000;
  if (Device->CaptureMode == CaptureModeMpeg1) {
    Device->MaxBitRate = 5000000;
    Device->DefaultBitRate = 1150000;
    Device->BitRate = 1150000;
    Device->PeakBitRate = 0;
    Device->VariableBitRateSupport = 0;
    Device->CaptureWidth = 320;
    Device->CaptureHeight = ntsc ? 240 : 288;
  } else {
    Device->VariableBitRateSupport = 1;
    Device->MaxBitRate = Device->HighSpeed ? 8000000 : 6000000;
    Device->PeakBitRate = Device->MaxBitRate;
    Device->DefaultBitRate = Device->HighSpeed ? 7000000 : 4200000;
    Device->BitRate = Device->DefaultBitRate;
    Device->CaptureWidth = 720;
    Device->CaptureHeight = ntsc ? 480 : 576;
  }

  ULONG width, height;
  if (SettingsRead(Device, key, SETTING_HORZ_RESOLUTION, &width) &&
      SettingsRead(Device, key, SETTING_VERT_RESOLUTION, &height))
    (void)VideoSetCaptureSize(Device, width, height);  // refused: the defaults stay

  Device->VideoInput = 0;
  if (SettingsRead(Device, key, SETTING_VIDEO_INPUT, &value) && value <= 1)
    Device->VideoInput = value;

  if (SettingsRead(Device, key, SETTING_BRIGHTNESS, &value) && value <= 255)
    Device->Brightness = value;
  if (SettingsRead(Device, key, SETTING_CONTRAST, &value) && value <= 127)
    Device->Contrast = value;
  if (SettingsRead(Device, key, SETTING_SATURATION, &value) && value <= 127)
    Device->Saturation = value;
  if (SettingsRead(Device, key, SETTING_HUE, &value) && value <= 127) Device->Hue = value;
  if (SettingsRead(Device, key, SETTING_SHARPNESS, &value) && value >= 1 && value <= 15)
    Device->Sharpness = value;

  if (SettingsRead(Device, key, SETTING_AUDIO_VOLUME, &value) && (LONG)value >= -50 &&
      (LONG)value <= 0)
    Device->AudioVolumeLevel = (LONG)value;

  if (SettingsRead(Device, key, SETTING_AUDIO_FREQUENCY, &value) &&
      (value == 48000 || value == 44100 || value == 32000))
    Device->AudioSamplingFrequency = value;

  ULONG bitRate, variable, peak;
  if (SettingsRead(Device, key, SETTING_BIT_RATE, &bitRate) &&
      SettingsRead(Device, key, SETTING_VARIABLE_BIT_RATE, &variable) &&
      SettingsRead(Device, key, SETTING_PEAK_BIT_RATE, &peak))
    (void)PropSetEncoding(Device, bitRate, peak, variable, Device->CaptureMode);  // refused: defaults stay

  (void)ZwClose(key);
}

// See utils.h. PASSIVE_LEVEL; no lock.
NTSTATUS MicrocodeQueryPath(DeviceContext* Device, PCWSTR ValueName, ULONG DestinationSize,
                            PWSTR Destination) {
  HANDLE key;
  NTSTATUS status = SettingsOpenKey(Device, KEY_READ, &key);
  if (!NT_SUCCESS(status)) return status;

  UNICODE_STRING name;
  RtlInitUnicodeString(&name, ValueName);
  ULONG needed = 0;
  status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, NULL, 0, &needed);
  if (status == STATUS_OBJECT_NAME_NOT_FOUND || needed == 0) {
    (void)ZwClose(key);
    // Nothing was learnt, so no path: never report success here.
    return NT_SUCCESS(status) ? STATUS_OBJECT_NAME_NOT_FOUND : status;
  }

  PWSTR path = NULL;
  PKEY_VALUE_PARTIAL_INFORMATION information = (PKEY_VALUE_PARTIAL_INFORMATION)
      ExAllocatePoolWithTag(PagedPool, needed, MPEGUNIT_POOL_TAG);
  if (information == NULL) {
    status = STATUS_INSUFFICIENT_RESOURCES;
  } else {
    ULONG returned = 0;
    status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, information, needed,
                             &returned);
    if (NT_SUCCESS(status)) {
      const ULONG dataOffset = (ULONG)FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
      ULONG dataBytes = information->DataLength;
      if (dataBytes > needed - dataOffset) dataBytes = needed - dataOffset;
      if (dataBytes == 0) {
        status = STATUS_INSUFFICIENT_RESOURCES;
      } else {
        // Folder, backslash, the file name, and three zero characters.
        const ULONG folderBytes = (ULONG)sizeof(MicrocodeFolder) - sizeof(WCHAR);
        ULONG pathBytes = folderBytes + dataBytes + 3 * sizeof(WCHAR);
        path = (PWSTR)ExAllocatePoolWithTag(PagedPool, pathBytes, MPEGUNIT_POOL_TAG);
        if (path == NULL) {
          status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
          RtlZeroMemory(path, pathBytes);
          RtlCopyMemory(path, MicrocodeFolder, folderBytes);
          RtlCopyMemory((PUCHAR)path + folderBytes, information->Data, dataBytes);
        }
      }
    }
    ExFreePool(information);
  }
  (void)ZwClose(key);

  if (path != NULL) {
    if (NT_SUCCESS(status)) {
      ULONG characters = WideLength(path);
      ULONG room = DestinationSize / sizeof(WCHAR);
      if (characters + 1 > room) {
        status = STATUS_BUFFER_TOO_SMALL;
      } else {
        RtlCopyMemory(Destination, path, characters * sizeof(WCHAR));
        RtlZeroMemory(Destination + characters, (room - characters) * sizeof(WCHAR));
      }
    }
    ExFreePool(path);
  }
  return status;
}
