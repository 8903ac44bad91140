// The bus's request dispatch: internal device-control codes, URB checks,
// and the requests on the default pipe (descriptors, configuration, vendor
// and class requests), which complete on the caller's thread.
#include <algorithm>
#include <cstring>

#include "bus_impl.hpp"
#include "descriptors.hpp"

namespace pf::usb {
namespace {

// bmRequestType type and recipient bits of the vendor and class functions.
std::optional<std::uint8_t> vendorClassRequestType(USHORT function) {
  switch (function) {
    case URB_FUNCTION_VENDOR_DEVICE: return 0x40;
    case URB_FUNCTION_VENDOR_INTERFACE: return 0x41;
    case URB_FUNCTION_VENDOR_ENDPOINT: return 0x42;
    case URB_FUNCTION_VENDOR_OTHER: return 0x43;
    case URB_FUNCTION_CLASS_DEVICE: return 0x20;
    case URB_FUNCTION_CLASS_INTERFACE: return 0x21;
    case URB_FUNCTION_CLASS_ENDPOINT: return 0x22;
    case URB_FUNCTION_CLASS_OTHER: return 0x23;
    default: return std::nullopt;
  }
}

// Recipient bits of the descriptor functions.
std::optional<std::uint8_t> descriptorRecipient(USHORT function) {
  switch (function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: return 0x00;
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE: return 0x01;
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT: return 0x02;
    default: return std::nullopt;
  }
}

// The smallest header Length the bus accepts for a function.
std::size_t minimumLength(USHORT function) {
  if (vendorClassRequestType(function)) return sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  if (descriptorRecipient(function)) return sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
  switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
      return offsetof(_URB_SELECT_CONFIGURATION, Interface);
    case URB_FUNCTION_CONTROL_TRANSFER: return sizeof(_URB_CONTROL_TRANSFER);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: return sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL: return sizeof(_URB_PIPE_REQUEST);
    default: return 0;
  }
}

// Buffer and length checks shared by every request with a data stage.
bool transferBufferUsable(PVOID buffer, ULONG length) { return length == 0 || buffer != nullptr; }

}  // namespace

NTSTATUS Bus::Impl::dispatch(PortState& port, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL) {
    return completeIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
      return submitUrb(port, irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
      auto* status = static_cast<PULONG>(stack->Parameters.Others.Argument1);
      if (status == nullptr) return completeIrp(irp, STATUS_INVALID_PARAMETER);
      bool connected = false;
      {
        std::lock_guard<std::mutex> lock(mutex);
        connected = port.connected;
      }
      *status = connected ? (USBD_PORT_ENABLED | USBD_PORT_CONNECTED) : 0;
      return completeIrp(irp, STATUS_SUCCESS);
    }
    default:
      return completeIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

NTSTATUS Bus::Impl::submitUrb(PortState& port, PIRP irp, PURB urb) {
  if (urb == nullptr) return completeIrp(irp, STATUS_INVALID_PARAMETER);
  const USHORT function = urb->UrbHeader.Function;
  urb->UrbHeader.UsbdDeviceHandle = &port;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (!port.connected) {
      // A transfer that never reached the device moved nothing.
      if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
          urb->UrbHeader.Length >= sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER))
        urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
      return completeUrb(irp, urb, USBD_STATUS_DEVICE_GONE);
    }
  }
  const std::size_t minimum = minimumLength(function);
  if (minimum == 0) return completeUrb(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION);
  if (urb->UrbHeader.Length < minimum) return completeUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);

  if (auto type = vendorClassRequestType(function)) {
    auto& r = urb->UrbControlVendorClassRequest;
    if (!transferBufferUsable(r.TransferBuffer, r.TransferBufferLength) ||
        r.TransferBufferLength > 0xFFFF) {
      return completeUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    }
    const bool in = USBD_TRANSFER_DIRECTION_FLAG(r.TransferFlags) == USBD_TRANSFER_DIRECTION_IN;
    SetupPacket setup;
    setup.bmRequestType =
        static_cast<std::uint8_t>(((r.RequestTypeReservedBits | *type) & 0x7F) | (in ? 0x80 : 0));
    setup.bRequest = r.Request;
    setup.wValue = r.Value;
    setup.wIndex = r.Index;
    setup.wLength = static_cast<std::uint16_t>(r.TransferBufferLength);
    std::uint32_t length = r.TransferBufferLength;
    const USBD_STATUS status = controlTransfer(port, setup, r.TransferBuffer, length);
    r.TransferBufferLength = length;
    return completeUrb(irp, urb, status);
  }

  if (auto recipient = descriptorRecipient(function)) {
    auto& r = urb->UrbControlDescriptorRequest;
    if (!transferBufferUsable(r.TransferBuffer, r.TransferBufferLength) ||
        r.TransferBufferLength > 0xFFFF) {
      return completeUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    }
    SetupPacket setup;
    setup.bmRequestType = static_cast<std::uint8_t>(0x80 | *recipient);
    setup.bRequest = USB_REQUEST_GET_DESCRIPTOR;
    setup.wValue = USB_DESCRIPTOR_MAKE_TYPE_AND_INDEX(r.DescriptorType, r.Index);
    setup.wIndex = r.LanguageId;
    setup.wLength = static_cast<std::uint16_t>(r.TransferBufferLength);
    std::uint32_t length = r.TransferBufferLength;
    const USBD_STATUS status = controlTransfer(port, setup, r.TransferBuffer, length);
    r.TransferBufferLength = length;
    return completeUrb(irp, urb, status);
  }

  switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
      return selectConfiguration(port, irp, urb);
    case URB_FUNCTION_CONTROL_TRANSFER: {
      auto& r = urb->UrbControlTransfer;
      if (!transferBufferUsable(r.TransferBuffer, r.TransferBufferLength) ||
          r.TransferBufferLength > 0xFFFF) {
        return completeUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
      }
      const bool in = USBD_TRANSFER_DIRECTION_FLAG(r.TransferFlags) == USBD_TRANSFER_DIRECTION_IN;
      SetupPacket setup;
      setup.bmRequestType = static_cast<std::uint8_t>((r.SetupPacket[0] & 0x7F) | (in ? 0x80 : 0));
      setup.bRequest = r.SetupPacket[1];
      setup.wValue = static_cast<std::uint16_t>(r.SetupPacket[2] | (r.SetupPacket[3] << 8));
      setup.wIndex = static_cast<std::uint16_t>(r.SetupPacket[4] | (r.SetupPacket[5] << 8));
      setup.wLength = static_cast<std::uint16_t>(r.TransferBufferLength);
      std::uint32_t length = r.TransferBufferLength;
      const USBD_STATUS status = controlTransfer(port, setup, r.TransferBuffer, length);
      r.TransferBufferLength = length;
      return completeUrb(irp, urb, status);
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      return submitBulk(port, irp, urb);
    case URB_FUNCTION_ABORT_PIPE:
      return abortPipe(port, irp, urb);
    default:  // the reset-pipe family
      return resetPipe(port, irp, urb);
  }
}

USBD_STATUS Bus::Impl::controlTransfer(PortState& port, SetupPacket setup, void* buffer,
                                       std::uint32_t& length) {
  const bool in = setup.deviceToHost();
  // The device sees a copy of exactly wLength bytes.
  std::vector<std::uint8_t> stage(setup.wLength);
  if (!in && setup.wLength > 0) std::memcpy(stage.data(), buffer, setup.wLength);

  TrafficEvent submit;
  submit.kind = TrafficEvent::Kind::Submit;
  submit.type = TrafficEvent::Type::Control;
  submit.port = port.number;
  submit.endpoint = in ? 0x80 : 0x00;
  submit.setup = setup;
  submit.length = setup.wLength;
  if (!in) submit.data = stage;
  std::shared_ptr<Backend> backend;
  {
    std::lock_guard<std::mutex> lock(mutex);
    submit.id = nextIdLocked();
    recordLocked(submit);
    backend = port.backend;
  }

  TransferResult result = backend->control(setup, stage.empty() ? nullptr : stage.data());
  const std::size_t actual = std::min<std::size_t>(result.actual, setup.wLength);
  if (in && actual > 0) std::memcpy(buffer, stage.data(), actual);
  length = static_cast<std::uint32_t>(actual);

  TrafficEvent done = submit;
  done.kind = TrafficEvent::Kind::Complete;
  done.length = length;
  done.data.clear();
  if (in) done.data.assign(stage.begin(), stage.begin() + static_cast<std::ptrdiff_t>(actual));
  done.status = result.status;
  {
    std::lock_guard<std::mutex> lock(mutex);
    recordLocked(std::move(done));
  }
  return static_cast<USBD_STATUS>(result.status);
}

NTSTATUS Bus::Impl::selectConfiguration(PortState& port, PIRP irp, PURB urb) {
  auto& sc = urb->UrbSelectConfiguration;
  PUSB_CONFIGURATION_DESCRIPTOR cd = sc.ConfigurationDescriptor;
  const std::size_t urbLength = urb->UrbHeader.Length;

  if (cd == nullptr) {
    // Back to the unconfigured state.
    std::uint32_t none = 0;
    SetupPacket setup{0x00, USB_REQUEST_SET_CONFIGURATION, 0, 0, 0};
    const USBD_STATUS status = controlTransfer(port, setup, nullptr, none);
    if (USBD_SUCCESS(status)) {
      std::lock_guard<std::mutex> lock(mutex);
      port.pipes.clear();
      port.configurationHandle = nullptr;
    }
    return completeUrb(irp, urb, status);
  }

  const std::size_t extent = detail::configurationExtent(cd);
  if (extent < sizeof(USB_CONFIGURATION_DESCRIPTOR) || cd->bLength < sizeof(*cd) ||
      cd->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE) {
    return completeUrb(irp, urb, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
  }
  const auto* begin = reinterpret_cast<const UCHAR*>(cd);
  const UCHAR* end = begin + extent;

  // Check every interface record against the descriptor before touching the
  // device: the records must lie inside Hdr.Length and each Length must hold
  // the interface's pipes.
  struct Selected {
    PUSBD_INTERFACE_INFORMATION info;
    const USB_INTERFACE_DESCRIPTOR* iface;
    std::vector<const USB_ENDPOINT_DESCRIPTOR*> endpoints;
  };
  std::vector<Selected> selected;
  std::size_t offset = offsetof(_URB_SELECT_CONFIGURATION, Interface);
  for (UCHAR i = 0; i < cd->bNumInterfaces; ++i) {
    if (offset + offsetof(USBD_INTERFACE_INFORMATION, Pipes) > urbLength) {
      return completeUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    }
    auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<UCHAR*>(urb) + offset);
    const USB_INTERFACE_DESCRIPTOR* iface = USBD_ParseConfigurationDescriptorEx(
        cd, cd, info->InterfaceNumber, info->AlternateSetting, -1, -1, -1);
    if (iface == nullptr) return completeUrb(irp, urb, USBD_STATUS_INTERFACE_NOT_FOUND);
    if (info->Length < GET_USBD_INTERFACE_SIZE(iface->bNumEndpoints) ||
        offset + info->Length > urbLength) {
      return completeUrb(irp, urb, USBD_STATUS_BUFFER_TOO_SMALL);
    }
    auto endpoints = detail::interfaceEndpoints(begin, end, iface);
    if (endpoints.size() < iface->bNumEndpoints) {
      return completeUrb(irp, urb, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
    }
    endpoints.resize(iface->bNumEndpoints);
    selected.push_back({info, iface, std::move(endpoints)});
    offset += info->Length;
  }

  std::uint32_t none = 0;
  SetupPacket setConfig{0x00, USB_REQUEST_SET_CONFIGURATION, cd->bConfigurationValue, 0, 0};
  USBD_STATUS status = controlTransfer(port, setConfig, nullptr, none);
  for (const Selected& s : selected) {
    if (!USBD_SUCCESS(status)) break;
    if (s.iface->bAlternateSetting == 0) continue;
    SetupPacket setInterface{0x01, USB_REQUEST_SET_INTERFACE, s.iface->bAlternateSetting,
                             s.iface->bInterfaceNumber, 0};
    status = controlTransfer(port, setInterface, nullptr, none);
  }
  if (!USBD_SUCCESS(status)) return completeUrb(irp, urb, status);

  // The old pipes close; whatever was still running on them is cancelled.
  failTransfers([&](const Transfer& t) { return t.port == &port; }, kUsbdCanceled, true);
  {
    std::lock_guard<std::mutex> lock(mutex);
    port.pipes.clear();
    port.configurationHandle = reinterpret_cast<void*>(lastHandle += 0x100);
    sc.ConfigurationHandle = port.configurationHandle;
    for (const Selected& s : selected) {
      PUSBD_INTERFACE_INFORMATION info = s.info;
      info->Class = s.iface->bInterfaceClass;
      info->SubClass = s.iface->bInterfaceSubClass;
      info->Protocol = s.iface->bInterfaceProtocol;
      info->InterfaceHandle = reinterpret_cast<void*>(lastHandle += 0x10);
      info->NumberOfPipes = s.iface->bNumEndpoints;
      for (std::size_t i = 0; i < s.endpoints.size(); ++i) {
        const USB_ENDPOINT_DESCRIPTOR* ep = s.endpoints[i];
        USBD_PIPE_INFORMATION& pipe = info->Pipes[i];
        pipe.MaximumPacketSize = static_cast<USHORT>(ep->wMaxPacketSize & 0x7FF);
        pipe.EndpointAddress = ep->bEndpointAddress;
        pipe.Interval = ep->bInterval;
        pipe.PipeType = static_cast<USBD_PIPE_TYPE>(ep->bmAttributes & USB_ENDPOINT_TYPE_MASK);
        pipe.PipeHandle = reinterpret_cast<void*>(lastHandle += 0x10);
        port.pipes[pipe.PipeHandle] = {pipe.EndpointAddress, pipe.PipeType, pipe.MaximumTransferSize};
      }
    }
  }
  return completeUrb(irp, urb, USBD_STATUS_SUCCESS);
}

NTSTATUS Bus::Impl::resetPipe(PortState& port, PIRP irp, PURB urb) {
  std::optional<PipeState> pipe;
  std::shared_ptr<Backend> backend;
  {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = port.pipes.find(urb->UrbPipeRequest.PipeHandle);
    if (it != port.pipes.end()) pipe = it->second;
    backend = port.backend;
  }
  if (!pipe) return completeUrb(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
  const UsbdStatus status = backend->resetEndpoint(pipe->endpoint);
  {
    std::lock_guard<std::mutex> lock(mutex);
    TrafficEvent e;
    e.kind = TrafficEvent::Kind::ResetPipe;
    e.type = TrafficEvent::Type::Control;
    e.id = nextIdLocked();
    e.port = port.number;
    e.endpoint = pipe->endpoint;
    e.status = status;
    recordLocked(std::move(e));
  }
  return completeUrb(irp, urb, static_cast<USBD_STATUS>(status));
}

}  // namespace pf::usb
