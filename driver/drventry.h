// Adapter entry, device request dispatch, stream tables and stream requests.
//
//   drventry.cpp      entry routine, device request loop, RequestQueue, life cycle
//   streamtables.cpp  stream header, descriptors, data ranges, mediums; the
//                     stream-info and data-intersection requests; format rules
//   stream.cpp        stream open and close, control and data requests
#pragma once

#include "mpegunit.h"

// The per-request extension the class driver attaches to every request.
struct RequestExtension {
  LIST_ENTRY QueueLink;                  // place in one RequestQueue list
  PHW_STREAM_REQUEST_BLOCK QueuedRequest;  // written when queued, read when taken out
  ULONG Reserved[2];                     // not used; pads the record to its announced 20 bytes
};

// Extension sizes announced at registration: the counts of the 32-bit target,
// or our record's size where the hosted (64-bit) record is larger.
#define MPEGUNIT_SIZE_AT_LEAST(count, record) \
  ((ULONG)(sizeof(record) > (count) ? sizeof(record) : (count)))
#define DEVICE_EXTENSION_SIZE MPEGUNIT_SIZE_AT_LEAST(696u, DeviceContext)
#define REQUEST_EXTENSION_SIZE MPEGUNIT_SIZE_AT_LEAST(20u, RequestExtension)
#define STREAM_EXTENSION_SIZE MPEGUNIT_SIZE_AT_LEAST(32u, StreamContext)

// ---- The driver's own format and pin GUIDs ----
#define STATIC_KSDATAFORMAT_SUBTYPE_UNIT_MPEG \
  0xBCF38D7A, 0x0593, 0x4528, 0x99, 0xCD, 0x97, 0x84, 0x66, 0xC3, 0xD9, 0xE5
#define STATIC_KSDATAFORMAT_SPECIFIER_UNIT_MPEG \
  0x491534F7, 0x7436, 0x4711, 0x99, 0x86, 0x83, 0x9C, 0xEB, 0xF7, 0xD5, 0x00
#define STATIC_PINNAME_UNIT_MPEG_IN \
  0x6F1C2B84, 0x3D5E, 0x4A97, 0xB0, 0xC6, 0x81, 0xE2, 0xD4, 0xF5, 0xA9, 0x13
extern const GUID KSDATAFORMAT_SUBTYPE_UNIT_MPEG;    // subformat of the playback range
extern const GUID KSDATAFORMAT_SPECIFIER_UNIT_MPEG;  // specifier of the playback range
extern const GUID PINNAME_UNIT_MPEG_IN;              // name of the playback pin

// ---- Stream tables ----

// One entry of the static stream table: what SRB_GET_STREAM_INFO hands over
// and the routines that an open copies into the class driver's stream object.
struct StreamDescriptor {
  HW_STREAM_INFORMATION StreamInfo;
  HW_STREAM_OBJECT StreamObject;
};

// The format stream 1 is opened with: the playback range with its four
// trailing words, FormatSize 80 (the KSDATAFORMAT plus 16 bytes).
struct PlaybackFormat {
  KSDATAFORMAT DataFormat;
  ULONG StandardSelector;  // first byte 1 selects NTSC, anything else PAL
  ULONG Words[3];          // 1, 0, 0
};
#define PLAYBACK_FORMAT_SIZE ((ULONG)sizeof(PlaybackFormat))  // 80

// Size of a VIDEOINFOHEADER before its bitmap header (48), and the offset of
// the header in a KS_DATAFORMAT_VIDEOINFOHEADER format (64).
#define VIDEO_PREHEADER_SIZE ((ULONG)FIELD_OFFSET(KS_VIDEOINFOHEADER, bmiHeader))
#define VIDEO_FORMAT_HEADER_OFFSET ((ULONG)sizeof(KSDATAFORMAT))

// The tables themselves (streamtables.cpp). The header and the two capture
// ranges are writable: stream info fills the header's device property table
// and data intersection writes the current capture size into a range.
extern HW_STREAM_HEADER StreamHeader;
extern const StreamDescriptor StreamDescriptors[StreamCount];
extern KS_DATARANGE_VIDEO CaptureRangeMpeg2;
extern KS_DATARANGE_VIDEO CaptureRangeMpeg1;
extern const KSPIN_MEDIUM CrossbarMediums[5];  // composite, S-video, decoder out, audio in, audio out
#define CROSSBAR_MEDIUM_COUNT 5

// Size of the SRB_GET_STREAM_INFO answer: the header and three entries.
#define STREAM_DESCRIPTOR_SIZE \
  ((ULONG)(sizeof(HW_STREAM_HEADER) + StreamCount * sizeof(HW_STREAM_INFORMATION)))

// ---- Entry points ----

// PASSIVE_LEVEL. Fills the registration record; returns the class driver's status.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// HwReceivePacket: every device request. Up to PASSIVE_LEVEL (device requests
// arrive at passive level). Serialises device requests with DeviceQueue; a
// request that finds the loop busy returns pending and is handled by the
// thread that owns the loop. No lock held while a handler runs.
VOID STREAMAPI AdapterReceivePacket(PHW_STREAM_REQUEST_BLOCK Request);
// HwCancelPacket: completes what waits in every open stream's pending list,
// and takes Request out of the worker queue when it still waits there
// (completed with STATUS_CANCELLED). <= DISPATCH_LEVEL; takes each
// StreamPendingLock, then WorkerQueueLock, one at a time.
VOID STREAMAPI AdapterCancelPacket(PHW_STREAM_REQUEST_BLOCK Request);
// HwRequestTimeoutHandler: reloads the request's timeout; never cancels.
// Any IRQL <= DISPATCH_LEVEL; no lock.
VOID STREAMAPI AdapterRequestTimeout(PHW_STREAM_REQUEST_BLOCK Request);

// RequestQueue: a FIFO of requests waiting for a busy handler loop. Any IRQL
// <= DISPATCH_LEVEL; takes Lock briefly (never held on return).
// Enter: TRUE when Request was queued behind a busy loop (the caller returns
// at once); FALSE when the caller now owns the loop.
BOOLEAN RequestQueueEnter(PHW_STREAM_REQUEST_BLOCK Request, PKSPIN_LOCK Lock, ULONG* Busy,
                          PLIST_ENTRY List);
// Next: TRUE with the next queued request in *Request; FALSE when the list was
// empty and the loop has been left (Busy is 0 again).
BOOLEAN RequestQueueNext(PHW_STREAM_REQUEST_BLOCK* Request, PKSPIN_LOCK Lock, ULONG* Busy,
                         PLIST_ENTRY List);

// The settings gate: device property requests and the state changes of the
// MPEG streams run on different threads, and both read and write the
// settings of the device context and talk to the unit's front end in several
// steps (a register address, then its value). They take turns through the
// gate, so that a capture start never sees half of a property set and two
// register reads never interleave. The gate is held across the unit's
// requests and a stop's wait for the worker, which never takes it.
// Set up by DriverEntry or at its first use. PASSIVE_LEVEL; Enter blocks until the gate is
// free, Leave frees it; not recursive.
VOID SettingsGateEnter(VOID);
VOID SettingsGateLeave(VOID);

// Hand a request back to the class driver. Any IRQL <= DISPATCH_LEVEL; no lock.
VOID AdapterCompleteDeviceRequest(PHW_STREAM_REQUEST_BLOCK Request);
VOID StreamCompleteRequest(PHW_STREAM_REQUEST_BLOCK Request);

// ---- Device request handlers (PASSIVE_LEVEL, in the device request loop, no lock) ----

// SRB_INITIALIZE_DEVICE: bring-up and worker start. A failed bring-up gives
// Status 0xFFFFFFFF, Flags DeviceGone, and releases what it allocated.
VOID AdapterInitialize(PHW_STREAM_REQUEST_BLOCK Request);
// USB configuration, initial and stored settings, the USB buffers, codec reset,
// front end, idle mode and picture controls. Returns the configuration's status
// or STATUS_INSUFFICIENT_RESOURCES; the unit commands' results are not examined.
NTSTATUS AdapterBringUp(DeviceContext* Device);
// SRB_UNINITIALIZE_DEVICE and SRB_SURPRISE_REMOVAL: marks the unit gone, stops
// the worker (queued requests complete without data) and frees the USB buffers.
VOID AdapterUninitialize(PHW_STREAM_REQUEST_BLOCK Request);
// SRB_CHANGE_POWER_STATE: records the state; nothing is sent to the unit.
VOID AdapterSetPowerState(PHW_STREAM_REQUEST_BLOCK Request);
// SRB_INITIALIZATION_COMPLETE: registers the crossbar and capture filters and
// detects the live input and standard (blocks one or two seconds).
VOID AdapterInitializationComplete(PHW_STREAM_REQUEST_BLOCK Request);
// Tries the stored input, then the other one, one second each; on a locked
// signal sets the standard and, when it changed, the capture size.
VOID AdapterDetectInput(DeviceContext* Device);

// ---- Stream tables and formats (streamtables.cpp) ----

// SRB_GET_STREAM_INFO: copies the header and the three stream information
// entries into the class driver's STREAM_DESCRIPTOR_SIZE-byte buffer.
VOID AdapterGetStreamInfo(PHW_STREAM_REQUEST_BLOCK Request);
// SRB_GET_DATA_INTERSECTION: the format a stream offers for the caller's range
// (or its size, for a 4-byte buffer). PASSIVE_LEVEL, device request loop.
VOID AdapterDataIntersection(PHW_STREAM_REQUEST_BLOCK Request);
// TRUE when the three GUIDs are equal (and, with CompareSizes, FormatSize). Any IRQL.
BOOLEAN StreamFormatMatches(PKSDATARANGE First, PKSDATARANGE Second, BOOLEAN CompareSizes);
// TRUE when a range of the stream matches Format (sizes not compared) and its
// specifier is one of ours. Any IRQL.
BOOLEAN StreamFormatSupported(PKSDATAFORMAT Format, ULONG StreamNumber);

// ---- Streams (stream.cpp) ----

// A state word as a number. SRB_SET_STREAM_STATE records whatever value it is
// given, also one that is no KSSTATE, so State (and the request's StreamState)
// are read and written as their 32-bit words, never loaded as the enumeration.
// The stream's State is read by the worker while a state change writes it, so
// both are interlocked. Any IRQL; no lock.
static_assert(sizeof(KSSTATE) == sizeof(LONG), "a stream state is one 32-bit word");
static inline ULONG StreamStateWord(const KSSTATE* State) {
  // A compare-exchange of 0 with 0 reads the word and leaves it as it is.
  return (ULONG)InterlockedCompareExchange((volatile LONG*)(KSSTATE*)State, 0, 0);
}
static inline VOID StreamSetStateWord(KSSTATE* State, ULONG Value) {
  InterlockedExchange((volatile LONG*)State, (LONG)Value);
}

// SRB_OPEN_STREAM / SRB_CLOSE_STREAM: device requests, PASSIVE_LEVEL, in the
// device request loop.
VOID StreamOpen(PHW_STREAM_REQUEST_BLOCK Request);
VOID StreamClose(PHW_STREAM_REQUEST_BLOCK Request);
// Data routines: <= DISPATCH_LEVEL, no lock; hand reads and writes to the worker.
VOID STREAMAPI CaptureReceiveData(PHW_STREAM_REQUEST_BLOCK Request);
VOID STREAMAPI PlaybackReceiveData(PHW_STREAM_REQUEST_BLOCK Request);
VOID STREAMAPI AnalogReceiveData(PHW_STREAM_REQUEST_BLOCK Request);
// Control routines: PASSIVE_LEVEL; serialised per stream with StreamQueue[n].
VOID STREAMAPI CaptureReceiveControl(PHW_STREAM_REQUEST_BLOCK Request);
VOID STREAMAPI PlaybackReceiveControl(PHW_STREAM_REQUEST_BLOCK Request);
VOID STREAMAPI AnalogReceiveControl(PHW_STREAM_REQUEST_BLOCK Request);
// A data request that announces a format change (KSSTREAM_HEADER_OPTIONSF_
// TYPECHANGED): when the decoder is loaded and ready, sets the standard the
// new playback format names and starts the decoder. Sets Status (success
// whatever the decoder does); the caller completes the request. PASSIVE_LEVEL
// (the worker thread); no lock.
VOID StreamFormatChange(PHW_STREAM_REQUEST_BLOCK Request);
// Completes what waits in the stream's pending list with STATUS_CANCELLED.
// <= DISPATCH_LEVEL; takes StreamPendingLock[n].
VOID StreamCancelPending(StreamContext* Stream);
