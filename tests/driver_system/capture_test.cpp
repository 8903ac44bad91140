// Capture from pin open to stop, as an application does it, checked at the
// far end: the file a user would get, as ffprobe reads it.
#include "driver_system/system.hpp"

namespace {

struct CaptureCase {
  const char* name;
  bool mpeg1;
  bool pal;
  int width, height;
  const char* codec;
  const char* frameRate;
};

class SystemCapture : public ::testing::TestWithParam<CaptureCase> {};

TEST_P(SystemCapture, DeliversTheConfiguredProgramStream) {
  const CaptureCase& c = GetParam();
  emu::UnitOptions unit = rig::testUnit();
  unit.signal.fields60 = !c.pal;  // the detected standard follows the signal
  rig::DriverRig rig(unit);
  ASSERT_TRUE(rig.ok()) << rig.why();
  pf::ks::Filter& filter = rig.filter();

  if (c.mpeg1) {
    KSPROPERTY_UNIT_ENCODING_S encoding{};
    ASSERT_EQ(filter.get(PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_ENCODING, encoding).status, STATUS_SUCCESS);
    encoding.CaptureMode = CaptureModeMpeg1;
    encoding.BitRate = UNIT_BIT_RATE_DEFAULT_MPEG1;
    encoding.PeakBitRate = 0;
    encoding.VariableBitRate = 0;
    encoding.Width = static_cast<ULONG>(c.width);
    encoding.Height = static_cast<ULONG>(c.height);
    ASSERT_EQ(filter.set(PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_ENCODING, encoding).status, STATUS_SUCCESS);
  }

  auto pin = sys::openPin(filter, 0, sys::captureFormat(filter, c.mpeg1));
  ASSERT_TRUE(pin);
  ASSERT_EQ(pin->setState(KSSTATE_RUN), STATUS_SUCCESS);
  const auto bytes = sys::readStream(*pin, 1u << 20);
  EXPECT_EQ(pin->setState(KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(pin->close(), STATUS_SUCCESS);

  const auto info = sys::probe(bytes);
  ASSERT_FALSE(info.is_discarded()) << "ffprobe could not read the capture";
  EXPECT_EQ(info["format"].value("format_name", ""), "mpeg");
  const auto* video = sys::streamOf(info, "video");
  ASSERT_NE(video, nullptr);
  EXPECT_EQ(video->value("codec_name", ""), c.codec);
  EXPECT_EQ(video->value("width", 0), c.width);
  EXPECT_EQ(video->value("height", 0), c.height);
  EXPECT_EQ(video->value("r_frame_rate", ""), c.frameRate);
  const auto* audio = sys::streamOf(info, "audio");
  ASSERT_NE(audio, nullptr);
  EXPECT_EQ(audio->value("sample_rate", ""), "48000");
  EXPECT_EQ(rig.session().remove(), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, SystemCapture,
    ::testing::Values(CaptureCase{"Mpeg2Ntsc", false, false, 720, 480, "mpeg2video", "30000/1001"},
                      CaptureCase{"Mpeg2Pal", false, true, 720, 576, "mpeg2video", "25/1"},
                      CaptureCase{"Mpeg1Ntsc", true, false, 352, 240, "mpeg1video", "30000/1001"},
                      CaptureCase{"Mpeg1Pal", true, true, 352, 288, "mpeg1video", "25/1"}),
    [](const ::testing::TestParamInfo<CaptureCase>& info) { return std::string(info.param.name); });

// The image is downloaded when the pin pauses from STOP (the codec is reset
// for every capture), and not again for pause/run cycles in between.
TEST(SystemCaptureCycle, DownloadsTheImageOnceAcrossPauseRunCycles) {
  rig::DriverRig rig;
  ASSERT_TRUE(rig.ok()) << rig.why();
  pf::ks::Filter& filter = rig.filter();
  const auto format = sys::captureFormat(filter, false);
  auto pin = sys::openPin(filter, 0, format);
  ASSERT_TRUE(pin);
  EXPECT_EQ(sys::downloads(rig.unit()), 0);
  ASSERT_EQ(pin->setState(KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_EQ(sys::downloads(rig.unit()), 1);
  EXPECT_TRUE(rig.unit().encoderRunning());
  for (int cycle = 0; cycle < 2; ++cycle) {
    ASSERT_EQ(pin->setState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_FALSE(sys::readStream(*pin, 256 * 1024).empty());
    ASSERT_EQ(pin->setState(KSSTATE_PAUSE), STATUS_SUCCESS);
  }
  EXPECT_EQ(sys::downloads(rig.unit()), 1);
  ASSERT_EQ(pin->setState(KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_FALSE(rig.unit().encoderRunning());
  EXPECT_EQ(pin->close(), STATUS_SUCCESS);

  // A second capture starts from a reset codec and downloads again.
  auto again = sys::openPin(filter, 0, format);
  ASSERT_TRUE(again);
  ASSERT_EQ(again->setState(KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_FALSE(sys::readStream(*again, 256 * 1024).empty());
  ASSERT_EQ(again->setState(KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(sys::downloads(rig.unit()), 2);
  EXPECT_EQ(again->close(), STATUS_SUCCESS);
}

}  // namespace

namespace {

// A bit-rate change between two captures shows in the second stream.
TEST(SystemCaptureBitRate, ChangeBetweenCapturesShowsInTheStream) {
  rig::DriverRig rig;
  ASSERT_TRUE(rig.ok()) << rig.why();
  pf::ks::Filter& filter = rig.filter();
  const auto format = sys::captureFormat(filter, false);
  for (const ULONG bitRate : {2000000u, 6000000u}) {
    KSPROPERTY_UNIT_ENCODING_S encoding{};
    ASSERT_EQ(filter.get(PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_ENCODING, encoding).status, STATUS_SUCCESS);
    encoding.BitRate = bitRate;
    encoding.PeakBitRate = bitRate;
    encoding.VariableBitRate = 0;
    ASSERT_EQ(filter.set(PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_ENCODING, encoding).status, STATUS_SUCCESS);
    auto pin = sys::openPin(filter, 0, format);
    ASSERT_TRUE(pin);
    ASSERT_EQ(pin->setState(KSSTATE_RUN), STATUS_SUCCESS);
    const auto bytes = sys::readStream(*pin, bitRate / 8);  // about a second of stream
    EXPECT_EQ(pin->setState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(pin->close(), STATUS_SUCCESS);
    const auto info = sys::probe(bytes);
    ASSERT_FALSE(info.is_discarded());
    const double measured = std::stod(info["format"].value("bit_rate", "0"));
    EXPECT_NEAR(measured, double(bitRate), 0.25 * bitRate) << "at " << bitRate << " bit/s";
  }
}

}  // namespace
