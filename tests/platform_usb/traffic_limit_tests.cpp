// The traffic record keeps the newest events within its limit, so that a long
// stream does not grow the bus's memory without end.
#include "usb_test_support.hpp"

namespace {

using pf::usb::TrafficEvent;
using usbtest::Bytes;

TEST(BusTraffic, RecordDropsTheOldestEventsPastItsLimit) {
  pf::usb::BusOptions options;
  options.synchronousBulk = true;
  options.trafficLimit = 64 * 1024;
  pf::usb::Bus bus(options);
  auto device = std::make_shared<usbtest::FakeDevice>();
  const PDEVICE_OBJECT pdo = bus.deviceObject(bus.plug(device));
  usbtest::Selected selected = usbtest::selectConfiguration(pdo, device->configuration);
  ASSERT_EQ(selected.status, STATUS_SUCCESS);
  const USBD_PIPE_HANDLE out = selected.iface()->Pipes[1].PipeHandle;

  Bytes chunk(4096);
  for (int i = 0; i < 100; ++i) {
    chunk[0] = static_cast<std::uint8_t>(i);
    device->answer({});
    URB urb;
    usbtest::buildBulk(urb, out, chunk.data(), static_cast<ULONG>(chunk.size()), USBD_SHORT_TRANSFER_OK);
    usbtest::UrbSender sender(pdo);
    sender.send(&urb);
    ASSERT_TRUE(sender.wait());
    ASSERT_EQ(sender.status(), STATUS_SUCCESS);
  }

  const auto traffic = bus.traffic();
  std::size_t held = 0;
  for (const auto& e : traffic) held += sizeof(TrafficEvent) + e.data.size();
  EXPECT_LE(held, options.trafficLimit);
  EXPECT_LT(traffic.size(), 200u);  // older transfers were dropped
  // The newest transfer is still there.
  const TrafficEvent* lastSubmit = nullptr;
  for (const auto& e : traffic) {
    if (e.kind == TrafficEvent::Kind::Submit && e.type == TrafficEvent::Type::Bulk) lastSubmit = &e;
  }
  ASSERT_NE(lastSubmit, nullptr);
  EXPECT_EQ(lastSubmit->data.front(), 99);
  ExFreePool(selected.urb);
}

}  // namespace
