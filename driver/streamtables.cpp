// The filter's static tables (stream header, stream descriptors, data ranges,
// stream property sets, topology, mediums), the two device requests that
// expose them, and the format comparison rules.
//
// Every table is a constant-initialised aggregate. Only the stream header
// (its device property table, filled in by stream info) and the two capture
// ranges (the current capture size, written by data intersection) change.
#include "drventry.h"

#include "devprop.h"

// ---- GUIDs of our own ----

const GUID KSDATAFORMAT_SUBTYPE_UNIT_MPEG = {STATIC_KSDATAFORMAT_SUBTYPE_UNIT_MPEG};
const GUID KSDATAFORMAT_SPECIFIER_UNIT_MPEG = {STATIC_KSDATAFORMAT_SPECIFIER_UNIT_MPEG};
const GUID PINNAME_UNIT_MPEG_IN = {STATIC_PINNAME_UNIT_MPEG_IN};

// ---- Mediums ----

// The five crossbar pins; medium 2 (the video decoder's output) is also the
// only medium of stream 2, which is how the graph connects the two filters.
#define UNIT_MEDIUM(last)                                                                  \
  {                                                                                        \
    {                                                                                      \
      {{0x4B7E2A90u + (last), 0x122B, 0x11D1, {0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}}, \
       0, 0}                                                                               \
    }                                                                                      \
  }
const KSPIN_MEDIUM CrossbarMediums[CROSSBAR_MEDIUM_COUNT] = {
    UNIT_MEDIUM(0),  // input: composite video
    UNIT_MEDIUM(1),  // input: S-video
    UNIT_MEDIUM(2),  // output: video decoder
    UNIT_MEDIUM(3),  // input: audio line
    UNIT_MEDIUM(4),  // output: audio decoder
};
#define DECODER_OUTPUT_MEDIUM 2

// ---- Data ranges ----

#define NTSC_FRAME_INTERVAL 333667  // 100 ns units
#define PAL_FRAME_INTERVAL 400000
#define MPEG2_RANGE_BIT_RATE 4200000u
#define MPEG1_RANGE_BIT_RATE 1150000u
#define RANGE_COMPRESSION 16u   // biCompression of both capture ranges
#define RANGE_SIZE_IMAGE 3u     // biSizeImage of both capture ranges
#define RANGE_PELS_DIVISOR 240u // biXPelsPerMeter is the bit rate / 240

// One capture range; W x H is the largest size, MinW x MinH the smallest.
#define CAPTURE_RANGE(subformat, W, H, MinW, MinH, MaxBits, BitRate)                          \
  {                                                                                          \
    {{(ULONG)sizeof(KS_DATARANGE_VIDEO), 0, 0, 0, {STATIC_KSDATAFORMAT_TYPE_STREAM},         \
      {subformat}, {STATIC_KSDATAFORMAT_TYPE_VIDEO}}},                                       \
        FALSE,  /* bFixedSizeSamples */                                                      \
        TRUE,   /* bTemporalCompression */                                                   \
        0, 0,   /* StreamDescriptionFlags, MemoryAllocationFlags */                          \
        {                                                                                    \
            {STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO},                                       \
            KS_AnalogVideo_NTSC_M | KS_AnalogVideo_PAL_B,                                    \
            {W, H},       /* InputSize */                                                    \
            {MinW, MinH}, /* MinCroppingSize */                                              \
            {W, H},       /* MaxCroppingSize */                                              \
            1, 1, 1, 1,   /* CropGranularityX, Y, CropAlignX, Y */                           \
            {MinW, MinH}, /* MinOutputSize */                                                \
            {W, H},       /* MaxOutputSize */                                                \
            1, 1,         /* OutputGranularityX, Y */                                        \
            0, 0, 0, 0,   /* StretchTapsX, Y, ShrinkTapsX, Y */                              \
            NTSC_FRAME_INTERVAL, PAL_FRAME_INTERVAL,                                         \
            1000000, MaxBits, /* MinBitsPerSecond, MaxBitsPerSecond */                       \
        },                                                                                   \
        {                                                                                    \
            {0, 0, W, H}, /* rcSource */                                                     \
            {0, 0, W, H}, /* rcTarget */                                                     \
            BitRate, 0, NTSC_FRAME_INTERVAL,                                                 \
            {(DWORD)sizeof(KS_BITMAPINFOHEADER), W, H, 1, 0, RANGE_COMPRESSION,              \
             RANGE_SIZE_IMAGE, (LONG)((BitRate) / RANGE_PELS_DIVISOR), 0, 0, 0},             \
        },                                                                                   \
  }

KS_DATARANGE_VIDEO CaptureRangeMpeg2 =
    CAPTURE_RANGE(STATIC_MEDIASUBTYPE_MPEG2_PROGRAM, 720, 576, 320, 480, 8000000,
                  MPEG2_RANGE_BIT_RATE);
KS_DATARANGE_VIDEO CaptureRangeMpeg1 =
    CAPTURE_RANGE(STATIC_MEDIASUBTYPE_MPEG1Payload, 352, 288, 160, 112, 5000000,
                  MPEG1_RANGE_BIT_RATE);

// The playback range (FormatSize 64) and the four words that follow it; the
// 80 bytes together are the PlaybackFormat handed out by data intersection.
static PlaybackFormat PlaybackRange = {
    {{(ULONG)sizeof(KSDATARANGE), 0, 0, 0, {STATIC_KSDATAFORMAT_TYPE_STREAM},
      {STATIC_KSDATAFORMAT_SUBTYPE_UNIT_MPEG}, {STATIC_KSDATAFORMAT_SPECIFIER_UNIT_MPEG}}},
    0,          // standard selector: PAL unless the format says NTSC
    {1, 0, 0},
};

static KS_DATARANGE_ANALOGVIDEO AnalogVideoRange = {
    {{(ULONG)sizeof(KS_DATARANGE_ANALOGVIDEO), 0, 16, 0, {STATIC_KSDATAFORMAT_TYPE_ANALOGVIDEO},
      {STATIC_KSDATAFORMAT_SUBTYPE_NONE}, {STATIC_KSDATAFORMAT_SPECIFIER_ANALOGVIDEO}}},
    {{0, 0, 720, 480}, {0, 0, 720, 480}, 720, 480, 0},
};

static PKSDATAFORMAT CaptureFormats[] = {&CaptureRangeMpeg2.DataRange,
                                         &CaptureRangeMpeg1.DataRange};
static PKSDATAFORMAT PlaybackFormats[] = {&PlaybackRange.DataFormat};
static PKSDATAFORMAT AnalogFormats[] = {&AnalogVideoRange.DataRange};

// ---- Stream property sets (streams 0 and 1) ----

static const KSPROPERTY_ITEM ConnectionProperties[] = {
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_CONNECTION_ALLOCATORFRAMING,
                           TRUE,                          // get
                           sizeof(KSPROPERTY),            // MinProperty
                           sizeof(KSALLOCATOR_FRAMING),   // MinData
                           FALSE,                         // set
                           NULL, 0, NULL, NULL, 0),
};

static const KSPROPERTY_ITEM DroppedFramesProperties[] = {
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_DROPPEDFRAMES_CURRENT,
                           TRUE,                                        // get
                           sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S),  // MinProperty
                           sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S),  // MinData
                           FALSE,                                       // set
                           NULL, 0, NULL, NULL, 0),
};

static const KSPROPERTY_SET StreamPropertySets[] = {
    DEFINE_KSPROPERTY_SET(&KSPROPSETID_Connection, 1, ConnectionProperties, 0, NULL),
    DEFINE_KSPROPERTY_SET(&PROPSETID_VIDCAP_DROPPEDFRAMES, 1, DroppedFramesProperties, 0, NULL),
};
#define STREAM_PROPERTY_SET_COUNT (sizeof(StreamPropertySets) / sizeof(StreamPropertySets[0]))

// ---- Topology and stream header ----

static const GUID TopologyCategories[] = {
    {STATIC_KSCATEGORY_VIDEO},
    {STATIC_KSCATEGORY_CAPTURE},
    {STATIC_KSCATEGORY_CROSSBAR},
};

static KSTOPOLOGY Topology = {
    sizeof(TopologyCategories) / sizeof(TopologyCategories[0]), TopologyCategories,
    0, NULL,  // no nodes
    0, NULL,  // no connections
    NULL,     // no node names
    0,
};

HW_STREAM_HEADER StreamHeader = {
    StreamCount,                         // NumberOfStreams
    (ULONG)sizeof(HW_STREAM_INFORMATION),  // SizeOfHwStreamInformation
    0, NULL,                             // device property sets: filled in by stream info
    0, NULL,                             // no device events
    &Topology,
    NULL,                                // DeviceEventRoutine
    0, NULL,
};

// ---- Stream descriptors ----

// Template of a stream object: the routines and transfer kind an open installs.
#define STREAM_OBJECT(number, dataRoutine, controlRoutine)                                  \
  {                                                                                         \
    (ULONG)sizeof(HW_STREAM_OBJECT), number, NULL, dataRoutine, controlRoutine,             \
        {NULL, 0, {0, 0}}, /* no clock */                                                   \
        FALSE, TRUE,       /* Dma, Pio */                                                   \
        NULL, 0, 0,        /* HwDeviceExtension, StreamHeaderMediaSpecific, Workspace */    \
        FALSE, NULL, {0, 0},                                                                \
  }

const StreamDescriptor StreamDescriptors[StreamCount] = {
    {
        {
            1, KSPIN_DATAFLOW_OUT, TRUE,
            sizeof(CaptureFormats) / sizeof(CaptureFormats[0]), CaptureFormats,
            {NULL, NULL, NULL, NULL},
            STREAM_PROPERTY_SET_COUNT, (PKSPROPERTY_SET)StreamPropertySets,
            0, NULL,
            (GUID*)&PIN_CATEGORY_CAPTURE,  // Category
            (GUID*)&PIN_CATEGORY_CAPTURE,  // Name
            0, NULL,
            FALSE,
            {0, 0},
        },
        STREAM_OBJECT(StreamCapture, CaptureReceiveData, CaptureReceiveControl),
    },
    {
        {
            1, KSPIN_DATAFLOW_IN, TRUE,
            sizeof(PlaybackFormats) / sizeof(PlaybackFormats[0]), PlaybackFormats,
            {NULL, NULL, NULL, NULL},
            STREAM_PROPERTY_SET_COUNT, (PKSPROPERTY_SET)StreamPropertySets,
            0, NULL,
            (GUID*)&KSCATEGORY_VIDEO,
            (GUID*)&PINNAME_UNIT_MPEG_IN,
            0, NULL,
            FALSE,
            {0, 0},
        },
        STREAM_OBJECT(StreamPlayback, PlaybackReceiveData, PlaybackReceiveControl),
    },
    {
        {
            1, KSPIN_DATAFLOW_IN, TRUE,
            sizeof(AnalogFormats) / sizeof(AnalogFormats[0]), AnalogFormats,
            {NULL, NULL, NULL, NULL},
            0, NULL,
            0, NULL,
            (GUID*)&PIN_CATEGORY_ANALOGVIDEOIN,
            (GUID*)&PIN_CATEGORY_ANALOGVIDEOIN,
            1, &CrossbarMediums[DECODER_OUTPUT_MEDIUM],
            FALSE,
            {0, 0},
        },
        STREAM_OBJECT(StreamAnalog, AnalogReceiveData, AnalogReceiveControl),
    },
};

// ---- Requests and format rules ----

// See drventry.h. PASSIVE_LEVEL, device request loop.
VOID AdapterGetStreamInfo(PHW_STREAM_REQUEST_BLOCK Request) {
  PHW_STREAM_DESCRIPTOR descriptor = Request->CommandData.StreamBuffer;

  StreamHeader.NumDevPropArrayEntries = DEVICE_PROPERTY_SET_COUNT;
  StreamHeader.DevicePropertiesArray = (PKSPROPERTY_SET)DevicePropertySets;

  RtlCopyMemory(&descriptor->StreamHeader, &StreamHeader, sizeof(HW_STREAM_HEADER));
  PHW_STREAM_INFORMATION info = &descriptor->StreamInfo;
  for (ULONG n = 0; n < StreamCount; n++) {
    RtlCopyMemory(&info[n], &StreamDescriptors[n].StreamInfo, sizeof(HW_STREAM_INFORMATION));
  }
}

// See drventry.h. Any IRQL.
BOOLEAN StreamFormatMatches(PKSDATARANGE First, PKSDATARANGE Second, BOOLEAN CompareSizes) {
  if (!IsEqualGUID(First->MajorFormat, Second->MajorFormat) ||
      !IsEqualGUID(First->SubFormat, Second->SubFormat) ||
      !IsEqualGUID(First->Specifier, Second->Specifier)) {
    return FALSE;
  }
  return !CompareSizes || First->FormatSize == Second->FormatSize;
}

// TRUE for the three specifiers our streams use. Any IRQL.
static BOOLEAN StreamSpecifierKnown(const GUID& Specifier) {
  return IsEqualGUID(Specifier, KSDATAFORMAT_TYPE_VIDEO) ||
         IsEqualGUID(Specifier, KSDATAFORMAT_SPECIFIER_ANALOGVIDEO) ||
         IsEqualGUID(Specifier, KSDATAFORMAT_SPECIFIER_UNIT_MPEG);
}

// See drventry.h. Any IRQL.
BOOLEAN StreamFormatSupported(PKSDATAFORMAT Format, ULONG StreamNumber) {
  if (StreamNumber >= StreamCount) {
    return FALSE;
  }
  const HW_STREAM_INFORMATION* info = &StreamDescriptors[StreamNumber].StreamInfo;
  for (ULONG i = 0; i < info->NumberOfFormatArrayEntries; i++) {
    if (StreamFormatMatches(info->StreamFormatsArray[i], Format, FALSE) &&
        StreamSpecifierKnown(Format->Specifier)) {
      return TRUE;
    }
  }
  return FALSE;
}

// TRUE when the caller's capture range asks for exactly what the table entry
// offers, and its VIDEOINFOHEADER (a whole bitmap header included) lies
// within the range's FormatSize. Any IRQL.
static BOOLEAN IntersectCaptureQualifies(const KS_DATARANGE_VIDEO* Caller,
                                         const KS_DATARANGE_VIDEO* Entry) {
  if (Caller->bFixedSizeSamples != Entry->bFixedSizeSamples ||
      Caller->bTemporalCompression != Entry->bTemporalCompression ||
      Caller->StreamDescriptionFlags != Entry->StreamDescriptionFlags ||
      Caller->MemoryAllocationFlags != Entry->MemoryAllocationFlags ||
      !RtlEqualMemory(&Caller->ConfigCaps, &Entry->ConfigCaps, sizeof(Entry->ConfigCaps))) {
    return FALSE;
  }
  ULONG headerOffset = (ULONG)FIELD_OFFSET(KS_DATARANGE_VIDEO, VideoInfoHeader);
  ULONG biSize = Caller->VideoInfoHeader.bmiHeader.biSize;
  return biSize >= sizeof(KS_BITMAPINFOHEADER) &&
         (ULONGLONG)headerOffset + VIDEO_PREHEADER_SIZE + biSize <= Caller->DataRange.FormatSize;
}

// Writes the capture format for a qualifying range: the caller's header and
// VIDEOINFOHEADER with the current frame interval and sample size. Records
// the current capture size in the table's range first. PASSIVE_LEVEL.
static VOID IntersectWriteCapture(DeviceContext* Device, const KS_DATARANGE_VIDEO* Caller,
                                  KS_DATARANGE_VIDEO* Entry, ULONG Size, PVOID Buffer) {
  Entry->VideoInfoHeader.rcSource.right = (LONG)Device->CaptureWidth;
  Entry->VideoInfoHeader.rcTarget.right = (LONG)Device->CaptureWidth;
  Entry->VideoInfoHeader.bmiHeader.biWidth = (LONG)Device->CaptureWidth;
  Entry->VideoInfoHeader.rcSource.bottom = (LONG)Device->CaptureHeight;
  Entry->VideoInfoHeader.rcTarget.bottom = (LONG)Device->CaptureHeight;
  Entry->VideoInfoHeader.bmiHeader.biHeight = (LONG)Device->CaptureHeight;

  PKS_DATAFORMAT_VIDEOINFOHEADER format = (PKS_DATAFORMAT_VIDEOINFOHEADER)Buffer;
  RtlCopyMemory(&format->DataFormat, &Caller->DataRange, sizeof(KSDATARANGE));
  RtlCopyMemory(&format->VideoInfoHeader, &Caller->VideoInfoHeader,
                VIDEO_PREHEADER_SIZE + Caller->VideoInfoHeader.bmiHeader.biSize);

  ULONG sampleSize = Device->BitRate / 8 / 30;
  format->DataFormat.FormatSize = Size;
  format->DataFormat.SampleSize = sampleSize;
  format->VideoInfoHeader.AvgTimePerFrame =
      (Device->VideoStandard & KS_AnalogVideo_NTSC_M) ? NTSC_FRAME_INTERVAL : PAL_FRAME_INTERVAL;
  format->VideoInfoHeader.bmiHeader.biSizeImage = sampleSize;
}

// See drventry.h. PASSIVE_LEVEL, device request loop. Nothing is
// written (and no range rewritten) unless the answer is a success.
VOID AdapterDataIntersection(PHW_STREAM_REQUEST_BLOCK Request) {
  DeviceContext* device = (DeviceContext*)Request->HwDeviceExtension;
  PSTREAM_DATA_INTERSECT_INFO intersect = Request->CommandData.IntersectInfo;
  PKSDATARANGE range = intersect->DataRange;
  ULONG bufferSize = intersect->SizeOfDataFormatBuffer;
  BOOLEAN sizeQuery = (bufferSize == sizeof(ULONG));

  if (intersect->StreamNumber >= StreamCount) {
    Request->Status = STATUS_NOT_IMPLEMENTED;
    return;
  }
  const HW_STREAM_INFORMATION* info = &StreamDescriptors[intersect->StreamNumber].StreamInfo;

  for (ULONG i = 0; i < info->NumberOfFormatArrayEntries; i++) {
    PKSDATARANGE entry = info->StreamFormatsArray[i];
    if (!StreamFormatMatches(entry, range, TRUE)) {
      continue;
    }

    ULONG size;
    if (IsEqualGUID(range->Specifier, KSDATAFORMAT_TYPE_VIDEO)) {
      const KS_DATARANGE_VIDEO* caller = (const KS_DATARANGE_VIDEO*)range;
      KS_DATARANGE_VIDEO* video = (KS_DATARANGE_VIDEO*)entry;
      if (!IntersectCaptureQualifies(caller, video)) {
        continue;
      }
      size = VIDEO_FORMAT_HEADER_OFFSET + VIDEO_PREHEADER_SIZE +
             caller->VideoInfoHeader.bmiHeader.biSize;
      if (!sizeQuery) {
        if (bufferSize < size) {
          Request->Status = STATUS_BUFFER_TOO_SMALL;
          return;
        }
        IntersectWriteCapture(device, caller, video, size, intersect->DataFormatBuffer);
      }
    } else if (IsEqualGUID(range->Specifier, KSDATAFORMAT_SPECIFIER_ANALOGVIDEO)) {
      size = (ULONG)sizeof(KS_DATARANGE_ANALOGVIDEO);
      if (!sizeQuery) {
        if (bufferSize < size) {
          Request->Status = STATUS_BUFFER_TOO_SMALL;
          return;
        }
        RtlCopyMemory(intersect->DataFormatBuffer, entry, size);
        ((PKSDATAFORMAT)intersect->DataFormatBuffer)->FormatSize = size;
      }
    } else if (IsEqualGUID(range->Specifier, KSDATAFORMAT_SPECIFIER_UNIT_MPEG)) {
      size = PLAYBACK_FORMAT_SIZE;
      if (!sizeQuery) {
        if (bufferSize < size) {
          Request->Status = STATUS_BUFFER_TOO_SMALL;
          return;
        }
        RtlCopyMemory(intersect->DataFormatBuffer, entry, size);
        ((PKSDATAFORMAT)intersect->DataFormatBuffer)->FormatSize = size;
      }
    } else {
      Request->Status = STATUS_NO_MATCH;
      return;
    }

    if (sizeQuery) {
      *(PULONG)intersect->DataFormatBuffer = size;
      Request->ActualBytesTransferred = sizeof(ULONG);
    } else {
      Request->ActualBytesTransferred = size;
    }
    Request->Status = STATUS_SUCCESS;
    return;
  }
  Request->Status = STATUS_NO_MATCH;
}
