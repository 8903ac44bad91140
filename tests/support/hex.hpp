// Bytes written and read as hex text in tests: "23 00 0D A0" in a table of
// expected bytes, and the same form in a failure message.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace rig {

// Bytes from hex text; spaces are for readability only.
inline std::vector<std::uint8_t> ParseHex(const std::string& text) {
  std::vector<std::uint8_t> out;
  std::string digits;
  for (char c : text) {
    if (c != ' ') digits.push_back(c);
  }
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
    out.push_back(std::uint8_t(std::stoul(digits.substr(i, 2), nullptr, 16)));
  }
  return out;
}

// Bytes as "01 00 ..." (readable in a failure message).
inline std::string Hex(const std::vector<std::uint8_t>& bytes) {
  std::string out;
  char buf[4];
  for (auto b : bytes) {
    std::snprintf(buf, sizeof buf, "%02X ", b);
    out += buf;
  }
  return out;
}

}  // namespace rig
