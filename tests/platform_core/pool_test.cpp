// Pool accounting by tag, the leak report and fault injection.
#include <gtest/gtest.h>

#include "pf/host/pool.hpp"
#include "platform.h"

namespace {

const ULONG kDriverTag = pf::pool::makeTag("KMF2");
const ULONG kOtherTag = pf::pool::makeTag("Test");

class PoolTest : public ::testing::Test {
 protected:
  void TearDown() override { pf::pool::reset(); }
};

TEST_F(PoolTest, TagIsReadInMemoryOrder) {
  EXPECT_EQ(kDriverTag, 0x32464D4Bu);  // '2FMK' as a driver writes it
  EXPECT_EQ(pf::pool::tagName(kDriverTag), "KMF2");
}

TEST_F(PoolTest, CountsOutstandingBlocksByTagAndKind) {
  void* a = ExAllocatePoolWithTag(NonPagedPool, 100, kDriverTag);
  void* b = ExAllocatePoolWithTag(PagedPool, 28, kDriverTag);
  void* c = ExAllocatePoolWithTag(NonPagedPool, 5, kOtherTag);
  auto usage = pf::pool::outstanding(kDriverTag);
  EXPECT_EQ(usage.nonPaged.blocks, 1u);
  EXPECT_EQ(usage.nonPaged.bytes, 100u);
  EXPECT_EQ(usage.paged.blocks, 1u);
  EXPECT_EQ(usage.paged.bytes, 28u);
  EXPECT_EQ(pf::pool::outstandingByTag()[kOtherTag].total().bytes, 5u);

  const std::string report = pf::pool::leakReport(kDriverTag);
  EXPECT_NE(report.find("2 block(s), 128 bytes"), std::string::npos) << report;
  EXPECT_NE(report.find("tag 'KMF2'"), std::string::npos) << report;
  EXPECT_NE(report.find("sizes: 100 28"), std::string::npos) << report;
  EXPECT_EQ(report.find("Test"), std::string::npos);

  ExFreePoolWithTag(a, kDriverTag);
  ExFreePool(b);
  ExFreePool(c);
  EXPECT_EQ(pf::pool::outstanding(kDriverTag).total().blocks, 0u);
  EXPECT_EQ(pf::pool::leakReport(kDriverTag), "");
  pf::pool::checkNoLeaks("test end", kDriverTag);  // returns: nothing left
}

TEST_F(PoolTest, FailsTheNthMatchingAllocationOnce) {
  pf::pool::failNth(3);
  void* first = ExAllocatePoolWithTag(NonPagedPool, 8, kDriverTag);
  void* second = ExAllocatePoolWithTag(NonPagedPool, 8, kDriverTag);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kDriverTag), nullptr);
  void* fourth = ExAllocatePoolWithTag(NonPagedPool, 8, kDriverTag);
  EXPECT_NE(fourth, nullptr);
  EXPECT_EQ(pf::pool::injectedFailures(), 1u);
  for (void* p : {first, second, fourth}) ExFreePool(p);
}

TEST_F(PoolTest, FailsEveryAllocationThatMatchesTheFilter) {
  struct Case {
    pf::pool::Filter filter;
    bool pagedDriverFails, nonPagedDriverFails, nonPagedOtherFails;
  } cases[] = {
      {{}, true, true, true},
      {{kDriverTag, std::nullopt}, true, true, false},
      {{std::nullopt, pf::pool::Kind::Paged}, true, false, false},
      {{kOtherTag, pf::pool::Kind::NonPaged}, false, false, true},
  };
  for (const Case& c : cases) {
    pf::pool::reset();
    pf::pool::failAll(c.filter);
    for (int round = 0; round < 2; ++round) {
      void* p = ExAllocatePoolWithTag(PagedPool, 4, kDriverTag);
      void* n = ExAllocatePoolWithTag(NonPagedPool, 4, kDriverTag);
      void* o = ExAllocatePoolWithTag(NonPagedPool, 4, kOtherTag);
      EXPECT_EQ(p == nullptr, c.pagedDriverFails);
      EXPECT_EQ(n == nullptr, c.nonPagedDriverFails);
      EXPECT_EQ(o == nullptr, c.nonPagedOtherFails);
      for (void* block : {p, n, o})
        if (block) ExFreePool(block);
    }
  }
  pf::pool::reset();
  void* p = ExAllocatePoolWithTag(PagedPool, 4, kDriverTag);
  EXPECT_NE(p, nullptr);
  ExFreePool(p);
}

}  // namespace
