// Capture and playback control: ties the codec to the stream states. PASSIVE_LEVEL.
#pragma once

#include "mpegunit.h"

NTSTATUS CaptureStart(DeviceContext* Device);
NTSTATUS CaptureRunMpeg1(DeviceContext* Device);
NTSTATUS CaptureRunMpeg2(DeviceContext* Device);
NTSTATUS CaptureStop(PHW_STREAM_REQUEST_BLOCK Request);
NTSTATUS PlaybackStart(DeviceContext* Device);
NTSTATUS PlaybackStop(PHW_STREAM_REQUEST_BLOCK Request);
NTSTATUS CaptureGoIdle(DeviceContext* Device);
