#include "support/wrapping_backend.hpp"

namespace rig {

void VanishingUnit::submitBulk(std::uint8_t endpoint, std::uint8_t* buffer, std::size_t length, bool shortOk,
                               pf::usb::BulkCompletion done) {
  if ((!endpoint_ || endpoint == *endpoint_) && ++count_ == nth_) {
    done({pf::usb::kUsbdDevNotResponding, 0});
    unit().unplug();
    return;
  }
  WrappingBackend::submitBulk(endpoint, buffer, length, shortOk, std::move(done));
}

}  // namespace rig
