// The unit's vendor commands as data: the shape of the control transfer each
// one expects. A request that matches no entry, or an entry with the wrong
// shape, stalls.
#pragma once

#include <cstdint>
#include <string>

#include "pf/host/usb_backend.hpp"

namespace emu {

enum class Dir : std::uint8_t {
  In,   // device to host
  Out,  // host to device
};

struct CommandEntry {
  std::uint8_t code;        // wIndex low byte
  const char* name;         // for the log
  Dir dir;                  // direction of the data stage (of the request bit when there is none)
  std::uint16_t minLength;  // accepted wLength range
  std::uint16_t maxLength;
  bool dataInIndexHigh;     // wIndex bits 8-15 carry data (else they must be 0)
};

// The entry for a vendor request's wIndex, or nullptr.
const CommandEntry* findCommand(std::uint16_t wIndex);

// Empty when the setup packet has the shape the command expects, else why not.
// Requests without a data stage are taken in either direction: with nothing
// to move the direction bit carries nothing.
std::string checkShape(const CommandEntry& entry, const pf::usb::SetupPacket& setup);

}  // namespace emu
