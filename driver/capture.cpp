// Capture and playback control: the bridge between the states of the two
// MPEG streams and the codec.
//
// A start (stream PAUSE from STOP or ACQUIRE) resets the codec, moves the
// video front end out of the way while the microcode is downloaded and, for
// capture, starts the encoder; the decoder starts later, with the first data
// packet that announces its format. A stop (stream STOP) waits until the
// transfer worker is idle, so that no bulk transfer is in flight, then puts
// the unit in idle mode, stops the codec and cancels the stream's pending
// requests. The reset, mode and front-end commands are best effort: their
// failures do not change the outcome, which only the codec steps decide.
#include "capture.h"
#include "usbdi.h"
#include "drventry.h"
#include "kivchip.h"
#include "kivdec.h"
#include "kivenc.h"
#include "uda1345.h"

namespace {

// The operations of one capture mode that a capture start calls.
struct CaptureModeOps {
  BOOLEAN (*NeedsLoad)(DeviceContext*);
  NTSTATUS (*Load)(DeviceContext*);
  NTSTATUS (*Start)(DeviceContext*);
};

const CaptureModeOps CaptureMpeg1Ops = {EncMpeg1NeedsLoad, EncMpeg1Load, EncMpeg1Start};
const CaptureModeOps CaptureMpeg2Ops = {EncMpeg2NeedsLoad, EncMpeg2Load, EncMpeg2Start};

// CaptureRunMode: loads the mode's encoder image when it is not in the codec,
// with the video output disabled and the video decoder on its fixed input for
// the download, then enters encode mode and starts the encoder.
// Returns the load's status when it is not STATUS_SUCCESS (the output then
// stays disabled and the decoder on its fixed input), else the start's.
// PASSIVE_LEVEL, no lock.
NTSTATUS CaptureRunMode(DeviceContext* Device, const CaptureModeOps* Ops) {
  if (Ops->NeedsLoad(Device)) {
    (void)VideoDisableOutput(Device, TRUE);   // best effort
    (void)VideoSetFixedInput(Device, TRUE);   // best effort
    const NTSTATUS status = Ops->Load(Device);
    if (status != STATUS_SUCCESS) {
      return status;
    }
    (void)VideoSetFixedInput(Device, FALSE);  // best effort
    (void)VideoDisableOutput(Device, FALSE);  // best effort
  }
  (void)VendorSetModeEncode(Device);          // best effort
  return Ops->Start(Device);
}

// How long a stop waits for the worker's transfer in progress before it
// aborts it: longer than one capture buffer takes at the lowest bit rate
// (131072 bytes at 1,000,000 bit/s is about one second). 100 ns units.
#define CAPTURE_STOP_IDLE_WAIT (-3LL * 10000000LL)

// CaptureWaitIdle: waits until the transfer worker has finished its current
// transfer and has nothing queued. A unit that has stopped delivering (or
// accepting) data would keep that transfer, and the stop, waiting for ever:
// when the worker is still busy after CAPTURE_STOP_IDLE_WAIT, the pipe of the
// transfer in progress is aborted, which completes it, and the wait goes on
// until the worker is idle. PASSIVE_LEVEL, no lock held.
void CaptureWaitIdle(DeviceContext* Device) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = CAPTURE_STOP_IDLE_WAIT;
  if (KeWaitForSingleObject(&Device->WorkerIdleEvent, Executive, KernelMode, FALSE, &timeout) !=
      STATUS_TIMEOUT) {
    return;
  }
  USBD_PIPE_HANDLE pipe = DeviceCurrentPipe(Device);
  if (pipe != NULL) (void)UsbAbortPipe(Device, pipe);  // not examined: the wait below decides
  (void)KeWaitForSingleObject(&Device->WorkerIdleEvent, Executive, KernelMode, FALSE, NULL);
}

}  // namespace

// CaptureStart: starts the capture codec for the capture stream's move to
// PAUSE: the codec is reset and counts as unloaded, so the encoder image of
// CaptureMode (0 MPEG-2, else MPEG-1) is always downloaded afresh.
// Returns the load's or the start's status. PASSIVE_LEVEL, no lock; on the
// capture stream's control thread.
NTSTATUS CaptureStart(DeviceContext* Device) {
  (void)AudioCodecCommand2(Device);  // best effort
  Device->VideoDecoderStatus = 0;
  Device->CodecState = CodecUnloaded;
  (void)VendorResetCodec(Device);    // best effort
  if (Device->CaptureMode == CaptureModeMpeg2) {
    return CaptureRunMpeg2(Device);
  }
  return CaptureRunMpeg1(Device);
}

// CaptureRunMpeg1 / CaptureRunMpeg2: see CaptureRunMode. PASSIVE_LEVEL, no lock.
NTSTATUS CaptureRunMpeg1(DeviceContext* Device) {
  return CaptureRunMode(Device, &CaptureMpeg1Ops);
}

NTSTATUS CaptureRunMpeg2(DeviceContext* Device) {
  return CaptureRunMode(Device, &CaptureMpeg2Ops);
}

// CaptureStop: stops the capture codec for the capture stream's move to STOP.
//   Request  the state-change request; its HwDeviceExtension is the adapter
//            and its stream's HwStreamExtension the StreamContext.
// Waits for the worker to go idle; unless the adapter was torn down, enters
// idle mode and stops the encoder; then cancels the stream's pending
// requests in any case. Returns the encoder stop's status (STATUS_SUCCESS
// after a tear-down); the caller does not use it. PASSIVE_LEVEL, no lock.
NTSTATUS CaptureStop(PHW_STREAM_REQUEST_BLOCK Request) {
  DeviceContext* device = (DeviceContext*)Request->HwDeviceExtension;
  StreamContext* stream = (StreamContext*)Request->StreamObject->HwStreamExtension;
  NTSTATUS status = STATUS_SUCCESS;
  CaptureWaitIdle(device);
  if ((DeviceFlags(device) & TornDown) == 0) {
    (void)VendorSetModeIdle(device);  // best effort
    device->VideoDecoderStatus = 0;
    status = device->CaptureMode == CaptureModeMpeg2 ? EncMpeg2Stop(device)
                                                     : EncMpeg1Stop(device);
  }
  StreamCancelPending(stream);
  return status;
}

// PlaybackStart: prepares the decoder for the input stream's move to PAUSE:
// resets the codec and downloads and configures the decoder image with the
// video output disabled and the video decoder on its fixed input; the output
// is enabled again afterwards, the fixed input stays for the playback.
// Returns DecLoad's status when it is not STATUS_SUCCESS (the output then
// stays disabled), else STATUS_SUCCESS. PASSIVE_LEVEL, no lock; on the input
// stream's control thread.
NTSTATUS PlaybackStart(DeviceContext* Device) {
  (void)AudioCodecCommand2(Device);  // best effort
  (void)VendorResetCodec(Device);    // best effort
  Device->CodecState = CodecUnloaded;
  if (DecNeedsLoad(Device)) {
    (void)VideoDisableOutput(Device, TRUE);   // best effort
    (void)VideoSetFixedInput(Device, TRUE);   // best effort
    const NTSTATUS status = DecLoad(Device);
    if (status != STATUS_SUCCESS) {
      return status;
    }
    (void)VideoDisableOutput(Device, FALSE);  // best effort
  }
  return STATUS_SUCCESS;
}

// PlaybackStop: stops the decoder for the input stream's move to STOP.
//   Request  as for CaptureStop.
// Waits for the worker to go idle, enters idle mode, stops the decoder and
// cancels the stream's pending requests. It speaks to the unit also after a
// tear-down; the failures of its commands change nothing there. Returns DecStop's status; the
// caller does not use it. PASSIVE_LEVEL, no lock.
NTSTATUS PlaybackStop(PHW_STREAM_REQUEST_BLOCK Request) {
  DeviceContext* device = (DeviceContext*)Request->HwDeviceExtension;
  StreamContext* stream = (StreamContext*)Request->StreamObject->HwStreamExtension;
  CaptureWaitIdle(device);
  device->VideoDecoderStatus = 0;
  (void)VendorSetModeIdle(device);  // best effort
  const NTSTATUS status = DecStop(device);
  StreamCancelPending(stream);
  return status;
}

// CaptureGoIdle: the unit-idle property: resets the codec, returns the video
// decoder to the selected input and sends audio codec command 1. CodecState
// is left as it is; the next start reloads the codec anyway. Always
// STATUS_SUCCESS. PASSIVE_LEVEL, no lock; in the device request loop.
NTSTATUS CaptureGoIdle(DeviceContext* Device) {
  (void)VendorResetCodec(Device);          // best effort
  (void)VideoSetFixedInput(Device, FALSE);  // best effort
  (void)AudioCodecCommand1(Device);        // best effort
  return STATUS_SUCCESS;
}
