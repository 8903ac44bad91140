// The driver's chief shared header: the per-adapter DeviceContext that every
// module keeps its state in, the per-stream StreamContext, the Flags bits,
// the stream numbers and the codec states.
//
// Locking (see each module's header for its own rules):
//   QueueLock          guards DeviceQueue, DeviceBusy, StreamQueue, StreamBusy
//   WorkerQueueLock    guards WorkerQueue (interlocked list operations only)
//   StreamPendingLock  guards StreamPendingList[n] and StreamPendingCount[n]
//   WorkerPending      changed only by interlocked operations
//   Flags              read and changed only through DeviceFlags* below: the
//                      worker sets bits while stream and device requests run
//   CurrentPipe        likewise through DeviceCurrentPipe/DeviceSetCurrentPipe
// Every other field is read and written without a lock: settings change in
// device requests (serialised by the device request loop) and in stream
// state changes (serialised per stream).
#pragma once

#include "platform.h"

// Pool tag "KMF2" as the pool shows it (tags are stored little-endian).
#define MPEGUNIT_POOL_TAG 0x32464D4Bu

// Stream numbers; arrays of three in the DeviceContext are indexed by them.
enum {
  StreamCapture = 0,   // MPEG program stream out of the unit
  StreamPlayback = 1,  // MPEG stream into the unit's decoder
  StreamAnalog = 2,    // analog video input, connected to the crossbar
  StreamCount = 3
};

// Flags bits.
#define DeviceGone 0x1u        // unusable: initialisation failed, torn down, or off the bus
#define TornDown 0x10u         // uninitialisation has run
#define TransferFailed 0x100u  // a bulk transfer failed; cleared when a stream enters RUN

// CodecState values.
#define CodecUnloaded 1u
#define CodecReady 3u
#define CodecRunning 4u

// LoadedImageKind values.
#define ImageKindNone 0u
#define ImageKindEncoder 1u
#define ImageKindDecoder 2u

// LoadedImage values: the last image downloaded.
#define ImageNone 0u
#define ImageMpeg2Pal 1u
#define ImageMpeg2Ntsc 2u
#define ImageMpeg1Pal 3u
#define ImageMpeg1Ntsc 4u
#define ImageDecoder 5u

// CaptureMode values.
#define CaptureModeMpeg2 0u
#define CaptureModeMpeg1 1u

// WorkerCommand values.
#define WorkerCommandNone 0u
#define WorkerCommandWork 1u
#define WorkerCommandExit 2u

struct DeviceContext;

// The per-stream extension, zeroed by the class driver at open.
struct StreamContext {
  DeviceContext* Device;            // the adapter the stream belongs to
  PHW_STREAM_OBJECT StreamObject;   // the class driver's object; StreamNumber names the stream
  PKS_VIDEOINFOHEADER FormatInfo;   // copy of the open capture format's VIDEOINFOHEADER; freed at close
  KSSTATE State;                    // current stream state; STOP at open
  HANDLE MasterClock;               // from SRB_INDICATE_MASTER_CLOCK; cleared at close
  LONGLONG FrameDuration;           // AvgTimePerFrame of the open capture format (100 ns units)
};

// The per-adapter device extension, zero-filled by the class driver.
struct DeviceContext {
  ULONG Flags;                                   // DeviceGone | TornDown | TransferFailed
  DEVICE_POWER_STATE PowerState;                 // last SRB_CHANGE_POWER_STATE
  PDEVICE_OBJECT RealPhysicalDeviceObject;       // every USB request goes here
  USBD_CONFIGURATION_HANDLE ConfigurationHandle; // from the select-configuration request
  PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;  // whole descriptor, nonpaged
  PUSBD_INTERFACE_INFORMATION InterfaceInformation;       // copy with its pipe array, nonpaged
  PURB ResetPipeUrb;                             // URB buffer of the pipe reset
  PURB BulkUrb;                                  // the shared bulk-transfer URB
  PIRP BulkIrp;                                  // the shared IRP of bulk transfers
  USBD_PIPE_HANDLE BulkInPipe;                   // capture data, microcode acknowledgement
  USBD_PIPE_HANDLE BulkOutPipe;                  // playback data, microcode data
  USBD_PIPE_HANDLE CurrentPipe;                  // pipe of the bulk transfer in progress
  BOOLEAN HighSpeed;                             // a pipe has MaximumPacketSize above 64
  ULONG WorkerCommand;                           // WorkerCommandNone / Work / Exit
  LIST_ENTRY WorkerQueue;                        // pending data requests, linked by IRP
  KSPIN_LOCK WorkerQueueLock;
  KEVENT WorkerExitEvent;                        // notification: the worker has ended
  KEVENT WorkerIdleEvent;                        // notification: the worker has nothing to do
  KSEMAPHORE WorkerSemaphore;                    // one release per queued request
  HANDLE WorkerThread;
  volatile LONG WorkerPending;                   // requests in WorkerQueue
  KSPIN_LOCK QueueLock;                          // lock of every RequestQueue
  LIST_ENTRY DeviceQueue;                        // device requests waiting for the loop
  ULONG DeviceBusy;                              // 1 while a thread runs the device loop
  ULONG DeviceQueueReady;                        // 1 once the device queue is initialised
  LIST_ENTRY StreamPendingList[StreamCount];
  KSPIN_LOCK StreamPendingLock[StreamCount];
  LONG StreamPendingCount[StreamCount];
  LIST_ENTRY StreamQueue[StreamCount];           // control requests waiting per stream
  ULONG StreamBusy[StreamCount];
  ULONG HardwareRevision;                        // 0x103, 0x1003 or 0x2003; 0 until read
  ULONG LoadedImageKind;                         // ImageKindNone / Encoder / Decoder
  ULONG CodecState;                              // CodecUnloaded / CodecReady / CodecRunning
  ULONG CaptureMode;                             // CaptureModeMpeg2 / CaptureModeMpeg1
  ULONG LoadedImage;                             // ImageNone .. ImageDecoder
  BOOLEAN EncoderStarted;                        // start sequence ran since the image was loaded
  ULONG CaptureWidth;
  ULONG CaptureHeight;
  ULONG BitRate;                                 // bits per second
  ULONG PeakBitRate;
  ULONG MinBitRate;
  ULONG MaxBitRate;
  ULONG DefaultBitRate;
  ULONG VariableBitRateSupport;                  // 1 variable (MPEG-2), 0 constant
  StreamContext* OpenStreams[StreamCount];       // null when closed
  ULONG Brightness;                              // 0..255
  ULONG Contrast;                                // 0..127
  ULONG Hue;                                     // 0..127
  ULONG Saturation;                              // 0..127
  ULONG Sharpness;                               // 1..15
  ULONG VideoStandard;                           // KS_AnalogVideo_NTSC_M or KS_AnalogVideo_PAL_B
  ULONG OutputEnable;
  LONG StreamInstances[StreamCount];
  LONG MpegStreamsOpen;                          // open streams among 0 and 1
  ULONG VideoInput;                              // 0 composite, 1 S-video
  ULONG AudioRoute;                              // crossbar input routed to audio out, or 0xFFFFFFFF
  ULONG AudioSamplingFrequency;                  // 32000, 44100 or 48000
  LONG AudioVolumeLevel;                         // -50..0
  BOOLEAN AudioFlag2;
  BOOLEAN AudioFlag1;
  UCHAR AudioCodecStatus;                        // last bytes written to the codec's groups
  UCHAR AudioCodecVolume;
  UCHAR AudioCodecMute;
  UCHAR AudioCodecSetup;
  UCHAR VideoDecoderStatus;                      // last read of decoder register 0x1F
  UCHAR VideoOutputShadow[128];                  // output encoder registers as last written
};

// Flags as one word that the worker, the stream loops and the device loop
// share: every read and change is interlocked, so no bit set by one thread
// is lost to another's change. Any IRQL; no lock.
static_assert(sizeof(ULONG) == sizeof(LONG), "Flags is one 32-bit word");
static inline volatile LONG* DeviceFlagsWord(DeviceContext* Device) {
  return (volatile LONG*)&Device->Flags;
}
static inline ULONG DeviceFlags(DeviceContext* Device) {
  return (ULONG)InterlockedOr(DeviceFlagsWord(Device), 0);
}
static inline VOID DeviceFlagsSet(DeviceContext* Device, ULONG Bits) {
  InterlockedOr(DeviceFlagsWord(Device), (LONG)Bits);
}
static inline VOID DeviceFlagsClear(DeviceContext* Device, ULONG Bits) {
  InterlockedAnd(DeviceFlagsWord(Device), ~(LONG)Bits);
}
static inline VOID DeviceFlagsReplace(DeviceContext* Device, ULONG Value) {
  InterlockedExchange(DeviceFlagsWord(Device), (LONG)Value);
}

// CurrentPipe, set by whoever starts a bulk transfer (the worker, a request
// loop) and read by a stop that aborts the transfer in progress from another
// thread: both go through interlocked operations. Any IRQL; no lock.
static inline USBD_PIPE_HANDLE DeviceCurrentPipe(DeviceContext* Device) {
  return (USBD_PIPE_HANDLE)InterlockedCompareExchangePointer((PVOID volatile*)&Device->CurrentPipe,
                                                             NULL, NULL);
}
static inline VOID DeviceSetCurrentPipe(DeviceContext* Device, USBD_PIPE_HANDLE Pipe) {
  InterlockedExchangePointer((PVOID volatile*)&Device->CurrentPipe, Pipe);
}
