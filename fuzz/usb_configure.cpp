// Fuzzes the driver's USB configuration (UsbConfigureDevice) against a
// hostile device whose configuration descriptor comes from the input.
//
// Input: [flags] [fail] [n lo] [n hi] [first answer: n bytes] [later answers]
//   flags 0x01  SET_CONFIGURATION stalls
//         0x02  SET_INTERFACE stalls
//         0x04  the device runs at full speed
//         0x08  later GET_DESCRIPTOR requests get the bytes after the first
//               answer (a device whose descriptor changes between reads);
//               otherwise every read gets the first answer
//         0x10  the first GET_DESCRIPTOR request stalls
//   fail        the fail-th pool allocation of the driver's tag fails (0: none)
// Checks: no sanitizer finding, no bugcheck of the platform, no pool of the
// driver's tag left after the DeviceContext is torn down, and a success
// leaves the descriptor, the interface information and a configuration handle.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "pf/host/pool.hpp"
#include "support/state.hpp"
#include "support/unit_bench.hpp"

namespace {

constexpr std::uint8_t kStallSetConfiguration = 0x01;
constexpr std::uint8_t kStallSetInterface = 0x02;
constexpr std::uint8_t kFullSpeed = 0x04;
constexpr std::uint8_t kChangingDescriptor = 0x08;
constexpr std::uint8_t kStallFirstRead = 0x10;

// Answers the standard requests of configuration from the fuzz input; every
// other request stalls, every bulk transfer stalls at once.
class HostileDevice : public pf::usb::Backend {
 public:
  HostileDevice(std::uint8_t flags, std::vector<std::uint8_t> first, std::vector<std::uint8_t> later)
      : flags_(flags), first_(std::move(first)), later_(std::move(later)) {}

  void attach(pf::usb::BackendHost*) override {}
  pf::usb::Speed speed() const override {
    return (flags_ & kFullSpeed) ? pf::usb::Speed::Full : pf::usb::Speed::High;
  }

  pf::usb::TransferResult control(const pf::usb::SetupPacket& setup, std::uint8_t* data) override {
    constexpr std::uint8_t kGetDescriptor = 6, kSetConfiguration = 9, kSetInterface = 11;
    if (setup.bmRequestType == 0x80 && setup.bRequest == kGetDescriptor && (setup.wValue >> 8) == 2) {
      const bool firstRead = reads_++ == 0;
      if (firstRead && (flags_ & kStallFirstRead)) return {pf::usb::kUsbdStallPid, 0};
      const auto& answer = firstRead ? first_ : later_;
      const std::size_t n = std::min<std::size_t>(answer.size(), setup.wLength);
      if (n > 0) std::memcpy(data, answer.data(), n);
      return {pf::usb::kUsbdSuccess, n};
    }
    if (setup.bmRequestType == 0x00 && setup.bRequest == kSetConfiguration) {
      return {(flags_ & kStallSetConfiguration) ? pf::usb::kUsbdStallPid : pf::usb::kUsbdSuccess, 0};
    }
    if (setup.bmRequestType == 0x01 && setup.bRequest == kSetInterface) {
      return {(flags_ & kStallSetInterface) ? pf::usb::kUsbdStallPid : pf::usb::kUsbdSuccess, 0};
    }
    return {pf::usb::kUsbdStallPid, 0};
  }

  void submitBulk(std::uint8_t, std::uint8_t*, std::size_t, bool, pf::usb::BulkCompletion done) override {
    done({pf::usb::kUsbdStallPid, 0});
  }
  void abortEndpoint(std::uint8_t) override {}
  pf::usb::UsbdStatus resetEndpoint(std::uint8_t) override { return pf::usb::kUsbdSuccess; }

 private:
  const std::uint8_t flags_;
  const std::vector<std::uint8_t> first_, later_;
  unsigned reads_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const std::uint8_t flags = data[0];
  const std::uint8_t failAt = data[1];
  const std::size_t n = std::min<std::size_t>(size - 4, data[2] | (data[3] << 8));
  std::vector<std::uint8_t> first(data + 4, data + 4 + n);
  std::vector<std::uint8_t> later = (flags & kChangingDescriptor)
                                        ? std::vector<std::uint8_t>(data + 4 + n, data + size)
                                        : first;
  {
    fuzz::UnitBench bench(std::make_shared<HostileDevice>(flags, std::move(first), std::move(later)));
    if (failAt != 0) pf::pool::failNth(failAt, {MPEGUNIT_POOL_TAG, std::nullopt});
    const NTSTATUS status = bench.configure();
    pf::pool::reset();
    DeviceContext* d = bench.device();
    if (NT_SUCCESS(status)) {
      if (d->ConfigurationDescriptor == nullptr || d->InterfaceInformation == nullptr) {
        fuzz::fail("usb_configure", "success without a descriptor or interface information");
      }
      if (d->ConfigurationHandle == nullptr) fuzz::fail("usb_configure", "success without a handle");
    } else if (status == STATUS_PENDING) {
      fuzz::fail("usb_configure", "configuration answered pending");
    }
  }
  return 0;
}
