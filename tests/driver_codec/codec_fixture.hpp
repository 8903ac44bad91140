// The codec tests' fixture: a UnitRig (the emulated unit on the hosted bus,
// a registry and a drivers folder, a bare DeviceContext), helpers to read
// what the unit received since a mark, and a compact form of the vendor
// requests for checking the order of whole sequences.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver/capture.h"
#include "driver/kivdec.h"
#include "driver/kivenc.h"
#include "emulator/fault_script.hpp"
#include "pf/host/registry.hpp"
#include "support/hex.hpp"
#include "support/rig.hpp"

namespace codectest {

using rig::Hex;
using rig::ParseHex;

// One vendor request in compact form: "23" for command 0x23, "m:A00D" for
// an encoder message whose first command has code 0xA00D.
inline std::string Summary(const emu::ControlRecord& r) {
  char buf[16];
  const unsigned code = r.setup.wIndex & 0xFF;
  if (code == 0x20 && r.data.size() >= 11) {
    std::snprintf(buf, sizeof buf, "m:%02X%02X", r.data[9], r.data[10]);
  } else {
    std::snprintf(buf, sizeof buf, "%02X", code);
  }
  return buf;
}

// The codec's own commands: audio codec commands 1 and 2, the unit modes,
// encoder messages and the codec commands 0x21-0x2B. The microcode records,
// the bus-device and audio-codec traffic of the front end are other modules'
// business and left out of the codec sequences.
inline bool IsCodecCommand(const emu::ControlRecord& r) {
  const unsigned code = r.setup.wIndex & 0xFF;
  return (code >= 0x01 && code <= 0x05) || (code >= 0x20 && code <= 0x2B);
}

class CodecFixture : public ::testing::Test {
 protected:
  void SetUp() override { rig_ = std::make_unique<rig::UnitRig>(); }
  void TearDown() override { rig_.reset(); }

  // A fresh rig whose unit injects the faults of script (fault_script.hpp).
  // The DeviceContext changes with it.
  void useFaults(const std::string& script, bool configured = false) {
    std::string why;
    auto faults = emu::parseFaultScript(script, &why);
    ASSERT_TRUE(faults) << why;
    emu::UnitOptions options = rig::testUnit();
    options.faults = *faults;
    rig_.reset();
    rig_ = std::make_unique<rig::UnitRig>(options);
    if (configured) configure();
  }

  // USB configuration and the bulk request block, needed by image downloads.
  void configure() { ASSERT_EQ(rig_->configure(), STATUS_SUCCESS); }

  DeviceContext* dev() const { return rig_->device(); }
  emu::Unit& unit() const { return rig_->unit(); }
  rig::UnitRig& rig() const { return *rig_; }

  void setDword(const char* name, std::uint32_t value) {
    pf::registry::setDword(rig_->driverKey(), name, value);
  }
  void setString(const char* name, const char* text) {
    pf::registry::setString(rig_->driverKey(), name, text);
  }

  void mark() { mark_ = rig::vendorRequests(unit()).size(); }
  std::vector<emu::ControlRecord> sentSinceMark() const {
    auto all = rig::vendorRequests(unit());
    return std::vector<emu::ControlRecord>(all.begin() + std::ptrdiff_t(mark_), all.end());
  }
  // The codec's part of what was sent since the mark, in compact form.
  std::vector<std::string> sequenceSinceMark() const {
    std::vector<std::string> out;
    for (const auto& r : sentSinceMark()) {
      if (IsCodecCommand(r)) out.push_back(Summary(r));
    }
    return out;
  }
  // How many microcode records were sent since the mark.
  std::size_t downloadRecordsSinceMark() const {
    std::size_t n = 0;
    for (const auto& r : sentSinceMark()) {
      const unsigned code = r.setup.wIndex & 0xFF;
      if (code >= 0x10 && code <= 0x13) ++n;
    }
    return n;
  }

  // A DeviceContext as the bring-up and settings load leave it.
  void defaults(ULONG mode, ULONG standard) {
    DeviceContext* d = dev();
    d->CodecState = CodecUnloaded;
    d->CaptureMode = mode;
    d->VideoStandard = standard;
    d->AudioSamplingFrequency = 48000;
    d->VideoInput = 0;
    if (mode == CaptureModeMpeg2) {
      d->CaptureWidth = 720;
      d->CaptureHeight = standard == 0x1 ? 480 : 576;
      d->BitRate = d->HighSpeed ? 7000000 : 4200000;
      d->PeakBitRate = d->HighSpeed ? 8000000 : 6000000;
      d->VariableBitRateSupport = 1;
    } else {
      d->CaptureWidth = 320;
      d->CaptureHeight = standard == 0x1 ? 240 : 288;
      d->BitRate = 1150000;
      d->PeakBitRate = 0;
      d->VariableBitRateSupport = 0;
    }
  }

 private:
  std::unique_ptr<rig::UnitRig> rig_;
  std::size_t mark_ = 0;
};

}  // namespace codectest
