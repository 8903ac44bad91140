// Not yet built: every operation answers that it is not implemented.
#include "devprop.h"


VOID PropDeviceGet(PHW_STREAM_REQUEST_BLOCK Request) {
  (void)Request;
}

VOID PropDeviceSet(PHW_STREAM_REQUEST_BLOCK Request) {
  (void)Request;
}

VOID PropProcAmpGet(PHW_STREAM_REQUEST_BLOCK Request) {
  (void)Request;
}

VOID PropProcAmpSet(PHW_STREAM_REQUEST_BLOCK Request) {
  (void)Request;
}

VOID PropDecoderGet(PHW_STREAM_REQUEST_BLOCK Request) {
  (void)Request;
}

VOID PropDecoderSet(PHW_STREAM_REQUEST_BLOCK Request) {
  (void)Request;
}

VOID PropCompressionGet(PHW_STREAM_REQUEST_BLOCK Request) {
  (void)Request;
}

VOID PropCompressionSet(PHW_STREAM_REQUEST_BLOCK Request) {
  (void)Request;
}

VOID PropCrossbarGet(PHW_STREAM_REQUEST_BLOCK Request) {
  (void)Request;
}

VOID PropCrossbarSet(PHW_STREAM_REQUEST_BLOCK Request) {
  (void)Request;
}

VOID PropUnitGet(PHW_STREAM_REQUEST_BLOCK Request) {
  (void)Request;
}

VOID PropUnitSet(PHW_STREAM_REQUEST_BLOCK Request) {
  (void)Request;
}

NTSTATUS PropSetBitRate(DeviceContext* Device, ULONG BitRate) {
  (void)Device;
  (void)BitRate;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS PropSetEncoding(DeviceContext* Device, ULONG BitRate, ULONG PeakBitRate,
                         ULONG VariableBitRate, ULONG CaptureMode) {
  (void)Device;
  (void)BitRate;
  (void)PeakBitRate;
  (void)VariableBitRate;
  (void)CaptureMode;
  return STATUS_NOT_IMPLEMENTED;
}

const KSPROPERTY_SET DevicePropertySets[DEVICE_PROPERTY_SET_COUNT] = {};
