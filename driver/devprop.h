// Device property dispatch, the property tables, and the set handlers.
// PASSIVE_LEVEL, in the device request loop.
#pragma once

#include "mpegunit.h"

// The device property set table handed to the class driver with the stream header.
extern const KSPROPERTY_SET DevicePropertySets[];
#define DEVICE_PROPERTY_SET_COUNT 5

VOID PropDeviceGet(PHW_STREAM_REQUEST_BLOCK Request);
VOID PropDeviceSet(PHW_STREAM_REQUEST_BLOCK Request);
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
NTSTATUS PropSetBitRate(DeviceContext* Device, ULONG BitRate);
NTSTATUS PropSetEncoding(DeviceContext* Device, ULONG BitRate, ULONG PeakBitRate,
                         ULONG VariableBitRate, ULONG CaptureMode);
