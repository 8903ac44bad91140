#include "reliability/hostile_unit.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "emulator/protocol.hpp"
#include "platform.h"

namespace rel {
namespace {

using pf::usb::SetupPacket;
using pf::usb::TransferResult;


// Statuses a unit or its bus may end a transfer with: transmission errors
// (which a staged transfer forgives), a stall, a unit that does not answer,
// buffer errors.
constexpr pf::usb::UsbdStatus kErrors[] = {
    0xC0000001,  // CRC
    0xC0000002,  // bit stuffing
    0xC0000003,  // data toggle mismatch
    pf::usb::kUsbdStallPid,
    pf::usb::kUsbdDevNotResponding,
    0xC0000006,  // PID check failure
    pf::usb::kUsbdDataOverrun,
    pf::usb::kUsbdDataUnderrun,
    0xC000000C,  // buffer overrun
    pf::usb::kUsbdXactError,
    0xC0000012,  // babble
};

struct Named {
  unsigned bit;
  const char* name;
};
constexpr Named kNames[] = {
    {kDescriptorLength, "DescriptorLength"}, {kHugeTotal, "HugeTotal"},
    {kTinyTotal, "TinyTotal"},               {kGrowingTotal, "GrowingTotal"},
    {kNoInterface, "NoInterface"},           {kExtraEndpoints, "ExtraEndpoints"},
    {kRandomRevision, "RandomRevision"},     {kRandomStatus, "RandomStatus"},
    {kShortControl, "ShortControl"},         {kControlErrors, "ControlErrors"},
    {kShortBulk, "ShortBulk"},               {kBulkErrors, "BulkErrors"},
    {kLongAnswers, "LongAnswers"},
};

void putTotal(std::vector<std::uint8_t>& c, std::size_t total) {
  c[2] = std::uint8_t(total);
  c[3] = std::uint8_t(total >> 8);
}

// Offsets of the descriptors in c, walked by their own lengths.
std::vector<std::size_t> descriptorOffsets(const std::vector<std::uint8_t>& c) {
  std::vector<std::size_t> out;
  for (std::size_t at = 0; at + 2 <= c.size() && c[at] >= 2; at += c[at]) out.push_back(at);
  return out;
}

bool isConfigurationRequest(const SetupPacket& s) {
  return s.bmRequestType == 0x80 && s.bRequest == USB_REQUEST_GET_DESCRIPTOR &&
         (s.wValue >> 8) == USB_CONFIGURATION_DESCRIPTOR_TYPE;
}

}  // namespace

std::string describeDistortions(unsigned mask) {
  std::string out;
  for (const Named& n : kNames) {
    if ((mask & n.bit) == 0) continue;
    if (!out.empty()) out += '+';
    out += n.name;
  }
  return out.empty() ? "none" : out;
}

HostileUnit::HostileUnit(std::shared_ptr<emu::Unit> emulated, HostileOptions options)
    : WrappingBackend(std::move(emulated)), options_(options), rng_(options.seed) {
  configuration_ = distortConfiguration(unit().descriptors().configuration, options_.distortions, rng_);
}

std::uint32_t HostileUnit::draw() {
  std::lock_guard<std::mutex> lock(mutex_);
  return rng_();
}

bool HostileUnit::hit() { return options_.oneIn <= 1 || draw() % options_.oneIn == 0; }

std::vector<std::uint8_t> HostileUnit::distortConfiguration(std::vector<std::uint8_t> c,
                                                            unsigned mask, std::mt19937& rng) {
  if (mask & kExtraEndpoints) {
    // One to four endpoints of any type on any address, before the unit's
    // own or after them, some of them counted in the interface's
    // bNumEndpoints, some not.
    const unsigned extra = 1 + rng() % 4;
    const std::size_t afterInterface = 18;  // the configuration and interface headers
    std::size_t at = rng() % 2 ? afterInterface : c.size();
    for (unsigned i = 0; i < extra; ++i) {
      const std::uint8_t address = std::uint8_t((rng() % 2 ? 0x80 : 0x00) | (1 + rng() % 15));
      const std::uint16_t packet = std::uint16_t(8u << (rng() % 8));
      c.insert(c.begin() + std::ptrdiff_t(at),
               {7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, std::uint8_t(rng() % 4), std::uint8_t(packet),
                std::uint8_t(packet >> 8), std::uint8_t(rng() % 16)});
      at += 7;
    }
    for (std::size_t at : descriptorOffsets(c)) {
      if (c[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && at + 4 < c.size()) c[at + 4] = std::uint8_t(c[at + 4] + rng() % (extra + 1));
    }
  }
  if (mask & kNoInterface) {
    for (std::size_t at : descriptorOffsets(c)) {
      if (c[at + 1] != USB_INTERFACE_DESCRIPTOR_TYPE) continue;
      if (rng() % 2) {
        c.erase(c.begin() + std::ptrdiff_t(at), c.begin() + std::ptrdiff_t(at + c[at]));
      } else {
        c[at + 1] = std::uint8_t(0x40 + rng() % 0x40);  // a type no parser looks for
      }
      break;
    }
    if (rng() % 2) c[4] = 0;  // bNumInterfaces agrees, or not
  }
  if (mask & kDescriptorLength) {
    const std::vector<std::size_t> at = descriptorOffsets(c);
    const std::size_t which = at[rng() % at.size()];
    const std::uint8_t lengths[] = {0, 1, 2, std::uint8_t(c[which] - 1), std::uint8_t(c[which] + 1),
                                    std::uint8_t(c[which] + 7), 0xFF, std::uint8_t(rng())};
    c[which] = lengths[rng() % (sizeof lengths)];
  }
  putTotal(c, c.size());
  if (mask & kHugeTotal) {
    const std::size_t total = c.size() + 1 + rng() % (0x10000 - c.size() - 1);
    putTotal(c, total);
    if (rng() % 2) {  // the rest is noise, or missing
      while (c.size() < total) c.push_back(std::uint8_t(rng()));
    }
  }
  if (mask & kTinyTotal) putTotal(c, rng() % c.size());
  return c;
}

TransferResult HostileUnit::configurationRequest(const SetupPacket& setup, std::uint8_t* data) {
  std::vector<std::uint8_t> c = configuration_;
  if (options_.distortions & kGrowingTotal) {
    // Always a little more than was just asked for, up to the field's limit.
    std::lock_guard<std::mutex> lock(mutex_);
    announcedTotal_ = std::min<std::uint32_t>(0xFFFF, std::max<std::uint32_t>(announcedTotal_, setup.wLength) + 1 + rng_() % 64);
    putTotal(c, announcedTotal_);
  }
  const std::size_t n = std::min<std::size_t>(c.size(), setup.wLength);
  if (n > 0) std::memcpy(data, c.data(), n);
  return {pf::usb::kUsbdSuccess, n};
}

TransferResult HostileUnit::control(const SetupPacket& setup, std::uint8_t* data) {
  const unsigned d = options_.distortions;
  if ((d & kControlErrors) && hit()) {
    return {kErrors[draw() % std::size(kErrors)], 0};  // never reached the unit
  }
  constexpr unsigned kDescriptorDistortions =
      kDescriptorLength | kHugeTotal | kTinyTotal | kGrowingTotal | kNoInterface | kExtraEndpoints;
  TransferResult r = (d & kDescriptorDistortions) && isConfigurationRequest(setup)
                         ? configurationRequest(setup, data)
                         : unit().control(setup, data);
  const bool vendorIn = setup.deviceToHost() && ((setup.bmRequestType >> 5) & 3) == 2;
  const std::uint8_t code = std::uint8_t(setup.wIndex);
  const bool revision = code == emu::proto::kReadRevision;
  const bool status = code == emu::proto::kReadByte || code == emu::proto::kBusReadRegister ||
                      code == emu::proto::kBusRead;
  if (vendorIn && r.status == pf::usb::kUsbdSuccess &&
      (((d & kRandomRevision) && revision) || ((d & kRandomStatus) && status))) {
    for (std::size_t i = 0; i < r.actual; ++i) data[i] = std::uint8_t(draw());
  }
  if ((d & kShortControl) && setup.deviceToHost() && r.actual > 0 && hit()) {
    r.actual = draw() % r.actual;
  }
  // Only a count: the device was given wLength bytes and cannot reach past them.
  if ((d & kLongAnswers) && hit()) r.actual = std::size_t(setup.wLength) + 1 + draw() % 4096;
  return r;
}

void HostileUnit::submitBulk(std::uint8_t endpoint, std::uint8_t* buffer, std::size_t length,
                             bool shortOk, pf::usb::BulkCompletion done) {
  const unsigned d = options_.distortions;
  // Every choice is made here, so that the completion, which the unit may
  // run on its own thread as late as its destruction, needs nothing of ours.
  pf::usb::UsbdStatus error = pf::usb::kUsbdSuccess;
  if ((d & kBulkErrors) && hit()) error = kErrors[draw() % std::size(kErrors)];
  std::size_t longer = 0;
  if ((d & kLongAnswers) && hit()) longer = 1 + draw() % (2 * length + 512);
  if (error != pf::usb::kUsbdSuccess && draw() % 2) {
    done({error, longer});  // failed before any byte moved
    return;
  }
  // IN ends early with a short packet; OUT moves everything unless an error
  // ends it part way, as on a real bus.
  std::size_t n = length;
  const bool in = (endpoint & 0x80) != 0;
  if ((d & kShortBulk) && (in || error != pf::usb::kUsbdSuccess) && hit()) {
    n = draw() % 3 == 0 ? 0 : draw() % (length + 1);
  }
  unit().submitBulk(endpoint, buffer, n, shortOk,
                    [done = std::move(done), error, longer](TransferResult r) {
                      if (error != pf::usb::kUsbdSuccess && r.status == pf::usb::kUsbdSuccess) r.status = error;
                      r.actual += longer;
                      done(r);
                    });
}

pf::usb::UsbdStatus HostileUnit::resetEndpoint(std::uint8_t endpoint) {
  if ((options_.distortions & kControlErrors) && hit()) return kErrors[draw() % std::size(kErrors)];
  return unit().resetEndpoint(endpoint);
}

}  // namespace rel
