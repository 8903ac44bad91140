// The verifier: each kernel rule the platform enforces ends in a bugcheck
// with a message naming the violation.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "pf/host/pool.hpp"
#include "pf/host/verifier.hpp"
#include "platform.h"

namespace {

KSPIN_LOCK gLockA = 0, gLockB = 0;

struct Violation {
  const char* name;
  std::function<void()> act;
  const char* message;
};

void atDispatch(const std::function<void()>& body) {
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  body();
  KfLowerIrql(old);
}

LARGE_INTEGER gSecond = {{0xFF676980u, -1}};  // -10,000,000: one second, relative
LARGE_INTEGER gZero = {};

const Violation kViolations[] = {
    {"WaitWithoutTimeoutAtDispatch",
     [] {
       KEVENT e{};
       atDispatch([&] { KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr); });
     },
     "KeWaitForSingleObject with no time-out at IRQL 2"},
    {"TimedWaitAtDispatch",
     [] {
       KEVENT e{};
       atDispatch([&] { KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &gSecond); });
     },
     "KeWaitForSingleObject with a non-zero time-out at IRQL 2"},
    {"DelayAtDispatch",
     [] { atDispatch([] { KeDelayExecutionThread(KernelMode, FALSE, &gSecond); }); },
     "KeDelayExecutionThread with a non-zero interval at IRQL 2"},
    {"WaitWhileHoldingSpinLock",
     [] {
       KEVENT e{};
       KIRQL old = KfAcquireSpinLock(&gLockA);
       KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr);
       KfReleaseSpinLock(&gLockA, old);
     },
     "KeWaitForSingleObject would block while spin lock .* is held"},
    {"SecondSpinLock",
     [] {
       KIRQL old = KfAcquireSpinLock(&gLockA);
       KfAcquireSpinLock(&gLockB);
       KfReleaseSpinLock(&gLockA, old);
     },
     "spin lock .* acquired while spin lock .* is held"},
    {"SpinLockInsideCancelLock",
     [] {
       KIRQL old;
       IoAcquireCancelSpinLock(&old);
       ExInterlockedRemoveHeadList(nullptr, &gLockA);
     },
     "acquired while spin lock"},
    {"ReleaseOfALockNotHeld", [] { KfReleaseSpinLock(&gLockA, PASSIVE_LEVEL); },
     "does not hold"},
    {"RaiseBelowCurrent", [] { atDispatch([] { KfRaiseIrql(PASSIVE_LEVEL); }); },
     "KfRaiseIrql to 0 below the current IRQL 2"},
    {"LowerAboveCurrent", [] { KfLowerIrql(DISPATCH_LEVEL); },
     "KfLowerIrql to 2 above the current IRQL 0"},
    {"PagedPoolAtDispatch",
     [] { atDispatch([] { ExAllocatePoolWithTag(PagedPool, 16, pf::pool::makeTag("KMF2")); }); },
     "paged pool allocation \\(tag 'KMF2', 16 bytes\\) at IRQL 2"},
    {"DoubleFree",
     [] {
       void* p = ExAllocatePoolWithTag(NonPagedPool, 16, pf::pool::makeTag("KMF2"));
       ExFreePool(p);
       ExFreePool(p);
     },
     "double free of pool block"},
    {"FreeOfAForeignPointer",
     [] {
       static char local[16];
       ExFreePool(local);
     },
     "free of pointer .* that is not an allocated pool block"},
    {"FreeWithTheWrongTag",
     [] {
       void* p = ExAllocatePoolWithTag(NonPagedPool, 16, pf::pool::makeTag("KMF2"));
       ExFreePoolWithTag(p, pf::pool::makeTag("Othr"));
     },
     "with tag 'Othr'; it was allocated with tag 'KMF2'"},
    {"Overrun",
     [] {
       auto* p = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 10, pf::pool::makeTag("KMF2")));
       p[10] = 0;
       ExFreePool(p);
     },
     "pool block .* \\(tag 'KMF2', 10 bytes\\) overrun"},
    {"Underrun",
     [] {
       auto* p = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 10, pf::pool::makeTag("KMF2")));
       p[-1] = 0;
       ExFreePool(p);
     },
     "underrun"},
    {"LeakAtRemoval",
     [] {
       ExAllocatePoolWithTag(NonPagedPool, 48, pf::pool::makeTag("KMF2"));
       pf::pool::checkNoLeaks("adapter removal", pf::pool::makeTag("KMF2"));
     },
     "pool leaked at adapter removal: pool still allocated: 1 block\\(s\\), 48 bytes"},
    {"SemaphoreLimit",
     [] {
       KSEMAPHORE s;
       KeInitializeSemaphore(&s, 1, 1);
       KeReleaseSemaphore(&s, 0, 1, FALSE);
     },
     "exceeds the limit 1 \\(STATUS_SEMAPHORE_LIMIT_EXCEEDED\\)"},
    {"RegistryAbovePassive",
     [] {
       atDispatch([] {
         HANDLE h;
         DEVICE_OBJECT pdo{};
         IoOpenDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &h);
       });
     },
     "IoOpenDeviceRegistryKey called at IRQL 2"},
    {"ClassDriverReportsSecondCompletion",
     [] {
       int request = 0;
       pf::verifier::requestCompletedTwice("SRB", &request);
     },
     "request completed twice: SRB"},
};

class VerifierDeathTest : public ::testing::TestWithParam<Violation> {};

TEST_P(VerifierDeathTest, Bugchecks) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(GetParam().act(), std::string("BUGCHECK: .*") + GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Rules, VerifierDeathTest, ::testing::ValuesIn(kViolations),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           name.erase(std::remove(name.begin(), name.end(), ' '), name.end());
                           return name;
                         });

TEST(VerifierTest, APollAtDispatchIsAllowed) {
  KEVENT e{};
  atDispatch([&] {
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &gZero), STATUS_TIMEOUT);
    EXPECT_EQ(KeSetEvent(&e, 0, FALSE), 0);
  });
}

}  // namespace
