// The USBD library functions a function driver links against: descriptor
// parsing and select-configuration requests.
#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "descriptors.hpp"
#include "pf/usb.h"

namespace {

using pf::usb::detail::configurationExtent;
using pf::usb::detail::findDescriptor;

// Pool tag of the URBs made here: "USBD" in a pool dump.
constexpr ULONG kUsbdPoolTag = 'U' | ('S' << 8) | ('B' << 16) | (static_cast<ULONG>('D') << 24);

const UCHAR* bytes(const void* p) { return static_cast<const UCHAR*>(p); }

bool matches(LONG wanted, UCHAR actual) { return wanted == -1 || wanted == actual; }

// The whole interface descriptor at p lies inside the configuration.
bool interfaceInside(const USB_CONFIGURATION_DESCRIPTOR* config,
                     const USB_INTERFACE_DESCRIPTOR* iface) {
  const UCHAR* begin = bytes(config);
  const UCHAR* end = begin + configurationExtent(config);
  const UCHAR* p = bytes(iface);
  return p >= begin && p < end && static_cast<std::size_t>(end - p) >= sizeof(*iface) &&
         iface->bLength >= sizeof(*iface) && iface->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE;
}

}  // namespace

extern "C" {

void NTAPI USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation) {
  if (VersionInformation == nullptr) return;
  VersionInformation->USBDI_Version = 0x00000500;
  VersionInformation->Supported_USB_Version = 0x0200;
}

PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                                   PVOID StartPosition, LONG DescriptorType) {
  const UCHAR* begin = bytes(DescriptorBuffer);
  if (begin == nullptr) return nullptr;
  const auto* found = findDescriptor(begin, begin + TotalLength, bytes(StartPosition), DescriptorType);
  return const_cast<PUSB_COMMON_DESCRIPTOR>(found);
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol) {
  if (ConfigurationDescriptor == nullptr) return nullptr;
  const UCHAR* begin = bytes(ConfigurationDescriptor);
  const UCHAR* end = begin + configurationExtent(ConfigurationDescriptor);
  const UCHAR* pos = bytes(StartPosition);
  while (const auto* d = findDescriptor(begin, end, pos, USB_INTERFACE_DESCRIPTOR_TYPE)) {
    pos = bytes(d) + d->bLength;
    if (d->bLength < sizeof(USB_INTERFACE_DESCRIPTOR)) continue;  // too short to read
    const auto* iface = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(d);
    if (matches(InterfaceNumber, iface->bInterfaceNumber) &&
        matches(AlternateSetting, iface->bAlternateSetting) &&
        matches(InterfaceClass, iface->bInterfaceClass) &&
        matches(InterfaceSubClass, iface->bInterfaceSubClass) &&
        matches(InterfaceProtocol, iface->bInterfaceProtocol)) {
      return const_cast<PUSB_INTERFACE_DESCRIPTOR>(iface);
    }
  }
  return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptor(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, UCHAR InterfaceNumber,
    UCHAR AlternateSetting) {
  return USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor,
                                             InterfaceNumber, AlternateSetting, -1, -1, -1);
}

PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
  if (ConfigurationDescriptor == nullptr || InterfaceList == nullptr) return nullptr;

  // Interface records follow the header's embedded one back to back, each
  // GET_USBD_INTERFACE_SIZE(endpoints) long.
  std::size_t size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
  for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor; ++entry) {
    if (!interfaceInside(ConfigurationDescriptor, entry->InterfaceDescriptor)) return nullptr;
    size += GET_USBD_INTERFACE_SIZE(entry->InterfaceDescriptor->bNumEndpoints);
  }
  size = std::max(size, sizeof(struct _URB_SELECT_CONFIGURATION));
  if (size > std::numeric_limits<USHORT>::max()) return nullptr;  // Hdr.Length is 16 bits

  auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kUsbdPoolTag));
  if (urb == nullptr) return nullptr;
  std::memset(urb, 0, size);
  UsbBuildSelectConfigurationRequest(urb, static_cast<USHORT>(size), ConfigurationDescriptor);

  auto* record = reinterpret_cast<UCHAR*>(&urb->UrbSelectConfiguration.Interface);
  for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor; ++entry) {
    const USB_INTERFACE_DESCRIPTOR* iface = entry->InterfaceDescriptor;
    auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(record);
    info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(iface->bNumEndpoints));
    info->InterfaceNumber = iface->bInterfaceNumber;
    info->AlternateSetting = iface->bAlternateSetting;
    info->NumberOfPipes = iface->bNumEndpoints;
    for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
      info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
      info->Pipes[i].PipeFlags = 0;
    }
    entry->Interface = info;
    record += info->Length;
  }
  return urb;
}

PURB NTAPI USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                           PUSHORT Siz) {
  if (Siz != nullptr) *Siz = 0;
  if (ConfigurationDescriptor == nullptr) return nullptr;

  // Alternate setting 0 of every interface number, in descriptor order.
  std::vector<USBD_INTERFACE_LIST_ENTRY> list;
  const UCHAR* start = bytes(ConfigurationDescriptor);
  while (PUSB_INTERFACE_DESCRIPTOR iface = USBD_ParseConfigurationDescriptorEx(
             ConfigurationDescriptor, const_cast<UCHAR*>(start), -1, 0, -1, -1, -1)) {
    const bool seen = std::any_of(list.begin(), list.end(), [&](const auto& e) {
      return e.InterfaceDescriptor->bInterfaceNumber == iface->bInterfaceNumber;
    });
    if (!seen) list.push_back({iface, nullptr});
    start = bytes(iface) + iface->bLength;
  }
  list.push_back({nullptr, nullptr});

  PURB urb = USBD_CreateConfigurationRequestEx(ConfigurationDescriptor, list.data());
  if (urb != nullptr && Siz != nullptr) *Siz = urb->UrbHeader.Length;
  return urb;
}

ULONG NTAPI USBD_GetInterfaceLength(PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor,
                                    PUCHAR BufferEnd) {
  const UCHAR* begin = bytes(InterfaceDescriptor);
  if (begin == nullptr || BufferEnd <= begin) return 0;
  const auto* first = findDescriptor(begin, BufferEnd, begin, -1);
  if (first == nullptr) return 0;
  const UCHAR* pos = begin + first->bLength;
  while (const auto* d = findDescriptor(begin, BufferEnd, pos, -1)) {
    if (d->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) break;
    pos = bytes(d) + d->bLength;
  }
  return static_cast<ULONG>(pos - begin);
}

}  // extern "C"
