// The whole stack once per process: a Session (bus, emulated unit, class
// driver, our minidriver, adapter added) over the process's state folder,
// run on the virtual clock with a bounded wait on every client call. Ends
// the process with a one-line reason when it cannot be opened.
#pragma once

#include "tools/host/session.hpp"

namespace fuzz {

mpegunit::Session& session();

// Overlays patch on base at offset (growing base as needed).
void overlay(std::vector<std::uint8_t>& base, std::size_t offset, const std::vector<std::uint8_t>& patch);

}  // namespace fuzz
