// Playback from pin open to stop: a program stream captured from the unit is
// written to the MPEG input pin, and the unit's decoder shows its frames.
#include "driver_system/system.hpp"

namespace {

std::vector<std::uint8_t> captureSomeStream() {
  rig::DriverRig rig;
  EXPECT_TRUE(rig.ok()) << rig.why();
  if (!rig.ok()) return {};
  auto pin = sys::openPin(rig.filter(), 0, sys::captureFormat(rig.filter(), false));
  if (!pin) return {};
  EXPECT_EQ(pin->setState(KSSTATE_RUN), STATUS_SUCCESS);
  auto bytes = sys::readStream(*pin, 1536 * 1024);
  EXPECT_EQ(pin->setState(KSSTATE_STOP), STATUS_SUCCESS);
  pin->close();
  return bytes;
}

TEST(SystemPlayback, WrittenStreamIsDecodedByTheUnit) {
  const auto stream = captureSomeStream();
  ASSERT_FALSE(stream.empty());

  rig::DriverRig rig;
  ASSERT_TRUE(rig.ok()) << rig.why();
  pf::ks::Filter& filter = rig.filter();
  const auto format = sys::intersect(filter, 1, *filter.pin(1).dataRanges.front());
  ASSERT_EQ(format.size(), 80u);
  std::vector<std::uint8_t> announced = format;
  announced[sizeof(KSDATAFORMAT)] = 1;  // NTSC

  auto pin = sys::openPin(filter, 1, format);
  ASSERT_TRUE(pin);
  ASSERT_EQ(pin->setState(KSSTATE_PAUSE), STATUS_SUCCESS);
  auto change = pin->write(announced, KSSTREAM_HEADER_OPTIONSF_TYPECHANGED);
  ASSERT_TRUE(change->wait(std::chrono::seconds(20)));
  EXPECT_EQ(change->status(), STATUS_SUCCESS);
  ASSERT_EQ(pin->setState(KSSTATE_RUN), STATUS_SUCCESS);

  std::vector<pf::ks::RequestPtr> writes;
  for (std::size_t at = 0; at < stream.size(); at += 65536) {
    const std::size_t n = std::min<std::size_t>(65536, stream.size() - at);
    writes.push_back(pin->write(std::vector<std::uint8_t>(stream.begin() + static_cast<long>(at),
                                                          stream.begin() + static_cast<long>(at + n))));
  }
  std::size_t sent = 0;
  for (auto& w : writes) {
    ASSERT_TRUE(w->wait(std::chrono::seconds(20)));
    EXPECT_EQ(w->status(), STATUS_SUCCESS);
    sent += w->header().DataUsed;
  }
  EXPECT_EQ(sent, stream.size());
  // Stopping the pin stops the decoder, which then drains what it was given.
  ASSERT_EQ(pin->setState(KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_TRUE(rig.unit().waitPlaybackFinished(20'000));
  EXPECT_EQ(pin->close(), STATUS_SUCCESS);

  const auto stats = rig.unit().playback();
  ASSERT_TRUE(stats.has_value());
  EXPECT_GT(stats->framesDecoded, 10u);
  EXPECT_EQ(stats->width, 720);
  EXPECT_EQ(stats->height, 480);
  EXPECT_FALSE(stats->standardMismatch);
  EXPECT_EQ(stats->bytesFed, stream.size());
}

}  // namespace
