// Property requests checked against the minidriver's property tables, as the
// class driver does before a request reaches the minidriver; basic-support
// and default-value queries answered from the tables' value descriptions.
#include <cstring>

#include "internal.hpp"

namespace pf::ks::detail {
namespace {

constexpr ULONG kVtIllegal = 0xFFFF;

PropertyResult sizeAnswer(ULONG dataSize, ULONG needed) {
  return {dataSize == 0 ? STATUS_BUFFER_OVERFLOW : STATUS_BUFFER_TOO_SMALL, needed};
}

bool supportsGet(const KSPROPERTY_ITEM& item) { return item.GetPropertyHandler != nullptr; }
bool supportsSet(const KSPROPERTY_ITEM& item) { return item.SetPropertyHandler != nullptr; }

PropertyResult basicSupport(const KSPROPERTY_ITEM& item, void* data, ULONG dataSize) {
  ULONG access = KSPROPERTY_TYPE_BASICSUPPORT;
  if (supportsGet(item)) access |= KSPROPERTY_TYPE_GET;
  if (supportsSet(item)) access |= KSPROPERTY_TYPE_SET;
  if (dataSize == sizeof(ULONG)) {
    std::memcpy(data, &access, sizeof access);
    return {STATUS_SUCCESS, sizeof(ULONG)};
  }

  const KSPROPERTY_VALUES* values = item.Values;
  ULONG lists = values ? values->MembersListCount : 0;
  ULONG total = sizeof(KSPROPERTY_DESCRIPTION);
  for (ULONG i = 0; i < lists; ++i) {
    const KSPROPERTY_MEMBERSHEADER& h = values->MembersList[i].MembersHeader;
    total += sizeof(KSPROPERTY_MEMBERSHEADER) + h.MembersSize * h.MembersCount;
  }
  if (dataSize < sizeof(KSPROPERTY_DESCRIPTION)) return sizeAnswer(dataSize, total);

  KSPROPERTY_DESCRIPTION description{};
  description.AccessFlags = access;
  description.DescriptionSize = total;
  if (values) {
    description.PropTypeSet = values->PropTypeSet;
  } else {
    description.PropTypeSet.Set = KSPROPTYPESETID_General;
    description.PropTypeSet.Id = kVtIllegal;
  }
  description.MembersListCount = lists;
  auto* out = static_cast<std::uint8_t*>(data);
  std::memcpy(out, &description, sizeof description);
  if (dataSize < total) return {STATUS_SUCCESS, sizeof(KSPROPERTY_DESCRIPTION)};

  std::size_t at = sizeof description;
  for (ULONG i = 0; i < lists; ++i) {
    const KSPROPERTY_MEMBERSLIST& list = values->MembersList[i];
    std::memcpy(out + at, &list.MembersHeader, sizeof list.MembersHeader);
    at += sizeof list.MembersHeader;
    std::size_t bytes = std::size_t(list.MembersHeader.MembersSize) * list.MembersHeader.MembersCount;
    if (bytes) std::memcpy(out + at, list.Members, bytes);
    at += bytes;
  }
  return {STATUS_SUCCESS, total};
}

PropertyResult defaultValue(const KSPROPERTY_ITEM& item, void* data, ULONG dataSize) {
  const KSPROPERTY_VALUES* values = item.Values;
  for (ULONG i = 0; values && i < values->MembersListCount; ++i) {
    const KSPROPERTY_MEMBERSLIST& list = values->MembersList[i];
    if (!(list.MembersHeader.Flags & KSPROPERTY_MEMBER_FLAG_DEFAULT)) continue;
    if (list.MembersHeader.MembersCount == 0) continue;
    ULONG size = list.MembersHeader.MembersSize;
    if (dataSize < size) return sizeAnswer(dataSize, size);
    std::memcpy(data, list.Members, size);
    return {STATUS_SUCCESS, size};
  }
  return {STATUS_NOT_FOUND, 0};
}

}  // namespace

PropertyCheck checkProperty(const KSPROPERTY_SET* sets, ULONG setCount, const void* input,
                            ULONG inputSize, void* data, ULONG dataSize) {
  PropertyCheck check;
  if (input == nullptr || inputSize < sizeof(KSPROPERTY)) {
    check.answer = {STATUS_INVALID_BUFFER_SIZE, 0};
    return check;
  }
  if (data == nullptr && dataSize != 0) {
    check.answer = {STATUS_INVALID_PARAMETER, 0};
    return check;
  }
  KSPROPERTY property;
  std::memcpy(&property, input, sizeof property);

  const KSPROPERTY_SET* set = nullptr;
  for (ULONG i = 0; i < setCount && sets; ++i) {
    if (sets[i].Set != nullptr && IsEqualGUID(*sets[i].Set, property.Set)) {
      set = &sets[i];
      check.setIndex = i;
      break;
    }
  }
  // An unknown set or item is not supported: the answer of the whole stack.
  if (set == nullptr) {
    check.answer = {STATUS_NOT_IMPLEMENTED, 0};
    return check;
  }
  ULONG flags = property.Flags & ~ULONG(KSPROPERTY_TYPE_TOPOLOGY);
  if (flags == KSPROPERTY_TYPE_SETSUPPORT) {
    check.answer = {STATUS_SUCCESS, 0};
    return check;
  }

  for (ULONG i = 0; i < set->PropertiesCount; ++i) {
    if (set->PropertyItem[i].PropertyId == property.Id) {
      check.item = &set->PropertyItem[i];
      break;
    }
  }
  if (check.item == nullptr) {
    check.answer = {STATUS_NOT_IMPLEMENTED, 0};
    return check;
  }
  const KSPROPERTY_ITEM& item = *check.item;

  switch (flags) {
    case KSPROPERTY_TYPE_BASICSUPPORT:
      check.answer = basicSupport(item, data, dataSize);
      return check;
    case KSPROPERTY_TYPE_DEFAULTVALUES:
      check.answer = defaultValue(item, data, dataSize);
      return check;
    case KSPROPERTY_TYPE_GET:
    case KSPROPERTY_TYPE_SET:
      break;
    default:
      check.answer = {STATUS_INVALID_PARAMETER, 0};
      return check;
  }
  bool get = flags == KSPROPERTY_TYPE_GET;
  if (get ? !supportsGet(item) : !supportsSet(item)) {
    check.answer = {STATUS_NOT_IMPLEMENTED, 0};
    return check;
  }
  ULONG minProperty = item.MinProperty > sizeof(KSPROPERTY) ? item.MinProperty : ULONG(sizeof(KSPROPERTY));
  if (inputSize < minProperty) {
    check.answer = {STATUS_BUFFER_TOO_SMALL, minProperty};
    return check;
  }
  if (dataSize < item.MinData) {
    check.answer = sizeAnswer(dataSize, item.MinData);
    return check;
  }
  check.forward = true;
  return check;
}

PropertyResult forwardProperty(AdapterState& adapter, Target target,
                               const std::shared_ptr<StreamState>& stream, SRB_COMMAND command,
                               ULONG setIndex, const void* input, ULONG inputSize, void* data,
                               ULONG dataSize) {
  RequestPtr request;
  NTSTATUS status = adapter.call(
      target, command, stream, {}, &request, [&](Request::Core& core) {
        core.buffers.resize(2);
        auto* in = static_cast<const std::uint8_t*>(input);
        core.buffers[0].assign(in, in + inputSize);
        auto* d = static_cast<const std::uint8_t*>(data);
        if (dataSize) core.buffers[1].assign(d, d + dataSize);
        STREAM_PROPERTY_DESCRIPTOR& descriptor = core.propertyDescriptor;
        descriptor.Property = reinterpret_cast<PKSPROPERTY>(core.buffers[0].data());
        descriptor.PropertySetID = setIndex;
        descriptor.PropertyInfo = dataSize ? core.buffers[1].data() : nullptr;
        descriptor.PropertyInputSize = inputSize;
        descriptor.PropertyOutputSize = dataSize;
        core.srb()->CommandData.PropertyInfo = &descriptor;
      });
  if (!request || !request->completed()) return {status, 0};
  if (dataSize) std::memcpy(data, request->core().buffers[1].data(), dataSize);
  ULONG bytes = request->bytesTransferred();
  return {status, bytes < dataSize ? bytes : dataSize};
}

}  // namespace pf::ks::detail
