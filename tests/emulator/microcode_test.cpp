// Microcode images: the file format, the packed groups, and the unit's check
// of what it received.
#include "emulator_fixture.hpp"

namespace emu::test {
namespace {

TEST(MicrocodeImage, PackedGroupExpandsAndUnpacks) {
  const std::uint8_t in[5] = {0x11, 0x22, 0x33, 0x46, 0x55};
  std::uint8_t group[8];
  ucode::expandGroup(in, group);
  const std::uint8_t want[8] = {0x11, 0x22, 0x33, 0x46, 0x00, 0x00, 0x55, 0x00};
  EXPECT_TRUE(std::equal(group, group + 8, want));
  std::uint8_t back[5];
  ASSERT_TRUE(ucode::unpackGroup(group, back));
  EXPECT_TRUE(std::equal(back, back + 5, in));
  group[7] = 1;
  EXPECT_FALSE(ucode::unpackGroup(group, back)) << "a stray byte in a spare slot";
}

TEST(MicrocodeImage, OurImagesUseEveryRecordTypeAndVerify) {
  for (const auto& info : ucode::kImages) {
    const auto file = ucode::serialise(ucode::buildImage(info));
    const auto parsed = ucode::parse(file);
    ASSERT_TRUE(parsed.ok()) << parsed.error;
    bool seen[4] = {};
    bool mode0 = false, mode1 = false;
    for (const auto& r : parsed.records) {
      seen[unsigned(r.type) / 2] = true;
      if (r.type == ucode::RecordType::Packed) (r.packMode == 0 ? mode0 : mode1) = true;
    }
    EXPECT_TRUE(seen[0] && seen[1] && seen[2] && seen[3] && mode0 && mode1) << info.fileName;
    std::string why;
    const auto id = ucode::verify(parsed.records, &why);
    ASSERT_TRUE(id) << why;
    EXPECT_EQ(id->kind, info.kind);
    EXPECT_EQ(id->standard, info.standard);
    EXPECT_NE(ucode::inspect(file).find("intact"), std::string::npos);
  }
}

TEST(MicrocodeImage, DamagedFilesAreReportedNotOverread) {
  const auto good = ucode::serialise(ucode::buildImage(ucode::kImages[0]));
  struct Case { const char* what; std::function<void(std::vector<std::uint8_t>&)> damage; const char* says; };
  const Case cases[] = {
      {"magic", [](auto& f) { f[3] = 0x59; }, "magic"},
      {"count", [](auto& f) { f[4] = 0xFF; }, "past the end"},
      {"length", [](auto& f) { f.resize(f.size() - 1); }, "past the end"},
      {"payload", [](auto& f) { f[f.size() / 2] ^= 0x01; }, "checksum"},
  };
  for (const auto& c : cases) {
    auto f = good;
    c.damage(f);
    const std::string listing = ucode::inspect(f);
    EXPECT_NE(listing.find("damaged:"), std::string::npos) << c.what;
    EXPECT_NE(listing.find(c.says), std::string::npos) << c.what << ": " << listing;
  }
}

TEST_F(UnitTest, DownloadedImageIsRecognisedAndAcknowledged) {
  make();
  download(imageFile(ucode::Kind::Mpeg2Encoder, ucode::Standard::Pal));
  const auto image = unit->microcode();
  ASSERT_TRUE(image.valid) << image.reason;
  EXPECT_EQ(image.kind, ucode::Kind::Mpeg2Encoder);
  EXPECT_EQ(image.standard, ucode::Standard::Pal);
  const auto stats = unit->loaderStats();
  EXPECT_EQ(stats.syncs, 2u);
  EXPECT_EQ(stats.singles, 2u);
  // Acknowledgements: marker and sync count.
  const auto in = unit->bulkLog(proto::kEndpointIn).bytes;
  EXPECT_EQ(in, (std::vector<std::uint8_t>{proto::kSyncAckMarker, 1, proto::kSyncAckMarker, 2}));
  EXPECT_EQ(vendorOut(proto::kInitEncoder).status, 0u);
  EXPECT_EQ(unit->prepared(), Prepared::Encoder);
}

TEST_F(UnitTest, DamagedOrMissingImageKeepsTheCodecFromStarting) {
  struct Case { const char* what; bool load; std::function<void(std::vector<std::uint8_t>&)> damage; const char* says; };
  const Case cases[] = {
      {"no image", false, nullptr, "no microcode loaded"},
      {"flipped payload byte", true, [](auto& f) { f[f.size() - 40] ^= 0x10; }, "checksum"},
      {"not ours", true, [](auto& f) { f[16 + 12] = 'X'; }, "identity"},
  };
  for (const auto& c : cases) {
    make(fast());
    vendorOut(proto::kResetCodec);
    if (c.load) {
      auto file = imageFile(ucode::Kind::Mpeg2Encoder, ucode::Standard::Ntsc);
      c.damage(file);
      download(file);
    }
    EXPECT_FALSE(unit->microcode().valid) << c.what;
    startEncoder(true, 0, 4, 4200000, 48000);
    EXPECT_FALSE(unit->encoderRunning()) << c.what;
    const auto log = unit->log();
    const bool said = std::any_of(log.begin(), log.end(), [&](const std::string& l) { return l.find(c.says) != std::string::npos; });
    EXPECT_TRUE(said) << c.what;
    expectNothingIn(300);
  }
}

TEST_F(UnitTest, WrongKindOfImageIsRefused) {
  make(fast());
  download(imageFile(ucode::Kind::Decoder, ucode::Standard::Any));
  ASSERT_TRUE(unit->microcode().valid);
  vendorOut(proto::kInitEncoder);
  EXPECT_EQ(unit->prepared(), Prepared::None);
  // An MPEG-1 image started with the MPEG-2 prefix does not start either.
  download(imageFile(ucode::Kind::Mpeg1Encoder, ucode::Standard::Ntsc));
  startEncoder(true, 1, 4, 1150000, 44100);
  EXPECT_FALSE(unit->encoderRunning());
  const auto log = unit->log();
  EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const std::string& l) { return l.find("prefix") != std::string::npos; }));
}

}  // namespace
}  // namespace emu::test
