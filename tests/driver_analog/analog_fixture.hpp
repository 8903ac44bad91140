// The analog front end's test fixture: a UnitRig (the emulated unit on the
// hosted bus, a registry, a bare DeviceContext) with the bring-up defaults of
// the fields this area reads, and views of what the unit received since a
// mark: bus writes per device, audio codec commands, registry values.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "driver/devprop.h"
#include "driver/kivchip.h"
#include "driver/uda1345.h"
#include "emulator/fault_script.hpp"
#include "pf/host/registry.hpp"
#include "support/hex.hpp"
#include "support/rig.hpp"

namespace analogtest {

using Bytes = std::vector<std::uint8_t>;

using rig::Hex;
using rig::ParseHex;

constexpr std::uint8_t kDecoder = 0x21;
constexpr std::uint8_t kOutput = 0x44;
constexpr ULONG kNtscM = 0x1, kNtscMJ = 0x2, kPalB = 0x10, kPalM = 0x200, kSecamB = 0x1000;

class AnalogFixture : public ::testing::Test {
 protected:
  void SetUp() override { makeRig(rig::testUnit()); }
  void TearDown() override { rig_.reset(); }

  // A fresh rig whose unit injects the faults of script (fault_script.hpp).
  void useFaults(const std::string& script) {
    std::string why;
    auto faults = emu::parseFaultScript(script, &why);
    ASSERT_TRUE(faults) << why;
    emu::UnitOptions options = rig::testUnit();
    options.faults = *faults;
    makeRig(options);
  }
  // A fresh rig and DeviceContext, for the next case of a table.
  void makeFresh() { makeRig(rig::testUnit()); }
  void useRevision(std::uint16_t revision) {
    emu::UnitOptions options = rig::testUnit();
    options.revision = revision;
    makeRig(options);
  }

  DeviceContext* dev() const { return rig_->device(); }
  emu::Unit& unit() const { return rig_->unit(); }
  rig::UnitRig& rig() const { return *rig_; }

  void mark() { mark_ = rig::vendorRequests(unit()).size(); }
  std::vector<emu::ControlRecord> sent() const {
    auto all = rig::vendorRequests(unit());
    return std::vector<emu::ControlRecord>(all.begin() + std::ptrdiff_t(mark_), all.end());
  }
  // Command codes (wIndex) sent since the mark.
  std::vector<unsigned> codes() const {
    std::vector<unsigned> out;
    for (const auto& r : sent()) out.push_back(r.setup.wIndex);
    return out;
  }
  // Data stages of the bus writes (command 0x72) to device since the mark.
  std::vector<Bytes> busWrites(std::uint8_t device) const {
    std::vector<Bytes> out;
    for (const auto& r : sent())
      if (r.setup.wIndex == 0x72 && r.setup.wValue == device) out.push_back(r.data);
    return out;
  }
  // (wIndex, wValue) of the audio codec commands since the mark.
  std::vector<std::pair<unsigned, unsigned>> codecCommands() const {
    std::vector<std::pair<unsigned, unsigned>> out;
    for (const auto& r : sent()) {
      const unsigned c = r.setup.wIndex;
      if (c == 0x01 || c == 0x02 || (c >= 0x80 && c <= 0x82)) out.emplace_back(c, r.setup.wValue);
    }
    return out;
  }
  std::uint8_t decoderReg(unsigned reg) const { return unit().registers(kDecoder)[reg]; }
  std::uint8_t outputReg(unsigned reg) const { return unit().registers(kOutput)[reg]; }

  std::optional<std::uint32_t> setting(const char* name) const {
    return pf::registry::dword(rig_->driverKey(), name);
  }

  // The fields this area reads, as the bring-up leaves them.
  void defaults() {
    DeviceContext* d = dev();
    d->CaptureMode = CaptureModeMpeg2;
    d->VideoStandard = kNtscM;
    d->CaptureWidth = 720;
    d->CaptureHeight = 480;
    d->Brightness = 128;
    d->Contrast = 68;
    d->Saturation = 64;
    d->Hue = 0;
    d->OutputEnable = 1;
    d->AudioRoute = 2;
    d->AudioSamplingFrequency = 48000;
    d->MinBitRate = 1000000;
    d->MaxBitRate = 6000000;
    d->DefaultBitRate = 4200000;
    d->BitRate = 4200000;
    d->PeakBitRate = 6000000;
    d->VariableBitRateSupport = 1;
  }

 private:
  void makeRig(const emu::UnitOptions& options) {
    rig_.reset();
    rig_ = std::make_unique<rig::UnitRig>(options);
    mark_ = 0;
    defaults();
  }

  std::unique_ptr<rig::UnitRig> rig_;
  std::size_t mark_ = 0;
};

}  // namespace analogtest
