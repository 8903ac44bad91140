// A hostile unit (hostile_unit.hpp) under the whole stack: initialisation,
// a capture and a playback stream and a pass over the device properties.
// Whatever the unit answers, the driver either works or fails
// initialisation, the stream open, the start or the buffer with a plain
// status: every request completes exactly once, no completion on the bus
// reports more bytes than were asked for, nothing hangs (a watchdog ends
// the run) and no pool is left once the adapter is removed.
//
// A table of named distortions, each over a few seeds, and a seeded random
// mix of them. MPEGUNIT_SOAK_SECONDS=N runs the mix for N seconds instead of
// the short sample; MPEGUNIT_SEED repeats a run.
#include <gtest/gtest.h>

#include <iostream>
#include <map>
#include <random>

#include "driver/devprop.h"
#include "reliability/hostile_unit.hpp"
#include "reliability/reliability.hpp"

namespace {

using rel::HostileOptions;

// How far a trial got.
struct Outcome {
  bool initialised = false;
  unsigned streamsStarted = 0;   // of the two
  unsigned readsFilled = 0;      // capture reads completed with success and every byte
  std::uint64_t bytesPlayed = 0; // what reached the unit on bulk OUT from the playback buffers
};

// Every completion the bus recorded moved no more than its submission asked.
void expectClippedAtBus(const std::vector<pf::usb::TrafficEvent>& traffic, const std::string& context) {
  std::map<std::uint64_t, std::uint32_t> asked;
  for (const auto& e : traffic) {
    if (e.kind == pf::usb::TrafficEvent::Kind::Submit) {
      asked[e.id] = e.length;
    } else if (e.kind == pf::usb::TrafficEvent::Kind::Complete) {
      auto it = asked.find(e.id);
      if (it == asked.end()) continue;  // its submission was trimmed from the record
      EXPECT_LE(e.length, it->second) << context << ": transfer " << e.id << " moved more than asked";
    }
  }
}

// One stream of the trial: open, RUN, a few buffers, STOP, close.
void exerciseStream(rel::Stack& stack, bool write, rel::Watchdog& watchdog, const std::string& context,
                    Outcome& outcome) {
  const ULONG id = write ? StreamPlayback : StreamCapture;
  const std::string where = context + (write ? ", playback" : ", capture");
  watchdog.phase(where + " open");
  std::unique_ptr<pf::ks::Pin> pin;
  const NTSTATUS opened = front::createPin(stack.filter(), id, front::defaultFormat(id), pin);
  EXPECT_NE(opened, STATUS_PENDING) << where;
  if (!NT_SUCCESS(opened)) return;
  watchdog.phase(where + " start");
  const NTSTATUS started = pin->setState(KSSTATE_RUN);
  EXPECT_NE(started, STATUS_PENDING) << where;
  if (NT_SUCCESS(started)) ++outcome.streamsStarted;

  watchdog.phase(where + " buffers");
  const std::uint64_t outBefore = stack.unit().bulkLog(rel::kBulkOut).total;
  const std::size_t sizes[] = {2 * 65536 + 300, 4096, 188};
  std::vector<pf::ks::RequestPtr> requests;
  for (std::size_t i = 0; i < std::size(sizes); ++i) {
    requests.push_back(rel::submitBuffer(*pin, write, sizes[i], std::uint8_t(i + 1)));
  }
  // A unit that sends or takes nothing keeps a buffer pending, which is its
  // right; the stop below must end it.
  for (const auto& r : requests) r->wait(std::chrono::milliseconds(1500));

  watchdog.phase(where + " stop");
  EXPECT_NE(pin->setState(KSSTATE_STOP), STATUS_PENDING) << where;
  rel::waitAll(requests, where);
  for (std::size_t i = 0; i < requests.size(); ++i) {
    const auto& r = requests[i];
    if (!r->completed()) continue;  // reported by waitAll
    EXPECT_EQ(r->completions(), 1u) << where << ": buffer " << i;
    EXPECT_NE(r->status(), STATUS_PENDING) << where << ": buffer " << i;
    const ULONG used = r->header().DataUsed;
    EXPECT_LE(used, sizes[i]) << where << ": buffer " << i << " counts more bytes than it holds";
    if (!write && NT_SUCCESS(r->status()) && used == sizes[i]) ++outcome.readsFilled;
  }
  if (write) outcome.bytesPlayed = stack.unit().bulkLog(rel::kBulkOut).total - outBefore;
  watchdog.phase(where + " close");
  EXPECT_EQ(pin->close(), STATUS_SUCCESS) << where;
}

// Every item of every device property set that can be read, read once with
// its smallest record, and set back where it can be set.
void exerciseProperties(rel::Stack& stack, const std::string& context) {
  for (ULONG s = 0; s < DEVICE_PROPERTY_SET_COUNT; ++s) {
    const KSPROPERTY_SET& set = DevicePropertySets[s];
    for (ULONG i = 0; i < set.PropertiesCount; ++i) {
      const KSPROPERTY_ITEM& item = set.PropertyItem[i];
      if (!item.GetPropertyHandler) continue;
      std::vector<std::uint8_t> record(std::max<ULONG>(item.MinProperty, sizeof(KSPROPERTY)));
      const auto got = stack.filter().recordCall(KSPROPERTY_TYPE_GET, *set.Set, item.PropertyId,
                                                 record.data(), ULONG(record.size()));
      EXPECT_NE(got.status, STATUS_PENDING) << context << ": get set " << s << " item " << item.PropertyId;
      if (!NT_SUCCESS(got.status) || !item.SetPropertyHandler) continue;
      const auto put = stack.filter().recordCall(KSPROPERTY_TYPE_SET, *set.Set, item.PropertyId,
                                                 record.data(), ULONG(record.size()));
      EXPECT_NE(put.status, STATUS_PENDING) << context << ": set set " << s << " item " << item.PropertyId;
    }
  }
}

Outcome runTrial(const HostileOptions& options, const std::string& context) {
  SCOPED_TRACE(context);
  rel::Watchdog watchdog(context, std::chrono::seconds(90));
  Outcome outcome;
  watchdog.phase("initialisation");
  rel::Stack stack(rel::preparedUnit(), [&](std::shared_ptr<emu::Unit> unit) {
    return std::make_shared<rel::HostileUnit>(std::move(unit), options);
  });
  if (stack.ok()) {
    outcome.initialised = true;
    exerciseStream(stack, false, watchdog, context, outcome);
    exerciseStream(stack, true, watchdog, context, outcome);
    watchdog.phase("properties");
    exerciseProperties(stack, context);
  } else {
    // The driver loaded: the unit's answers failed the start, with a status.
    EXPECT_FALSE(NT_SUCCESS(stack.addStatus())) << context << ": " << stack.why();
    EXPECT_NE(stack.addStatus(), STATUS_PENDING) << context;
  }
  const auto traffic = stack.bus().traffic();
  watchdog.phase("adapter removal");
  stack.finish(context);
  expectClippedAtBus(traffic, context);
  return outcome;
}

std::string trialName(const HostileOptions& o) {
  return rel::describeDistortions(o.distortions) + " seed " + std::to_string(o.seed) + " 1/" +
         std::to_string(o.oneIn);
}

constexpr std::uint64_t kPlaybackBytes = 2 * 65536 + 300 + 4096 + 188;

// What a named distortion must lead to, beyond ending cleanly.
enum class Expect {
  Anything,  // works, or fails cleanly somewhere
  NoStart,   // initialisation fails
  Works,     // initialises; both streams start and move every buffer whole, once
};

struct NamedCase {
  const char* name;
  unsigned distortions;
  Expect expect;
};

const NamedCase kNamedCases[] = {
    {"DescriptorLength", rel::kDescriptorLength, Expect::Anything},
    {"HugeTotalLength", rel::kHugeTotal, Expect::Anything},
    // Below its endpoints, the configuration selects no pipe of its interface.
    {"TinyTotalLength", rel::kTinyTotal, Expect::NoStart},
    {"GrowingTotalLength", rel::kGrowingTotal, Expect::Works},
    {"NoInterface", rel::kNoInterface, Expect::NoStart},
    {"ExtraEndpoints", rel::kExtraEndpoints, Expect::Anything},
    {"RandomRevision", rel::kRandomRevision, Expect::Anything},
    {"RandomStatus", rel::kRandomStatus, Expect::Works},
    {"ShortControlStages", rel::kShortControl, Expect::Anything},
    {"ControlErrors", rel::kControlErrors, Expect::Anything},
    // A read asks again until its buffer is full, however short the answers.
    {"ShortBulk", rel::kShortBulk, Expect::Works},
    {"BulkErrors", rel::kBulkErrors, Expect::Anything},
    // The bus clips every count to what was asked: nothing else changes.
    {"LongAnswersClipped", rel::kLongAnswers, Expect::Works},
};

class HostileNamed : public ::testing::TestWithParam<NamedCase> {};

TEST_P(HostileNamed, WorksOrFailsCleanly) {
  const NamedCase& c = GetParam();
  const unsigned seeds = rel::soakSeconds() ? 12 : 3;
  unsigned initialised = 0, started = 0, filled = 0;
  std::uint64_t played = 0;
  for (unsigned i = 0; i < seeds && !::testing::Test::HasFailure(); ++i) {
    const unsigned rates[] = {1, 3, 8};  // every transfer, often, now and then
    const HostileOptions options{c.distortions, rel::seed() + i, rates[i % 3]};
    const std::string context = trialName(options);
    const Outcome o = runTrial(options, context);
    initialised += o.initialised;
    started += o.streamsStarted;
    filled += o.readsFilled;
    played += o.bytesPlayed;
    switch (c.expect) {
      case Expect::Anything: break;
      case Expect::NoStart: EXPECT_FALSE(o.initialised) << context; break;
      case Expect::Works:
        EXPECT_TRUE(o.initialised) << context;
        EXPECT_EQ(o.streamsStarted, 2u) << context;
        EXPECT_EQ(o.readsFilled, 3u) << context;
        EXPECT_EQ(o.bytesPlayed, kPlaybackBytes) << context;
        break;
    }
  }
  std::cout << "[ hostile  ] " << c.name << ": " << seeds << " trials, " << initialised
            << " initialised, " << started << " streams started, " << filled << " reads whole, "
            << played << " bytes played" << std::endl;
}

INSTANTIATE_TEST_SUITE_P(Table, HostileNamed, ::testing::ValuesIn(kNamedCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Random combinations of one to four distortions at random rates.
TEST(HostileMix, RandomTrialsEndCleanly) {
  const unsigned soak = rel::soakSeconds();
  const auto deadline = rel::Clock::now() + std::chrono::seconds(soak);
  const unsigned sample = 16;
  std::mt19937 rng(rel::seed());
  unsigned n = 0, initialised = 0, streamed = 0;
  for (;; ++n) {
    if (soak == 0 ? n >= sample : rel::Clock::now() >= deadline) break;
    HostileOptions options;
    const unsigned count = 1 + rng() % 4;
    for (unsigned i = 0; i < count; ++i) options.distortions |= 1u << (rng() % rel::kDistortionCount);
    options.seed = rng();
    options.oneIn = 1 + rng() % 6;
    const Outcome o = runTrial(options, "mix trial " + std::to_string(n) + ": " + trialName(options));
    initialised += o.initialised;
    streamed += o.readsFilled > 0 || o.bytesPlayed > 0;
    if (::testing::Test::HasFailure()) break;
  }
  std::cout << "[ hostile  ] " << n << " mixed trials, seed " << rel::seed() << ": " << initialised
            << " initialised, " << streamed << " moved stream data" << std::endl;
}

}  // namespace
