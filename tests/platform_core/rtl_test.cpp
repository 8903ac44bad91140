// Run-time library helpers and the DbgPrint trace.
#include <gtest/gtest.h>

#include "pf/host/trace.hpp"
#include "platform.h"

namespace {

TEST(RtlTest, CompareMemoryCountsTheEqualPrefix) {
  const char a[] = "C3UX\x01", b[] = "C3UY\x01";
  EXPECT_EQ(RtlCompareMemory(a, b, 5), 3u);
  EXPECT_EQ(RtlCompareMemory(a, a, 5), 5u);
  EXPECT_EQ(RtlCompareMemory(a, b, 0), 0u);
}

TEST(RtlTest, CountedStringsMeasureBytesWithoutTheTerminator) {
  UNICODE_STRING u;
  RtlInitUnicodeString(&u, L"BitRate");
  EXPECT_EQ(u.Length, 7 * sizeof(WCHAR));
  EXPECT_EQ(u.MaximumLength, 8 * sizeof(WCHAR));
  RtlInitUnicodeString(&u, nullptr);
  EXPECT_EQ(u.Length, 0);
  EXPECT_EQ(u.Buffer, nullptr);
  ANSI_STRING s;
  RtlInitAnsiString(&s, "Waited");
  EXPECT_EQ(s.Length, 6);
  EXPECT_EQ(s.MaximumLength, 7);
}

TEST(TraceTest, DbgPrintLinesAreKeptWhole) {
  pf::trace::clear();
  DbgPrint("Staged RW Time Taken %d", 12);
  EXPECT_TRUE(pf::trace::lines().empty());  // the line is not finished yet
  DbgPrint(" ms\nWaited %s\n", "3 us");
  std::vector<std::string> expected = {"Staged RW Time Taken 12 ms", "Waited 3 us"};
  EXPECT_EQ(pf::trace::lines(), expected);
  EXPECT_EQ(pf::trace::count("Waited"), 1u);
  pf::trace::clear();
  EXPECT_FALSE(pf::trace::contains("Waited"));
}

}  // namespace
