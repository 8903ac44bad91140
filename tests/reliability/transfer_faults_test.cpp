// The staged-transfer failure table in a running stream: every outcome the
// unit can give a chunk, at the first, a middle and the last chunk of one
// buffer, on capture and on playback. Each case checks the request (status and
// byte count), the device flags, the pipe resets, and what the next buffer
// does after the stream enters RUN again.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>

#include "reliability/reliability.hpp"
#include "support/wrapping_backend.hpp"

namespace {

constexpr ULONG kChunk = 65536;
// Three chunks, the last one shorter, so that the three positions differ.
constexpr ULONG kLength = 3 * kChunk - 1000;
constexpr ULONG kChunks[3] = {kChunk, kChunk, kChunk - 1000};

enum class Outcome {
  Clean,         // every chunk moves in full
  NineEmpty,     // nine empty chunks in a row, then data again
  TenEmpty,      // the tenth empty chunk in a row ends the transfer
  Forgiven,      // a CRC error: reset, counted, goes on
  OtherError,    // any other USBD status (a stall code with some bytes moved)
  Stall,         // the pipe halts until reset
  NotResponding, // device not responding, still connected
  Gone,          // the unit leaves the bus at the chunk (the bus fails it as gone)
  Vanished,      // device not responding, and then the port reads disconnected
};

const char* name(Outcome o) {
  switch (o) {
    case Outcome::Clean: return "Clean";
    case Outcome::NineEmpty: return "NineEmpty";
    case Outcome::TenEmpty: return "TenEmpty";
    case Outcome::Forgiven: return "Forgiven";
    case Outcome::OtherError: return "OtherError";
    case Outcome::Stall: return "Stall";
    case Outcome::NotResponding: return "NotResponding";
    case Outcome::Gone: return "Gone";
    case Outcome::Vanished: return "Vanished";
  }
  return "?";
}

struct Case {
  bool write;    // playback (bulk OUT) or capture (bulk IN)
  Outcome outcome;
  int position;  // chunk of the buffer that meets the fault: 1, 2 or 3
};

// Bytes the faulted chunk reports as moved with a status fault, either way:
// they count, and on capture they land where the next chunk goes on from.
ULONG faultBytes(const Case& c) {
  if (c.outcome == Outcome::Forgiven) return 1000;
  if (c.outcome == Outcome::OtherError) return 100;
  return 0;
}

// The unit's bulk transfers on the stream's pipe before the first buffer of a
// running stream (microcode and acknowledgements), found once per direction.
unsigned transfersBeforeData(bool write) {
  static std::map<bool, unsigned> known;
  auto it = known.find(write);
  if (it != known.end()) return it->second;
  rel::Stack stack(rel::preparedUnit());
  EXPECT_TRUE(stack.ok()) << stack.why();
  if (!stack.ok()) return 0;
  auto pin = rel::openPin(stack.filter(), write ? StreamPlayback : StreamCapture);
  EXPECT_TRUE(pin);
  if (!pin) return 0;
  EXPECT_EQ(pin->setState(KSSTATE_RUN), STATUS_SUCCESS);
  const unsigned n = stack.unit().bulkLog(write ? rel::kBulkOut : rel::kBulkIn).transfers;
  EXPECT_EQ(pin->setState(KSSTATE_STOP), STATUS_SUCCESS);
  pin.reset();
  stack.finish("probe");
  known[write] = n;
  return n;
}

std::string script(const Case& c, unsigned nth) {
  const std::string pipe = (c.write ? "out#" : "in#") + std::to_string(nth) + "=";
  switch (c.outcome) {
    case Outcome::Clean: return "";
    case Outcome::NineEmpty: return pipe + "zerox9";
    case Outcome::TenEmpty: return pipe + "zerox10";
    case Outcome::Forgiven: return pipe + "C0000001/" + std::to_string(faultBytes(c));
    case Outcome::OtherError: return pipe + "C0000004/" + std::to_string(faultBytes(c));
    case Outcome::Stall: return pipe + "stall";
    case Outcome::NotResponding: return pipe + "noresponse";
    case Outcome::Gone: return pipe + "gone";
    case Outcome::Vanished: return "";  // rig::VanishingUnit does it
  }
  return "";
}

struct Expected {
  bool success;
  ULONG count;
  ULONG flags;
  int resets;  // recorded by the bus; -1: not checked (the port may be gone first)
};

Expected expected(const Case& c) {
  ULONG before = 0;
  for (int i = 0; i < c.position - 1; ++i) before += kChunks[i];
  switch (c.outcome) {
    case Outcome::Clean:
    case Outcome::NineEmpty: return {true, kLength, 0, 0};
    case Outcome::TenEmpty: return {true, before, TransferFailed, 0};
    case Outcome::Forgiven: return {true, kLength, 0, 1};
    case Outcome::OtherError: return {false, before + faultBytes(c), TransferFailed, 1};
    case Outcome::Stall:
    case Outcome::NotResponding: return {false, before, TransferFailed, 1};
    // The bus learns of the unplug before it fails the transfer, so the
    // driver sees "device gone", not "not responding": a plain failure. Its
    // pipe reset is refused by the bus, which records none.
    case Outcome::Gone: return {false, before, TransferFailed, 0};
    case Outcome::Vanished: return {false, before, TransferFailed | DeviceGone, -1};
  }
  return {};
}

class TransferFaults : public ::testing::TestWithParam<Case> {};

TEST_P(TransferFaults, RequestFlagsResetAndRecovery) {
  const Case& c = GetParam();
  const std::string context = std::string(c.write ? "playback " : "capture ") + name(c.outcome) +
                              " at chunk " + std::to_string(c.position);
  const unsigned base = transfersBeforeData(c.write);
  ASSERT_GT(base, 0u) << "the probe found no microcode traffic";
  const std::uint8_t pipe = c.write ? rel::kBulkOut : rel::kBulkIn;

  rel::Watchdog watchdog(context, std::chrono::seconds(60));
  const unsigned nth = base + unsigned(c.position);
  rel::Wrap wrap;
  if (c.outcome == Outcome::Vanished) {
    wrap = [&](std::shared_ptr<emu::Unit> unit) {
      return std::make_shared<rig::VanishingUnit>(std::move(unit), nth, pipe);
    };
  }
  rel::Stack stack(rel::preparedUnit(script(c, nth)), wrap);
  ASSERT_TRUE(stack.ok()) << stack.why();
  auto pin = rel::openPin(stack.filter(), c.write ? StreamPlayback : StreamCapture);
  ASSERT_TRUE(pin);
  ASSERT_EQ(pin->setState(KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_EQ(stack.unit().bulkLog(pipe).transfers, base) << "the microcode traffic changed";
  stack.bus().clearTraffic();
  const std::size_t sentBefore = stack.unit().bulkLog(pipe).bytes.size();

  watchdog.phase("faulted buffer");
  auto request = rel::submitBuffer(*pin, c.write, kLength);
  ASSERT_TRUE(rel::waitAll({request}, context));
  const Expected e = expected(c);
  EXPECT_EQ(NT_SUCCESS(request->status()), e.success) << context << ": status 0x" << std::hex
                                                      << request->status();
  EXPECT_EQ(request->header().DataUsed, e.count) << context;
  EXPECT_EQ(request->completions(), 1u) << context;
  EXPECT_EQ(stack.flags() & (TransferFailed | DeviceGone), e.flags) << context;
  if (e.resets >= 0) EXPECT_EQ(int(rel::pipeResets(stack.bus())), e.resets) << context;
  if (!c.write) {
    // What the unit sent, in order and in place, bytes moved with an error too.
    const std::vector<std::uint8_t> sent = stack.unit().bulkLog(pipe).bytes;
    const std::size_t used = std::min<std::size_t>(request->header().DataUsed, request->data().size());
    ASSERT_EQ(sent.size() - sentBefore, used) << context << ": bytes sent and bytes counted differ";
    EXPECT_TRUE(std::equal(sent.begin() + std::ptrdiff_t(sentBefore), sent.end(), request->data().begin()))
        << context << ": the captured bytes differ from what the unit sent";
  }

  // The stream enters RUN again: a failed transfer is forgotten, a unit off
  // the bus stays gone and nothing more reaches it.
  watchdog.phase("recovery");
  ASSERT_EQ(pin->setState(KSSTATE_PAUSE), STATUS_SUCCESS);
  ASSERT_EQ(pin->setState(KSSTATE_RUN), STATUS_SUCCESS);
  const auto moved = stack.unit().bulkLog(pipe).total;
  auto next = rel::submitBuffer(*pin, c.write, kLength, 2);
  ASSERT_TRUE(rel::waitAll({next}, context + ", next buffer"));
  if (c.outcome == Outcome::Vanished) {
    // Marked gone: the worker completes the buffer without a transfer.
    EXPECT_EQ(next->status(), STATUS_SUCCESS) << context;
    EXPECT_NE(stack.flags() & DeviceGone, 0u) << context;
    EXPECT_EQ(stack.unit().bulkLog(pipe).total, moved) << context << ": data after the unit left";
  } else if (c.outcome == Outcome::Gone) {
    // Not marked gone: the transfer is tried and fails, and nothing moves.
    EXPECT_EQ(next->status(), STATUS_DEVICE_NOT_CONNECTED) << context;
    EXPECT_EQ(next->header().DataUsed, 0u) << context;
    EXPECT_NE(stack.flags() & TransferFailed, 0u) << context;
    EXPECT_EQ(stack.unit().bulkLog(pipe).total, moved) << context << ": data after the unit left";
  } else {
    EXPECT_EQ(next->status(), STATUS_SUCCESS) << context;
    EXPECT_EQ(next->header().DataUsed, kLength) << context;
    EXPECT_EQ(stack.flags() & (TransferFailed | DeviceGone), 0u) << context;
    EXPECT_EQ(stack.unit().bulkLog(pipe).total, moved + kLength) << context;
  }

  watchdog.phase("stop and removal");
  EXPECT_EQ(pin->setState(KSSTATE_STOP), STATUS_SUCCESS) << context;
  request.reset();
  next.reset();
  pin.reset();
  stack.finish(context);
}

std::vector<Case> allCases() {
  std::vector<Case> out;
  for (bool write : {false, true}) {
    for (Outcome o : {Outcome::Clean, Outcome::NineEmpty, Outcome::TenEmpty, Outcome::Forgiven,
                      Outcome::OtherError, Outcome::Stall, Outcome::NotResponding, Outcome::Gone, Outcome::Vanished}) {
      for (int position : {1, 2, 3}) {
        if (o == Outcome::Clean && position != 1) continue;  // no fault: one case is enough
        out.push_back({write, o, position});
      }
    }
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(Table, TransferFaults, ::testing::ValuesIn(allCases()),
                         [](const auto& info) {
                           const Case& c = info.param;
                           return std::string(c.write ? "Playback" : "Capture") + name(c.outcome) +
                                  "Chunk" + std::to_string(c.position);
                         });

}  // namespace
