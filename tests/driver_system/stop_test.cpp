// Stopping never hangs and never leaves the encoder running: a stop while the
// unit has stopped delivering, and a pin closed while it runs.
#include "driver_system/system.hpp"

namespace {

// A capture pin of a fresh stack, running and delivering.
class SystemStop : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(rig.ok()) << rig.why();
    pin = sys::openPin(rig.filter(), 0, sys::captureFormat(rig.filter(), false));
    ASSERT_TRUE(pin);
    ASSERT_EQ(pin->setState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_FALSE(sys::readStream(*pin, 256 * 1024).empty());
  }

  rig::DriverRig rig;
  std::unique_ptr<pf::ks::Pin> pin;
};

TEST_F(SystemStop, StopEndsWhenTheUnitHasStoppedDelivering) {
  pf::ks::Filter& filter = rig.filter();

  // The unit goes idle under the running capture: its encoder stops and the
  // read now in the worker's hands never gets a byte.
  KSPROPERTY idle{};
  ASSERT_EQ(filter.recordCall(KSPROPERTY_TYPE_SET, PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_IDLE, &idle,
                              sizeof idle)
                .status,
            STATUS_SUCCESS);
  auto stuck = pin->read(131072);
  EXPECT_FALSE(stuck->wait(std::chrono::milliseconds(200)));

  rig.bus().clearTraffic();
  EXPECT_EQ(pin->setState(KSSTATE_STOP), STATUS_SUCCESS);  // bounded by the rig's wait limit
  ASSERT_TRUE(stuck->wait(std::chrono::seconds(5)));
  bool aborted = false;
  for (const auto& e : rig.bus().traffic()) aborted |= e.kind == pf::usb::TrafficEvent::Kind::AbortPipe;
  EXPECT_TRUE(aborted) << "the stop should have aborted the transfer the unit no longer served";
  EXPECT_EQ(stuck->header().DataUsed, 0u);
  EXPECT_TRUE(rig.bus().waitIdle(std::chrono::seconds(5))) << "a transfer was left at the bus";

  // The next capture starts afresh and delivers.
  ASSERT_EQ(pin->setState(KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_FALSE(sys::readStream(*pin, 256 * 1024).empty());
  EXPECT_EQ(pin->setState(KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(pin->close(), STATUS_SUCCESS);
}

TEST_F(SystemStop, ClosingARunningPinStopsTheEncoder) {
  auto pending = pin->read(131072);
  EXPECT_TRUE(rig.unit().encoderRunning());

  EXPECT_EQ(pin->close(), STATUS_SUCCESS);
  EXPECT_FALSE(rig.unit().encoderRunning());
  EXPECT_TRUE(pending->completed());
  EXPECT_TRUE(rig.bus().waitIdle(std::chrono::seconds(5))) << "a transfer was left at the bus";
  EXPECT_EQ(rig.device()->OpenStreams[StreamCapture], nullptr);
}

}  // namespace
