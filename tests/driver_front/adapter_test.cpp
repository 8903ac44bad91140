// Adapter entry, the device request loop, bring-up, detection, teardown.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "driver/drventry.h"
#include "driver/thread.h"
#include "front.hpp"
#include "pf/host/clock.hpp"
#include "pf/host/ks_client.hpp"
#include "pf/host/pool.hpp"
#include "support/rig.hpp"

namespace {

using front::kWait;

TEST(AdapterEntry, RegistersTheMinidriverAsTheClassDriverExpects) {
  rig::DriverRig rig;
  ASSERT_TRUE(rig.ok()) << rig.why();
  const HW_INITIALIZATION_DATA& data = rig.session().minidriver().registration();
  EXPECT_EQ(data.HwInitializationDataSize, sizeof(HW_INITIALIZATION_DATA));
  EXPECT_EQ(data.HwInterrupt, nullptr);
  EXPECT_EQ(data.HwReceivePacket, &AdapterReceivePacket);
  EXPECT_EQ(data.HwCancelPacket, &AdapterCancelPacket);
  EXPECT_EQ(data.HwRequestTimeoutHandler, &AdapterRequestTimeout);
  // The target's sizes, or our hosted records where those are larger.
  EXPECT_GE(data.DeviceExtensionSize, 696u);
  EXPECT_GE(data.DeviceExtensionSize, sizeof(DeviceContext));
  EXPECT_GE(data.PerRequestExtensionSize, 20u);
  EXPECT_GE(data.PerRequestExtensionSize, sizeof(RequestExtension));
  EXPECT_GE(data.PerStreamExtensionSize, 32u);
  EXPECT_GE(data.PerStreamExtensionSize, sizeof(StreamContext));
  EXPECT_EQ(data.FilterInstanceExtensionSize, 0u);
  EXPECT_FALSE(data.BusMasterDMA);
  EXPECT_FALSE(data.Dma24BitAddresses);
  EXPECT_EQ(data.BufferAlignment, 4u);
  EXPECT_TRUE(data.TurnOffSynchronization);
  EXPECT_EQ(data.DmaBufferSize, 0u);
  EXPECT_EQ(rig.adapter().configInfo().StreamDescriptorSize, STREAM_DESCRIPTOR_SIZE);
}

TEST(AdapterEntry, InitializationCompleteRegistersCrossbarAndCaptureFilters) {
  rig::DriverRig rig;
  ASSERT_TRUE(rig.ok()) << rig.why();
  auto filters = pf::ks::registeredFilters(rig.session().physicalDevice());
  ASSERT_EQ(filters.size(), 2u);

  EXPECT_TRUE(IsEqualGUID(filters[0].category, KSCATEGORY_CROSSBAR));
  EXPECT_EQ(filters[0].pinIsOutput, (std::vector<bool>{false, false, true, false, true}));
  ASSERT_EQ(filters[0].mediums.size(), 5u);
  for (ULONG i = 0; i < 5; ++i) {
    EXPECT_EQ(filters[0].mediums[i].Set.Data1, 0x4B7E2A90u + i) << "medium " << i;
    EXPECT_EQ(std::memcmp(&filters[0].mediums[i], &CrossbarMediums[i], sizeof(KSPIN_MEDIUM)), 0);
  }
  EXPECT_TRUE(filters[0].categories.empty());

  EXPECT_TRUE(IsEqualGUID(filters[1].category, KSCATEGORY_CAPTURE));
  EXPECT_EQ(filters[1].pinIsOutput, (std::vector<bool>{true}));
  ASSERT_EQ(filters[1].mediums.size(), 1u);
  EXPECT_TRUE(IsEqualGUID(filters[1].mediums[0].Set, KSDATAFORMAT_TYPE_STREAM));
  EXPECT_EQ(filters[1].mediums[0].Id, 0u);
  EXPECT_EQ(filters[1].mediums[0].Flags, 0u);
}

TEST(AdapterEntry, DeviceCommandsWithoutAHandler) {
  rig::DriverRig rig;
  ASSERT_TRUE(rig.ok()) << rig.why();
  struct Case {
    ULONG command;
    NTSTATUS status;
  } cases[] = {
      {SRB_OPEN_DEVICE_INSTANCE, STATUS_NOT_IMPLEMENTED},
      {SRB_CLOSE_DEVICE_INSTANCE, STATUS_NOT_IMPLEMENTED},
      {SRB_UNKNOWN_DEVICE_COMMAND, STATUS_NOT_IMPLEMENTED},
      {SRB_PAGING_OUT_DRIVER, STATUS_SUCCESS},
      {SRB_SURPRISE_REMOVAL + 1, STATUS_NOT_IMPLEMENTED},
      {0x1FF, STATUS_NOT_IMPLEMENTED},
      {SRB_END_FLUSH, STATUS_NOT_IMPLEMENTED},  // a stream command sent to the device
  };
  for (const Case& c : cases) {
    EXPECT_EQ(rig.adapter().callDevice(static_cast<SRB_COMMAND>(c.command)), c.status)
        << "command 0x" << std::hex << c.command;
  }
  EXPECT_EQ(rig.device()->Flags, 0u);
}

TEST(AdapterEntry, PowerStateIsRecordedAndNothingIsSent) {
  rig::DriverRig rig;
  ASSERT_TRUE(rig.ok()) << rig.why();
  auto before = rig.unit().controlLog().size();
  EXPECT_EQ(rig.adapter().callDevice(SRB_CHANGE_POWER_STATE,
                                     [](HW_STREAM_REQUEST_BLOCK& srb) {
                                       srb.CommandData.DeviceState = PowerDeviceD3;
                                     }),
            STATUS_SUCCESS);
  EXPECT_EQ(rig.device()->PowerState, PowerDeviceD3);
  EXPECT_EQ(rig.unit().controlLog().size(), before);
}

TEST(AdapterEntry, TimeoutReloadsTheCounter) {
  HW_STREAM_REQUEST_BLOCK srb{};
  srb.TimeoutCounter = 0;
  srb.TimeoutOriginal = 15;
  AdapterRequestTimeout(&srb);
  EXPECT_EQ(srb.TimeoutCounter, 15u);
  EXPECT_EQ(srb.TimeoutOriginal, 15u);
}

// The shared queue operations, on requests that never leave the test.
TEST(RequestQueue, FirstCallerOwnsTheLoopAndTakesTheOthersInArrivalOrder) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  LIST_ENTRY list;
  InitializeListHead(&list);
  ULONG busy = 0;
  HW_STREAM_REQUEST_BLOCK requests[4]{};
  RequestExtension extensions[4]{};
  for (int i = 0; i < 4; ++i) requests[i].SRBExtension = &extensions[i];

  EXPECT_FALSE(RequestQueueEnter(&requests[0], &lock, &busy, &list));
  EXPECT_EQ(busy, 1u);
  for (int i = 1; i < 4; ++i) EXPECT_TRUE(RequestQueueEnter(&requests[i], &lock, &busy, &list));

  PHW_STREAM_REQUEST_BLOCK current = &requests[0];
  for (int i = 1; i < 4; ++i) {
    ASSERT_TRUE(RequestQueueNext(&current, &lock, &busy, &list));
    EXPECT_EQ(current, &requests[i]);
    EXPECT_EQ(busy, 1u);
  }
  EXPECT_FALSE(RequestQueueNext(&current, &lock, &busy, &list));
  EXPECT_EQ(busy, 0u);
  EXPECT_TRUE(IsListEmpty(&list));
  // Left idle, the next caller owns the loop again.
  EXPECT_FALSE(RequestQueueEnter(&requests[1], &lock, &busy, &list));
}

// A device request that arrives while another is being handled returns
// pending and is completed later, in arrival order, by the busy thread.
TEST(DeviceLoop, RequestsArrivingWhileBusyWaitAndCompleteInOrder) {
  rig::DriverRig rig(rig::testUnit(), {}, /*virtualClock=*/false);  // detection really waits
  ASSERT_TRUE(rig.ok()) << rig.why();
  DeviceContext* device = rig.device();

  pf::ks::RequestPtr busy;
  std::thread owner([&] { busy = rig.adapter().sendDeviceRequest(SRB_INITIALIZATION_COMPLETE); });
  auto loopBusy = [device] {  // read as the driver does, under QueueLock
    KIRQL irql = KfAcquireSpinLock(&device->QueueLock);
    ULONG busy = device->DeviceBusy;
    KfReleaseSpinLock(&device->QueueLock, irql);
    return busy;
  };
  auto deadline = std::chrono::steady_clock::now() + kWait;
  while (loopBusy() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  ASSERT_EQ(loopBusy(), 1u) << "the first request never entered the loop";

  auto power = [](DEVICE_POWER_STATE state) {
    return [state](HW_STREAM_REQUEST_BLOCK& srb) { srb.CommandData.DeviceState = state; };
  };
  auto first = rig.adapter().sendDeviceRequest(SRB_CHANGE_POWER_STATE, power(PowerDeviceD1));
  auto second = rig.adapter().sendDeviceRequest(SRB_UNKNOWN_DEVICE_COMMAND);
  auto third = rig.adapter().sendDeviceRequest(SRB_CHANGE_POWER_STATE, power(PowerDeviceD2));
  // Returned at once, still pending: the busy thread owns them now.
  EXPECT_FALSE(first->completed());
  EXPECT_FALSE(second->completed());
  EXPECT_FALSE(third->completed());
  EXPECT_EQ(first->status(), STATUS_PENDING);

  owner.join();
  ASSERT_TRUE(front::waitAll({busy, first, second, third}));
  EXPECT_EQ(busy->status(), STATUS_SUCCESS);
  EXPECT_EQ(first->status(), STATUS_SUCCESS);
  EXPECT_EQ(second->status(), STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(third->status(), STATUS_SUCCESS);
  EXPECT_EQ(device->PowerState, PowerDeviceD2);  // D1 was handled first
  EXPECT_EQ(loopBusy(), 0u);
}

struct SpeedCase {
  pf::usb::Speed speed;
  BOOLEAN highSpeed;
  ULONG bitRate, peakBitRate;
};

class BringUp : public ::testing::TestWithParam<SpeedCase> {};

// With no stored settings, the initial values stand.
TEST_P(BringUp, InitialSettingsFollowTheBusSpeed) {
  emu::UnitOptions unit = rig::testUnit();
  unit.speed = GetParam().speed;
  rig::DriverRig rig(unit);
  ASSERT_TRUE(rig.ok()) << rig.why();
  const DeviceContext* d = rig.device();
  EXPECT_EQ(d->Flags, 0u);
  EXPECT_EQ(d->HighSpeed, GetParam().highSpeed);
  EXPECT_EQ(d->BitRate, GetParam().bitRate);
  EXPECT_EQ(d->DefaultBitRate, GetParam().bitRate);
  EXPECT_EQ(d->PeakBitRate, GetParam().peakBitRate);
  EXPECT_EQ(d->MaxBitRate, GetParam().peakBitRate);
  EXPECT_EQ(d->MinBitRate, 1000000u);
  EXPECT_EQ(d->CodecState, CodecUnloaded);
  EXPECT_EQ(d->LoadedImageKind, ImageKindNone);
  EXPECT_EQ(d->LoadedImage, ImageNone);
  EXPECT_EQ(d->CaptureMode, CaptureModeMpeg2);
  EXPECT_EQ(d->VideoStandard, (ULONG)KS_AnalogVideo_NTSC_M);
  EXPECT_EQ(d->CaptureWidth, 720u);
  EXPECT_EQ(d->CaptureHeight, 480u);
  EXPECT_EQ(d->Brightness, 128u);
  EXPECT_EQ(d->Contrast, 68u);
  EXPECT_EQ(d->Saturation, 64u);
  EXPECT_EQ(d->Hue, 0u);
  EXPECT_EQ(d->Sharpness, 0u);
  EXPECT_EQ(d->VariableBitRateSupport, 1u);
  EXPECT_EQ(d->AudioSamplingFrequency, 48000u);
  EXPECT_EQ(d->AudioVolumeLevel, 0);
  EXPECT_EQ(d->OutputEnable, 1u);
  EXPECT_EQ(d->AudioRoute, 2u);
  EXPECT_EQ(d->MpegStreamsOpen, 0);
  EXPECT_NE(d->BulkIrp, nullptr);
  EXPECT_NE(d->BulkUrb, nullptr);
  EXPECT_NE(d->ResetPipeUrb, nullptr);
  EXPECT_NE(d->WorkerThread, nullptr);
  EXPECT_EQ(d->DeviceQueueReady, 1u);
  // The codec is reset before the unit is put in idle mode.
  auto codes = front::commandCodes(rig.unit());
  auto reset = std::find(codes.begin(), codes.end(), 0x23u);
  ASSERT_NE(reset, codes.end());
  EXPECT_NE(std::find(reset, codes.end(), 0x03u), codes.end());
}

INSTANTIATE_TEST_SUITE_P(Speeds, BringUp,
                         ::testing::Values(SpeedCase{pf::usb::Speed::High, 1, 7000000, 8000000},
                                           SpeedCase{pf::usb::Speed::Full, 0, 4200000, 6000000}));

// Every failure on the way up must give 0xFFFFFFFF and leave no pool behind
// (the class driver checks the tag after a failed add).
TEST(BringUp, FailedInitializationReleasesWhatItAllocated) {
  rig::UnitRig unitRig;
  std::unique_ptr<pf::ks::Minidriver> driver;
  ASSERT_EQ(pf::ks::Minidriver::load(DriverEntry, driver), STATUS_SUCCESS);
  unsigned failures = 0;
  for (unsigned n = 1; n <= 8; ++n) {
    pf::pool::failNth(n, {MPEGUNIT_POOL_TAG, pf::pool::Kind::NonPaged});
    std::unique_ptr<pf::ks::Adapter> adapter;
    NTSTATUS status = pf::ks::Adapter::add(*driver, unitRig.pdo(), adapter);
    pf::pool::reset();
    if (status == STATUS_SUCCESS) {
      EXPECT_EQ(adapter->remove(), STATUS_SUCCESS);
      continue;
    }
    ++failures;
    EXPECT_EQ(status, (NTSTATUS)0xFFFFFFFF) << "allocation " << n;
  }
  EXPECT_GT(failures, 0u) << "no allocation of the bring-up was made to fail";
  EXPECT_EQ(pf::pool::outstanding(MPEGUNIT_POOL_TAG).total().blocks, 0u);
}

TEST(Teardown, SurpriseRemovalThenUninitializeActsOnce) {
  rig::DriverRig rig;
  ASSERT_TRUE(rig.ok()) << rig.why();
  DeviceContext* device = rig.device();
  EXPECT_EQ(rig.adapter().callDevice(SRB_SURPRISE_REMOVAL), STATUS_SUCCESS);
  EXPECT_EQ(device->Flags & (DeviceGone | TornDown), DeviceGone | TornDown);
  EXPECT_EQ(device->BulkIrp, nullptr);
  EXPECT_EQ(device->BulkUrb, nullptr);
  EXPECT_EQ(device->ResetPipeUrb, nullptr);
  EXPECT_EQ(device->ConfigurationDescriptor, nullptr);
  EXPECT_EQ(device->InterfaceInformation, nullptr);
  EXPECT_EQ(device->WorkerCommand, WorkerCommandEnded);
  EXPECT_EQ(KeReadStateEvent(&device->WorkerExitEvent), 1);
  auto before = rig.unit().controlLog().size();
  EXPECT_EQ(rig.adapter().callDevice(SRB_UNINITIALIZE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(rig.adapter().callDevice(SRB_SURPRISE_REMOVAL), STATUS_SUCCESS);
  EXPECT_EQ(rig.unit().controlLog().size(), before);
}

// Detection, run on a live adapter with the unit's signal and the stored
// input, standard and capture mode set up per case.
struct DetectCase {
  const char* name;
  emu::SignalSource signal;
  ULONG storedInput, storedStandard, captureMode;
  ULONG input, standard, width, height;  // expected afterwards
  int seconds;                           // of settling
};

class Detection : public ::testing::TestWithParam<DetectCase> {};

TEST_P(Detection, FindsTheLiveInputAndItsStandard) {
  const DetectCase& c = GetParam();
  rig::DriverRig rig;
  ASSERT_TRUE(rig.ok()) << rig.why();
  DeviceContext* d = rig.device();
  rig.unit().setSignal(c.signal);
  d->VideoInput = c.storedInput;
  d->VideoStandard = c.storedStandard;
  d->CaptureMode = c.captureMode;
  // A marker size, permitted for the stored standard and mode: it stays
  // unless the standard changes.
  bool ntsc = c.storedStandard == KS_AnalogVideo_NTSC_M;
  d->CaptureWidth = 352;
  d->CaptureHeight = c.captureMode == 0 ? (ntsc ? 480 : 576) : (ntsc ? 240 : 288);
  pf::clock::resetCounters();

  AdapterDetectInput(d);

  EXPECT_EQ(d->VideoInput, c.input);
  EXPECT_EQ(rig.unit().selectedInput(), (int)c.input);
  EXPECT_EQ(d->VideoStandard, c.standard);
  EXPECT_EQ(d->CaptureWidth, c.width);
  EXPECT_EQ(d->CaptureHeight, c.height);
  EXPECT_EQ(pf::clock::totalDelay(), c.seconds * pf::clock::kTicksPerSecond);
  EXPECT_EQ(pf::clock::delayCount(), (std::uint64_t)c.seconds);
}

constexpr ULONG NTSC = KS_AnalogVideo_NTSC_M, PAL = KS_AnalogVideo_PAL_B;
INSTANTIATE_TEST_SUITE_P(
    Cases, Detection,
    ::testing::Values(
        DetectCase{"StoredInputLive", {true, false, true}, 0, NTSC, 0, 0, NTSC, 352, 480, 1},
        DetectCase{"OtherInputLive", {false, true, true}, 0, NTSC, 0, 1, NTSC, 352, 480, 2},
        DetectCase{"BackToComposite", {true, false, true}, 1, NTSC, 0, 0, NTSC, 352, 480, 2},
        DetectCase{"NoSignal", {false, false, true}, 1, PAL, 0, 1, PAL, 352, 576, 2},
        DetectCase{"NtscFoundMpeg2", {true, false, true}, 0, PAL, 0, 0, NTSC, 720, 480, 1},
        DetectCase{"NtscFoundMpeg1", {true, false, true}, 0, PAL, 1, 0, NTSC, 320, 240, 1},
        DetectCase{"PalFoundMpeg2", {true, false, false}, 0, NTSC, 0, 0, PAL, 720, 576, 1},
        DetectCase{"PalFoundMpeg1", {false, true, false}, 0, NTSC, 1, 1, PAL, 320, 288, 2}),
    [](const ::testing::TestParamInfo<DetectCase>& info) { return std::string(info.param.name); });

}  // namespace
