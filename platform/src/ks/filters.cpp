// Filters without kernel-streaming pins (StreamClassRegisterFilterWithNoKSPins),
// recorded per physical device object for clients to see.
#include <map>
#include <mutex>

#include "internal.hpp"

namespace pf::ks {
namespace {

std::mutex& filtersMutex() {
  static std::mutex m;
  return m;
}
std::map<PDEVICE_OBJECT, std::vector<RegisteredFilter>>& filters() {
  static std::map<PDEVICE_OBJECT, std::vector<RegisteredFilter>> f;
  return f;
}

}  // namespace

std::vector<RegisteredFilter> registeredFilters(PDEVICE_OBJECT physicalDevice) {
  std::lock_guard<std::mutex> lock(filtersMutex());
  auto it = filters().find(physicalDevice);
  return it == filters().end() ? std::vector<RegisteredFilter>{} : it->second;
}

void forgetRegisteredFilters(PDEVICE_OBJECT physicalDevice) {
  std::lock_guard<std::mutex> lock(filtersMutex());
  filters().erase(physicalDevice);
}

}  // namespace pf::ks

extern "C" NTSTATUS StreamClassRegisterFilterWithNoKSPins(PDEVICE_OBJECT DeviceObject,
                                                          const GUID* InterfaceClassGUID,
                                                          ULONG PinCount, BOOL* PinDirection,
                                                          KSPIN_MEDIUM* MediumList,
                                                          GUID* CategoryList) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) return STATUS_INVALID_DEVICE_STATE;
  if (DeviceObject == nullptr || InterfaceClassGUID == nullptr) return STATUS_INVALID_PARAMETER;
  if (PinCount > 0 && PinDirection == nullptr) return STATUS_INVALID_PARAMETER;

  pf::ks::RegisteredFilter filter;
  filter.category = *InterfaceClassGUID;
  for (ULONG i = 0; i < PinCount; ++i) {
    filter.pinIsOutput.push_back(PinDirection[i] != FALSE);
    if (MediumList != nullptr) filter.mediums.push_back(MediumList[i]);
    if (CategoryList != nullptr) filter.categories.push_back(CategoryList[i]);
  }
  std::lock_guard<std::mutex> lock(pf::ks::filtersMutex());
  pf::ks::filters()[DeviceObject].push_back(std::move(filter));
  return STATUS_SUCCESS;
}
