// A hostile unit: the emulated unit behind a backend that answers with
// random but plausible bytes. It distorts the configuration descriptor
// (lengths, total length, interfaces, endpoints), the revision and status
// bytes the driver reads, the length of control data stages, and the
// length and status of bulk transfers, from a seed, so a run can be
// repeated. What the unit itself sends and takes is the emulated unit's.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "emulator/unit.hpp"
#include "support/wrapping_backend.hpp"

namespace rel {

// What the hostile unit distorts; any combination.
enum Distortion : unsigned {
  kDescriptorLength = 1u << 0,  // one descriptor of the configuration claims a wrong bLength
  kHugeTotal = 1u << 1,         // wTotalLength far beyond the descriptor, padded or not
  kTinyTotal = 1u << 2,         // wTotalLength below the descriptor's size, down to 0
  kGrowingTotal = 1u << 3,      // every read announces a larger wTotalLength than the last
  kNoInterface = 1u << 4,       // the interface descriptor is missing or mistyped
  kExtraEndpoints = 1u << 5,    // endpoints of any type and address beyond the unit's two
  kRandomRevision = 1u << 6,    // the revision word is random
  kRandomStatus = 1u << 7,      // every one-byte register or memory read is random
  kShortControl = 1u << 8,      // IN data stages shorter than asked (often empty)
  kControlErrors = 1u << 9,     // control transfers and pipe resets fail now and then
  kShortBulk = 1u << 10,        // bulk IN moves fewer bytes than asked (often none), OUT only with an error
  kBulkErrors = 1u << 11,       // bulk transfers end with an error status now and then
  kLongAnswers = 1u << 12,      // reports more bytes moved than asked (the bus must clip)
};
inline constexpr unsigned kDistortionCount = 13;

// The names of the distortions in mask, joined with '+'.
std::string describeDistortions(unsigned mask);

struct HostileOptions {
  unsigned distortions = 0;
  std::uint32_t seed = 1;
  // One in oneIn control or bulk transfers meets the per-transfer
  // distortions (short, error, long); 1: every one.
  unsigned oneIn = 3;
};

class HostileUnit : public rig::WrappingBackend {
 public:
  HostileUnit(std::shared_ptr<emu::Unit> unit, HostileOptions options);

  pf::usb::TransferResult control(const pf::usb::SetupPacket& setup, std::uint8_t* data) override;
  void submitBulk(std::uint8_t endpoint, std::uint8_t* buffer, std::size_t length, bool shortOk,
                  pf::usb::BulkCompletion done) override;
  pf::usb::UsbdStatus resetEndpoint(std::uint8_t endpoint) override;

  // The configuration descriptor as this unit answers it (before any
  // growing total length).
  const std::vector<std::uint8_t>& configuration() const { return configuration_; }

 private:
  // Draws from the unit's generator; any thread.
  std::uint32_t draw();
  bool hit();  // true once in oneIn
  pf::usb::TransferResult configurationRequest(const pf::usb::SetupPacket& setup, std::uint8_t* data);
  static std::vector<std::uint8_t> distortConfiguration(std::vector<std::uint8_t> c, unsigned mask,
                                                        std::mt19937& rng);

  const HostileOptions options_;
  std::vector<std::uint8_t> configuration_;
  std::mutex mutex_;  // the generator and the growing total
  std::mt19937 rng_;
  std::uint32_t announcedTotal_ = 0;
};

}  // namespace rel
