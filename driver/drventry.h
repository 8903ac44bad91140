// Adapter entry, device request dispatch, stream tables and stream requests.
#pragma once

#include "mpegunit.h"

// The per-request extension the class driver attaches to every request.
struct RequestExtension {
  LIST_ENTRY QueueLink;                  // place in one RequestQueue list
  PHW_STREAM_REQUEST_BLOCK QueuedRequest;  // written when queued, read when taken out
};

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// Class driver entry points (HW_INITIALIZATION_DATA).
VOID STREAMAPI AdapterReceivePacket(PHW_STREAM_REQUEST_BLOCK Request);
VOID STREAMAPI AdapterCancelPacket(PHW_STREAM_REQUEST_BLOCK Request);
VOID STREAMAPI AdapterRequestTimeout(PHW_STREAM_REQUEST_BLOCK Request);

// RequestQueue: a FIFO of requests waiting for a busy handler loop. Any IRQL
// <= DISPATCH_LEVEL; takes Lock briefly.
BOOLEAN RequestQueueEnter(PHW_STREAM_REQUEST_BLOCK Request, PKSPIN_LOCK Lock, ULONG* Busy,
                          PLIST_ENTRY List);
BOOLEAN RequestQueueNext(PHW_STREAM_REQUEST_BLOCK* Request, PKSPIN_LOCK Lock, ULONG* Busy,
                         PLIST_ENTRY List);

// Hand a request back to the class driver. Any IRQL <= DISPATCH_LEVEL.
VOID AdapterCompleteDeviceRequest(PHW_STREAM_REQUEST_BLOCK Request);
VOID StreamCompleteRequest(PHW_STREAM_REQUEST_BLOCK Request);

// Device request handlers (PASSIVE_LEVEL, in the device request loop).
VOID AdapterInitialize(PHW_STREAM_REQUEST_BLOCK Request);
NTSTATUS AdapterBringUp(DeviceContext* Device);
VOID AdapterUninitialize(PHW_STREAM_REQUEST_BLOCK Request);
VOID AdapterSetPowerState(PHW_STREAM_REQUEST_BLOCK Request);
VOID AdapterInitializationComplete(PHW_STREAM_REQUEST_BLOCK Request);
VOID AdapterDetectInput(DeviceContext* Device);

// Stream tables and formats.
VOID AdapterGetStreamInfo(PHW_STREAM_REQUEST_BLOCK Request);
VOID AdapterDataIntersection(PHW_STREAM_REQUEST_BLOCK Request);
BOOLEAN StreamFormatMatches(PKSDATARANGE First, PKSDATARANGE Second, BOOLEAN CompareSizes);
BOOLEAN StreamFormatSupported(PKSDATAFORMAT Format, ULONG StreamNumber);

// Stream open and close (device requests) and the per-stream routines.
VOID StreamOpen(PHW_STREAM_REQUEST_BLOCK Request);
VOID StreamClose(PHW_STREAM_REQUEST_BLOCK Request);
VOID STREAMAPI CaptureReceiveData(PHW_STREAM_REQUEST_BLOCK Request);
VOID STREAMAPI CaptureReceiveControl(PHW_STREAM_REQUEST_BLOCK Request);
VOID STREAMAPI PlaybackReceiveData(PHW_STREAM_REQUEST_BLOCK Request);
VOID STREAMAPI PlaybackReceiveControl(PHW_STREAM_REQUEST_BLOCK Request);
VOID STREAMAPI AnalogReceiveData(PHW_STREAM_REQUEST_BLOCK Request);
VOID STREAMAPI AnalogReceiveControl(PHW_STREAM_REQUEST_BLOCK Request);
// Completes what waits in the stream's pending list. Takes StreamPendingLock.
VOID StreamCancelPending(StreamContext* Stream);
