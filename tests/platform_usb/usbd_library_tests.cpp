// The USBD library: descriptor parsing on well-formed and malformed
// configurations, and the select-configuration requests it builds.
#include "usb_test_support.hpp"

namespace {

using usbtest::Bytes;

PUSB_CONFIGURATION_DESCRIPTOR asConfig(Bytes& b) {
  return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(b.data());
}

void setTotal(Bytes& b, std::uint16_t total) {
  b[2] = static_cast<std::uint8_t>(total & 0xFF);
  b[3] = static_cast<std::uint8_t>(total >> 8);
}

struct MalformedCase {
  const char* name;
  std::function<void(Bytes&)> damage;
  bool interfaceFound;  // is the (first) interface descriptor still found
};

// Each configuration lies in a buffer of exactly its bytes, so that ASan
// reports any read past it; none of them may loop or read outside.
TEST(UsbdParse, MalformedConfigurationsNeverLoopOrOverread) {
  const std::vector<MalformedCase> cases = {
      {"well formed", [](Bytes&) {}, true},
      {"bLength 0 before the interface", [](Bytes& b) { b[0] = 0; }, false},
      {"bLength 0 on the interface", [](Bytes& b) { b[9] = 0; }, false},
      {"bLength 1 on an endpoint", [](Bytes& b) { b[18] = 1; }, true},
      {"endpoint running past wTotalLength", [](Bytes& b) { b[18] = 200; }, true},
      {"interface running past wTotalLength", [](Bytes& b) { b[9] = 250; }, false},
      {"interface cut by wTotalLength", [](Bytes& b) { setTotal(b, 14); }, false},
      {"wTotalLength shorter than the header", [](Bytes& b) { setTotal(b, 3); }, false},
      {"wTotalLength 0", [](Bytes& b) { setTotal(b, 0); }, false},
      {"interface shorter than its record", [](Bytes& b) { b[9] = 4; }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes config = usbtest::unitConfiguration();
    c.damage(config);
    // A copy sized to min(buffer, wTotalLength) so reads stop at the heap block's end.
    const std::size_t total = std::min<std::size_t>(config.size(), config[2] | (config[3] << 8));
    Bytes exact(config.begin(), config.begin() + std::max<std::size_t>(total, 4));
    PUSB_CONFIGURATION_DESCRIPTOR cd = asConfig(exact);

    PUSB_INTERFACE_DESCRIPTOR iface =
        USBD_ParseConfigurationDescriptorEx(cd, cd, -1, -1, -1, -1, -1);
    EXPECT_EQ(iface != nullptr, c.interfaceFound);
    // Every descriptor found lies whole inside the configuration.
    for (PVOID pos = cd; auto* d = USBD_ParseDescriptors(cd, cd->wTotalLength, pos, -1);) {
      const auto* p = reinterpret_cast<const std::uint8_t*>(d);
      ASSERT_GE(d->bLength, 2);
      ASSERT_LE(p + d->bLength, exact.data() + exact.size());
      pos = const_cast<std::uint8_t*>(p) + d->bLength;
    }
    USHORT size = 0xFFFF;
    PURB urb = USBD_CreateConfigurationRequest(cd, &size);
    if (urb != nullptr) {
      EXPECT_EQ(size, urb->UrbHeader.Length);
      ExFreePool(urb);
    } else {
      EXPECT_EQ(size, 0);
    }
  }
}

TEST(UsbdParse, WildcardsAndMatchesSelectTheRightInterface) {
  Bytes config = usbtest::makeConfiguration(
      {{0, 0, 0xFF, 1, 2, {{0x81, USB_ENDPOINT_TYPE_BULK, 64}}},
       {0, 1, 0xFF, 1, 3, {{0x81, USB_ENDPOINT_TYPE_BULK, 512}, {0x02, USB_ENDPOINT_TYPE_BULK, 512}}},
       {1, 0, 0x01, 2, 0, {}}});
  PUSB_CONFIGURATION_DESCRIPTOR cd = asConfig(config);
  auto at = [&](PUSB_INTERFACE_DESCRIPTOR d) {
    return d ? reinterpret_cast<std::uint8_t*>(d) - config.data() : -1;
  };
  EXPECT_EQ(at(USBD_ParseConfigurationDescriptorEx(cd, cd, -1, -1, -1, -1, -1)), 9);
  EXPECT_EQ(at(USBD_ParseConfigurationDescriptorEx(cd, cd, 0, 1, -1, -1, -1)), 25);
  EXPECT_EQ(at(USBD_ParseConfigurationDescriptorEx(cd, cd, -1, -1, 0x01, -1, -1)), 48);
  EXPECT_EQ(at(USBD_ParseConfigurationDescriptorEx(cd, cd, -1, -1, -1, -1, 3)), 25);
  EXPECT_EQ(at(USBD_ParseConfigurationDescriptorEx(cd, cd, 2, -1, -1, -1, -1)), -1);
  // A start position after the first interface finds the next one.
  EXPECT_EQ(at(USBD_ParseConfigurationDescriptorEx(cd, config.data() + 18, -1, -1, -1, -1, -1)), 25);
  EXPECT_EQ(USBD_GetInterfaceLength(USBD_ParseConfigurationDescriptor(cd, 0, 0),
                                    config.data() + config.size()),
            16u);
}

TEST(UsbdCreateConfigurationRequest, LaysOutOneRecordPerInterfaceWithItsPipes) {
  Bytes config = usbtest::makeConfiguration(
      {{0, 0, 0xFF, 0, 0, {{0x82, USB_ENDPOINT_TYPE_BULK, 512}, {0x02, USB_ENDPOINT_TYPE_BULK, 512}}},
       {0, 1, 0xFF, 0, 0, {{0x82, USB_ENDPOINT_TYPE_BULK, 64}}},  // alternate: not included
       {1, 0, 0xFF, 0, 0, {}},
       {2, 0, 0xFF, 0, 0, {{0x83, USB_ENDPOINT_TYPE_INTERRUPT, 8, 4}}}});
  USHORT size = 0;
  PURB urb = USBD_CreateConfigurationRequest(asConfig(config), &size);
  ASSERT_NE(urb, nullptr);
  const std::size_t expected = sizeof(struct _URB_SELECT_CONFIGURATION) -
                               sizeof(USBD_INTERFACE_INFORMATION) + GET_USBD_INTERFACE_SIZE(2) +
                               GET_USBD_INTERFACE_SIZE(0) + GET_USBD_INTERFACE_SIZE(1);
  EXPECT_EQ(size, expected);
  EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_EQ(urb->UrbHeader.Length, size);
  EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, asConfig(config));

  auto* record = reinterpret_cast<std::uint8_t*>(&urb->UrbSelectConfiguration.Interface);
  const std::vector<std::pair<int, ULONG>> shape = {{0, 2}, {1, 0}, {2, 1}};
  for (const auto& [number, pipes] : shape) {
    auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(record);
    EXPECT_EQ(info->InterfaceNumber, number);
    EXPECT_EQ(info->AlternateSetting, 0);
    EXPECT_EQ(info->NumberOfPipes, pipes);
    EXPECT_EQ(info->Length, GET_USBD_INTERFACE_SIZE(pipes));
    for (ULONG p = 0; p < pipes; ++p) {
      EXPECT_EQ(info->Pipes[p].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
    }
    record += info->Length;
  }
  EXPECT_EQ(record, reinterpret_cast<std::uint8_t*>(urb) + size);
  ExFreePool(urb);
}

TEST(UsbdCreateConfigurationRequest, ExRejectsAnInterfaceOutsideTheConfiguration) {
  Bytes config = usbtest::unitConfiguration();
  Bytes other = usbtest::unitConfiguration();
  USB_INTERFACE_DESCRIPTOR* foreign = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(other.data() + 9);
  USBD_INTERFACE_LIST_ENTRY list[] = {{foreign, nullptr}, {nullptr, nullptr}};
  EXPECT_EQ(USBD_CreateConfigurationRequestEx(asConfig(config), list), nullptr);

  list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(
      asConfig(config), asConfig(config), 0, 0, -1, -1, -1);
  PURB urb = USBD_CreateConfigurationRequestEx(asConfig(config), list);
  ASSERT_NE(urb, nullptr);
  EXPECT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
  ExFreePool(urb);
}

TEST(UsbdCreateConfigurationRequest, NoPoolGivesNoRequest) {
  Bytes config = usbtest::unitConfiguration();
  pf::pool::failNth(1);
  USHORT size = 7;
  EXPECT_EQ(USBD_CreateConfigurationRequest(asConfig(config), &size), nullptr);
  EXPECT_EQ(size, 0);
  pf::pool::reset();
}

}  // namespace
