// The encoder sequences: whether the encoder microcode must be downloaded,
// the download of the image for the capture mode and video standard, the
// configuration of a fresh image, the start with the capture width and bit
// rate, and the stop with its optional flush.
//
// There are two parallel sets, MPEG-1 (CaptureMode 1) and MPEG-2 (CaptureMode
// 0). What they share (image choice, download, width lookup, stop) is driven
// by the per-mode table EncModes; the configuration and start sequences differ
// in their steps and in which failures end them, so each mode has its own.
// A step marked "go on" below has its status passed over; every other step
// ends its sequence on a negative status.
#include "kivenc.h"
#include "kivchip.h"
#include "utils.h"

namespace {

// Video standard groups: any of bits 0-2 is a 60-Hz NTSC standard, any of
// bits 4-11 a 50-Hz PAL standard (PAL-M included, SECAM not).
const ULONG EncNtscGroupMask = 0x00000007u;
const ULONG EncPalGroupMask = 0x00000FF0u;

// MPEG video frame-rate codes: 25 and 30000/1001 frames per second.
const ULONG EncFrameRate25 = 3;
const ULONG EncFrameRate2997 = 4;

// The path buffer of an encoder image download, in bytes.
const ULONG EncImagePathBytes = 1024;

// One capture width the encoder can scale to, with its horizontal size code.
struct EncWidthCode {
  ULONG Width;  // pixels
  ULONG Code;   // argument of EncMsgHorizontalSize
};

const EncWidthCode EncMpeg1Widths[] = {{480, 0}, {352, 1}, {320, 2}};
const EncWidthCode EncMpeg2Widths[] = {{720, 0}, {704, 1}, {544, 3}, {480, 4}, {352, 7}};

// What one MPEG mode's encoder needs from the unit's point of view.
struct EncMode {
  ULONG PalImage;               // LoadedImage id of the 50-Hz image
  ULONG NtscImage;              // LoadedImage id of the 60-Hz image
  PCWSTR PalValueName;          // registry value naming the 50-Hz image file
  PCWSTR NtscValueName;         // registry value naming the 60-Hz image file
  PCWSTR PalDefaultPath;        // built-in path when the value is absent
  PCWSTR NtscDefaultPath;
  const EncWidthCode* Widths;   // widths the mode accepts
  ULONG WidthCount;
  ULONG FallbackWidth;          // an unlisted width becomes this one
  ULONG FallbackCode;           // and is sent with this code
  ULONG MinBitRate;             // accepted bit-rate range, bit/s
  ULONG MaxBitRate;             // without HighSpeed
  ULONG MaxBitRateHighSpeed;    // with HighSpeed
  ULONG FallbackBitRate;        // an out-of-range rate becomes this one
  ULONG FallbackBitRateHighSpeed;
};

enum { EncModeMpeg1, EncModeMpeg2 };

const EncMode EncModes[] = {
    // EncModeMpeg1
    {ImageMpeg1Pal, ImageMpeg1Ntsc, L"Mpeg1EncoderMicrocodePAL", L"Mpeg1EncoderMicrocodeNTSC",
     L"\\systemroot\\SYSTEM32\\DRIVERS\\enc1pal.ux",
     L"\\systemroot\\SYSTEM32\\DRIVERS\\enc1ntsc.ux", EncMpeg1Widths,
     sizeof(EncMpeg1Widths) / sizeof(EncMpeg1Widths[0]), 352, 1, 1000000, 5000000, 5000000,
     1150000, 1150000},
    // EncModeMpeg2
    {ImageMpeg2Pal, ImageMpeg2Ntsc, L"Mpeg2EncoderMicrocodePAL", L"Mpeg2EncoderMicrocodeNTSC",
     L"\\systemroot\\SYSTEM32\\DRIVERS\\enc2pal.ux",
     L"\\systemroot\\SYSTEM32\\DRIVERS\\enc2ntsc.ux", EncMpeg2Widths,
     sizeof(EncMpeg2Widths) / sizeof(EncMpeg2Widths[0]), 720, 0, 1000000, 6000000, 8000000,
     4200000, 7000000},
};

// EncImageId: the LoadedImage id that the current VideoStandard gives for
// Mode: the 60-Hz image for the NTSC group, the 50-Hz one otherwise. Any IRQL.
ULONG EncImageId(const DeviceContext* Device, const EncMode* Mode) {
  return (Device->VideoStandard & EncNtscGroupMask) != 0 ? Mode->NtscImage : Mode->PalImage;
}

// EncFrameRateCode: the frame-rate code of the current VideoStandard. Any IRQL.
ULONG EncFrameRateCode(const DeviceContext* Device) {
  return (Device->VideoStandard & EncPalGroupMask) != 0 ? EncFrameRate25 : EncFrameRate2997;
}

// EncNeedsLoad: FALSE only when Mode's image for the current standard is the
// encoder image in the codec and the codec was not reset since. Any IRQL.
BOOLEAN EncNeedsLoad(const DeviceContext* Device, const EncMode* Mode) {
  if (Device->LoadedImageKind == ImageKindEncoder &&
      Device->LoadedImage == EncImageId(Device, Mode) && Device->CodecState != CodecUnloaded) {
    return FALSE;
  }
  return TRUE;
}

// EncLoadImage: downloads Mode's image for the current standard, its path
// from the registry value or else the built-in one. The 60-Hz image serves
// NTSC-M exactly, the 50-Hz one every other standard.
// Returns MicrocodeLoadImage's status, or STATUS_INSUFFICIENT_RESOURCES.
// PASSIVE_LEVEL, no lock.
NTSTATUS EncLoadImage(DeviceContext* Device, const EncMode* Mode) {
  const BOOLEAN ntsc = Device->VideoStandard == KS_AnalogVideo_NTSC_M;
  return CodecLoadImage(Device, ntsc ? Mode->NtscValueName : Mode->PalValueName,
                        ntsc ? Mode->NtscDefaultPath : Mode->PalDefaultPath,
                        EncImagePathBytes);
}

// EncLoad: the whole download of Mode's image and its configuration.
//   Configure  the mode's configuration sequence.
// Returns the first failing step's status, else Configure's. On success the
// codec is CodecReady with an encoder image and EncoderStarted is cleared;
// LoadedImage is recorded as soon as the image itself has been downloaded.
// PASSIVE_LEVEL, no lock.
NTSTATUS EncLoad(DeviceContext* Device, const EncMode* Mode,
                 NTSTATUS (*Configure)(DeviceContext*)) {
  const ULONG image = EncImageId(Device, Mode);
  NTSTATUS status = VendorBeginMicrocodeLoad(Device);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  status = EncLoadImage(Device, Mode);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  Device->LoadedImage = image;
  status = VendorFinishMicrocodeLoad(Device);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  status = Configure(Device);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  Device->EncoderStarted = FALSE;
  Device->LoadedImageKind = ImageKindEncoder;
  Device->CodecState = CodecReady;
  return status;
}

// EncSetWidth: sends the horizontal size code of Width for Mode; an unlisted
// width takes the mode's fallback. On success CaptureWidth is the width the
// code stands for. Returns the message's status. PASSIVE_LEVEL, no lock.
NTSTATUS EncSetWidth(DeviceContext* Device, const EncMode* Mode, ULONG Width) {
  ULONG width = Mode->FallbackWidth;
  ULONG code = Mode->FallbackCode;
  for (ULONG i = 0; i < Mode->WidthCount; ++i) {
    if (Mode->Widths[i].Width == Width) {
      width = Width;
      code = Mode->Widths[i].Code;
      break;
    }
  }
  const NTSTATUS status = EncMsgHorizontalSize(Device, code);
  if (NT_SUCCESS(status)) {
    Device->CaptureWidth = width;
  }
  return status;
}

// EncCheckBitRate: BitRate, or Mode's fallback when it lies outside the
// accepted range (which HighSpeed widens). Any IRQL.
ULONG EncCheckBitRate(const DeviceContext* Device, const EncMode* Mode, ULONG BitRate) {
  const ULONG max = Device->HighSpeed ? Mode->MaxBitRateHighSpeed : Mode->MaxBitRate;
  if (BitRate < Mode->MinBitRate || BitRate > max) {
    return Device->HighSpeed ? Mode->FallbackBitRateHighSpeed : Mode->FallbackBitRate;
  }
  return BitRate;
}

// EncStop: the stop order, both modes. In CodecRunning the stop message,
// then, for an encoder started since its download and with "FlushEncoder"
// on, the flush command once the stop message succeeded. Nothing is sent
// in other states: success in CodecReady, STATUS_UNSUCCESSFUL otherwise.
// Every case leaves CodecReady. PASSIVE_LEVEL, no lock.
NTSTATUS EncStop(DeviceContext* Device) {
  NTSTATUS status;
  if (Device->CodecState == CodecRunning) {
    status = EncMsgStop(Device);
    if (Device->EncoderStarted) {
      BOOLEAN flush = FALSE;
      (void)SettingsQueryFlag(Device, L"FlushEncoder", &flush);  // only the flag counts
      if (flush && NT_SUCCESS(status)) {
        status = VendorFlushEncoder(Device);
      }
    }
  } else if (Device->CodecState == CodecReady) {
    status = STATUS_SUCCESS;
  } else {
    status = STATUS_UNSUCCESSFUL;
  }
  Device->CodecState = CodecReady;
  return status;
}

}  // namespace

// CodecLoadImage: downloads the image file that the registry value ValueName
// names, or DefaultPath when the value cannot be read.
//   ValueName    registry value of the device's driver key.
//   DefaultPath  built-in full path, zero-terminated.
//   PathBytes    size of the path buffer to take, in bytes.
// Returns MicrocodeLoadImage's status; STATUS_INSUFFICIENT_RESOURCES when the
// path buffer cannot be had. PASSIVE_LEVEL, no lock; uses BulkUrb and BulkIrp,
// so no staged transfer may be in flight.
NTSTATUS CodecLoadImage(DeviceContext* Device, PCWSTR ValueName, PCWSTR DefaultPath,
                        ULONG PathBytes) {
  PWSTR path = (PWSTR)ExAllocatePoolWithTag(NonPagedPool, PathBytes, MPEGUNIT_POOL_TAG);
  if (path == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(path, PathBytes);
  if (MicrocodeQueryPath(Device, ValueName, PathBytes, path) != STATUS_SUCCESS) {
    const ULONG capacity = PathBytes / sizeof(WCHAR);
    ULONG i = 0;
    for (; i + 1 < capacity && DefaultPath[i] != 0; ++i) {
      path[i] = DefaultPath[i];
    }
    path[i] = 0;
  }
  const NTSTATUS status = MicrocodeLoadImage(Device, path);
  ExFreePoolWithTag(path, MPEGUNIT_POOL_TAG);
  return status;
}

// EncMpeg1NeedsLoad / EncMpeg2NeedsLoad: see EncNeedsLoad. Any IRQL.
BOOLEAN EncMpeg1NeedsLoad(DeviceContext* Device) {
  return EncNeedsLoad(Device, &EncModes[EncModeMpeg1]);
}

BOOLEAN EncMpeg2NeedsLoad(DeviceContext* Device) {
  return EncNeedsLoad(Device, &EncModes[EncModeMpeg2]);
}

// EncMpeg1Load / EncMpeg2Load: see EncLoad. PASSIVE_LEVEL, no lock.
NTSTATUS EncMpeg1Load(DeviceContext* Device) {
  return EncLoad(Device, &EncModes[EncModeMpeg1], EncMpeg1Configure);
}

NTSTATUS EncMpeg2Load(DeviceContext* Device) {
  return EncLoad(Device, &EncModes[EncModeMpeg2], EncMpeg2Configure);
}

// EncMpeg1LoadImage / EncMpeg2LoadImage: see EncLoadImage. PASSIVE_LEVEL.
NTSTATUS EncMpeg1LoadImage(DeviceContext* Device) {
  return EncLoadImage(Device, &EncModes[EncModeMpeg1]);
}

NTSTATUS EncMpeg2LoadImage(DeviceContext* Device) {
  return EncLoadImage(Device, &EncModes[EncModeMpeg2]);
}

// EncMpeg1Configure: the MPEG-1 configuration after a download. Ends at the
// first negative status except that of the frame-rate message; otherwise
// returns the last message's status. PASSIVE_LEVEL, no lock.
NTSTATUS EncMpeg1Configure(DeviceContext* Device) {
  NTSTATUS (*const leading[])(DeviceContext*) = {
      VendorInitEncoder, EncMsg0004, EncMsgB115, EncMsgC119, EncMsgC11A,
      EncMsgA004,        EncMsgA002, EncMsgA00E, EncMsgA001,
  };
  NTSTATUS status;
  for (ULONG i = 0; i < sizeof(leading) / sizeof(leading[0]); ++i) {
    status = leading[i](Device);
    if (!NT_SUCCESS(status)) {
      return status;
    }
  }
  (void)EncMsgFrameRate(Device, EncFrameRateCode(Device));  // go on
  ULONG delay = 0;
  (void)SettingsQueryDword(Device, L"Mpeg1MuxAudioDelay", &delay);  // 0 when absent
  status = EncMsgMux(Device, delay);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  status = EncMsgAudio(Device);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  return EncMsgA035(Device);
}

// EncMpeg2Configure: the MPEG-2 configuration after a download. Ends at a
// negative status of the first four steps; the frame-rate, mux and audio
// messages go on; returns the last message's status. PASSIVE_LEVEL, no lock.
NTSTATUS EncMpeg2Configure(DeviceContext* Device) {
  NTSTATUS (*const leading[])(DeviceContext*) = {
      VendorInitEncoder, EncMsg0004, EncMsgB115, EncMsgC119,
  };
  for (ULONG i = 0; i < sizeof(leading) / sizeof(leading[0]); ++i) {
    const NTSTATUS status = leading[i](Device);
    if (!NT_SUCCESS(status)) {
      return status;
    }
  }
  (void)EncMsgFrameRate(Device, EncFrameRateCode(Device));  // go on
  ULONG delay = 0;
  (void)SettingsQueryDword(Device, L"Mpeg2MuxAudioDelay", &delay);  // 0 when absent
  (void)EncMsgMux(Device, delay);                                   // go on
  (void)EncMsgAudio(Device);                                        // go on
  return EncMsgA035(Device);
}

// EncMpeg1Start: in CodecReady the encoder start command and the width (both
// go on), the bit rate (ends on failure) and the start order; EncoderStarted
// is set once the start order was sent, CodecRunning only when it succeeded.
// In CodecRunning nothing is sent and the result is success. In CodecUnloaded
// there is no encoder to start: nothing is sent or changed and the result is
// STATUS_INVALID_DEVICE_STATE. PASSIVE_LEVEL, no lock.
NTSTATUS EncMpeg1Start(DeviceContext* Device) {
  if (Device->CodecState == CodecUnloaded) {
    return STATUS_INVALID_DEVICE_STATE;
  }
  if (Device->CodecState != CodecReady) {
    Device->CodecState = CodecRunning;
    return STATUS_SUCCESS;
  }
  (void)VendorStartEncoder(Device);                       // go on
  (void)EncMpeg1SetWidth(Device, Device->CaptureWidth);  // go on
  NTSTATUS status = EncMpeg1SetBitRate(Device, Device->BitRate, Device->PeakBitRate, 0);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  status = EncMsgStart(Device, EncStartPrefixMpeg1);
  Device->EncoderStarted = TRUE;
  if (NT_SUCCESS(status)) {
    Device->CodecState = CodecRunning;
  }
  return status;
}

// EncMpeg2Start: in CodecReady the encoder start command, width, bit rate
// (variable when VariableBitRateSupport's low byte is set), messages 0x8011,
// 0xA004, 0xA002 and the start order, ending at the first negative status
// with CodecReady kept; success leaves CodecRunning with EncoderStarted set.
// Other states as EncMpeg1Start. PASSIVE_LEVEL, no lock.
NTSTATUS EncMpeg2Start(DeviceContext* Device) {
  if (Device->CodecState == CodecUnloaded) {
    return STATUS_INVALID_DEVICE_STATE;
  }
  if (Device->CodecState != CodecReady) {
    Device->CodecState = CodecRunning;
    return STATUS_SUCCESS;
  }
  NTSTATUS status = VendorStartEncoder(Device);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  status = EncMpeg2SetWidth(Device, Device->CaptureWidth);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  status = EncMpeg2SetBitRate(Device, Device->BitRate, Device->PeakBitRate,
                              Device->VariableBitRateSupport & 0xFFu);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  NTSTATUS (*const trailing[])(DeviceContext*) = {EncMsg8011, EncMsgA004, EncMsgA002};
  for (ULONG i = 0; i < sizeof(trailing) / sizeof(trailing[0]); ++i) {
    status = trailing[i](Device);
    if (!NT_SUCCESS(status)) {
      return status;
    }
  }
  status = EncMsgStart(Device, EncStartPrefixMpeg2);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  Device->EncoderStarted = TRUE;
  Device->CodecState = CodecRunning;
  return status;
}

// EncMpeg1SetBitRate: sends a constant bit rate, only in CodecReady (else
// STATUS_INVALID_DEVICE_STATE, nothing sent or stored). A rate outside
// 1,000,000..5,000,000 becomes 1,150,000. On success stores BitRate,
// PeakBitRate as given and VariableBitRateSupport := Variable's low byte.
// Returns the message's status. PASSIVE_LEVEL, no lock.
NTSTATUS EncMpeg1SetBitRate(DeviceContext* Device, ULONG BitRate, ULONG PeakBitRate,
                            ULONG Variable) {
  if (Device->CodecState != CodecReady) {
    return STATUS_INVALID_DEVICE_STATE;
  }
  const ULONG rate = EncCheckBitRate(Device, &EncModes[EncModeMpeg1], BitRate);
  const NTSTATUS status = EncMsgBitRate(Device, rate);
  if (NT_SUCCESS(status)) {
    Device->VariableBitRateSupport = Variable & 0xFFu;
    Device->BitRate = rate;
    Device->PeakBitRate = PeakBitRate;
  }
  return status;
}

// EncMpeg2SetBitRate: as EncMpeg1SetBitRate, with the MPEG-2 range
// (1,000,000..6,000,000, fallback 4,200,000; with HighSpeed ..8,000,000,
// fallback 7,000,000). When Variable's low byte is set the variable-rate
// message carries the rate and the peak (sent as given), else the constant
// rate is sent. PASSIVE_LEVEL, no lock.
NTSTATUS EncMpeg2SetBitRate(DeviceContext* Device, ULONG BitRate, ULONG PeakBitRate,
                            ULONG Variable) {
  if (Device->CodecState != CodecReady) {
    return STATUS_INVALID_DEVICE_STATE;
  }
  const ULONG rate = EncCheckBitRate(Device, &EncModes[EncModeMpeg2], BitRate);
  const ULONG variable = Variable & 0xFFu;
  const NTSTATUS status = variable != 0 ? EncMsgVariableBitRate(Device, rate, PeakBitRate)
                                        : EncMsgBitRate(Device, rate);
  if (NT_SUCCESS(status)) {
    Device->BitRate = rate;
    Device->VariableBitRateSupport = variable;
    Device->PeakBitRate = PeakBitRate;
  }
  return status;
}

// EncMpeg1SetWidth / EncMpeg2SetWidth: see EncSetWidth; no state test.
// PASSIVE_LEVEL, no lock.
NTSTATUS EncMpeg1SetWidth(DeviceContext* Device, ULONG Width) {
  return EncSetWidth(Device, &EncModes[EncModeMpeg1], Width);
}

NTSTATUS EncMpeg2SetWidth(DeviceContext* Device, ULONG Width) {
  return EncSetWidth(Device, &EncModes[EncModeMpeg2], Width);
}

// EncMpeg1Stop / EncMpeg2Stop: see EncStop. PASSIVE_LEVEL, no lock.
NTSTATUS EncMpeg1Stop(DeviceContext* Device) { return EncStop(Device); }

NTSTATUS EncMpeg2Stop(DeviceContext* Device) { return EncStop(Device); }
