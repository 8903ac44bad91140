// Device property dispatch, the property tables (devprop_tables.cpp) and the
// set handlers (devprop.cpp) of the five device property sets: video
// processing amplifier, video decoder, video compression, crossbar and the
// vendor set PROPSETID_UNIT_CONTROL.
//
// The handlers run at PASSIVE_LEVEL in the device request loop, one request
// at a time, and take no lock. Each is entered with the request's Status
// STATUS_SUCCESS, overwrites it on failure, sets ActualBytesTransferred and
// leaves completion to the loop; none returns STATUS_PENDING. The class
// driver has checked set, item, get/set support and the minimum sizes of the
// tables before a handler runs; the handlers still check the data buffer
// before touching a record.
#pragma once

#include "mpegunit.h"

// The device property set table handed to the class driver with the stream header.
extern const KSPROPERTY_SET DevicePropertySets[];
#define DEVICE_PROPERTY_SET_COUNT 5

// ---- The vendor set ----

#define STATIC_PROPSETID_UNIT_CONTROL \
  0xC662F340, 0xBA96, 0x11D2, 0xB3, 0xDB, 0x00, 0x10, 0x4B, 0x94, 0x6F, 0x85
extern const GUID PROPSETID_UNIT_CONTROL;  // {C662F340-BA96-11D2-B3DB-00104B946F85}

enum KSPROPERTY_UNIT_CONTROL {
  KSPROPERTY_UNIT_ENCODING = 1,       // get/set KSPROPERTY_UNIT_ENCODING_S
  KSPROPERTY_UNIT_AUDIO_VOLUME = 2,   // get/set KSPROPERTY_UNIT_AUDIO_VOLUME_S
  KSPROPERTY_UNIT_AUDIO_FORMAT = 3,   // get/set KSPROPERTY_UNIT_AUDIO_FORMAT_S
  KSPROPERTY_UNIT_ENCODING_CAPS = 4,  // get KSPROPERTY_UNIT_ENCODING_CAPS_S
  KSPROPERTY_UNIT_AUDIO_CAPS = 5,     // get KSPROPERTY_UNIT_AUDIO_CAPS_S
  KSPROPERTY_UNIT_MEMORY = 6,         // get/set KSPROPERTY_UNIT_MEMORY_S
  KSPROPERTY_UNIT_AUDIO_MUTE = 7,     // get/set KSPROPERTY_UNIT_AUDIO_MUTE_S
  KSPROPERTY_UNIT_IDLE = 8            // set only, no data: the unit back to idle
};

// The vendor records: the 24-byte KSPROPERTY first, little-endian numbers,
// no padding (the audio records end on a 2- or 4-byte boundary).
#pragma pack(push, 1)
struct KSPROPERTY_UNIT_ENCODING_S {
  KSPROPERTY Property;
  ULONG BitRate;          // bits per second; BitRate
  ULONG PeakBitRate;      // bits per second; PeakBitRate
  ULONG VariableBitRate;  // 1 variable, 0 constant; VariableBitRateSupport
  ULONG Width;            // CaptureWidth
  ULONG Height;           // CaptureHeight
  ULONG CaptureMode;      // CaptureModeMpeg2 or CaptureModeMpeg1
};
struct KSPROPERTY_UNIT_AUDIO_VOLUME_S {
  KSPROPERTY Property;
  LONG Level;  // -50..0; AudioVolumeLevel
};
struct KSPROPERTY_UNIT_AUDIO_FORMAT_S {
  KSPROPERTY Property;
  ULONG SamplingFrequency;  // 32000, 44100 or 48000; AudioSamplingFrequency
  UCHAR Flag1;              // AudioFlag1
  UCHAR Flag2;              // AudioFlag2
};
#define UNIT_MAX_CAPTURE_SIZES 10u
struct UNIT_CAPTURE_SIZE {
  ULONG Width;   // pixels
  ULONG Height;  // lines
};
struct KSPROPERTY_UNIT_ENCODING_CAPS_S {
  KSPROPERTY Property;
  ULONG MinBitRate;         // lowest bit rate
  ULONG MaxBitRate;         // highest bit rate for the capture mode and bus
  ULONG VariableBitRate;    // variable bit rate available
  ULONG DefaultBitRate;     // default for the capture mode and bus
  ULONG BitRateStep;        // bits per second
  ULONG CaptureSizeCount;   // pairs in CaptureSizes that are filled
  UNIT_CAPTURE_SIZE CaptureSizes[UNIT_MAX_CAPTURE_SIZES];  // the size row; the rest left as sent
};
#define UNIT_AUDIO_FREQUENCY_COUNT 3u
struct KSPROPERTY_UNIT_AUDIO_CAPS_S {
  KSPROPERTY Property;
  ULONG DefaultFrequency;                        // 48000
  ULONG FrequencyCount;                          // 3
  ULONG Frequencies[UNIT_AUDIO_FREQUENCY_COUNT];  // 48000, 44100, 32000
  LONG MinLevel;                                 // -50
  LONG MaxLevel;                                 // 0
  LONG DefaultLevel;                             // 0
  LONG LevelStep;                                // 1
};
#define UNIT_MEMORY_READ_SIZE 32u
struct UNIT_MEMORY_WRITE {
  USHORT Address;  // the unit memory address written
  UCHAR Value;     // the byte stored there
};
struct KSPROPERTY_UNIT_MEMORY_S {
  KSPROPERTY Property;
  union {
    UCHAR Bytes[UNIT_MEMORY_READ_SIZE];  // get: unit memory at addresses 0..31
    UNIT_MEMORY_WRITE Write;             // set
  };
};
struct KSPROPERTY_UNIT_AUDIO_MUTE_S {
  KSPROPERTY Property;
  ULONG Mute;  // get: 1 muted, 0 not; set: only the low byte counts, non-zero mutes
};
#pragma pack(pop)

static_assert(sizeof(KSPROPERTY) == 24, "KSPROPERTY header");
static_assert(sizeof(KSPROPERTY_UNIT_ENCODING_S) == 48, "encoding record");
static_assert(sizeof(KSPROPERTY_UNIT_AUDIO_VOLUME_S) == 28, "audio volume record");
static_assert(sizeof(KSPROPERTY_UNIT_AUDIO_FORMAT_S) == 30, "audio format record");
static_assert(sizeof(KSPROPERTY_UNIT_ENCODING_CAPS_S) == 128, "encoding caps record");
static_assert(sizeof(KSPROPERTY_UNIT_AUDIO_CAPS_S) == 60, "audio caps record");
static_assert(sizeof(KSPROPERTY_UNIT_MEMORY_S) == 56, "memory record");
static_assert(sizeof(KSPROPERTY_UNIT_AUDIO_MUTE_S) == 28, "audio mute record");

// ---- Encoding limits the vendor set enforces and reports ----

#define UNIT_BIT_RATE_MIN 1000000u                // every capture mode
#define UNIT_BIT_RATE_MAX_MPEG1 5000000u
#define UNIT_BIT_RATE_MAX_MPEG2 6000000u          // full-speed bus
#define UNIT_BIT_RATE_MAX_MPEG2_HIGH_SPEED 8000000u
#define UNIT_BIT_RATE_DEFAULT_MPEG1 1150000u
#define UNIT_BIT_RATE_DEFAULT_MPEG2 4200000u      // full-speed bus
#define UNIT_BIT_RATE_DEFAULT_MPEG2_HIGH_SPEED 7000000u
#define UNIT_BIT_RATE_STEP 1000u

// ---- The crossbar ----

// One crossbar pin: its connector type, the pin it relates to and its medium
// (an entry of the stream tables' CrossbarMediums).
struct CrossbarPin {
  ULONG PinType;            // KS_PhysConn_*
  ULONG RelatedPinIndex;    // the pin of the other kind that belongs with it
  const KSPIN_MEDIUM* Medium;
};
#define CROSSBAR_INPUT_PIN_COUNT 3u   // composite, S-video, audio line
#define CROSSBAR_OUTPUT_PIN_COUNT 2u  // video decoder, audio decoder
#define CROSSBAR_NO_INPUT 0xFFFFFFFFu  // route index: nothing routed to the output
extern const CrossbarPin CrossbarInputPins[CROSSBAR_INPUT_PIN_COUNT];
extern const CrossbarPin CrossbarOutputPins[CROSSBAR_OUTPUT_PIN_COUNT];

// ---- Handlers ----

// SRB_GET_DEVICE_PROPERTY / SRB_SET_DEVICE_PROPERTY: route by set GUID to
// the set handler; an unknown set gives STATUS_NOT_IMPLEMENTED.
VOID PropDeviceGet(PHW_STREAM_REQUEST_BLOCK Request);
VOID PropDeviceSet(PHW_STREAM_REQUEST_BLOCK Request);
// Set handlers; an item a handler does not serve gives STATUS_NOT_IMPLEMENTED.
VOID PropProcAmpGet(PHW_STREAM_REQUEST_BLOCK Request);
VOID PropProcAmpSet(PHW_STREAM_REQUEST_BLOCK Request);
VOID PropDecoderGet(PHW_STREAM_REQUEST_BLOCK Request);
VOID PropDecoderSet(PHW_STREAM_REQUEST_BLOCK Request);
VOID PropCompressionGet(PHW_STREAM_REQUEST_BLOCK Request);
VOID PropCompressionSet(PHW_STREAM_REQUEST_BLOCK Request);
VOID PropCrossbarGet(PHW_STREAM_REQUEST_BLOCK Request);
VOID PropCrossbarSet(PHW_STREAM_REQUEST_BLOCK Request);
VOID PropUnitGet(PHW_STREAM_REQUEST_BLOCK Request);
VOID PropUnitSet(PHW_STREAM_REQUEST_BLOCK Request);

// Records BitRate and writes "BitRate"; returns the registry write's status
// (callers ignore it). Nothing is sent to the unit. PASSIVE_LEVEL.
NTSTATUS PropSetBitRate(DeviceContext* Device, ULONG BitRate);
// Validates and records the encoding parameters for CaptureMode (MPEG-2 up
// to 6,000,000 bit/s, 8,000,000 on a high-speed bus, peak from the bit rate
// to that limit; MPEG-1 constant rate up to 5,000,000) and writes "BitRate",
// "PeakBitRate", "VariableBitRateSupport" and "CaptureMode".
// STATUS_INVALID_PARAMETER, nothing recorded, when a value is out of range.
// Called by the vendor set and the settings load. PASSIVE_LEVEL.
NTSTATUS PropSetEncoding(DeviceContext* Device, ULONG BitRate, ULONG PeakBitRate,
                         ULONG VariableBitRate, ULONG CaptureMode);
// Fills the encoding caps record for CaptureMode; STATUS_NOT_IMPLEMENTED and
// nothing written for any other mode. PASSIVE_LEVEL.
NTSTATUS PropGetEncodingCaps(DeviceContext* Device, KSPROPERTY_UNIT_ENCODING_CAPS_S* Record);
// Fills the audio caps record with the fixed values. Any IRQL.
VOID PropGetAudioCaps(DeviceContext* Device, KSPROPERTY_UNIT_AUDIO_CAPS_S* Record);
// Reads unit memory 0..31 into Record->Bytes, one byte per command; the
// first failure ends it with its status. PASSIVE_LEVEL.
NTSTATUS PropReadUnitMemory(DeviceContext* Device, KSPROPERTY_UNIT_MEMORY_S* Record);
// Writes Record->Write.Value at Record->Write.Address. PASSIVE_LEVEL.
NTSTATUS PropWriteUnitMemory(DeviceContext* Device, const KSPROPERTY_UNIT_MEMORY_S* Record);
