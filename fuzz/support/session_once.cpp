#include "support/session_once.hpp"

#include <cstdlib>
#include <memory>
#include <string>

#include "support/state.hpp"
#include "support/unit_bench.hpp"

namespace fuzz {

mpegunit::Session& session() {
  static std::unique_ptr<mpegunit::Session> opened = [] {
    mpegunit::SessionOptions options;
    options.stateDir = stateDir();
    options.unit = fuzzUnit();
    options.virtualClock = true;
    options.adapter.timeoutTicker = false;
    options.adapter.waitLimit = std::chrono::milliseconds(20'000);
    std::string why;
    auto s = mpegunit::Session::open(options, &why);
    if (!s) fail("session", why.c_str());
    return s;
  }();
  return *opened;
}

void overlay(std::vector<std::uint8_t>& base, std::size_t offset, const std::vector<std::uint8_t>& patch) {
  if (base.size() < offset + patch.size()) base.resize(offset + patch.size());
  for (std::size_t i = 0; i < patch.size(); ++i) base[offset + i] = patch[i];
}

}  // namespace fuzz
