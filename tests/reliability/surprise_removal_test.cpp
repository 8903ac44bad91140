// Surprise removal at a random point of initialisation, capture start,
// streaming, stop or playback. Each trial: the unit leaves the bus (after a
// random time, or at a random bulk transfer), the application carries on, the
// class driver sends the surprise removal (while requests may still be
// pending, or after), the application stops and closes its pins and the
// adapter is removed. Every request completes exactly once, the worker has
// ended, no pool is left, and a watchdog fails a trial that hangs.
//
// The default run takes a short sample; MPEGUNIT_SOAK_SECONDS=N runs trials
// for N seconds (at least 1000 of them, unless the time runs out first) and
// prints how many ran. MPEGUNIT_SEED repeats a run.
#include <gtest/gtest.h>

#include <iostream>
#include <random>

#include "reliability/reliability.hpp"

namespace {

enum class Phase { Initialise, CaptureStart, Streaming, Stop, Playback, Count };

const char* name(Phase p) {
  switch (p) {
    case Phase::Initialise: return "initialisation";
    case Phase::CaptureStart: return "capture start";
    case Phase::Streaming: return "streaming";
    case Phase::Stop: return "stop";
    case Phase::Playback: return "playback";
    case Phase::Count: break;
  }
  return "?";
}

// Unplugs the unit from a thread of its own after a delay, unless cancelled.
class Unplugger {
 public:
  Unplugger(emu::Unit& unit, std::chrono::microseconds delay) {
    thread_ = std::thread([this, &unit, delay] {
      std::unique_lock<std::mutex> lock(mutex_);
      if (!wake_.wait_for(lock, delay, [this] { return cancelled_; })) unit.unplug();
    });
  }
  ~Unplugger() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      cancelled_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool cancelled_ = false;
  std::thread thread_;
};

struct Trial {
  Phase phase;
  std::string faults;       // unplug@MS or unplug#N, or none (a timed unplug)
  unsigned delayUs;         // timed unplug after the phase begins
  bool removalWhilePending; // the surprise removal arrives before the pins close
  unsigned buffers;
};

Trial drawTrial(std::mt19937& rng) {
  Trial t;
  t.phase = Phase(rng() % unsigned(Phase::Count));
  t.delayUs = rng() % 20000;
  t.removalWhilePending = rng() % 2;
  t.buffers = 1 + rng() % 4;
  const unsigned how = rng() % 3;
  if (t.phase == Phase::Initialise) {
    t.faults = "unplug@" + std::to_string(rng() % 40);
  } else if (how == 0) {
    t.faults = "unplug#" + std::to_string(1 + rng() % 400);
  }
  return t;
}

std::string describe(unsigned n, const Trial& t) {
  return "trial " + std::to_string(n) + " (" + name(t.phase) + ", " +
         (t.faults.empty() ? "unplug after " + std::to_string(t.delayUs) + " us" : t.faults) +
         (t.removalWhilePending ? ", removal while pending" : ", removal after the requests") + ")";
}

void runTrial(unsigned n, const Trial& t) {
  const std::string context = describe(n, t);
  SCOPED_TRACE(context);
  rel::Watchdog watchdog(context, std::chrono::seconds(60));
  const bool timed = t.faults.empty();
  const bool playback = t.phase == Phase::Playback;

  rel::Stack stack(rel::unitWith(t.faults));
  if (!stack.ok()) {
    // Unplugged during initialisation: the adapter never came up.
    EXPECT_EQ(t.phase, Phase::Initialise) << stack.why();
    stack.finish(context);
    return;
  }

  std::vector<pf::ks::RequestPtr> requests;
  std::unique_ptr<pf::ks::Pin> pin;
  std::unique_ptr<Unplugger> unplugger;
  auto unplugNow = [&] {
    if (timed && !unplugger) unplugger = std::make_unique<Unplugger>(stack.unit(), std::chrono::microseconds(t.delayUs));
  };

  watchdog.phase("pin and start");
  pin = rel::openPin(stack.filter(), playback ? StreamPlayback : StreamCapture);
  if (!pin) return;
  if (t.phase == Phase::CaptureStart || t.phase == Phase::Playback) unplugNow();
  pin->setState(KSSTATE_RUN);  // may fail once the unit is gone
  watchdog.phase("buffers");
  if (t.phase == Phase::Streaming) unplugNow();
  for (unsigned i = 0; i < t.buffers; ++i) {
    requests.push_back(rel::submitBuffer(*pin, playback, 65536 + 4096 * i, std::uint8_t(i)));
  }
  if (t.phase == Phase::Stop) {
    unplugNow();
    watchdog.phase("stop");
    pin->setState(KSSTATE_STOP);
  }
  unplugNow();  // the init and unplug#N trials still lose the unit, late

  auto removeSurprise = [&] {
    watchdog.phase("surprise removal");
    unplugger.reset();  // the unit is off the bus by now, or leaves now
    stack.unit().unplug();
    EXPECT_EQ(stack.adapter().callDevice(SRB_SURPRISE_REMOVAL), STATUS_SUCCESS);
    DeviceContext* d = stack.device();
    EXPECT_NE(d->Flags & DeviceGone, 0u);
    EXPECT_EQ(d->WorkerCommand, (ULONG)WorkerCommandEnded) << "the worker did not end";
  };
  if (t.removalWhilePending) removeSurprise();
  watchdog.phase("requests");
  rel::waitAll(requests, context);
  if (!t.removalWhilePending) removeSurprise();

  watchdog.phase("close");
  pin->setState(KSSTATE_STOP);
  EXPECT_EQ(pin->close(), STATUS_SUCCESS);
  for (const auto& r : requests) EXPECT_EQ(r->completions(), 1u);
  requests.clear();
  pin.reset();
  watchdog.phase("adapter removal");
  stack.finish(context);
}

TEST(SurpriseRemoval, RandomTrialsEndCleanly) {
  const unsigned soak = rel::soakSeconds();
  const auto deadline = rel::Clock::now() + std::chrono::seconds(soak);
  const unsigned sample = 24;
  std::mt19937 rng(rel::seed());
  unsigned n = 0;
  unsigned byPhase[unsigned(Phase::Count)] = {};
  for (;; ++n) {
    if (soak == 0 ? n >= sample : (rel::Clock::now() >= deadline && n >= 1000) ||
                                      rel::Clock::now() >= deadline + std::chrono::seconds(soak)) {
      break;
    }
    const Trial t = drawTrial(rng);
    ++byPhase[unsigned(t.phase)];
    runTrial(n, t);
    if (::testing::Test::HasFailure()) break;
  }
  std::cout << "[ trials   ] " << n << " surprise-removal trials, seed " << rel::seed() << ":";
  for (unsigned p = 0; p < unsigned(Phase::Count); ++p) std::cout << ' ' << name(Phase(p)) << ' ' << byPhase[p];
  std::cout << std::endl;
}

}  // namespace
