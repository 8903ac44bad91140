// Requests on the default pipe: configuration, descriptors, vendor requests,
// port status and the checks the bus makes on every URB.
#include "usb_test_support.hpp"

namespace {

using namespace usbtest;

class BusControl : public ::testing::Test {
 protected:
  void SetUp() override {
    device = std::make_shared<FakeDevice>();
    port = bus.plug(device);
    pdo = bus.deviceObject(port);
    ASSERT_NE(pdo, nullptr);
  }

  // The Submit events of control transfers, in order.
  std::vector<TrafficEvent> setups() const {
    std::vector<TrafficEvent> out;
    for (const auto& e : bus.traffic()) {
      if (e.type == TrafficEvent::Type::Control && e.kind == TrafficEvent::Kind::Submit) out.push_back(e);
    }
    return out;
  }

  pf::usb::Bus bus;
  std::shared_ptr<FakeDevice> device;
  int port = 0;
  PDEVICE_OBJECT pdo = nullptr;
};

TEST_F(BusControl, DeviceObjectBelongsToTheBusDriver) {
  EXPECT_EQ(pdo->DriverObject, bus.driverObject());
  EXPECT_EQ(pdo->StackSize, 1);
  EXPECT_NE(bus.driverObject()->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL], nullptr);
}

TEST_F(BusControl, SelectConfigurationFillsInterfaceAndPipes) {
  device->configuration = usbtest::makeConfiguration(
      {{0, 0, 0xFF, 0x12, 0x34,
        {{0x82, USB_ENDPOINT_TYPE_BULK, 512}, {0x02, USB_ENDPOINT_TYPE_BULK, 64},
         {0x83, USB_ENDPOINT_TYPE_INTERRUPT, 16, 8}}}},
      3);
  usbtest::Selected s = usbtest::selectConfiguration(pdo, device->configuration);
  ASSERT_NE(s.urb, nullptr);
  ASSERT_EQ(s.status, STATUS_SUCCESS);
  EXPECT_EQ(s.urb->UrbHeader.Status, USBD_STATUS_SUCCESS);
  EXPECT_NE(s.urb->UrbSelectConfiguration.ConfigurationHandle, nullptr);

  PUSBD_INTERFACE_INFORMATION info = s.iface();
  EXPECT_NE(info->InterfaceHandle, nullptr);
  EXPECT_EQ(info->Class, 0xFF);
  EXPECT_EQ(info->SubClass, 0x12);
  EXPECT_EQ(info->Protocol, 0x34);
  ASSERT_EQ(info->NumberOfPipes, 3u);
  struct Want {
    USHORT maxPacket;
    UCHAR address, interval;
    USBD_PIPE_TYPE type;
  };
  const Want want[] = {{512, 0x82, 0, UsbdPipeTypeBulk},
                       {64, 0x02, 0, UsbdPipeTypeBulk},
                       {16, 0x83, 8, UsbdPipeTypeInterrupt}};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(info->Pipes[i].MaximumPacketSize, want[i].maxPacket);
    EXPECT_EQ(info->Pipes[i].EndpointAddress, want[i].address);
    EXPECT_EQ(info->Pipes[i].Interval, want[i].interval);
    EXPECT_EQ(info->Pipes[i].PipeType, want[i].type);
    EXPECT_EQ(info->Pipes[i].MaximumTransferSize, 0x100000u);  // the driver's choice stays
    EXPECT_NE(info->Pipes[i].PipeHandle, nullptr);
  }
  EXPECT_NE(info->Pipes[0].PipeHandle, info->Pipes[1].PipeHandle);

  // On the wire: SET_CONFIGURATION with the configuration's value.
  auto sent = setups();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].setup.bmRequestType, 0x00);
  EXPECT_EQ(sent[0].setup.bRequest, USB_REQUEST_SET_CONFIGURATION);
  EXPECT_EQ(sent[0].setup.wValue, 3);
  ExFreePool(s.urb);
}

TEST_F(BusControl, SelectConfigurationChecksTheRequestLengths) {
  struct Case {
    const char* name;
    std::function<void(PURB)> damage;
    USBD_STATUS usbd;
    NTSTATUS status;
  };
  const std::vector<Case> cases = {
      {"interface record too short for its pipes",
       [](PURB u) { u->UrbSelectConfiguration.Interface.Length -= sizeof(USBD_PIPE_INFORMATION); },
       USBD_STATUS_BUFFER_TOO_SMALL, STATUS_BUFFER_TOO_SMALL},
      {"interface record past the header length",
       [](PURB u) { u->UrbHeader.Length -= 8; }, USBD_STATUS_BUFFER_TOO_SMALL,
       STATUS_BUFFER_TOO_SMALL},
      {"header length below the interface record",
       [](PURB u) { u->UrbHeader.Length = offsetof(_URB_SELECT_CONFIGURATION, Interface) + 4; },
       USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
      {"unknown interface number",
       [](PURB u) { u->UrbSelectConfiguration.Interface.InterfaceNumber = 7; },
       USBD_STATUS_INTERFACE_NOT_FOUND, STATUS_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    bus.clearTraffic();
    USHORT size = 0;
    auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(device->configuration.data());
    PURB urb = USBD_CreateConfigurationRequest(cd, &size);
    ASSERT_NE(urb, nullptr);
    c.damage(urb);
    UrbSender sender(pdo);
    EXPECT_EQ(sender.send(urb), c.status);
    EXPECT_TRUE(sender.completed());
    EXPECT_EQ(urb->UrbHeader.Status, c.usbd);
    EXPECT_EQ(urb->UrbSelectConfiguration.Interface.Pipes[0].PipeHandle, nullptr);
    EXPECT_TRUE(setups().empty()) << "nothing reaches the device";
    ExFreePool(urb);
  }
}

TEST_F(BusControl, ConfigurationDescriptorRequestReportsBytesReturned) {
  struct Case {
    ULONG room;
    ULONG expected;
  };
  const std::size_t total = device->configuration.size();
  for (const Case c : {Case{9, 9}, Case{521, static_cast<ULONG>(total)}, Case{0, 0}}) {
    SCOPED_TRACE(c.room);
    Bytes buffer(std::max<ULONG>(c.room, 1), 0xEE);
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0,
                                 c.room ? buffer.data() : nullptr, nullptr, c.room, nullptr);
    bus.clearTraffic();
    UrbSender sender(pdo);
    ASSERT_EQ(sender.send(&urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, c.expected);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + c.expected, device->configuration.begin()));
    auto sent = setups();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].setup.bmRequestType, 0x80);
    EXPECT_EQ(sent[0].setup.bRequest, USB_REQUEST_GET_DESCRIPTOR);
    EXPECT_EQ(sent[0].setup.wValue, 0x0200);
    EXPECT_EQ(sent[0].setup.wLength, c.room);
  }
}

TEST_F(BusControl, VendorRequestsCarrySetupAndDataBothWays) {
  std::vector<std::pair<SetupPacket, Bytes>> seen;
  device->onControl = [&](const SetupPacket& s, std::uint8_t* data) -> TransferResult {
    seen.push_back({s, Bytes(data, data + s.wLength)});
    if (s.deviceToHost()) {
      for (std::uint16_t i = 0; i < s.wLength; ++i) data[i] = static_cast<std::uint8_t>(0xA0 + i);
      return {pf::usb::kUsbdSuccess, std::min<std::size_t>(s.wLength, 2)};  // answers 2 bytes at most
    }
    return {pf::usb::kUsbdSuccess, s.wLength};
  };

  struct Case {
    const char* name;
    USHORT function;
    ULONG flags;
    UCHAR reserved;
    Bytes out;       // OUT data stage
    ULONG inRoom;    // IN data stage room
    std::uint8_t requestType;
    Bytes received;  // bytes landing in the caller's IN buffer
  };
  const std::vector<Case> cases = {
      {"interface OUT with data", URB_FUNCTION_VENDOR_INTERFACE, USBD_TRANSFER_DIRECTION_OUT, 0x41,
       {0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x01, 0x00}, 0, 0x41, {}},
      {"interface IN reading a word", URB_FUNCTION_VENDOR_INTERFACE, USBD_TRANSFER_DIRECTION_IN, 0xC1,
       {}, 2, 0xC1, {0xA0, 0xA1}},
      {"IN flag with OUT type bits", URB_FUNCTION_VENDOR_INTERFACE, USBD_TRANSFER_DIRECTION_IN, 0x41,
       {}, 0, 0xC1, {}},
      {"short IN answer", URB_FUNCTION_VENDOR_INTERFACE, USBD_TRANSFER_DIRECTION_IN, 0x41, {}, 4, 0xC1,
       {0xA0, 0xA1}},
      {"device recipient", URB_FUNCTION_VENDOR_DEVICE, USBD_TRANSFER_DIRECTION_OUT, 0, {}, 0, 0x40, {}},
      {"class interface", URB_FUNCTION_CLASS_INTERFACE, USBD_TRANSFER_DIRECTION_IN, 0, {}, 1, 0xA1,
       {0xA0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    seen.clear();
    Bytes out = c.out;
    Bytes in(8, 0x55);
    const bool isIn = c.flags & USBD_TRANSFER_DIRECTION_IN;
    const ULONG length = isIn ? c.inRoom : static_cast<ULONG>(out.size());
    void* buffer = length == 0 ? nullptr : (isIn ? static_cast<void*>(in.data()) : out.data());
    URB urb{};
    UsbBuildVendorRequest(&urb, c.function, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          c.flags, c.reserved, 0, 0x0400, 0x0013, buffer, nullptr, length, nullptr);
    UrbSender sender(pdo);
    ASSERT_EQ(sender.send(&urb), STATUS_SUCCESS);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].first.bmRequestType, c.requestType);
    EXPECT_EQ(seen[0].first.bRequest, 0);
    EXPECT_EQ(seen[0].first.wValue, 0x0400);
    EXPECT_EQ(seen[0].first.wIndex, 0x0013);
    EXPECT_EQ(seen[0].first.wLength, length);
    if (!isIn) EXPECT_EQ(seen[0].second, c.out);
    EXPECT_EQ(urb.UrbControlVendorClassRequest.TransferBufferLength,
              isIn ? c.received.size() : c.out.size());
    EXPECT_EQ(Bytes(in.begin(), in.begin() + c.received.size()), c.received);
    EXPECT_EQ(in[c.received.size()], 0x55) << "nothing written past the bytes received";
  }
  // The record holds the data stage of the OUT request and the answer of the IN one.
  auto events = bus.traffic();
  ASSERT_GE(events.size(), 4u);
  EXPECT_EQ(events[0].data, cases[0].out);
  EXPECT_EQ(events[3].kind, TrafficEvent::Kind::Complete);
  EXPECT_EQ(events[3].data, (Bytes{0xA0, 0xA1}));
}

TEST_F(BusControl, FailuresCarryUsbdAndNtStatus) {
  device->onControl = [](const SetupPacket&, std::uint8_t*) -> TransferResult {
    return {pf::usb::kUsbdStallPid, 0};
  };
  URB urb{};
  UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_INTERFACE,
                        sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0, 0x41, 0, 0, 0x23,
                        nullptr, nullptr, 0, nullptr);
  {
    UrbSender sender(pdo);
    EXPECT_EQ(sender.send(&urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_TRUE(sender.completed() && sender.completedOnSubmitter());
  }
  struct Case {
    const char* name;
    std::function<void(URB&)> damage;
    USBD_STATUS usbd;
  };
  const std::vector<Case> cases = {
      {"header too short", [](URB& u) { u.UrbHeader.Length = sizeof(struct _URB_HEADER); },
       USBD_STATUS_INVALID_PARAMETER},
      {"length without buffer", [](URB& u) { u.UrbControlVendorClassRequest.TransferBufferLength = 4; },
       USBD_STATUS_INVALID_PARAMETER},
      {"unknown function", [](URB& u) { u.UrbHeader.Function = 0x7777; },
       USBD_STATUS_INVALID_URB_FUNCTION},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    URB bad = urb;
    c.damage(bad);
    UrbSender sender(pdo);
    EXPECT_EQ(sender.send(&bad), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(bad.UrbHeader.Status, c.usbd);
  }
  UrbSender noUrb(pdo);
  EXPECT_EQ(noUrb.send(nullptr), STATUS_INVALID_PARAMETER);
  UrbSender unknownCode(pdo);
  EXPECT_EQ(unknownCode.send(&urb, 0x220FFF), STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(BusControl, PortStatusFollowsThePlug) {
  ULONG status = 0xFFFF;
  {
    UrbSender sender(pdo);
    ASSERT_EQ(sender.send(reinterpret_cast<PURB>(&status), IOCTL_INTERNAL_USB_GET_PORT_STATUS),
              STATUS_SUCCESS);
    EXPECT_EQ(status, ULONG{USBD_PORT_ENABLED | USBD_PORT_CONNECTED});
  }
  bus.unplug(port);
  {
    UrbSender sender(pdo);
    ASSERT_EQ(sender.send(reinterpret_cast<PURB>(&status), IOCTL_INTERNAL_USB_GET_PORT_STATUS),
              STATUS_SUCCESS);
    EXPECT_EQ(status, 0u);
  }
  URB urb{};
  UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                               USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &status, nullptr, 4, nullptr);
  UrbSender sender(pdo);
  EXPECT_EQ(sender.send(&urb), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
}

TEST_F(BusControl, BuiltRequestsCompleteThroughTheIoManager) {
  // The driver's configuration path: a packet from IoBuildDeviceIoControlRequest.
  Bytes buffer(18);
  URB urb{};
  UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                               USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer.data(), nullptr, 18, nullptr);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0, nullptr,
                                           0, TRUE, &event, &iosb);
  ASSERT_NE(irp, nullptr);
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
  NTSTATUS status = IofCallDriver(pdo, irp);
  if (status == STATUS_PENDING) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -50'000'000;
    ASSERT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
    status = iosb.Status;
  }
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 18u);
  EXPECT_EQ(buffer, device->device);
}

}  // namespace
