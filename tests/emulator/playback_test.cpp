// Playback: a stream written to bulk OUT after the decoder start is decoded.
#include <filesystem>

#include "emulator_fixture.hpp"

namespace emu::test {
namespace {

std::vector<std::uint8_t> makeStream(const StreamFormat& f, int frames) {
  std::string why;
  auto producer = MpegProducer::open(f, &why);
  EXPECT_TRUE(producer) << why;
  std::vector<std::uint8_t> out;
  if (!producer) return out;
  for (int i = 0; i < frames; ++i) EXPECT_TRUE(producer->next(out));
  producer->finish(out);
  return out;
}

class PlaybackTest : public UnitTest {
 protected:
  // The decoder's load, configuration and start, as the host sends them.
  void startDecoder(bool pal) {
    vendorOut(proto::kResetCodec);
    download(imageFile(ucode::Kind::Decoder, ucode::Standard::Any));
    vendorOut(proto::kInitDecoder);
    send(message(0, {{kPlain, 0x0003, 0x0E, {28}}}));
    send(message(0, {{kPlain, 0x0003, 2, {0xFFFFFFFF}}}));
    send(message(0, {{kPlain, 0x0003, 3, {0xFFFFFFFF}}}));
    vendorInNoData(proto::kModeDecode);
    vendorOut(proto::kStartDecoder);
    send(message(0, {{kPlain, 0x0090, 0x0F, {0x01020000u | (pal ? 1u : 0u), 0, 0, 0x8080, 0}}}));
    send(audioMessage(3, 48000));
    send(message(0, {{kPlain, 0x0093, 0, {0xFFFFFFFF, 0xFFFFFFFF, 0, 0}}}));
    send(message(0, {{kPlain, 0x0098, 3, {0xFFFFFFFF, 0, 0, 0}}}));
  }
  void stopDecoder() {
    vendorInNoData(proto::kModeIdle);
    send(message(0, {{kPlain, 0x009E, 0, {}}, {kPlain, 0x0099, 3, {1}}}));
    send(message(0, {{kPlain, 0x009F, 0, {}}, {kPlain, 0x009F, 3, {}}}));
    send(message(0, {{kPlain, 0x009F, 0x0F, {}}}));
  }
  void write(const std::vector<std::uint8_t>& stream) {
    for (std::size_t pos = 0; pos < stream.size(); pos += 65536) {
      std::vector<std::uint8_t> chunk(stream.begin() + std::ptrdiff_t(pos),
                                      stream.begin() + std::ptrdiff_t(std::min(stream.size(), pos + 65536)));
      const auto r = bulkOut(chunk);
      ASSERT_EQ(r.status, 0u);
      ASSERT_EQ(r.actual, chunk.size());
    }
  }
};

TEST_F(PlaybackTest, WrittenStreamIsDecodedAndItsFramesCounted) {
  const auto dir = std::filesystem::temp_directory_path() / "emu-playback-frames";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  UnitOptions o;
  o.frameSaveDir = dir.string();
  o.frameSaveEvery = 20;
  make(o);
  StreamFormat f;  // MPEG-2, 720x480, 29.97
  startDecoder(false);
  write(makeStream(f, 45));
  stopDecoder();
  ASSERT_TRUE(unit->waitPlaybackFinished(kWaitMs)) << "decoder did not drain";
  const auto stats = *unit->playback();
  EXPECT_TRUE(stats.error.empty()) << stats.error;
  EXPECT_EQ(stats.framesDecoded, 45u);
  EXPECT_EQ(stats.width, 720);
  EXPECT_EQ(stats.height, 480);
  EXPECT_EQ(stats.videoCodec, "mpeg2video");
  EXPECT_EQ(stats.audioRate, 48000);
  EXPECT_FALSE(stats.standardMismatch);
  std::size_t pngs = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir)) pngs += e.path().extension() == ".png";
  EXPECT_EQ(pngs, 3u) << "frames 0, 20 and 40";
  std::filesystem::remove_all(dir);
}

TEST_F(PlaybackTest, StreamOfTheOtherStandardIsNoted) {
  make();
  StreamFormat f;
  f.mpeg2 = false;
  f.width = 352;
  f.height = 240;
  f.bitRate = 1150000;
  startDecoder(true);  // announced PAL, stream is NTSC
  write(makeStream(f, 10));
  stopDecoder();
  ASSERT_TRUE(unit->waitPlaybackFinished(kWaitMs));
  const auto stats = *unit->playback();
  EXPECT_EQ(stats.framesDecoded, 10u);
  EXPECT_EQ(stats.videoCodec, "mpeg1video");
  EXPECT_TRUE(stats.standardMismatch);
}

TEST_F(PlaybackTest, BytesWithoutARunningDecoderAreDropped) {
  make();
  write(std::vector<std::uint8_t>(1000, 0));
  EXPECT_FALSE(unit->playback());
  EXPECT_EQ(unit->bulkLog(proto::kEndpointOut).total, 1000u);
}

}  // namespace
}  // namespace emu::test
