// The video front end: start-up of the video decoder (bus device 0x21) and
// the output encoder (0x44), input selection, analog video standard with the
// capture-size rules that follow it, picture controls and the decoder's
// audio clock. Every register write is one VendorBusWrite whose first byte
// is the first register number. The output encoder cannot be read, so every
// write to it goes through VideoOutputWrite, which keeps VideoOutputShadow.
#include "kivchip.h"
#include "kivproto.h"
#include "devprop.h"
#include "uda1345.h"
#include "utils.h"

// ---- Start-up tables: first register number, then the values in register order ----

// Decoder 0x00-0x19: input, sync, picture controls (brightness 128, contrast 68,
// saturation 64, hue 0 at 0x0A-0x0D), composite input with sharpness 7.
static const UCHAR DecoderTableGeneral[] = {
    0x00,  // first register
    0x00, 0x08, 0xC0, 0x33, 0x00, 0x00, 0xEB, 0xE0, 0xF8, 0x47, 0x80, 0x44, 0x40,
    0x00, 0x01, 0x00, 0x0E, 0x40, 0x11, 0x80, 0x00, 0x11, 0xFE, 0x40, 0x40, 0x80};
// Decoder 0x40-0x5F: line and slicer control.
static const UCHAR DecoderTableLines[] = {
    0x40,  // first register
    0x00, 0xFF, 0xFF, 0xFF, 0xFF,                                            // 0x40-0x44
    0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77,                          // 0x45-0x4C
    0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77,                          // 0x4D-0x54
    0xFF, 0xFF, 0xFF, 0x00, 0x5B, 0x0A, 0x03, 0x00, 0xBE, 0x00, 0x00};        // 0x55-0x5F
// Decoder 0x30-0x3A: audio clock for 48000 Hz at 60 Hz fields (NTSC group).
static const UCHAR DecoderTableClockNtsc[] = {
    0x30,  // first register
    0xCD, 0x20, 0x03, 0x00, 0xCE, 0xFB, 0x30, 0x00, 0x03, 0x10, 0x00};
// Decoder 0x30-0x3A: audio clock for 48000 Hz at 50 Hz fields (PAL group).
static const UCHAR DecoderTableClockPal[] = {
    0x30,  // first register
    0x00, 0xC0, 0x03, 0x00, 0xCE, 0xFB, 0x30, 0x00, 0x03, 0x10, 0x00};
// Decoder 0x80-0x88: task and scaler set-up.
static const UCHAR DecoderTableTask[] = {
    0x80,  // first register
    0x00, 0x00, 0x00, 0x01, 0xF0, 0x08, 0xD0, 0x01, 0xC0};

// Output encoder 0x00-0x25: all zero.
static const UCHAR OutputTableLow[39] = {0x00 /* first register; the rest zero */};
// Output encoder 0x26-0x2E.
static const UCHAR OutputTableSync[] = {
    0x26,  // first register
    0x00, 0x00, 0xC9, 0x1D, 0x00, 0x00, 0x00, 0x00, 0x00};
// Output encoder 0x2F-0x39: all zero.
static const UCHAR OutputTableMiddle[12] = {0x2F /* first register; the rest zero */};
// Output encoder 0x3A.
static const UCHAR OutputTableControl[] = {0x3A, 0x13};
// Output encoder 0x5A-0x7F for the NTSC group; 0x63-0x66 the subcarrier 0x21F07C1F.
static const UCHAR OutputTableNtsc[] = {
    0x5A,  // first register
    0x67, 0x76, 0xA5, 0x6A, 0x2E, 0x2E, 0x00, 0x15, 0xBF, 0x1F, 0x7C, 0xF0, 0x21,
    0x55, 0x56, 0x67, 0x58, 0x12, 0xF9, 0x00, 0x80, 0x14, 0x80, 0xE8, 0x10, 0x42,
    0x03, 0x00, 0x05, 0x16, 0x04, 0x16, 0x18, 0x38, 0x40, 0x00, 0x00, 0x00};
// Output encoder 0x5A-0x7F otherwise; 0x63-0x66 the subcarrier 0x2A098ACB.
static const UCHAR OutputTablePal[] = {
    0x5A,  // first register
    0x3F, 0x76, 0xA5, 0x20, 0x2E, 0x2E, 0x00, 0x02, 0xAD, 0xCB, 0x8A, 0x09, 0x2A,
    0x55, 0x56, 0x67, 0x58, 0x12, 0xF9, 0x00, 0x80, 0x14, 0x80, 0xE8, 0x10, 0x42,
    0x03, 0x00, 0x05, 0x16, 0x04, 0x16, 0x18, 0x38, 0x40, 0x00, 0x00, 0x00};

static_assert(sizeof(DecoderTableGeneral) == 27, "decoder 0x00-0x19");
static_assert(sizeof(DecoderTableLines) == 33, "decoder 0x40-0x5F");
static_assert(sizeof(DecoderTableClockNtsc) == 12 && sizeof(DecoderTableClockPal) == 12,
              "decoder 0x30-0x3A");
static_assert(sizeof(DecoderTableTask) == 10, "decoder 0x80-0x88");
static_assert(sizeof(OutputTableSync) == 10, "output 0x26-0x2E");
static_assert(sizeof(OutputTableNtsc) == 39 && sizeof(OutputTablePal) == 39, "output 0x5A-0x7F");

// ---- Input modes: register 0x02 selects the input, 0x09 the S-video bit and sharpness 7 ----

struct VideoInputModeEntry {
  UCHAR InputSelect;  // decoder register 0x02
  UCHAR InputMode;    // decoder register 0x09
};
static const VideoInputModeEntry VideoInputModes[] = {
    {0xC0, 0x47},  // VideoInputComposite
    {0xC9, 0xC7},  // VideoInputSVideo
    {0xC3, 0x47},  // VideoInputFixed
};

// ---- Output registers rewritten whenever a standard is applied, in this order ----

struct VideoOutputStandardEntry {
  UCHAR Register;  // first register of the write
  UCHAR Count;     // values written
  UCHAR KeepMask;  // bits of a one-value write taken from the shadow
  UCHAR Ntsc[4];   // values for the NTSC group (outside KeepMask)
  UCHAR Pal[4];    // values otherwise
};
static const VideoOutputStandardEntry VideoOutputStandardWrites[] = {
    {0x62, 1, 0x80, {0x3F}, {0x2D}},                                      // subcarrier phase
    {0x28, 1, 0x00, {0x19}, {0x21}},                                      // burst start
    {0x29, 1, 0x00, {0x1D}, {0x1D}},                                      // burst end
    {0x5A, 1, 0x00, {0x67}, {0x3F}},                                      // chroma phase
    {0x61, 1, 0x40, {0x15}, {0x02}},                                      // standard; bit 6 = disable
    {0x5D, 1, 0x00, {0x6A}, {0x20}},                                      // black level
    {0x5E, 1, 0x00, {0x2E}, {0x02}},                                      // blanking level
    {0x63, 4, 0x00, {0x1F, 0x7C, 0xF0, 0x21}, {0xCB, 0x8A, 0x09, 0x2A}},  // subcarrier, LSB first
    {0x6C, 2, 0x00, {0xF9, 0x00}, {0xF9, 0x00}},                          // horizontal trigger
    {0x7A, 2, 0x00, {0x18, 0x38}, {0x18, 0x38}},                          // first active line
};

// ---- Audio clock words per sampling frequency ----

struct VideoAudioClockEntry {
  ULONG Frequency;       // Hz
  ULONG ClocksPerField50;  // round(256 x Frequency / 50)
  ULONG ClocksPerField60;  // round(256 x Frequency / 59.94)
  ULONG NominalIncrement;  // both field rates
};
static const VideoAudioClockEntry VideoAudioClocks[] = {
    {32000, 0x028000, 0x0215DE, 0x20A7DF},
    {44100, 0x037200, 0x02DFBC, 0x2D00F2},
    {48000, 0x03C000, 0x0320CD, 0x30FBCE},
};

// ---- Picture controls ----

struct VideoPictureControl {
  UCHAR Register;      // decoder register
  ULONG Maximum;       // highest accepted value; the lowest is 0
  PCWSTR SettingName;  // registry value
};
static const VideoPictureControl VideoBrightnessControl = {VIDEO_DECODER_REG_BRIGHTNESS, 255,
                                                           SETTING_BRIGHTNESS};
static const VideoPictureControl VideoContrastControl = {VIDEO_DECODER_REG_CONTRAST, 127,
                                                         SETTING_CONTRAST};
static const VideoPictureControl VideoSaturationControl = {VIDEO_DECODER_REG_SATURATION, 127,
                                                           SETTING_SATURATION};
static const VideoPictureControl VideoHueControl = {VIDEO_DECODER_REG_HUE, 127, SETTING_HUE};

#define VIDEO_SHARPNESS_MIN 1u
#define VIDEO_SHARPNESS_MAX 15u
#define VIDEO_SHARPNESS_BITS 0x0Fu

// ---- Capture sizes per capture mode and standard ----

static const VideoCaptureSizeRow VideoCaptureSizesMpeg1Ntsc = {3, {{480, 240}, {352, 240}, {320, 240}}};
static const VideoCaptureSizeRow VideoCaptureSizesMpeg1Other = {3, {{480, 288}, {352, 288}, {320, 288}}};
static const VideoCaptureSizeRow VideoCaptureSizesMpeg2Ntsc = {
    5, {{720, 480}, {704, 480}, {544, 480}, {480, 480}, {352, 480}}};
static const VideoCaptureSizeRow VideoCaptureSizesMpeg2Other = {
    5, {{720, 576}, {704, 576}, {544, 576}, {480, 576}, {352, 576}}};

#define VIDEO_STANDARD_NTSC_M 0x00000001u    // the one standard with 480- and 240-line sizes
#define VIDEO_STANDARD_NTSC_M_J 0x00000002u
#define VIDEO_STANDARD_PAL_BDGHI 0x000001F0u  // PAL_B, PAL_D, PAL_G, PAL_H, PAL_I
#define VIDEO_STANDARD_PAL_M 0x00000200u
#define VIDEO_STANDARD_SECAM 0x000FF000u     // SECAM_B .. SECAM_L1

// ---- Helpers ----

// VideoStandardIs: TRUE when Standard is one single standard bit and that
// bit is one of ClassBits; a value of several bits matches no class. Any IRQL.
static BOOLEAN VideoStandardIs(ULONG Standard, ULONG ClassBits) {
  return Standard != 0 && (Standard & (Standard - 1)) == 0 && (Standard & ClassBits) != 0;
}

// VideoDecoderWrite: writes Value to decoder register Register (two-byte bus
// write). Returns the bus write's status. PASSIVE_LEVEL, no lock.
static NTSTATUS VideoDecoderWrite(DeviceContext* Device, UCHAR Register, UCHAR Value) {
  const UCHAR Bytes[2] = {Register, Value};
  return VendorBusWrite(Device, KIV_BUS_VIDEO_DECODER, sizeof(Bytes), Bytes);
}

// VideoDecoderRead: addresses decoder register Register with a one-byte
// write (its status is not examined: the read answers for it) and reads one
// byte into *Value. Returns the read's status; *Value is written only on
// success. PASSIVE_LEVEL, no lock.
static NTSTATUS VideoDecoderRead(DeviceContext* Device, UCHAR Register, UCHAR* Value) {
  UCHAR Byte = 0;
  (void)VendorBusWrite(Device, KIV_BUS_VIDEO_DECODER, 1, &Register);
  NTSTATUS Status = VendorBusRead(Device, KIV_BUS_VIDEO_DECODER, 1, &Byte);
  if (NT_SUCCESS(Status)) *Value = Byte;
  return Status;
}

// VideoDecoderUpdate: read-modify-write of decoder register Register: keeps
// the bits of Keep, then ORs in Set. A failed read ends it with its status.
// PASSIVE_LEVEL, no lock.
static NTSTATUS VideoDecoderUpdate(DeviceContext* Device, UCHAR Register, UCHAR Keep, UCHAR Set) {
  UCHAR Value = 0;
  NTSTATUS Status = VideoDecoderRead(Device, Register, &Value);
  if (!NT_SUCCESS(Status)) return Status;
  return VideoDecoderWrite(Device, Register, (UCHAR)((Value & Keep) | Set));
}

// VideoOutputUpdate: rewrites output register Register from the shadow,
// keeping the bits of Keep and ORing in Set. PASSIVE_LEVEL, no lock.
static NTSTATUS VideoOutputUpdate(DeviceContext* Device, UCHAR Register, UCHAR Keep, UCHAR Set) {
  const UCHAR Bytes[2] = {Register,
                          (UCHAR)((Device->VideoOutputShadow[Register] & Keep) | Set)};
  return VideoOutputWrite(Device, sizeof(Bytes), Bytes);
}

// VideoSetPictureControl: the shared path of the four plain picture
// controls: validate, write the register, then record and persist. *Field is
// the control's DeviceContext field. PASSIVE_LEVEL, no lock.
static NTSTATUS VideoSetPictureControl(DeviceContext* Device, const VideoPictureControl* Control,
                                       ULONG Value, ULONG* Field) {
  if (Value > Control->Maximum) return STATUS_INVALID_PARAMETER;
  if (VideoDecoderWrite(Device, Control->Register, (UCHAR)Value) != STATUS_SUCCESS)
    return STATUS_IO_DEVICE_ERROR;
  *Field = Value;
  (void)SettingsSave(Device, Control->SettingName, Value);  // never changes the result
  return STATUS_SUCCESS;
}

// ---- Operations ----

// VideoOutputWrite: see kivchip.h. Count must be at least 1; the values must
// fit below register 0x80 (the shadow's size), else STATUS_INVALID_PARAMETER
// and nothing is sent. PASSIVE_LEVEL, no lock.
NTSTATUS VideoOutputWrite(DeviceContext* Device, ULONG Count, const UCHAR* Bytes) {
  if (Count == 0 || Bytes[0] + (Count - 1) > sizeof(Device->VideoOutputShadow))
    return STATUS_INVALID_PARAMETER;
  NTSTATUS Status = VendorBusWrite(Device, KIV_BUS_VIDEO_OUTPUT, Count, Bytes);
  if (!NT_SUCCESS(Status)) return Status;
  RtlCopyMemory(&Device->VideoOutputShadow[Bytes[0]], Bytes + 1, Count - 1);
  return Status;
}

// VideoFrontEndInit: reads the revision; on 0x1003 sends codec command 0x01,
// the decoder and output tables and the audio codec start-up, each whatever
// the previous step returned. No result. PASSIVE_LEVEL, no lock.
VOID VideoFrontEndInit(DeviceContext* Device) {
  (void)VendorReadRevision(Device);  // an unread revision leaves HardwareRevision as it was
  if (Device->HardwareRevision != KIV_REVISION_1003) return;
  (void)AudioCodecCommand1(Device);
  (void)VideoInitDecoder(Device);
  (void)VideoInitOutput(Device);
  AudioCodecInit(Device);
}

// VideoInitDecoder: sends the decoder's start-up tables, stopping at the
// first failed write, then selects VideoInput whatever happened. Returns the
// input selection's status. PASSIVE_LEVEL, no lock.
NTSTATUS VideoInitDecoder(DeviceContext* Device) {
  const UCHAR* Clock = nullptr;
  ULONG ClockCount = 0;
  if (Device->VideoStandard & VIDEO_NTSC_GROUP_MASK) {
    Clock = DecoderTableClockNtsc;
    ClockCount = sizeof(DecoderTableClockNtsc);
  } else if (Device->VideoStandard & VIDEO_PAL_GROUP_MASK) {
    Clock = DecoderTableClockPal;
    ClockCount = sizeof(DecoderTableClockPal);
  }
  NTSTATUS Status =
      VendorBusWrite(Device, KIV_BUS_VIDEO_DECODER, sizeof(DecoderTableGeneral), DecoderTableGeneral);
  if (NT_SUCCESS(Status))
    Status = VendorBusWrite(Device, KIV_BUS_VIDEO_DECODER, sizeof(DecoderTableLines),
                            DecoderTableLines);
  if (NT_SUCCESS(Status) && Clock != nullptr)
    Status = VendorBusWrite(Device, KIV_BUS_VIDEO_DECODER, ClockCount, Clock);
  if (NT_SUCCESS(Status))
    (void)VendorBusWrite(Device, KIV_BUS_VIDEO_DECODER, sizeof(DecoderTableTask), DecoderTableTask);
  return VideoSelectInput(Device, Device->VideoInput);
}

// VideoInitOutput: sends the output encoder's start-up tables through
// VideoOutputWrite; stops at the first failure and returns its status.
// PASSIVE_LEVEL, no lock.
NTSTATUS VideoInitOutput(DeviceContext* Device) {
  const BOOLEAN Ntsc = (Device->VideoStandard & VIDEO_NTSC_GROUP_MASK) != 0;
  struct Table {
    const UCHAR* Bytes;
    ULONG Count;
  };
  const Table Tables[] = {
      {OutputTableLow, sizeof(OutputTableLow)},
      {OutputTableSync, sizeof(OutputTableSync)},
      {OutputTableMiddle, sizeof(OutputTableMiddle)},
      {OutputTableControl, sizeof(OutputTableControl)},
      {Ntsc ? OutputTableNtsc : OutputTablePal, sizeof(OutputTableNtsc)},
  };
  NTSTATUS Status = STATUS_SUCCESS;
  for (ULONG i = 0; i < sizeof(Tables) / sizeof(Tables[0]) && NT_SUCCESS(Status); ++i)
    Status = VideoOutputWrite(Device, Tables[i].Count, Tables[i].Bytes);
  return Status;
}

// VideoSetInputMode: writes decoder registers 0x02 and 0x09 for Mode (a
// VideoInputMode). The first write's status is not examined; returns the
// second's. STATUS_INVALID_PARAMETER for an unknown mode. PASSIVE_LEVEL.
NTSTATUS VideoSetInputMode(DeviceContext* Device, ULONG Mode) {
  if (Mode >= sizeof(VideoInputModes) / sizeof(VideoInputModes[0])) return STATUS_INVALID_PARAMETER;
  (void)VideoDecoderWrite(Device, VIDEO_DECODER_REG_INPUT, VideoInputModes[Mode].InputSelect);
  return VideoDecoderWrite(Device, VIDEO_DECODER_REG_INPUT_MODE, VideoInputModes[Mode].InputMode);
}

// VideoSelectInput: see kivchip.h. An index beyond the crossbar's input pins
// is refused with STATUS_INVALID_PARAMETER, nothing sent. PASSIVE_LEVEL, no lock.
NTSTATUS VideoSelectInput(DeviceContext* Device, ULONG Input) {
  if (Input >= CROSSBAR_INPUT_PIN_COUNT) return STATUS_INVALID_PARAMETER;
  ULONG Mode;
  switch (CrossbarInputPins[Input].PinType) {
    case KS_PhysConn_Video_Composite: Mode = VideoInputComposite; break;
    case KS_PhysConn_Video_SVideo: Mode = VideoInputSVideo; break;
    default: return STATUS_NOT_IMPLEMENTED;
  }
  NTSTATUS Status = VideoSetInputMode(Device, Mode);
  if (Status != STATUS_SUCCESS) return Status;
  Device->VideoInput = Input;
  (void)SettingsSave(Device, SETTING_VIDEO_INPUT, Input);  // never changes the result
  return STATUS_SUCCESS;
}

// VideoSetDecoderStandard: sets the colour-standard bits of decoder register
// 0x0E and the 60-Hz bit of 0x08 for Standard (unknown values write the
// registers back unchanged), then programs the audio clock for the recorded
// standard. Returns the first failure or the audio clock's status.
// PASSIVE_LEVEL, no lock.
NTSTATUS VideoSetDecoderStandard(DeviceContext* Device, ULONG Standard) {
  UCHAR Keep = 0xFF;
  UCHAR Set = 0x00;
  if (VideoStandardIs(Standard, VIDEO_STANDARD_NTSC_M | VIDEO_STANDARD_PAL_BDGHI)) {
    Keep = 0x8F;
  } else if (VideoStandardIs(Standard, VIDEO_STANDARD_NTSC_M_J)) {
    Keep = 0x8F, Set = 0x40;
  } else if (VideoStandardIs(Standard, VIDEO_STANDARD_PAL_M)) {
    Keep = 0x8F, Set = 0x30;
  } else if (VideoStandardIs(Standard, VIDEO_STANDARD_SECAM)) {
    Keep = 0x8F, Set = 0x50;
  }
  NTSTATUS Status = VideoDecoderUpdate(Device, VIDEO_DECODER_REG_STANDARD, Keep, Set);
  if (!NT_SUCCESS(Status)) return Status;

  Keep = 0xFF, Set = 0x00;
  if (VideoStandardIs(Standard, VIDEO_STANDARD_NTSC_M | VIDEO_STANDARD_NTSC_M_J | VIDEO_STANDARD_PAL_M)) {
    Keep = 0xBF, Set = 0x40;
  } else if (VideoStandardIs(Standard, VIDEO_STANDARD_PAL_BDGHI | VIDEO_STANDARD_SECAM)) {
    Keep = 0xBF;
  }
  Status = VideoDecoderUpdate(Device, VIDEO_DECODER_REG_SYNC, Keep, Set);
  if (!NT_SUCCESS(Status)) return Status;

  return VideoSetAudioClock(Device, Device->AudioSamplingFrequency);
}

// VideoSetOutputStandard: rewrites the output encoder's standard registers
// for the NTSC group or, for any other value, PAL. Only the last write's
// status is returned. PASSIVE_LEVEL, no lock.
NTSTATUS VideoSetOutputStandard(DeviceContext* Device, ULONG Standard) {
  const BOOLEAN Ntsc = (Standard & VIDEO_NTSC_GROUP_MASK) != 0;
  const ULONG Count = sizeof(VideoOutputStandardWrites) / sizeof(VideoOutputStandardWrites[0]);
  NTSTATUS Status = STATUS_SUCCESS;
  for (ULONG i = 0; i < Count; ++i) {
    const VideoOutputStandardEntry* Entry = &VideoOutputStandardWrites[i];
    const UCHAR* Values = Ntsc ? Entry->Ntsc : Entry->Pal;
    UCHAR Bytes[1 + sizeof(Entry->Ntsc)];
    Bytes[0] = Entry->Register;
    for (ULONG j = 0; j < Entry->Count; ++j) Bytes[1 + j] = Values[j];
    if (Entry->KeepMask != 0)
      Bytes[1] = (UCHAR)((Device->VideoOutputShadow[Entry->Register] & Entry->KeepMask) |
                         (Values[0] & ~Entry->KeepMask));
    Status = VideoOutputWrite(Device, 1 + Entry->Count, Bytes);  // all but the last ignored
  }
  return Status;
}

// VideoSetStandard: see kivchip.h. Nothing is recorded when the decoder or
// the output encoder fails; the settings store is written only when the
// capture size had to be reset. PASSIVE_LEVEL, no lock.
NTSTATUS VideoSetStandard(DeviceContext* Device, ULONG Standard) {
  NTSTATUS Status = VideoSetDecoderStandard(Device, Standard);
  if (!NT_SUCCESS(Status)) return Status;
  Status = VideoSetOutputStandard(Device, Standard);
  if (Status != STATUS_SUCCESS) return Status;
  Device->VideoStandard = Standard;
  if (VideoIsCaptureSizeValid(Standard, Device->CaptureMode, Device->CaptureWidth,
                              Device->CaptureHeight))
    return STATUS_SUCCESS;

  const BOOLEAN NtscM = Standard == VIDEO_STANDARD_NTSC_M;
  if (Device->CaptureMode == CaptureModeMpeg2) {
    Device->CaptureWidth = 720;
    Device->CaptureHeight = NtscM ? 480 : 576;
  } else {
    Device->CaptureWidth = 480;
    Device->CaptureHeight = NtscM ? 240 : 288;
  }
  (void)SettingsSave(Device, SETTING_HORZ_RESOLUTION, Device->CaptureWidth);  // statuses never
  (void)SettingsSave(Device, SETTING_VERT_RESOLUTION, Device->CaptureHeight);  // change the result
  (void)SettingsSave(Device, SETTING_VIDEO_STANDARD, Standard);
  return STATUS_SUCCESS;
}

// VideoSetFixedInput: see kivchip.h. PASSIVE_LEVEL, no lock.
NTSTATUS VideoSetFixedInput(DeviceContext* Device, BOOLEAN Fixed) {
  NTSTATUS Status = Fixed ? VideoSetInputMode(Device, VideoInputFixed)
                          : VideoSelectInput(Device, Device->VideoInput);
  if (Status != STATUS_SUCCESS) return Status;
  Status = VideoSetStandard(Device, Device->VideoStandard);
  if (Status != STATUS_SUCCESS) return Status;
  // Register 0x08: bit 7 clear and bit 2 set on the fixed input, the reverse otherwise.
  Status = Fixed ? VideoDecoderUpdate(Device, VIDEO_DECODER_REG_SYNC, 0x7F, 0x04)
                 : VideoDecoderUpdate(Device, VIDEO_DECODER_REG_SYNC, 0xFB, 0x80);
  if (Status != STATUS_SUCCESS) return Status;
  Status = VideoDecoderUpdate(Device, VIDEO_DECODER_REG_OUTPUT, 0x7F, 0x00);
  if (Status != STATUS_SUCCESS) return Status;
  return VideoOutputUpdate(Device, VIDEO_OUTPUT_REG_TIMING, 0x7F, 0x00);
}

// VideoDisableOutput: see kivchip.h. PASSIVE_LEVEL, no lock.
NTSTATUS VideoDisableOutput(DeviceContext* Device, BOOLEAN Disable) {
  return VideoOutputUpdate(Device, VIDEO_OUTPUT_REG_ENABLE, 0xBF, Disable ? 0x40 : 0x00);
}

// VideoSetAudioClock: see kivchip.h. Sends register 0x30, three bytes of
// clocks per field, 0x00 for register 0x33 and three bytes of the nominal
// increment, both words least significant byte first. PASSIVE_LEVEL.
NTSTATUS VideoSetAudioClock(DeviceContext* Device, ULONG SamplingFrequency) {
  BOOLEAN FiftyHz;
  if (Device->VideoStandard & VIDEO_PAL_GROUP_MASK)
    FiftyHz = TRUE;
  else if (Device->VideoStandard & VIDEO_NTSC_GROUP_MASK)
    FiftyHz = FALSE;
  else
    return STATUS_UNSUCCESSFUL;

  const VideoAudioClockEntry* Entry = nullptr;
  for (ULONG i = 0; i < sizeof(VideoAudioClocks) / sizeof(VideoAudioClocks[0]); ++i)
    if (VideoAudioClocks[i].Frequency == SamplingFrequency) Entry = &VideoAudioClocks[i];
  if (Entry == nullptr) return STATUS_UNSUCCESSFUL;

  const ULONG Clocks = FiftyHz ? Entry->ClocksPerField50 : Entry->ClocksPerField60;
  const ULONG Increment = Entry->NominalIncrement;
  const UCHAR Bytes[8] = {VIDEO_DECODER_REG_AUDIO_CLOCK,
                          (UCHAR)Clocks, (UCHAR)(Clocks >> 8), (UCHAR)(Clocks >> 16),
                          0x00,
                          (UCHAR)Increment, (UCHAR)(Increment >> 8), (UCHAR)(Increment >> 16)};
  return VendorBusWrite(Device, KIV_BUS_VIDEO_DECODER, sizeof(Bytes), Bytes);
}

// Picture-control set operations: see kivchip.h. PASSIVE_LEVEL, no lock.
NTSTATUS VideoSetBrightness(DeviceContext* Device, ULONG Value) {
  return VideoSetPictureControl(Device, &VideoBrightnessControl, Value, &Device->Brightness);
}

NTSTATUS VideoSetContrast(DeviceContext* Device, ULONG Value) {
  return VideoSetPictureControl(Device, &VideoContrastControl, Value, &Device->Contrast);
}

NTSTATUS VideoSetSaturation(DeviceContext* Device, ULONG Value) {
  return VideoSetPictureControl(Device, &VideoSaturationControl, Value, &Device->Saturation);
}

NTSTATUS VideoSetHue(DeviceContext* Device, ULONG Value) {
  return VideoSetPictureControl(Device, &VideoHueControl, Value, &Device->Hue);
}

// VideoSetSharpness: replaces bits 0-3 of decoder register 0x09, keeping the
// input-mode bits read from the decoder. When that read fails the register
// is not written (its other bits would be unknown): STATUS_IO_DEVICE_ERROR.
// PASSIVE_LEVEL, no lock.
NTSTATUS VideoSetSharpness(DeviceContext* Device, ULONG Value) {
  if (Value < VIDEO_SHARPNESS_MIN || Value > VIDEO_SHARPNESS_MAX) return STATUS_INVALID_PARAMETER;
  if (VideoDecoderUpdate(Device, VIDEO_DECODER_REG_INPUT_MODE, (UCHAR)~VIDEO_SHARPNESS_BITS,
                         (UCHAR)Value) != STATUS_SUCCESS)
    return STATUS_IO_DEVICE_ERROR;
  Device->Sharpness = Value;
  (void)SettingsSave(Device, SETTING_SHARPNESS, Value);  // never changes the result
  return STATUS_SUCCESS;
}

// Picture-control reads: see kivchip.h. PASSIVE_LEVEL, no lock.
NTSTATUS VideoReadBrightness(DeviceContext* Device, UCHAR* Value) {
  return VideoDecoderRead(Device, VIDEO_DECODER_REG_BRIGHTNESS, Value);
}

NTSTATUS VideoReadContrast(DeviceContext* Device, UCHAR* Value) {
  return VideoDecoderRead(Device, VIDEO_DECODER_REG_CONTRAST, Value);
}

NTSTATUS VideoReadSaturation(DeviceContext* Device, UCHAR* Value) {
  return VideoDecoderRead(Device, VIDEO_DECODER_REG_SATURATION, Value);
}

NTSTATUS VideoReadHue(DeviceContext* Device, UCHAR* Value) {
  return VideoDecoderRead(Device, VIDEO_DECODER_REG_HUE, Value);
}

// VideoCaptureSizesFor: see kivchip.h. Any IRQL.
const VideoCaptureSizeRow* VideoCaptureSizesFor(ULONG CaptureMode, ULONG Standard) {
  const BOOLEAN NtscM = Standard == VIDEO_STANDARD_NTSC_M;
  if (CaptureMode == CaptureModeMpeg1)
    return NtscM ? &VideoCaptureSizesMpeg1Ntsc : &VideoCaptureSizesMpeg1Other;
  if (CaptureMode == CaptureModeMpeg2)
    return NtscM ? &VideoCaptureSizesMpeg2Ntsc : &VideoCaptureSizesMpeg2Other;
  return nullptr;
}

// VideoIsCaptureSizeValid: see kivchip.h. Any IRQL.
BOOLEAN VideoIsCaptureSizeValid(ULONG Standard, ULONG CaptureMode, ULONG Width, ULONG Height) {
  const VideoCaptureSizeRow* Row = VideoCaptureSizesFor(CaptureMode, Standard);
  if (Row == nullptr) return FALSE;
  for (ULONG i = 0; i < Row->Count; ++i)
    if (Row->Sizes[i].Width == Width && Row->Sizes[i].Height == Height) return TRUE;
  return FALSE;
}

// VideoSetCaptureSize: see kivchip.h. PASSIVE_LEVEL, no lock.
NTSTATUS VideoSetCaptureSize(DeviceContext* Device, ULONG Width, ULONG Height) {
  if (!VideoIsCaptureSizeValid(Device->VideoStandard, Device->CaptureMode, Width, Height))
    return STATUS_NOT_SUPPORTED;
  Device->CaptureWidth = Width;
  Device->CaptureHeight = Height;
  (void)SettingsSave(Device, SETTING_HORZ_RESOLUTION, Width);  // statuses never change the result
  (void)SettingsSave(Device, SETTING_VERT_RESOLUTION, Height);
  return STATUS_SUCCESS;
}
