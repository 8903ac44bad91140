// Loading a stream minidriver and its registration with the class driver
// (StreamClassRegisterAdapter).
#include <algorithm>
#include <cstring>
#include <mutex>

#include "internal.hpp"

namespace pf::ks {
namespace {

// Driver objects whose DriverEntry is running, so that the registration
// finds the state it belongs to.
std::mutex& loadingMutex() {
  static std::mutex m;
  return m;
}
std::vector<detail::DriverState*>& loading() {
  static std::vector<detail::DriverState*> l;
  return l;
}

bool sizeFieldValid(const HW_INITIALIZATION_DATA& data) {
  if (data.HwInitializationDataSize == sizeof(HW_INITIALIZATION_DATA)) return true;
  // The versioned form: a 16-bit size and the class version.
  return data.StreamClassVersion == STREAM_CLASS_VERSION_20 &&
         data.SizeOfThisPacket == sizeof(HW_INITIALIZATION_DATA);
}

}  // namespace

NTSTATUS Minidriver::load(PDRIVER_INITIALIZE entry, std::unique_ptr<Minidriver>& out,
                          const std::wstring& serviceName) {
  out.reset();
  if (entry == nullptr) return STATUS_INVALID_PARAMETER;
  auto state = std::make_shared<detail::DriverState>();
  state->driverObject.Type = 4;  // IO_TYPE_DRIVER
  state->driverObject.Size = sizeof(DRIVER_OBJECT);
  state->driverObject.DriverInit = entry;
  state->registryPathText =
      L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + serviceName;
  state->registryPath.Buffer = state->registryPathText.data();
  state->registryPath.Length = USHORT(state->registryPathText.size() * sizeof(WCHAR));
  state->registryPath.MaximumLength = USHORT(state->registryPath.Length + sizeof(WCHAR));

  {
    std::lock_guard<std::mutex> lock(loadingMutex());
    loading().push_back(state.get());
  }
  NTSTATUS status = entry(&state->driverObject, &state->registryPath);
  {
    std::lock_guard<std::mutex> lock(loadingMutex());
    auto& l = loading();
    l.erase(std::remove(l.begin(), l.end(), state.get()), l.end());
  }
  if (!NT_SUCCESS(status)) return status;
  if (!state->registered) return STATUS_UNSUCCESSFUL;
  out.reset(new Minidriver(std::move(state)));
  return STATUS_SUCCESS;
}

Minidriver::Minidriver(std::shared_ptr<detail::DriverState> state) : state_(std::move(state)) {}
Minidriver::~Minidriver() = default;

PDRIVER_OBJECT Minidriver::driverObject() const { return &state_->driverObject; }
PUNICODE_STRING Minidriver::registryPath() const { return &state_->registryPath; }
const HW_INITIALIZATION_DATA& Minidriver::registration() const { return state_->registration; }

}  // namespace pf::ks

extern "C" NTSTATUS StreamClassRegisterMinidriver(PVOID Argument1, PVOID Argument2,
                                                  PHW_INITIALIZATION_DATA HwInitializationData) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) return STATUS_INVALID_DEVICE_STATE;
  if (HwInitializationData == nullptr) return STATUS_INVALID_PARAMETER;
  if (!pf::ks::sizeFieldValid(*HwInitializationData)) return STATUS_REVISION_MISMATCH;
  if (HwInitializationData->HwReceivePacket == nullptr) return STATUS_INVALID_PARAMETER;

  std::lock_guard<std::mutex> lock(pf::ks::loadingMutex());
  for (pf::ks::detail::DriverState* state : pf::ks::loading()) {
    if (&state->driverObject != Argument1) continue;
    if (Argument2 != &state->registryPath) return STATUS_INVALID_PARAMETER;
    std::memcpy(&state->registration, HwInitializationData, sizeof(HW_INITIALIZATION_DATA));
    state->registered = true;
    return STATUS_SUCCESS;
  }
  // Not a driver object the class driver is loading.
  return STATUS_INVALID_PARAMETER;
}
