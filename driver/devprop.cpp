// Device property dispatch and the handlers of the five device property
// sets. Reads answer from the DeviceContext (the decoder status reads the
// decoder); writes go through the video front end, the audio codec or the
// capture control, or record a setting for the next encoder start.
#include "devprop.h"
#include "capture.h"
#include "drventry.h"
#include "kivchip.h"
#include "kivproto.h"
#include "uda1345.h"
#include "utils.h"

// ---- Request access ----

// PropDevice, PropProperty: the adapter's DeviceContext and the property
// (set, id, flags) of a property request. Any IRQL, no lock.
static DeviceContext* PropDevice(PHW_STREAM_REQUEST_BLOCK Request) {
  return (DeviceContext*)Request->HwDeviceExtension;
}

static const KSPROPERTY* PropProperty(PHW_STREAM_REQUEST_BLOCK Request) {
  return Request->CommandData.PropertyInfo->Property;
}

// PropRecord: the property data buffer as a record of Size bytes, or null
// when the buffer is smaller (the request then fails with
// STATUS_BUFFER_TOO_SMALL and returns nothing). PASSIVE_LEVEL.
static PVOID PropRecord(PHW_STREAM_REQUEST_BLOCK Request, ULONG Size) {
  PSTREAM_PROPERTY_DESCRIPTOR Descriptor = Request->CommandData.PropertyInfo;
  if (Descriptor->PropertyInfo == nullptr || Descriptor->PropertyOutputSize < Size) {
    Request->Status = STATUS_BUFFER_TOO_SMALL;
    Request->ActualBytesTransferred = 0;
    return nullptr;
  }
  return Descriptor->PropertyInfo;
}

// PropCopyRequestRecord: copies the request as sent (the KSPROPERTY and the
// caller's input fields), at most Size bytes, into the data buffer Record.
// PASSIVE_LEVEL.
static VOID PropCopyRequestRecord(PHW_STREAM_REQUEST_BLOCK Request, PVOID Record, ULONG Size) {
  PSTREAM_PROPERTY_DESCRIPTOR Descriptor = Request->CommandData.PropertyInfo;
  const ULONG Count = Descriptor->PropertyInputSize < Size ? Descriptor->PropertyInputSize : Size;
  if ((PVOID)Descriptor->Property != Record) RtlMoveMemory(Record, Descriptor->Property, Count);
}

// PropNotImplemented: the answer to a set or item no handler serves:
// STATUS_NOT_IMPLEMENTED and no data. Any IRQL, no lock.
static VOID PropNotImplemented(PHW_STREAM_REQUEST_BLOCK Request) {
  Request->Status = STATUS_NOT_IMPLEMENTED;
  Request->ActualBytesTransferred = 0;
}

// ---- Dispatch ----

typedef VOID (*PropHandler)(PHW_STREAM_REQUEST_BLOCK Request);
struct PropRoute {
  const GUID* Set;      // property set compared over all 16 bytes
  PropHandler Handler;  // its get or set handler
};

static const PropRoute PropGetRoutes[] = {
    {&PROPSETID_VIDCAP_VIDEOPROCAMP, PropProcAmpGet},
    {&PROPSETID_VIDCAP_VIDEODECODER, PropDecoderGet},
    {&PROPSETID_VIDCAP_VIDEOCOMPRESSION, PropCompressionGet},
    {&PROPSETID_VIDCAP_CROSSBAR, PropCrossbarGet},
    {&PROPSETID_UNIT_CONTROL, PropUnitGet},
};
static const PropRoute PropSetRoutes[] = {
    {&PROPSETID_VIDCAP_VIDEOPROCAMP, PropProcAmpSet},
    {&PROPSETID_VIDCAP_VIDEODECODER, PropDecoderSet},
    {&PROPSETID_VIDCAP_CROSSBAR, PropCrossbarSet},
    {&PROPSETID_VIDCAP_VIDEOCOMPRESSION, PropCompressionSet},
    {&PROPSETID_UNIT_CONTROL, PropUnitSet},
};

// PropDispatch: calls the handler of the first route whose set equals the
// request's (all 16 bytes); STATUS_NOT_IMPLEMENTED when none does.
// PASSIVE_LEVEL, device request loop, no lock.
static VOID PropDispatch(PHW_STREAM_REQUEST_BLOCK Request, const PropRoute* Routes, ULONG Count) {
  const KSPROPERTY* Property = PropProperty(Request);
  for (ULONG i = 0; i < Count; ++i) {
    if (RtlEqualMemory(&Property->Set, Routes[i].Set, sizeof(GUID))) {
      Routes[i].Handler(Request);
      return;
    }
  }
  PropNotImplemented(Request);
}

// PropDeviceGet: SRB_GET_DEVICE_PROPERTY. PASSIVE_LEVEL, device request loop;
// holds the settings gate while the handler runs.
VOID PropDeviceGet(PHW_STREAM_REQUEST_BLOCK Request) {
  SettingsGateEnter();
  PropDispatch(Request, PropGetRoutes, sizeof(PropGetRoutes) / sizeof(PropGetRoutes[0]));
  SettingsGateLeave();
}

// PropDeviceSet: SRB_SET_DEVICE_PROPERTY. PASSIVE_LEVEL, device request loop;
// holds the settings gate while the handler runs.
VOID PropDeviceSet(PHW_STREAM_REQUEST_BLOCK Request) {
  SettingsGateEnter();
  PropDispatch(Request, PropSetRoutes, sizeof(PropSetRoutes) / sizeof(PropSetRoutes[0]));
  SettingsGateLeave();
}

// ---- Video processing amplifier ----

// PropProcAmpGet: Value of the picture control with manual flags and
// capabilities; 40 bytes also for an unknown id. PASSIVE_LEVEL.
VOID PropProcAmpGet(PHW_STREAM_REQUEST_BLOCK Request) {
  DeviceContext* Device = PropDevice(Request);
  auto* Record = (PKSPROPERTY_VIDEOPROCAMP_S)PropRecord(Request, sizeof(KSPROPERTY_VIDEOPROCAMP_S));
  if (Record == nullptr) return;
  Record->Flags = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
  Record->Capabilities = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
  switch (PropProperty(Request)->Id) {
    case KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS: Record->Value = (LONG)Device->Brightness; break;
    case KSPROPERTY_VIDEOPROCAMP_CONTRAST: Record->Value = (LONG)Device->Contrast; break;
    case KSPROPERTY_VIDEOPROCAMP_HUE: Record->Value = (LONG)Device->Hue; break;
    case KSPROPERTY_VIDEOPROCAMP_SATURATION: Record->Value = (LONG)Device->Saturation; break;
    case KSPROPERTY_VIDEOPROCAMP_SHARPNESS: Record->Value = (LONG)Device->Sharpness; break;
    default: Request->Status = STATUS_NOT_IMPLEMENTED; break;
  }
  Request->ActualBytesTransferred = sizeof(KSPROPERTY_VIDEOPROCAMP_S);
}

// PropProcAmpSet: applies Value (as unsigned) through the picture-control
// set operation; Flags are not examined. PASSIVE_LEVEL.
VOID PropProcAmpSet(PHW_STREAM_REQUEST_BLOCK Request) {
  DeviceContext* Device = PropDevice(Request);
  auto* Record = (PKSPROPERTY_VIDEOPROCAMP_S)PropRecord(Request, sizeof(KSPROPERTY_VIDEOPROCAMP_S));
  if (Record == nullptr) return;
  const ULONG Value = (ULONG)Record->Value;
  switch (PropProperty(Request)->Id) {
    case KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS: Request->Status = VideoSetBrightness(Device, Value); break;
    case KSPROPERTY_VIDEOPROCAMP_CONTRAST: Request->Status = VideoSetContrast(Device, Value); break;
    case KSPROPERTY_VIDEOPROCAMP_HUE: Request->Status = VideoSetHue(Device, Value); break;
    case KSPROPERTY_VIDEOPROCAMP_SATURATION: Request->Status = VideoSetSaturation(Device, Value); break;
    case KSPROPERTY_VIDEOPROCAMP_SHARPNESS: Request->Status = VideoSetSharpness(Device, Value); break;
    default: PropNotImplemented(Request); break;
  }
}

// ---- Video decoder ----

#define DECODER_STATUS_LOCKED 0x01u  // register 0x1F bit 0: a locked input signal
#define DECODER_STATUS_60HZ 0x20u    // register 0x1F bit 5: 525-line input

// PropDecoderGet: caps, standard, signal status (read from the decoder) and
// output enable. PASSIVE_LEVEL.
VOID PropDecoderGet(PHW_STREAM_REQUEST_BLOCK Request) {
  DeviceContext* Device = PropDevice(Request);
  switch (PropProperty(Request)->Id) {
    case KSPROPERTY_VIDEODECODER_CAPS: {
      auto* Record = (PKSPROPERTY_VIDEODECODER_CAPS_S)PropRecord(
          Request, sizeof(KSPROPERTY_VIDEODECODER_CAPS_S));
      if (Record == nullptr) return;
      Record->StandardsSupported = KS_AnalogVideo_NTSC_M | KS_AnalogVideo_PAL_B;
      Record->Capabilities = KS_VIDEODECODER_FLAGS_CAN_DISABLE_OUTPUT |
                             KS_VIDEODECODER_FLAGS_CAN_USE_VCR_LOCKING |
                             KS_VIDEODECODER_FLAGS_CAN_INDICATE_LOCKED;
      Record->SettlingTime = 30;
      Record->HSyncPerVSync = 6;
      Request->ActualBytesTransferred = sizeof(*Record);
      break;
    }
    case KSPROPERTY_VIDEODECODER_STANDARD:
    case KSPROPERTY_VIDEODECODER_OUTPUT_ENABLE: {
      auto* Record =
          (PKSPROPERTY_VIDEODECODER_S)PropRecord(Request, sizeof(KSPROPERTY_VIDEODECODER_S));
      if (Record == nullptr) return;
      Record->Value = PropProperty(Request)->Id == KSPROPERTY_VIDEODECODER_STANDARD
                          ? Device->VideoStandard
                          : Device->OutputEnable;
      Request->ActualBytesTransferred = sizeof(*Record);
      break;
    }
    case KSPROPERTY_VIDEODECODER_STATUS: {
      auto* Record = (PKSPROPERTY_VIDEODECODER_STATUS_S)PropRecord(
          Request, sizeof(KSPROPERTY_VIDEODECODER_STATUS_S));
      if (Record == nullptr) return;
      // A failed read answers from the byte kept from the last good one.
      UCHAR Byte = Device->VideoDecoderStatus;
      if (NT_SUCCESS(VendorBusReadRegister(Device, KIV_BUS_VIDEO_DECODER,
                                           VIDEO_DECODER_REG_STATUS, &Byte)))
        Device->VideoDecoderStatus = Byte;
      const UCHAR Status = Device->VideoDecoderStatus;
      if (Status & DECODER_STATUS_LOCKED) {
        Record->SignalLocked = 1;
        Record->NumberOfLines = (Status & DECODER_STATUS_60HZ) ? 525 : 625;
      } else {
        Record->SignalLocked = 0;
        Record->NumberOfLines = 0;
      }
      Request->ActualBytesTransferred = sizeof(*Record);
      break;
    }
    default: PropNotImplemented(Request); break;
  }
}

// PropDecoderSet: the standard and the output enable. A standard outside
// the NTSC and PAL groups is refused before anything is sent (the decoder
// cannot make an audio clock for it); a failure to apply a value is
// reported and leaves the recorded value as it was. PASSIVE_LEVEL.
VOID PropDecoderSet(PHW_STREAM_REQUEST_BLOCK Request) {
  DeviceContext* Device = PropDevice(Request);
  const ULONG Id = PropProperty(Request)->Id;
  if (Id != KSPROPERTY_VIDEODECODER_STANDARD && Id != KSPROPERTY_VIDEODECODER_OUTPUT_ENABLE) {
    PropNotImplemented(Request);
    return;
  }
  auto* Record = (PKSPROPERTY_VIDEODECODER_S)PropRecord(Request, sizeof(KSPROPERTY_VIDEODECODER_S));
  if (Record == nullptr) return;
  const ULONG Value = Record->Value;
  if (Id == KSPROPERTY_VIDEODECODER_STANDARD) {
    if ((Value & (VIDEO_NTSC_GROUP_MASK | VIDEO_PAL_GROUP_MASK)) == 0) {
      Request->Status = STATUS_INVALID_PARAMETER;
      return;
    }
    // Recorded first: the audio clock follows the recorded standard.
    const ULONG Previous = Device->VideoStandard;
    Device->VideoStandard = Value;
    const NTSTATUS Status = VideoSetStandard(Device, Value);
    if (!NT_SUCCESS(Status)) {
      Device->VideoStandard = Previous;
      Request->Status = Status;
    }
  } else {
    const NTSTATUS Status = VideoDisableOutput(Device, Value == 0);
    if (NT_SUCCESS(Status))
      Device->OutputEnable = Value;
    else
      Request->Status = Status;
  }
}

// ---- Video compression: the bit rate as a quality 0..10000 ----

#define PROP_QUALITY_STEPS 10000u
#define PROP_QUALITY_SETTING_UNIT 1000u  // bits per second per quality setting counted

// PropQualityStep: bits per second per quality unit, (MaxBitRate -
// MinBitRate) / 10000 truncated; 0 when the bounds leave no range. Any IRQL.
static ULONG PropQualityStep(const DeviceContext* Device) {
  return Device->MaxBitRate > Device->MinBitRate
             ? (Device->MaxBitRate - Device->MinBitRate) / PROP_QUALITY_STEPS
             : 0;
}

// PropQualityOf: the quality of a bit rate; 0 at or below the minimum, and
// 0 when the bounds leave no step (not yet loaded). Any IRQL.
static ULONG PropQualityOf(const DeviceContext* Device, ULONG BitRate) {
  const ULONG Step = PropQualityStep(Device);
  if (Step == 0 || BitRate <= Device->MinBitRate) return 0;
  return (BitRate - Device->MinBitRate) / Step;
}

// PropCompressionGet: GETINFO and QUALITY; the stream index and frame rates
// are left as the caller sent them. PASSIVE_LEVEL.
VOID PropCompressionGet(PHW_STREAM_REQUEST_BLOCK Request) {
  DeviceContext* Device = PropDevice(Request);
  switch (PropProperty(Request)->Id) {
    case KSPROPERTY_VIDEOCOMPRESSION_GETINFO: {
      auto* Record = (PKSPROPERTY_VIDEOCOMPRESSION_GETINFO_S)PropRecord(
          Request, sizeof(KSPROPERTY_VIDEOCOMPRESSION_GETINFO_S));
      if (Record == nullptr) return;
      Record->DefaultQuality = (LONG)PropQualityOf(Device, Device->DefaultBitRate);
      Record->NumberOfQualitySettings =
          Device->MaxBitRate > Device->MinBitRate
              ? (LONG)((Device->MaxBitRate - Device->MinBitRate) / PROP_QUALITY_SETTING_UNIT)
              : 0;
      Record->Capabilities = KS_CompressionCaps_CanQuality | KS_CompressionCaps_CanCrunch;
      Request->ActualBytesTransferred = sizeof(*Record);
      break;
    }
    case KSPROPERTY_VIDEOCOMPRESSION_QUALITY: {
      auto* Record = (PKSPROPERTY_VIDEOCOMPRESSION_S)PropRecord(
          Request, sizeof(KSPROPERTY_VIDEOCOMPRESSION_S));
      if (Record == nullptr) return;
      Record->Value = (LONG)PropQualityOf(Device, Device->BitRate);
      Request->ActualBytesTransferred = sizeof(*Record);
      break;
    }
    default: PropNotImplemented(Request); break;
  }
}

// PropCompressionSet: QUALITY sets the bit rate MinBitRate + step x quality.
// Qualities above 10000 are accepted (rates above MaxBitRate), but one whose
// bit rate does not fit in 32 bits is refused with STATUS_INVALID_PARAMETER.
// Nothing is sent to the unit. PASSIVE_LEVEL.
VOID PropCompressionSet(PHW_STREAM_REQUEST_BLOCK Request) {
  DeviceContext* Device = PropDevice(Request);
  if (PropProperty(Request)->Id != KSPROPERTY_VIDEOCOMPRESSION_QUALITY) {
    PropNotImplemented(Request);
    return;
  }
  auto* Record =
      (PKSPROPERTY_VIDEOCOMPRESSION_S)PropRecord(Request, sizeof(KSPROPERTY_VIDEOCOMPRESSION_S));
  if (Record == nullptr) return;
  const ULONG Quality = (ULONG)Record->Value;
  const ULONG Step = PropQualityStep(Device);
  if (Quality != 0 && Step > (0xFFFFFFFFu - Device->MinBitRate) / Quality) {
    Request->Status = STATUS_INVALID_PARAMETER;
    return;
  }
  (void)PropSetBitRate(Device, Device->MinBitRate + Step * Quality);  // registry never fails it
}

// PropSetBitRate: see devprop.h. PASSIVE_LEVEL.
NTSTATUS PropSetBitRate(DeviceContext* Device, ULONG BitRate) {
  Device->BitRate = BitRate;
  return SettingsSave(Device, SETTING_BIT_RATE, BitRate);
}

// ---- Crossbar ----

// PropCrossbarCanRoute: the routes the unit has: composite or S-video to
// the video decoder output, the audio line or nothing to the audio output.
// Any IRQL.
static BOOLEAN PropCrossbarCanRoute(ULONG Input, ULONG Output) {
  if (Output == 0) return Input == 0 || Input == 1;
  if (Output == 1) return Input == 2 || Input == CROSSBAR_NO_INPUT;
  return FALSE;
}

// PropCrossbarGet: caps, pin information, route queries. The request
// record is copied into the data buffer first, so fields not answered keep
// what the caller sent. A pin index beyond the chosen table is refused with
// STATUS_INVALID_PARAMETER. PASSIVE_LEVEL.
VOID PropCrossbarGet(PHW_STREAM_REQUEST_BLOCK Request) {
  DeviceContext* Device = PropDevice(Request);
  switch (PropProperty(Request)->Id) {
    case KSPROPERTY_CROSSBAR_CAPS: {
      auto* Record =
          (PKSPROPERTY_CROSSBAR_CAPS_S)PropRecord(Request, sizeof(KSPROPERTY_CROSSBAR_CAPS_S));
      if (Record == nullptr) return;
      PropCopyRequestRecord(Request, Record, sizeof(*Record));
      Record->NumberOfInputs = CROSSBAR_INPUT_PIN_COUNT;
      Record->NumberOfOutputs = CROSSBAR_OUTPUT_PIN_COUNT;
      Request->ActualBytesTransferred = sizeof(*Record);
      break;
    }
    case KSPROPERTY_CROSSBAR_PININFO: {
      auto* Record = (PKSPROPERTY_CROSSBAR_PININFO_S)PropRecord(
          Request, sizeof(KSPROPERTY_CROSSBAR_PININFO_S));
      if (Record == nullptr) return;
      PropCopyRequestRecord(Request, Record, sizeof(*Record));
      // The caller's direction may hold any 32-bit value: read it as a word,
      // never as the enumeration.
      ULONG Direction;
      RtlCopyMemory(&Direction, &Record->Direction, sizeof(Direction));
      const BOOLEAN Input = Direction == (ULONG)KSPIN_DATAFLOW_IN;
      const ULONG Count = Input ? CROSSBAR_INPUT_PIN_COUNT : CROSSBAR_OUTPUT_PIN_COUNT;
      if (Record->Index >= Count) {
        Request->Status = STATUS_INVALID_PARAMETER;
        Request->ActualBytesTransferred = 0;
        return;
      }
      const CrossbarPin* Pin = Input ? &CrossbarInputPins[Record->Index]
                                     : &CrossbarOutputPins[Record->Index];
      Record->PinType = Pin->PinType;
      Record->RelatedPinIndex = Pin->RelatedPinIndex;
      Record->Medium = *Pin->Medium;
      Record->Medium.Id = 0;
      Request->ActualBytesTransferred = sizeof(*Record);
      break;
    }
    case KSPROPERTY_CROSSBAR_CAN_ROUTE:
    case KSPROPERTY_CROSSBAR_ROUTE: {
      auto* Record =
          (PKSPROPERTY_CROSSBAR_ROUTE_S)PropRecord(Request, sizeof(KSPROPERTY_CROSSBAR_ROUTE_S));
      if (Record == nullptr) return;
      PropCopyRequestRecord(Request, Record, sizeof(*Record));
      if (PropProperty(Request)->Id == KSPROPERTY_CROSSBAR_CAN_ROUTE) {
        Record->CanRoute = PropCrossbarCanRoute(Record->IndexInputPin, Record->IndexOutputPin);
      } else if (Record->IndexOutputPin == 0) {
        Record->IndexInputPin = Device->VideoInput;
        Record->CanRoute = 1;
      } else if (Record->IndexOutputPin == 1) {
        Record->IndexInputPin = Device->AudioRoute;
        Record->CanRoute = 1;
      } else {
        Record->CanRoute = 0;
      }
      Request->ActualBytesTransferred = sizeof(*Record);
      break;
    }
    default: PropNotImplemented(Request); break;
  }
}

// PropCrossbarSet: ROUTE. A video route selects the input on the decoder
// (VideoSelectInput records it; its failure is reported); an audio route is
// only recorded. Any other route: STATUS_INVALID_PARAMETER. PASSIVE_LEVEL.
VOID PropCrossbarSet(PHW_STREAM_REQUEST_BLOCK Request) {
  DeviceContext* Device = PropDevice(Request);
  if (PropProperty(Request)->Id != KSPROPERTY_CROSSBAR_ROUTE) {
    PropNotImplemented(Request);
    return;
  }
  auto* Record =
      (PKSPROPERTY_CROSSBAR_ROUTE_S)PropRecord(Request, sizeof(KSPROPERTY_CROSSBAR_ROUTE_S));
  if (Record == nullptr) return;
  PropCopyRequestRecord(Request, Record, sizeof(*Record));
  const ULONG Input = Record->IndexInputPin;
  const ULONG Output = Record->IndexOutputPin;
  Record->CanRoute = PropCrossbarCanRoute(Input, Output);
  Request->ActualBytesTransferred = sizeof(*Record);
  if (!Record->CanRoute) {
    Request->Status = STATUS_INVALID_PARAMETER;
    return;
  }
  if (Output == 0)
    Request->Status = VideoSelectInput(Device, Input);
  else
    Device->AudioRoute = Input;  // nothing to send: the audio path is fixed
}

// ---- Vendor set ----

// PropGetEncodingCaps: see devprop.h. PASSIVE_LEVEL.
NTSTATUS PropGetEncodingCaps(DeviceContext* Device, KSPROPERTY_UNIT_ENCODING_CAPS_S* Record) {
  const VideoCaptureSizeRow* Row = VideoCaptureSizesFor(Device->CaptureMode, Device->VideoStandard);
  if (Row == nullptr) return STATUS_NOT_IMPLEMENTED;
  Record->MinBitRate = UNIT_BIT_RATE_MIN;
  if (Device->CaptureMode == CaptureModeMpeg1) {
    Record->MaxBitRate = UNIT_BIT_RATE_MAX_MPEG1;
    Record->VariableBitRate = 0;
    Record->DefaultBitRate = UNIT_BIT_RATE_DEFAULT_MPEG1;
  } else {
    Record->MaxBitRate =
        Device->HighSpeed ? UNIT_BIT_RATE_MAX_MPEG2_HIGH_SPEED : UNIT_BIT_RATE_MAX_MPEG2;
    Record->VariableBitRate = Device->VariableBitRateSupport;
    Record->DefaultBitRate =
        Device->HighSpeed ? UNIT_BIT_RATE_DEFAULT_MPEG2_HIGH_SPEED : UNIT_BIT_RATE_DEFAULT_MPEG2;
  }
  Record->BitRateStep = UNIT_BIT_RATE_STEP;
  Record->CaptureSizeCount = Row->Count;
  for (ULONG i = 0; i < Row->Count && i < UNIT_MAX_CAPTURE_SIZES; ++i) {
    Record->CaptureSizes[i].Width = Row->Sizes[i].Width;
    Record->CaptureSizes[i].Height = Row->Sizes[i].Height;
  }
  return STATUS_SUCCESS;
}

// PropGetAudioCaps: see devprop.h. Any IRQL.
VOID PropGetAudioCaps(DeviceContext* Device, KSPROPERTY_UNIT_AUDIO_CAPS_S* Record) {
  (void)Device;
  Record->DefaultFrequency = 48000;
  Record->FrequencyCount = UNIT_AUDIO_FREQUENCY_COUNT;
  Record->Frequencies[0] = 48000;
  Record->Frequencies[1] = 44100;
  Record->Frequencies[2] = 32000;
  Record->MinLevel = AUDIO_VOLUME_MIN;
  Record->MaxLevel = AUDIO_VOLUME_MAX;
  Record->DefaultLevel = 0;
  Record->LevelStep = 1;
}

// PropReadUnitMemory: see devprop.h. PASSIVE_LEVEL.
NTSTATUS PropReadUnitMemory(DeviceContext* Device, KSPROPERTY_UNIT_MEMORY_S* Record) {
  for (USHORT Address = 0; Address < UNIT_MEMORY_READ_SIZE; ++Address) {
    const NTSTATUS Status = VendorReadByte(Device, Address, &Record->Bytes[Address]);
    if (!NT_SUCCESS(Status)) return Status;
  }
  return STATUS_SUCCESS;
}

// PropWriteUnitMemory: see devprop.h. PASSIVE_LEVEL.
NTSTATUS PropWriteUnitMemory(DeviceContext* Device, const KSPROPERTY_UNIT_MEMORY_S* Record) {
  return VendorWriteByte(Device, Record->Write.Address, Record->Write.Value);
}

// PropUnitGet: the vendor items that can be read. A data buffer smaller
// than the item's record fails with STATUS_BUFFER_TOO_SMALL. PASSIVE_LEVEL.
VOID PropUnitGet(PHW_STREAM_REQUEST_BLOCK Request) {
  DeviceContext* Device = PropDevice(Request);
  switch (PropProperty(Request)->Id) {
    case KSPROPERTY_UNIT_ENCODING: {
      auto* Record = (KSPROPERTY_UNIT_ENCODING_S*)PropRecord(Request, sizeof(KSPROPERTY_UNIT_ENCODING_S));
      if (Record == nullptr) return;
      Record->BitRate = Device->BitRate;
      Record->PeakBitRate = Device->PeakBitRate;
      Record->VariableBitRate = Device->VariableBitRateSupport;
      Record->Width = Device->CaptureWidth;
      Record->Height = Device->CaptureHeight;
      Record->CaptureMode = Device->CaptureMode;
      Request->ActualBytesTransferred = sizeof(*Record);
      break;
    }
    case KSPROPERTY_UNIT_AUDIO_VOLUME: {
      auto* Record =
          (KSPROPERTY_UNIT_AUDIO_VOLUME_S*)PropRecord(Request, sizeof(KSPROPERTY_UNIT_AUDIO_VOLUME_S));
      if (Record == nullptr) return;
      Record->Level = Device->AudioVolumeLevel;
      Request->ActualBytesTransferred = sizeof(*Record);
      break;
    }
    case KSPROPERTY_UNIT_AUDIO_FORMAT: {
      auto* Record =
          (KSPROPERTY_UNIT_AUDIO_FORMAT_S*)PropRecord(Request, sizeof(KSPROPERTY_UNIT_AUDIO_FORMAT_S));
      if (Record == nullptr) return;
      Record->SamplingFrequency = Device->AudioSamplingFrequency;
      Record->Flag1 = Device->AudioFlag1;
      Record->Flag2 = Device->AudioFlag2;
      Request->ActualBytesTransferred = sizeof(*Record);
      break;
    }
    case KSPROPERTY_UNIT_ENCODING_CAPS: {
      auto* Record = (KSPROPERTY_UNIT_ENCODING_CAPS_S*)PropRecord(
          Request, sizeof(KSPROPERTY_UNIT_ENCODING_CAPS_S));
      if (Record == nullptr) return;
      const NTSTATUS Status = PropGetEncodingCaps(Device, Record);
      Request->Status = Status;
      Request->ActualBytesTransferred = NT_SUCCESS(Status) ? sizeof(*Record) : 0;
      break;
    }
    case KSPROPERTY_UNIT_AUDIO_CAPS: {
      auto* Record =
          (KSPROPERTY_UNIT_AUDIO_CAPS_S*)PropRecord(Request, sizeof(KSPROPERTY_UNIT_AUDIO_CAPS_S));
      if (Record == nullptr) return;
      PropGetAudioCaps(Device, Record);
      Request->ActualBytesTransferred = sizeof(*Record);
      break;
    }
    case KSPROPERTY_UNIT_MEMORY: {
      auto* Record = (KSPROPERTY_UNIT_MEMORY_S*)PropRecord(Request, sizeof(KSPROPERTY_UNIT_MEMORY_S));
      if (Record == nullptr) return;
      const NTSTATUS Status = PropReadUnitMemory(Device, Record);
      Request->Status = Status;
      Request->ActualBytesTransferred = NT_SUCCESS(Status) ? sizeof(*Record) : 0;
      break;
    }
    case KSPROPERTY_UNIT_AUDIO_MUTE: {
      auto* Record =
          (KSPROPERTY_UNIT_AUDIO_MUTE_S*)PropRecord(Request, sizeof(KSPROPERTY_UNIT_AUDIO_MUTE_S));
      if (Record == nullptr) return;
      Record->Mute = AudioGetMute(Device);
      Request->Status = STATUS_SUCCESS;
      Request->ActualBytesTransferred = sizeof(*Record);
      break;
    }
    default: PropNotImplemented(Request); break;
  }
}

// PropUnitSet: the vendor items that can be written; the request's status
// becomes the operation's. A data buffer smaller than the item's record
// fails with STATUS_BUFFER_TOO_SMALL and changes nothing. PASSIVE_LEVEL.
VOID PropUnitSet(PHW_STREAM_REQUEST_BLOCK Request) {
  DeviceContext* Device = PropDevice(Request);
  switch (PropProperty(Request)->Id) {
    case KSPROPERTY_UNIT_ENCODING: {
      auto* Record = (KSPROPERTY_UNIT_ENCODING_S*)PropRecord(Request, sizeof(KSPROPERTY_UNIT_ENCODING_S));
      if (Record == nullptr) return;
      // Two stages: the rates and mode stay recorded when the size is refused.
      NTSTATUS Status = PropSetEncoding(Device, Record->BitRate, Record->PeakBitRate,
                                        Record->VariableBitRate, Record->CaptureMode);
      if (Status == STATUS_SUCCESS) Status = VideoSetCaptureSize(Device, Record->Width, Record->Height);
      Request->Status = Status;
      break;
    }
    case KSPROPERTY_UNIT_AUDIO_VOLUME: {
      auto* Record =
          (KSPROPERTY_UNIT_AUDIO_VOLUME_S*)PropRecord(Request, sizeof(KSPROPERTY_UNIT_AUDIO_VOLUME_S));
      if (Record == nullptr) return;
      Request->Status = AudioSetVolume(Device, Record->Level);
      break;
    }
    case KSPROPERTY_UNIT_AUDIO_FORMAT: {
      auto* Record =
          (KSPROPERTY_UNIT_AUDIO_FORMAT_S*)PropRecord(Request, sizeof(KSPROPERTY_UNIT_AUDIO_FORMAT_S));
      if (Record == nullptr) return;
      Request->Status =
          AudioSetSamplingFrequency(Device, Record->SamplingFrequency, Record->Flag1, Record->Flag2);
      break;
    }
    case KSPROPERTY_UNIT_MEMORY: {
      auto* Record = (KSPROPERTY_UNIT_MEMORY_S*)PropRecord(Request, sizeof(KSPROPERTY_UNIT_MEMORY_S));
      if (Record == nullptr) return;
      Request->Status = PropWriteUnitMemory(Device, Record);
      break;
    }
    case KSPROPERTY_UNIT_AUDIO_MUTE: {
      auto* Record =
          (KSPROPERTY_UNIT_AUDIO_MUTE_S*)PropRecord(Request, sizeof(KSPROPERTY_UNIT_AUDIO_MUTE_S));
      if (Record == nullptr) return;
      Request->Status = AudioSetMute(Device, *(const UCHAR*)&Record->Mute);  // the byte at 24
      break;
    }
    case KSPROPERTY_UNIT_IDLE:
      Request->Status = CaptureGoIdle(Device);
      break;
    default: PropNotImplemented(Request); break;
  }
}

// PropSetEncoding: see devprop.h. Nothing is sent to the unit: the encoder
// takes the values at the next capture start. PASSIVE_LEVEL.
NTSTATUS PropSetEncoding(DeviceContext* Device, ULONG BitRate, ULONG PeakBitRate,
                         ULONG VariableBitRate, ULONG CaptureMode) {
  ULONG Limit;
  if (CaptureMode == CaptureModeMpeg2)
    Limit = Device->HighSpeed ? UNIT_BIT_RATE_MAX_MPEG2_HIGH_SPEED : UNIT_BIT_RATE_MAX_MPEG2;
  else if (CaptureMode == CaptureModeMpeg1 && VariableBitRate == 0)
    Limit = UNIT_BIT_RATE_MAX_MPEG1;
  else
    return STATUS_INVALID_PARAMETER;
  if (BitRate < UNIT_BIT_RATE_MIN || BitRate > Limit) return STATUS_INVALID_PARAMETER;
  if (CaptureMode == CaptureModeMpeg2 && (PeakBitRate < BitRate || PeakBitRate > Limit))
    return STATUS_INVALID_PARAMETER;

  Device->BitRate = BitRate;
  Device->PeakBitRate = PeakBitRate;
  Device->VariableBitRateSupport = VariableBitRate;
  Device->CaptureMode = CaptureMode;
  // Registry statuses never change the result.
  (void)SettingsSave(Device, SETTING_BIT_RATE, BitRate);
  (void)SettingsSave(Device, SETTING_PEAK_BIT_RATE, PeakBitRate);
  (void)SettingsSave(Device, SETTING_VARIABLE_BIT_RATE, VariableBitRate);
  (void)SettingsSave(Device, SETTING_CAPTURE_MODE, CaptureMode);
  return STATUS_SUCCESS;
}
