// Drives an emulated unit through its backend interface, as the bus would.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <vector>

#include "emulator/microcode_image.hpp"
#include "emulator/protocol.hpp"
#include "emulator/unit.hpp"

namespace emu::test {

using pf::usb::SetupPacket;
using pf::usb::TransferResult;

inline constexpr unsigned kWaitMs = 20000;  // bound on every wait for a transfer

struct Host : pf::usb::BackendHost {
  std::atomic<int> removed{0};
  void deviceRemoved() override { ++removed; }
};

// One command message: prefix, code, channel, arguments.
struct Cmd {
  std::uint32_t prefix;
  std::uint16_t code;
  std::uint8_t channel;
  std::vector<std::uint32_t> args;
};

inline void putBe32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 3; i >= 0; --i) out.push_back(std::uint8_t(v >> (8 * i)));
}

inline std::vector<std::uint8_t> message(std::uint8_t flag, const std::vector<Cmd>& cmds) {
  std::vector<std::uint32_t> words;
  for (const auto& c : cmds) {
    words.push_back(c.prefix);
    words.push_back(std::uint32_t(c.code) << 16 | std::uint32_t(c.channel) << 8 | std::uint32_t(c.args.size()));
    words.insert(words.end(), c.args.begin(), c.args.end());
  }
  std::vector<std::uint8_t> out{flag};
  putBe32(out, std::uint32_t(words.size()));
  for (auto w : words) putBe32(out, w);
  return out;
}

inline constexpr std::uint32_t kPlain = 0xFFFFFFFF;

// The audio message: seven words laid out byte-wise.
inline std::vector<std::uint8_t> audioMessage(std::uint8_t channel, std::uint32_t rate) {
  return message(0, {{kPlain, 0x000D, channel,
                      {0x04010000, 0x01000100, rate, 320, channel == 1 ? 0x00010001u : 0x00000100u, 0, 0}}});
}

class UnitTest : public ::testing::Test {
 protected:
  void make(UnitOptions options = {}) {
    unit = std::make_unique<Unit>(std::move(options));
    unit->attach(&host);
  }
  static UnitOptions fast() {
    UnitOptions o;
    o.pacing = Pacing::Fast;
    return o;
  }

  TransferResult vendorOut(std::uint8_t code, std::uint16_t value = 0, std::vector<std::uint8_t> data = {},
                           std::uint16_t indexHigh = 0) {
    SetupPacket s{0x41, 0, value, std::uint16_t(indexHigh << 8 | code), std::uint16_t(data.size())};
    return unit->control(s, data.data());
  }
  TransferResult vendorIn(std::uint8_t code, std::uint16_t value, std::vector<std::uint8_t>& data) {
    SetupPacket s{0xC1, 0, value, code, std::uint16_t(data.size())};
    return unit->control(s, data.data());
  }
  // Commands the driver sends with the IN flag and no data stage.
  TransferResult vendorInNoData(std::uint8_t code, std::uint16_t value = 0) {
    SetupPacket s{0xC1, 0, value, code, 0};
    return unit->control(s, nullptr);
  }
  TransferResult send(const std::vector<std::uint8_t>& msg) { return vendorOut(proto::kEncoderMessage, 0, msg); }

  // One bulk transfer, waited for (bounded).
  TransferResult bulk(std::uint8_t endpoint, std::uint8_t* buffer, std::size_t length, unsigned waitMs = kWaitMs) {
    auto done = std::make_shared<std::promise<TransferResult>>();
    auto future = done->get_future();
    unit->submitBulk(endpoint, buffer, length, true, [done](TransferResult r) { done->set_value(r); });
    if (future.wait_for(std::chrono::milliseconds(waitMs)) != std::future_status::ready) {
      unit->abortEndpoint(endpoint);
      ADD_FAILURE() << "bulk transfer on " << int(endpoint) << " did not complete in " << waitMs << " ms";
      return future.get();
    }
    return future.get();
  }
  // Checks that a bulk IN transfer stays pending for waitMs, then aborts it.
  void expectNothingIn(unsigned waitMs) {
    auto done = std::make_shared<std::promise<TransferResult>>();
    auto future = done->get_future();
    std::uint8_t buf[64];
    unit->submitBulk(proto::kEndpointIn, buf, sizeof buf, true, [done](TransferResult r) { done->set_value(r); });
    EXPECT_NE(future.wait_for(std::chrono::milliseconds(waitMs)), std::future_status::ready) << "data arrived";
    unit->abortEndpoint(proto::kEndpointIn);
    ASSERT_EQ(future.wait_for(std::chrono::milliseconds(kWaitMs)), std::future_status::ready);
    EXPECT_EQ(future.get().status, pf::usb::kUsbdCanceled);
  }
  TransferResult bulkOut(std::vector<std::uint8_t> bytes) { return bulk(proto::kEndpointOut, bytes.data(), bytes.size()); }

  // Downloads an image file the way the host does: 0x28, every record, 0x25.
  void download(const std::vector<std::uint8_t>& file) {
    ASSERT_EQ(vendorOut(proto::kBeginLoad).status, 0u);
    const auto parsed = ucode::parse(file);
    ASSERT_TRUE(parsed.ok()) << parsed.error;
    for (const auto& r : parsed.records) {
      if (r.data.empty()) continue;
      std::vector<std::uint8_t> p;
      switch (r.type) {
        case ucode::RecordType::Block:
          putBe32(p, r.address);
          putBe32(p, std::uint32_t(r.data.size()));
          ASSERT_EQ(vendorOut(proto::kUcodeBlock, 0, p).status, 0u);
          ASSERT_EQ(bulkOut(r.data).status, 0u);
          break;
        case ucode::RecordType::Packed: {
          const bool groups = r.packMode == ucode::kPackModePacked;
          putBe32(p, std::uint32_t(groups ? r.data.size() / 5 * 8 : r.data.size()));
          p.push_back(r.packMode);
          ASSERT_EQ(vendorOut(proto::kUcodePacked, 0, p).status, 0u);
          if (!groups) {
            ASSERT_EQ(bulkOut(r.data).status, 0u);
            break;
          }
          for (std::size_t i = 0; i < r.data.size(); i += 5) {
            std::vector<std::uint8_t> g(8);
            ucode::expandGroup(&r.data[i], g.data());
            ASSERT_EQ(bulkOut(g).status, 0u);
          }
          break;
        }
        case ucode::RecordType::Single:
          putBe32(p, r.address);
          p.push_back(r.data[0]);
          ASSERT_EQ(vendorOut(proto::kUcodeSingle, 0, p).status, 0u);
          break;
        case ucode::RecordType::Sync: {
          ASSERT_EQ(vendorOut(proto::kUcodeSync, 0x0400).status, 0u);
          std::uint8_t ack[4] = {};
          const auto r2 = bulk(proto::kEndpointIn, ack, 2);
          ASSERT_EQ(r2.status, 0u);
          ASSERT_EQ(r2.actual, 2u);
          break;
        }
      }
    }
    ASSERT_EQ(vendorOut(proto::kFinishLoad).status, 0u);
  }
  static std::vector<std::uint8_t> imageFile(ucode::Kind kind, ucode::Standard standard) {
    for (const auto& info : ucode::kImages)
      if (info.kind == kind && info.standard == standard) return ucode::serialise(ucode::buildImage(info));
    return {};
  }

  // The encoder's configuration and start, as the host sends them.
  void startEncoder(bool mpeg2, std::uint32_t sizeCode, std::uint32_t rateCode, std::uint32_t bitRate,
                    std::uint32_t audioRate) {
    ASSERT_EQ(vendorOut(proto::kInitEncoder).status, 0u);
    send(message(0, {{kPlain, 0x0004, 0, {0xFFFFFFFF}}}));
    send(message(1, {{kPlain, 0xA106, 0, {rateCode, 1}}}));
    send(message(1, {{kPlain, 0x9103, 0, {1, 10080000, 96000, 2, 1, 0, 0, 0}}}));
    send(audioMessage(1, audioRate));
    send(message(0, {{kPlain, 0xA035, 1, {1}}}));
    ASSERT_EQ(vendorInNoData(proto::kModeEncode).status, 0u);
    ASSERT_EQ(vendorOut(proto::kStartEncoder).status, 0u);
    send(message(1, {{kPlain, 0xB113, 0, {sizeCode, 4}}}));
    send(message(1, {{kPlain, 0xA00D, 0, {bitRate}}}));
    const std::uint32_t prefix = mpeg2 ? 0x300 : 0x100;
    send(message(1, {{prefix, 0x8001, 0, {}}, {prefix, 0x8001, 1, {}}}));
  }

  Host host;
  std::unique_ptr<Unit> unit;
};

}  // namespace emu::test
