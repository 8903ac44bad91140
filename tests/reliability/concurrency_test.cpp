// Several application threads at once, for a bounded time: property gets and
// sets on the filter, state changes and stream buffers on the capture pin,
// state changes and buffers on the analog pin, while the device loop, the
// stream loops, the worker and the unit are all busy. No deadlock (a watchdog
// ends a hung run), no lost or repeated completion. Short enough to run under
// the thread sanitizer; MPEGUNIT_SOAK_SECONDS lengthens it.
#include <gtest/gtest.h>

#include <atomic>

#include "driver/devprop.h"
#include "reliability/reliability.hpp"

#ifndef STATUS_IO_TIMEOUT
#define STATUS_IO_TIMEOUT ((NTSTATUS)0xC00000B5L)  // what a client call answers when its wait ran out
#endif

namespace {

TEST(Concurrency, ApplicationThreadsAtOnce) {
  const auto runFor = std::chrono::milliseconds(rel::soakSeconds() ? rel::soakSeconds() * 1000 : 1500);
  // The run itself, then two minutes for the stack to come up and wind down.
  rel::Watchdog watchdog("the concurrency run", runFor + std::chrono::seconds(120));
  rel::Stack stack;
  ASSERT_TRUE(stack.ok()) << stack.why();
  auto capture = rel::openPin(stack.filter(), StreamCapture);
  auto analog = rel::openPin(stack.filter(), StreamAnalog);
  ASSERT_TRUE(capture && analog);

  const auto deadline = rel::Clock::now() + runFor;
  std::atomic<unsigned> properties{0}, buffers{0}, states{0}, lost{0};
  std::mutex failMutex;
  std::vector<std::string> failures;
  auto fail = [&](std::string what) {
    std::lock_guard<std::mutex> lock(failMutex);
    if (failures.size() < 20) failures.push_back(std::move(what));
  };
  auto checkDone = [&](const pf::ks::RequestPtr& r, const char* what) {
    if (!r || !r->wait(rel::kWait)) {
      ++lost;
      fail(std::string(what) + ": not completed");
    } else if (r->completions() != 1) {
      fail(std::string(what) + ": completed " + std::to_string(r->completions()) + " times");
    }
  };

  // The property and analog threads go round again at once; they rest a
  // moment each round, so that under the thread sanitizer they share the
  // cores with the device loop, the stream loops and the worker instead of
  // starving them.
  auto pause = [] { std::this_thread::sleep_for(std::chrono::microseconds(500)); };

  std::vector<std::thread> threads;
  // Two threads on the picture controls and the encoding item: get, then set
  // the value read back.
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      const KSPROPERTY_SET& set = DevicePropertySets[t == 0 ? 0 : DEVICE_PROPERTY_SET_COUNT - 1];
      for (ULONG i = 0; rel::Clock::now() < deadline; ++i) {
        const KSPROPERTY_ITEM& item = set.PropertyItem[i % set.PropertiesCount];
        if (!item.GetPropertyHandler || item.MinProperty < sizeof(KSPROPERTY)) continue;
        std::vector<std::uint8_t> record(item.MinProperty);
        const auto got = stack.filter().recordCall(KSPROPERTY_TYPE_GET, *set.Set, item.PropertyId,
                                                   record.data(), ULONG(record.size()));
        if (got.status == STATUS_IO_TIMEOUT) fail("a property get timed out");
        if (item.SetPropertyHandler && NT_SUCCESS(got.status)) {
          const auto put = stack.filter().recordCall(KSPROPERTY_TYPE_SET, *set.Set, item.PropertyId,
                                                     record.data(), ULONG(record.size()));
          if (put.status == STATUS_IO_TIMEOUT) fail("a property set timed out");
        }
        ++properties;
        pause();
      }
    });
  }
  // Capture: start, stream a few buffers, pause or stop, over and over.
  threads.emplace_back([&] {
    for (unsigned round = 0; rel::Clock::now() < deadline; ++round) {
      if (capture->setState(KSSTATE_RUN) == STATUS_IO_TIMEOUT) fail("capture RUN timed out");
      std::vector<pf::ks::RequestPtr> reads;
      for (int i = 0; i < 3; ++i) reads.push_back(rel::submitBuffer(*capture, false, 32768));
      for (auto& r : reads) checkDone(r, "a capture read");
      buffers += unsigned(reads.size());
      if (capture->setState(round % 2 ? KSSTATE_STOP : KSSTATE_PAUSE) == STATUS_IO_TIMEOUT)
        fail("capture stop timed out");
      ++states;
    }
    capture->setState(KSSTATE_STOP);
  });
  // Analog: state changes and buffers, and stream property gets on capture.
  threads.emplace_back([&] {
    const KSSTATE cycle[] = {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN, KSSTATE_STOP};
    for (unsigned i = 0; rel::Clock::now() < deadline; ++i) {
      if (analog->setState(cycle[i % 4]) == STATUS_IO_TIMEOUT) fail("analog state timed out");
      checkDone(analog->write(front::pattern(64, 1)), "an analog write");
      KSSTATE state;
      analog->getState(state);
      ++states;
      ++buffers;
      pause();
    }
    analog->setState(KSSTATE_STOP);
  });
  for (auto& t : threads) t.join();

  for (const auto& f : failures) ADD_FAILURE() << f;
  EXPECT_EQ(lost.load(), 0u);
  EXPECT_GT(properties.load(), 0u);
  EXPECT_GT(buffers.load(), 0u);
  std::cout << "[ threads  ] " << properties << " property calls, " << buffers << " buffers, "
            << states << " state rounds in " << runFor.count() << " ms" << std::endl;
  capture.reset();
  analog.reset();
  stack.finish("the concurrency run");
}

}  // namespace
