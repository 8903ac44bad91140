// The handle table shared by keys, files and threads.
#include "pf/host/handles.hpp"

#include <cstdio>
#include <map>

#include "internal.hpp"

namespace pf::detail {
namespace {

std::mutex gMutex;
std::map<ULONG_PTR, std::shared_ptr<HandleObject>> gHandles;
ULONG_PTR gNext = 0x1000;

}  // namespace

HANDLE insertHandle(std::shared_ptr<HandleObject> object) {
  std::lock_guard<std::mutex> lock(gMutex);
  gNext += 4;  // never reused: a stale handle stays invalid
  gHandles.emplace(gNext, std::move(object));
  return reinterpret_cast<HANDLE>(gNext);
}

std::shared_ptr<HandleObject> lookupHandle(HANDLE handle) {
  std::lock_guard<std::mutex> lock(gMutex);
  auto it = gHandles.find(reinterpret_cast<ULONG_PTR>(handle));
  return it == gHandles.end() ? nullptr : it->second;
}

bool removeHandle(HANDLE handle) {
  std::shared_ptr<HandleObject> object;  // destroyed outside the lock
  std::lock_guard<std::mutex> lock(gMutex);
  auto it = gHandles.find(reinterpret_cast<ULONG_PTR>(handle));
  if (it == gHandles.end()) return false;
  object = std::move(it->second);
  gHandles.erase(it);
  return true;
}

}  // namespace pf::detail

namespace pf::handles {

std::size_t openCount(const std::string& kind) {
  std::lock_guard<std::mutex> lock(detail::gMutex);
  std::size_t n = 0;
  for (auto& entry : detail::gHandles)
    if (kind == entry.second->kind()) ++n;
  return n;
}

std::size_t openCount() {
  std::lock_guard<std::mutex> lock(detail::gMutex);
  return detail::gHandles.size();
}

std::string report() {
  std::lock_guard<std::mutex> lock(detail::gMutex);
  std::string text;
  for (auto& entry : detail::gHandles) {
    char head[64];
    std::snprintf(head, sizeof head, "0x%lx %s ", (unsigned long)entry.first,
                  entry.second->kind());
    text += head + entry.second->describe() + "\n";
  }
  return text;
}

}  // namespace pf::handles

extern "C" NTSTATUS NTAPI ZwClose(HANDLE Handle) {
  pf::detail::requireIrqlAtMost(PASSIVE_LEVEL, "ZwClose");
  return pf::detail::removeHandle(Handle) ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}
