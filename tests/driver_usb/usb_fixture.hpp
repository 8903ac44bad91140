// Helpers of the USB transport tests: a configured unit rig with its shared
// bulk packet, and views of what reached the unit.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "driver/usbdi.h"
#include "pf/host/usb_bus.hpp"
#include "support/rig.hpp"

namespace usbtest {

inline emu::UnitOptions unitWithFaults(const std::string& script) {
  emu::UnitOptions options = rig::testUnit();
  std::string why;
  auto faults = emu::parseFaultScript(script, &why);
  EXPECT_TRUE(faults.has_value()) << why;
  if (faults) options.faults = *faults;
  return options;
}

// A rig whose unit has been configured, as the bring-up leaves it.
inline std::unique_ptr<rig::UnitRig> configuredRig(emu::UnitOptions options = rig::testUnit()) {
  auto r = std::make_unique<rig::UnitRig>(options);
  EXPECT_EQ(r->configure(), STATUS_SUCCESS);
  return r;
}

// Lengths asked for by the bulk transfers submitted on endpoint, in order.
inline std::vector<std::uint32_t> bulkRequests(const pf::usb::Bus& bus, std::uint8_t endpoint) {
  std::vector<std::uint32_t> out;
  for (const auto& e : bus.traffic())
    if (e.kind == pf::usb::TrafficEvent::Kind::Submit &&
        e.type == pf::usb::TrafficEvent::Type::Bulk && e.endpoint == endpoint)
      out.push_back(e.length);
  return out;
}

inline unsigned pipeResets(const pf::usb::Bus& bus) {
  unsigned n = 0;
  for (const auto& e : bus.traffic())
    if (e.kind == pf::usb::TrafficEvent::Kind::ResetPipe) ++n;
  return n;
}

constexpr std::uint8_t kIn = 0x81;
constexpr std::uint8_t kOut = 0x02;

}  // namespace usbtest
