// pcap framing of the traffic record (see pcap_writer.hpp).
//
// USBPcap record: a packed little-endian header (27 bytes; 28 for control
// transfers, whose last byte is the stage) followed by the data. Submissions
// carry info 0 and the setup packet plus OUT data; completions carry info 1
// (device to host side), the USBD status and the IN data.
//
// usbmon record: the 64-byte memory-mapped header (host byte order) followed
// by the data; 'S' on submission with status -EINPROGRESS, 'C' on completion
// with a negative errno.
#include "pcap_writer.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace pf::usb::detail {
namespace {

constexpr int kSnapLength = 0x40000;
constexpr std::uint16_t kBusNumber = 1;

// USBPcap transfer types and control stages.
constexpr std::uint8_t kUsbPcapTransferControl = 2;
constexpr std::uint8_t kUsbPcapTransferBulk = 3;
constexpr std::uint8_t kUsbPcapStageSetup = 0;
constexpr std::uint8_t kUsbPcapStageComplete = 3;
constexpr std::uint8_t kUsbPcapInfoPdoToFdo = 0x01;

template <typename T>
void put(std::string& out, T value) {
  char raw[sizeof(T)];
  std::memcpy(raw, &value, sizeof(T));  // hosts are little-endian
  out.append(raw, sizeof(T));
}

std::string setupBytes(const SetupPacket& s) {
  std::string out;
  put<std::uint8_t>(out, s.bmRequestType);
  put<std::uint8_t>(out, s.bRequest);
  put<std::uint16_t>(out, s.wValue);
  put<std::uint16_t>(out, s.wIndex);
  put<std::uint16_t>(out, s.wLength);
  return out;
}

std::int32_t usbmonErrno(UsbdStatus status) {
  switch (static_cast<USBD_STATUS>(status)) {
    case USBD_STATUS_SUCCESS: return 0;
    case USBD_STATUS_CANCELED: return -ENOENT;
    case USBD_STATUS_DEVICE_GONE: return -ESHUTDOWN;
    case USBD_STATUS_STALL_PID: return -EPIPE;
    case USBD_STATUS_DEV_NOT_RESPONDING: return -ETIME;
    case USBD_STATUS_CRC: return -EILSEQ;
    case USBD_STATUS_DATA_OVERRUN:
    case USBD_STATUS_BABBLE_DETECTED: return -EOVERFLOW;
    case USBD_STATUS_DATA_UNDERRUN: return -EREMOTEIO;
    case USBD_STATUS_BTSTUFF:
    case USBD_STATUS_XACT_ERROR: return -EPROTO;
    default: return -EIO;
  }
}

// A pipe reset goes on the wire as CLEAR_FEATURE(ENDPOINT_HALT) to the endpoint.
TrafficEvent clearHalt(const TrafficEvent& reset, TrafficEvent::Kind kind) {
  TrafficEvent e;
  e.kind = kind;
  e.type = TrafficEvent::Type::Control;
  e.id = reset.id;
  e.port = reset.port;
  e.endpoint = 0x00;
  e.setup.bmRequestType = 0x02;
  e.setup.bRequest = USB_REQUEST_CLEAR_FEATURE;
  e.setup.wValue = USB_FEATURE_ENDPOINT_STALL;
  e.setup.wIndex = reset.endpoint;
  e.status = reset.status;
  return e;
}

}  // namespace

PcapWriter::PcapWriter(const std::string& path, PcapLinkType linkType) : linkType_(linkType) {
  pcap_ = pcap_open_dead(static_cast<int>(linkType), kSnapLength);
  if (pcap_ == nullptr) {
    error_ = "cannot open a pcap handle";
    return;
  }
  dumper_ = pcap_dump_open(pcap_, path.c_str());
  if (dumper_ == nullptr) error_ = std::string("cannot write ") + path + ": " + pcap_geterr(pcap_);
}

PcapWriter::~PcapWriter() {
  if (dumper_ != nullptr) pcap_dump_close(dumper_);
  if (pcap_ != nullptr) pcap_close(pcap_);
}

void PcapWriter::write(const TrafficEvent& event) {
  if (!ok()) return;
  if (event.kind == TrafficEvent::Kind::AbortPipe) return;
  if (event.kind == TrafficEvent::Kind::ResetPipe) {
    write(clearHalt(event, TrafficEvent::Kind::Submit));
    write(clearHalt(event, TrafficEvent::Kind::Complete));
    return;
  }
  if (linkType_ == PcapLinkType::UsbPcap) {
    writeUsbPcap(event);
  } else {
    writeUsbmon(event);
  }
}

void PcapWriter::writeUsbPcap(const TrafficEvent& e) {
  const bool control = e.type == TrafficEvent::Type::Control;
  const bool submit = e.kind == TrafficEvent::Kind::Submit;
  std::string payload;
  if (control && submit) payload = setupBytes(e.setup);
  payload.append(e.data.begin(), e.data.end());

  std::string rec;
  put<std::uint16_t>(rec, control ? 28 : 27);
  put<std::uint64_t>(rec, e.id);
  put<std::int32_t>(rec, submit ? USBD_STATUS_SUCCESS : static_cast<USBD_STATUS>(e.status));
  put<std::uint16_t>(rec, control ? URB_FUNCTION_CONTROL_TRANSFER
                                  : URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
  put<std::uint8_t>(rec, submit ? 0 : kUsbPcapInfoPdoToFdo);
  put<std::uint16_t>(rec, kBusNumber);
  put<std::uint16_t>(rec, static_cast<std::uint16_t>(e.port));
  const std::uint8_t endpoint =
      control ? (e.setup.deviceToHost() ? 0x80 : 0x00) : e.endpoint;
  put<std::uint8_t>(rec, endpoint);
  put<std::uint8_t>(rec, control ? kUsbPcapTransferControl : kUsbPcapTransferBulk);
  put<std::uint32_t>(rec, static_cast<std::uint32_t>(payload.size()));
  if (control) put<std::uint8_t>(rec, submit ? kUsbPcapStageSetup : kUsbPcapStageComplete);
  rec += payload;
  dump(rec);
}

void PcapWriter::writeUsbmon(const TrafficEvent& e) {
  const bool control = e.type == TrafficEvent::Type::Control;
  const bool submit = e.kind == TrafficEvent::Kind::Submit;
  const bool in = control ? e.setup.deviceToHost() : (e.endpoint & 0x80) != 0;
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const auto usec = std::chrono::duration_cast<std::chrono::microseconds>(now).count();

  std::string rec;
  put<std::uint64_t>(rec, e.id);
  put<char>(rec, submit ? 'S' : 'C');
  put<std::uint8_t>(rec, control ? 2 : 3);
  put<std::uint8_t>(rec, static_cast<std::uint8_t>((e.endpoint & 0x0F) | (in ? 0x80 : 0)));
  put<std::uint8_t>(rec, static_cast<std::uint8_t>(e.port));
  put<std::uint16_t>(rec, kBusNumber);
  put<char>(rec, control && submit ? 0 : '-');
  put<char>(rec, !e.data.empty() ? 0 : (in ? '<' : '>'));
  put<std::int64_t>(rec, usec / 1000000);
  put<std::int32_t>(rec, static_cast<std::int32_t>(usec % 1000000));
  put<std::int32_t>(rec, submit ? -EINPROGRESS : usbmonErrno(e.status));
  put<std::uint32_t>(rec, e.length);
  put<std::uint32_t>(rec, static_cast<std::uint32_t>(e.data.size()));
  if (control && submit) {
    rec += setupBytes(e.setup);
  } else {
    rec.append(8, '\0');
  }
  put<std::int32_t>(rec, 0);                        // interval
  put<std::int32_t>(rec, 0);                        // start frame
  put<std::uint32_t>(rec, in ? 0x200u : 0u);        // transfer flags: URB_DIR_IN
  put<std::uint32_t>(rec, 0);                       // iso descriptors
  rec.append(e.data.begin(), e.data.end());
  dump(rec);
}

void PcapWriter::dump(const std::string& record) {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const auto usec = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
  pcap_pkthdr header{};
  header.ts.tv_sec = static_cast<time_t>(usec / 1000000);
  header.ts.tv_usec = static_cast<suseconds_t>(usec % 1000000);
  header.len = static_cast<bpf_u_int32>(record.size());
  header.caplen = static_cast<bpf_u_int32>(std::min<std::size_t>(record.size(), kSnapLength));
  pcap_dump(reinterpret_cast<u_char*>(dumper_), &header,
            reinterpret_cast<const u_char*>(record.data()));
}

void PcapWriter::flush() {
  if (ok()) pcap_dump_flush(dumper_);
}

}  // namespace pf::usb::detail
