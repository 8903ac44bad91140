// Events, semaphores, waits with and without time-out, the virtual clock,
// system threads and interlocked lists.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "pf/host/clock.hpp"
#include "pf/host/threads.hpp"
#include "platform.h"

namespace {

LARGE_INTEGER relative(LONGLONG ticks) {
  LARGE_INTEGER t;
  t.QuadPart = -ticks;
  return t;
}

TEST(DispatcherTest, NotificationEventReleasesEveryWaiterAndStaysSet) {
  KEVENT event{};  // zero-filled: a notification event, not signalled
  LARGE_INTEGER poll = relative(0);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
  std::atomic<int> woken{0};
  std::thread a([&] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr); ++woken; });
  std::thread b([&] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr); ++woken; });
  EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0);
  a.join();
  b.join();
  EXPECT_EQ(woken, 2);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
  EXPECT_EQ(KeResetEvent(&event), 1);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST(DispatcherTest, SynchronizationEventLetsOneWaiterThrough) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, TRUE);
  LARGE_INTEGER poll = relative(0);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
}

TEST(DispatcherTest, SemaphoreCountsReleasesUpToItsLimit) {
  KSEMAPHORE semaphore;
  KeInitializeSemaphore(&semaphore, 0, MAXLONG);
  EXPECT_EQ(KeReleaseSemaphore(&semaphore, 0, 1, FALSE), 0);
  EXPECT_EQ(KeReleaseSemaphore(&semaphore, 0, 2, FALSE), 1);
  EXPECT_EQ(KeReadStateSemaphore(&semaphore), 3);
  LARGE_INTEGER poll = relative(0);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
}

TEST(DispatcherTest, RealTimedWaitExpires) {
  KEVENT event{};
  LARGE_INTEGER timeout = relative(200'000);  // 20 ms
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(19));
}

class VirtualClockTest : public ::testing::Test {
 protected:
  pf::clock::VirtualScope scope;
};

TEST_F(VirtualClockTest, DelaysCostNoRealTimeAndAreCounted) {
  LARGE_INTEGER frequency;
  LONGLONG before = KeQueryPerformanceCounter(&frequency).QuadPart;
  EXPECT_EQ(frequency.QuadPart, pf::clock::kTicksPerSecond);
  LARGE_INTEGER systemBefore;
  KeQuerySystemTime(&systemBefore);
  auto start = std::chrono::steady_clock::now();
  LARGE_INTEGER second = relative(10'000'000);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &second), STATUS_SUCCESS);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_EQ(KeQueryPerformanceCounter(nullptr).QuadPart - before, 5 * pf::clock::kTicksPerSecond);
  LARGE_INTEGER systemAfter;
  KeQuerySystemTime(&systemAfter);
  EXPECT_EQ(systemAfter.QuadPart - systemBefore.QuadPart, 5 * pf::clock::kTicksPerSecond);
  EXPECT_EQ(pf::clock::totalDelay(), 5 * pf::clock::kTicksPerSecond);
  EXPECT_EQ(pf::clock::delayCount(), 5u);
}

TEST_F(VirtualClockTest, TimedWaitWithNobodyToSignalJumpsToItsDeadline) {
  KEVENT event{};
  LARGE_INTEGER hour = relative(36'000'000'000LL);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &hour), STATUS_TIMEOUT);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(pf::clock::now(), 36'000'000'000LL);
  EXPECT_EQ(pf::clock::timedOutCount(), 1u);
}

TEST_F(VirtualClockTest, TimedWaitSignalledWithinTheGraceLeavesTimeAlone) {
  pf::clock::setGrace(std::chrono::milliseconds(5000));
  KEVENT event{};
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    KeSetEvent(&event, 0, FALSE);
  });
  LARGE_INTEGER minute = relative(600'000'000LL);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &minute), STATUS_SUCCESS);
  setter.join();
  EXPECT_EQ(pf::clock::now(), 0);
  pf::clock::setGrace(std::chrono::milliseconds(20));
}

TEST_F(VirtualClockTest, ADelayElsewhereExpiresAnEarlierDeadline) {
  // The grace is long: the waiter must end because time passed its deadline,
  // not because its grace ran out (that would move time to 1 h, then 3 h).
  pf::clock::setGrace(std::chrono::milliseconds(60'000));
  constexpr LONGLONG kHour = 36'000'000'000LL;
  KEVENT event{};
  std::atomic<NTSTATUS> result{STATUS_PENDING};
  std::thread waiter([&] {
    LARGE_INTEGER hour = relative(kHour);
    result = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &hour);
  });
  // Delays of 2 h until the waiter has gone: time stays a multiple of 2 h
  // unless the waiter moved it to its own deadline.
  for (int i = 0; i < 500 && result == STATUS_PENDING; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    LARGE_INTEGER twoHours = relative(2 * kHour);
    KeDelayExecutionThread(KernelMode, FALSE, &twoHours);
  }
  waiter.join();
  EXPECT_EQ(result, STATUS_TIMEOUT);
  EXPECT_EQ(pf::clock::now() % (2 * kHour), 0);
  pf::clock::setGrace(std::chrono::milliseconds(20));
}

struct WorkerContext {
  KSEMAPHORE semaphore;
  KEVENT exited;
  std::atomic<int> handled{0};
  std::atomic<bool> stop{false};
};

VOID NTAPI workerMain(PVOID argument) {
  auto* context = static_cast<WorkerContext*>(argument);
  KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
  for (;;) {
    KeWaitForSingleObject(&context->semaphore, Executive, KernelMode, FALSE, nullptr);
    if (context->stop) break;
    ++context->handled;
  }
  KeSetEvent(&context->exited, 0, FALSE);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST(SystemThreadTest, RunsRecordsItsPriorityAndTerminates) {
  auto* context = new WorkerContext;
  KeInitializeSemaphore(&context->semaphore, 0, MAXLONG);
  KeInitializeEvent(&context->exited, NotificationEvent, FALSE);
  HANDLE handle = nullptr;
  ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, workerMain,
                                 context),
            STATUS_SUCCESS);
  for (int i = 0; i < 3; ++i) KeReleaseSemaphore(&context->semaphore, 0, 1, FALSE);
  context->stop = true;
  // The stop flag may be seen before all three wakes: only the exit matters.
  KeReleaseSemaphore(&context->semaphore, 0, 1, FALSE);
  LARGE_INTEGER limit = relative(50'000'000);
  ASSERT_EQ(KeWaitForSingleObject(&context->exited, Executive, KernelMode, FALSE, &limit),
            STATUS_SUCCESS);
  ASSERT_TRUE(pf::threads::waitAllEnded(std::chrono::seconds(5)));
  bool found = false;
  for (auto& t : pf::threads::systemThreads())
    if (t.handle == handle) {
      found = true;
      EXPECT_EQ(t.priority, LOW_REALTIME_PRIORITY);
      EXPECT_FALSE(t.running);
      EXPECT_EQ(t.routine, workerMain);
    }
  EXPECT_TRUE(found);
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
  pf::threads::forgetFinished();
  delete context;
}

TEST(SystemThreadTest, CurrentThreadIsStablePerThread) {
  PKTHREAD mine = KeGetCurrentThread();
  EXPECT_EQ(KeGetCurrentThread(), mine);
  PKTHREAD other = nullptr;
  std::thread([&] { other = KeGetCurrentThread(); }).join();
  EXPECT_NE(other, mine);
  EXPECT_EQ(KeSetPriorityThread(mine, 12), 8);
  EXPECT_EQ(pf::threads::priority(mine), 12);
  KeSetPriorityThread(mine, 8);
}

TEST(InterlockedListTest, QueueIsFifoAndReportsEmptiness) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  LIST_ENTRY head, a, b;
  InitializeListHead(&head);
  EXPECT_EQ(ExInterlockedInsertTailList(&head, &a, &lock), nullptr);  // was empty
  EXPECT_EQ(ExInterlockedInsertTailList(&head, &b, &lock), &a);
  EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &a);
  EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &b);
  EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), nullptr);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(lock, 0u);
}

TEST(SpinLockTest, RaisesToDispatchAndExcludesOtherThreads) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  long counter = 0;
  auto work = [&] {
    for (int i = 0; i < 20000; ++i) {
      KIRQL old;
      KeAcquireSpinLock(&lock, &old);
      EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
      ++counter;
      KeReleaseSpinLock(&lock, old);
    }
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  EXPECT_EQ(counter, 40000);
}

}  // namespace
