// The audio codec: the command form of every codec byte, the start-up
// sequence, level, mute and the sampling frequency.
#include "analog_fixture.hpp"

#include "pf/host/pool.hpp"

namespace analogtest {
namespace {

using Audio = AnalogFixture;

TEST_F(Audio, EveryCodecCommandIsAVendorRequestWithoutDataAndTheInFlag) {
  AudioCodecInit(dev());
  ASSERT_EQ(AudioCodecCommand1(dev()), STATUS_SUCCESS);
  ASSERT_EQ(AudioCodecCommand2(dev()), STATUS_SUCCESS);
  const auto requests = sent();
  ASSERT_EQ(requests.size(), 10u);
  for (const auto& r : requests) {
    // Request type 0x41 with the IN flag: the bus reports device-to-host.
    EXPECT_EQ(r.setup.bmRequestType & 0x7F, 0x41);
    EXPECT_EQ(r.setup.bRequest, 0);
    EXPECT_EQ(r.setup.wLength, 0);
    EXPECT_TRUE(r.data.empty());
  }
  const std::vector<std::pair<unsigned, unsigned>> expected = {
      {0x80, 0x16}, {0x81, 0x21}, {0x80, 0x14}, {0x81, 0x00}, {0x82, 0},
      {0x81, 0x80}, {0x82, 0},    {0x81, 0xC3}, {0x01, 0},    {0x02, 0}};
  EXPECT_EQ(codecCommands(), expected);
  const auto codec = unit().audioCodec();
  EXPECT_EQ(codec.status, 0x21);
  EXPECT_EQ(codec.setup, 0x03);
  EXPECT_FALSE(codec.muted());
  EXPECT_EQ(dev()->AudioCodecStatus, 0x21);
  EXPECT_EQ(dev()->AudioCodecSetup, 0x03);
  EXPECT_EQ(dev()->AudioCodecVolume, 0x00);
  EXPECT_EQ(dev()->AudioCodecMute, 0x00);
}

TEST_F(Audio, StartUpStopsAtTheFirstErrorStatus) {
  useFaults("cmd:82#1=stall");
  AudioCodecInit(dev());
  const std::vector<std::pair<unsigned, unsigned>> expected = {
      {0x80, 0x16}, {0x81, 0x21}, {0x80, 0x14}, {0x81, 0x00}, {0x82, 0}};
  EXPECT_EQ(codecCommands(), expected);
}

TEST_F(Audio, WriteTypesCarryTheirGroupPrefixAndRecordSixBits) {
  struct Case {
    ULONG type;
    UCHAR value;
    unsigned byte;
    UCHAR DeviceContext::*field;
  };
  const Case cases[] = {
      {0, 0xFF, 0x3F, &DeviceContext::AudioCodecStatus},
      {1, 0x45, 0x05, &DeviceContext::AudioCodecVolume},
      {2, 0x04, 0x84, &DeviceContext::AudioCodecMute},
      {3, 0x43, 0xC3, &DeviceContext::AudioCodecSetup},
      {7, 0xC9, 0x09, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    mark();
    (void)AudioCodecWrite(dev(), c.type, c.value);
    EXPECT_EQ(codecCommands(), (std::vector<std::pair<unsigned, unsigned>>{{0x81, c.byte}}));
    if (c.field) EXPECT_EQ(dev()->*c.field, c.value & 0x3F);
  }
  // Recorded before the command goes out, whatever its outcome.
  useFaults("cmd:81=stall");
  EXPECT_NE(AudioCodecWrite(dev(), 1, 9), STATUS_SUCCESS);
  EXPECT_EQ(dev()->AudioCodecVolume, 9);
}

TEST_F(Audio, NoPoolNoCommandAndNothingRecorded) {
  pf::pool::failNth(1);
  EXPECT_EQ(AudioCodecWrite(dev(), 2, 4), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(dev()->AudioCodecMute, 0);
  EXPECT_TRUE(sent().empty());
}

TEST_F(Audio, VolumeLevelsMapToCodecBytes) {
  struct Case {
    LONG level;
    NTSTATUS status;
    int byte;  // -1: nothing sent
  };
  const Case cases[] = {{0, STATUS_SUCCESS, 0x00},   {-1, STATUS_SUCCESS, 0x00},
                        {-2, STATUS_SUCCESS, 0x01},  {-50, STATUS_SUCCESS, 0x31},
                        {-51, STATUS_INVALID_PARAMETER, -1}, {1, STATUS_INVALID_PARAMETER, -1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.level);
    mark();
    dev()->AudioVolumeLevel = -7;
    EXPECT_EQ(AudioSetVolume(dev(), c.level), c.status);
    if (c.byte < 0) {
      EXPECT_TRUE(sent().empty());
      EXPECT_EQ(dev()->AudioVolumeLevel, -7);
      continue;
    }
    const std::vector<std::pair<unsigned, unsigned>> expected = {{0x80, 0x14},
                                                                 {0x81, unsigned(c.byte)}};
    EXPECT_EQ(codecCommands(), expected);
    EXPECT_EQ(dev()->AudioVolumeLevel, c.level);
    EXPECT_EQ(setting("AudioVolumeLevel"), std::uint32_t(c.level));
  }
}

TEST_F(Audio, AFailedVolumeCommandLeavesTheLevel) {
  useFaults("cmd:80=stall");
  EXPECT_NE(AudioSetVolume(dev(), -10), STATUS_SUCCESS);
  EXPECT_EQ(codecCommands().size(), 1u);  // no data byte after a failed address
  useFaults("cmd:81=stall");
  EXPECT_NE(AudioSetVolume(dev(), -10), STATUS_SUCCESS);
  EXPECT_EQ(dev()->AudioVolumeLevel, 0);
  EXPECT_FALSE(setting("AudioVolumeLevel"));
}

TEST_F(Audio, MuteAndUnmute) {
  ASSERT_EQ(AudioSetMute(dev(), 0x02), STATUS_SUCCESS);
  EXPECT_EQ(AudioGetMute(dev()), 1u);
  EXPECT_TRUE(unit().audioCodec().muted());
  ASSERT_EQ(AudioSetMute(dev(), 0), STATUS_SUCCESS);
  EXPECT_EQ(AudioGetMute(dev()), 0u);
  const std::vector<std::pair<unsigned, unsigned>> expected = {
      {0x80, 0x14}, {0x81, 0x84}, {0x80, 0x14}, {0x81, 0x80}};
  EXPECT_EQ(codecCommands(), expected);
  mark();
  (void)AudioGetMute(dev());
  EXPECT_TRUE(sent().empty());
  useFaults("cmd:80=stall");
  EXPECT_EQ(AudioSetMute(dev(), 1), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(codecCommands().size(), 1u);
}

TEST_F(Audio, SamplingFrequencyProgramsOnlyTheDecoderClock) {
  ASSERT_EQ(AudioSetSamplingFrequency(dev(), 44100, 1, 0), STATUS_SUCCESS);
  EXPECT_TRUE(codecCommands().empty());
  EXPECT_EQ(busWrites(kDecoder), std::vector<Bytes>{ParseHex("30 BC DF 02 00 F2 00 2D")});
  EXPECT_EQ(dev()->AudioSamplingFrequency, 44100u);
  EXPECT_EQ(dev()->AudioFlag1, 1);
  EXPECT_EQ(dev()->AudioFlag2, 0);
  EXPECT_EQ(setting("AudioSamplingFrequency"), 44100u);

  mark();
  EXPECT_EQ(AudioSetSamplingFrequency(dev(), 22050, 0, 1), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(sent().empty());
  EXPECT_EQ(dev()->AudioSamplingFrequency, 44100u);
  EXPECT_EQ(dev()->AudioFlag1, 1);
  EXPECT_EQ(dev()->AudioFlag2, 0);

  dev()->VideoStandard = kSecamB;
  EXPECT_EQ(AudioSetSamplingFrequency(dev(), 32000, 0, 0), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(dev()->AudioSamplingFrequency, 44100u);
}

}  // namespace
}  // namespace analogtest
