// Bounded walks over a configuration descriptor, shared by the USBD library
// functions and the bus's select-configuration request.
//
// Every walk stays inside [begin, end): a descriptor whose bLength is below 2
// (it cannot even hold its type) or runs past end ends the walk, so malformed
// input never loops and never reads outside the buffer.
#pragma once

#include <cstddef>
#include <vector>

#include "pf/usb.h"

namespace pf::usb::detail {

// Bytes of the configuration at desc that may be read: wTotalLength, less
// when desc lies in a pool block that ends sooner.
std::size_t configurationExtent(const USB_CONFIGURATION_DESCRIPTOR* desc);

// The first whole descriptor of type (-1: any) at or after pos; null when
// none, when pos lies outside [begin, end) or when the walk meets a
// malformed descriptor.
const USB_COMMON_DESCRIPTOR* findDescriptor(const UCHAR* begin, const UCHAR* end,
                                            const UCHAR* pos, LONG type);

// The endpoint descriptors that follow iface up to the next interface
// descriptor (or end), in order.
std::vector<const USB_ENDPOINT_DESCRIPTOR*> interfaceEndpoints(
    const UCHAR* begin, const UCHAR* end, const USB_INTERFACE_DESCRIPTOR* iface);

}  // namespace pf::usb::detail
