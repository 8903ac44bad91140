// Device configuration: descriptor fetches, pipes, the high-speed flag.
#include "usb_fixture.hpp"

#include "pf/host/pool.hpp"

namespace {

// GET_DESCRIPTOR(configuration) requests the unit saw, by wLength.
std::vector<unsigned> configDescriptorFetches(const emu::Unit& unit) {
  std::vector<unsigned> out;
  for (const auto& r : unit.controlLog())
    if (r.setup.bmRequestType == 0x80 && r.setup.bRequest == 6 && r.setup.wValue == 0x0200)
      out.push_back(r.setup.wLength);
  return out;
}

struct ConfigCase {
  const char* name;
  pf::usb::Speed speed;
  std::size_t extraBytes;
  std::vector<unsigned> fetches;  // 0 stands for "the descriptor's total length"
  BOOLEAN highSpeed;
};

class ConfigureTest : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(ConfigureTest, FetchesSelectsAndRecordsPipes) {
  const ConfigCase& c = GetParam();
  emu::UnitOptions options = rig::testUnit();
  options.speed = c.speed;
  options.extraDescriptorBytes = c.extraBytes;
  rig::UnitRig r(options);
  ASSERT_EQ(r.configure(), STATUS_SUCCESS);

  DeviceContext* d = r.device();
  ASSERT_NE(d->ConfigurationDescriptor, nullptr);
  const unsigned total = d->ConfigurationDescriptor->wTotalLength;
  std::vector<unsigned> expected = c.fetches;
  for (auto& f : expected)
    if (f == 0) f = total;
  EXPECT_EQ(configDescriptorFetches(r.unit()), expected);

  EXPECT_NE(d->ConfigurationHandle, nullptr);
  ASSERT_NE(d->InterfaceInformation, nullptr);
  EXPECT_EQ(d->InterfaceInformation->NumberOfPipes, 2u);
  for (ULONG i = 0; i < d->InterfaceInformation->NumberOfPipes; ++i)
    EXPECT_EQ(d->InterfaceInformation->Pipes[i].MaximumTransferSize, 0x100000u);
  EXPECT_NE(d->BulkInPipe, nullptr);
  EXPECT_NE(d->BulkOutPipe, nullptr);
  EXPECT_NE(d->BulkInPipe, d->BulkOutPipe);
  EXPECT_EQ(d->HighSpeed, c.highSpeed);
}

INSTANTIATE_TEST_SUITE_P(
    Units, ConfigureTest,
    ::testing::Values(ConfigCase{"HighSpeedShort", pf::usb::Speed::High, 0, {521}, 1},
                      ConfigCase{"FullSpeedShort", pf::usb::Speed::Full, 0, {521}, 0},
                      ConfigCase{"ExactlyFits", pf::usb::Speed::High, 521 - 32, {521}, 1},
                      ConfigCase{"LongDescriptor", pf::usb::Speed::Full, 600, {521, 0}, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Configure, NoDescriptorFailsAndKeepsNothing) {
  // A unit that is gone answers no descriptor: nothing may be parsed.
  rig::UnitRig r;
  r.unit().unplug();
  EXPECT_EQ(UsbConfigureDevice(r.device()), STATUS_DEVICE_NOT_CONNECTED);  // the request's own failure
  EXPECT_EQ(r.device()->ConfigurationDescriptor, nullptr);
  EXPECT_EQ(r.device()->InterfaceInformation, nullptr);
  EXPECT_EQ(r.device()->BulkInPipe, nullptr);
}

TEST(Configure, NoPoolForTheDescriptorFails) {
  rig::UnitRig r;
  pf::pool::Filter ours;
  ours.tag = MPEGUNIT_POOL_TAG;
  pf::pool::failNth(2, ours);  // the first is the request, the second the descriptor buffer
  EXPECT_EQ(UsbConfigureDevice(r.device()), STATUS_INSUFFICIENT_RESOURCES);
  pf::pool::reset();
  EXPECT_EQ(r.device()->ConfigurationDescriptor, nullptr);
  EXPECT_TRUE(configDescriptorFetches(r.unit()).empty());
}

// The rig's bring-up step (configuration, then the bulk IRP and URBs) never
// answers success without all three, whichever allocation of the driver's
// pool or of an IRP fails; and it leaves no pool behind (the rig checks).
TEST(Configure, RigSucceedsOnlyWithItsBulkPackets) {
  for (const std::uint32_t tag : {MPEGUNIT_POOL_TAG, pf::pool::makeTag("Irp ")}) {
    for (unsigned k = 1;; ++k) {
      ASSERT_LT(k, 50u) << "an allocation fails at every step";
      rig::UnitRig r;
      pf::pool::failNth(k, {tag, std::nullopt});
      const NTSTATUS status = r.configure();
      const bool reached = pf::pool::injectedFailures() > 0;
      pf::pool::reset();
      DeviceContext* d = r.device();
      if (NT_SUCCESS(status)) {
        EXPECT_TRUE(d->BulkIrp && d->BulkUrb && d->ResetPipeUrb) << "allocation " << k << " failed unnoticed";
      }
      if (!reached) {
        EXPECT_EQ(status, STATUS_SUCCESS);
        break;
      }
    }
  }
}

}  // namespace
