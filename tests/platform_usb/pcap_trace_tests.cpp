// The pcap trace: every transfer written so that tshark dissects setup
// packets, data stages, bulk payloads and completions, in both link types.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "support/command_output.hpp"
#include "usb_test_support.hpp"

namespace {

using pf::usb::PcapLinkType;
using usbtest::Bytes;
using usbtest::FakeDevice;
using usbtest::UrbSender;

bool haveTshark() { return std::system("tshark -v > /dev/null 2>&1") == 0; }

// Runs tshark on file and returns its output lines.
std::vector<std::string> tshark(const std::string& file, const std::string& args) {
  std::istringstream out(rig::commandOutput("tshark -r '" + file + "' " + args + " 2>/dev/null"));
  std::vector<std::string> lines;
  for (std::string line; std::getline(out, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::string joined(const std::vector<std::string>& lines) {
  std::ostringstream out;
  for (const auto& l : lines) out << l << '\n';
  return out.str();
}

// Plays a short session into a pcap file: the configuration descriptor, a
// vendor write with a data stage, a vendor read, one bulk read and write,
// and a pipe reset. recordBulkData is the bus option of that name; traffic,
// when given, receives the bus's traffic record.
std::string recordSession(PcapLinkType type, bool recordBulkData = true,
                          std::vector<pf::usb::TrafficEvent>* traffic = nullptr) {
  const auto file = std::filesystem::temp_directory_path() /
                    ("usb_trace_" + std::to_string(static_cast<int>(type)) + "_" +
                     std::to_string(::getpid()) + ".pcap");
  pf::usb::BusOptions options;
  options.pcapPath = file.string();
  options.pcapLinkType = type;
  options.synchronousBulk = true;
  options.recordBulkData = recordBulkData;
  pf::usb::Bus bus(options);
  auto device = std::make_shared<FakeDevice>();
  device->onControl = [](const pf::usb::SetupPacket& s, std::uint8_t* data) -> pf::usb::TransferResult {
    if (s.deviceToHost()) {
      data[0] = 0x03;
      data[1] = 0x10;
    }
    return {pf::usb::kUsbdSuccess, s.wLength};
  };
  const int port = bus.plug(device);
  PDEVICE_OBJECT pdo = bus.deviceObject(port);

  Bytes config(521);
  URB urb{};
  UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                               USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, config.data(), nullptr, 521,
                               nullptr);
  UrbSender(pdo).send(&urb);
  config.resize(urb.UrbControlDescriptorRequest.TransferBufferLength);
  usbtest::Selected s = usbtest::selectConfiguration(pdo, config);

  Bytes message = {0xDE, 0xAD, 0xBE, 0xEF};
  UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_INTERFACE,
                        sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0, 0x41, 0, 0, 0x20,
                        message.data(), nullptr, 4, nullptr);
  UrbSender(pdo).send(&urb);
  Bytes revision(2);
  UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_INTERFACE,
                        sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 1, 0xC1, 0, 0, 0x00,
                        revision.data(), nullptr, 2, nullptr);
  UrbSender(pdo).send(&urb);

  device->answer({pf::usb::kUsbdSuccess, Bytes{0x00, 0x00, 0x01, 0xBA}});
  Bytes in(16);
  usbtest::buildBulk(urb, s.iface()->Pipes[0].PipeHandle, in.data(), 16,
                     USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
  UrbSender(pdo).send(&urb);
  device->answer({});
  Bytes out = {0x11, 0x22, 0x33};
  usbtest::buildBulk(urb, s.iface()->Pipes[1].PipeHandle, out.data(), 3, 0);
  UrbSender(pdo).send(&urb);

  URB reset{};
  reset.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
  reset.UrbHeader.Function = URB_FUNCTION_RESET_PIPE;
  reset.UrbPipeRequest.PipeHandle = s.iface()->Pipes[0].PipeHandle;
  UrbSender(pdo).send(&reset);
  ExFreePool(s.urb);
  if (traffic) *traffic = bus.traffic();
  return file.string();  // the bus closes the file when it goes
}

class PcapTrace : public ::testing::TestWithParam<PcapLinkType> {};

TEST_P(PcapTrace, TsharkDissectsEveryTransfer) {
  if (!haveTshark()) GTEST_SKIP() << "tshark is not installed; pcap dissection not checked";
  const std::string file = recordSession(GetParam());
  const auto all = tshark(file, "-T fields -e frame.number");
  // 7 control transfers (GET_DESCRIPTOR, SET_CONFIGURATION, two vendor,
  // CLEAR_FEATURE) and 2 bulk, each a submission and a completion.
  EXPECT_EQ(all.size(), 2u * 7) << joined(all);

  const auto requests = tshark(file, "-Y usb.setup.bRequest -T fields -e usb.bmRequestType -e usb.setup.bRequest -e usb.setup.wIndex -e usb.LanguageId -e usb.setup.wEndpoint -e usb.setup.wLength");
  EXPECT_EQ(requests.size(), 5u) << joined(requests);
  const std::string text = joined(requests);
  // Columns: bmRequestType, bRequest, wIndex (vendor), LanguageId, wEndpoint, wLength.
  EXPECT_NE(text.find("0x80\t6\t\t0x0000\t\t521\n"), std::string::npos) << text;  // GET_DESCRIPTOR
  EXPECT_NE(text.find("0x00\t9\t"), std::string::npos) << text;               // SET_CONFIGURATION
  EXPECT_NE(text.find("0x41\t0\t32\t\t\t4\n"), std::string::npos) << text;   // vendor write 0x20
  EXPECT_NE(text.find("0xc1\t0\t0\t\t\t2\n"), std::string::npos) << text;    // vendor read 0x00
  EXPECT_NE(text.find("0x02\t1\t\t\t130\t0\n"), std::string::npos) << text;  // CLEAR_FEATURE on 0x82

  // Completions carry the status; the descriptor read is dissected as a configuration.
  const std::string summary = joined(tshark(file, ""));
  EXPECT_NE(summary.find("GET DESCRIPTOR Response CONFIGURATION"), std::string::npos) << summary;

  const auto payloads = tshark(file, "-Y \"usb.transfer_type == 3\" -T fields -e usb.endpoint_address -e usb.capdata");
  const std::string bulk = joined(payloads);
  EXPECT_NE(bulk.find("000001ba"), std::string::npos) << bulk;
  EXPECT_NE(bulk.find("112233"), std::string::npos) << bulk;
  EXPECT_NE(joined(tshark(file, "-T fields -e usb.data_fragment -e usb.capdata")).find("deadbeef"),
            std::string::npos);
  if (!::testing::Test::HasFailure()) std::filesystem::remove(file);
}

INSTANTIATE_TEST_SUITE_P(LinkTypes, PcapTrace,
                         ::testing::Values(PcapLinkType::UsbPcap, PcapLinkType::Usbmon),
                         [](const auto& info) {
                           return info.param == PcapLinkType::UsbPcap ? "UsbPcap" : "Usbmon";
                         });

// Without bulk bytes in the traffic record, bulk events keep their lengths
// and control events their data, and the trace file still has every byte.
TEST(PcapTraceFile, BulkBytesLeftOutOfTheRecordStillReachTheFile) {
  std::vector<pf::usb::TrafficEvent> traffic;
  const std::string file = recordSession(PcapLinkType::UsbPcap, false, &traffic);
  std::size_t bulk = 0, controlData = 0;
  for (const auto& e : traffic) {
    if (e.type == pf::usb::TrafficEvent::Type::Bulk) {
      ++bulk;
      EXPECT_TRUE(e.data.empty()) << "bulk event " << e.id << " kept its bytes";
      if (e.kind == pf::usb::TrafficEvent::Kind::Submit) EXPECT_GT(e.length, 0u);
    } else if (!e.data.empty()) {
      ++controlData;
    }
  }
  EXPECT_EQ(bulk, 4u);
  EXPECT_GT(controlData, 0u);

  std::ifstream in(file, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(bytes.find(std::string("\x00\x00\x01\xBA", 4)), std::string::npos);
  EXPECT_NE(bytes.find("\x11\x22\x33"), std::string::npos);
  std::filesystem::remove(file);
}

TEST(PcapTraceFile, UnwritablePathIsReportedAtConstruction) {
  pf::usb::BusOptions options;
  options.pcapPath = "/nonexistent-dir/trace.pcap";
  EXPECT_THROW(pf::usb::Bus bus(options), std::runtime_error);
}

}  // namespace
