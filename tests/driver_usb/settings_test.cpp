// The settings store: what SettingsLoad accepts from the registry, the
// write-through, the query helpers and the image-path lookup.
#include <functional>

#include "driver/utils.h"
#include "pf/host/registry.hpp"
#include "usb_fixture.hpp"

namespace {

namespace reg = pf::registry;

// The defaults AdapterBringUp stores before the load.
void bringUpDefaults(DeviceContext* d) {
  d->CaptureWidth = 720;
  d->CaptureHeight = 480;
  d->BitRate = 4200000;
  d->PeakBitRate = 6000000;
  d->Brightness = 128;
  d->Contrast = 68;
  d->Saturation = 64;
  d->Hue = 0;
  d->VideoStandard = 1;
  d->AudioSamplingFrequency = 48000;
}

struct LoadCase {
  const char* name;
  std::vector<std::pair<std::string, std::uint32_t>> values;
  std::function<void(const DeviceContext&)> check;
};

class LoadTest : public ::testing::TestWithParam<LoadCase> {};

TEST_P(LoadTest, AcceptsOnlyValidValues) {
  rig::UnitRig r;
  DeviceContext* d = r.device();
  bringUpDefaults(d);
  for (const auto& [name, value] : GetParam().values) reg::setDword(r.driverKey(), name, value);
  SettingsLoad(d);
  GetParam().check(*d);
}

INSTANTIATE_TEST_SUITE_P(
    Values, LoadTest,
    ::testing::Values(
        LoadCase{"NothingStored", {},
                 [](const DeviceContext& d) {
                   EXPECT_EQ(d.CaptureMode, 0u);
                   EXPECT_EQ(d.VideoStandard, 1u);
                   EXPECT_EQ(d.CaptureWidth, 720u);
                   EXPECT_EQ(d.CaptureHeight, 480u);
                   EXPECT_EQ(d.BitRate, 4200000u);
                   EXPECT_EQ(d.PeakBitRate, 6000000u);
                   EXPECT_EQ(d.MaxBitRate, 6000000u);
                   EXPECT_EQ(d.MinBitRate, 1000000u);
                   EXPECT_EQ(d.VariableBitRateSupport, 1u);
                   EXPECT_EQ(d.VideoInput, 0u);
                   EXPECT_EQ(d.Brightness, 128u);
                   EXPECT_EQ(d.Contrast, 68u);
                   EXPECT_EQ(d.Saturation, 64u);
                   EXPECT_EQ(d.Hue, 0u);
                   EXPECT_EQ(d.Sharpness, 0u);
                   EXPECT_EQ(d.AudioVolumeLevel, 0);
                   EXPECT_EQ(d.AudioSamplingFrequency, 48000u);
                 }},
        LoadCase{"ModeLowByte", {{"CaptureMode", 0x101}},
                 [](const DeviceContext& d) {
                   EXPECT_EQ(d.CaptureMode, 1u);
                   EXPECT_EQ(d.CaptureWidth, 320u);
                   EXPECT_EQ(d.CaptureHeight, 240u);
                   EXPECT_EQ(d.BitRate, 1150000u);
                   EXPECT_EQ(d.MaxBitRate, 5000000u);
                   EXPECT_EQ(d.VariableBitRateSupport, 0u);
                 }},
        LoadCase{"ModeRejected", {{"CaptureMode", 2}},
                 [](const DeviceContext& d) { EXPECT_EQ(d.CaptureMode, 0u); }},
        LoadCase{"PalSizes", {{"VideoCaptureStandard", 0x10}},
                 [](const DeviceContext& d) {
                   EXPECT_EQ(d.VideoStandard, 0x10u);
                   EXPECT_EQ(d.CaptureHeight, 576u);
                 }},
        LoadCase{"StandardRejected", {{"VideoCaptureStandard", 2}},
                 [](const DeviceContext& d) {
                   EXPECT_EQ(d.VideoStandard, 1u);
                   EXPECT_EQ(d.CaptureHeight, 480u);
                 }},
        LoadCase{"PictureLimits",
                 {{"Brightness", 255}, {"Contrast", 128}, {"Saturation", 127}, {"Hue", 0xFFFFFFFF},
                  {"Sharpness", 0}, {"VideoInputConnected", 1}},
                 [](const DeviceContext& d) {
                   EXPECT_EQ(d.Brightness, 255u);
                   EXPECT_EQ(d.Contrast, 68u);
                   EXPECT_EQ(d.Saturation, 127u);
                   EXPECT_EQ(d.Hue, 0u);
                   EXPECT_EQ(d.Sharpness, 0u);
                   EXPECT_EQ(d.VideoInput, 1u);
                 }},
        LoadCase{"BrightnessTooHigh", {{"Brightness", 256}, {"Sharpness", 15}},
                 [](const DeviceContext& d) {
                   EXPECT_EQ(d.Brightness, 128u);
                   EXPECT_EQ(d.Sharpness, 15u);
                 }},
        LoadCase{"VolumeLowest", {{"AudioVolumeLevel", 0xFFFFFFCE}, {"AudioSamplingFrequency", 44100}},
                 [](const DeviceContext& d) {
                   EXPECT_EQ(d.AudioVolumeLevel, -50);
                   EXPECT_EQ(d.AudioSamplingFrequency, 44100u);
                 }},
        LoadCase{"VolumeBelowRange", {{"AudioVolumeLevel", 0xFFFFFFCD}, {"AudioSamplingFrequency", 22050}},
                 [](const DeviceContext& d) {
                   EXPECT_EQ(d.AudioVolumeLevel, 0);
                   EXPECT_EQ(d.AudioSamplingFrequency, 48000u);
                 }},
        LoadCase{"VolumeAboveRange", {{"AudioVolumeLevel", 1}},
                 [](const DeviceContext& d) { EXPECT_EQ(d.AudioVolumeLevel, 0); }},
        LoadCase{"BitRateSetIncomplete", {{"BitRate", 5000000}, {"VariableBitRateSupport", 1}},
                 [](const DeviceContext& d) {
                   EXPECT_EQ(d.BitRate, 4200000u);
                   EXPECT_EQ(d.PeakBitRate, 6000000u);
                 }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Settings, UnreadableKeyChangesNothing) {
  rig::UnitRig r;
  DeviceContext* d = r.device();
  bringUpDefaults(d);
  d->CaptureMode = 7;  // a marker: the load must not even reset the mode
  reg::unbindDriverKey(r.pdo());
  SettingsLoad(d);
  EXPECT_EQ(d->CaptureMode, 7u);
  ULONG value = 5;
  EXPECT_LT(SettingsQueryDword(d, L"Mpeg1MuxAudioDelay", &value), 0);
  EXPECT_EQ(value, 0u);
  reg::bindDriverKey(r.pdo(), r.driverKey());
}

TEST(Settings, SaveWritesADword) {
  rig::UnitRig r;
  EXPECT_EQ(SettingsSave(r.device(), L"Brightness", 200), STATUS_SUCCESS);
  auto stored = reg::value(r.driverKey(), "Brightness");
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(stored->type, ULONG(REG_DWORD));
  EXPECT_EQ(stored->data, (std::vector<std::uint8_t>{200, 0, 0, 0}));
}

TEST(Settings, QueriesYieldZeroForAnythingUnusable) {
  rig::UnitRig r;
  const std::string key = r.driverKey();
  reg::setDword(key, "Mpeg2MuxAudioDelay", 1234);
  reg::setDword(key, "FlushEncoder", 2);
  reg::setBinary(key, "Short", {1, 2});
  reg::setBinary(key, "Empty", {});
  ULONG value = 99;
  BOOLEAN flag = FALSE;
  EXPECT_EQ(SettingsQueryDword(r.device(), L"Mpeg2MuxAudioDelay", &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 1234u);
  EXPECT_EQ(SettingsQueryFlag(r.device(), L"FlushEncoder", &flag), STATUS_SUCCESS);
  EXPECT_TRUE(flag);
  for (const wchar_t* name : {L"Absent", L"Short", L"Empty"}) {
    value = 99;
    flag = TRUE;
    EXPECT_NE(SettingsQueryDword(r.device(), name, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 0u);
    (void)SettingsQueryFlag(r.device(), name, &flag);
    EXPECT_FALSE(flag);
  }
}

TEST(ImagePath, BuildsTheFullPathFromTheValue) {
  rig::UnitRig r;
  reg::setString(r.driverKey(), "MpegDecoderMicrocode", "decoder.ux");
  WCHAR path[260];
  std::fill(std::begin(path), std::end(path), WCHAR(0x7777));
  EXPECT_EQ(MicrocodeQueryPath(r.device(), L"MpegDecoderMicrocode", sizeof(path), path),
            STATUS_SUCCESS);
  EXPECT_EQ(std::wstring(path), L"\\systemroot\\SYSTEM32\\DRIVERS\\decoder.ux");
  EXPECT_EQ(path[259], 0);  // the rest is zero-filled
}

TEST(ImagePath, FailuresLeaveTheCallerToItsDefault) {
  rig::UnitRig r;
  reg::setBinary(r.driverKey(), "Mpeg1EncoderMicrocodePAL", {});
  reg::setString(r.driverKey(), "Mpeg2EncoderMicrocodePAL", std::string(300, 'x'));
  WCHAR path[512] = {};
  EXPECT_EQ(MicrocodeQueryPath(r.device(), L"Mpeg1EncoderMicrocodeNTSC", sizeof(path), path),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(MicrocodeQueryPath(r.device(), L"Mpeg1EncoderMicrocodePAL", sizeof(path), path),
            STATUS_INSUFFICIENT_RESOURCES);
  // 29 + 300 characters and the zero do not fit in 260.
  EXPECT_EQ(MicrocodeQueryPath(r.device(), L"Mpeg2EncoderMicrocodePAL", 260 * sizeof(WCHAR), path),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(path[0], 0);  // untouched
  EXPECT_EQ(MicrocodeQueryPath(r.device(), L"Mpeg2EncoderMicrocodePAL", sizeof(path), path),
            STATUS_SUCCESS);
  EXPECT_EQ(std::wstring(path).size(), 329u);
}

}  // namespace
