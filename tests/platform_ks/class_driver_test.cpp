// The class driver against the test minidriver: adapter life cycle, property
// checks, pin creation and states, data, time-outs, completion rules.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "pf/host/ks_client.hpp"
#include "pf/host/clock.hpp"
#include "pf/host/pool.hpp"
#include "platform_ks/test_minidriver.hpp"

using namespace pf::ks;
using namespace std::chrono_literals;

namespace {

AdapterOptions quietOptions() {
  AdapterOptions options;
  options.waitLimit = 5000ms;
  options.timeoutTicker = false;
  return options;
}

class ClassDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TestMinidriverReset();
    for (DEVICE_OBJECT* pdo : {&pdo_, &secondPdo_}) {
      pdo->Type = 3;
      pdo->StackSize = 1;
    }
    ASSERT_EQ(Minidriver::load(TestDriverEntry, driver_), STATUS_SUCCESS);
  }
  void TearDown() override {
    forgetRegisteredFilters(&pdo_);
    forgetRegisteredFilters(&secondPdo_);
  }

  void addAdapter() { ASSERT_EQ(Adapter::add(*driver_, &pdo_, adapter_, quietOptions()), STATUS_SUCCESS); }
  // A second adapter of the same driver, over a device of its own.
  void addSecondAdapter(std::unique_ptr<Adapter>& adapter) {
    ASSERT_EQ(Adapter::add(*driver_, &secondPdo_, adapter, quietOptions()), STATUS_SUCCESS);
  }

  std::unique_ptr<Pin> openPin() {
    Filter filter(*adapter_);
    filter_ = std::make_unique<Filter>(*adapter_);
    std::unique_ptr<Pin> pin;
    EXPECT_EQ(filter_->createPin(0, *filter.pin(0).dataRanges[0], pin), STATUS_SUCCESS);
    return pin;
  }

  DEVICE_OBJECT pdo_{};
  DEVICE_OBJECT secondPdo_{};
  std::unique_ptr<Minidriver> driver_;
  std::unique_ptr<Adapter> adapter_;
  std::unique_ptr<Filter> filter_;
};

std::vector<ULONG> deviceCommands() {
  return std::vector<ULONG>(g_TestLog.deviceCommands,
                            g_TestLog.deviceCommands + g_TestLog.deviceCount);
}

TEST_F(ClassDriverTest, RegistrationIsCheckedAndKept) {
  EXPECT_EQ(driver_->registration().HwInitializationDataSize, sizeof(HW_INITIALIZATION_DATA));
  HW_INITIALIZATION_DATA data{};
  data.HwInitializationDataSize = 60;  // the 32-bit size: not this class driver's record
  EXPECT_EQ(StreamClassRegisterAdapter(driver_->driverObject(), driver_->registryPath(), &data),
            STATUS_REVISION_MISMATCH);
  // Outside a load nobody is registering.
  data.HwInitializationDataSize = sizeof data;
  data.HwReceivePacket = driver_->registration().HwReceivePacket;
  EXPECT_EQ(StreamClassRegisterAdapter(driver_->driverObject(), driver_->registryPath(), &data),
            STATUS_INVALID_PARAMETER);
}

TEST_F(ClassDriverTest, AdapterLifeCycle) {
  addAdapter();
  EXPECT_EQ(deviceCommands(), (std::vector<ULONG>{SRB_INITIALIZE_DEVICE, SRB_GET_STREAM_INFO,
                                                  SRB_INITIALIZATION_COMPLETE}));
  EXPECT_EQ(g_TestLog.realPdo, &pdo_);
  EXPECT_EQ(g_TestLog.configSize, sizeof(PORT_CONFIGURATION_INFORMATION));
  EXPECT_EQ(g_TestLog.deviceIrql, PASSIVE_LEVEL);
  EXPECT_FALSE(g_TestLog.extensionDirty);
  EXPECT_FALSE(g_TestLog.irpMismatch);

  Filter filter(*adapter_);
  ASSERT_EQ(filter.pinCount(), 1u);
  PinInfo pin = filter.pin(0);
  EXPECT_EQ(pin.dataFlow, KSPIN_DATAFLOW_OUT);
  ASSERT_EQ(pin.dataRanges.size(), 1u);
  EXPECT_TRUE(IsEqualGUID(pin.dataRanges[0]->MajorFormat, KSDATAFORMAT_TYPE_STREAM));
  EXPECT_TRUE(pin.category && IsEqualGUID(*pin.category, PINNAME_VIDEO_CAPTURE));
  ASSERT_EQ(filter.topology().categories.size(), 1u);

  auto filters = registeredFilters(&pdo_);
  ASSERT_EQ(filters.size(), 1u);
  EXPECT_TRUE(IsEqualGUID(filters[0].category, KSCATEGORY_CAPTURE));
  EXPECT_EQ(filters[0].pinIsOutput, std::vector<bool>{true});
  EXPECT_TRUE(IsEqualGUID(filters[0].mediums.at(0).Set, KSMEDIUMSETID_Standard));

  EXPECT_EQ(adapter_->remove(), STATUS_SUCCESS);  // checks the pool too
  EXPECT_EQ(deviceCommands().back(), ULONG(SRB_UNINITIALIZE_DEVICE));
  EXPECT_EQ(adapter_->remove(), STATUS_SUCCESS);
  EXPECT_EQ(g_TestLog.deviceCount, 4);
}

TEST_F(ClassDriverTest, SurpriseRemovalIsFollowedByUninitialize) {
  addAdapter();
  EXPECT_EQ(adapter_->surpriseRemove(), STATUS_SUCCESS);
  auto commands = deviceCommands();
  ASSERT_EQ(commands.size(), 5u);
  EXPECT_EQ(commands[3], ULONG(SRB_SURPRISE_REMOVAL));
  EXPECT_EQ(commands[4], ULONG(SRB_UNINITIALIZE_DEVICE));
}

TEST_F(ClassDriverTest, FailedStartsAddNoAdapter) {
  g_TestKnobs.initStatus = STATUS_IO_DEVICE_ERROR;
  EXPECT_EQ(Adapter::add(*driver_, &pdo_, adapter_, quietOptions()), STATUS_IO_DEVICE_ERROR);
  EXPECT_FALSE(adapter_);
  EXPECT_EQ(deviceCommands(), std::vector<ULONG>{SRB_INITIALIZE_DEVICE});

  // A descriptor too small for the streams it announces: the start is undone.
  TestMinidriverReset();
  g_TestKnobs.shortDescriptor = TRUE;
  EXPECT_EQ(Adapter::add(*driver_, &pdo_, adapter_, quietOptions()), STATUS_INVALID_BUFFER_SIZE);
  EXPECT_EQ(deviceCommands(), (std::vector<ULONG>{SRB_INITIALIZE_DEVICE, SRB_GET_STREAM_INFO,
                                                  SRB_UNINITIALIZE_DEVICE}));
}

TEST_F(ClassDriverTest, PropertiesAreCheckedAgainstTheTables) {
  addAdapter();
  Filter filter(*adapter_);
  KSPROPERTY_VIDEOPROCAMP_S record{};
  const ULONG full = sizeof record;
  struct Case {
    const char* what;
    GUID set;
    ULONG id;
    ULONG flags;
    ULONG inputSize;
    ULONG dataSize;
    NTSTATUS status;
    ULONG bytes;
  } cases[] = {
      {"get", PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS,
       KSPROPERTY_TYPE_GET, full, full, STATUS_SUCCESS, full},
      {"data too small", PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS,
       KSPROPERTY_TYPE_GET, full, full - 4, STATUS_BUFFER_TOO_SMALL, full},
      {"size query", PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS,
       KSPROPERTY_TYPE_GET, full, 0, STATUS_BUFFER_OVERFLOW, full},
      {"property too small", PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS,
       KSPROPERTY_TYPE_GET, sizeof(KSPROPERTY), full, STATUS_BUFFER_TOO_SMALL, full},
      {"set on a get-only item", PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_CONTRAST,
       KSPROPERTY_TYPE_SET, full, full, STATUS_NOT_IMPLEMENTED, 0},
      {"unknown item", PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_HUE,
       KSPROPERTY_TYPE_GET, full, full, STATUS_NOT_IMPLEMENTED, 0},
      {"unknown set", PROPSETID_VIDCAP_CROSSBAR, 0, KSPROPERTY_TYPE_GET, full, full,
       STATUS_NOT_IMPLEMENTED, 0},
      {"no KSPROPERTY", PROPSETID_VIDCAP_VIDEOPROCAMP, 0, KSPROPERTY_TYPE_GET, 16, full,
       STATUS_INVALID_BUFFER_SIZE, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LONG before = g_TestLog.deviceCount;
    record = {};
    record.Property.Set = c.set;
    record.Property.Id = c.id;
    record.Property.Flags = c.flags;
    KSPROPERTY_VIDEOPROCAMP_S data{};
    PropertyResult r = filter.property(&record, c.inputSize, &data, c.dataSize);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.bytes, c.bytes);
    // Only a request that passed every check reaches the minidriver.
    EXPECT_EQ(g_TestLog.deviceCount - before, c.status == STATUS_SUCCESS ? 1 : 0);
    if (c.status == STATUS_SUCCESS) EXPECT_EQ(ULONG(data.Value), kTestBrightnessDefault);
  }

  // Set then get through the record form.
  record = {};
  record.Value = 200;
  EXPECT_EQ(filter.set(PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, record).status,
            STATUS_SUCCESS);
  record = {};
  EXPECT_EQ(filter.get(PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, record).status,
            STATUS_SUCCESS);
  EXPECT_EQ(record.Value, 200);
}

TEST_F(ClassDriverTest, BasicSupportAndDefaultComeFromTheValueTables) {
  addAdapter();
  Filter filter(*adapter_);
  LONG before = g_TestLog.deviceCount;

  ULONG access = 0;
  EXPECT_EQ(filter.basicSupport(PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_CONTRAST,
                                &access, sizeof access).status,
            STATUS_SUCCESS);
  EXPECT_EQ(access, ULONG(KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_BASICSUPPORT));

  struct {
    KSPROPERTY_DESCRIPTION description;
    KSPROPERTY_MEMBERSHEADER rangeHeader;
    KSPROPERTY_STEPPING_LONG range;
    KSPROPERTY_MEMBERSHEADER defaultHeader;
    LONG defaultValue;
  } answer{};
  const ULONG packed = offsetof(decltype(answer), defaultValue) + sizeof(LONG);  // no tail padding
  PropertyResult size = filter.basicSupport(PROPSETID_VIDCAP_VIDEOPROCAMP,
                                            KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, nullptr, 0);
  EXPECT_EQ(size.status, STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(size.bytes, packed);
  PropertyResult r = filter.basicSupport(PROPSETID_VIDCAP_VIDEOPROCAMP,
                                         KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, &answer, sizeof answer);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, packed);
  EXPECT_EQ(answer.description.DescriptionSize, packed);
  EXPECT_EQ(answer.description.PropTypeSet.Id, ULONG(VT_I4));
  EXPECT_EQ(answer.description.MembersListCount, 2u);
  EXPECT_EQ(answer.rangeHeader.MembersFlags, ULONG(KSPROPERTY_MEMBER_RANGES));
  EXPECT_EQ(answer.range.Bounds.SignedMaximum, kTestBrightnessMax);
  EXPECT_EQ(answer.defaultValue, LONG(kTestBrightnessDefault));

  LONG value = 0;
  EXPECT_EQ(filter.defaultValue(PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS,
                                &value, sizeof value).status,
            STATUS_SUCCESS);
  EXPECT_EQ(value, LONG(kTestBrightnessDefault));
  EXPECT_EQ(g_TestLog.deviceCount, before);  // answered by the class driver alone
}

TEST_F(ClassDriverTest, IntersectionReachesTheMinidriver) {
  addAdapter();
  Filter filter(*adapter_);
  const KSDATARANGE& range = *filter.pin(0).dataRanges[0];
  ULONG size = 0;
  PropertyResult r = filter.intersect(0, range, &size, sizeof size);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(size, sizeof(KSDATAFORMAT));
  KSDATAFORMAT format{};
  r = filter.intersect(0, range, &format, sizeof format);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, sizeof format);
  EXPECT_TRUE(IsEqualGUID(format.SubFormat, KSDATAFORMAT_TYPE_MPEG2_PROGRAM));
  EXPECT_EQ(filter.intersect(1, range, &format, sizeof format).status, STATUS_INVALID_PARAMETER);
}

TEST_F(ClassDriverTest, PinStatesWalkThroughEveryStep) {
  addAdapter();
  std::unique_ptr<Pin> pin = openPin();
  ASSERT_TRUE(pin);
  EXPECT_FALSE(g_TestLog.streamExtensionDirty);
  EXPECT_EQ(g_TestLog.openFormatSize, sizeof(KSDATARANGE));

  EXPECT_EQ(pin->setState(KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(pin->setState(KSSTATE_STOP), STATUS_SUCCESS);
  std::vector<KSSTATE> steps(g_TestLog.stateSteps, g_TestLog.stateSteps + g_TestLog.stateCount);
  EXPECT_EQ(steps, (std::vector<KSSTATE>{KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN,
                                         KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP}));
  EXPECT_EQ(g_TestLog.controlIrql, PASSIVE_LEVEL);

  KSSTATE state = KSSTATE_RUN;
  EXPECT_EQ(pin->setState(KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_EQ(pin->getState(state), STATUS_NO_DATA_DETECTED);
  EXPECT_EQ(state, KSSTATE_PAUSE);

  KSALLOCATOR_FRAMING framing{};
  KSPROPERTY request{};
  request.Set = KSPROPSETID_Connection;
  request.Id = KSPROPERTY_CONNECTION_ALLOCATORFRAMING;
  request.Flags = KSPROPERTY_TYPE_GET;
  PropertyResult r = pin->property(&request, sizeof request, &framing, sizeof framing);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, sizeof framing);
  EXPECT_EQ(framing.FrameSize, kTestFrameSize);
  request.Flags = KSPROPERTY_TYPE_SET;
  EXPECT_EQ(pin->property(&request, sizeof request, &framing, sizeof framing).status,
            STATUS_NOT_IMPLEMENTED);

  EXPECT_EQ(pin->close(), STATUS_SUCCESS);
  EXPECT_EQ(deviceCommands().back(), ULONG(SRB_CLOSE_STREAM));
}

TEST_F(ClassDriverTest, DataRequestsArriveAtDispatchLevelAndCompleteOnce) {
  addAdapter();
  std::unique_ptr<Pin> pin = openPin();
  ASSERT_EQ(pin->setState(KSSTATE_RUN), STATUS_SUCCESS);
  RequestPtr read = pin->read(kTestFrameSize);
  ASSERT_TRUE(read);
  ASSERT_TRUE(read->wait(5s));
  EXPECT_EQ(read->status(), STATUS_SUCCESS);
  EXPECT_EQ(read->completions(), 1u);
  EXPECT_EQ(read->header().DataUsed, kTestFrameSize);
  EXPECT_EQ(read->data()[kTestFrameSize - 1], 0x47);
  EXPECT_EQ(g_TestLog.dataIrql, DISPATCH_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(adapter_->pendingRequests(), 0u);
}

TEST_F(ClassDriverTest, TimeoutCallsTheHandlerAndCloseCancels) {
  addAdapter();
  std::unique_ptr<Pin> pin = openPin();
  g_TestKnobs.parkReads = TRUE;
  RequestPtr read = pin->read(16);
  ASSERT_FALSE(read->completed());
  ULONG seconds = read->srb()->TimeoutOriginal;
  ASSERT_EQ(seconds, kDefaultRequestTimeoutSeconds);
  for (ULONG i = 1; i < seconds; ++i) adapter_->tick();
  EXPECT_EQ(g_TestLog.timeouts, 0);
  adapter_->tick();
  EXPECT_EQ(g_TestLog.timeouts, 1);
  EXPECT_EQ(read->srb()->TimeoutCounter, seconds);  // the handler started a fresh time-out
  EXPECT_FALSE(read->completed());

  EXPECT_EQ(pin->close(), STATUS_SUCCESS);
  EXPECT_EQ(g_TestLog.cancels, 1);
  EXPECT_EQ(read->status(), STATUS_CANCELLED);
}

TEST_F(ClassDriverTest, TickerFollowsThePlatformClock) {
  pf::clock::VirtualScope virtualTime;
  AdapterOptions options = quietOptions();
  options.timeoutTicker = true;
  ASSERT_EQ(Adapter::add(*driver_, &pdo_, adapter_, options), STATUS_SUCCESS);
  std::unique_ptr<Pin> pin = openPin();
  g_TestKnobs.parkReads = TRUE;
  RequestPtr read = pin->read(16);
  pf::clock::advance((kDefaultRequestTimeoutSeconds + 1) * pf::clock::kTicksPerSecond);
  // The ticker thread counts with an interlocked increment: read it atomically.
  auto timeouts = [] { return __atomic_load_n(&g_TestLog.timeouts, __ATOMIC_ACQUIRE); };
  for (int i = 0; i < 100 && timeouts() == 0; ++i) std::this_thread::sleep_for(20ms);
  EXPECT_EQ(timeouts(), 1);
  pin.reset();  // cancels the parked read
  EXPECT_EQ(read->status(), STATUS_CANCELLED);
}

TEST_F(ClassDriverTest, DeviceRequestsAreNotSerialised) {
  addAdapter();
  g_TestKnobs.parkUnknownDevice = TRUE;
  RequestPtr parked = adapter_->sendDeviceRequest(SRB_UNKNOWN_DEVICE_COMMAND);
  ASSERT_FALSE(parked->completed());
  // Another thread's request is handled while the first is still pending.
  NTSTATUS other = STATUS_PENDING;
  std::thread t([&] { other = adapter_->callDevice(SRB_PAGING_OUT_DRIVER); });
  t.join();
  EXPECT_EQ(other, STATUS_SUCCESS);
  EXPECT_EQ(adapter_->pendingRequests(), 1u);
  TestCompleteParkedDevice(STATUS_SUCCESS);
  EXPECT_TRUE(adapter_->waitIdle(5s));
  EXPECT_EQ(parked->status(), STATUS_SUCCESS);
}

using ClassDriverDeathTest = ClassDriverTest;

TEST_F(ClassDriverDeathTest, CompletionRulesAreEnforced) {
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  addAdapter();
  g_TestKnobs.completeTwice = TRUE;
  EXPECT_DEATH(adapter_->callDevice(SRB_PAGING_OUT_DRIVER), "BUGCHECK: request completed twice");

  HW_STREAM_REQUEST_BLOCK stray{};
  stray.HwDeviceExtension = adapter_->deviceExtension();
  EXPECT_DEATH(StreamClassDeviceNotification(DeviceRequestComplete, stray.HwDeviceExtension, &stray),
               "BUGCHECK: .*never sent");
}

TEST_F(ClassDriverDeathTest, PoolLeftBehindAtRemovalIsReported) {
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  addAdapter();
  g_TestKnobs.leakAtInit = TRUE;
  EXPECT_DEATH(adapter_->remove(), "BUGCHECK: .*adapter removal");
  g_TestKnobs.leakAtInit = FALSE;
}

// Blocks carry the driver's tag, not the adapter's: with two adapters alive,
// the removal of the older one while the newer still holds its block is no
// leak, in either order of removal; a block one of them left behind is found
// when the last of them goes.
TEST_F(ClassDriverTest, SeveralAdaptersAreCheckedForPoolAtTheLastRemoval) {
  for (bool olderFirst : {true, false}) {
    SCOPED_TRACE(olderFirst ? "older removed first" : "newer removed first");
    addAdapter();
    std::unique_ptr<Adapter> newer;
    addSecondAdapter(newer);
    ASSERT_TRUE(newer);
    Adapter& first = olderFirst ? *adapter_ : *newer;
    Adapter& last = olderFirst ? *newer : *adapter_;
    EXPECT_EQ(first.remove(), STATUS_SUCCESS);
    EXPECT_EQ(last.remove(), STATUS_SUCCESS);
    EXPECT_EQ(pf::pool::outstanding(pf::pool::makeTag("KMF2")).total().blocks, 0u);
    forgetRegisteredFilters(&secondPdo_);
  }
}

TEST_F(ClassDriverDeathTest, PoolLeftByAnEarlierAdapterIsReportedAtTheLastRemoval) {
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  addAdapter();
  std::unique_ptr<Adapter> newer;
  addSecondAdapter(newer);
  ASSERT_TRUE(newer);
  EXPECT_DEATH(
      {
        g_TestKnobs.leakAtInit = TRUE;
        adapter_->remove();  // leaves its block; the newer adapter is still alive
        g_TestKnobs.leakAtInit = FALSE;
        newer->remove();
      },
      "BUGCHECK: .*adapter removal");
  newer->remove();
}

}  // namespace
