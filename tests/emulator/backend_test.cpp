// Descriptors, standard requests and vendor commands of every shape.
#include "emulator_fixture.hpp"

namespace emu::test {
namespace {

TransferResult getDescriptor(Unit& u, std::uint8_t type, std::uint16_t length, std::vector<std::uint8_t>& out) {
  out.assign(length, 0);
  return u.control(SetupPacket{0x80, 6, std::uint16_t(type << 8), 0, length}, out.data());
}

TEST_F(UnitTest, DescriptorsDescribeOneInterfaceWithTwoBulkEndpoints) {
  struct Case { pf::usb::Speed speed; std::uint16_t packet; std::size_t extra; };
  for (const Case c : {Case{pf::usb::Speed::High, 512, 0}, Case{pf::usb::Speed::Full, 64, 0},
                       Case{pf::usb::Speed::High, 512, 600}}) {
    UnitOptions o;
    o.speed = c.speed;
    o.extraDescriptorBytes = c.extra;
    make(o);
    std::vector<std::uint8_t> d;
    ASSERT_EQ(getDescriptor(*unit, 1, 18, d).actual, 18u);
    EXPECT_EQ(d[1], 1);
    EXPECT_EQ(d[17], 1) << "one configuration";

    // The header alone first, then the whole length, as a two-pass reader does.
    ASSERT_EQ(getDescriptor(*unit, 2, 9, d).actual, 9u);
    const std::size_t total = d[2] | d[3] << 8;
    EXPECT_EQ(total, 32 + c.extra);
    ASSERT_EQ(getDescriptor(*unit, 2, 521, d).actual, std::min<std::size_t>(total, 521));
    ASSERT_EQ(getDescriptor(*unit, 2, std::uint16_t(total), d).actual, total);
    EXPECT_EQ(d[4], 1) << "one interface";
    EXPECT_EQ(d[9 + 4], 2) << "two endpoints";
    EXPECT_EQ(d[18 + 2], 0x81);
    EXPECT_EQ(d[18 + 3], 2) << "bulk";
    EXPECT_EQ(d[18 + 4] | d[18 + 5] << 8, c.packet);
    EXPECT_EQ(d[25 + 2], 0x02);
    EXPECT_EQ(d[25 + 4] | d[25 + 5] << 8, c.packet);
    // The padding walks as whole descriptors up to the total length.
    std::size_t pos = 32;
    while (pos < total) {
      ASSERT_GE(d[pos], 3);
      pos += d[pos];
    }
    EXPECT_EQ(pos, total);
  }
}

TEST_F(UnitTest, StandardRequestsAnsweredAndUnknownOnesStall) {
  make();
  EXPECT_EQ(unit->control(SetupPacket{0x00, 9, 1, 0, 0}, nullptr).status, 0u);  // SET_CONFIGURATION 1
  std::vector<std::uint8_t> b(2);
  EXPECT_EQ(unit->control(SetupPacket{0x80, 0, 0, 0, 2}, b.data()).actual, 2u);  // GET_STATUS
  EXPECT_EQ(unit->control(SetupPacket{0x80, 6, 0x0700, 0, 2}, b.data()).status, pf::usb::kUsbdStallPid);
  EXPECT_EQ(unit->control(SetupPacket{0x21, 1, 0, 0, 0}, nullptr).status, pf::usb::kUsbdStallPid);  // class
}

TEST_F(UnitTest, RevisionWordIsLittleEndianAndSelectable) {
  for (std::uint16_t rev : {0x1003, 0x0103, 0x0003, 0x0200}) {
    UnitOptions o;
    o.revision = rev;
    make(o);
    std::vector<std::uint8_t> b(2);
    ASSERT_EQ(vendorIn(proto::kReadRevision, 0, b).actual, 2u);
    EXPECT_EQ(b[0] | b[1] << 8, rev);
  }
}

TEST_F(UnitTest, VendorCommandsOfEachShape) {
  make();
  // No data stage, sent with the IN flag: modes.
  EXPECT_EQ(vendorInNoData(proto::kModeEncode).status, 0u);
  EXPECT_EQ(unit->mode(), UnitMode::Encode);
  EXPECT_EQ(vendorInNoData(proto::kModeDecode).status, 0u);
  EXPECT_EQ(unit->mode(), UnitMode::Decode);
  EXPECT_EQ(vendorInNoData(proto::kModeIdle).status, 0u);
  EXPECT_EQ(unit->mode(), UnitMode::Idle);
  // Data byte in wIndex bits 8-15, read back with a 1-byte IN stage.
  std::vector<std::uint8_t> b(1);
  ASSERT_EQ(vendorIn(proto::kReadByte, 0x0005, b).actual, 1u);
  EXPECT_EQ(b[0], std::uint8_t('N')) << "known contents: the identification string";
  EXPECT_EQ(vendorOut(proto::kWriteByte, 0x0005, {}, 0xAB).status, 0u);
  ASSERT_EQ(vendorIn(proto::kReadByte, 0x0005, b).actual, 1u);
  EXPECT_EQ(b[0], 0xAB);
  EXPECT_EQ(unit->memory()[0xFF], 0xFF ^ 0xA5);
  EXPECT_EQ(vendorIn(proto::kReadByte, 0x0100, b).status, pf::usb::kUsbdStallPid);

  // Wrong shapes and unknown codes stall and are logged.
  const std::size_t logged = unit->log().size();
  EXPECT_EQ(vendorOut(proto::kUcodeBlock, 0, {1, 2, 3}).status, pf::usb::kUsbdStallPid) << "8 bytes expected";
  std::vector<std::uint8_t> two(2);
  EXPECT_EQ(vendorIn(proto::kBusWrite, 0x21, two).status, pf::usb::kUsbdStallPid) << "wrong direction";
  EXPECT_EQ(vendorOut(0x24).status, pf::usb::kUsbdStallPid) << "not a command";
  EXPECT_EQ(vendorOut(proto::kModeIdle, 0, {}, 0x01).status, pf::usb::kUsbdStallPid) << "stray wIndex high byte";
  EXPECT_EQ(unit->control(SetupPacket{0x41, 1, 0, proto::kModeIdle, 0}, nullptr).status, pf::usb::kUsbdStallPid);
  EXPECT_EQ(unit->log().size(), logged + 5);
}

TEST_F(UnitTest, BusRegistersReadAfterWriteWithAutoIncrement) {
  make();
  EXPECT_EQ(vendorOut(proto::kBusWrite, 0x21, {0x0A, 0x80, 0x44, 0x40}).status, 0u);
  EXPECT_EQ(vendorOut(proto::kBusWrite, 0x21, {0x0A}).status, 0u);
  std::vector<std::uint8_t> b(3);
  ASSERT_EQ(vendorIn(proto::kBusRead, 0x21, b).actual, 3u);
  EXPECT_EQ(b, (std::vector<std::uint8_t>{0x80, 0x44, 0x40}));
  std::vector<std::uint8_t> one(1);
  ASSERT_EQ(vendorIn(proto::kBusReadRegister, 0x0B21, one).actual, 1u);
  EXPECT_EQ(one[0], 0x44);
  EXPECT_EQ(vendorOut(proto::kBusWrite, 0x44, {0x63, 0x1F, 0x7C, 0xF0, 0x21}).status, 0u);
  EXPECT_EQ(unit->registers(0x44)[0x66], 0x21);
  EXPECT_EQ(vendorOut(proto::kBusWrite, 0x30, {0x00, 0x01}).status, pf::usb::kUsbdStallPid) << "no such device";
}

TEST_F(UnitTest, DecoderStatusFollowsSignalOfSelectedInput) {
  struct Case { bool composite, svideo, hz60; std::uint8_t input; std::uint8_t status; };
  const Case cases[] = {
      {true, false, true, 0xC0, 0x21},  {true, false, true, 0xC9, 0x20}, {false, true, false, 0xC9, 0x01},
      {true, true, false, 0xC0, 0x01},  {false, false, true, 0xC0, 0x00}, {true, true, true, 0xC3, 0x20},
  };
  make();
  for (const auto& c : cases) {
    unit->setSignal({c.composite, c.svideo, c.hz60});
    ASSERT_EQ(vendorOut(proto::kBusWrite, 0x21, {0x02, c.input}).status, 0u);
    std::vector<std::uint8_t> one(1);
    ASSERT_EQ(vendorIn(proto::kBusReadRegister, 0x1F21, one).actual, 1u);
    EXPECT_EQ(one[0], c.status) << "input " << int(c.input) << " composite " << c.composite << " svideo " << c.svideo;
  }
}

TEST_F(UnitTest, AudioCodecStartUpSequenceReachesItsGroups) {
  make();
  const std::pair<std::uint8_t, std::uint16_t> sequence[] = {
      {0x80, 0x16}, {0x81, 0x21}, {0x80, 0x14}, {0x81, 0x00}, {0x82, 0}, {0x81, 0x80}, {0x82, 0}, {0x81, 0xC3}};
  for (auto [code, value] : sequence) ASSERT_EQ(vendorInNoData(code, value).status, 0u);
  auto s = unit->audioCodec();
  EXPECT_EQ(s.status, 0x21);
  EXPECT_EQ(s.volume, 0x00);
  EXPECT_FALSE(s.muted());
  EXPECT_EQ(s.setup, 0x03);
  EXPECT_EQ(s.separators, 2u);
  vendorInNoData(0x81, 0x84);
  vendorInNoData(0x81, 0x31);
  s = unit->audioCodec();
  EXPECT_TRUE(s.muted());
  EXPECT_EQ(s.volume, 0x31);
  EXPECT_EQ(vendorInNoData(0x80, 0x15).status, pf::usb::kUsbdStallPid) << "no codec at that address";
}

TEST_F(UnitTest, ControlLogKeepsSetupAndDataStage) {
  make();
  vendorOut(proto::kBusWrite, 0x21, {0x09, 0x47});
  const auto log = unit->controlLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].setup.wIndex, 0x72);
  EXPECT_EQ(log[0].setup.wValue, 0x21);
  EXPECT_EQ(log[0].data, (std::vector<std::uint8_t>{0x09, 0x47}));
}

TEST_F(UnitTest, FailedCommandFromScriptIsNotCarriedOut) {
  UnitOptions o;
  std::string why;
  o.faults = *parseFaultScript("cmd:72#2=C0000005;cmd:03=stall", &why);
  make(o);
  EXPECT_EQ(vendorOut(proto::kBusWrite, 0x21, {0x0A, 0x10}).status, 0u);
  EXPECT_EQ(vendorOut(proto::kBusWrite, 0x21, {0x0A, 0x20}).status, pf::usb::kUsbdDevNotResponding);
  EXPECT_EQ(unit->registers(0x21)[0x0A], 0x10);
  EXPECT_EQ(vendorInNoData(proto::kModeIdle).status, pf::usb::kUsbdStallPid);
  EXPECT_FALSE(parseFaultScript("in#0=stall", &why));
  EXPECT_NE(why.find("in#0=stall"), std::string::npos);
}

}  // namespace
}  // namespace emu::test
