// The encoder configured by hand-built messages streams real MPEG, checked
// with ffprobe; faults and unplugging on the bulk pipes.
#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "emulator_fixture.hpp"
#include "support/command_output.hpp"

namespace emu::test {
namespace {

struct StreamCase {
  const char* name;
  ucode::Kind kind;
  ucode::Standard standard;
  std::uint32_t sizeCode, rateCode, bitRate, audioRate;
  const char* codec;
  int width, height;
  const char* frameRate;
};

class StreamTest : public UnitTest, public ::testing::WithParamInterface<StreamCase> {};

TEST_P(StreamTest, CapturedBytesAreTheConfiguredProgramStream) {
  const StreamCase& c = GetParam();
  make(fast());
  vendorOut(proto::kResetCodec);
  download(imageFile(c.kind, c.standard));
  startEncoder(c.kind == ucode::Kind::Mpeg2Encoder, c.sizeCode, c.rateCode, c.bitRate, c.audioRate);
  ASSERT_TRUE(unit->encoderRunning()) << (unit->log().empty() ? "" : unit->log().back());

  // About three seconds of stream, in the driver's 64 KiB chunks.
  const std::size_t want = std::size_t(c.bitRate) / 8 * 3;
  std::vector<std::uint8_t> captured;
  std::vector<std::uint8_t> chunk(65536);
  while (captured.size() < want) {
    const auto r = bulk(proto::kEndpointIn, chunk.data(), chunk.size());
    ASSERT_EQ(r.status, 0u);
    ASSERT_GT(r.actual, 0u);
    captured.insert(captured.end(), chunk.begin(), chunk.begin() + std::ptrdiff_t(r.actual));
  }
  const auto path = std::filesystem::temp_directory_path() / (std::string("emu-") + c.name + ".mpg");
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(captured.data()), std::streamsize(captured.size()));

  const auto json = nlohmann::json::parse(
      rig::commandOutput("ffprobe -v error -show_streams -show_format -of json " + path.string()), nullptr, false);
  std::filesystem::remove(path);
  ASSERT_FALSE(json.is_discarded());
  EXPECT_EQ(json["format"]["format_name"], "mpeg");
  bool video = false, audio = false;
  for (const auto& s : json["streams"]) {
    if (s["codec_type"] == "video") {
      video = true;
      EXPECT_EQ(s["codec_name"], c.codec);
      EXPECT_EQ(s["width"], c.width);
      EXPECT_EQ(s["height"], c.height);
      EXPECT_EQ(s["r_frame_rate"], c.frameRate);
    } else if (s["codec_type"] == "audio") {
      audio = true;
      EXPECT_EQ(s["codec_name"], "mp2");
      EXPECT_EQ(s["sample_rate"], std::to_string(c.audioRate));
    }
  }
  EXPECT_TRUE(video && audio) << json.dump();
  EXPECT_EQ(unit->codecConfig().bitRate, c.bitRate);

  // Stop and flush: the stream ends and nothing further arrives.
  vendorInNoData(proto::kModeIdle);
  send(message(0, {{kPlain, 0x8002, 0, {0}}, {kPlain, 0x8002, 1, {0}}}));
  EXPECT_FALSE(unit->encoderRunning());
  vendorOut(proto::kFlushEncoder);
  expectNothingIn(200);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, StreamTest,
    ::testing::Values(
        StreamCase{"mpeg2ntsc", ucode::Kind::Mpeg2Encoder, ucode::Standard::Ntsc, 0, 4, 6000000, 48000,
                   "mpeg2video", 720, 480, "30000/1001"},
        StreamCase{"mpeg2pal", ucode::Kind::Mpeg2Encoder, ucode::Standard::Pal, 4, 3, 4200000, 44100,
                   "mpeg2video", 480, 576, "25/1"},
        StreamCase{"mpeg1pal", ucode::Kind::Mpeg1Encoder, ucode::Standard::Pal, 1, 3, 1150000, 32000,
                   "mpeg1video", 352, 288, "25/1"}),
    [](const auto& info) { return std::string(info.param.name); });

class StreamingUnit : public UnitTest {
 protected:
  void streaming(UnitOptions o) {
    make(o);
    download(imageFile(ucode::Kind::Mpeg1Encoder, ucode::Standard::Ntsc));
    startEncoder(false, 2, 4, 1150000, 48000);
    ASSERT_TRUE(unit->encoderRunning());
  }
};

TEST_F(StreamingUnit, TransferCompletesWithWhatIsAvailableUpToTheLength) {
  streaming(fast());
  std::uint8_t small[100];
  const auto r = bulk(proto::kEndpointIn, small, sizeof small);
  EXPECT_EQ(r.actual, sizeof small);
  // An MPEG-1 system stream begins with a pack start code.
  EXPECT_EQ(small[0], 0x00);
  EXPECT_EQ(small[3], 0xBA);
}

TEST_F(StreamingUnit, BulkFaultsFromTheScript) {
  UnitOptions o = fast();
  std::string why;
  // Transfer 1-2 of IN are the microcode acknowledgements.
  o.faults = *parseFaultScript("in#3=C0000001/10;in#4=zerox2;in#6=stall;in#8=noresponse", &why);
  streaming(o);
  std::vector<std::uint8_t> buf(1000);
  auto r = bulk(proto::kEndpointIn, buf.data(), buf.size());
  EXPECT_EQ(r.status, 0xC0000001u);
  EXPECT_EQ(r.actual, 10u);
  EXPECT_EQ(bulk(proto::kEndpointIn, buf.data(), buf.size()).actual, 0u);
  EXPECT_EQ(bulk(proto::kEndpointIn, buf.data(), buf.size()).actual, 0u);
  EXPECT_EQ(bulk(proto::kEndpointIn, buf.data(), buf.size()).status, pf::usb::kUsbdStallPid);
  EXPECT_EQ(bulk(proto::kEndpointIn, buf.data(), buf.size()).status, pf::usb::kUsbdStallPid) << "halted until reset";
  EXPECT_EQ(unit->resetEndpoint(proto::kEndpointIn), pf::usb::kUsbdSuccess);
  EXPECT_EQ(bulk(proto::kEndpointIn, buf.data(), buf.size()).status, pf::usb::kUsbdDevNotResponding);
  EXPECT_FALSE(unit->gone());
  r = bulk(proto::kEndpointIn, buf.data(), buf.size());
  EXPECT_EQ(r.status, 0u);
  EXPECT_EQ(r.actual, buf.size());
}

TEST_F(StreamingUnit, UnplugFailsPendingAndLaterRequests) {
  UnitOptions o = fast();
  std::string why;
  o.faults = *parseFaultScript("in#3=gone", &why);
  streaming(o);
  std::uint8_t buf[64];
  EXPECT_EQ(bulk(proto::kEndpointIn, buf, sizeof buf).status, pf::usb::kUsbdDevNotResponding);
  EXPECT_TRUE(unit->gone());
  EXPECT_EQ(host.removed.load(), 1);
  EXPECT_EQ(bulk(proto::kEndpointIn, buf, sizeof buf).status, pf::usb::kUsbdDeviceGone);
  EXPECT_EQ(vendorInNoData(proto::kModeIdle).status, pf::usb::kUsbdDeviceGone);
}

TEST_F(UnitTest, UnplugAtATimeCompletesAParkedTransfer) {
  UnitOptions o;
  o.faults.unplugAfterMs = 100;
  make(o);
  std::uint8_t buf[64];
  EXPECT_EQ(bulk(proto::kEndpointIn, buf, sizeof buf).status, pf::usb::kUsbdDeviceGone);
  EXPECT_EQ(host.removed.load(), 1);
}

TEST_F(StreamingUnit, RealTimePacingHoldsBackTheStream) {
  streaming(UnitOptions{});  // real time
  std::vector<std::uint8_t> buf(65536);
  std::size_t total = 0;
  const auto start = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(500))
    total += bulk(proto::kEndpointIn, buf.data(), buf.size()).actual;
  // Half a second at 1.15 Mbit/s is some 72 KB; fast mode would give megabytes.
  EXPECT_LT(total, 400000u);
  EXPECT_GT(total, 0u);
}

}  // namespace
}  // namespace emu::test
