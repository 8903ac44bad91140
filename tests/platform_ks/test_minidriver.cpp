// The tests' stream minidriver (see test_minidriver.hpp).
#include "platform_ks/test_minidriver.hpp"

// The platform's STATIC_ GUID initialisers are flat lists, as the DDK's are.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wmissing-braces"
#endif

TestKnobs g_TestKnobs;
TestLog g_TestLog;
volatile PHW_STREAM_REQUEST_BLOCK g_ParkedDevice;

namespace {

constexpr ULONG kTag = 0x32464D4B;  // "KMF2" in memory
constexpr ULONG kRequestExtensionSize = 20;

struct TestDevice {
  PVOID poolBlock;
  ULONG brightness;
  PHW_STREAM_REQUEST_BLOCK parkedRead;
  KSPIN_LOCK lock;
};

struct TestStream {
  KSSTATE state;
  ULONG marker;
};

// ---- Tables ----

const KSDATARANGE kCaptureRange = {{sizeof(KSDATARANGE), 0, kTestFrameSize, 0,
                                     {STATICGUIDOF(KSDATAFORMAT_TYPE_STREAM)},
                                     {STATICGUIDOF(KSDATAFORMAT_TYPE_MPEG2_PROGRAM)},
                                     {STATICGUIDOF(KSDATAFORMAT_SPECIFIER_NONE)}}};
PKSDATAFORMAT const kCaptureFormats[] = {(PKSDATAFORMAT)&kCaptureRange};

const KSPROPERTY_STEPPING_LONG kBrightnessRange[] = {{1, 0, {{0, kTestBrightnessMax}}}};
const LONG kBrightnessDefault = kTestBrightnessDefault;
const KSPROPERTY_MEMBERSLIST kBrightnessMembers[] = {
    {{KSPROPERTY_MEMBER_RANGES, sizeof(KSPROPERTY_STEPPING_LONG), 1, 0}, kBrightnessRange},
    {{KSPROPERTY_MEMBER_VALUES, sizeof(LONG), 1, KSPROPERTY_MEMBER_FLAG_DEFAULT},
     &kBrightnessDefault},
};
const KSPROPERTY_VALUES kBrightnessValues = {
    {{{{STATICGUIDOF(KSPROPTYPESETID_General)}, VT_I4, 0}}}, 2, kBrightnessMembers};

DEFINE_KSPROPERTY_TABLE(kProcAmpItems){
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, TRUE,
                           sizeof(KSPROPERTY_VIDEOPROCAMP_S), sizeof(KSPROPERTY_VIDEOPROCAMP_S),
                           TRUE, &kBrightnessValues, 0, NULL, NULL, sizeof(ULONG)),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_VIDEOPROCAMP_CONTRAST, TRUE,
                           sizeof(KSPROPERTY_VIDEOPROCAMP_S), sizeof(KSPROPERTY_VIDEOPROCAMP_S),
                           FALSE, NULL, 0, NULL, NULL, 0),
};
const GUID kProcAmpSet = {STATICGUIDOF(PROPSETID_VIDCAP_VIDEOPROCAMP)};
DEFINE_KSPROPERTY_SET_TABLE(kDeviceProperties){
    DEFINE_KSPROPERTY_SET(&kProcAmpSet, 2, kProcAmpItems, 0, NULL),
};

DEFINE_KSPROPERTY_TABLE(kConnectionItems){
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_CONNECTION_ALLOCATORFRAMING, TRUE, sizeof(KSPROPERTY),
                           sizeof(KSALLOCATOR_FRAMING), FALSE, NULL, 0, NULL, NULL, 0),
};
const GUID kConnectionSet = {STATICGUIDOF(KSPROPSETID_Connection)};
DEFINE_KSPROPERTY_SET_TABLE(kStreamProperties){
    DEFINE_KSPROPERTY_SET(&kConnectionSet, 1, kConnectionItems, 0, NULL),
};

GUID kCategories[] = {{STATICGUIDOF(KSCATEGORY_CAPTURE)}};
const KSTOPOLOGY kTopology = {1, kCategories, 0, NULL, 0, NULL, NULL, 0};
GUID kPinCategory = {STATICGUIDOF(PINNAME_VIDEO_CAPTURE)};

const KSPIN_MEDIUM kFilterMedium = {{{{STATICGUIDOF(KSMEDIUMSETID_Standard)}, 0, 0}}};

// ---- Helpers ----

void Log(PHW_STREAM_REQUEST_BLOCK Srb) {
  const UCHAR* ext = (const UCHAR*)Srb->SRBExtension;
  for (ULONG i = 0; ext && i < kRequestExtensionSize; ++i)
    if (ext[i]) g_TestLog.extensionDirty = TRUE;
  if (Srb->Irp == NULL || Srb->Irp->Tail.Overlay.DriverContext[0] != Srb) g_TestLog.irpMismatch = TRUE;
  RtlFillMemory(Srb->SRBExtension, kRequestExtensionSize, 0xA5);  // must not come back
}

void CompleteDevice(PHW_STREAM_REQUEST_BLOCK Srb) {
  StreamClassDeviceNotification(DeviceRequestComplete, Srb->HwDeviceExtension, Srb);
}

void CompleteStream(PHW_STREAM_REQUEST_BLOCK Srb) {
  StreamClassStreamNotification(StreamRequestComplete, Srb->StreamObject, Srb);
}

void STREAMAPI TestReceiveData(PHW_STREAM_REQUEST_BLOCK Srb) {
  Log(Srb);
  g_TestLog.dataIrql = KeGetCurrentIrql();
  TestDevice* device = (TestDevice*)Srb->HwDeviceExtension;
  TestStream* stream = (TestStream*)Srb->StreamObject->HwStreamExtension;
  Srb->Status = STATUS_SUCCESS;
  if (Srb->Command != SRB_READ_DATA || Srb->NumberOfBuffers != 1) {
    Srb->Status = STATUS_NOT_IMPLEMENTED;
    CompleteStream(Srb);
    return;
  }
  PKSSTREAM_HEADER header = Srb->CommandData.DataBufferArray;
  if (g_TestKnobs.parkReads) {
    KIRQL irql = KfAcquireSpinLock(&device->lock);
    device->parkedRead = Srb;
    KfReleaseSpinLock(&device->lock, irql);
    return;
  }
  if (stream->state == KSSTATE_RUN) {
    RtlFillMemory(header->Data, header->FrameExtent, 0x47);
    header->DataUsed = header->FrameExtent;
  }
  CompleteStream(Srb);
}

void STREAMAPI TestReceiveControl(PHW_STREAM_REQUEST_BLOCK Srb) {
  Log(Srb);
  g_TestLog.controlIrql = KeGetCurrentIrql();
  TestStream* stream = (TestStream*)Srb->StreamObject->HwStreamExtension;
  Srb->Status = STATUS_SUCCESS;
  switch (Srb->Command) {
    case SRB_SET_STREAM_STATE: {
      LONG i = InterlockedIncrement(&g_TestLog.stateCount) - 1;
      if (i < 16) g_TestLog.stateSteps[i] = Srb->CommandData.StreamState;
      stream->state = Srb->CommandData.StreamState;
      break;
    }
    case SRB_GET_STREAM_STATE:
      Srb->CommandData.StreamState = stream->state;
      Srb->ActualBytesTransferred = sizeof(KSSTATE);
      if (stream->state == KSSTATE_PAUSE) Srb->Status = STATUS_NO_DATA_DETECTED;
      break;
    case SRB_GET_STREAM_PROPERTY: {
      PKSALLOCATOR_FRAMING framing = (PKSALLOCATOR_FRAMING)Srb->CommandData.PropertyInfo->PropertyInfo;
      framing->RequirementsFlags = KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY;
      framing->PoolType = NonPagedPool;
      framing->Frames = 3;
      framing->FrameSize = kTestFrameSize;
      framing->FileAlignment = FILE_QUAD_ALIGNMENT;
      Srb->ActualBytesTransferred = sizeof(KSALLOCATOR_FRAMING);
      break;
    }
    default:
      Srb->Status = STATUS_NOT_IMPLEMENTED;
  }
  CompleteStream(Srb);
}

void Initialize(PHW_STREAM_REQUEST_BLOCK Srb, TestDevice* device) {
  PPORT_CONFIGURATION_INFORMATION config = Srb->CommandData.ConfigInfo;
  g_TestLog.realPdo = config->RealPhysicalDeviceObject;
  g_TestLog.configSize = config->SizeOfThisPacket;
  if (!NT_SUCCESS(g_TestKnobs.initStatus)) {
    Srb->Status = g_TestKnobs.initStatus;
    return;
  }
  KeInitializeSpinLock(&device->lock);
  device->brightness = kTestBrightnessDefault;
  device->poolBlock = ExAllocatePoolWithTag(NonPagedPool, 64, kTag);
  config->StreamDescriptorSize = sizeof(HW_STREAM_HEADER) + sizeof(HW_STREAM_INFORMATION);
  if (g_TestKnobs.shortDescriptor) config->StreamDescriptorSize = sizeof(HW_STREAM_HEADER);
}

void GetStreamInfo(PHW_STREAM_REQUEST_BLOCK Srb) {
  PHW_STREAM_DESCRIPTOR descriptor = Srb->CommandData.StreamBuffer;
  PHW_STREAM_HEADER header = &descriptor->StreamHeader;
  header->NumberOfStreams = 1;
  header->SizeOfHwStreamInformation = sizeof(HW_STREAM_INFORMATION);
  header->NumDevPropArrayEntries = 1;
  header->DevicePropertiesArray = (PKSPROPERTY_SET)kDeviceProperties;
  header->Topology = (PKSTOPOLOGY)&kTopology;
  if (g_TestKnobs.shortDescriptor) return;
  PHW_STREAM_INFORMATION info = &descriptor->StreamInfo;
  info->NumberOfPossibleInstances = 1;
  info->DataFlow = KSPIN_DATAFLOW_OUT;
  info->DataAccessible = TRUE;
  info->NumberOfFormatArrayEntries = 1;
  info->StreamFormatsArray = (PKSDATAFORMAT*)kCaptureFormats;
  info->NumStreamPropArrayEntries = 1;
  info->StreamPropertiesArray = (PKSPROPERTY_SET)kStreamProperties;
  info->Category = &kPinCategory;
  info->Name = &kPinCategory;
}

void OpenStream(PHW_STREAM_REQUEST_BLOCK Srb) {
  PHW_STREAM_OBJECT object = Srb->StreamObject;
  TestStream* stream = (TestStream*)object->HwStreamExtension;
  const UCHAR* bytes = (const UCHAR*)stream;
  for (ULONG i = 0; i < sizeof(TestStream); ++i)
    if (bytes[i]) g_TestLog.streamExtensionDirty = TRUE;
  if (object->StreamNumber != 0 ||
      !IsEqualGUID(Srb->CommandData.OpenFormat->MajorFormat, kCaptureRange.MajorFormat)) {
    Srb->Status = STATUS_INVALID_PARAMETER;
    return;
  }
  g_TestLog.openFormatSize = Srb->CommandData.OpenFormat->FormatSize;
  stream->marker = 0x5354524D;
  object->ReceiveDataPacket = TestReceiveData;
  object->ReceiveControlPacket = TestReceiveControl;
  object->Pio = TRUE;
}

void Intersect(PHW_STREAM_REQUEST_BLOCK Srb) {
  PSTREAM_DATA_INTERSECT_INFO info = Srb->CommandData.IntersectInfo;
  if (info->SizeOfDataFormatBuffer == sizeof(ULONG)) {
    *(PULONG)info->DataFormatBuffer = sizeof(KSDATAFORMAT);
    Srb->ActualBytesTransferred = sizeof(ULONG);
  } else if (info->SizeOfDataFormatBuffer < sizeof(KSDATAFORMAT)) {
    Srb->Status = STATUS_BUFFER_TOO_SMALL;
  } else {
    RtlCopyMemory(info->DataFormatBuffer, &kCaptureRange, sizeof(KSDATAFORMAT));
    Srb->ActualBytesTransferred = sizeof(KSDATAFORMAT);
  }
}

void DeviceProperty(PHW_STREAM_REQUEST_BLOCK Srb, TestDevice* device) {
  PSTREAM_PROPERTY_DESCRIPTOR p = Srb->CommandData.PropertyInfo;
  PKSPROPERTY_VIDEOPROCAMP_S record = (PKSPROPERTY_VIDEOPROCAMP_S)p->PropertyInfo;
  if (Srb->Command == SRB_SET_DEVICE_PROPERTY) {
    device->brightness = (ULONG)record->Value;
    return;
  }
  record->Value = p->Property->Id == KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS ? (LONG)device->brightness : 1;
  record->Flags = record->Capabilities = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
  Srb->ActualBytesTransferred = sizeof(KSPROPERTY_VIDEOPROCAMP_S);
}

void STREAMAPI TestReceivePacket(PHW_STREAM_REQUEST_BLOCK Srb) {
  Log(Srb);
  g_TestLog.deviceIrql = KeGetCurrentIrql();
  LONG i = InterlockedIncrement(&g_TestLog.deviceCount) - 1;
  if (i < 32) g_TestLog.deviceCommands[i] = Srb->Command;
  TestDevice* device = (TestDevice*)Srb->HwDeviceExtension;
  Srb->Status = STATUS_SUCCESS;
  switch (Srb->Command) {
    case SRB_INITIALIZE_DEVICE:
      Initialize(Srb, device);
      break;
    case SRB_GET_STREAM_INFO:
      GetStreamInfo(Srb);
      break;
    case SRB_INITIALIZATION_COMPLETE: {
      BOOL direction = TRUE;
      StreamClassRegisterFilterWithNoKSPins(g_TestLog.realPdo, &kCategories[0], 1, &direction,
                                            (KSPIN_MEDIUM*)&kFilterMedium, NULL);
      break;
    }
    case SRB_UNINITIALIZE_DEVICE:
      if (device->poolBlock && !g_TestKnobs.leakAtInit) {
        ExFreePoolWithTag(device->poolBlock, kTag);
        device->poolBlock = NULL;
      }
      break;
    case SRB_SURPRISE_REMOVAL:
      break;
    case SRB_OPEN_STREAM:
      OpenStream(Srb);
      break;
    case SRB_CLOSE_STREAM:
      break;
    case SRB_GET_DEVICE_PROPERTY:
    case SRB_SET_DEVICE_PROPERTY:
      DeviceProperty(Srb, device);
      break;
    case SRB_GET_DATA_INTERSECTION:
      Intersect(Srb);
      break;
    case SRB_UNKNOWN_DEVICE_COMMAND:
      if (g_TestKnobs.parkUnknownDevice) {
        g_ParkedDevice = Srb;
        return;
      }
      Srb->Status = STATUS_NOT_IMPLEMENTED;
      break;
    case SRB_PAGING_OUT_DRIVER:
      if (g_TestKnobs.completeTwice) CompleteDevice(Srb);
      break;
    default:
      Srb->Status = STATUS_NOT_IMPLEMENTED;
  }
  CompleteDevice(Srb);
}

void STREAMAPI TestCancelPacket(PHW_STREAM_REQUEST_BLOCK Srb) {
  InterlockedIncrement(&g_TestLog.cancels);
  TestDevice* device = (TestDevice*)Srb->HwDeviceExtension;
  KIRQL irql = KfAcquireSpinLock(&device->lock);
  PHW_STREAM_REQUEST_BLOCK parked = device->parkedRead == Srb ? Srb : NULL;
  if (parked) device->parkedRead = NULL;
  KfReleaseSpinLock(&device->lock, irql);
  if (parked) {
    parked->Status = STATUS_CANCELLED;
    CompleteStream(parked);
  }
}

void STREAMAPI TestRequestTimeout(PHW_STREAM_REQUEST_BLOCK Srb) {
  InterlockedIncrement(&g_TestLog.timeouts);
  Srb->TimeoutCounter = Srb->TimeoutOriginal;
}

}  // namespace

void TestMinidriverReset() {
  RtlZeroMemory(&g_TestKnobs, sizeof g_TestKnobs);
  RtlZeroMemory(&g_TestLog, sizeof g_TestLog);
  g_ParkedDevice = NULL;
}

void TestCompleteParkedDevice(NTSTATUS Status) {
  PHW_STREAM_REQUEST_BLOCK srb = g_ParkedDevice;
  g_ParkedDevice = NULL;
  srb->Status = Status;
  CompleteDevice(srb);
}

NTSTATUS TestDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  HW_INITIALIZATION_DATA data;
  RtlZeroMemory(&data, sizeof data);
  data.HwInitializationDataSize = sizeof(HW_INITIALIZATION_DATA);
  data.HwReceivePacket = TestReceivePacket;
  data.HwCancelPacket = TestCancelPacket;
  data.HwRequestTimeoutHandler = TestRequestTimeout;
  data.DeviceExtensionSize = sizeof(TestDevice);
  data.PerRequestExtensionSize = kRequestExtensionSize;
  data.PerStreamExtensionSize = sizeof(TestStream);
  data.BufferAlignment = 4;
  data.TurnOffSynchronization = TRUE;
  return StreamClassRegisterAdapter(DriverObject, RegistryPath, &data);
}
