// Staged bulk transfers: chunking, forgiven errors, the ten-empty rule, the
// port-status question after device-not-responding, pipe resets and flags.
// Writes run on the OUT pipe, which takes any bytes when no decoder runs;
// reads and writes differ only in pipe and direction.
#include "usb_fixture.hpp"

#include "support/wrapping_backend.hpp"
#include "tools/host/bare_device.hpp"

namespace {

constexpr ULONG kLength = 100000;

struct StagedCase {
  const char* name;
  const char* faults;                    // fault script on bulk OUT
  std::vector<std::uint32_t> requests;   // lengths asked for, in order
  NTSTATUS status;                       // STATUS_SUCCESS or the USBD status's NTSTATUS
  USBD_STATUS usbd;                      // for an error: the USBD status it comes from
  ULONG transferred;
  ULONG flags;
  unsigned resets;
};

class StagedTest : public ::testing::TestWithParam<StagedCase> {};

TEST_P(StagedTest, MovesTheBufferAsTheUnitAllows) {
  const StagedCase& c = GetParam();
  auto r = usbtest::configuredRig(usbtest::unitWithFaults(c.faults));
  DeviceContext* d = r->device();
  std::vector<std::uint8_t> buffer(kLength);
  for (std::size_t i = 0; i < buffer.size(); ++i) buffer[i] = std::uint8_t(i * 7);
  r->bus().clearTraffic();

  ULONG transferred = 12345;
  NTSTATUS status = UsbStagedTransfer(d, d->BulkOutPipe, kLength, &transferred,
                                      USBD_SHORT_TRANSFER_OK, buffer.data());

  NTSTATUS expected = c.usbd ? pf::usb::ntStatusFromUsbd(c.usbd) : c.status;
  EXPECT_EQ(status, expected);
  EXPECT_EQ(transferred, c.transferred);
  EXPECT_EQ(d->Flags, c.flags);
  EXPECT_EQ(usbtest::bulkRequests(r->bus(), usbtest::kOut), c.requests);
  EXPECT_EQ(usbtest::pipeResets(r->bus()), c.resets);
  // The bytes counted are the buffer's, in order, from its start.
  const auto log = r->unit().bulkLog(usbtest::kOut);
  if (c.flags == 0 && NT_SUCCESS(status)) {
    EXPECT_EQ(log.bytes, buffer);
  }
}

const std::vector<std::uint32_t> kFull = {65536, 34464};

INSTANTIATE_TEST_SUITE_P(
    Outcomes, StagedTest,
    ::testing::Values(
        StagedCase{"WholeChunks", "", kFull, STATUS_SUCCESS, 0, kLength, 0, 0},
        StagedCase{"ShortFirstChunk", "out#1=00000000/30000", {65536, 65536, 4464}, STATUS_SUCCESS, 0,
                   kLength, 0, 0},
        StagedCase{"CrcIsForgiven", "out#1=C0000001/1000", {65536, 65536, 33464}, STATUS_SUCCESS, 0,
                   kLength, 0, 1},
        StagedCase{"XactErrorIsForgiven", "out#2=C0000011/0", {65536, 34464, 34464}, STATUS_SUCCESS, 0,
                   kLength, 0, 1},
        StagedCase{"StallEnds", "out#1=stall", {65536}, 0, USBD_STATUS_STALL_PID, 0, TransferFailed, 1},
        StagedCase{"OtherErrorCountsItsBytes", "out#2=C0000004/100", {65536, 34464}, 0,
                   USBD_STATUS_STALL_PID, 65636, TransferFailed, 1},
        StagedCase{"NotRespondingButConnected", "out#2=noresponse", {65536, 34464}, 0,
                   USBD_STATUS_DEV_NOT_RESPONDING, 65536, TransferFailed, 1},
        StagedCase{"TenEmptyChunksFail", "out#1=zerox10", std::vector<std::uint32_t>(10, 65536),
                   STATUS_SUCCESS, 0, 0, TransferFailed, 0},
        StagedCase{"NineEmptyChunksAreForgotten", "out#1=zerox9",
                   [] {
                     std::vector<std::uint32_t> v(9, 65536);
                     v.insert(v.end(), kFull.begin(), kFull.end());
                     return v;
                   }(),
                   STATUS_SUCCESS, 0, kLength, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Staged, NotRespondingAndOffTheBusMarksTheDeviceGone) {
  pf::usb::Bus bus;
  // Its second bulk transfer, on any pipe.
  const int port =
      bus.plug(std::make_shared<rig::VanishingUnit>(std::make_shared<emu::Unit>(rig::testUnit()), 2));
  DeviceContext d{};
  d.RealPhysicalDeviceObject = bus.deviceObject(port);
  const NTSTATUS configured = mpegunit::configureBareDevice(&d);
  if (!NT_SUCCESS(configured)) mpegunit::releaseBareDevice(&d);
  ASSERT_EQ(configured, STATUS_SUCCESS);

  std::vector<std::uint8_t> buffer(kLength);
  ULONG transferred = 0;
  EXPECT_EQ(UsbStagedTransfer(&d, d.BulkOutPipe, kLength, &transferred, USBD_SHORT_TRANSFER_OK,
                              buffer.data()),
            pf::usb::ntStatusFromUsbd(USBD_STATUS_DEV_NOT_RESPONDING));
  EXPECT_EQ(transferred, 65536u);  // the failed chunk is not counted
  EXPECT_EQ(d.Flags, TransferFailed | DeviceGone);
  mpegunit::releaseBareDevice(&d);
}

TEST(Staged, EmptyRunCountRestartsAfterData) {
  // 9 empty, one with data, 9 empty again: never ten in a row.
  auto r = usbtest::configuredRig(usbtest::unitWithFaults("out#1=zerox9;out#11=zerox9"));
  DeviceContext* d = r->device();
  std::vector<std::uint8_t> buffer(3 * 65536);
  ULONG transferred = 0;
  EXPECT_EQ(UsbStagedTransfer(d, d->BulkOutPipe, ULONG(buffer.size()), &transferred,
                              USBD_SHORT_TRANSFER_OK, buffer.data()),
            STATUS_SUCCESS);
  EXPECT_EQ(transferred, buffer.size());
  EXPECT_EQ(d->Flags, 0u);
}

TEST(Staged, ReadOfTenEmptyChunksFailsOnTheInPipe) {
  auto r = usbtest::configuredRig(usbtest::unitWithFaults("in#1=zerox10"));
  DeviceContext* d = r->device();
  std::vector<std::uint8_t> buffer(4096);
  ULONG transferred = 99;
  EXPECT_EQ(UsbStagedTransfer(d, d->BulkInPipe, ULONG(buffer.size()), &transferred,
                              USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffer.data()),
            STATUS_SUCCESS);
  EXPECT_EQ(transferred, 0u);
  EXPECT_EQ(d->Flags, TransferFailed);
  EXPECT_EQ(usbtest::bulkRequests(r->bus(), usbtest::kIn), std::vector<std::uint32_t>(10, 4096));
}

TEST(Staged, NothingToMoveSendsNothing) {
  auto r = usbtest::configuredRig();
  DeviceContext* d = r->device();
  std::uint8_t byte = 0;
  ULONG transferred = 7;
  EXPECT_EQ(UsbStagedTransfer(d, d->BulkOutPipe, 0, &transferred, USBD_SHORT_TRANSFER_OK, &byte),
            STATUS_SUCCESS);
  EXPECT_EQ(transferred, 0u);
  transferred = 7;
  EXPECT_EQ(UsbStagedTransfer(d, d->BulkOutPipe, 10, &transferred, USBD_SHORT_TRANSFER_OK, nullptr),
            STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(transferred, 0u);
  EXPECT_TRUE(usbtest::bulkRequests(r->bus(), usbtest::kOut).empty());
}

TEST(SinglePipe, FailedBulkWriteResetsItsPipe) {
  auto r = usbtest::configuredRig(usbtest::unitWithFaults("out#1=stall"));
  DeviceContext* d = r->device();
  std::uint8_t bytes[300] = {};
  EXPECT_EQ(UsbBulkWrite(d, sizeof(bytes), bytes), pf::usb::ntStatusFromUsbd(USBD_STATUS_STALL_PID));
  EXPECT_EQ(d->CurrentPipe, d->BulkOutPipe);
  EXPECT_EQ(usbtest::pipeResets(r->bus()), 1u);
  EXPECT_EQ(d->Flags, 0u);  // single-shot transfers set no flag
  // After the reset the pipe works again, and the whole block goes in one URB.
  EXPECT_EQ(UsbBulkWrite(d, sizeof(bytes), bytes), STATUS_SUCCESS);
  EXPECT_EQ(usbtest::bulkRequests(r->bus(), usbtest::kOut), (std::vector<std::uint32_t>{300, 300}));
}

TEST(SinglePipe, PortStatusOfAPresentAndAGoneUnit) {
  auto r = usbtest::configuredRig();
  ULONG port = 0;
  EXPECT_EQ(UsbGetPortStatus(r->device(), &port), STATUS_SUCCESS);
  EXPECT_TRUE(port & USBD_PORT_CONNECTED);
  r->unit().unplug();
  port = 0xFF;
  (void)UsbGetPortStatus(r->device(), &port);
  EXPECT_FALSE(port & USBD_PORT_CONNECTED);
}

}  // namespace
