#include "emulator/descriptors.hpp"

#include <algorithm>
#include <cstring>

#include "emulator/protocol.hpp"

namespace emu {
namespace {

using pf::usb::SetupPacket;
using pf::usb::TransferResult;

constexpr std::uint8_t kTypeDevice = 1;
constexpr std::uint8_t kTypeConfiguration = 2;
constexpr std::uint8_t kTypeString = 3;
constexpr std::uint8_t kTypeInterface = 4;
constexpr std::uint8_t kTypeEndpoint = 5;
constexpr std::uint8_t kTypeVendor = 0x41;  // vendor-specific descriptors carrying padding

constexpr std::uint8_t kGetStatus = 0;
constexpr std::uint8_t kClearFeature = 1;
constexpr std::uint8_t kSetAddress = 5;
constexpr std::uint8_t kGetDescriptor = 6;
constexpr std::uint8_t kGetConfiguration = 8;
constexpr std::uint8_t kSetConfiguration = 9;
constexpr std::uint8_t kGetInterface = 10;
constexpr std::uint8_t kSetInterface = 11;

// Identifiers of our own emulated unit (not assigned to anyone).
constexpr std::uint16_t kVendorId = 0xFFF0;
constexpr std::uint16_t kProductId = 0x0001;

void put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  out.push_back(std::uint8_t(v));
  out.push_back(std::uint8_t(v >> 8));
}

TransferResult stall() { return {pf::usb::kUsbdStallPid, 0}; }

TransferResult inData(const std::vector<std::uint8_t>& bytes, const SetupPacket& setup,
                      std::uint8_t* data) {
  const std::size_t n = std::min<std::size_t>(bytes.size(), setup.wLength);
  if (n != 0) std::memcpy(data, bytes.data(), n);
  return {pf::usb::kUsbdSuccess, n};
}

std::vector<std::uint8_t> stringDescriptor(const char* text) {
  std::vector<std::uint8_t> out{0, kTypeString};
  for (const char* p = text; *p; ++p) put16(out, std::uint8_t(*p));
  out[0] = std::uint8_t(out.size());
  return out;
}

}  // namespace

DescriptorSet buildDescriptors(pf::usb::Speed speed, std::size_t extraBytes) {
  const std::uint16_t maxPacket = speed == pf::usb::Speed::High ? 512 : 64;
  DescriptorSet set;
  auto& d = set.device;
  d = {18, kTypeDevice};
  put16(d, 0x0200);         // bcdUSB
  d.push_back(0xFF);        // vendor-specific class
  d.push_back(0x00);
  d.push_back(0x00);
  d.push_back(64);          // bMaxPacketSize0
  put16(d, kVendorId);
  put16(d, kProductId);
  put16(d, 0x0100);         // bcdDevice
  d.push_back(1);           // iManufacturer
  d.push_back(2);           // iProduct
  d.push_back(0);           // iSerialNumber
  d.push_back(1);           // bNumConfigurations

  if (extraBytes > 0 && extraBytes < 3) extraBytes = 3;
  auto& c = set.configuration;
  c = {9, kTypeConfiguration, 0, 0, 1 /*interfaces*/, 1 /*value*/, 0, 0x80 /*bus powered*/, 250};
  c.insert(c.end(), {9, kTypeInterface, 0, 0, 2 /*endpoints*/, 0xFF, 0x00, 0x00, 0});
  c.insert(c.end(), {7, kTypeEndpoint, proto::kEndpointIn, 0x02 /*bulk*/});
  put16(c, maxPacket);
  c.push_back(0);
  c.insert(c.end(), {7, kTypeEndpoint, proto::kEndpointOut, 0x02});
  put16(c, maxPacket);
  c.push_back(0);
  // Padding descriptors after the endpoints: parsers skip them by length.
  while (extraBytes > 0) {
    std::size_t n = std::min<std::size_t>(extraBytes, 255);
    if (extraBytes - n > 0 && extraBytes - n < 3) n -= 3;  // leave room for a whole one
    c.push_back(std::uint8_t(n));
    c.push_back(kTypeVendor);
    for (std::size_t i = 2; i < n; ++i) c.push_back(std::uint8_t(i));
    extraBytes -= n;
  }
  c[2] = std::uint8_t(c.size());
  c[3] = std::uint8_t(c.size() >> 8);
  return set;
}

TransferResult standardRequest(const DescriptorSet& descriptors, StandardState& state,
                               const SetupPacket& setup, std::uint8_t* data) {
  const std::uint8_t recipient = setup.bmRequestType & 0x1F;
  switch (setup.bRequest) {
    case kGetDescriptor: {
      if (!setup.deviceToHost() || recipient != 0) return stall();
      const std::uint8_t type = std::uint8_t(setup.wValue >> 8);
      const std::uint8_t index = std::uint8_t(setup.wValue);
      if (type == kTypeDevice && index == 0) return inData(descriptors.device, setup, data);
      if (type == kTypeConfiguration && index == 0)
        return inData(descriptors.configuration, setup, data);
      if (type == kTypeString) {
        if (index == 0) return inData({4, kTypeString, 0x09, 0x04}, setup, data);
        if (index == 1) return inData(stringDescriptor("mpegunit"), setup, data);
        if (index == 2) return inData(stringDescriptor("Emulated MPEG unit"), setup, data);
      }
      return stall();
    }
    case kSetConfiguration:
      if (setup.deviceToHost() || recipient != 0 || setup.wLength != 0 || setup.wValue > 1)
        return stall();
      state.configuration = std::uint8_t(setup.wValue);
      return {pf::usb::kUsbdSuccess, 0};
    case kGetConfiguration:
      if (!setup.deviceToHost() || setup.wLength == 0) return stall();
      return inData({state.configuration}, setup, data);
    case kGetStatus:
      if (!setup.deviceToHost() || setup.wLength == 0) return stall();
      return inData({0, 0}, setup, data);  // bus powered, no remote wake-up, no halt
    case kSetInterface:
      if (setup.deviceToHost() || setup.wValue != 0 || setup.wIndex != 0) return stall();
      return {pf::usb::kUsbdSuccess, 0};
    case kGetInterface:
      if (!setup.deviceToHost() || setup.wLength == 0) return stall();
      return inData({0}, setup, data);
    case kClearFeature:
    case kSetAddress:
      if (setup.deviceToHost()) return stall();
      return {pf::usb::kUsbdSuccess, 0};
    default:
      return stall();
  }
}

}  // namespace emu
