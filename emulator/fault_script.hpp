// Faults the emulated unit injects on request, from tests or the command line.
//
// Text form, items separated by ';' (or ','):
//   in#N=STATUS[/BYTES]   the N-th bulk IN transfer completes with a USBD status
//                         (hex) after moving BYTES bytes; out#N=... for bulk OUT
//   in#N=zero[xK]         K (default 1) zero-length completions from the N-th on
//   in#N=stall            the N-th transfer stalls; the pipe stays halted until reset
//   in#N=noresponse       the N-th completes with "device not responding", port connected
//   in#N=gone             the same, and the unit leaves the bus
//   unplug@MS             the unit leaves the bus MS milliseconds after it was plugged in
//   unplug#N              the unit leaves the bus at its N-th bulk transfer (any pipe)
//   cmd:CODE[#N]=STATUS   vendor command CODE (hex) fails with STATUS, its N-th time
//                         (every time without #N); "stall" for the status stalls it
//   slow-control=MS       every control transfer takes MS milliseconds
//   slow-bulk=MS          every bulk transfer takes at least MS milliseconds
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pf/host/usb_backend.hpp"

namespace emu {

enum class BulkFaultKind { Status, Zero, Stall, NoResponse, Gone };

struct BulkFault {
  std::uint8_t endpoint = 0;  // 0x81 or 0x02
  unsigned nth = 1;           // 1-based, counted per pipe
  BulkFaultKind kind = BulkFaultKind::Status;
  pf::usb::UsbdStatus status = 0;
  std::size_t bytes = 0;      // Status: bytes moved
  unsigned count = 1;         // Zero: how many transfers
};

struct ControlFault {
  std::uint8_t code = 0;  // wIndex low byte
  unsigned nth = 0;       // 0: every time
  pf::usb::UsbdStatus status = pf::usb::kUsbdStallPid;
};

struct FaultScript {
  std::vector<BulkFault> bulk;
  std::vector<ControlFault> control;
  std::optional<unsigned> unplugAfterMs;
  std::optional<unsigned> unplugAtTransfer;
  unsigned slowControlMs = 0;
  unsigned slowBulkMs = 0;

  // The fault for the n-th transfer on endpoint, if any.
  const BulkFault* bulkFault(std::uint8_t endpoint, unsigned n) const;
  // The status for the n-th occurrence of a vendor command, if it is to fail.
  std::optional<pf::usb::UsbdStatus> controlFault(std::uint8_t code, unsigned n) const;
};

// Parses the text form; on an error returns nothing and says which item.
std::optional<FaultScript> parseFaultScript(const std::string& text, std::string* why);

}  // namespace emu
