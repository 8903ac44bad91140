// Writes the bus's traffic record to a pcap file that Wireshark and tshark
// dissect: USBPcap framing (link type 249) or Linux usbmon, memory-mapped
// form (link type 220).
#pragma once

#include <pcap/pcap.h>

#include <string>

#include "pf/host/usb_bus.hpp"

namespace pf::usb::detail {

class PcapWriter {
 public:
  // Opens path for writing; ok() tells whether that worked (error() why not).
  PcapWriter(const std::string& path, PcapLinkType linkType);
  ~PcapWriter();
  PcapWriter(const PcapWriter&) = delete;
  PcapWriter& operator=(const PcapWriter&) = delete;

  bool ok() const { return dumper_ != nullptr; }
  const std::string& error() const { return error_; }

  // One record per Submit and Complete event; a pipe reset is written as the
  // CLEAR_FEATURE(ENDPOINT_HALT) request it sends; an abort writes nothing.
  void write(const TrafficEvent& event);
  void flush();

 private:
  void writeUsbPcap(const TrafficEvent& event);
  void writeUsbmon(const TrafficEvent& event);
  void dump(const std::string& record);

  PcapLinkType linkType_;
  pcap_t* pcap_ = nullptr;
  pcap_dumper_t* dumper_ = nullptr;
  std::string error_;
};

}  // namespace pf::usb::detail
