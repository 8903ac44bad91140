// Pool accounting and fault injection of the hosted executive.
//
// Every ExAllocatePoolWithTag block is counted by tag and pool kind until it
// is freed. Tests and the class driver read the counts, print what is still
// allocated, and make allocations fail on purpose. All calls are thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "pf/ke.h"

namespace pf::pool {

enum class Kind { NonPaged, Paged };

// The tag whose bytes in memory are the four characters of name ("KMF2"),
// as a driver writes it ('2FMK').
std::uint32_t makeTag(const char (&name)[5]);
// The four characters of a tag, in memory order.
std::string tagName(std::uint32_t tag);

struct Usage {
  std::size_t blocks = 0;
  std::size_t bytes = 0;
};

struct TagUsage {
  Usage nonPaged;
  Usage paged;
  Usage total() const { return {nonPaged.blocks + paged.blocks, nonPaged.bytes + paged.bytes}; }
};

// What is allocated now, for one tag or for all.
TagUsage outstanding(std::uint32_t tag);
TagUsage outstanding();
std::map<std::uint32_t, TagUsage> outstandingByTag();
// Allocations made (successful) since the start of the process.
std::size_t allocationsMade();

// Lists every block still allocated, by tag, with its size; empty when
// nothing is. With a tag, only blocks of that tag.
std::string leakReport();
std::string leakReport(std::uint32_t tag);
// Bugchecks with the leak report when any block (of the tag) is still
// allocated; what says where the check is made ("adapter removal").
void checkNoLeaks(const char* what);
void checkNoLeaks(const char* what, std::uint32_t tag);

// Which allocations an injected fault applies to; empty fields match all.
struct Filter {
  std::optional<std::uint32_t> tag;
  std::optional<Kind> kind;
};

// The n-th matching allocation from now fails (n = 1: the next one), once.
void failNth(unsigned n, Filter filter = {});
// Every matching allocation fails until reset().
void failAll(Filter filter = {});
// Removes every injected fault. Accounting is not touched.
void reset();
// Allocations failed by injection since the last reset().
std::size_t injectedFailures();

}  // namespace pf::pool
