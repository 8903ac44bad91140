// The decoder: load, configure, start and stop. PASSIVE_LEVEL, no lock: the
// load and stop run on the input stream's state-change thread, the start on
// the thread of its data request. Every sequence ends at the first step that
// returns anything but STATUS_SUCCESS.
#pragma once

#include "mpegunit.h"

// FALSE only when the decoder image is in the codec and not reset since.
BOOLEAN DecNeedsLoad(DeviceContext* Device);
// Download and configure the decoder image; success leaves CodecReady with
// LoadedImageKind 2, LoadedImage 5; a failure leaves CodecUnloaded.
NTSTATUS DecLoad(DeviceContext* Device);
// The download alone: "MpegDecoderMicrocode", else the built-in decoder.ux.
NTSTATUS DecLoadImage(DeviceContext* Device);
// The three channel set-up messages after the download.
NTSTATUS DecConfigure(DeviceContext* Device);
// In CodecReady: start command and start messages, CodecRunning on success.
// In CodecRunning nothing is sent (STATUS_SUCCESS); otherwise nothing is
// sent and the result is STATUS_UNSUCCESSFUL.
NTSTATUS DecStart(DeviceContext* Device);
// In CodecRunning the stop messages (a failure keeps CodecRunning); every
// other case ends in CodecReady with STATUS_SUCCESS.
NTSTATUS DecStop(DeviceContext* Device);
