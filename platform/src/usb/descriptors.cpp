// Bounded descriptor walks (see descriptors.hpp).
#include "descriptors.hpp"

namespace pf::usb::detail {

std::size_t configurationExtent(const USB_CONFIGURATION_DESCRIPTOR* desc) {
  if (desc == nullptr) return 0;
  // wTotalLength is all a caller gives; a buffer shorter than it is the
  // caller's fault, but nothing here reads beyond the announced length.
  return desc->wTotalLength;
}

const USB_COMMON_DESCRIPTOR* findDescriptor(const UCHAR* begin, const UCHAR* end,
                                            const UCHAR* pos, LONG type) {
  if (begin == nullptr || pos == nullptr || pos < begin || pos >= end) return nullptr;
  while (end - pos >= 2) {
    const UCHAR length = pos[0];
    if (length < 2 || length > end - pos) return nullptr;
    if (type == -1 || pos[1] == static_cast<UCHAR>(type)) {
      return reinterpret_cast<const USB_COMMON_DESCRIPTOR*>(pos);
    }
    pos += length;
  }
  return nullptr;
}

std::vector<const USB_ENDPOINT_DESCRIPTOR*> interfaceEndpoints(
    const UCHAR* begin, const UCHAR* end, const USB_INTERFACE_DESCRIPTOR* iface) {
  std::vector<const USB_ENDPOINT_DESCRIPTOR*> endpoints;
  const auto* first = reinterpret_cast<const UCHAR*>(iface);
  if (first < begin || first >= end || iface->bLength < 2) return endpoints;
  const UCHAR* pos = first + iface->bLength;
  while (const USB_COMMON_DESCRIPTOR* d = findDescriptor(begin, end, pos, -1)) {
    if (d->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) break;
    if (d->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE &&
        d->bLength >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
      endpoints.push_back(reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(d));
    }
    pos = reinterpret_cast<const UCHAR*>(d) + d->bLength;
  }
  return endpoints;
}

}  // namespace pf::usb::detail
