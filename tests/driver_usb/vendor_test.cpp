// Vendor commands: the setup packet and data stage each operation puts on
// the wire, the revision word, and the acknowledgement of command 0x13.
#include <functional>

#include "driver/kivchip.h"
#include "pf/host/pool.hpp"
#include "usb_fixture.hpp"

namespace {

struct WireCase {
  const char* name;
  std::function<NTSTATUS(DeviceContext*)> send;
  std::uint8_t bmRequestType;  // on the wire: 0x41 OUT, 0xC1 IN
  std::uint16_t wValue;
  std::uint16_t wIndex;
  std::uint16_t wLength;
  std::vector<std::uint8_t> outData;  // OUT data stage, when checked
};

const UCHAR kBusBytes[] = {0x10, 0x01, 0x02};
const UCHAR kMessage[] = {0xA0, 0x0D, 0, 1, 0, 0x40, 0x16, 0x40};

std::vector<WireCase> wireCases() {
  auto simple = [](const char* name, std::function<NTSTATUS(DeviceContext*)> f, std::uint16_t code) {
    return WireCase{name, std::move(f), 0x41, 0, code, 0, {}};
  };
  auto signal = [](const char* name, std::function<NTSTATUS(DeviceContext*)> f, std::uint16_t code) {
    return WireCase{name, std::move(f), 0xC1, 0, code, 0, {}};
  };
  return {
      simple("SimpleKeepsLowByte", [](DeviceContext* d) { return VendorSimpleCommand(d, 0x123); }, 0x23),
      simple("StartEncoder", VendorStartEncoder, 0x21),
      simple("StartDecoder", VendorStartDecoder, 0x22),
      simple("ResetCodec", VendorResetCodec, 0x23),
      simple("FinishLoad", VendorFinishMicrocodeLoad, 0x25),
      simple("InitDecoder", VendorInitDecoder, 0x26),
      simple("InitEncoder", VendorInitEncoder, 0x27),
      simple("BeginLoad", VendorBeginMicrocodeLoad, 0x28),
      simple("FlushEncoder", VendorFlushEncoder, 0x2B),
      signal("ModeIdle", VendorSetModeIdle, 0x03),
      signal("ModeEncode", VendorSetModeEncode, 0x04),
      signal("ModeDecode", VendorSetModeDecode, 0x05),
      {"ReadRevision", VendorReadRevision, 0xC1, 0, 0x00, 2, {}},
      {"WriteByte", [](DeviceContext* d) { return VendorWriteByte(d, 0x0005, 0xAB); }, 0x41, 0x0005,
       0xAB32, 0, {}},
      {"ReadByte",
       [](DeviceContext* d) {
         UCHAR v = 0;
         return VendorReadByte(d, 0x0007, &v);
       },
       0xC1, 0x0007, 0x31, 1, {}},
      {"BusReadRegister",
       [](DeviceContext* d) {
         UCHAR v = 0;
         return VendorBusReadRegister(d, 0x21, 0x1F, &v);
       },
       0xC1, 0x1F21, 0x61, 1, {}},
      {"BusWrite", [](DeviceContext* d) { return VendorBusWrite(d, 0x144, 3, kBusBytes); }, 0x41,
       0x44, 0x72, 3, {0x10, 0x01, 0x02}},
      {"BusReadTruncatesAddress",
       [](DeviceContext* d) {
         UCHAR v[2] = {};
         return VendorBusRead(d, 0x121, 2, v);
       },
       0xC1, 0x21, 0x71, 2, {}},
      {"EncoderMessage",
       [](DeviceContext* d) { return VendorSendEncoderMessage(d, sizeof(kMessage), kMessage); }, 0x41,
       0, 0x20, 8, std::vector<std::uint8_t>(kMessage, kMessage + sizeof(kMessage))},
  };
}

TEST(VendorCommands, EachPutsItsRequestOnTheWire) {
  auto r = usbtest::configuredRig();
  for (const WireCase& c : wireCases()) {
    SCOPED_TRACE(c.name);
    const std::size_t before = rig::vendorRequests(r->unit()).size();
    (void)c.send(r->device());  // the unit may refuse it in its state; the wire is what counts
    const auto requests = rig::vendorRequests(r->unit());
    ASSERT_EQ(requests.size(), before + 1);
    const auto& s = requests.back().setup;
    EXPECT_EQ(s.bmRequestType, c.bmRequestType);
    EXPECT_EQ(s.bRequest, 0);
    EXPECT_EQ(s.wValue, c.wValue);
    EXPECT_EQ(s.wIndex, c.wIndex);
    EXPECT_EQ(s.wLength, c.wLength);
    if (!c.outData.empty()) EXPECT_EQ(requests.back().data, c.outData);
  }
}

struct RevisionCase {
  std::uint16_t wire;
  ULONG recorded;
};

class RevisionTest : public ::testing::TestWithParam<RevisionCase> {};

TEST_P(RevisionTest, RecordsOnlyKnownWords) {
  emu::UnitOptions options = rig::testUnit();
  options.revision = GetParam().wire;
  auto r = usbtest::configuredRig(options);
  r->device()->HardwareRevision = 0x77;
  EXPECT_EQ(VendorReadRevision(r->device()), STATUS_SUCCESS);
  EXPECT_EQ(r->device()->HardwareRevision, GetParam().recorded);
}

INSTANTIATE_TEST_SUITE_P(Words, RevisionTest,
                         ::testing::Values(RevisionCase{0x0003, 0x2003}, RevisionCase{0x0103, 0x0103},
                                           RevisionCase{0x1003, 0x1003}, RevisionCase{0x0200, 0x77}));

TEST(VendorCommands, FailedRevisionReadKeepsTheRecordedWord) {
  auto r = usbtest::configuredRig(usbtest::unitWithFaults("cmd:00=stall"));
  r->device()->HardwareRevision = 0x1003;
  EXPECT_LT(VendorReadRevision(r->device()), 0);
  EXPECT_EQ(r->device()->HardwareRevision, 0x1003u);
}

TEST(VendorCommands, FailedControlRequestReturnsTheBusStatus) {
  auto r = usbtest::configuredRig(usbtest::unitWithFaults("cmd:23=stall"));
  EXPECT_EQ(VendorResetCodec(r->device()), pf::usb::ntStatusFromUsbd(USBD_STATUS_STALL_PID));
}

TEST(VendorCommands, SynchronisationReadsTwoAcknowledgementBytes) {
  auto r = usbtest::configuredRig();
  ASSERT_EQ(VendorBeginMicrocodeLoad(r->device()), STATUS_SUCCESS);
  const UCHAR parameters[4] = {0, 0, 0, 3};
  EXPECT_EQ(VendorMicrocodeCommand(r->device(), 0x13, parameters, 4), STATUS_SUCCESS);
  const auto s = rig::vendorRequests(r->unit()).back().setup;
  EXPECT_EQ(s.wIndex, 0x0013);
  EXPECT_EQ(s.wValue, 0x0400);
  EXPECT_EQ(s.wLength, 0);
  EXPECT_EQ(usbtest::bulkRequests(r->bus(), usbtest::kIn), std::vector<std::uint32_t>{2});
  EXPECT_EQ(r->unit().bulkLog(usbtest::kIn).total, 2u);
  EXPECT_EQ(r->device()->CurrentPipe, r->device()->BulkInPipe);
}

TEST(VendorCommands, FailedSynchronisationReadsNothing) {
  auto r = usbtest::configuredRig(usbtest::unitWithFaults("cmd:13=stall"));
  ASSERT_EQ(VendorBeginMicrocodeLoad(r->device()), STATUS_SUCCESS);
  const UCHAR parameters[4] = {};
  EXPECT_LT(VendorMicrocodeCommand(r->device(), 0x13, parameters, 4), 0);
  EXPECT_TRUE(usbtest::bulkRequests(r->bus(), usbtest::kIn).empty());
}

TEST(VendorCommands, NoPoolSendsNothing) {
  auto r = usbtest::configuredRig();
  const std::size_t before = rig::vendorRequests(r->unit()).size();
  pf::pool::Filter ours;
  ours.tag = MPEGUNIT_POOL_TAG;
  pf::pool::failNth(1, ours);
  EXPECT_EQ(VendorSetModeIdle(r->device()), STATUS_INSUFFICIENT_RESOURCES);
  pf::pool::reset();
  EXPECT_EQ(rig::vendorRequests(r->unit()).size(), before);
}

}  // namespace
