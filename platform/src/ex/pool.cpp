// Pool memory with tags, accounting, guard bytes and fault injection.
//
// Each block is [front guard][caller's bytes][back guard]; the guards are
// checked when the block is freed. Live blocks are kept in a table, so a
// free of anything else is caught, and recently freed addresses are
// remembered to tell a double free from a foreign pointer.
//
// Paged pool may be allocated and freed at up to APC_LEVEL (as on the
// platform; the driver itself keeps to PASSIVE_LEVEL), non-paged pool at up
// to DISPATCH_LEVEL; anything above is a bugcheck.
#include "pf/host/pool.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "internal.hpp"
#include "pf/host/verifier.hpp"

namespace pf::pool {
namespace {

constexpr std::size_t kGuard = 16;
constexpr unsigned char kFrontFill = 0xFB;
constexpr unsigned char kBackFill = 0xFE;
constexpr unsigned char kNewFill = 0xC5;
constexpr unsigned char kFreedFill = 0xDF;
constexpr std::size_t kFreedMemory = 1u << 20;

struct Block {
  std::size_t size;
  std::uint32_t tag;
  Kind kind;
  std::uint64_t sequence;
};

std::mutex gMutex;
std::unordered_map<void*, Block> gLive;
std::unordered_set<void*> gFreed;
std::uint64_t gSequence = 0;
std::size_t gMade = 0;

struct Fault {
  Filter filter;
  unsigned countdown = 0;  // failNth: 0 when inactive
  bool all = false;
};
std::vector<Fault> gFaults;
std::size_t gInjected = 0;

bool isPaged(POOL_TYPE type) { return (type & 1) != 0; }

bool matches(const Filter& filter, std::uint32_t tag, Kind kind) {
  return (!filter.tag || *filter.tag == tag) && (!filter.kind || *filter.kind == kind);
}

// Decides, under the lock, whether this allocation fails by injection.
bool injectLocked(std::uint32_t tag, Kind kind) {
  bool fail = false;
  for (auto it = gFaults.begin(); it != gFaults.end();) {
    if (matches(it->filter, tag, kind)) {
      if (it->all) {
        fail = true;
      } else if (--it->countdown == 0) {
        fail = true;
        it = gFaults.erase(it);
        continue;
      }
    }
    ++it;
  }
  if (fail) ++gInjected;
  return fail;
}

void addUsage(TagUsage& usage, const Block& block) {
  Usage& u = block.kind == Kind::Paged ? usage.paged : usage.nonPaged;
  u.blocks++;
  u.bytes += block.size;
}

std::string reportLocked(const std::optional<std::uint32_t>& onlyTag) {
  std::map<std::uint32_t, std::vector<const Block*>> byTag;
  for (auto& entry : gLive)
    if (!onlyTag || entry.second.tag == *onlyTag) byTag[entry.second.tag].push_back(&entry.second);
  if (byTag.empty()) return "";
  std::string text;
  std::size_t blocks = 0, bytes = 0;
  for (auto& [tag, list] : byTag) {
    std::sort(list.begin(), list.end(),
              [](const Block* a, const Block* b) { return a->sequence < b->sequence; });
    TagUsage usage;
    for (auto* block : list) addUsage(usage, *block);
    Usage total = usage.total();
    blocks += total.blocks;
    bytes += total.bytes;
    char line[256];
    std::snprintf(line, sizeof line,
                  "  tag '%s': %zu block(s), %zu bytes (non-paged %zu/%zu, paged %zu/%zu), sizes:",
                  tagName(tag).c_str(), total.blocks, total.bytes, usage.nonPaged.blocks,
                  usage.nonPaged.bytes, usage.paged.blocks, usage.paged.bytes);
    text += line;
    std::size_t shown = 0;
    for (auto* block : list) {
      if (shown++ == 32) {
        text += " ...";
        break;
      }
      text += " " + std::to_string(block->size);
    }
    text += "\n";
  }
  char head[128];
  std::snprintf(head, sizeof head, "pool still allocated: %zu block(s), %zu bytes\n", blocks, bytes);
  return head + text;
}

}  // namespace

std::uint32_t makeTag(const char (&name)[5]) {
  std::uint32_t tag;
  std::memcpy(&tag, name, 4);
  return tag;
}

std::string tagName(std::uint32_t tag) {
  char name[5] = {};
  std::memcpy(name, &tag, 4);
  for (char& c : name)
    if (c && (c < 0x20 || c > 0x7e)) c = '?';
  return std::string(name, 4);
}

TagUsage outstanding(std::uint32_t tag) {
  std::lock_guard<std::mutex> lock(gMutex);
  TagUsage usage;
  for (auto& entry : gLive)
    if (entry.second.tag == tag) addUsage(usage, entry.second);
  return usage;
}

TagUsage outstanding() {
  std::lock_guard<std::mutex> lock(gMutex);
  TagUsage usage;
  for (auto& entry : gLive) addUsage(usage, entry.second);
  return usage;
}

std::map<std::uint32_t, TagUsage> outstandingByTag() {
  std::lock_guard<std::mutex> lock(gMutex);
  std::map<std::uint32_t, TagUsage> result;
  for (auto& entry : gLive) addUsage(result[entry.second.tag], entry.second);
  return result;
}

std::size_t allocationsMade() {
  std::lock_guard<std::mutex> lock(gMutex);
  return gMade;
}

std::string leakReport() {
  std::lock_guard<std::mutex> lock(gMutex);
  return reportLocked(std::nullopt);
}

std::string leakReport(std::uint32_t tag) {
  std::lock_guard<std::mutex> lock(gMutex);
  return reportLocked(tag);
}

void checkNoLeaks(const char* what) {
  std::string report = leakReport();
  if (!report.empty()) bugcheck("pool leaked at %s: %s", what, report.c_str());
}

void checkNoLeaks(const char* what, std::uint32_t tag) {
  std::string report = leakReport(tag);
  if (!report.empty()) bugcheck("pool leaked at %s: %s", what, report.c_str());
}

void failNth(unsigned n, Filter filter) {
  if (n == 0) return;
  std::lock_guard<std::mutex> lock(gMutex);
  gFaults.push_back({filter, n, false});
}

void failAll(Filter filter) {
  std::lock_guard<std::mutex> lock(gMutex);
  gFaults.push_back({filter, 0, true});
}

void reset() {
  std::lock_guard<std::mutex> lock(gMutex);
  gFaults.clear();
  gInjected = 0;
}

std::size_t injectedFailures() {
  std::lock_guard<std::mutex> lock(gMutex);
  return gInjected;
}

}  // namespace pf::pool

using namespace pf::pool;
using pf::bugcheck;

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  const Kind kind = isPaged(PoolType) ? Kind::Paged : Kind::NonPaged;
  const KIRQL irql = KeGetCurrentIrql();
  if (kind == Kind::Paged && irql > APC_LEVEL)
    bugcheck("paged pool allocation (tag '%s', %zu bytes) at IRQL %u", tagName(Tag).c_str(),
             (size_t)NumberOfBytes, irql);
  if (irql > DISPATCH_LEVEL)
    bugcheck("pool allocation (tag '%s') at IRQL %u", tagName(Tag).c_str(), irql);
  if (NumberOfBytes > (SIZE_T(1) << 40))
    bugcheck("pool allocation of %zu bytes (tag '%s')", (size_t)NumberOfBytes, tagName(Tag).c_str());

  std::lock_guard<std::mutex> lock(gMutex);
  if (injectLocked(Tag, kind)) return nullptr;
  auto* raw = static_cast<unsigned char*>(std::malloc(NumberOfBytes + 2 * kGuard));
  if (!raw) return nullptr;
  std::memset(raw, kFrontFill, kGuard);
  std::memset(raw + kGuard, kNewFill, NumberOfBytes);
  std::memset(raw + kGuard + NumberOfBytes, kBackFill, kGuard);
  void* user = raw + kGuard;
  gLive[user] = Block{NumberOfBytes, Tag, kind, ++gSequence};
  if (!gFreed.empty()) gFreed.erase(user);
  ++gMade;
  return user;
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  return ExAllocatePoolWithTag(PoolType, NumberOfBytes, makeTag("None"));
}

// Frees a block; expectTag is checked when given.
static void freeBlock(PVOID P, const ULONG* expectTag) {
  if (!P) bugcheck("ExFreePool of a null pointer");
  std::unique_lock<std::mutex> lock(gMutex);
  auto it = gLive.find(P);
  if (it == gLive.end()) {
    bool doubleFree = gFreed.count(P) != 0;
    lock.unlock();
    if (doubleFree) bugcheck("double free of pool block %p", P);
    bugcheck("free of pointer %p that is not an allocated pool block", P);
  }
  Block block = it->second;
  const KIRQL irql = KeGetCurrentIrql();
  if ((block.kind == Kind::Paged && irql > APC_LEVEL) || irql > DISPATCH_LEVEL) {
    lock.unlock();
    bugcheck("free of %s pool block %p (tag '%s') at IRQL %u",
             block.kind == Kind::Paged ? "paged" : "non-paged", P, tagName(block.tag).c_str(), irql);
  }
  if (expectTag && *expectTag != block.tag) {
    lock.unlock();
    bugcheck("ExFreePoolWithTag of block %p with tag '%s'; it was allocated with tag '%s'", P,
             tagName(*expectTag).c_str(), tagName(block.tag).c_str());
  }
  auto* raw = static_cast<unsigned char*>(P) - kGuard;
  for (std::size_t i = 0; i < kGuard; ++i) {
    if (raw[i] != kFrontFill) {
      lock.unlock();
      bugcheck("pool block %p (tag '%s', %zu bytes) underrun: the guard before it was overwritten",
               P, tagName(block.tag).c_str(), block.size);
    }
    if (raw[kGuard + block.size + i] != kBackFill) {
      lock.unlock();
      bugcheck("pool block %p (tag '%s', %zu bytes) overrun: the guard after it was overwritten",
               P, tagName(block.tag).c_str(), block.size);
    }
  }
  gLive.erase(it);
  if (gFreed.size() >= kFreedMemory) gFreed.clear();
  gFreed.insert(P);
  std::memset(raw, kFreedFill, block.size + 2 * kGuard);
  std::free(raw);
}

void NTAPI ExFreePool(PVOID P) { freeBlock(P, nullptr); }

void NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) { freeBlock(P, &Tag); }

}  // extern "C"
