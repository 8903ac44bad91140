// The driver's registry calls: the device's driver key and its values.
#include <cstring>

#include "pf/host/trace.hpp"
#include "pf/host/verifier.hpp"
#include "store.hpp"

namespace pf::registry::detail {
namespace {

struct KeyObject : pf::detail::HandleObject {
  std::string path;
  ACCESS_MASK access = 0;
  const char* kind() const override { return "key"; }
  std::string describe() const override { return path; }
};

bool grants(ACCESS_MASK access, ACCESS_MASK right) {
  if (access & GENERIC_ALL) return true;
  if ((access & GENERIC_READ) && right == KEY_QUERY_VALUE) return true;
  if ((access & GENERIC_WRITE) && right == KEY_SET_VALUE) return true;
  return (access & right) == right;
}

// The key behind a handle; the status when there is none.
NTSTATUS keyOf(HANDLE handle, std::shared_ptr<KeyObject>* key) {
  auto object = pf::detail::lookupHandle(handle);
  if (!object) return STATUS_INVALID_HANDLE;
  *key = std::dynamic_pointer_cast<KeyObject>(object);
  return *key ? STATUS_SUCCESS : STATUS_OBJECT_TYPE_MISMATCH;
}

}  // namespace
}  // namespace pf::registry::detail

using namespace pf::registry::detail;
using pf::bugcheck;
using pf::detail::requireIrqlAtMost;

extern "C" {

// Opens the driver key bound to the device object (pf::registry::bindDriverKey).
NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                       ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey) {
  requireIrqlAtMost(PASSIVE_LEVEL, "IoOpenDeviceRegistryKey");
  if (!DevInstRegKey) bugcheck("IoOpenDeviceRegistryKey without a handle to fill");
  if (DevInstKeyType != PLUGPLAY_REGKEY_DRIVER) return STATUS_INVALID_PARAMETER;
  std::string path;
  if (!DeviceObject || !boundKeyPath(DeviceObject, &path)) return STATUS_INVALID_PARAMETER;
  auto key = std::make_shared<KeyObject>();
  key->path = path;
  key->access = DesiredAccess;
  *DevInstRegKey = pf::detail::insertHandle(key);
  return STATUS_SUCCESS;
}

// KeyValuePartialInformation as the platform answers it: ResultLength is
// always the full size (header + data); a buffer smaller than the header is
// STATUS_BUFFER_TOO_SMALL, one smaller than the whole is
// STATUS_BUFFER_OVERFLOW with the header and what fits of the data.
NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                               PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
  requireIrqlAtMost(PASSIVE_LEVEL, "ZwQueryValueKey");
  if (!ValueName || !ResultLength) bugcheck("ZwQueryValueKey without a value name or result length");
  if (Length && !KeyValueInformation) bugcheck("ZwQueryValueKey with a length but no buffer");
  std::shared_ptr<KeyObject> key;
  NTSTATUS status = keyOf(KeyHandle, &key);
  if (!NT_SUCCESS(status)) return status;
  if (!grants(key->access, KEY_QUERY_VALUE)) return STATUS_ACCESS_DENIED;
  if (KeyValueInformationClass != KeyValuePartialInformation) return STATUS_INVALID_PARAMETER;

  auto value = readValue(key->path, pf::detail::toUtf8(ValueName));
  if (!value) return STATUS_OBJECT_NAME_NOT_FOUND;
  const ULONG header = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
  const ULONG dataLength = (ULONG)value->data.size();
  *ResultLength = header + dataLength;
  if (Length < header) return STATUS_BUFFER_TOO_SMALL;
  auto* info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(KeyValueInformation);
  info->TitleIndex = 0;
  info->Type = value->type;
  info->DataLength = dataLength;
  ULONG room = Length - header;
  ULONG copy = dataLength < room ? dataLength : room;
  if (copy) std::memcpy(info->Data, value->data.data(), copy);
  return copy < dataLength ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG, ULONG Type,
                             PVOID Data, ULONG DataSize) {
  requireIrqlAtMost(PASSIVE_LEVEL, "ZwSetValueKey");
  if (!ValueName) bugcheck("ZwSetValueKey without a value name");
  if (DataSize && !Data) bugcheck("ZwSetValueKey with a size but no data");
  std::shared_ptr<KeyObject> key;
  NTSTATUS status = keyOf(KeyHandle, &key);
  if (!NT_SUCCESS(status)) return status;
  if (!grants(key->access, KEY_SET_VALUE)) return STATUS_ACCESS_DENIED;
  pf::registry::Value value;
  value.type = Type;
  value.data.assign(static_cast<const std::uint8_t*>(Data),
                    static_cast<const std::uint8_t*>(Data) + DataSize);
  std::string error;
  if (!writeValue(key->path, pf::detail::toUtf8(ValueName), value, &error)) {
    pf::trace::write("registry: value not written: " + error + "\n");
    return STATUS_UNSUCCESSFUL;
  }
  return STATUS_SUCCESS;
}

}  // extern "C"
