// Bulk transfers: asynchronous and synchronous completion, the short
// transfer rule, abort, reset, unplug.
#include "usb_test_support.hpp"

namespace {

using namespace usbtest;

class BusBulk : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    pf::usb::BusOptions options;
    options.synchronousBulk = GetParam();
    bus = std::make_unique<pf::usb::Bus>(options);
    device = std::make_shared<FakeDevice>();
    port = bus->plug(device);
    pdo = bus->deviceObject(port);
    selected = usbtest::selectConfiguration(pdo, device->configuration);
    ASSERT_EQ(selected.status, STATUS_SUCCESS);
    in = selected.iface()->Pipes[0].PipeHandle;
    out = selected.iface()->Pipes[1].PipeHandle;
  }
  void TearDown() override {
    if (selected.urb) ExFreePool(selected.urb);
  }
  bool sync() const { return GetParam(); }

  // Sends urb and waits for its completion; the returned status must agree
  // with the mode: the final status at once (sync) or STATUS_PENDING.
  NTSTATUS transfer(URB& urb) {
    UrbSender sender(pdo);
    const NTSTATUS returned = sender.send(&urb);
    EXPECT_TRUE(sender.wait()) << "transfer never completed";
    if (sync()) {
      EXPECT_EQ(returned, sender.status());
      EXPECT_TRUE(sender.completedOnSubmitter());
    } else {
      EXPECT_EQ(returned, STATUS_PENDING);
      EXPECT_FALSE(sender.completedOnSubmitter());
      EXPECT_EQ(sender.completionIrql(), DISPATCH_LEVEL);
      EXPECT_TRUE(sender.pendingReturned());
    }
    EXPECT_EQ(sender.calls(), 1);
    return sender.status();
  }

  std::unique_ptr<pf::usb::Bus> bus;
  std::shared_ptr<FakeDevice> device;
  int port = 0;
  PDEVICE_OBJECT pdo = nullptr;
  usbtest::Selected selected;
  USBD_PIPE_HANDLE in = nullptr, out = nullptr;
};

TEST_P(BusBulk, InAndOutMoveTheBytesAndRecordThem) {
  Bytes payload(3000);
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i * 7);
  device->answer({pf::usb::kUsbdSuccess, payload});
  Bytes buffer(3000, 0);
  URB urb;
  usbtest::buildBulk(urb, in, buffer.data(), 3000, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
  EXPECT_EQ(transfer(urb), STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 3000u);
  EXPECT_EQ(buffer, payload);

  Bytes sent = {1, 2, 3, 4, 5};
  device->answer({});
  usbtest::buildBulk(urb, out, sent.data(), 5, USBD_SHORT_TRANSFER_OK);
  EXPECT_EQ(transfer(urb), STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 5u);
  EXPECT_EQ(device->submitted(), (std::vector<std::uint8_t>{0x82, 0x02}));

  std::vector<TrafficEvent> bulk;
  for (const auto& e : bus->traffic()) {
    if (e.type == TrafficEvent::Type::Bulk) bulk.push_back(e);
  }
  ASSERT_EQ(bulk.size(), 4u);
  EXPECT_EQ(bulk[0].kind, TrafficEvent::Kind::Submit);
  EXPECT_EQ(bulk[0].endpoint, 0x82);
  EXPECT_EQ(bulk[0].length, 3000u);
  EXPECT_EQ(bulk[1].kind, TrafficEvent::Kind::Complete);
  EXPECT_EQ(bulk[1].id, bulk[0].id);
  EXPECT_EQ(bulk[1].data, payload);
  EXPECT_EQ(bulk[2].data, sent);
  EXPECT_EQ(bulk[3].status, pf::usb::kUsbdSuccess);
}

TEST_P(BusBulk, ShortTransferRule) {
  struct Case {
    const char* name;
    bool inPipe;
    ULONG flags;
    std::size_t deviceBytes;  // IN: bytes sent; OUT: bytes accepted
    UsbdStatus deviceStatus;
    USBD_STATUS usbd;
    NTSTATUS status;
    ULONG moved;
  };
  const ULONG kIn = USBD_TRANSFER_DIRECTION_IN;
  const std::vector<Case> cases = {
      {"full IN", true, kIn, 512, pf::usb::kUsbdSuccess, USBD_STATUS_SUCCESS, STATUS_SUCCESS, 512},
      {"short IN allowed", true, kIn | USBD_SHORT_TRANSFER_OK, 100, pf::usb::kUsbdSuccess,
       USBD_STATUS_SUCCESS, STATUS_SUCCESS, 100},
      {"short IN not allowed", true, kIn, 100, pf::usb::kUsbdSuccess, USBD_STATUS_DATA_UNDERRUN,
       STATUS_UNSUCCESSFUL, 100},
      {"empty IN allowed", true, kIn | USBD_SHORT_TRANSFER_OK, 0, pf::usb::kUsbdSuccess,
       USBD_STATUS_SUCCESS, STATUS_SUCCESS, 0},
      {"IN flag missing on an IN pipe", true, USBD_SHORT_TRANSFER_OK, 10, pf::usb::kUsbdSuccess,
       USBD_STATUS_SUCCESS, STATUS_SUCCESS, 10},
      {"device error keeps the bytes", true, kIn | USBD_SHORT_TRANSFER_OK, 40,
       pf::usb::kUsbdXactError, USBD_STATUS_XACT_ERROR, STATUS_UNSUCCESSFUL, 40},
      {"stall", true, kIn | USBD_SHORT_TRANSFER_OK, 0, pf::usb::kUsbdStallPid,
       USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL, 0},
      {"OUT", false, 0, 512, pf::usb::kUsbdSuccess, USBD_STATUS_SUCCESS, STATUS_SUCCESS, 512},
      {"OUT not responding", false, USBD_SHORT_TRANSFER_OK, 0, pf::usb::kUsbdDevNotResponding,
       USBD_STATUS_DEV_NOT_RESPONDING, STATUS_UNSUCCESSFUL, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDevice::BulkAnswer a;
    a.status = c.deviceStatus;
    if (c.inPipe) {
      a.data.assign(c.deviceBytes, 0x5A);
    } else {
      a.outAccepted = c.deviceBytes;
    }
    device->answer(a);
    Bytes buffer(512, 0);
    URB urb;
    usbtest::buildBulk(urb, c.inPipe ? in : out, buffer.data(), 512, c.flags);
    EXPECT_EQ(transfer(urb), c.status);
    EXPECT_EQ(urb.UrbHeader.Status, c.usbd);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, c.moved);
  }
}

TEST_P(BusBulk, RequestsTheBusRefuses) {
  struct Case {
    const char* name;
    USBD_PIPE_HANDLE pipe;
    ULONG length;
    bool buffer;
    USHORT headerLength;
    USBD_STATUS usbd;
  };
  const USHORT full = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
  const std::vector<Case> cases = {
      {"unknown pipe", reinterpret_cast<USBD_PIPE_HANDLE>(0x1234), 16, true, full,
       USBD_STATUS_INVALID_PIPE_HANDLE},
      {"null pipe", nullptr, 16, true, full, USBD_STATUS_INVALID_PIPE_HANDLE},
      {"above the pipe's maximum transfer size", in, 0x100001, true, full,
       USBD_STATUS_INVALID_PARAMETER},
      {"length without a buffer", in, 16, false, full, USBD_STATUS_INVALID_PARAMETER},
      {"header shorter than the request", in, 16, true, 72 - 40, USBD_STATUS_INVALID_PARAMETER},
  };
  Bytes buffer(16);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    URB urb;
    usbtest::buildBulk(urb, c.pipe, c.buffer ? buffer.data() : nullptr, c.length,
                       USBD_TRANSFER_DIRECTION_IN);
    urb.UrbHeader.Length = c.headerLength;
    UrbSender sender(pdo);
    EXPECT_EQ(sender.send(&urb), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(sender.completed()) << "refused at once, on the caller's thread";
    EXPECT_EQ(urb.UrbHeader.Status, c.usbd);
  }
  EXPECT_TRUE(device->submitted().empty());
}

TEST_P(BusBulk, PendingTransferCompletesWhenTheDeviceAnswers) {
  Bytes buffer(64, 0);
  URB urb;
  usbtest::buildBulk(urb, in, buffer.data(), 64, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
  UrbSender sender(pdo);
  EXPECT_EQ(sender.send(&urb), STATUS_PENDING);  // the device holds it in both modes
  ASSERT_TRUE(device->waitParked(1));
  EXPECT_FALSE(sender.completed());
  EXPECT_EQ(bus->pendingTransfers(), 1u);
  std::thread answer([&] { device->completeParked({pf::usb::kUsbdSuccess, Bytes(10, 0x42)}); });
  ASSERT_TRUE(sender.wait());
  answer.join();
  EXPECT_EQ(sender.status(), STATUS_SUCCESS);
  EXPECT_TRUE(sender.pendingReturned());
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 10u);
  EXPECT_EQ(buffer[9], 0x42);
  EXPECT_EQ(buffer[10], 0);
  EXPECT_TRUE(bus->waitIdle(std::chrono::seconds(5)));
}

TEST_P(BusBulk, UnplugFailsPendingAndLaterTransfers) {
  Bytes buffer(64, 0);
  URB urb;
  usbtest::buildBulk(urb, in, buffer.data(), 64, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
  UrbSender pending(pdo);
  EXPECT_EQ(pending.send(&urb), STATUS_PENDING);
  ASSERT_TRUE(device->waitParked(1));

  bus->unplug(port);
  ASSERT_TRUE(pending.wait());
  EXPECT_EQ(pending.status(), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
  EXPECT_EQ(pending.calls(), 1) << "the device's own late answer is not a second completion";
  EXPECT_FALSE(bus->connected(port));

  URB later;
  usbtest::buildBulk(later, out, buffer.data(), 8, 0);
  UrbSender sender(pdo);
  EXPECT_EQ(sender.send(&later), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(later.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
}

TEST_P(BusBulk, DeviceLeavingTheBusFailsPendingTransfers) {
  Bytes buffer(64, 0);
  URB urb;
  usbtest::buildBulk(urb, out, buffer.data(), 64, 0);
  UrbSender pending(pdo);
  EXPECT_EQ(pending.send(&urb), STATUS_PENDING);
  ASSERT_TRUE(device->waitParked(1));
  auto stranded = device->takeParked(0x02);  // a device that drops them without answering
  device->removeSelf();
  ASSERT_TRUE(pending.wait());
  EXPECT_EQ(pending.status(), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_FALSE(bus->connected(port));
  // An answer that arrives after all is ignored.
  stranded.front().done({pf::usb::kUsbdSuccess, 64});
  EXPECT_EQ(pending.calls(), 1);
}

TEST_P(BusBulk, AbortCancelsEveryTransferOnThePipeBeforeItCompletes) {
  Bytes a(64), b(64), c(64);
  URB u1, u2, u3;
  usbtest::buildBulk(u1, in, a.data(), 64, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
  usbtest::buildBulk(u2, in, b.data(), 64, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
  usbtest::buildBulk(u3, out, c.data(), 64, 0);
  UrbSender s1(pdo), s2(pdo), s3(pdo);
  s1.send(&u1);
  s2.send(&u2);
  s3.send(&u3);
  ASSERT_TRUE(device->waitParked(3));

  URB abort{};
  abort.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
  abort.UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
  abort.UrbPipeRequest.PipeHandle = in;
  UrbSender aborter(pdo);
  EXPECT_EQ(aborter.send(&abort), STATUS_SUCCESS);
  EXPECT_TRUE(s1.completed() && s2.completed()) << "aborted transfers finish before the abort";
  EXPECT_EQ(s1.status(), STATUS_CANCELLED);
  EXPECT_EQ(u2.UrbHeader.Status, USBD_STATUS_CANCELED);
  EXPECT_FALSE(s3.completed()) << "the other pipe is untouched";
  EXPECT_EQ(device->aborted(), (std::vector<std::uint8_t>{0x82}));
  device->completeParked({pf::usb::kUsbdSuccess, {}, 64});
  ASSERT_TRUE(s3.wait());
  EXPECT_EQ(s3.status(), STATUS_SUCCESS);
}

TEST_P(BusBulk, ResetPipeReachesTheDeviceAndIsRecorded) {
  URB reset{};
  reset.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
  reset.UrbHeader.Function = URB_FUNCTION_RESET_PIPE;
  reset.UrbPipeRequest.PipeHandle = out;
  UrbSender sender(pdo);
  EXPECT_EQ(sender.send(&reset), STATUS_SUCCESS);
  EXPECT_EQ(device->resets(), (std::vector<std::uint8_t>{0x02}));
  auto events = bus->traffic();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().kind, TrafficEvent::Kind::ResetPipe);
  EXPECT_EQ(events.back().endpoint, 0x02);

  reset.UrbPipeRequest.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(0x99);
  UrbSender bad(pdo);
  EXPECT_EQ(bad.send(&reset), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(reset.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

TEST_P(BusBulk, ReselectingClosesTheOldPipes) {
  Bytes buffer(64);
  URB pendingUrb;
  usbtest::buildBulk(pendingUrb, in, buffer.data(), 64, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
  UrbSender pending(pdo);
  pending.send(&pendingUrb);
  ASSERT_TRUE(device->waitParked(1));

  usbtest::Selected again = usbtest::selectConfiguration(pdo, device->configuration);
  ASSERT_EQ(again.status, STATUS_SUCCESS);
  ASSERT_TRUE(pending.wait());
  EXPECT_EQ(pending.status(), STATUS_CANCELLED);
  EXPECT_NE(again.iface()->Pipes[0].PipeHandle, in);

  URB stale;
  usbtest::buildBulk(stale, in, buffer.data(), 64, USBD_TRANSFER_DIRECTION_IN);
  UrbSender sender(pdo);
  EXPECT_EQ(sender.send(&stale), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(stale.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
  ExFreePool(again.urb);
}

INSTANTIATE_TEST_SUITE_P(Completion, BusBulk, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Synchronous" : "Asynchronous"; });

}  // namespace
