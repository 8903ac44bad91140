// Capture and playback control: ties the codec to the states of the two MPEG
// streams. PASSIVE_LEVEL, no lock held; the starts and stops run on the
// stream's state-change thread (serialised per stream), CaptureGoIdle in the
// device request loop. Reset, mode and front-end commands are best effort.
#pragma once

#include "mpegunit.h"

// Stream 0 to PAUSE from STOP or ACQUIRE: reset, download and configure the
// encoder of CaptureMode, encode mode, start. Returns the load's or start's
// status (the state change's status).
NTSTATUS CaptureStart(DeviceContext* Device);
// The MPEG-1 / MPEG-2 part of CaptureStart.
NTSTATUS CaptureRunMpeg1(DeviceContext* Device);
NTSTATUS CaptureRunMpeg2(DeviceContext* Device);
// Stream 0 to STOP: waits (no time limit) for WorkerIdleEvent; unless torn
// down, idle mode and encoder stop; cancels the stream's pending requests.
// Request is the state change; the result is not used by the caller.
NTSTATUS CaptureStop(PHW_STREAM_REQUEST_BLOCK Request);
// Stream 1 to PAUSE from STOP or ACQUIRE: reset, download and configure the
// decoder; the decoder starts with the first format-change packet.
NTSTATUS PlaybackStart(DeviceContext* Device);
// Stream 1 to STOP: as CaptureStop, with the decoder, also after a tear-down.
NTSTATUS PlaybackStop(PHW_STREAM_REQUEST_BLOCK Request);
// KSPROPERTY_UNIT_IDLE: codec reset, video decoder back on the selected
// input, audio codec command 1. CodecState unchanged; always STATUS_SUCCESS.
NTSTATUS CaptureGoIdle(DeviceContext* Device);
