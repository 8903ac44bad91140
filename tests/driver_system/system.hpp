// Helpers of the end-to-end tests: what an application does with the filter
// (formats by data intersection, pins, buffers) and a check of the captured
// stream with ffprobe.
#pragma once

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "driver/devprop.h"
#include "support/command_output.hpp"
#include "support/rig.hpp"

namespace sys {

// The format pin offers for range, by data intersection.
inline std::vector<std::uint8_t> intersect(pf::ks::Filter& filter, ULONG pin, const KSDATARANGE& range) {
  std::vector<std::uint8_t> format(1024);
  const auto result = filter.intersect(pin, range, format.data(), static_cast<ULONG>(format.size()));
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  format.resize(result.bytes);
  return format;
}

// The capture format of the MPEG-2 (or MPEG-1) range of pin 0.
inline std::vector<std::uint8_t> captureFormat(pf::ks::Filter& filter, bool mpeg1) {
  const GUID wanted = mpeg1 ? GUID{STATIC_KSDATAFORMAT_SUBTYPE_MPEG1Payload}
                            : GUID{STATIC_KSDATAFORMAT_TYPE_MPEG2_PROGRAM};
  for (const KSDATARANGE* range : filter.pin(0).dataRanges) {
    if (IsEqualGUID(range->SubFormat, wanted)) return intersect(filter, 0, *range);
  }
  ADD_FAILURE() << "no such capture range";
  return {};
}

inline std::unique_ptr<pf::ks::Pin> openPin(pf::ks::Filter& filter, ULONG id,
                                            const std::vector<std::uint8_t>& format) {
  std::unique_ptr<pf::ks::Pin> pin;
  EXPECT_EQ(filter.createPin(id, *reinterpret_cast<const KSDATAFORMAT*>(format.data()), pin), STATUS_SUCCESS);
  return pin;
}

// Reads from a running capture pin, several buffers in flight, until bytes
// have arrived; every wait bounded.
inline std::vector<std::uint8_t> readStream(pf::ks::Pin& pin, std::size_t bytes, ULONG bufferSize = 131072) {
  std::vector<std::uint8_t> out;
  std::deque<pf::ks::RequestPtr> inFlight;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (out.size() < bytes) {
    while (inFlight.size() < 4) inFlight.push_back(pin.read(bufferSize));
    auto request = inFlight.front();
    inFlight.pop_front();
    if (!request->wait(std::chrono::seconds(20))) {
      ADD_FAILURE() << "a capture buffer did not complete";
      break;
    }
    EXPECT_EQ(request->status(), STATUS_SUCCESS);
    const ULONG used = request->header().DataUsed;
    out.insert(out.end(), request->data().begin(), request->data().begin() + used);
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "capture too slow: " << out.size() << " bytes";
      break;
    }
  }
  for (auto& request : inFlight) request->wait(std::chrono::seconds(20));
  return out;
}

// ffprobe's view of a stream: {"format": ..., "streams": [...]}.
inline nlohmann::json probe(const std::vector<std::uint8_t>& bytes) {
  rig::TempDir dir;
  const auto path = dir.path() / "stream.mpg";
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
  const std::string text =
      rig::commandOutput("ffprobe -v error -show_streams -show_format -of json " + path.string());
  return nlohmann::json::parse(text, nullptr, false);
}

inline const nlohmann::json* streamOf(const nlohmann::json& info, const char* type) {
  if (!info.contains("streams")) return nullptr;
  for (const auto& s : info["streams"]) {
    if (s.value("codec_type", "") == type) return &s;
  }
  return nullptr;
}

// How often the unit was asked to begin a microcode download.
inline int downloads(const emu::Unit& unit) {
  int count = 0;
  for (unsigned code : rig::vendorCodes(unit)) count += code == 0x28;
  return count;
}

}  // namespace sys
