// Backends of the tests' own around the emulated unit: a base that forwards
// every call to the unit, for a test's backend to override what it changes,
// and a unit that vanishes after an answer of "device not responding".
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include "emulator/unit.hpp"
#include "pf/host/usb_backend.hpp"

namespace rig {

class WrappingBackend : public pf::usb::Backend {
 public:
  explicit WrappingBackend(std::shared_ptr<emu::Unit> unit) : unit_(std::move(unit)) {}

  void attach(pf::usb::BackendHost* host) override { unit_->attach(host); }
  pf::usb::Speed speed() const override { return unit_->speed(); }
  pf::usb::TransferResult control(const pf::usb::SetupPacket& setup, std::uint8_t* data) override {
    return unit_->control(setup, data);
  }
  void submitBulk(std::uint8_t endpoint, std::uint8_t* buffer, std::size_t length, bool shortOk,
                  pf::usb::BulkCompletion done) override {
    unit_->submitBulk(endpoint, buffer, length, shortOk, std::move(done));
  }
  void abortEndpoint(std::uint8_t endpoint) override { unit_->abortEndpoint(endpoint); }
  pf::usb::UsbdStatus resetEndpoint(std::uint8_t endpoint) override { return unit_->resetEndpoint(endpoint); }

 protected:
  emu::Unit& unit() const { return *unit_; }

 private:
  std::shared_ptr<emu::Unit> unit_;
};

// The emulated unit, except that its nth bulk transfer (counted on endpoint,
// or on every endpoint when none is given) answers "device not responding"
// and the unit then leaves the bus, in that order.
class VanishingUnit : public WrappingBackend {
 public:
  VanishingUnit(std::shared_ptr<emu::Unit> unit, unsigned nth,
                std::optional<std::uint8_t> endpoint = std::nullopt)
      : WrappingBackend(std::move(unit)), endpoint_(endpoint), nth_(nth) {}

  void submitBulk(std::uint8_t endpoint, std::uint8_t* buffer, std::size_t length, bool shortOk,
                  pf::usb::BulkCompletion done) override;

 private:
  const std::optional<std::uint8_t> endpoint_;
  const unsigned nth_;
  std::atomic<unsigned> count_{0};
};

}  // namespace rig
