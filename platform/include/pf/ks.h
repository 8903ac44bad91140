// Kernel-streaming records, the video capture property records and the
// stream class interface of the hosted platform.
//
// Names and field names are the platform's, so that driver sources written
// against this header also compile against the toolchain's DDK headers on
// the Windows target. Hosted pointers are 64-bit: records that hold pointers
// are larger here than on the 32-bit target; the pointer-free records (data
// formats, property records) keep the target's layout.
//
// GUIDs come in two forms: a declared constant (DEFINE_GUID, defined once in
// the platform library) for comparisons and pointers, and a STATIC_ macro
// with the bare initialiser for constant tables (STATICGUIDOF), so that a
// table needs no constructor.
#pragma once

#include "pf/io.h"

#ifndef STATUS_REVISION_MISMATCH
#define STATUS_REVISION_MISMATCH ((NTSTATUS)0xC0000059L)
#endif

// ---- Types the records borrow from the platform's window and HAL headers ----

typedef struct tagRECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
} RECT, *PRECT;

typedef struct tagSIZE {
  LONG cx;
  LONG cy;
} SIZE, *PSIZE;

typedef LONGLONG REFERENCE_TIME;
typedef LARGE_INTEGER PHYSICAL_ADDRESS;
typedef PHYSICAL_ADDRESS* PPHYSICAL_ADDRESS;

typedef enum _INTERFACE_TYPE {
  InterfaceTypeUndefined = -1,
  Internal = 0,
  Isa,
  Eisa,
  MicroChannel,
  TurboChannel,
  PCIBus,
  VMEBus,
  NuBus,
  PCMCIABus,
  CBus,
  MPIBus,
  MPSABus,
  ProcessorInternal,
  InternalPowerBus,
  PNPISABus,
  PNPBus,
  MaximumInterfaceType
} INTERFACE_TYPE, *PINTERFACE_TYPE;

typedef enum _KINTERRUPT_MODE { LevelSensitive, Latched } KINTERRUPT_MODE;

typedef struct _KINTERRUPT* PKINTERRUPT;
typedef struct _ADAPTER_OBJECT* PADAPTER_OBJECT;

// Variant type numbers used by property type sets.
typedef enum VARENUM {
  VT_EMPTY = 0,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_BOOL = 11,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21
} VARENUM;

#define STATICGUIDOF(guid) STATIC_##guid
// Declares (or, with INITGUID, defines) a GUID from its STATIC_ initialiser;
// the extra step expands the initialiser into DEFINE_GUID's twelve arguments.
#define PF_KS_DEFINE_GUID(name, ...) DEFINE_GUID(name, __VA_ARGS__)

// ---- Identifiers, properties, states ----

typedef enum { KSSTATE_STOP, KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN } KSSTATE, *PKSSTATE;

typedef struct {
  union {
    struct {
      GUID Set;
      ULONG Id;
      ULONG Flags;
    };
    LONGLONG Alignment;
  };
} KSIDENTIFIER, *PKSIDENTIFIER;

typedef KSIDENTIFIER KSPROPERTY, *PKSPROPERTY, KSMETHOD, *PKSMETHOD, KSEVENT, *PKSEVENT;
typedef KSIDENTIFIER KSPIN_MEDIUM, *PKSPIN_MEDIUM;
typedef KSIDENTIFIER KSPIN_INTERFACE, *PKSPIN_INTERFACE;

#define KSPROPERTY_TYPE_GET 0x00000001
#define KSPROPERTY_TYPE_SET 0x00000002
#define KSPROPERTY_TYPE_SETSUPPORT 0x00000100
#define KSPROPERTY_TYPE_BASICSUPPORT 0x00000200
#define KSPROPERTY_TYPE_RELATIONS 0x00000400
#define KSPROPERTY_TYPE_SERIALIZESET 0x00000800
#define KSPROPERTY_TYPE_UNSERIALIZESET 0x00001000
#define KSPROPERTY_TYPE_SERIALIZERAW 0x00002000
#define KSPROPERTY_TYPE_UNSERIALIZERAW 0x00004000
#define KSPROPERTY_TYPE_SERIALIZESIZE 0x00008000
#define KSPROPERTY_TYPE_DEFAULTVALUES 0x00010000
#define KSPROPERTY_TYPE_TOPOLOGY 0x10000000

// Answer to a basic-support query: the description, then the members lists.
typedef struct {
  ULONG AccessFlags;
  ULONG DescriptionSize;
  KSIDENTIFIER PropTypeSet;
  ULONG MembersListCount;
  ULONG Reserved;
} KSPROPERTY_DESCRIPTION, *PKSPROPERTY_DESCRIPTION;

#define KSPROPERTY_MEMBER_RANGES 0x00000001
#define KSPROPERTY_MEMBER_STEPPEDRANGES 0x00000002
#define KSPROPERTY_MEMBER_VALUES 0x00000003

#define KSPROPERTY_MEMBER_FLAG_DEFAULT 0x00000001
#define KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_MULTICHANNEL 0x00000002
#define KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_UNIFORM 0x00000004

typedef struct {
  ULONG MembersFlags;
  ULONG MembersSize;
  ULONG MembersCount;
  ULONG Flags;
} KSPROPERTY_MEMBERSHEADER, *PKSPROPERTY_MEMBERSHEADER;

typedef union {
  struct {
    LONG SignedMinimum;
    LONG SignedMaximum;
  };
  struct {
    ULONG UnsignedMinimum;
    ULONG UnsignedMaximum;
  };
} KSPROPERTY_BOUNDS_LONG, *PKSPROPERTY_BOUNDS_LONG;

typedef struct {
  ULONG SteppingDelta;
  ULONG Reserved;
  KSPROPERTY_BOUNDS_LONG Bounds;
} KSPROPERTY_STEPPING_LONG, *PKSPROPERTY_STEPPING_LONG;

typedef struct {
  ULONG Size;
  ULONG Count;
} KSMULTIPLE_ITEM, *PKSMULTIPLE_ITEM;

// Handlers of property, method and event items; the stream class never calls
// them (it hands properties to the minidriver as requests), so stream
// minidrivers use the union's Supported flags instead.
typedef NTSTATUS (*PFNKSHANDLER)(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);
typedef BOOLEAN (*PFNKSFASTHANDLER)(struct _FILE_OBJECT* FileObject, PKSIDENTIFIER Request,
                                    ULONG RequestLength, PVOID Data, ULONG DataLength,
                                    PIO_STATUS_BLOCK IoStatus);

typedef struct {
  KSPROPERTY_MEMBERSHEADER MembersHeader;
  const VOID* Members;
} KSPROPERTY_MEMBERSLIST, *PKSPROPERTY_MEMBERSLIST;

typedef struct {
  KSIDENTIFIER PropTypeSet;
  ULONG MembersListCount;
  const KSPROPERTY_MEMBERSLIST* MembersList;
} KSPROPERTY_VALUES, *PKSPROPERTY_VALUES;

typedef struct {
  ULONG PropertyId;
  union {
    PFNKSHANDLER GetPropertyHandler;
    BOOLEAN GetSupported;
  };
  ULONG MinProperty;
  ULONG MinData;
  union {
    PFNKSHANDLER SetPropertyHandler;
    BOOLEAN SetSupported;
  };
  const KSPROPERTY_VALUES* Values;
  ULONG RelationsCount;
  const KSPROPERTY* Relations;
  PFNKSHANDLER SupportHandler;
  ULONG SerializedSize;
} KSPROPERTY_ITEM, *PKSPROPERTY_ITEM;

typedef struct {
  ULONG PropertyId;
  union {
    PFNKSFASTHANDLER GetPropertyHandler;
    BOOLEAN GetSupported;
  };
  union {
    PFNKSFASTHANDLER SetPropertyHandler;
    BOOLEAN SetSupported;
  };
  ULONG Reserved;
} KSFASTPROPERTY_ITEM, *PKSFASTPROPERTY_ITEM;

typedef struct {
  const GUID* Set;
  ULONG PropertiesCount;
  const KSPROPERTY_ITEM* PropertyItem;
  ULONG FastIoCount;
  const KSFASTPROPERTY_ITEM* FastIoTable;
} KSPROPERTY_SET, *PKSPROPERTY_SET;

#define DEFINE_KSPROPERTY_TABLE(tablename) const KSPROPERTY_ITEM tablename[] =
#define DEFINE_KSPROPERTY_SET_TABLE(tablename) const KSPROPERTY_SET tablename[] =
#define DEFINE_KSPROPERTY_ITEM(PropertyId, GetHandler, MinProperty, MinData, SetHandler, Values, \
                               RelationsCount, Relations, SupportHandler, SerializedSize)       \
  {                                                                                             \
    PropertyId, {(PFNKSHANDLER)GetHandler}, MinProperty, MinData,                               \
        {(PFNKSHANDLER)SetHandler}, (PKSPROPERTY_VALUES)Values, RelationsCount,                 \
        (PKSPROPERTY)Relations, (PFNKSHANDLER)SupportHandler, (ULONG)SerializedSize             \
  }
#define DEFINE_KSPROPERTY_SET(Set, PropertiesCount, PropertyItem, FastIoCount, FastIoTable) \
  { Set, PropertiesCount, PropertyItem, FastIoCount, FastIoTable }

typedef struct _KSEVENTDATA KSEVENTDATA, *PKSEVENTDATA;
typedef struct _KSEVENT_ENTRY KSEVENT_ENTRY, *PKSEVENT_ENTRY;
typedef NTSTATUS (*PFNKSADDEVENT)(PIRP Irp, PKSEVENTDATA EventData,
                                  struct _KSEVENT_ENTRY* EventEntry);
typedef VOID (*PFNKSREMOVEEVENT)(struct _FILE_OBJECT* FileObject,
                                 struct _KSEVENT_ENTRY* EventEntry);

typedef struct {
  ULONG EventId;
  ULONG DataInput;
  ULONG ExtraEntryData;
  PFNKSADDEVENT AddHandler;
  PFNKSREMOVEEVENT RemoveHandler;
  PFNKSHANDLER SupportHandler;
} KSEVENT_ITEM, *PKSEVENT_ITEM;

typedef struct {
  const GUID* Set;
  ULONG EventsCount;
  const KSEVENT_ITEM* EventItem;
} KSEVENT_SET, *PKSEVENT_SET;

typedef struct {
  ULONG MethodId;
  union {
    PFNKSHANDLER MethodHandler;
    BOOLEAN MethodSupported;
  };
  ULONG MinMethod;
  ULONG MinData;
  PFNKSHANDLER SupportHandler;
  ULONG Flags;
} KSMETHOD_ITEM, *PKSMETHOD_ITEM;

typedef struct {
  ULONG MethodId;
  union {
    PFNKSFASTHANDLER MethodHandler;
    BOOLEAN MethodSupported;
  };
} KSFASTMETHOD_ITEM, *PKSFASTMETHOD_ITEM;

typedef struct {
  const GUID* Set;
  ULONG MethodsCount;
  const KSMETHOD_ITEM* MethodItem;
  ULONG FastIoCount;
  const KSFASTMETHOD_ITEM* FastIoTable;
} KSMETHOD_SET, *PKSMETHOD_SET;

// ---- Topology, pins, data formats ----

typedef struct {
  ULONG FromNode;
  ULONG FromNodePin;
  ULONG ToNode;
  ULONG ToNodePin;
} KSTOPOLOGY_CONNECTION, *PKSTOPOLOGY_CONNECTION;

typedef struct {
  ULONG CategoriesCount;
  const GUID* Categories;
  ULONG TopologyNodesCount;
  const GUID* TopologyNodes;
  ULONG TopologyConnectionsCount;
  const KSTOPOLOGY_CONNECTION* TopologyConnections;
  const GUID* TopologyNodesNames;
  ULONG Reserved;
} KSTOPOLOGY, *PKSTOPOLOGY;

#define KSFILTER_NODE ((ULONG)-1)

typedef enum { KSPIN_DATAFLOW_IN = 1, KSPIN_DATAFLOW_OUT } KSPIN_DATAFLOW, *PKSPIN_DATAFLOW;

#define KSDATAFORMAT_TEMPORAL_COMPRESSION 0x00000001
#define KSDATAFORMAT_ATTRIBUTES 0x00000002
#define KSDATARANGE_ATTRIBUTES 0x00000002
#define KSDATARANGE_REQUIRED_ATTRIBUTES 0x00000004

// 64 bytes: every data format and data range starts with this header.
typedef union {
  struct {
    ULONG FormatSize;
    ULONG Flags;
    ULONG SampleSize;
    ULONG Reserved;
    GUID MajorFormat;
    GUID SubFormat;
    GUID Specifier;
  };
  LONGLONG Alignment;
} KSDATAFORMAT, *PKSDATAFORMAT, KSDATARANGE, *PKSDATARANGE;

// ---- Connection properties and allocator framing ----

typedef enum {
  KSPROPERTY_CONNECTION_STATE,
  KSPROPERTY_CONNECTION_PRIORITY,
  KSPROPERTY_CONNECTION_DATAFORMAT,
  KSPROPERTY_CONNECTION_ALLOCATORFRAMING,
  KSPROPERTY_CONNECTION_PROPOSEDATAFORMAT,
  KSPROPERTY_CONNECTION_ACQUIREORDERING,
  KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX,
  KSPROPERTY_CONNECTION_STARTAT
} KSPROPERTY_CONNECTION;

#define KSALLOCATOR_REQUIREMENTF_INPLACE_MODIFIER 0x00000001
#define KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY 0x00000002
#define KSALLOCATOR_REQUIREMENTF_FRAME_INTEGRITY 0x00000004
#define KSALLOCATOR_REQUIREMENTF_MUST_ALLOCATE 0x00000008
#define KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY 0x80000000

#define KSALLOCATOR_OPTIONF_COMPATIBLE 0x00000001
#define KSALLOCATOR_OPTIONF_SYSTEM_MEMORY 0x00000002

// 24 bytes.
typedef struct {
  union {
    ULONG OptionsFlags;
    ULONG RequirementsFlags;
  };
  POOL_TYPE PoolType;
  ULONG Frames;
  ULONG FrameSize;
  ULONG FileAlignment;
  ULONG Reserved;
} KSALLOCATOR_FRAMING, *PKSALLOCATOR_FRAMING;

// ---- Stream headers ----

#define KSSTREAM_HEADER_OPTIONSF_SPLICEPOINT 0x00000001
#define KSSTREAM_HEADER_OPTIONSF_PREROLL 0x00000002
#define KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY 0x00000004
#define KSSTREAM_HEADER_OPTIONSF_TYPECHANGED 0x00000008
#define KSSTREAM_HEADER_OPTIONSF_TIMEVALID 0x00000010
#define KSSTREAM_HEADER_OPTIONSF_TIMEDISCONTINUITY 0x00000040
#define KSSTREAM_HEADER_OPTIONSF_FLUSHONPAUSE 0x00000080
#define KSSTREAM_HEADER_OPTIONSF_DURATIONVALID 0x00000100
#define KSSTREAM_HEADER_OPTIONSF_ENDOFSTREAM 0x00000200
#define KSSTREAM_HEADER_OPTIONSF_LOOPEDDATA 0x80000000

typedef struct {
  LONGLONG Time;
  ULONG Numerator;
  ULONG Denominator;
} KSTIME, *PKSTIME;

// One buffer of a data request. Data points at FrameExtent bytes; DataUsed
// counts the valid ones (written by the minidriver on a read).
typedef struct {
  ULONG Size;
  ULONG TypeSpecificFlags;
  KSTIME PresentationTime;
  LONGLONG Duration;
  ULONG FrameExtent;
  ULONG DataUsed;
  PVOID Data;
  ULONG OptionsFlags;
#if UINTPTR_MAX > 0xFFFFFFFFu
  ULONG Reserved;  // the 64-bit layout pads the record to 8 bytes
#endif
} KSSTREAM_HEADER, *PKSSTREAM_HEADER;

// ---- Video formats and ranges ----

typedef struct tagKS_BITMAPINFOHEADER {
  DWORD biSize;
  LONG biWidth;
  LONG biHeight;
  WORD biPlanes;
  WORD biBitCount;
  DWORD biCompression;
  DWORD biSizeImage;
  LONG biXPelsPerMeter;
  LONG biYPelsPerMeter;
  DWORD biClrUsed;
  DWORD biClrImportant;
} KS_BITMAPINFOHEADER, *PKS_BITMAPINFOHEADER;

// 48 bytes before bmiHeader; 88 with a 40-byte bitmap header.
typedef struct tagKS_VIDEOINFOHEADER {
  RECT rcSource;
  RECT rcTarget;
  DWORD dwBitRate;
  DWORD dwBitErrorRate;
  REFERENCE_TIME AvgTimePerFrame;
  KS_BITMAPINFOHEADER bmiHeader;
} KS_VIDEOINFOHEADER, *PKS_VIDEOINFOHEADER;

#define KS_SIZE_PREHEADER (FIELD_OFFSET(KS_VIDEOINFOHEADER, bmiHeader))
#define KS_SIZE_VIDEOHEADER(pbmi) ((pbmi)->bmiHeader.biSize + KS_SIZE_PREHEADER)

typedef struct tagKS_AnalogVideoInfo {
  RECT rcSource;
  RECT rcTarget;
  DWORD dwActiveWidth;
  DWORD dwActiveHeight;
  REFERENCE_TIME AvgTimePerFrame;
} KS_ANALOGVIDEOINFO, *PKS_ANALOGVIDEOINFO;

typedef struct tagKS_DATAFORMAT_VIDEOINFOHEADER {
  KSDATAFORMAT DataFormat;
  KS_VIDEOINFOHEADER VideoInfoHeader;
} KS_DATAFORMAT_VIDEOINFOHEADER, *PKS_DATAFORMAT_VIDEOINFOHEADER;

// 128 bytes.
typedef struct _KS_VIDEO_STREAM_CONFIG_CAPS {
  GUID guid;
  ULONG VideoStandard;
  SIZE InputSize;
  SIZE MinCroppingSize;
  SIZE MaxCroppingSize;
  int CropGranularityX;
  int CropGranularityY;
  int CropAlignX;
  int CropAlignY;
  SIZE MinOutputSize;
  SIZE MaxOutputSize;
  int OutputGranularityX;
  int OutputGranularityY;
  int StretchTapsX;
  int StretchTapsY;
  int ShrinkTapsX;
  int ShrinkTapsY;
  LONGLONG MinFrameInterval;
  LONGLONG MaxFrameInterval;
  LONG MinBitsPerSecond;
  LONG MaxBitsPerSecond;
} KS_VIDEO_STREAM_CONFIG_CAPS, *PKS_VIDEO_STREAM_CONFIG_CAPS;

// 296 bytes: header 64, flags 16, ConfigCaps at 80, VideoInfoHeader at 208.
typedef struct tagKS_DATARANGE_VIDEO {
  KSDATARANGE DataRange;
  BOOL bFixedSizeSamples;
  BOOL bTemporalCompression;
  DWORD StreamDescriptionFlags;
  DWORD MemoryAllocationFlags;
  KS_VIDEO_STREAM_CONFIG_CAPS ConfigCaps;
  KS_VIDEOINFOHEADER VideoInfoHeader;
} KS_DATARANGE_VIDEO, *PKS_DATARANGE_VIDEO;

// 112 bytes.
typedef struct tagKS_DATARANGE_ANALOGVIDEO {
  KSDATARANGE DataRange;
  KS_ANALOGVIDEOINFO AnalogVideoInfo;
} KS_DATARANGE_ANALOGVIDEO, *PKS_DATARANGE_ANALOGVIDEO;

typedef enum {
  KS_AnalogVideo_None = 0x00000000,
  KS_AnalogVideo_NTSC_M = 0x00000001,
  KS_AnalogVideo_NTSC_M_J = 0x00000002,
  KS_AnalogVideo_NTSC_433 = 0x00000004,
  KS_AnalogVideo_PAL_B = 0x00000010,
  KS_AnalogVideo_PAL_D = 0x00000020,
  KS_AnalogVideo_PAL_G = 0x00000040,
  KS_AnalogVideo_PAL_H = 0x00000080,
  KS_AnalogVideo_PAL_I = 0x00000100,
  KS_AnalogVideo_PAL_M = 0x00000200,
  KS_AnalogVideo_PAL_N = 0x00000400,
  KS_AnalogVideo_PAL_60 = 0x00000800,
  KS_AnalogVideo_SECAM_B = 0x00001000,
  KS_AnalogVideo_SECAM_D = 0x00002000,
  KS_AnalogVideo_SECAM_G = 0x00004000,
  KS_AnalogVideo_SECAM_H = 0x00008000,
  KS_AnalogVideo_SECAM_K = 0x00010000,
  KS_AnalogVideo_SECAM_K1 = 0x00020000,
  KS_AnalogVideo_SECAM_L = 0x00040000,
  KS_AnalogVideo_SECAM_L1 = 0x00080000,
  KS_AnalogVideo_PAL_N_COMBO = 0x00100000
} KS_AnalogVideoStandard;

#define KS_AnalogVideo_NTSC_Mask 0x00000007
#define KS_AnalogVideo_PAL_Mask 0x00100FF0
#define KS_AnalogVideo_SECAM_Mask 0x000FF000

typedef enum {
  KS_PhysConn_Video_Tuner = 1,
  KS_PhysConn_Video_Composite,
  KS_PhysConn_Video_SVideo,
  KS_PhysConn_Video_RGB,
  KS_PhysConn_Video_YRYBY,
  KS_PhysConn_Video_SerialDigital,
  KS_PhysConn_Video_ParallelDigital,
  KS_PhysConn_Video_SCSI,
  KS_PhysConn_Video_AUX,
  KS_PhysConn_Video_1394,
  KS_PhysConn_Video_USB,
  KS_PhysConn_Video_VideoDecoder,
  KS_PhysConn_Video_VideoEncoder,
  KS_PhysConn_Video_SCART,
  KS_PhysConn_Audio_Tuner = 4096,
  KS_PhysConn_Audio_Line,
  KS_PhysConn_Audio_Mic,
  KS_PhysConn_Audio_AESDigital,
  KS_PhysConn_Audio_SPDIFDigital,
  KS_PhysConn_Audio_SCSI,
  KS_PhysConn_Audio_AUX,
  KS_PhysConn_Audio_1394,
  KS_PhysConn_Audio_USB,
  KS_PhysConn_Audio_AudioDecoder
} KS_PhysicalConnectorType;

// ---- Video capture property sets ----

typedef enum {
  KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS,
  KSPROPERTY_VIDEOPROCAMP_CONTRAST,
  KSPROPERTY_VIDEOPROCAMP_HUE,
  KSPROPERTY_VIDEOPROCAMP_SATURATION,
  KSPROPERTY_VIDEOPROCAMP_SHARPNESS,
  KSPROPERTY_VIDEOPROCAMP_GAMMA,
  KSPROPERTY_VIDEOPROCAMP_COLORENABLE,
  KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE,
  KSPROPERTY_VIDEOPROCAMP_BACKLIGHT_COMPENSATION,
  KSPROPERTY_VIDEOPROCAMP_GAIN
} KSPROPERTY_VIDCAP_VIDEOPROCAMP;

#define KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO 0x0001L
#define KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL 0x0002L

// 40 bytes.
typedef struct {
  KSPROPERTY Property;
  LONG Value;
  ULONG Flags;
  ULONG Capabilities;
} KSPROPERTY_VIDEOPROCAMP_S, *PKSPROPERTY_VIDEOPROCAMP_S;

typedef enum {
  KSPROPERTY_VIDEODECODER_CAPS,
  KSPROPERTY_VIDEODECODER_STANDARD,
  KSPROPERTY_VIDEODECODER_STATUS,
  KSPROPERTY_VIDEODECODER_OUTPUT_ENABLE,
  KSPROPERTY_VIDEODECODER_VCR_TIMING
} KSPROPERTY_VIDCAP_VIDEODECODER;

typedef enum {
  KS_VIDEODECODER_FLAGS_CAN_DISABLE_OUTPUT = 0x0001,
  KS_VIDEODECODER_FLAGS_CAN_USE_VCR_LOCKING = 0x0002,
  KS_VIDEODECODER_FLAGS_CAN_INDICATE_LOCKED = 0x0004
} KS_VIDEODECODER_FLAGS;

// 40 bytes.
typedef struct {
  KSPROPERTY Property;
  ULONG StandardsSupported;
  ULONG Capabilities;
  ULONG SettlingTime;
  ULONG HSyncPerVSync;
} KSPROPERTY_VIDEODECODER_CAPS_S, *PKSPROPERTY_VIDEODECODER_CAPS_S;

// 32 bytes.
typedef struct {
  KSPROPERTY Property;
  ULONG NumberOfLines;
  ULONG SignalLocked;
} KSPROPERTY_VIDEODECODER_STATUS_S, *PKSPROPERTY_VIDEODECODER_STATUS_S;

// 32 bytes.
typedef struct {
  KSPROPERTY Property;
  ULONG Value;
} KSPROPERTY_VIDEODECODER_S, *PKSPROPERTY_VIDEODECODER_S;

typedef enum {
  KSPROPERTY_VIDEOCOMPRESSION_GETINFO,
  KSPROPERTY_VIDEOCOMPRESSION_KEYFRAME_RATE,
  KSPROPERTY_VIDEOCOMPRESSION_PFRAMES_PER_KEYFRAME,
  KSPROPERTY_VIDEOCOMPRESSION_QUALITY,
  KSPROPERTY_VIDEOCOMPRESSION_OVERRIDE_KEYFRAME,
  KSPROPERTY_VIDEOCOMPRESSION_OVERRIDE_FRAME_SIZE,
  KSPROPERTY_VIDEOCOMPRESSION_WINDOWSIZE
} KSPROPERTY_VIDCAP_VIDEOCOMPRESSION;

typedef enum {
  KS_CompressionCaps_CanQuality = 1,
  KS_CompressionCaps_CanCrunch = 2,
  KS_CompressionCaps_CanKeyFrame = 4,
  KS_CompressionCaps_CanBFrame = 8,
  KS_CompressionCaps_CanWindow = 0x10
} KS_CompressionCaps;

// 48 bytes.
typedef struct {
  KSPROPERTY Property;
  ULONG StreamIndex;
  LONG DefaultKeyFrameRate;
  LONG DefaultPFrameRate;
  LONG DefaultQuality;
  LONG NumberOfQualitySettings;
  LONG Capabilities;
} KSPROPERTY_VIDEOCOMPRESSION_GETINFO_S, *PKSPROPERTY_VIDEOCOMPRESSION_GETINFO_S;

// 32 bytes.
typedef struct {
  KSPROPERTY Property;
  ULONG StreamIndex;
  LONG Value;
} KSPROPERTY_VIDEOCOMPRESSION_S, *PKSPROPERTY_VIDEOCOMPRESSION_S;

typedef enum {
  KSPROPERTY_CROSSBAR_CAPS,
  KSPROPERTY_CROSSBAR_PININFO,
  KSPROPERTY_CROSSBAR_CAN_ROUTE,
  KSPROPERTY_CROSSBAR_ROUTE
} KSPROPERTY_VIDCAP_CROSSBAR;

// 32 bytes.
typedef struct {
  KSPROPERTY Property;
  ULONG NumberOfInputs;
  ULONG NumberOfOutputs;
} KSPROPERTY_CROSSBAR_CAPS_S, *PKSPROPERTY_CROSSBAR_CAPS_S;

// 64 bytes: the medium lies at 40.
typedef struct {
  KSPROPERTY Property;
  KSPIN_DATAFLOW Direction;
  ULONG Index;
  ULONG PinType;
  ULONG RelatedPinIndex;
  KSPIN_MEDIUM Medium;
} KSPROPERTY_CROSSBAR_PININFO_S, *PKSPROPERTY_CROSSBAR_PININFO_S;

// 40 bytes.
typedef struct {
  KSPROPERTY Property;
  ULONG IndexInputPin;
  ULONG IndexOutputPin;
  ULONG CanRoute;
} KSPROPERTY_CROSSBAR_ROUTE_S, *PKSPROPERTY_CROSSBAR_ROUTE_S;

typedef enum { KSPROPERTY_DROPPEDFRAMES_CURRENT } KSPROPERTY_VIDCAP_DROPPEDFRAMES;

// 48 bytes.
typedef struct {
  KSPROPERTY Property;
  LONGLONG PictureNumber;
  LONGLONG DropCount;
  ULONG AverageFrameSize;
} KSPROPERTY_DROPPEDFRAMES_CURRENT_S, *PKSPROPERTY_DROPPEDFRAMES_CURRENT_S;

// ---- GUIDs ----

#define STATIC_GUID_NULL 0x00000000, 0x0000, 0x0000, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00
PF_KS_DEFINE_GUID(GUID_NULL, STATIC_GUID_NULL);

#define STATIC_KSPROPTYPESETID_General \
  0x97E99BA0, 0xBDEA, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00
PF_KS_DEFINE_GUID(KSPROPTYPESETID_General, STATIC_KSPROPTYPESETID_General);

#define STATIC_KSMEDIUMSETID_Standard \
  0x4747B320, 0x62CE, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00
PF_KS_DEFINE_GUID(KSMEDIUMSETID_Standard, STATIC_KSMEDIUMSETID_Standard);

#define STATIC_KSPROPSETID_Connection \
  0x1D58C920, 0xAC9B, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00
PF_KS_DEFINE_GUID(KSPROPSETID_Connection, STATIC_KSPROPSETID_Connection);

#define STATIC_KSDATAFORMAT_TYPE_STREAM \
  0xE436EB83, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70
PF_KS_DEFINE_GUID(KSDATAFORMAT_TYPE_STREAM, STATIC_KSDATAFORMAT_TYPE_STREAM);

#define STATIC_KSDATAFORMAT_SUBTYPE_NONE \
  0xE436EB8E, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70
PF_KS_DEFINE_GUID(KSDATAFORMAT_SUBTYPE_NONE, STATIC_KSDATAFORMAT_SUBTYPE_NONE);

#define STATIC_KSDATAFORMAT_SPECIFIER_NONE \
  0x0F6417D6, 0xC318, 0x11D0, 0xA4, 0x3F, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96
PF_KS_DEFINE_GUID(KSDATAFORMAT_SPECIFIER_NONE, STATIC_KSDATAFORMAT_SPECIFIER_NONE);

#define STATIC_KSDATAFORMAT_TYPE_VIDEO \
  0x73646976, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71
PF_KS_DEFINE_GUID(KSDATAFORMAT_TYPE_VIDEO, STATIC_KSDATAFORMAT_TYPE_VIDEO);

#define STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO \
  0x05589F80, 0xC356, 0x11CE, 0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A
PF_KS_DEFINE_GUID(KSDATAFORMAT_SPECIFIER_VIDEOINFO, STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO);

#define STATIC_KSDATAFORMAT_TYPE_ANALOGVIDEO \
  0x0482DDE1, 0x7817, 0x11CF, 0x8A, 0x03, 0x00, 0xAA, 0x00, 0x6E, 0xCB, 0x65
PF_KS_DEFINE_GUID(KSDATAFORMAT_TYPE_ANALOGVIDEO, STATIC_KSDATAFORMAT_TYPE_ANALOGVIDEO);

#define STATIC_KSDATAFORMAT_SPECIFIER_ANALOGVIDEO \
  0x0482DDE0, 0x7817, 0x11CF, 0x8A, 0x03, 0x00, 0xAA, 0x00, 0x6E, 0xCB, 0x65
PF_KS_DEFINE_GUID(KSDATAFORMAT_SPECIFIER_ANALOGVIDEO, STATIC_KSDATAFORMAT_SPECIFIER_ANALOGVIDEO);

// MPEG program stream and MPEG-1 payload subtypes: the kernel headers name
// them KSDATAFORMAT_TYPE_MPEG2_PROGRAM and KSDATAFORMAT_SUBTYPE_MPEG1Payload;
// the MEDIASUBTYPE_ names are the media-type names of the same GUIDs.
#define STATIC_KSDATAFORMAT_TYPE_MPEG2_PROGRAM \
  0xE06D8022, 0xDB46, 0x11CF, 0xB4, 0xD1, 0x00, 0x80, 0x5F, 0x6C, 0xBB, 0xEA
PF_KS_DEFINE_GUID(KSDATAFORMAT_TYPE_MPEG2_PROGRAM, STATIC_KSDATAFORMAT_TYPE_MPEG2_PROGRAM);
#define STATIC_MEDIASUBTYPE_MPEG2_PROGRAM STATIC_KSDATAFORMAT_TYPE_MPEG2_PROGRAM
PF_KS_DEFINE_GUID(MEDIASUBTYPE_MPEG2_PROGRAM, STATIC_MEDIASUBTYPE_MPEG2_PROGRAM);

#define STATIC_KSDATAFORMAT_SUBTYPE_MPEG1Payload \
  0xE436EB81, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70
PF_KS_DEFINE_GUID(KSDATAFORMAT_SUBTYPE_MPEG1Payload, STATIC_KSDATAFORMAT_SUBTYPE_MPEG1Payload);
#define STATIC_MEDIASUBTYPE_MPEG1Payload STATIC_KSDATAFORMAT_SUBTYPE_MPEG1Payload
PF_KS_DEFINE_GUID(MEDIASUBTYPE_MPEG1Payload, STATIC_MEDIASUBTYPE_MPEG1Payload);

// Pin categories and names: PINNAME_ in the kernel headers, PIN_CATEGORY_ in
// the media-type headers; the same GUIDs.
#define STATIC_PINNAME_VIDEO_CAPTURE \
  0xFB6C4281, 0x0353, 0x11D1, 0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA
PF_KS_DEFINE_GUID(PINNAME_VIDEO_CAPTURE, STATIC_PINNAME_VIDEO_CAPTURE);
#define STATIC_PIN_CATEGORY_CAPTURE STATIC_PINNAME_VIDEO_CAPTURE
PF_KS_DEFINE_GUID(PIN_CATEGORY_CAPTURE, STATIC_PIN_CATEGORY_CAPTURE);

#define STATIC_PINNAME_VIDEO_ANALOGVIDEOIN \
  0xFB6C4283, 0x0353, 0x11D1, 0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA
PF_KS_DEFINE_GUID(PINNAME_VIDEO_ANALOGVIDEOIN, STATIC_PINNAME_VIDEO_ANALOGVIDEOIN);
#define STATIC_PIN_CATEGORY_ANALOGVIDEOIN STATIC_PINNAME_VIDEO_ANALOGVIDEOIN
PF_KS_DEFINE_GUID(PIN_CATEGORY_ANALOGVIDEOIN, STATIC_PIN_CATEGORY_ANALOGVIDEOIN);

#define STATIC_KSCATEGORY_VIDEO \
  0x6994AD05, 0x93EF, 0x11D0, 0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96
PF_KS_DEFINE_GUID(KSCATEGORY_VIDEO, STATIC_KSCATEGORY_VIDEO);

#define STATIC_KSCATEGORY_CAPTURE \
  0x65E8773D, 0x8F56, 0x11D0, 0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96
PF_KS_DEFINE_GUID(KSCATEGORY_CAPTURE, STATIC_KSCATEGORY_CAPTURE);

#define STATIC_KSCATEGORY_CROSSBAR \
  0xA799A801, 0xA46D, 0x11D0, 0xA1, 0x8C, 0x00, 0xA0, 0x24, 0x01, 0xDC, 0xD4
PF_KS_DEFINE_GUID(KSCATEGORY_CROSSBAR, STATIC_KSCATEGORY_CROSSBAR);

#define STATIC_PROPSETID_VIDCAP_VIDEOPROCAMP \
  0xC6E13360, 0x30AC, 0x11D0, 0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56
PF_KS_DEFINE_GUID(PROPSETID_VIDCAP_VIDEOPROCAMP, STATIC_PROPSETID_VIDCAP_VIDEOPROCAMP);

#define STATIC_PROPSETID_VIDCAP_VIDEODECODER \
  0xC6E13350, 0x30AC, 0x11D0, 0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56
PF_KS_DEFINE_GUID(PROPSETID_VIDCAP_VIDEODECODER, STATIC_PROPSETID_VIDCAP_VIDEODECODER);

#define STATIC_PROPSETID_VIDCAP_VIDEOCOMPRESSION \
  0xC6E13343, 0x30AC, 0x11D0, 0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56
PF_KS_DEFINE_GUID(PROPSETID_VIDCAP_VIDEOCOMPRESSION, STATIC_PROPSETID_VIDCAP_VIDEOCOMPRESSION);

#define STATIC_PROPSETID_VIDCAP_CROSSBAR \
  0x6A2E0640, 0x28E4, 0x11D0, 0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56
PF_KS_DEFINE_GUID(PROPSETID_VIDCAP_CROSSBAR, STATIC_PROPSETID_VIDCAP_CROSSBAR);

#define STATIC_PROPSETID_VIDCAP_DROPPEDFRAMES \
  0xC6E13344, 0x30AC, 0x11D0, 0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56
PF_KS_DEFINE_GUID(PROPSETID_VIDCAP_DROPPEDFRAMES, STATIC_PROPSETID_VIDCAP_DROPPEDFRAMES);

// ---- Stream class: records ----

typedef ULONGLONG STREAM_SYSTEM_TIME, *PSTREAM_SYSTEM_TIME;
typedef ULONGLONG STREAM_TIMESTAMP, *PSTREAM_TIMESTAMP;
typedef PHYSICAL_ADDRESS STREAM_PHYSICAL_ADDRESS, *PSTREAM_PHYSICAL_ADDRESS;

typedef enum { TIME_GET_STREAM_TIME, TIME_READ_ONBOARD_CLOCK, TIME_SET_ONBOARD_CLOCK } TIME_FUNCTION;

typedef struct _HW_TIME_CONTEXT {
  struct _HW_DEVICE_EXTENSION* HwDeviceExtension;
  struct _HW_STREAM_OBJECT* HwStreamObject;
  TIME_FUNCTION Function;
  ULONGLONG Time;
  ULONGLONG SystemTime;
} HW_TIME_CONTEXT, *PHW_TIME_CONTEXT;

typedef struct _HW_EVENT_DESCRIPTOR {
  BOOLEAN Enable;
  PKSEVENT_ENTRY EventEntry;
  PKSEVENTDATA EventData;
  union {
    struct _HW_STREAM_OBJECT* StreamObject;
    struct _HW_DEVICE_EXTENSION* DeviceExtension;
  };
  ULONG EnableEventSetIndex;
  PVOID HwInstanceExtension;
  ULONG Reserved;
} HW_EVENT_DESCRIPTOR, *PHW_EVENT_DESCRIPTOR;

struct _HW_STREAM_REQUEST_BLOCK;

typedef VOID(STREAMAPI* PHW_RECEIVE_STREAM_DATA_SRB)(struct _HW_STREAM_REQUEST_BLOCK* SRB);
typedef VOID(STREAMAPI* PHW_RECEIVE_STREAM_CONTROL_SRB)(struct _HW_STREAM_REQUEST_BLOCK* SRB);
typedef NTSTATUS(STREAMAPI* PHW_EVENT_ROUTINE)(PHW_EVENT_DESCRIPTOR EventDescriptor);
typedef VOID(STREAMAPI* PHW_CLOCK_FUNCTION)(PHW_TIME_CONTEXT HwTimeContext);

typedef struct _HW_CLOCK_OBJECT {
  PHW_CLOCK_FUNCTION HwClockFunction;
  ULONG ClockSupportFlags;
  ULONG Reserved[2];
} HW_CLOCK_OBJECT, *PHW_CLOCK_OBJECT;

#define CLOCK_SUPPORT_CAN_SET_ONBOARD_CLOCK 0x1
#define CLOCK_SUPPORT_CAN_READ_ONBOARD_CLOCK 0x2
#define CLOCK_SUPPORT_CAN_RETURN_STREAM_TIME 0x4

// The class driver's object of one open stream; the minidriver fills the
// routines at open.
typedef struct _HW_STREAM_OBJECT {
  ULONG SizeOfThisPacket;
  ULONG StreamNumber;
  PVOID HwStreamExtension;
  PHW_RECEIVE_STREAM_DATA_SRB ReceiveDataPacket;
  PHW_RECEIVE_STREAM_CONTROL_SRB ReceiveControlPacket;
  HW_CLOCK_OBJECT HwClockObject;
  BOOLEAN Dma;
  BOOLEAN Pio;
  PVOID HwDeviceExtension;
  ULONG StreamHeaderMediaSpecific;
  ULONG StreamHeaderWorkspace;
  BOOLEAN Allocator;
  PHW_EVENT_ROUTINE HwEventRoutine;
  ULONG Reserved[2];
} HW_STREAM_OBJECT, *PHW_STREAM_OBJECT;

typedef struct _HW_STREAM_HEADER {
  ULONG NumberOfStreams;
  ULONG SizeOfHwStreamInformation;
  ULONG NumDevPropArrayEntries;
  PKSPROPERTY_SET DevicePropertiesArray;
  ULONG NumDevEventArrayEntries;
  PKSEVENT_SET DeviceEventsArray;
  PKSTOPOLOGY Topology;
  PHW_EVENT_ROUTINE DeviceEventRoutine;
  LONG NumDevMethodArrayEntries;
  PKSMETHOD_SET DeviceMethodsArray;
} HW_STREAM_HEADER, *PHW_STREAM_HEADER;

typedef struct _HW_STREAM_INFORMATION {
  ULONG NumberOfPossibleInstances;
  KSPIN_DATAFLOW DataFlow;
  BOOLEAN DataAccessible;
  ULONG NumberOfFormatArrayEntries;
  PKSDATAFORMAT* StreamFormatsArray;
  PVOID ClassReserved[4];
  ULONG NumStreamPropArrayEntries;
  PKSPROPERTY_SET StreamPropertiesArray;
  ULONG NumStreamEventArrayEntries;
  PKSEVENT_SET StreamEventsArray;
  GUID* Category;
  GUID* Name;
  ULONG MediumsCount;
  const KSPIN_MEDIUM* Mediums;
  BOOLEAN BridgeStream;
  ULONG Reserved[2];
} HW_STREAM_INFORMATION, *PHW_STREAM_INFORMATION;

// The stream header followed by NumberOfStreams stream information entries.
typedef struct _HW_STREAM_DESCRIPTOR {
  HW_STREAM_HEADER StreamHeader;
  HW_STREAM_INFORMATION StreamInfo;
} HW_STREAM_DESCRIPTOR, *PHW_STREAM_DESCRIPTOR;

typedef struct _STREAM_TIME_REFERENCE {
  STREAM_TIMESTAMP CurrentOnboardClockValue;
  LARGE_INTEGER OnboardClockFrequency;
  LARGE_INTEGER CurrentSystemTime;
  ULONG Reserved[2];
} STREAM_TIME_REFERENCE, *PSTREAM_TIME_REFERENCE;

// SRB_GET_DATA_INTERSECTION: a buffer of 4 bytes asks for the answer's size.
typedef struct _STREAM_DATA_INTERSECT_INFO {
  ULONG StreamNumber;
  PKSDATARANGE DataRange;
  PVOID DataFormatBuffer;
  ULONG SizeOfDataFormatBuffer;
} STREAM_DATA_INTERSECT_INFO, *PSTREAM_DATA_INTERSECT_INFO;

// A property request: Property is the caller's KSPROPERTY (at the start of
// the property's input), PropertyInfo the data buffer of PropertyOutputSize
// bytes, PropertySetID the index of the set in the minidriver's table.
typedef struct _STREAM_PROPERTY_DESCRIPTOR {
  PKSPROPERTY Property;
  ULONG PropertySetID;
  PVOID PropertyInfo;
  ULONG PropertyInputSize;
  ULONG PropertyOutputSize;
} STREAM_PROPERTY_DESCRIPTOR, *PSTREAM_PROPERTY_DESCRIPTOR;

typedef enum _SRB_COMMAND {
  SRB_READ_DATA,
  SRB_WRITE_DATA,
  SRB_GET_STREAM_STATE,
  SRB_SET_STREAM_STATE,
  SRB_SET_STREAM_PROPERTY,
  SRB_GET_STREAM_PROPERTY,
  SRB_OPEN_MASTER_CLOCK,
  SRB_INDICATE_MASTER_CLOCK,
  SRB_UNKNOWN_STREAM_COMMAND,
  SRB_SET_STREAM_RATE,
  SRB_PROPOSE_DATA_FORMAT,
  SRB_CLOSE_MASTER_CLOCK,
  SRB_PROPOSE_STREAM_RATE,
  SRB_SET_DATA_FORMAT,
  SRB_GET_DATA_FORMAT,
  SRB_BEGIN_FLUSH,
  SRB_END_FLUSH,

  SRB_GET_STREAM_INFO = 0x100,
  SRB_OPEN_STREAM,
  SRB_CLOSE_STREAM,
  SRB_OPEN_DEVICE_INSTANCE,
  SRB_CLOSE_DEVICE_INSTANCE,
  SRB_GET_DEVICE_PROPERTY,
  SRB_SET_DEVICE_PROPERTY,
  SRB_INITIALIZE_DEVICE,
  SRB_CHANGE_POWER_STATE,
  SRB_UNINITIALIZE_DEVICE,
  SRB_UNKNOWN_DEVICE_COMMAND,
  SRB_PAGING_OUT_DRIVER,
  SRB_GET_DATA_INTERSECTION,
  SRB_INITIALIZATION_COMPLETE,
  SRB_SURPRISE_REMOVAL
} SRB_COMMAND;

typedef struct {
  PHYSICAL_ADDRESS PhysicalAddress;
  ULONG Length;
} KSSCATTER_GATHER, *PKSSCATTER_GATHER;

// One request of the class driver to the minidriver.
typedef struct _HW_STREAM_REQUEST_BLOCK {
  ULONG SizeOfThisPacket;
  SRB_COMMAND Command;
  NTSTATUS Status;
  PHW_STREAM_OBJECT StreamObject;
  PVOID HwDeviceExtension;
  PVOID SRBExtension;  // the per-request extension, zero-filled

  union _CommandData {
    PKSSTREAM_HEADER DataBufferArray;
    PHW_STREAM_DESCRIPTOR StreamBuffer;
    KSSTATE StreamState;
    PSTREAM_TIME_REFERENCE TimeReference;
    PSTREAM_PROPERTY_DESCRIPTOR PropertyInfo;
    PKSDATAFORMAT OpenFormat;
    struct _PORT_CONFIGURATION_INFORMATION* ConfigInfo;
    HANDLE MasterClockHandle;
    DEVICE_POWER_STATE DeviceState;
    PSTREAM_DATA_INTERSECT_INFO IntersectInfo;
    PVOID MethodInfo;
    LONG FilterTypeIndex;
  } CommandData;

  ULONG NumberOfBuffers;
  ULONG TimeoutCounter;   // seconds left; 0 means no time-out
  ULONG TimeoutOriginal;  // the time-out the request started with
  struct _HW_STREAM_REQUEST_BLOCK* NextSRB;

  PIRP Irp;  // Irp->Tail.Overlay.DriverContext[0] points back at the request
  ULONG Flags;
  PVOID HwInstanceExtension;

  union {
    ULONG NumberOfBytesToTransfer;
    ULONG ActualBytesTransferred;
  };

  PKSSCATTER_GATHER ScatterGatherBuffer;
  ULONG NumberOfPhysicalPages;
  ULONG NumberOfScatterGatherElements;
  ULONG Reserved[1];
} HW_STREAM_REQUEST_BLOCK, *PHW_STREAM_REQUEST_BLOCK;

#define SRB_HW_FLAGS_DATA_TRANSFER 0x01
#define SRB_HW_FLAGS_STREAM_REQUEST 0x2

typedef struct _ACCESS_RANGE {
  STREAM_PHYSICAL_ADDRESS RangeStart;
  ULONG RangeLength;
  BOOLEAN RangeInMemory;
  ULONG Reserved;
} ACCESS_RANGE, *PACCESS_RANGE;

// Handed to the minidriver with SRB_INITIALIZE_DEVICE; the minidriver writes
// StreamDescriptorSize, the size of its SRB_GET_STREAM_INFO answer.
typedef struct _PORT_CONFIGURATION_INFORMATION {
  ULONG SizeOfThisPacket;
  PVOID HwDeviceExtension;
  PDEVICE_OBJECT ClassDeviceObject;
  PDEVICE_OBJECT PhysicalDeviceObject;
  ULONG SystemIoBusNumber;
  INTERFACE_TYPE AdapterInterfaceType;
  ULONG BusInterruptLevel;
  ULONG BusInterruptVector;
  KINTERRUPT_MODE InterruptMode;
  ULONG DmaChannel;
  ULONG NumberOfAccessRanges;
  PACCESS_RANGE AccessRanges;
  ULONG StreamDescriptorSize;
  PIRP Irp;
  PKINTERRUPT InterruptObject;
  PADAPTER_OBJECT DmaAdapterObject;
  PDEVICE_OBJECT RealPhysicalDeviceObject;
  ULONG Reserved[1];
} PORT_CONFIGURATION_INFORMATION, *PPORT_CONFIGURATION_INFORMATION;

typedef VOID(STREAMAPI* PHW_RECEIVE_DEVICE_SRB)(PHW_STREAM_REQUEST_BLOCK SRB);
typedef VOID(STREAMAPI* PHW_CANCEL_SRB)(PHW_STREAM_REQUEST_BLOCK SRB);
typedef VOID(STREAMAPI* PHW_REQUEST_TIMEOUT_HANDLER)(PHW_STREAM_REQUEST_BLOCK SRB);
typedef BOOLEAN(STREAMAPI* PHW_INTERRUPT)(PVOID DeviceExtension);

typedef enum _STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE {
  ReadyForNextStreamDataRequest,
  ReadyForNextStreamControlRequest,
  HardwareStarved,
  StreamRequestComplete,
  SignalMultipleStreamEvents,
  SignalStreamEvent,
  DeleteStreamEvent,
  StreamNotificationMaximum
} STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE, *PSTREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE;

typedef enum _STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE {
  ReadyForNextDeviceRequest,
  DeviceRequestComplete,
  SignalMultipleDeviceEvents,
  SignalDeviceEvent,
  DeleteDeviceEvent,
  SignalMultipleDeviceInstanceEvents,
  DeviceNotificationMaximum
} STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE, *PSTREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE;

#define STREAM_CLASS_VERSION_20 0x0200

// The minidriver's registration record.
typedef struct _HW_INITIALIZATION_DATA {
  union {
    ULONG HwInitializationDataSize;
    struct {
      USHORT SizeOfThisPacket;
      USHORT StreamClassVersion;
    };
  };
  PHW_INTERRUPT HwInterrupt;
  PHW_RECEIVE_DEVICE_SRB HwReceivePacket;
  PHW_CANCEL_SRB HwCancelPacket;
  PHW_REQUEST_TIMEOUT_HANDLER HwRequestTimeoutHandler;
  ULONG DeviceExtensionSize;
  ULONG PerRequestExtensionSize;
  ULONG PerStreamExtensionSize;
  ULONG FilterInstanceExtensionSize;
  BOOLEAN BusMasterDMA;
  BOOLEAN Dma24BitAddresses;
  ULONG BufferAlignment;
  BOOLEAN TurnOffSynchronization;
  ULONG DmaBufferSize;
  ULONG NumNameExtensions;
  PWCHAR* NameExtensionArray;
} HW_INITIALIZATION_DATA, *PHW_INITIALIZATION_DATA;

// ---- Stream class: calls ----

#ifdef __cplusplus
extern "C" {
#endif

// Registers a minidriver for the driver object; called from DriverEntry at
// PASSIVE_LEVEL. Fails with STATUS_REVISION_MISMATCH when the record's size
// field is not the size the class driver knows.
NTSTATUS STREAMAPI StreamClassRegisterMinidriver(PVOID Argument1, PVOID Argument2,
                                                 PHW_INITIALIZATION_DATA HwInitializationData);
#define StreamClassRegisterAdapter StreamClassRegisterMinidriver

// Registers a filter without kernel-streaming pins for a physical device
// object: PinDirection is an array of PinCount BOOLs, TRUE marking an output
// pin. PASSIVE_LEVEL.
NTSTATUS STREAMAPI StreamClassRegisterFilterWithNoKSPins(PDEVICE_OBJECT DeviceObject,
                                                         const GUID* InterfaceClassGUID,
                                                         ULONG PinCount, BOOL* PinDirection,
                                                         KSPIN_MEDIUM* MediumList,
                                                         GUID* CategoryList);

// DeviceRequestComplete: the third argument is the completed request.
// Any thread, IRQL <= DISPATCH_LEVEL.
VOID StreamClassDeviceNotification(STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE NotificationType,
                                   PVOID HwDeviceExtension, ...);

// StreamRequestComplete: the third argument is the completed request.
// Any thread, IRQL <= DISPATCH_LEVEL.
VOID StreamClassStreamNotification(STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE NotificationType,
                                   PHW_STREAM_OBJECT StreamObject, ...);

#ifdef __cplusplus
}
#endif
