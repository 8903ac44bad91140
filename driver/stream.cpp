// Stream open and close, the per-stream control loops and the data routines.
//
// Control requests of one stream run one at a time through StreamQueue[n];
// data requests bypass the queues and go to the transfer worker, which alone
// moves stream data.
#include "drventry.h"

#include "capture.h"
#include "kivchip.h"
#include "kivdec.h"
#include "thread.h"

// Allocator framing asked for on the two MPEG pins.
#define FRAMING_REQUIREMENTS                                                     \
  (KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY | KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY | \
   KSALLOCATOR_REQUIREMENTF_INPLACE_MODIFIER)
#define CAPTURE_FRAMES 15u
#define CAPTURE_FRAME_SIZE 0x20000u   // 131,072
#define PLAYBACK_FRAMES 1u
#define PLAYBACK_FRAME_SIZE 0x96000u  // 614,400

// Dropped-frame answer: constants, no frame counting takes place.
#define DROPPED_PICTURE_NUMBER 100
#define DROPPED_AVERAGE_FRAME_SIZE 1000

// Byte of a playback format that selects the standard (the first byte of
// PlaybackFormat.StandardSelector): 1 NTSC, anything else PAL.
#define PLAYBACK_SELECTOR_OFFSET ((ULONG)FIELD_OFFSET(PlaybackFormat, StandardSelector))
#define PLAYBACK_SELECTOR_NTSC 1

// The stream context of a stream request. Any IRQL.
static StreamContext* StreamOf(PHW_STREAM_REQUEST_BLOCK Request) {
  return (StreamContext*)Request->StreamObject->HwStreamExtension;
}

// ---- Open and close ----

// Records the open format: a capture format's VIDEOINFOHEADER is copied into
// FormatInfo. Returns FALSE with the Status set when the format is malformed
// or no pool is left. PASSIVE_LEVEL, device request loop.
static BOOLEAN StreamSetFormat(PHW_STREAM_REQUEST_BLOCK Request) {
  StreamContext* stream = StreamOf(Request);
  PKSDATAFORMAT format = Request->CommandData.OpenFormat;

  if (IsEqualGUID(format->Specifier, KSDATAFORMAT_SPECIFIER_ANALOGVIDEO) ||
      IsEqualGUID(format->Specifier, KSDATAFORMAT_SPECIFIER_UNIT_MPEG)) {
    return TRUE;
  }
  if (!IsEqualGUID(format->Specifier, KSDATAFORMAT_TYPE_VIDEO)) {
    Request->Status = STATUS_INVALID_PARAMETER;
    return FALSE;
  }

  // The VIDEOINFOHEADER, with a whole bitmap header, must lie within the
  // format: its length comes from the caller's biSize.
  ULONG biSizeEnd = VIDEO_FORMAT_HEADER_OFFSET + VIDEO_PREHEADER_SIZE + sizeof(DWORD);
  if (format->FormatSize < biSizeEnd) {
    Request->Status = STATUS_INVALID_PARAMETER;
    return FALSE;
  }
  PKS_VIDEOINFOHEADER header = &((PKS_DATAFORMAT_VIDEOINFOHEADER)format)->VideoInfoHeader;
  ULONG biSize = header->bmiHeader.biSize;
  if (biSize < sizeof(KS_BITMAPINFOHEADER) ||
      (ULONGLONG)VIDEO_FORMAT_HEADER_OFFSET + VIDEO_PREHEADER_SIZE + biSize > format->FormatSize) {
    Request->Status = STATUS_INVALID_PARAMETER;
    return FALSE;
  }

  ULONG length = VIDEO_PREHEADER_SIZE + biSize;
  stream->FormatInfo =
      (PKS_VIDEOINFOHEADER)ExAllocatePoolWithTag(NonPagedPool, length, MPEGUNIT_POOL_TAG);
  if (stream->FormatInfo == NULL) {
    Request->Status = STATUS_INSUFFICIENT_RESOURCES;
    return FALSE;
  }
  RtlCopyMemory(stream->FormatInfo, header, length);
  if (stream->FormatInfo->AvgTimePerFrame != 0) {
    stream->FrameDuration = stream->FormatInfo->AvgTimePerFrame;
  }
  return TRUE;
}

// See drventry.h. PASSIVE_LEVEL, device request loop. Every check comes
// before the one allocation, so a failed open changes nothing.
VOID StreamOpen(PHW_STREAM_REQUEST_BLOCK Request) {
  DeviceContext* device = (DeviceContext*)Request->HwDeviceExtension;
  PHW_STREAM_OBJECT object = Request->StreamObject;
  StreamContext* stream = (StreamContext*)object->HwStreamExtension;
  ULONG n = object->StreamNumber;
  PKSDATAFORMAT format = Request->CommandData.OpenFormat;

  RtlZeroMemory(stream, sizeof(StreamContext));
  if (n >= StreamCount) {
    Request->Status = STATUS_INVALID_PARAMETER;
    return;
  }
  if (device->MpegStreamsOpen != 0 && n != StreamAnalog) {
    Request->Status = STATUS_INSTANCE_NOT_AVAILABLE;
    return;
  }
  const StreamDescriptor* descriptor = &StreamDescriptors[n];
  if ((ULONG)device->StreamInstances[n] >= descriptor->StreamInfo.NumberOfPossibleInstances) {
    Request->Status = STATUS_INSTANCE_NOT_AVAILABLE;
    return;
  }
  if (!StreamFormatSupported(format, n)) {
    Request->Status = STATUS_INVALID_PARAMETER;
    return;
  }

  Request->Status = STATUS_UNSUCCESSFUL;
  if (!StreamSetFormat(Request)) {
    return;
  }
  if (IsEqualGUID(format->Specifier, KSDATAFORMAT_TYPE_VIDEO) ||
      IsEqualGUID(format->Specifier, KSDATAFORMAT_SPECIFIER_UNIT_MPEG)) {
    device->MpegStreamsOpen++;
    Request->Status = STATUS_SUCCESS;
  } else if (IsEqualGUID(format->Specifier, KSDATAFORMAT_SPECIFIER_ANALOGVIDEO)) {
    Request->Status = STATUS_SUCCESS;
  }

  device->OpenStreams[n] = stream;
  object->ReceiveDataPacket = descriptor->StreamObject.ReceiveDataPacket;
  object->ReceiveControlPacket = descriptor->StreamObject.ReceiveControlPacket;
  object->HwClockObject = descriptor->StreamObject.HwClockObject;
  object->Dma = descriptor->StreamObject.Dma;
  object->Pio = descriptor->StreamObject.Pio;
  object->StreamHeaderMediaSpecific = descriptor->StreamObject.StreamHeaderMediaSpecific;
  object->StreamHeaderWorkspace = descriptor->StreamObject.StreamHeaderWorkspace;

  device->StreamInstances[n]++;
  stream->Device = device;
  stream->StreamObject = object;
}

// See drventry.h. PASSIVE_LEVEL, device request loop; no lock.
VOID StreamClose(PHW_STREAM_REQUEST_BLOCK Request) {
  DeviceContext* device = (DeviceContext*)Request->HwDeviceExtension;
  PHW_STREAM_OBJECT object = Request->StreamObject;
  StreamContext* stream = (StreamContext*)object->HwStreamExtension;
  ULONG n = object->StreamNumber;
  if (n >= StreamCount || device->OpenStreams[n] != stream) {
    return;  // not an open stream of ours: nothing to undo
  }

  StreamCancelPending(stream);
  // A request still queued for the worker must not outlive its stream.
  WorkerCancelStream(device, object);
  if ((DeviceFlags(device) & DeviceGone) == 0) {
    VendorSetModeIdle(device);  // result not examined: the stream closes regardless
  }
  device->OpenStreams[n] = NULL;
  if (stream->FormatInfo != NULL) {
    ExFreePoolWithTag(stream->FormatInfo, MPEGUNIT_POOL_TAG);
    stream->FormatInfo = NULL;
  }
  stream->MasterClock = NULL;
  StreamSetStateWord(&stream->State, KSSTATE_STOP);
  device->StreamInstances[n]--;
  if (n != StreamAnalog) {
    device->MpegStreamsOpen--;
  }
}

// See drventry.h. <= DISPATCH_LEVEL; StreamPendingLock[n], released
// before any completion.
VOID StreamCancelPending(StreamContext* Stream) {
  DeviceContext* device = Stream->Device;
  if (device == NULL || Stream->StreamObject == NULL) {
    return;
  }
  ULONG n = Stream->StreamObject->StreamNumber;
  LIST_ENTRY cancelled;
  InitializeListHead(&cancelled);

  KIRQL irql = KfAcquireSpinLock(&device->StreamPendingLock[n]);
  while (!IsListEmpty(&device->StreamPendingList[n])) {
    InsertTailList(&cancelled, RemoveHeadList(&device->StreamPendingList[n]));
    device->StreamPendingCount[n]--;
  }
  KfReleaseSpinLock(&device->StreamPendingLock[n], irql);

  // Completed with the lock released: completion calls into the class driver.
  while (!IsListEmpty(&cancelled)) {
    PIRP irp = CONTAINING_RECORD(RemoveHeadList(&cancelled), IRP, Tail.Overlay.ListEntry);
    PHW_STREAM_REQUEST_BLOCK request = (PHW_STREAM_REQUEST_BLOCK)irp->Tail.Overlay.DriverContext[0];
    request->CommandData.DataBufferArray->DataUsed = 0;
    request->Status = STATUS_CANCELLED;
    StreamCompleteRequest(request);
  }
}

// ---- Control requests ----

// SRB_GET_STREAM_STATE. PASSIVE_LEVEL, the stream's control loop.
static VOID StreamGetState(PHW_STREAM_REQUEST_BLOCK Request) {
  StreamContext* stream = StreamOf(Request);
  ULONG state = StreamStateWord(&stream->State);
  StreamSetStateWord(&Request->CommandData.StreamState, state);
  Request->ActualBytesTransferred = sizeof(KSSTATE);
  if (state == KSSTATE_PAUSE) {
    Request->Status = STATUS_NO_DATA_DETECTED;
  }
}

// SRB_INDICATE_MASTER_CLOCK. PASSIVE_LEVEL, the stream's control loop.
static VOID StreamSetMasterClock(PHW_STREAM_REQUEST_BLOCK Request) {
  StreamOf(Request)->MasterClock = Request->CommandData.MasterClockHandle;
}

// The codec operations a state change calls, per MPEG stream.
struct StreamStateOps {
  NTSTATUS (*Start)(DeviceContext* Device);
  NTSTATUS (*Stop)(PHW_STREAM_REQUEST_BLOCK Request);
};
static const StreamStateOps CaptureStateOps = {CaptureStart, CaptureStop};
static const StreamStateOps PlaybackStateOps = {PlaybackStart, PlaybackStop};

// SRB_SET_STREAM_STATE of an MPEG stream. The new State is recorded first, so
// that the worker completes queued requests without transfer while a stop
// waits for it; the start or stop then runs inside the settings gate.
// PASSIVE_LEVEL, the stream's control loop.
static VOID StreamSetState(PHW_STREAM_REQUEST_BLOCK Request, const StreamStateOps* Ops) {
  StreamContext* stream = StreamOf(Request);
  DeviceContext* device = stream->Device;
  ULONG previous = StreamStateWord(&stream->State);
  ULONG state = StreamStateWord(&Request->CommandData.StreamState);
  StreamSetStateWord(&stream->State, state);

  SettingsGateEnter();
  switch (state) {
    case KSSTATE_STOP:
      Ops->Stop(Request);  // result not used: the stream is stopped regardless
      break;
    case KSSTATE_ACQUIRE:
      break;
    case KSSTATE_PAUSE:
      if (previous == KSSTATE_STOP || previous == KSSTATE_ACQUIRE) {
        Request->Status = Ops->Start(device);
      }
      break;
    case KSSTATE_RUN:
      DeviceFlagsClear(device, TransferFailed);
      break;
    default:
      Request->Status = STATUS_UNSUCCESSFUL;
      break;
  }
  SettingsGateLeave();
}

// KSPROPERTY_CONNECTION_ALLOCATORFRAMING with the given frame count and size.
// PASSIVE_LEVEL, the stream's control loop.
static VOID StreamGetAllocatorFraming(PHW_STREAM_REQUEST_BLOCK Request, ULONG Frames,
                                      ULONG FrameSize) {
  PSTREAM_PROPERTY_DESCRIPTOR property = Request->CommandData.PropertyInfo;
  if (property->Property->Id != KSPROPERTY_CONNECTION_ALLOCATORFRAMING) {
    Request->Status = STATUS_NOT_IMPLEMENTED;
    return;
  }
  if (property->PropertyOutputSize < sizeof(KSALLOCATOR_FRAMING)) {
    Request->Status = STATUS_BUFFER_TOO_SMALL;
    return;
  }
  PKSALLOCATOR_FRAMING framing = (PKSALLOCATOR_FRAMING)property->PropertyInfo;
  framing->RequirementsFlags = FRAMING_REQUIREMENTS;
  framing->PoolType = NonPagedPool;
  framing->Frames = Frames;
  framing->FrameSize = FrameSize;
  framing->FileAlignment = FILE_QUAD_ALIGNMENT;
  framing->Reserved = 0;
  Request->ActualBytesTransferred = sizeof(KSALLOCATOR_FRAMING);
}

// Allocator framing of stream 0 and of stream 1. PASSIVE_LEVEL.
static VOID CaptureGetAllocatorFraming(PHW_STREAM_REQUEST_BLOCK Request) {
  StreamGetAllocatorFraming(Request, CAPTURE_FRAMES, CAPTURE_FRAME_SIZE);
}

static VOID PlaybackGetAllocatorFraming(PHW_STREAM_REQUEST_BLOCK Request) {
  StreamGetAllocatorFraming(Request, PLAYBACK_FRAMES, PLAYBACK_FRAME_SIZE);
}

// KSPROPERTY_DROPPEDFRAMES_CURRENT of the capture stream. PASSIVE_LEVEL.
static VOID CaptureGetDroppedFrames(PHW_STREAM_REQUEST_BLOCK Request) {
  PSTREAM_PROPERTY_DESCRIPTOR property = Request->CommandData.PropertyInfo;
  if (property->Property->Id != KSPROPERTY_DROPPEDFRAMES_CURRENT) {
    Request->Status = STATUS_NOT_IMPLEMENTED;
    return;
  }
  if (property->PropertyOutputSize < sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S)) {
    Request->Status = STATUS_BUFFER_TOO_SMALL;
    return;
  }
  PKSPROPERTY_DROPPEDFRAMES_CURRENT_S dropped =
      (PKSPROPERTY_DROPPEDFRAMES_CURRENT_S)property->PropertyInfo;
  dropped->PictureNumber = DROPPED_PICTURE_NUMBER;
  dropped->DropCount = 0;
  dropped->AverageFrameSize = DROPPED_AVERAGE_FRAME_SIZE;
  Request->ActualBytesTransferred = sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S);
}

// SRB_GET_STREAM_PROPERTY of stream 0. PASSIVE_LEVEL.
static VOID CaptureGetProperty(PHW_STREAM_REQUEST_BLOCK Request) {
  const GUID& set = Request->CommandData.PropertyInfo->Property->Set;
  if (IsEqualGUID(set, KSPROPSETID_Connection)) {
    CaptureGetAllocatorFraming(Request);
  } else if (IsEqualGUID(set, PROPSETID_VIDCAP_DROPPEDFRAMES)) {
    CaptureGetDroppedFrames(Request);
  } else {
    Request->Status = STATUS_NOT_IMPLEMENTED;
  }
}

// SRB_GET_STREAM_PROPERTY of stream 1: dropped frames are not answered,
// although the stream lists the set. PASSIVE_LEVEL.
static VOID PlaybackGetProperty(PHW_STREAM_REQUEST_BLOCK Request) {
  const GUID& set = Request->CommandData.PropertyInfo->Property->Set;
  if (IsEqualGUID(set, KSPROPSETID_Connection)) {
    PlaybackGetAllocatorFraming(Request);
  } else {
    Request->Status = STATUS_NOT_IMPLEMENTED;
  }
}

// Handlers of one control request per stream. PASSIVE_LEVEL, the stream's loop.
static VOID CaptureControl(PHW_STREAM_REQUEST_BLOCK Request) {
  switch (Request->Command) {
    case SRB_GET_STREAM_STATE: StreamGetState(Request); break;
    case SRB_SET_STREAM_STATE: StreamSetState(Request, &CaptureStateOps); break;
    case SRB_SET_STREAM_PROPERTY: break;
    case SRB_GET_STREAM_PROPERTY: CaptureGetProperty(Request); break;
    case SRB_INDICATE_MASTER_CLOCK: StreamSetMasterClock(Request); break;
    case SRB_PROPOSE_DATA_FORMAT: break;
    default: Request->Status = STATUS_NOT_IMPLEMENTED; break;
  }
}

static VOID PlaybackControl(PHW_STREAM_REQUEST_BLOCK Request) {
  switch (Request->Command) {
    case SRB_GET_STREAM_STATE: StreamGetState(Request); break;
    case SRB_SET_STREAM_STATE: StreamSetState(Request, &PlaybackStateOps); break;
    case SRB_SET_STREAM_PROPERTY: break;
    case SRB_GET_STREAM_PROPERTY: PlaybackGetProperty(Request); break;
    case SRB_INDICATE_MASTER_CLOCK: StreamSetMasterClock(Request); break;
    case SRB_SET_STREAM_RATE:
    case SRB_PROPOSE_DATA_FORMAT:
    case SRB_PROPOSE_STREAM_RATE:
    case SRB_BEGIN_FLUSH:
    case SRB_END_FLUSH:
      break;
    default: Request->Status = STATUS_NOT_IMPLEMENTED; break;
  }
}

static VOID AnalogControl(PHW_STREAM_REQUEST_BLOCK Request) {
  switch (Request->Command) {
    case SRB_GET_STREAM_STATE: StreamGetState(Request); break;
    case SRB_PROPOSE_DATA_FORMAT:
      if (!StreamFormatSupported(Request->CommandData.OpenFormat, StreamAnalog)) {
        Request->Status = STATUS_NO_MATCH;
      }
      break;
    default: break;  // everything else is accepted and ignored
  }
}

// The control request loop of one stream: the first thread to arrive handles
// its request and every one queued behind it. PASSIVE_LEVEL; QueueLock is
// taken only inside the RequestQueue operations.
static VOID StreamControlLoop(PHW_STREAM_REQUEST_BLOCK Request,
                              VOID (*Handle)(PHW_STREAM_REQUEST_BLOCK Request)) {
  DeviceContext* device = StreamOf(Request)->Device;
  ULONG n = Request->StreamObject->StreamNumber;
  if (RequestQueueEnter(Request, &device->QueueLock, &device->StreamBusy[n],
                        &device->StreamQueue[n])) {
    return;
  }
  do {
    Request->Status = STATUS_SUCCESS;
    Handle(Request);
    StreamCompleteRequest(Request);
  } while (RequestQueueNext(&Request, &device->QueueLock, &device->StreamBusy[n],
                            &device->StreamQueue[n]));
}

// See drventry.h. PASSIVE_LEVEL.
VOID STREAMAPI CaptureReceiveControl(PHW_STREAM_REQUEST_BLOCK Request) {
  StreamControlLoop(Request, CaptureControl);
}

// See drventry.h. PASSIVE_LEVEL.
VOID STREAMAPI PlaybackReceiveControl(PHW_STREAM_REQUEST_BLOCK Request) {
  StreamControlLoop(Request, PlaybackControl);
}

// See drventry.h. PASSIVE_LEVEL.
VOID STREAMAPI AnalogReceiveControl(PHW_STREAM_REQUEST_BLOCK Request) {
  StreamControlLoop(Request, AnalogControl);
}

// ---- Data requests ----

// See drventry.h. PASSIVE_LEVEL (the worker thread); no lock.
VOID StreamFormatChange(PHW_STREAM_REQUEST_BLOCK Request) {
  DeviceContext* device = StreamOf(Request)->Device;
  PKSSTREAM_HEADER header = Request->CommandData.DataBufferArray;
  PKSDATAFORMAT format = (PKSDATAFORMAT)header->Data;

  Request->Status = STATUS_SUCCESS;
  // Only what lies within the buffer is read: the format's size, then the
  // standard selector after its KSDATAFORMAT.
  if (device->CodecState == CodecReady && format != NULL &&
      header->FrameExtent > PLAYBACK_SELECTOR_OFFSET &&
      format->FormatSize > PLAYBACK_SELECTOR_OFFSET) {
    UCHAR selector = ((const UCHAR*)format)[PLAYBACK_SELECTOR_OFFSET];
    ULONG standard =
        (selector == PLAYBACK_SELECTOR_NTSC) ? KS_AnalogVideo_NTSC_M : KS_AnalogVideo_PAL_B;
    VideoSetStandard(device, standard);
    VideoSetFixedInput(device, TRUE);
    VendorSetModeDecode(device);
    DecStart(device);  // its result does not change the request's Status
  }
}

// A read or write of a stream that is not stopped, format changes included:
// queued to the worker, which completes it. A format change talks to the
// unit with synchronous requests, which cannot wait at the DISPATCH_LEVEL
// that data requests may arrive at; the worker runs it at PASSIVE_LEVEL, in
// order with the data around it. <= DISPATCH_LEVEL; no lock held.
static VOID StreamDataRequest(PHW_STREAM_REQUEST_BLOCK Request) {
  Request->Status = STATUS_PENDING;
  WorkerQueueRequest(StreamOf(Request)->Device, Request);
}

// The data routine of an MPEG stream: only Accepted is taken; in STOP it is
// completed at once and nothing moves. <= DISPATCH_LEVEL; no lock held.
static VOID StreamReceiveData(PHW_STREAM_REQUEST_BLOCK Request, SRB_COMMAND Accepted) {
  if (Request->Command != Accepted) {
    Request->Status = STATUS_NOT_IMPLEMENTED;
    StreamCompleteRequest(Request);
    return;
  }
  // Only the first stream header is used; a request must carry one.
  if (Request->CommandData.DataBufferArray == NULL) {
    Request->Status = STATUS_INVALID_PARAMETER;
    StreamCompleteRequest(Request);
    return;
  }
  if (StreamStateWord(&StreamOf(Request)->State) == KSSTATE_STOP) {
    Request->Status = STATUS_SUCCESS;
    StreamCompleteRequest(Request);
    return;
  }
  StreamDataRequest(Request);
}

// See drventry.h. <= DISPATCH_LEVEL; no lock.
VOID STREAMAPI CaptureReceiveData(PHW_STREAM_REQUEST_BLOCK Request) {
  StreamReceiveData(Request, SRB_READ_DATA);
}

// See drventry.h. <= DISPATCH_LEVEL; no lock.
VOID STREAMAPI PlaybackReceiveData(PHW_STREAM_REQUEST_BLOCK Request) {
  StreamReceiveData(Request, SRB_WRITE_DATA);
}

// See drventry.h. <= DISPATCH_LEVEL; no lock.
VOID STREAMAPI AnalogReceiveData(PHW_STREAM_REQUEST_BLOCK Request) {
  // The analog input carries no data of its own: writes are accepted and ignored.
  Request->Status = (Request->Command == SRB_WRITE_DATA) ? STATUS_SUCCESS : STATUS_NOT_IMPLEMENTED;
  StreamCompleteRequest(Request);
}
