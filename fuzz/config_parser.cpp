// Fuzzes the USBD library's descriptor walks and select-configuration
// request builder on arbitrary configuration descriptors.
//
// Input: four selector bytes, then the descriptor bytes.
//   [0] interface number sought (0xFF: any)   [1] alternate setting (0xFF: any)
//   [2] interface class (0xFF: any)           [3] start offset into the descriptor
// The descriptor lies in a buffer of exactly its own size (at least the nine
// bytes of the fixed part, which every caller has), with wTotalLength clamped
// to that size: a caller never claims more bytes than it holds, and the
// sanitizer sees any read past them.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "pf/host/pool.hpp"
#include "pf/usb.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "config_parser: %s\n", what);
  std::abort();
}

LONG selector(std::uint8_t b) { return b == 0xFF ? -1 : b; }

// Every interface the parser hands back lies whole inside the descriptor.
void checkInside(const std::vector<UCHAR>& buffer, std::size_t extent, const void* p) {
  const auto* at = static_cast<const UCHAR*>(p);
  const UCHAR* begin = buffer.data();
  if (at < begin || at >= begin + extent) fail("interface outside the descriptor");
  const auto* iface = static_cast<const USB_INTERFACE_DESCRIPTOR*>(p);
  if (static_cast<std::size_t>(begin + extent - at) < sizeof(*iface)) fail("interface cut short");
  if (iface->bDescriptorType != USB_INTERFACE_DESCRIPTOR_TYPE) fail("not an interface descriptor");
  if (iface->bLength < sizeof(*iface) || iface->bLength > begin + extent - at) {
    fail("interface length outside the descriptor");
  }
}

// Walks the interface records of a select-configuration URB as the bus does
// and touches every pipe entry, so that a record past the URB's end shows.
void checkRequest(PURB urb, std::size_t interfaces) {
  const std::size_t length = urb->UrbHeader.Length;
  if (length < sizeof(struct _URB_SELECT_CONFIGURATION)) fail("select-configuration URB too short");
  if (urb->UrbHeader.Function != URB_FUNCTION_SELECT_CONFIGURATION) fail("wrong URB function");
  std::size_t offset = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
  volatile ULONG sink = 0;
  for (std::size_t i = 0; i < interfaces; ++i) {
    auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<UCHAR*>(urb) + offset);
    if (info->Length != GET_USBD_INTERFACE_SIZE(info->NumberOfPipes)) fail("record length");
    if (offset + info->Length > length) fail("interface record past the URB");
    for (ULONG p = 0; p < info->NumberOfPipes; ++p) sink = sink + info->Pipes[p].MaximumTransferSize;
    offset += info->Length;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const std::uint8_t* sel = data;
  data += 4;
  size -= 4;

  std::vector<UCHAR> buffer(data, data + size);
  if (buffer.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR)) buffer.resize(sizeof(USB_CONFIGURATION_DESCRIPTOR));
  buffer.shrink_to_fit();
  auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(buffer.data());
  if (config->wTotalLength > buffer.size()) config->wTotalLength = static_cast<USHORT>(buffer.size());
  const std::size_t extent = config->wTotalLength;

  // A search from a start inside (or at the end of) the descriptor.
  UCHAR* start = buffer.data() + (extent ? sel[3] % (extent + 1) : 0);
  if (PUSB_INTERFACE_DESCRIPTOR found = USBD_ParseConfigurationDescriptorEx(
          config, start, selector(sel[0]), selector(sel[1]), selector(sel[2]), -1, -1)) {
    checkInside(buffer, extent, found);
    if (reinterpret_cast<UCHAR*>(found) < start) fail("interface before the start");
  }
  USBD_ParseDescriptors(config, static_cast<ULONG>(extent), start, selector(sel[2]));

  // Every interface in order, as a driver collects them for its request.
  std::vector<USBD_INTERFACE_LIST_ENTRY> list;
  UCHAR* pos = buffer.data();
  while (PUSB_INTERFACE_DESCRIPTOR iface =
             USBD_ParseConfigurationDescriptorEx(config, pos, -1, -1, -1, -1, -1)) {
    checkInside(buffer, extent, iface);
    UCHAR* next = reinterpret_cast<UCHAR*>(iface) + iface->bLength;
    if (next <= pos) fail("the walk does not advance");
    const ULONG span = USBD_GetInterfaceLength(iface, buffer.data() + extent);
    if (span > static_cast<std::size_t>(buffer.data() + extent - reinterpret_cast<UCHAR*>(iface))) {
      fail("interface length past the descriptor");
    }
    list.push_back({iface, nullptr});
    pos = next;
  }
  list.push_back({nullptr, nullptr});

  if (PURB urb = USBD_CreateConfigurationRequestEx(config, list.data())) {
    checkRequest(urb, list.size() - 1);
    for (std::size_t i = 0; i + 1 < list.size(); ++i) {
      if (list[i].Interface == nullptr) fail("interface entry left unset");
    }
    ExFreePool(urb);
  }
  USHORT urbSize = 0;
  if (PURB urb = USBD_CreateConfigurationRequest(config, &urbSize)) {
    if (urbSize != urb->UrbHeader.Length) fail("size answer differs from the URB");
    ExFreePool(urb);
  } else if (urbSize != 0) {
    fail("size answered without a URB");
  }
  return 0;
}
