// The transfer worker: order, what reaches the wire, failures, cancel,
// draining at stop and at teardown, and requests that arrive after it ended.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "driver/drventry.h"
#include "driver/thread.h"
#include "front.hpp"
#include "pf/host/ks_client.hpp"
#include "support/rig.hpp"

namespace {

using front::openPin;
using front::pattern;
using front::sendState;
using front::waitAll;

constexpr std::uint8_t kBulkIn = 0x81, kBulkOut = 0x02;

emu::UnitOptions unitWith(const std::string& faults) {
  emu::UnitOptions unit = rig::testUnit();
  std::string why;
  auto script = emu::parseFaultScript(faults, &why);
  EXPECT_TRUE(script) << why;
  if (script) unit.faults = *script;
  return unit;
}

// The playback pin, moved to RUN directly (no decoder start): the unit takes
// what arrives on bulk OUT whatever its mode.
struct PlaybackRig {
  explicit PlaybackRig(emu::UnitOptions unit = rig::testUnit()) : rig(unit) {
    EXPECT_TRUE(rig.ok()) << rig.why();
    if (!rig.ok()) return;
    pin = openPin(rig.filter(), StreamPlayback);
    if (pin) EXPECT_EQ(sendState(*pin, KSSTATE_RUN), STATUS_SUCCESS);
  }
  std::vector<std::uint8_t> wire() const { return rig.unit().bulkLog(kBulkOut).bytes; }
  rig::DriverRig rig;
  std::unique_ptr<pf::ks::Pin> pin;
};

TEST(Worker, WritesReachTheUnitWholeAndInArrivalOrder) {
  PlaybackRig p;
  ASSERT_TRUE(p.pin);
  std::vector<std::vector<std::uint8_t>> buffers = {pattern(100000, 1), pattern(65536, 2),
                                                    pattern(3, 3)};
  std::vector<pf::ks::RequestPtr> writes;
  for (const auto& b : buffers) {
    writes.push_back(p.pin->write(b, KSSTREAM_HEADER_OPTIONSF_TIMEVALID));
  }
  ASSERT_TRUE(waitAll(writes));
  std::vector<std::uint8_t> expected;
  for (std::size_t i = 0; i < writes.size(); ++i) {
    EXPECT_EQ(writes[i]->status(), STATUS_SUCCESS);
    EXPECT_EQ(writes[i]->header().DataUsed, buffers[i].size());
    EXPECT_EQ(writes[i]->header().OptionsFlags, (ULONG)KSSTREAM_HEADER_OPTIONSF_TIMEVALID);
    expected.insert(expected.end(), buffers[i].begin(), buffers[i].end());
  }
  EXPECT_EQ(p.wire(), expected);

  // A write that claims more bytes than its buffer holds sends nothing, and
  // a request without a stream header is refused.
  std::vector<pf::ks::StreamBuffer> overlong(1);
  overlong[0].data = pattern(16, 9);
  overlong[0].dataUsed = 17;
  auto refused = p.pin->submit(SRB_WRITE_DATA, std::move(overlong));
  auto headerless = p.pin->submit(SRB_WRITE_DATA, {});
  ASSERT_TRUE(waitAll({refused, headerless}));
  EXPECT_EQ(refused->status(), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(refused->header().DataUsed, 17u);
  EXPECT_EQ(headerless->status(), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(p.wire(), expected);
}

TEST(Worker, ReadsInRunCarryTheUnitsStreamInOrder) {
  rig::DriverRig rig;
  ASSERT_TRUE(rig.ok()) << rig.why();
  auto pin = openPin(rig.filter(), StreamCapture);
  ASSERT_TRUE(pin);
  ASSERT_EQ(pin->setState(KSSTATE_RUN), STATUS_SUCCESS);

  std::vector<pf::ks::RequestPtr> reads;
  for (int i = 0; i < 3; ++i) {
    std::vector<pf::ks::StreamBuffer> buffers(1);
    buffers[0].data.resize(131072);
    buffers[0].optionsFlags = KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_SPLICEPOINT;
    reads.push_back(pin->submit(SRB_READ_DATA, std::move(buffers)));
  }
  ASSERT_TRUE(waitAll(reads));
  std::vector<std::uint8_t> received;
  for (const auto& read : reads) {
    EXPECT_EQ(read->status(), STATUS_SUCCESS);
    const KSSTREAM_HEADER& h = read->header();
    EXPECT_GT(h.DataUsed, 0u);
    EXPECT_EQ(h.OptionsFlags, 0u);
    EXPECT_EQ(h.PresentationTime.Time, 0);
    EXPECT_EQ(h.PresentationTime.Numerator, 0u);
    EXPECT_EQ(h.PresentationTime.Denominator, 0u);
    EXPECT_EQ(h.Duration, 0);
    received.insert(received.end(), read->data().begin(), read->data().begin() + h.DataUsed);
  }
  EXPECT_EQ(pin->setState(KSSTATE_STOP), STATUS_SUCCESS);
  // Bulk IN also carried the microcode acknowledgements before the stream.
  auto wire = rig.unit().bulkLog(kBulkIn).bytes;
  EXPECT_NE(std::search(wire.begin(), wire.end(), received.begin(), received.end()), wire.end())
      << "the reads do not hold the unit's bytes in order";
  EXPECT_EQ(received[0], 0x00);  // an MPEG pack start code 00 00 01 BA
  EXPECT_EQ(received[3], 0xBA);
}

// After a failed transfer nothing moves until the stream enters RUN again.
TEST(Worker, ATransferFailureStopsDataUntilRunAgain) {
  PlaybackRig p(unitWith("out#2=C0000004/100"));
  ASSERT_TRUE(p.pin);
  auto first = p.pin->write(pattern(1000, 1));
  auto failing = p.pin->write(pattern(1000, 2));
  auto skipped = p.pin->write(pattern(1000, 3));
  ASSERT_TRUE(waitAll({first, failing, skipped}));
  EXPECT_EQ(first->status(), STATUS_SUCCESS);
  EXPECT_FALSE(NT_SUCCESS(failing->status()));
  EXPECT_EQ(failing->header().DataUsed, 100u);
  EXPECT_EQ(skipped->status(), STATUS_SUCCESS);
  EXPECT_EQ(skipped->header().DataUsed, 1000u);  // as the caller gave it: untouched
  EXPECT_NE(p.rig.device()->Flags & TransferFailed, 0u);
  EXPECT_EQ(p.rig.unit().bulkLog(kBulkOut).total, 1100u);

  ASSERT_EQ(sendState(*p.pin, KSSTATE_RUN), STATUS_SUCCESS);
  auto again = p.pin->write(pattern(500, 4));
  ASSERT_TRUE(waitAll({again}));
  EXPECT_EQ(again->status(), STATUS_SUCCESS);
  EXPECT_EQ(p.rig.unit().bulkLog(kBulkOut).total, 1600u);
}

// With the unit slow to take data, requests wait in the queue behind the
// transfer in progress.
constexpr const char* kSlowBulk = "slow-bulk=300";

// Waits (bounded) until the worker has taken the first request and `queued`
// wait behind it.
bool workerTookFirst(DeviceContext* device, LONG queued) {
  auto deadline = std::chrono::steady_clock::now() + front::kWait;
  while (__atomic_load_n(&device->WorkerPending, __ATOMIC_SEQ_CST) != queued) {
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "the worker did not take up its first request";
      return false;
    }
    std::this_thread::yield();
  }
  return true;
}

TEST(Worker, RequestsTakenAfterPauseCompleteWithoutData) {
  PlaybackRig p(unitWith(kSlowBulk));
  ASSERT_TRUE(p.pin);
  auto moving = p.pin->write(pattern(512, 1));
  auto waiting = p.pin->write(pattern(512, 2));
  ASSERT_TRUE(workerTookFirst(p.rig.device(), 1));
  ASSERT_EQ(sendState(*p.pin, KSSTATE_PAUSE), STATUS_SUCCESS);  // from RUN: no start
  ASSERT_TRUE(waitAll({moving, waiting}));
  EXPECT_EQ(moving->status(), STATUS_SUCCESS);
  EXPECT_EQ(waiting->status(), STATUS_SUCCESS);
  EXPECT_EQ(waiting->header().DataUsed, 512u);
  EXPECT_EQ(p.wire(), pattern(512, 1));
}

TEST(Worker, StopWaitsForTheTransferInProgressAndTheQueue) {
  PlaybackRig p(unitWith(kSlowBulk));
  ASSERT_TRUE(p.pin);
  auto moving = p.pin->write(pattern(512, 1));
  auto waiting = p.pin->write(pattern(512, 2));
  ASSERT_TRUE(workerTookFirst(p.rig.device(), 1));
  ASSERT_EQ(sendState(*p.pin, KSSTATE_STOP), STATUS_SUCCESS);
  // The stop returned only after the worker had finished with both.
  EXPECT_TRUE(moving->completed());
  EXPECT_TRUE(waiting->completed());
  EXPECT_EQ(p.wire(), pattern(512, 1));
}

TEST(Worker, CancelTakesAQueuedRequestOutAtOnce) {
  PlaybackRig p(unitWith(kSlowBulk));
  ASSERT_TRUE(p.pin);
  auto moving = p.pin->write(pattern(512, 1));
  auto cancelled = p.pin->write(pattern(512, 2));
  auto after = p.pin->write(pattern(512, 3));
  ASSERT_TRUE(workerTookFirst(p.rig.device(), 2));
  cancelled->cancel();
  ASSERT_TRUE(cancelled->completed());
  EXPECT_EQ(cancelled->status(), STATUS_CANCELLED);
  EXPECT_EQ(cancelled->header().DataUsed, 0u);
  ASSERT_TRUE(waitAll({moving, after}));
  EXPECT_EQ(moving->status(), STATUS_SUCCESS);
  EXPECT_EQ(after->status(), STATUS_SUCCESS);
  std::vector<std::uint8_t> expected = pattern(512, 1);
  std::vector<std::uint8_t> third = pattern(512, 3);
  expected.insert(expected.end(), third.begin(), third.end());
  EXPECT_EQ(p.wire(), expected);
  EXPECT_EQ(__atomic_load_n(&p.rig.device()->WorkerPending, __ATOMIC_SEQ_CST), 0);
}

// Closing a stream with requests still queued: the close cancels them, so
// none outlives the stream; the one in transfer finishes.
TEST(Worker, CloseCancelsWhatIsQueued) {
  PlaybackRig p(unitWith(kSlowBulk));
  ASSERT_TRUE(p.pin);
  auto moving = p.pin->write(pattern(512, 1));
  auto queued = p.pin->write(pattern(512, 2));
  ASSERT_TRUE(workerTookFirst(p.rig.device(), 1));
  EXPECT_EQ(p.pin->close(), STATUS_SUCCESS);
  ASSERT_TRUE(waitAll({moving, queued}));
  EXPECT_EQ(moving->status(), STATUS_SUCCESS);
  EXPECT_EQ(queued->status(), STATUS_CANCELLED);
  EXPECT_EQ(p.wire(), pattern(512, 1));
}

TEST(Worker, TeardownCompletesQueuedRequestsWithoutData) {
  PlaybackRig p(unitWith(kSlowBulk));
  ASSERT_TRUE(p.pin);
  std::vector<pf::ks::RequestPtr> writes;
  for (int i = 0; i < 4; ++i) writes.push_back(p.pin->write(pattern(512, i)));
  ASSERT_TRUE(workerTookFirst(p.rig.device(), 3));
  // Uninitialise with the pin still open (the class driver's removal would
  // close it first); returns only once WorkerStop has.
  EXPECT_EQ(p.rig.adapter().callDevice(SRB_UNINITIALIZE_DEVICE), STATUS_SUCCESS);
  ASSERT_TRUE(waitAll(writes));
  for (const auto& w : writes) {
    EXPECT_EQ(w->status(), STATUS_SUCCESS);
    EXPECT_EQ(w->header().DataUsed, 512u);
  }
  EXPECT_EQ(p.rig.unit().bulkLog(kBulkOut).total, 512u);  // only the one in transfer
  // Closing after teardown sends nothing to the unit.
  auto control = p.rig.unit().controlLog().size();
  EXPECT_EQ(p.pin->close(), STATUS_SUCCESS);
  EXPECT_EQ(p.rig.unit().controlLog().size(), control);
}

// Data requests that arrive after the worker was told to exit neither keep
// it from ending nor stay uncompleted.
TEST(Worker, RequestsAfterTheWorkerEndedAreCompleted) {
  PlaybackRig p;
  ASSERT_TRUE(p.pin);
  DeviceContext* device = p.rig.device();
  WorkerStop(device);
  EXPECT_EQ(device->WorkerCommand, WorkerCommandEnded);
  auto late = p.pin->write(pattern(64, 1));
  ASSERT_TRUE(waitAll({late}));
  EXPECT_EQ(late->status(), STATUS_SUCCESS);
  EXPECT_EQ(p.rig.unit().bulkLog(kBulkOut).total, 0u);
  EXPECT_EQ(device->WorkerCommand, WorkerCommandEnded);  // the exit stands
}

TEST(Worker, StopRacingWithQueuersStrandsNothing) {
  for (int round = 0; round < 5; ++round) {
    PlaybackRig p;
    ASSERT_TRUE(p.pin);
    ASSERT_EQ(sendState(*p.pin, KSSTATE_ACQUIRE), STATUS_SUCCESS);  // queued, never moved
    constexpr int kThreads = 3, kEach = 40;
    std::vector<pf::ks::RequestPtr> requests[kThreads];
    std::atomic<bool> go{false};
    std::vector<std::thread> queuers;
    for (int t = 0; t < kThreads; ++t) {
      queuers.emplace_back([&, t] {
        while (!go.load()) std::this_thread::yield();
        for (int i = 0; i < kEach; ++i) requests[t].push_back(p.pin->write(pattern(16, t)));
      });
    }
    go = true;
    WorkerStop(p.rig.device());  // returns only once the thread has ended
    for (auto& q : queuers) q.join();
    for (const auto& list : requests) {
      ASSERT_TRUE(waitAll(list)) << "round " << round;
      for (const auto& r : list) EXPECT_EQ(r->status(), STATUS_SUCCESS);
    }
    EXPECT_EQ(p.rig.device()->WorkerCommand, WorkerCommandEnded);
  }
}

}  // namespace
