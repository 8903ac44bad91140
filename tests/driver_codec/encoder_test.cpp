// The encoder sequences: what the unit receives, in order, for the load,
// configuration, start and stop of the MPEG-1 and MPEG-2 encoders, which
// failures end a sequence, and what the DeviceContext records.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver_codec/codec_fixture.hpp"

namespace {

using codectest::CodecFixture;
using Seq = std::vector<std::string>;

const ULONG kNtsc = 0x1;
const ULONG kPal = 0x10;

// Argument word i of an encoder message's first command.
std::uint32_t Arg(const emu::ControlRecord& r, std::size_t i) {
  const std::size_t at = 13 + 4 * i;
  if (r.data.size() < at + 4) return 0xDEADBEEF;
  return std::uint32_t(r.data[at]) << 24 | std::uint32_t(r.data[at + 1]) << 16 |
         std::uint32_t(r.data[at + 2]) << 8 | r.data[at + 3];
}

class EncoderTest : public CodecFixture {
 protected:
  // The first record since the mark in the compact form summary.
  const emu::ControlRecord* find(const std::string& summary) {
    records_ = sentSinceMark();
    for (const auto& r : records_) {
      if (codectest::Summary(r) == summary) return &r;
    }
    return nullptr;
  }
  std::vector<emu::ControlRecord> records_;
};

TEST_F(EncoderTest, Mpeg2NtscCaptureStartLoadsConfiguresAndStarts) {
  configure();
  defaults(CaptureModeMpeg2, kNtsc);
  mark();
  ASSERT_EQ(CaptureStart(dev()), STATUS_SUCCESS);
  EXPECT_EQ(sequenceSinceMark(),
            (Seq{"02", "23", "28", "25", "27", "m:0004", "m:B115", "m:C119", "m:A106",
                 "m:9103", "m:000D", "m:A035", "04", "21", "m:B113", "m:A130", "m:8011",
                 "m:A004", "m:A002", "m:8001"}));
  EXPECT_GT(downloadRecordsSinceMark(), 0u);
  EXPECT_EQ(dev()->CodecState, CodecRunning);
  EXPECT_EQ(dev()->LoadedImageKind, ImageKindEncoder);
  EXPECT_EQ(dev()->LoadedImage, ImageMpeg2Ntsc);
  EXPECT_TRUE(dev()->EncoderStarted);

  const auto image = unit().microcode();
  EXPECT_TRUE(image.valid) << image.reason;
  EXPECT_EQ(image.kind, emu::ucode::Kind::Mpeg2Encoder);
  EXPECT_EQ(image.standard, emu::ucode::Standard::Ntsc);
  EXPECT_TRUE(unit().encoderRunning());
  const auto format = unit().streamFormat();
  ASSERT_TRUE(format);
  EXPECT_TRUE(format->mpeg2);
  EXPECT_EQ(format->width, 720);
  EXPECT_EQ(format->height, 480);
  EXPECT_EQ(format->fpsNum, 30000);
  ASSERT_TRUE(dev()->HighSpeed);  // the unit has 512-byte bulk packets
  EXPECT_EQ(format->bitRate, 7000000u);
  EXPECT_TRUE(format->variable);
  EXPECT_EQ(format->peakBitRate, 8000000u);
}

TEST_F(EncoderTest, Mpeg1PalCaptureStartLoadsConfiguresAndStarts) {
  configure();
  defaults(CaptureModeMpeg1, kPal);
  dev()->AudioSamplingFrequency = 44100;
  setDword("Mpeg1MuxAudioDelay", 1234);
  mark();
  ASSERT_EQ(CaptureStart(dev()), STATUS_SUCCESS);
  EXPECT_EQ(sequenceSinceMark(),
            (Seq{"02", "23", "28", "25", "27", "m:0004", "m:B115", "m:C119", "m:C11A",
                 "m:A004", "m:A002", "m:A00E", "m:A001", "m:A106", "m:9103", "m:000D",
                 "m:A035", "04", "21", "m:B113", "m:A00D", "m:8001"}));
  EXPECT_EQ(dev()->CodecState, CodecRunning);
  EXPECT_EQ(dev()->LoadedImage, ImageMpeg1Pal);

  const auto image = unit().microcode();
  EXPECT_EQ(image.kind, emu::ucode::Kind::Mpeg1Encoder);
  EXPECT_EQ(image.standard, emu::ucode::Standard::Pal);
  const auto config = unit().codecConfig();
  EXPECT_EQ(config.frameRateCode, 3);
  EXPECT_EQ(config.muxAudioDelay, 1234u);
  EXPECT_EQ(config.audioRate, 44100u);
  EXPECT_EQ(config.startPrefix, 0x100u);
  const auto format = unit().streamFormat();
  ASSERT_TRUE(format);
  EXPECT_FALSE(format->mpeg2);
  EXPECT_EQ(format->width, 320);
  EXPECT_EQ(format->height, 288);
  EXPECT_EQ(format->bitRate, 1150000u);
}

// Width codes and bit-rate limits applied at start, with what is stored.
struct StartCase {
  const char* name;
  ULONG mode;
  BOOLEAN highSpeed;
  ULONG width, bitRate, peak, variable;
  ULONG sentCode, storedWidth;
  const char* rateMessage;  // "m:A00D" or "m:A130"
  ULONG sentRate, sentPeak;  // sentPeak only for "m:A130"
  ULONG storedVariable;
};

const StartCase kStartCases[] = {
    {"Mpeg1UnlistedWidthAndLowRate", CaptureModeMpeg1, 0, 400, 500000, 0, 0, 1, 352, "m:A00D",
     1150000, 0, 0},
    {"Mpeg1Width480TopRate", CaptureModeMpeg1, 1, 480, 5000000, 0, 0, 0, 480, "m:A00D", 5000000,
     0, 0},
    {"Mpeg1AboveRangeIgnoresHighSpeed", CaptureModeMpeg1, 1, 320, 5000001, 0, 1, 2, 320,
     "m:A00D", 1150000, 0, 0},
    {"Mpeg2UnlistedWidthFullSpeedRate", CaptureModeMpeg2, 0, 640, 7000000, 6000000, 0, 0, 720,
     "m:A00D", 4200000, 0, 0},
    {"Mpeg2HighSpeedKeepsRate", CaptureModeMpeg2, 1, 544, 7000000, 8000000, 0, 3, 544, "m:A00D",
     7000000, 0, 0},
    {"Mpeg2HighSpeedAboveRange", CaptureModeMpeg2, 1, 352, 8000001, 8000000, 0, 7, 352,
     "m:A00D", 7000000, 0, 0},
    {"Mpeg2VariablePeakBelowAverageSentAsIs", CaptureModeMpeg2, 0, 704, 4000000, 3000000, 1, 1,
     704, "m:A130", 4000000, 3000000, 1},
    {"Mpeg2VariableLowRateFallsBack", CaptureModeMpeg2, 0, 480, 999999, 6000000, 1, 4, 480,
     "m:A130", 4200000, 6000000, 1},
    {"Mpeg2VariableFlagOnlyLowByteCounts", CaptureModeMpeg2, 0, 720, 4000000, 6000000, 0x100, 0,
     720, "m:A00D", 4000000, 0, 0},
};

TEST_F(EncoderTest, StartAppliesWidthCodesAndBitRateLimits) {
  for (const auto& c : kStartCases) {
    SCOPED_TRACE(c.name);
    defaults(c.mode, kNtsc);
    dev()->HighSpeed = c.highSpeed;
    dev()->CaptureWidth = c.width;
    dev()->BitRate = c.bitRate;
    dev()->PeakBitRate = c.peak;
    dev()->VariableBitRateSupport = c.variable;
    dev()->CodecState = CodecReady;
    mark();
    const NTSTATUS status =
        c.mode == CaptureModeMpeg2 ? EncMpeg2Start(dev()) : EncMpeg1Start(dev());
    EXPECT_EQ(status, STATUS_SUCCESS);
    const auto* size = find("m:B113");
    ASSERT_NE(size, nullptr);
    EXPECT_EQ(Arg(*size, 0), c.sentCode);
    const auto* rate = find(c.rateMessage);
    ASSERT_NE(rate, nullptr);
    if (std::string(c.rateMessage) == "m:A130") {
      EXPECT_EQ(Arg(*rate, 5), c.sentRate);
      EXPECT_EQ(Arg(*rate, 1), c.sentPeak);
    } else {
      EXPECT_EQ(Arg(*rate, 0), c.sentRate);
    }
    EXPECT_EQ(dev()->CaptureWidth, c.storedWidth);
    EXPECT_EQ(dev()->BitRate, c.sentRate);
    EXPECT_EQ(dev()->PeakBitRate, c.peak);
    EXPECT_EQ(dev()->VariableBitRateSupport, c.storedVariable);
    EXPECT_EQ(dev()->CodecState, CodecRunning);
  }
}

TEST_F(EncoderTest, FrameRateAndImageFollowTheStandard) {
  struct Case {
    ULONG mode, standard;
    ULONG image;
    emu::ucode::Standard file;
    int frameRate;
  } const cases[] = {
      {CaptureModeMpeg2, kPal, ImageMpeg2Pal, emu::ucode::Standard::Pal, 3},
      {CaptureModeMpeg2, kNtsc, ImageMpeg2Ntsc, emu::ucode::Standard::Ntsc, 4},
      {CaptureModeMpeg1, kPal, ImageMpeg1Pal, emu::ucode::Standard::Pal, 3},
      {CaptureModeMpeg1, kNtsc, ImageMpeg1Ntsc, emu::ucode::Standard::Ntsc, 4},
  };
  configure();
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "mode " << c.mode << " standard " << c.standard);
    defaults(c.mode, c.standard);
    const NTSTATUS status =
        c.mode == CaptureModeMpeg2 ? EncMpeg2Load(dev()) : EncMpeg1Load(dev());
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(dev()->LoadedImage, c.image);
    EXPECT_EQ(dev()->CodecState, CodecReady);
    EXPECT_FALSE(dev()->EncoderStarted);
    EXPECT_EQ(unit().microcode().standard, c.file);
    EXPECT_EQ(unit().codecConfig().frameRateCode, c.frameRate);
  }
}

TEST_F(EncoderTest, RegistryValueNamesTheImageFile) {
  configure();
  defaults(CaptureModeMpeg2, kNtsc);
  setString("Mpeg2EncoderMicrocodeNTSC", "enc2pal.ux");
  ASSERT_EQ(EncMpeg2Load(dev()), STATUS_SUCCESS);
  EXPECT_EQ(unit().microcode().standard, emu::ucode::Standard::Pal);
  EXPECT_EQ(dev()->LoadedImage, ImageMpeg2Ntsc);  // the id follows the standard
}

TEST_F(EncoderTest, NeedsLoadOnlyWhenTheRightImageIsNotReady) {
  struct Case {
    ULONG kind, image, state, standard;
    bool mpeg1, mpeg2;
  } const cases[] = {
      {ImageKindEncoder, ImageMpeg2Ntsc, CodecReady, kNtsc, true, false},
      {ImageKindEncoder, ImageMpeg2Ntsc, CodecRunning, kNtsc, true, false},
      {ImageKindEncoder, ImageMpeg2Ntsc, CodecUnloaded, kNtsc, true, true},
      {ImageKindEncoder, ImageMpeg2Ntsc, CodecReady, kPal, true, true},
      {ImageKindEncoder, ImageMpeg1Pal, CodecReady, kPal, false, true},
      {ImageKindEncoder, ImageMpeg1Ntsc, CodecReady, 0x2, false, true},
      {ImageKindDecoder, ImageMpeg1Ntsc, CodecReady, kNtsc, true, true},
  };
  for (const auto& c : cases) {
    dev()->LoadedImageKind = c.kind;
    dev()->LoadedImage = c.image;
    dev()->CodecState = c.state;
    dev()->VideoStandard = c.standard;
    EXPECT_EQ(EncMpeg1NeedsLoad(dev()) != FALSE, c.mpeg1) << c.image << "/" << c.state;
    EXPECT_EQ(EncMpeg2NeedsLoad(dev()) != FALSE, c.mpeg2) << c.image << "/" << c.state;
  }
}

TEST_F(EncoderTest, FailedDownloadLeavesStateAsItWas) {
  useFaults("cmd:28=stall", true);
  defaults(CaptureModeMpeg2, kNtsc);
  dev()->CodecState = CodecReady;
  dev()->LoadedImageKind = ImageKindDecoder;
  dev()->LoadedImage = ImageDecoder;
  mark();
  EXPECT_FALSE(NT_SUCCESS(EncMpeg2Load(dev())));
  EXPECT_EQ(sequenceSinceMark(), Seq{"28"});
  EXPECT_EQ(dev()->CodecState, CodecReady);
  EXPECT_EQ(dev()->LoadedImageKind, ImageKindDecoder);
  EXPECT_EQ(dev()->LoadedImage, ImageDecoder);
}

TEST_F(EncoderTest, CaptureStartReturnsTheLoadFailure) {
  useFaults("cmd:27=stall", true);
  defaults(CaptureModeMpeg1, kNtsc);
  mark();
  EXPECT_FALSE(NT_SUCCESS(CaptureStart(dev())));
  EXPECT_EQ(sequenceSinceMark(), (Seq{"02", "23", "28", "25", "27"}));
  EXPECT_EQ(dev()->CodecState, CodecUnloaded);
  EXPECT_EQ(dev()->LoadedImage, ImageMpeg1Ntsc);  // the image itself arrived
  EXPECT_EQ(dev()->LoadedImageKind, ImageKindNone);
}

// Which failing step ends which sequence. Faults name the vendor command and
// its n-th occurrence (0x20: the n-th message of the sequence).
struct FailureCase {
  const char* name;
  const char* faults;
  ULONG mode;
  bool configure;  // EncMpegXConfigure, else EncMpegXStart
  bool succeeds;
  Seq sent;
  ULONG state;
  bool started;
};

const FailureCase kFailureCases[] = {
    {"Mpeg1StartPassesOverStartCommand", "cmd:21=stall", CaptureModeMpeg1, false, true,
     {"21", "m:B113", "m:A00D", "m:8001"}, CodecRunning, true},
    {"Mpeg1StartPassesOverWidth", "cmd:20#1=stall", CaptureModeMpeg1, false, true,
     {"21", "m:B113", "m:A00D", "m:8001"}, CodecRunning, true},
    {"Mpeg1StartEndsAtBitRate", "cmd:20#2=stall", CaptureModeMpeg1, false, false,
     {"21", "m:B113", "m:A00D"}, CodecReady, false},
    {"Mpeg1FailedStartOrderStillCountsAsStarted", "cmd:20#3=stall", CaptureModeMpeg1, false,
     false, {"21", "m:B113", "m:A00D", "m:8001"}, CodecReady, true},
    {"Mpeg2StartEndsAtStartCommand", "cmd:21=stall", CaptureModeMpeg2, false, false, {"21"},
     CodecReady, false},
    {"Mpeg2StartEndsAtWidth", "cmd:20#1=stall", CaptureModeMpeg2, false, false,
     {"21", "m:B113"}, CodecReady, false},
    {"Mpeg2StartEndsAt8011", "cmd:20#3=stall", CaptureModeMpeg2, false, false,
     {"21", "m:B113", "m:A130", "m:8011"}, CodecReady, false},
    {"Mpeg2StartEndsAtStartOrder", "cmd:20#6=stall", CaptureModeMpeg2, false, false,
     {"21", "m:B113", "m:A130", "m:8011", "m:A004", "m:A002", "m:8001"}, CodecReady, false},
    {"Mpeg1ConfigurePassesOverFrameRate", "cmd:20#9=stall", CaptureModeMpeg1, true, true,
     {"27", "m:0004", "m:B115", "m:C119", "m:C11A", "m:A004", "m:A002", "m:A00E", "m:A001",
      "m:A106", "m:9103", "m:000D", "m:A035"},
     CodecReady, false},
    {"Mpeg1ConfigureEndsAtMux", "cmd:20#10=stall", CaptureModeMpeg1, true, false,
     {"27", "m:0004", "m:B115", "m:C119", "m:C11A", "m:A004", "m:A002", "m:A00E", "m:A001",
      "m:A106", "m:9103"},
     CodecReady, false},
    {"Mpeg1ConfigureEndsAtInit", "cmd:27=stall", CaptureModeMpeg1, true, false, {"27"},
     CodecReady, false},
    {"Mpeg2ConfigurePassesOverMuxAndAudio", "cmd:20#5=stall;cmd:20#6=stall", CaptureModeMpeg2,
     true, true, {"27", "m:0004", "m:B115", "m:C119", "m:A106", "m:9103", "m:000D", "m:A035"},
     CodecReady, false},
    {"Mpeg2ConfigureEndsAtC119", "cmd:20#3=stall", CaptureModeMpeg2, true, false,
     {"27", "m:0004", "m:B115", "m:C119"}, CodecReady, false},
    {"Mpeg2ConfigureResultIsTheLastMessage", "cmd:20#7=stall", CaptureModeMpeg2, true, false,
     {"27", "m:0004", "m:B115", "m:C119", "m:A106", "m:9103", "m:000D", "m:A035"}, CodecReady,
     false},
};

TEST_F(EncoderTest, FailuresEndOnlyTheStepsThatStop) {
  for (const auto& c : kFailureCases) {
    SCOPED_TRACE(c.name);
    useFaults(c.faults);
    defaults(c.mode, kNtsc);
    dev()->CodecState = CodecReady;
    mark();
    NTSTATUS status;
    if (c.configure) {
      status = c.mode == CaptureModeMpeg2 ? EncMpeg2Configure(dev()) : EncMpeg1Configure(dev());
    } else {
      status = c.mode == CaptureModeMpeg2 ? EncMpeg2Start(dev()) : EncMpeg1Start(dev());
    }
    EXPECT_EQ(NT_SUCCESS(status), c.succeeds) << std::hex << status;
    EXPECT_EQ(sequenceSinceMark(), c.sent);
    EXPECT_EQ(dev()->CodecState, c.state);
    EXPECT_EQ(dev()->EncoderStarted != FALSE, c.started);
  }
}

TEST_F(EncoderTest, StartOutsideReadySendsNothing) {
  for (ULONG mode : {CaptureModeMpeg1, CaptureModeMpeg2}) {
    SCOPED_TRACE(mode);
    auto start = mode == CaptureModeMpeg2 ? EncMpeg2Start : EncMpeg1Start;
    defaults(mode, kNtsc);
    mark();
    dev()->CodecState = CodecRunning;
    EXPECT_EQ(start(dev()), STATUS_SUCCESS);
    EXPECT_EQ(dev()->CodecState, CodecRunning);
    // Without microcode there is nothing to start, and no success to report.
    dev()->CodecState = CodecUnloaded;
    EXPECT_EQ(start(dev()), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(dev()->CodecState, CodecUnloaded);
    EXPECT_TRUE(sentSinceMark().empty());
  }
}

TEST_F(EncoderTest, BitRateChangeOnlyWhenReady) {
  for (ULONG state : {CodecUnloaded, CodecRunning}) {
    dev()->CodecState = state;
    dev()->BitRate = 4200000;
    mark();
    EXPECT_EQ(EncMpeg1SetBitRate(dev(), 2000000, 0, 0), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(EncMpeg2SetBitRate(dev(), 2000000, 3000000, 1), STATUS_INVALID_DEVICE_STATE);
    EXPECT_TRUE(sentSinceMark().empty());
    EXPECT_EQ(dev()->BitRate, 4200000u);
  }
}

TEST_F(EncoderTest, FailedWidthOrRateMessageStoresNothing) {
  useFaults("cmd:20=stall");
  dev()->CodecState = CodecReady;
  dev()->CaptureWidth = 640;
  dev()->BitRate = 4200000;
  dev()->VariableBitRateSupport = 1;
  EXPECT_FALSE(NT_SUCCESS(EncMpeg2SetWidth(dev(), 352)));
  EXPECT_FALSE(NT_SUCCESS(EncMpeg2SetBitRate(dev(), 2000000, 3000000, 0)));
  EXPECT_EQ(dev()->CaptureWidth, 640u);
  EXPECT_EQ(dev()->BitRate, 4200000u);
  EXPECT_EQ(dev()->VariableBitRateSupport, 1u);
}

struct StopCase {
  const char* name;
  const char* faults;
  ULONG state;
  BOOLEAN started;
  int flushValue;  // -1: "FlushEncoder" absent
  NTSTATUS result;
  Seq sent;
};

const StopCase kStopCases[] = {
    {"RunningStartedFlushOn", "", CodecRunning, TRUE, 1, STATUS_SUCCESS, {"m:8002", "2B"}},
    {"RunningStartedFlushAbsent", "", CodecRunning, TRUE, -1, STATUS_SUCCESS, {"m:8002"}},
    {"RunningStartedFlushOff", "", CodecRunning, TRUE, 0, STATUS_SUCCESS, {"m:8002"}},
    {"RunningNotStartedSinceLoad", "", CodecRunning, FALSE, 1, STATUS_SUCCESS, {"m:8002"}},
    {"FailedStopMessageSkipsFlush", "cmd:20=stall", CodecRunning, TRUE, 1, STATUS_UNSUCCESSFUL,
     {"m:8002"}},
    {"FlushFailureIsTheResult", "cmd:2B=stall", CodecRunning, TRUE, 1, STATUS_UNSUCCESSFUL,
     {"m:8002", "2B"}},
    {"ReadySendsNothing", "", CodecReady, TRUE, 1, STATUS_SUCCESS, {}},
    {"UnloadedSendsNothing", "", CodecUnloaded, TRUE, 1, STATUS_UNSUCCESSFUL, {}},
};

TEST_F(EncoderTest, StopWithOptionalFlush) {
  for (ULONG mode : {CaptureModeMpeg1, CaptureModeMpeg2}) {
    for (const auto& c : kStopCases) {
      SCOPED_TRACE(testing::Message() << c.name << " mode " << mode);
      useFaults(c.faults);
      if (c.flushValue >= 0) setDword("FlushEncoder", std::uint32_t(c.flushValue));
      dev()->CodecState = c.state;
      dev()->EncoderStarted = c.started;
      mark();
      const NTSTATUS status = mode == CaptureModeMpeg2 ? EncMpeg2Stop(dev()) : EncMpeg1Stop(dev());
      if (c.result == STATUS_SUCCESS) {
        EXPECT_EQ(status, STATUS_SUCCESS);
      } else if (c.state == CodecUnloaded) {
        EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
      } else {
        EXPECT_FALSE(NT_SUCCESS(status));
      }
      EXPECT_EQ(sequenceSinceMark(), c.sent);
      EXPECT_EQ(dev()->CodecState, CodecReady);
      EXPECT_EQ(dev()->EncoderStarted, c.started);  // only a load clears it
    }
  }
}

}  // namespace
