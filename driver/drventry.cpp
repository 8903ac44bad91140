// Not yet built: every operation answers that it is not implemented.
#include "drventry.h"


extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  (void)DriverObject;
  (void)RegistryPath;
  return STATUS_NOT_IMPLEMENTED;
}

VOID STREAMAPI AdapterReceivePacket(PHW_STREAM_REQUEST_BLOCK Request) {
  (void)Request;
}

VOID STREAMAPI AdapterCancelPacket(PHW_STREAM_REQUEST_BLOCK Request) {
  (void)Request;
}

VOID STREAMAPI AdapterRequestTimeout(PHW_STREAM_REQUEST_BLOCK Request) {
  (void)Request;
}

BOOLEAN RequestQueueEnter(PHW_STREAM_REQUEST_BLOCK Request, PKSPIN_LOCK Lock, ULONG* Busy,
                          PLIST_ENTRY List) {
  (void)Request;
  (void)Lock;
  (void)Busy;
  (void)List;
  return FALSE;
}

BOOLEAN RequestQueueNext(PHW_STREAM_REQUEST_BLOCK* Request, PKSPIN_LOCK Lock, ULONG* Busy,
                         PLIST_ENTRY List) {
  (void)Request;
  (void)Lock;
  (void)Busy;
  (void)List;
  return FALSE;
}

VOID AdapterCompleteDeviceRequest(PHW_STREAM_REQUEST_BLOCK Request) {
  (void)Request;
}

VOID StreamCompleteRequest(PHW_STREAM_REQUEST_BLOCK Request) {
  (void)Request;
}

VOID AdapterInitialize(PHW_STREAM_REQUEST_BLOCK Request) {
  (void)Request;
}

NTSTATUS AdapterBringUp(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

VOID AdapterUninitialize(PHW_STREAM_REQUEST_BLOCK Request) {
  (void)Request;
}

VOID AdapterSetPowerState(PHW_STREAM_REQUEST_BLOCK Request) {
  (void)Request;
}

VOID AdapterInitializationComplete(PHW_STREAM_REQUEST_BLOCK Request) {
  (void)Request;
}

VOID AdapterDetectInput(DeviceContext* Device) {
  (void)Device;
}

VOID AdapterGetStreamInfo(PHW_STREAM_REQUEST_BLOCK Request) {
  (void)Request;
}

VOID AdapterDataIntersection(PHW_STREAM_REQUEST_BLOCK Request) {
  (void)Request;
}

BOOLEAN StreamFormatMatches(PKSDATARANGE First, PKSDATARANGE Second, BOOLEAN CompareSizes) {
  (void)First;
  (void)Second;
  (void)CompareSizes;
  return FALSE;
}

BOOLEAN StreamFormatSupported(PKSDATAFORMAT Format, ULONG StreamNumber) {
  (void)Format;
  (void)StreamNumber;
  return FALSE;
}

VOID StreamOpen(PHW_STREAM_REQUEST_BLOCK Request) {
  (void)Request;
}

VOID StreamClose(PHW_STREAM_REQUEST_BLOCK Request) {
  (void)Request;
}

VOID STREAMAPI CaptureReceiveData(PHW_STREAM_REQUEST_BLOCK Request) {
  (void)Request;
}

VOID STREAMAPI CaptureReceiveControl(PHW_STREAM_REQUEST_BLOCK Request) {
  (void)Request;
}

VOID STREAMAPI PlaybackReceiveData(PHW_STREAM_REQUEST_BLOCK Request) {
  (void)Request;
}

VOID STREAMAPI PlaybackReceiveControl(PHW_STREAM_REQUEST_BLOCK Request) {
  (void)Request;
}

VOID STREAMAPI AnalogReceiveData(PHW_STREAM_REQUEST_BLOCK Request) {
  (void)Request;
}

VOID STREAMAPI AnalogReceiveControl(PHW_STREAM_REQUEST_BLOCK Request) {
  (void)Request;
}

VOID StreamCancelPending(StreamContext* Stream) {
  (void)Stream;
}
