// The video front end: start-up tables, input selection, standards and the
// capture-size rules, the audio clock, picture controls, the fixed input and
// the output enable, checked on the bytes the unit's bus devices receive.
#include <cstring>

#include "analog_fixture.hpp"

namespace analogtest {
namespace {

using FrontEnd = AnalogFixture;

const char* const kDecoderGeneral =
    "00 00 08 C0 33 00 00 EB E0 F8 47 80 44 40 00 01 00 0E 40 11 80 00 11 FE 40 40 80";
const char* const kDecoderLines =
    "40 00 FF FF FF FF 77 77 77 77 77 77 77 77 77 77 77 77 77 77 77 77 FF FF FF 00 5B 0A 03 00 BE "
    "00 00";
const char* const kDecoderTask = "80 00 00 00 01 F0 08 D0 01 C0";
const char* const kOutputSync = "26 00 00 C9 1D 00 00 00 00 00";
const char* const kOutputTail =
    "55 56 67 58 12 F9 00 80 14 80 E8 10 42 03 00 05 16 04 16 18 38 40 00 00 00";

struct StartUpCase {
  ULONG standard;
  const char* clockTable;   // decoder 0x30-0x3A
  const char* outputTable;  // output 0x5A-0x7F
};

TEST_F(FrontEnd, StartUpSendsEveryTableInOrderForTheRecordedStandard) {
  const StartUpCase cases[] = {
      {kNtscM, "30 CD 20 03 00 CE FB 30 00 03 10 00",
       "5A 67 76 A5 6A 2E 2E 00 15 BF 1F 7C F0 21"},
      {kPalB, "30 00 C0 03 00 CE FB 30 00 03 10 00", "5A 3F 76 A5 20 2E 2E 00 02 AD CB 8A 09 2A"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.standard);
    useRevision(0x1003);
    dev()->VideoStandard = c.standard;
    dev()->VideoInput = 1;
    VideoFrontEndInit(dev());
    EXPECT_EQ(dev()->HardwareRevision, 0x1003u);

    const std::vector<Bytes> decoder = {
        ParseHex(kDecoderGeneral), ParseHex(kDecoderLines), ParseHex(c.clockTable),
        ParseHex(kDecoderTask),    ParseHex("02 C9"),       ParseHex("09 C7")};
    EXPECT_EQ(busWrites(kDecoder), decoder);

    Bytes low(39, 0), middle(12, 0);
    middle[0] = 0x2F;
    Bytes last = ParseHex(c.outputTable + std::string(" ") + kOutputTail);
    const std::vector<Bytes> output = {low, ParseHex(kOutputSync), middle, ParseHex("3A 13"), last};
    EXPECT_EQ(busWrites(kOutput), output);

    // Command 0 first, then 0x01, the bus tables, and the codec start-up last.
    auto all = codes();
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(all[0], 0x00u);
    EXPECT_EQ(all[1], 0x01u);
    const std::vector<std::pair<unsigned, unsigned>> codec = {
        {0x01, 0}, {0x80, 0x16}, {0x81, 0x21}, {0x80, 0x14}, {0x81, 0x00},
        {0x82, 0}, {0x81, 0x80}, {0x82, 0},    {0x81, 0xC3}};
    EXPECT_EQ(codecCommands(), codec);
    EXPECT_EQ(all.back(), 0x81u);

    // The shadow follows what the output encoder holds.
    const auto regs = unit().registers(kOutput);
    EXPECT_EQ(0, std::memcmp(dev()->VideoOutputShadow, regs.data(), 128));
    EXPECT_EQ(unit().selectedInput(), 1);
    EXPECT_EQ(setting("VideoInputConnected"), 1u);
  }
}

TEST_F(FrontEnd, OtherRevisionsSendNothingButTheRevisionRead) {
  for (std::uint16_t revision : {0x0103, 0x0003, 0x0200}) {
    SCOPED_TRACE(revision);
    useRevision(revision);
    VideoFrontEndInit(dev());
    EXPECT_EQ(codes(), std::vector<unsigned>{0x00});
  }
}

TEST_F(FrontEnd, AFailedDecoderTableSkipsTheRestButStillSelectsTheInput) {
  useFaults("cmd:72#2=stall");  // the 0x40-0x5F table
  dev()->HardwareRevision = 0x1003;
  ASSERT_EQ(VideoInitDecoder(dev()), STATUS_SUCCESS);
  const std::vector<Bytes> expected = {ParseHex(kDecoderGeneral), ParseHex(kDecoderLines),
                                       ParseHex("02 C0"), ParseHex("09 47")};
  EXPECT_EQ(busWrites(kDecoder), expected);
}

struct InputCase {
  ULONG pin;
  NTSTATUS status;
  std::vector<Bytes> writes;
  int selected;
};

TEST_F(FrontEnd, SelectInputWritesTheModeRegistersOfTheVideoPins) {
  const InputCase cases[] = {
      {1, STATUS_SUCCESS, {ParseHex("02 C9"), ParseHex("09 C7")}, 1},
      {0, STATUS_SUCCESS, {ParseHex("02 C0"), ParseHex("09 47")}, 0},
      {2, STATUS_NOT_IMPLEMENTED, {}, 0},  // the audio line pin
      {3, STATUS_INVALID_PARAMETER, {}, 0},  // beyond the pin table
  };
  dev()->Sharpness = 11;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pin);
    mark();
    const ULONG before = dev()->VideoInput;
    EXPECT_EQ(VideoSelectInput(dev(), c.pin), c.status);
    EXPECT_EQ(busWrites(kDecoder), c.writes);
    EXPECT_EQ(dev()->VideoInput, c.status == STATUS_SUCCESS ? c.pin : before);
    EXPECT_EQ(unit().selectedInput(), c.selected);
    if (c.status == STATUS_SUCCESS) EXPECT_EQ(setting("VideoInputConnected"), c.pin);
  }
  EXPECT_EQ(dev()->Sharpness, 11u);  // the mode change wrote 7, the record stays
}

TEST_F(FrontEnd, AFailedModeWriteLeavesTheInputUnrecorded) {
  useFaults("cmd:72#2=stall");  // register 0x09
  EXPECT_NE(VideoSelectInput(dev(), 1), STATUS_SUCCESS);
  EXPECT_EQ(dev()->VideoInput, 0u);
  EXPECT_FALSE(setting("VideoInputConnected"));
}

struct StandardCase {
  ULONG mode;
  ULONG width, height;  // before
  ULONG standard;
  ULONG newWidth, newHeight;
  bool persisted;       // the size was reset and written to the registry
  std::uint8_t reg0E;   // bits 4-6 of decoder register 0x0E
  std::uint8_t reg08;   // bit 6 of decoder register 0x08
  const char* subcarrier;  // output 0x63-0x66
};

TEST_F(FrontEnd, SetStandardProgramsBothDevicesAndResetsSizesTheStandardForbids) {
  const StandardCase cases[] = {
      {CaptureModeMpeg2, 720, 480, kPalB, 720, 576, true, 0x00, 0x00, "CB 8A 09 2A"},
      {CaptureModeMpeg2, 720, 576, kNtscM, 720, 480, true, 0x00, 0x40, "1F 7C F0 21"},
      {CaptureModeMpeg2, 704, 480, kNtscM, 704, 480, false, 0x00, 0x40, "1F 7C F0 21"},
      // NTSC_M_J is NTSC for the devices but takes the 576- and 288-line sizes.
      {CaptureModeMpeg2, 720, 480, kNtscMJ, 720, 576, true, 0x40, 0x40, "1F 7C F0 21"},
      {CaptureModeMpeg1, 320, 240, kNtscMJ, 480, 288, true, 0x40, 0x40, "1F 7C F0 21"},
      {CaptureModeMpeg1, 352, 288, kNtscM, 480, 240, true, 0x00, 0x40, "1F 7C F0 21"},
      {CaptureModeMpeg1, 352, 288, kPalM, 352, 288, false, 0x30, 0x40, "CB 8A 09 2A"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "standard " << c.standard << " mode " << c.mode << " "
                                    << c.width << "x" << c.height);
    makeFresh();
    DeviceContext* d = dev();
    d->CaptureMode = c.mode;
    d->CaptureWidth = c.width;
    d->CaptureHeight = c.height;
    d->VideoStandard = c.standard;  // recorded first, as its callers do
    d->AudioSamplingFrequency = 44100;
    ASSERT_EQ(VideoSetStandard(d, c.standard), STATUS_SUCCESS);
    EXPECT_EQ(d->VideoStandard, c.standard);
    EXPECT_EQ(d->CaptureWidth, c.newWidth);
    EXPECT_EQ(d->CaptureHeight, c.newHeight);
    if (c.persisted) {
      EXPECT_EQ(setting("HorzResolution"), c.newWidth);
      EXPECT_EQ(setting("VertResolution"), c.newHeight);
      EXPECT_EQ(setting("VideoCaptureStandard"), c.standard);
    } else {
      EXPECT_FALSE(setting("HorzResolution"));
      EXPECT_FALSE(setting("VideoCaptureStandard"));
    }
    EXPECT_EQ(decoderReg(0x0E) & 0x70, c.reg0E);
    EXPECT_EQ(decoderReg(0x08) & 0x40, c.reg08);
    // The audio clock for 44100 Hz at the field rate of the group.
    const Bytes clock = {decoderReg(0x30), decoderReg(0x31), decoderReg(0x32)};
    EXPECT_EQ(Hex(clock), (c.standard & 0xFF0) ? "00 72 03 " : "BC DF 02 ");
    const Bytes sub = {outputReg(0x63), outputReg(0x64), outputReg(0x65), outputReg(0x66)};
    EXPECT_EQ(Hex(sub), Hex(ParseHex(c.subcarrier)));
  }
}

TEST_F(FrontEnd, OutputStandardWritesKeepTheShadowBitsAndEndWithTheLastStatus) {
  dev()->VideoOutputShadow[0x62] = 0x80;
  dev()->VideoOutputShadow[0x61] = 0x40;  // output disabled
  ASSERT_EQ(VideoSetOutputStandard(dev(), kPalB), STATUS_SUCCESS);
  const std::vector<Bytes> expected = {
      ParseHex("62 AD"), ParseHex("28 21"), ParseHex("29 1D"), ParseHex("5A 3F"),
      ParseHex("61 42"), ParseHex("5D 20"), ParseHex("5E 02"), ParseHex("63 CB 8A 09 2A"),
      ParseHex("6C F9 00"), ParseHex("7A 18 38")};
  EXPECT_EQ(busWrites(kOutput), expected);

  useFaults("cmd:72#1=stall");  // only the first write fails: ignored
  EXPECT_EQ(VideoSetOutputStandard(dev(), kNtscM), STATUS_SUCCESS);
  EXPECT_EQ(dev()->VideoOutputShadow[0x62], 0x00);  // the failed write left the shadow
  EXPECT_EQ(dev()->VideoOutputShadow[0x28], 0x19);
  useFaults("cmd:72#10=stall");  // the last write fails: reported
  EXPECT_NE(VideoSetOutputStandard(dev(), kNtscM), STATUS_SUCCESS);
}

TEST_F(FrontEnd, OutputTablesStopAtTheFirstFailure) {
  useFaults("cmd:72#3=stall");  // the 0x2F-0x39 table
  EXPECT_NE(VideoInitOutput(dev()), STATUS_SUCCESS);
  EXPECT_EQ(busWrites(kOutput).size(), 3u);
  EXPECT_EQ(dev()->VideoOutputShadow[0x28], 0xC9);  // the tables before it are mirrored
}

TEST_F(FrontEnd, OutputWritesBeyondTheShadowAreRefused) {
  const Bytes last = ParseHex("7F 01");
  EXPECT_EQ(VideoOutputWrite(dev(), ULONG(last.size()), last.data()), STATUS_SUCCESS);
  EXPECT_EQ(dev()->VideoOutputShadow[0x7F], 0x01);
  const Bytes beyond = ParseHex("7F 01 02");
  EXPECT_EQ(VideoOutputWrite(dev(), ULONG(beyond.size()), beyond.data()),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(busWrites(kOutput).size(), 1u);
}

TEST_F(FrontEnd, SecamFailsAtTheAudioClockAfterTheDecoderRegisters) {
  dev()->VideoStandard = kSecamB;  // the decoder property records it first
  EXPECT_EQ(VideoSetStandard(dev(), kSecamB), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(decoderReg(0x0E) & 0x70, 0x50);
  EXPECT_EQ(decoderReg(0x08) & 0x40, 0x00);
  EXPECT_TRUE(busWrites(kOutput).empty());
  EXPECT_EQ(dev()->CaptureHeight, 480u);
  EXPECT_FALSE(setting("VideoCaptureStandard"));
}

struct ClockCase {
  ULONG standard;
  ULONG frequency;
  NTSTATUS status;
  const char* bytes;  // the one decoder write, or "" for none
};

TEST_F(FrontEnd, AudioClockWordsFollowTheRecordedFieldRate) {
  const ClockCase cases[] = {
      {kNtscM, 44100, STATUS_SUCCESS, "30 BC DF 02 00 F2 00 2D"},
      {kPalB, 44100, STATUS_SUCCESS, "30 00 72 03 00 F2 00 2D"},
      {kNtscM, 32000, STATUS_SUCCESS, "30 DE 15 02 00 DF A7 20"},
      {kPalB, 32000, STATUS_SUCCESS, "30 00 80 02 00 DF A7 20"},
      {kNtscM, 48000, STATUS_SUCCESS, "30 CD 20 03 00 CE FB 30"},
      {kPalM, 48000, STATUS_SUCCESS, "30 00 C0 03 00 CE FB 30"},  // PAL group: 50 Hz
      {kNtscM, 22050, STATUS_UNSUCCESSFUL, ""},
      {kSecamB, 48000, STATUS_UNSUCCESSFUL, ""},
      {0, 48000, STATUS_UNSUCCESSFUL, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.standard << " " << c.frequency);
    mark();
    dev()->VideoStandard = c.standard;
    EXPECT_EQ(VideoSetAudioClock(dev(), c.frequency), c.status);
    std::vector<Bytes> expected;
    if (*c.bytes) expected.push_back(ParseHex(c.bytes));
    EXPECT_EQ(busWrites(kDecoder), expected);
  }
}

struct ControlCase {
  const char* name;
  NTSTATUS (*set)(DeviceContext*, ULONG);
  ULONG DeviceContext::*field;
  std::uint8_t reg;
  ULONG max;
};

TEST_F(FrontEnd, PictureControlsValidateWriteRecordAndPersist) {
  const ControlCase cases[] = {
      {"Brightness", VideoSetBrightness, &DeviceContext::Brightness, 0x0A, 255},
      {"Contrast", VideoSetContrast, &DeviceContext::Contrast, 0x0B, 127},
      {"Saturation", VideoSetSaturation, &DeviceContext::Saturation, 0x0C, 127},
      {"Hue", VideoSetHue, &DeviceContext::Hue, 0x0D, 127},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    mark();
    const ULONG before = dev()->*c.field;
    EXPECT_EQ(c.set(dev(), c.max + 1), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(dev()->*c.field, before);

    EXPECT_EQ(c.set(dev(), c.max), STATUS_SUCCESS);
    EXPECT_EQ(busWrites(kDecoder), std::vector<Bytes>{Bytes({c.reg, std::uint8_t(c.max)})});
    EXPECT_EQ(dev()->*c.field, c.max);
    EXPECT_EQ(setting(c.name), c.max);
    EXPECT_EQ(decoderReg(c.reg), c.max);
    EXPECT_EQ(c.set(dev(), 0), STATUS_SUCCESS);
  }
  // A failed register write: STATUS_IO_DEVICE_ERROR, nothing recorded.
  useFaults("cmd:72=stall");
  dev()->Contrast = 68;
  EXPECT_EQ(VideoSetContrast(dev(), 10), STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(dev()->Contrast, 68u);
  EXPECT_FALSE(setting("Contrast"));
}

TEST_F(FrontEnd, SharpnessReplacesOnlyTheLowBitsOfTheModeRegister) {
  ASSERT_EQ(VideoSelectInput(dev(), 1), STATUS_SUCCESS);  // register 0x09 = C7
  for (ULONG bad : {0u, 16u}) {
    mark();
    EXPECT_EQ(VideoSetSharpness(dev(), bad), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(sent().empty());
  }
  mark();
  ASSERT_EQ(VideoSetSharpness(dev(), 3), STATUS_SUCCESS);
  const std::vector<Bytes> expected = {ParseHex("09"), ParseHex("09 C3")};
  EXPECT_EQ(busWrites(kDecoder), expected);
  EXPECT_EQ(dev()->Sharpness, 3u);
  EXPECT_EQ(setting("Sharpness"), 3u);

  // When the register cannot be read its other bits are unknown: nothing is written.
  useFaults("cmd:71=stall");
  dev()->Sharpness = 3;
  EXPECT_EQ(VideoSetSharpness(dev(), 9), STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(busWrites(kDecoder), std::vector<Bytes>{ParseHex("09")});
  EXPECT_EQ(dev()->Sharpness, 3u);
}

TEST_F(FrontEnd, PictureControlReadsAddressThenReadTheRegister) {
  ASSERT_EQ(VideoSetHue(dev(), 33), STATUS_SUCCESS);
  ASSERT_EQ(VideoSetBrightness(dev(), 200), STATUS_SUCCESS);
  UCHAR value = 0;
  mark();
  ASSERT_EQ(VideoReadHue(dev(), &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 33);
  EXPECT_EQ(codes(), (std::vector<unsigned>{0x72, 0x71}));
  ASSERT_EQ(VideoReadBrightness(dev(), &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 200);
  useFaults("cmd:71=stall");
  value = 0x55;
  EXPECT_NE(VideoReadContrast(dev(), &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 0x55);
}

TEST_F(FrontEnd, FixedInputAndBack) {
  dev()->HardwareRevision = 0x1003;
  VideoFrontEndInit(dev());
  ASSERT_EQ(VideoSelectInput(dev(), 1), STATUS_SUCCESS);
  ASSERT_EQ(VideoSetFixedInput(dev(), TRUE), STATUS_SUCCESS);
  EXPECT_EQ(unit().selectedInput(), 2);
  EXPECT_EQ(decoderReg(0x02), 0xC3);
  EXPECT_EQ(decoderReg(0x08) & 0x84, 0x04);
  EXPECT_EQ(decoderReg(0x13) & 0x80, 0x00);
  EXPECT_EQ(outputReg(0x62) & 0x80, 0x00);
  EXPECT_EQ(dev()->VideoInput, 1u);

  ASSERT_EQ(VideoSetFixedInput(dev(), FALSE), STATUS_SUCCESS);
  EXPECT_EQ(unit().selectedInput(), 1);
  EXPECT_EQ(decoderReg(0x02), 0xC9);
  EXPECT_EQ(decoderReg(0x08) & 0x84, 0x80);
  EXPECT_EQ(decoderReg(0x08) & 0x40, 0x40);  // NTSC kept
  EXPECT_EQ(0, std::memcmp(dev()->VideoOutputShadow, unit().registers(kOutput).data(), 128));
}

TEST_F(FrontEnd, FixedInputStopsAtTheFirstFailedStep) {
  useFaults("cmd:72#2=stall");  // register 0x09 of the input mode
  EXPECT_NE(VideoSetFixedInput(dev(), TRUE), STATUS_SUCCESS);
  EXPECT_EQ(codes(), (std::vector<unsigned>{0x72, 0x72}));
}

TEST_F(FrontEnd, DisableOutputFlipsOnlyBitSixOfRegister61) {
  dev()->VideoOutputShadow[0x61] = 0x15;
  ASSERT_EQ(VideoDisableOutput(dev(), TRUE), STATUS_SUCCESS);
  EXPECT_EQ(outputReg(0x61), 0x55);
  ASSERT_EQ(VideoDisableOutput(dev(), FALSE), STATUS_SUCCESS);
  EXPECT_EQ(outputReg(0x61), 0x15);
  EXPECT_EQ(busWrites(kOutput), (std::vector<Bytes>{ParseHex("61 55"), ParseHex("61 15")}));
}

struct SizeCase {
  ULONG standard, mode, width, height;
  bool valid;
};

TEST_F(FrontEnd, CaptureSizesFollowModeAndStandard) {
  const SizeCase cases[] = {
      {kNtscM, CaptureModeMpeg1, 352, 240, true},  {kNtscM, CaptureModeMpeg1, 352, 288, false},
      {kNtscM, CaptureModeMpeg1, 720, 480, false}, {kPalB, CaptureModeMpeg1, 320, 288, true},
      {kNtscMJ, CaptureModeMpeg1, 480, 288, true}, {kNtscM, CaptureModeMpeg2, 544, 480, true},
      {kNtscM, CaptureModeMpeg2, 720, 576, false}, {kPalB, CaptureModeMpeg2, 352, 576, true},
      {kPalB, CaptureModeMpeg2, 352, 480, false},  {kNtscM, 2, 720, 480, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.standard << " " << c.mode << " " << c.width << "x"
                                    << c.height);
    EXPECT_EQ(VideoIsCaptureSizeValid(c.standard, c.mode, c.width, c.height), c.valid);
    makeFresh();
    dev()->VideoStandard = c.standard;
    dev()->CaptureMode = c.mode;
    EXPECT_EQ(VideoSetCaptureSize(dev(), c.width, c.height),
              c.valid ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED);
    EXPECT_EQ(dev()->CaptureWidth, c.valid ? c.width : 720u);
    EXPECT_EQ(setting("HorzResolution"), c.valid ? std::optional<std::uint32_t>(c.width)
                                                 : std::nullopt);
    EXPECT_EQ(setting("VertResolution"), c.valid ? std::optional<std::uint32_t>(c.height)
                                                 : std::nullopt);
  }
}

}  // namespace
}  // namespace analogtest
