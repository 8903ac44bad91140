// Allocation-failure sweep: for each operation an application can start,
// the k-th allocation of the driver's pool tag, or the k-th IRP, fails, for
// k = 1, 2, ... until a run makes no allocation fail. Every run must end with
// a plain status (success or a failure, never pending), no hang, the stream
// or adapter usable again once memory is back, and no pool left after the
// adapter is removed.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <iostream>
#include <set>

#include "driver/devprop.h"
#include "pf/host/pool.hpp"
#include "reliability/reliability.hpp"

namespace {

const std::uint32_t kIrpTag = pf::pool::makeTag("Irp ");

enum class Operation { Initialise, CaptureStart, PlaybackStart, PropertySets, StreamOpen };

const char* name(Operation op) {
  switch (op) {
    case Operation::Initialise: return "Initialise";
    case Operation::CaptureStart: return "CaptureStart";
    case Operation::PlaybackStart: return "PlaybackStart";
    case Operation::PropertySets: return "PropertySets";
    case Operation::StreamOpen: return "StreamOpen";
  }
  return "?";
}

struct SweepCase {
  Operation op;
  bool irps;  // IRP allocations, else the driver's pool
};

// Every settable item of every device property set: its current value read
// back (when it can be read), then set again, with arm() called right before
// each set. Answers whether any set met an injected failure; the statuses of
// failed sets go to failures.
bool setEveryProperty(pf::ks::Filter& filter, const std::function<void()>& arm,
                      std::set<NTSTATUS>* failures) {
  bool reached = false;
  for (ULONG s = 0; s < DEVICE_PROPERTY_SET_COUNT; ++s) {
    const KSPROPERTY_SET& set = DevicePropertySets[s];
    for (ULONG i = 0; i < set.PropertiesCount; ++i) {
      const KSPROPERTY_ITEM& item = set.PropertyItem[i];
      if (!item.SetPropertyHandler) continue;
      std::vector<std::uint8_t> record(std::max<ULONG>(item.MinProperty, sizeof(KSPROPERTY)));
      if (item.GetPropertyHandler) {
        filter.recordCall(KSPROPERTY_TYPE_GET, *set.Set, item.PropertyId, record.data(),
                          ULONG(record.size()));
      }
      arm();
      const auto result = filter.recordCall(KSPROPERTY_TYPE_SET, *set.Set, item.PropertyId,
                                            record.data(), ULONG(record.size()));
      reached = reached || pf::pool::injectedFailures() > 0;
      pf::pool::reset();
      EXPECT_NE(result.status, STATUS_PENDING) << "set " << s << " item " << item.PropertyId;
      if (!NT_SUCCESS(result.status)) failures->insert(result.status);
    }
  }
  return reached;
}

class AllocationSweep : public ::testing::TestWithParam<SweepCase> {
 protected:
  // One run with the k-th matching allocation failing (k = 0: none). Answers
  // whether the injected failure was reached.
  bool runOnce(unsigned k, std::set<NTSTATUS>* failures);

  void arm(unsigned k) {
    const SweepCase& c = GetParam();
    pf::pool::failNth(k, {c.irps ? kIrpTag : MPEGUNIT_POOL_TAG, std::nullopt});
  }
};

bool AllocationSweep::runOnce(unsigned k, std::set<NTSTATUS>* failures) {
  const SweepCase& c = GetParam();
  const std::string context = std::string(name(c.op)) + (c.irps ? " IRP " : " pool ") +
                              "allocation " + std::to_string(k);
  rel::Watchdog watchdog(context, std::chrono::seconds(60));
  bool reached = false;
  auto note = [&](NTSTATUS status) {
    reached = reached || pf::pool::injectedFailures() > 0;
    pf::pool::reset();
    EXPECT_NE(status, STATUS_PENDING) << context;
    if (!NT_SUCCESS(status)) failures->insert(status);
    return status;
  };

  if (c.op == Operation::Initialise) {
    if (k) arm(k);
    auto stack = std::make_unique<rel::Stack>(rig::testUnit());
    reached = pf::pool::injectedFailures() > 0;
    pf::pool::reset();
    if (!stack->ok()) {
      // A unit that did not come up says why in one line, and the pool is clean.
      EXPECT_NE(stack->why().find("did not start"), std::string::npos) << context << ": " << stack->why();
      failures->insert(NTSTATUS(0xFFFFFFFF));
    } else {
      auto pin = rel::openPin(stack->filter(), StreamCapture);
      if (pin) EXPECT_EQ(pin->setState(KSSTATE_STOP), STATUS_SUCCESS) << context;
    }
    stack->finish(context);
    return reached;
  }

  rel::Stack stack(rig::testUnit());
  EXPECT_TRUE(stack.ok()) << stack.why();
  if (!stack.ok()) return false;

  switch (c.op) {
    case Operation::CaptureStart:
    case Operation::PlaybackStart: {
      const bool capture = c.op == Operation::CaptureStart;
      auto pin = rel::openPin(stack.filter(), capture ? StreamCapture : StreamPlayback);
      if (!pin) return false;
      if (k) arm(k);
      const NTSTATUS started = note(pin->setState(KSSTATE_PAUSE));
      watchdog.phase("stop after the start");
      EXPECT_EQ(pin->setState(KSSTATE_STOP), STATUS_SUCCESS) << context;
      if (!NT_SUCCESS(started)) {
        // Memory is back: the next start works and data moves.
        watchdog.phase("start again");
        EXPECT_EQ(pin->setState(KSSTATE_RUN), STATUS_SUCCESS) << context << ": the second start";
        auto request = rel::submitBuffer(*pin, !capture, 4096);
        if (rel::waitAll({request}, context)) {
          EXPECT_EQ(request->status(), STATUS_SUCCESS) << context;
          EXPECT_GT(request->header().DataUsed, 0u) << context;
        }
        EXPECT_EQ(pin->setState(KSSTATE_STOP), STATUS_SUCCESS) << context;
      }
      break;
    }
    case Operation::PropertySets:
      // Each set of the pass fails its k-th allocation, so every item meets
      // the sweep.
      reached = setEveryProperty(stack.filter(), [&] { if (k) arm(k); }, failures);
      break;
    case Operation::StreamOpen: {
      for (ULONG id : {ULONG(StreamCapture), ULONG(StreamAnalog)}) {
        std::unique_ptr<pf::ks::Pin> pin;
        if (k) arm(k);
        const NTSTATUS status = note(front::createPin(stack.filter(), id, front::defaultFormat(id), pin));
        if (!NT_SUCCESS(status)) {
          // A failed open takes no instance: the same pin opens now.
          EXPECT_EQ(front::createPin(stack.filter(), id, front::defaultFormat(id), pin), STATUS_SUCCESS)
              << context << ": pin " << id << " after a failed open";
        }
        if (pin) EXPECT_EQ(pin->close(), STATUS_SUCCESS) << context;
      }
      break;
    }
    case Operation::Initialise: break;
  }
  watchdog.phase("removal");
  stack.finish(context);
  return reached;
}

TEST_P(AllocationSweep, EveryFailureEndsCleanly) {
  const SweepCase& c = GetParam();
  std::set<NTSTATUS> failures;
  unsigned reachedCount = 0;
  unsigned k = 1;
  const unsigned limit = 20000;  // far beyond any operation's allocations
  for (; k < limit; ++k) {
    if (!runOnce(k, &failures)) break;
    ++reachedCount;
    if (::testing::Test::HasFailure()) break;  // one failing k is enough to look at
  }
  ASSERT_LT(k, limit) << "the sweep never reached a run without an injected failure";
  // The run in which nothing failed must itself have ended cleanly (checked
  // inside); report the reach.
  std::cout << "[ sweep    ] " << name(c.op) << (c.irps ? " IRP" : " pool")
            << " allocations failed: " << reachedCount << " (last k " << k - 1
            << "); failure statuses:";
  for (NTSTATUS s : failures) std::cout << ' ' << mpegunit::statusName(s);
  std::cout << std::endl;
}

std::vector<SweepCase> sweepCases() {
  std::vector<SweepCase> out;
  for (Operation op : {Operation::Initialise, Operation::CaptureStart, Operation::PlaybackStart,
                       Operation::PropertySets, Operation::StreamOpen}) {
    out.push_back({op, false});
    out.push_back({op, true});
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(Operations, AllocationSweep, ::testing::ValuesIn(sweepCases()),
                         [](const auto& info) {
                           return std::string(name(info.param.op)) + (info.param.irps ? "Irp" : "Pool");
                         });

}  // namespace
