// Adapter entry, the self-serialised device request loop, the RequestQueue
// shared with the stream control loops, and the adapter's life cycle.
#include "drventry.h"

#include "devprop.h"
#include "kivchip.h"
#include "thread.h"
#include "usbdi.h"
#include "utils.h"

// Status of a failed initialisation, whatever the bring-up returned.
#define ADAPTER_INIT_FAILED ((NTSTATUS)0xFFFFFFFF)

// Initial settings of the bring-up; stored values may replace them.
#define INITIAL_CAPTURE_WIDTH 720u
#define INITIAL_CAPTURE_HEIGHT 480u
#define INITIAL_BRIGHTNESS 128u
#define INITIAL_CONTRAST 68u
#define INITIAL_SATURATION 64u
#define INITIAL_HUE 0u
#define BIT_RATE_FULL_SPEED 4200000u
#define BIT_RATE_HIGH_SPEED 7000000u
#define PEAK_BIT_RATE_FULL_SPEED 6000000u
#define PEAK_BIT_RATE_HIGH_SPEED 8000000u
#define MIN_BIT_RATE 1000000u
#define INITIAL_AUDIO_FREQUENCY 48000u
#define INITIAL_AUDIO_ROUTE 2u

// Input detection: the video decoder's status register and its bits.
#define DECODER_BUS_ADDRESS 0x21u
#define DECODER_STATUS_REGISTER 0x1Fu
#define DECODER_STATUS_LOCKED 0x01u  // a locked input signal is present
#define DECODER_STATUS_NTSC 0x20u    // the signal is 525-line
#define DETECT_SETTLE_INTERVAL (-10000000LL)  // one second, relative, 100 ns units
#define DETECT_INPUTS_TRIED 2u

// Capture sizes that follow a detected change of standard, by capture mode.
#define FULL_WIDTH 720u
#define FULL_HEIGHT_NTSC 480u
#define FULL_HEIGHT_PAL 576u
#define SIF_WIDTH 320u
#define SIF_HEIGHT_NTSC 240u
#define SIF_HEIGHT_PAL 288u

// The crossbar filter registered at initialisation complete: pins 0, 1 and 3
// are inputs, pins 2 and 4 outputs, one medium each in CrossbarMediums order.
static BOOL CrossbarPinDirections[CROSSBAR_MEDIUM_COUNT] = {FALSE, FALSE, TRUE, FALSE, TRUE};
static BOOL CapturePinDirections[1] = {TRUE};

// ---- Completion ----

// See drventry.h. <= DISPATCH_LEVEL; no lock.
VOID AdapterCompleteDeviceRequest(PHW_STREAM_REQUEST_BLOCK Request) {
  // The event arguments after the request are not used by DeviceRequestComplete.
  StreamClassDeviceNotification(DeviceRequestComplete, Request->HwDeviceExtension, Request, NULL,
                                NULL, 0);
}

// See drventry.h. <= DISPATCH_LEVEL; no lock.
VOID StreamCompleteRequest(PHW_STREAM_REQUEST_BLOCK Request) {
  StreamClassStreamNotification(StreamRequestComplete, Request->StreamObject, Request);
}

// ---- RequestQueue ----

BOOLEAN RequestQueueEnter(PHW_STREAM_REQUEST_BLOCK Request, PKSPIN_LOCK Lock, ULONG* Busy,
                          PLIST_ENTRY List) {
  KIRQL irql = KfAcquireSpinLock(Lock);
  if (*Busy == 1) {
    RequestExtension* extension = (RequestExtension*)Request->SRBExtension;
    extension->QueuedRequest = Request;
    InsertTailList(List, &extension->QueueLink);
    KfReleaseSpinLock(Lock, irql);
    return TRUE;
  }
  *Busy = 1;
  KfReleaseSpinLock(Lock, irql);
  return FALSE;
}

BOOLEAN RequestQueueNext(PHW_STREAM_REQUEST_BLOCK* Request, PKSPIN_LOCK Lock, ULONG* Busy,
                         PLIST_ENTRY List) {
  KIRQL irql = KfAcquireSpinLock(Lock);
  if (IsListEmpty(List)) {
    *Busy = 0;
    KfReleaseSpinLock(Lock, irql);
    return FALSE;
  }
  PLIST_ENTRY entry = RemoveHeadList(List);
  *Busy = 1;
  KfReleaseSpinLock(Lock, irql);
  *Request = CONTAINING_RECORD(entry, RequestExtension, QueueLink)->QueuedRequest;
  return TRUE;
}

// ---- Small handlers of the device request table ----

// Unsupported device command. PASSIVE_LEVEL, device request loop.
static VOID AdapterNotImplemented(PHW_STREAM_REQUEST_BLOCK Request) {
  Request->Status = STATUS_NOT_IMPLEMENTED;
}

// A command that needs no action (SRB_PAGING_OUT_DRIVER). PASSIVE_LEVEL.
static VOID AdapterNoAction(PHW_STREAM_REQUEST_BLOCK Request) {
  (void)Request;
}

// Uninitialise or surprise removal: acted on only once. PASSIVE_LEVEL, device loop.
static VOID AdapterTearDown(PHW_STREAM_REQUEST_BLOCK Request) {
  DeviceContext* device = (DeviceContext*)Request->HwDeviceExtension;
  if ((DeviceFlags(device) & TornDown) != 0) {
    return;
  }
  AdapterUninitialize(Request);
}

// Device request table, indexed by Command - SRB_GET_STREAM_INFO.
typedef VOID (*DeviceRequestHandler)(PHW_STREAM_REQUEST_BLOCK Request);
static const DeviceRequestHandler DeviceRequestTable[] = {
    AdapterGetStreamInfo,           // SRB_GET_STREAM_INFO
    StreamOpen,                     // SRB_OPEN_STREAM
    StreamClose,                    // SRB_CLOSE_STREAM
    AdapterNotImplemented,          // SRB_OPEN_DEVICE_INSTANCE
    AdapterNotImplemented,          // SRB_CLOSE_DEVICE_INSTANCE
    PropDeviceGet,                  // SRB_GET_DEVICE_PROPERTY
    PropDeviceSet,                  // SRB_SET_DEVICE_PROPERTY
    AdapterInitialize,              // SRB_INITIALIZE_DEVICE
    AdapterSetPowerState,           // SRB_CHANGE_POWER_STATE
    AdapterTearDown,                // SRB_UNINITIALIZE_DEVICE
    AdapterNotImplemented,          // SRB_UNKNOWN_DEVICE_COMMAND
    AdapterNoAction,                // SRB_PAGING_OUT_DRIVER
    AdapterDataIntersection,        // SRB_GET_DATA_INTERSECTION
    AdapterInitializationComplete,  // SRB_INITIALIZATION_COMPLETE
    AdapterTearDown,                // SRB_SURPRISE_REMOVAL
};
#define DEVICE_REQUEST_COUNT (sizeof(DeviceRequestTable) / sizeof(DeviceRequestTable[0]))

// Runs the handler of a device request. PASSIVE_LEVEL, device request loop.
static VOID AdapterDispatch(PHW_STREAM_REQUEST_BLOCK Request) {
  ULONG index = (ULONG)Request->Command - (ULONG)SRB_GET_STREAM_INFO;
  if ((ULONG)Request->Command < (ULONG)SRB_GET_STREAM_INFO || index >= DEVICE_REQUEST_COUNT) {
    AdapterNotImplemented(Request);
    return;
  }
  DeviceRequestTable[index](Request);
}

// ---- Settings gate ----

// A synchronization event, signalled while no thread holds the gate: a wait
// that takes it resets it, KeSetEvent hands it to one waiter. One for the
// driver: its holders are short, and several adapters may share it.
static KEVENT SettingsGate;

// 0 before the gate is set up, 1 while one thread sets it up, 2 once it is
// ready. The gate sets itself up at its first use, so that handlers called
// before (or without) DriverEntry find it ready too.
static volatile LONG SettingsGateState;

// Sets the gate up once, open. Any thread that comes while another sets it up
// waits the few instructions that takes. PASSIVE_LEVEL.
static VOID SettingsGateInitialize(VOID) {
  if (InterlockedCompareExchange(&SettingsGateState, 1, 0) == 0) {
    KeInitializeEvent(&SettingsGate, SynchronizationEvent, TRUE);
    InterlockedExchange(&SettingsGateState, 2);
    return;
  }
  while (InterlockedCompareExchange(&SettingsGateState, 2, 2) != 2) {
  }
}

// See drventry.h. PASSIVE_LEVEL; blocks while another thread holds the gate.
VOID SettingsGateEnter(VOID) {
  SettingsGateInitialize();
  (void)KeWaitForSingleObject(&SettingsGate, Executive, KernelMode, FALSE, NULL);  // no time-out: only success
}

// See drventry.h. PASSIVE_LEVEL; the caller holds the gate.
VOID SettingsGateLeave(VOID) { (void)KeSetEvent(&SettingsGate, IO_NO_INCREMENT, FALSE); }

// ---- Entry points ----

// See drventry.h. PASSIVE_LEVEL.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  SettingsGateInitialize();
  HW_INITIALIZATION_DATA data;
  RtlZeroMemory(&data, sizeof(data));
  data.HwInitializationDataSize = sizeof(HW_INITIALIZATION_DATA);
  data.HwInterrupt = NULL;
  data.HwReceivePacket = AdapterReceivePacket;
  data.HwCancelPacket = AdapterCancelPacket;
  data.HwRequestTimeoutHandler = AdapterRequestTimeout;
  data.DeviceExtensionSize = DEVICE_EXTENSION_SIZE;
  data.PerRequestExtensionSize = REQUEST_EXTENSION_SIZE;
  data.PerStreamExtensionSize = STREAM_EXTENSION_SIZE;
  data.FilterInstanceExtensionSize = 0;
  data.BusMasterDMA = FALSE;
  data.Dma24BitAddresses = FALSE;
  data.BufferAlignment = 4;
  data.TurnOffSynchronization = TRUE;
  data.DmaBufferSize = 0;
  return StreamClassRegisterAdapter(DriverObject, RegistryPath, &data);
}

// See drventry.h. PASSIVE_LEVEL; QueueLock only inside the queue operations.
VOID STREAMAPI AdapterReceivePacket(PHW_STREAM_REQUEST_BLOCK Request) {
  DeviceContext* device = (DeviceContext*)Request->HwDeviceExtension;

  // The first device request reaches the adapter before any other.
  if (device->DeviceQueueReady == 0) {
    InitializeListHead(&device->DeviceQueue);
    KeInitializeSpinLock(&device->QueueLock);
    device->DeviceBusy = 0;
    device->DeviceQueueReady = 1;
  }

  Request->Status = STATUS_PENDING;
  if (RequestQueueEnter(Request, &device->QueueLock, &device->DeviceBusy, &device->DeviceQueue)) {
    return;
  }
  do {
    Request->Status = STATUS_SUCCESS;
    AdapterDispatch(Request);
    if (Request->Status != STATUS_PENDING) {
      AdapterCompleteDeviceRequest(Request);
    }
  } while (RequestQueueNext(&Request, &device->QueueLock, &device->DeviceBusy,
                            &device->DeviceQueue));
}

// See drventry.h. <= DISPATCH_LEVEL; one lock at a time.
VOID STREAMAPI AdapterCancelPacket(PHW_STREAM_REQUEST_BLOCK Request) {
  DeviceContext* device = (DeviceContext*)Request->HwDeviceExtension;
  for (ULONG n = 0; n < StreamCount; n++) {
    if (device->OpenStreams[n] != NULL) {
      StreamCancelPending(device->OpenStreams[n]);
    }
  }
  // A data request still waiting for the worker is cancelled at once, rather
  // than left to a transfer the caller no longer wants.
  WorkerCancelRequest(device, Request);
}

// See drventry.h. <= DISPATCH_LEVEL; no lock.
VOID STREAMAPI AdapterRequestTimeout(PHW_STREAM_REQUEST_BLOCK Request) {
  Request->TimeoutCounter = Request->TimeoutOriginal;
}

// ---- Life cycle ----

// Frees, each only if present, the buffers and the IRP the adapter owns, and
// clears their fields; safe on half-built state. PASSIVE_LEVEL, device loop.
static VOID AdapterReleaseResources(DeviceContext* Device) {
  if (Device->BulkUrb != NULL) {
    ExFreePoolWithTag(Device->BulkUrb, MPEGUNIT_POOL_TAG);
    Device->BulkUrb = NULL;
  }
  if (Device->ResetPipeUrb != NULL) {
    ExFreePoolWithTag(Device->ResetPipeUrb, MPEGUNIT_POOL_TAG);
    Device->ResetPipeUrb = NULL;
  }
  if (Device->BulkIrp != NULL) {
    IoFreeIrp(Device->BulkIrp);
    Device->BulkIrp = NULL;
  }
  if (Device->InterfaceInformation != NULL) {
    ExFreePoolWithTag(Device->InterfaceInformation, MPEGUNIT_POOL_TAG);
    Device->InterfaceInformation = NULL;
  }
  if (Device->ConfigurationDescriptor != NULL) {
    ExFreePoolWithTag(Device->ConfigurationDescriptor, MPEGUNIT_POOL_TAG);
    Device->ConfigurationDescriptor = NULL;
  }
}

// Programs one picture control; when the setter fails, takes the register
// byte read back from the video decoder (or keeps the old value when that
// read fails too). PASSIVE_LEVEL.
typedef NTSTATUS (*PictureSetter)(DeviceContext* Device, ULONG Value);
typedef NTSTATUS (*PictureReader)(DeviceContext* Device, UCHAR* Value);
static VOID AdapterApplyPictureControl(DeviceContext* Device, ULONG* Field, PictureSetter Set,
                                       PictureReader Read) {
  if (NT_SUCCESS(Set(Device, *Field))) {
    return;
  }
  UCHAR value = 0;
  if (NT_SUCCESS(Read(Device, &value))) {
    *Field = value;
  }
}

// See drventry.h. PASSIVE_LEVEL, device request loop; no lock.
NTSTATUS AdapterBringUp(DeviceContext* Device) {
  NTSTATUS status = UsbConfigureDevice(Device);
  if (!NT_SUCCESS(status)) {
    return status;
  }

  for (ULONG n = 0; n < StreamCount; n++) {
    InitializeListHead(&Device->StreamPendingList[n]);
    InitializeListHead(&Device->StreamQueue[n]);
    KeInitializeSpinLock(&Device->StreamPendingLock[n]);
    Device->StreamPendingCount[n] = 0;
    Device->StreamBusy[n] = 0;
  }

  Device->CodecState = CodecUnloaded;
  Device->LoadedImageKind = ImageKindNone;
  Device->LoadedImage = ImageNone;
  Device->EncoderStarted = FALSE;
  Device->CaptureMode = CaptureModeMpeg2;
  Device->VideoStandard = KS_AnalogVideo_NTSC_M;
  Device->VideoInput = 0;
  Device->CaptureWidth = INITIAL_CAPTURE_WIDTH;
  Device->CaptureHeight = INITIAL_CAPTURE_HEIGHT;
  Device->Brightness = INITIAL_BRIGHTNESS;
  Device->Contrast = INITIAL_CONTRAST;
  Device->Saturation = INITIAL_SATURATION;
  Device->Hue = INITIAL_HUE;
  Device->BitRate = Device->HighSpeed ? BIT_RATE_HIGH_SPEED : BIT_RATE_FULL_SPEED;
  Device->DefaultBitRate = Device->BitRate;
  Device->PeakBitRate = Device->HighSpeed ? PEAK_BIT_RATE_HIGH_SPEED : PEAK_BIT_RATE_FULL_SPEED;
  Device->MaxBitRate = Device->PeakBitRate;
  Device->MinBitRate = MIN_BIT_RATE;
  Device->VariableBitRateSupport = 1;
  Device->AudioSamplingFrequency = INITIAL_AUDIO_FREQUENCY;
  Device->AudioVolumeLevel = 0;
  Device->AudioFlag1 = FALSE;
  Device->AudioFlag2 = FALSE;
  Device->OutputEnable = 1;
  Device->AudioRoute = INITIAL_AUDIO_ROUTE;

  SettingsLoad(Device);
  Device->MpegStreamsOpen = 0;

  Device->BulkIrp = IoAllocateIrp(Device->RealPhysicalDeviceObject->StackSize, FALSE);
  if (Device->BulkIrp == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  Device->BulkUrb = (PURB)ExAllocatePoolWithTag(
      NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), MPEGUNIT_POOL_TAG);
  if (Device->BulkUrb == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  Device->ResetPipeUrb = (PURB)ExAllocatePoolWithTag(
      NonPagedPool, sizeof(struct _URB_PIPE_REQUEST), MPEGUNIT_POOL_TAG);
  if (Device->ResetPipeUrb == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  // The unit's answers to these are not examined: a unit that misbehaves
  // here shows up in the first capture or playback.
  VendorResetCodec(Device);
  VideoFrontEndInit(Device);
  VendorSetModeIdle(Device);

  AdapterApplyPictureControl(Device, &Device->Brightness, VideoSetBrightness, VideoReadBrightness);
  AdapterApplyPictureControl(Device, &Device->Contrast, VideoSetContrast, VideoReadContrast);
  AdapterApplyPictureControl(Device, &Device->Saturation, VideoSetSaturation, VideoReadSaturation);
  AdapterApplyPictureControl(Device, &Device->Hue, VideoSetHue, VideoReadHue);

  return status;
}

// See drventry.h. PASSIVE_LEVEL, device request loop; no lock.
VOID AdapterInitialize(PHW_STREAM_REQUEST_BLOCK Request) {
  DeviceContext* device = (DeviceContext*)Request->HwDeviceExtension;
  PPORT_CONFIGURATION_INFORMATION config = Request->CommandData.ConfigInfo;

  device->RealPhysicalDeviceObject = config->RealPhysicalDeviceObject;
  config->StreamDescriptorSize = STREAM_DESCRIPTOR_SIZE;

  NTSTATUS status = AdapterBringUp(device);
  if (!NT_SUCCESS(status)) {
    // Nothing will use the buffers of a unit that failed to come up, and the
    // class driver need not send an uninitialise after a failed initialise.
    AdapterReleaseResources(device);
    DeviceFlagsReplace(device, DeviceGone);
    Request->Status = ADAPTER_INIT_FAILED;
    return;
  }
  WorkerStart(device);  // on failure data requests complete at once, without data
  Request->Status = STATUS_SUCCESS;
  DeviceFlagsReplace(device, 0);
}

// See drventry.h. PASSIVE_LEVEL, device request loop; no lock (waits for the worker).
VOID AdapterUninitialize(PHW_STREAM_REQUEST_BLOCK Request) {
  DeviceContext* device = (DeviceContext*)Request->HwDeviceExtension;
  DeviceFlagsSet(device, DeviceGone | TornDown);
  WorkerStop(device);
  AdapterReleaseResources(device);
}

// See drventry.h. PASSIVE_LEVEL, device request loop.
VOID AdapterSetPowerState(PHW_STREAM_REQUEST_BLOCK Request) {
  DeviceContext* device = (DeviceContext*)Request->HwDeviceExtension;
  device->PowerState = Request->CommandData.DeviceState;
}

// See drventry.h. PASSIVE_LEVEL, device request loop; blocks 1-2 s.
VOID AdapterInitializationComplete(PHW_STREAM_REQUEST_BLOCK Request) {
  DeviceContext* device = (DeviceContext*)Request->HwDeviceExtension;

  // Registration failures are not reported: the capture filter still works
  // without its crossbar companion.
  StreamClassRegisterFilterWithNoKSPins(device->RealPhysicalDeviceObject, &KSCATEGORY_CROSSBAR,
                                        CROSSBAR_MEDIUM_COUNT, CrossbarPinDirections,
                                        (KSPIN_MEDIUM*)CrossbarMediums, NULL);

  KSPIN_MEDIUM captureMedium;
  RtlZeroMemory(&captureMedium, sizeof(captureMedium));
  captureMedium.Set = KSDATAFORMAT_TYPE_STREAM;
  captureMedium.Id = 0;
  captureMedium.Flags = 0;
  StreamClassRegisterFilterWithNoKSPins(device->RealPhysicalDeviceObject, &KSCATEGORY_CAPTURE, 1,
                                        CapturePinDirections, &captureMedium, NULL);

  AdapterDetectInput(device);
}

// Waits one second for the video decoder to settle on the selected input.
// PASSIVE_LEVEL.
static VOID AdapterSettle(VOID) {
  LARGE_INTEGER interval;
  interval.QuadPart = DETECT_SETTLE_INTERVAL;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

// See drventry.h. PASSIVE_LEVEL, device request loop; no lock.
VOID AdapterDetectInput(DeviceContext* Device) {
  ULONG storedInput = Device->VideoInput;
  ULONG storedStandard = Device->VideoStandard;
  ULONG tries = 1;

  VideoSelectInput(Device, Device->VideoInput);
  AdapterSettle();
  for (;;) {
    UCHAR status = Device->VideoDecoderStatus;
    if (NT_SUCCESS(VendorBusReadRegister(Device, DECODER_BUS_ADDRESS, DECODER_STATUS_REGISTER,
                                         &status))) {
      Device->VideoDecoderStatus = status;
    }
    if ((Device->VideoDecoderStatus & DECODER_STATUS_LOCKED) != 0) {
      break;
    }
    Device->VideoInput = (Device->VideoInput == 0) ? 1 : 0;
    tries++;
    if (tries > DETECT_INPUTS_TRIED) {
      Device->VideoInput = storedInput;
      VideoSelectInput(Device, Device->VideoInput);
      return;
    }
    VideoSelectInput(Device, Device->VideoInput);
    AdapterSettle();
  }

  BOOLEAN ntsc = (Device->VideoDecoderStatus & DECODER_STATUS_NTSC) != 0;
  Device->VideoStandard = ntsc ? KS_AnalogVideo_NTSC_M : KS_AnalogVideo_PAL_B;
  VideoSetStandard(Device, Device->VideoStandard);
  if (Device->VideoStandard == storedStandard) {
    return;
  }
  if (Device->CaptureMode == CaptureModeMpeg2) {
    Device->CaptureWidth = FULL_WIDTH;
    Device->CaptureHeight = ntsc ? FULL_HEIGHT_NTSC : FULL_HEIGHT_PAL;
  } else {
    Device->CaptureWidth = SIF_WIDTH;
    Device->CaptureHeight = ntsc ? SIF_HEIGHT_NTSC : SIF_HEIGHT_PAL;
  }
}
