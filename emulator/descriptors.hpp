// The unit's USB descriptors, built as data, and the standard requests of
// the default pipe answered in one place.
#pragma once

#include <cstdint>
#include <vector>

#include "pf/host/usb_backend.hpp"

namespace emu {

struct DescriptorSet {
  std::vector<std::uint8_t> device;         // 18 bytes
  std::vector<std::uint8_t> configuration;  // configuration, interface, endpoints, extras
};

// Builds the descriptors for a speed. extraBytes > 0 appends vendor-specific
// descriptors so that the configuration is 32 + extraBytes bytes long (a value
// from 1 to 2 is rounded up to 3, the smallest descriptor).
DescriptorSet buildDescriptors(pf::usb::Speed speed, std::size_t extraBytes);

// Standard device state the standard requests act on.
struct StandardState {
  std::uint8_t configuration = 0;  // 0 unconfigured, 1 configured
};

// Answers a standard request (bmRequestType type bits 00). Unsupported ones
// stall.
pf::usb::TransferResult standardRequest(const DescriptorSet& descriptors, StandardState& state,
                                        const pf::usb::SetupPacket& setup, std::uint8_t* data);

}  // namespace emu
