// Helpers of the front-end tests: the formats applications open pins with,
// direct stream-state requests, and bounded waits for requests.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "driver/drventry.h"
#include "support/rig.hpp"

namespace front {

inline constexpr std::chrono::milliseconds kWait{10'000};

template <class T>
std::vector<std::uint8_t> bytesOf(const T& record) {
  std::vector<std::uint8_t> out(sizeof(T));
  std::memcpy(out.data(), &record, sizeof(T));
  return out;
}

// A capture format as a player builds it from a capture range: the range's
// KSDATARANGE header (FormatSize 152) and its VIDEOINFOHEADER.
inline KS_DATAFORMAT_VIDEOINFOHEADER captureFormat(const KS_DATARANGE_VIDEO& range) {
  KS_DATAFORMAT_VIDEOINFOHEADER format{};
  format.DataFormat = range.DataRange;
  format.DataFormat.FormatSize = sizeof(KS_DATAFORMAT_VIDEOINFOHEADER);
  format.VideoInfoHeader = range.VideoInfoHeader;
  return format;
}

inline PlaybackFormat playbackFormat(std::uint8_t selector = 0) {
  PlaybackFormat format{};
  format.DataFormat.FormatSize = sizeof(PlaybackFormat);
  format.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_STREAM;
  format.DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_UNIT_MPEG;
  format.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_UNIT_MPEG;
  format.StandardSelector = selector;
  format.Words[0] = 1;
  return format;
}

inline KS_DATARANGE_ANALOGVIDEO analogFormat() {
  KS_DATARANGE_ANALOGVIDEO format{};
  format.DataRange.FormatSize = sizeof(KS_DATARANGE_ANALOGVIDEO);
  format.DataRange.SampleSize = 16;
  format.DataRange.MajorFormat = KSDATAFORMAT_TYPE_ANALOGVIDEO;
  format.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_NONE;
  format.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_ANALOGVIDEO;
  format.AnalogVideoInfo.rcSource = {0, 0, 720, 480};
  format.AnalogVideoInfo.rcTarget = {0, 0, 720, 480};
  format.AnalogVideoInfo.dwActiveWidth = 720;
  format.AnalogVideoInfo.dwActiveHeight = 480;
  return format;
}

// The usual format of each pin.
inline std::vector<std::uint8_t> defaultFormat(ULONG pin) {
  switch (pin) {
    case StreamCapture: return bytesOf(captureFormat(CaptureRangeMpeg2));
    case StreamPlayback: return bytesOf(playbackFormat());
    default: return bytesOf(analogFormat());
  }
}

inline NTSTATUS createPin(pf::ks::Filter& filter, ULONG id, const std::vector<std::uint8_t>& format,
                          std::unique_ptr<pf::ks::Pin>& out) {
  return filter.createPin(id, *reinterpret_cast<const KSDATAFORMAT*>(format.data()), out);
}

inline std::unique_ptr<pf::ks::Pin> openPin(pf::ks::Filter& filter, ULONG id) {
  std::unique_ptr<pf::ks::Pin> pin;
  NTSTATUS status = createPin(filter, id, defaultFormat(id), pin);
  EXPECT_EQ(status, STATUS_SUCCESS) << "pin " << id;
  return pin;
}

// One SRB_SET_STREAM_STATE with the given value, bypassing the client's
// step-by-step state machine (so no capture or playback start is implied).
inline NTSTATUS sendState(pf::ks::Pin& pin, ULONG state) {
  return pin.callControl(SRB_SET_STREAM_STATE, [state](HW_STREAM_REQUEST_BLOCK& srb) {
    StreamSetStateWord(&srb.CommandData.StreamState, state);
  });
}

inline StreamContext* contextOf(pf::ks::Pin& pin) {
  return static_cast<StreamContext*>(pin.streamExtension());
}

// Waits (bounded) for every request; false, with a failure, when one hangs.
inline bool waitAll(const std::vector<pf::ks::RequestPtr>& requests) {
  for (std::size_t i = 0; i < requests.size(); ++i) {
    if (!requests[i] || !requests[i]->wait(kWait)) {
      ADD_FAILURE() << "request " << i << " was not completed";
      return false;
    }
  }
  return true;
}

// The vendor command codes the unit received (wIndex low byte), in order.
inline std::vector<unsigned> commandCodes(const emu::Unit& unit) {
  std::vector<unsigned> out;
  for (const auto& record : rig::vendorRequests(unit)) out.push_back(record.setup.wIndex & 0xFF);
  return out;
}

inline std::vector<std::uint8_t> pattern(std::size_t size, std::uint8_t seed) {
  std::vector<std::uint8_t> out(size);
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(seed + i * 7);
  return out;
}

}  // namespace front
