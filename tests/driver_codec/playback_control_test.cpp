// The decoder sequences and capture and playback control: what the unit
// receives for a playback start, the decoder start and stop, the capture and
// playback stops (after the worker has gone idle) and the unit-idle property.
#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "driver_codec/codec_fixture.hpp"

namespace {

using codectest::CodecFixture;
using Seq = std::vector<std::string>;

const ULONG kNtsc = 0x1;
const ULONG kPal = 0x10;

class ControlTest : public CodecFixture {
 protected:
  // A stream state-change request of stream n, as the stream loop hands it
  // to the stop operations, with the worker idle unless told otherwise.
  void prepareStop(ULONG n, bool workerIdle = true) {
    DeviceContext* d = dev();
    InitializeListHead(&d->StreamPendingList[n]);
    KeInitializeSpinLock(&d->StreamPendingLock[n]);
    KeInitializeEvent(&d->WorkerIdleEvent, NotificationEvent, workerIdle ? TRUE : FALSE);
    object_ = HW_STREAM_OBJECT();
    object_.StreamNumber = n;
    object_.HwStreamExtension = &stream_;
    object_.HwDeviceExtension = d;
    stream_ = StreamContext();
    stream_.Device = d;
    stream_.StreamObject = &object_;
    request_ = HW_STREAM_REQUEST_BLOCK();
    request_.Command = SRB_SET_STREAM_STATE;
    request_.StreamObject = &object_;
    request_.HwDeviceExtension = d;
    request_.CommandData.StreamState = KSSTATE_STOP;
  }

  HW_STREAM_OBJECT object_{};
  StreamContext stream_{};
  HW_STREAM_REQUEST_BLOCK request_{};
};

TEST_F(ControlTest, PlaybackStartLoadsAndConfiguresTheDecoderWithoutStartingIt) {
  configure();
  defaults(CaptureModeMpeg2, kNtsc);
  // Whatever the codec held, a playback start reloads.
  dev()->CodecState = CodecReady;
  dev()->LoadedImageKind = ImageKindDecoder;
  dev()->LoadedImage = ImageDecoder;
  mark();
  ASSERT_EQ(PlaybackStart(dev()), STATUS_SUCCESS);
  EXPECT_EQ(sequenceSinceMark(),
            (Seq{"02", "23", "28", "25", "26", "m:0003", "m:0003", "m:0003"}));
  const auto records = sentSinceMark();
  std::vector<std::string> channelSetup;
  for (const auto& r : records) {
    if (codectest::Summary(r) == "m:0003") channelSetup.push_back(codectest::Hex(r.data));
  }
  EXPECT_EQ(channelSetup,
            (std::vector<std::string>{
                codectest::Hex(codectest::ParseHex("00 00000003 FFFFFFFF 00030E01 0000001C")),
                codectest::Hex(codectest::ParseHex("00 00000003 FFFFFFFF 00030201 FFFFFFFF")),
                codectest::Hex(codectest::ParseHex("00 00000003 FFFFFFFF 00030301 FFFFFFFF"))}));
  EXPECT_EQ(dev()->CodecState, CodecReady);
  EXPECT_EQ(dev()->LoadedImageKind, ImageKindDecoder);
  EXPECT_EQ(dev()->LoadedImage, ImageDecoder);
  EXPECT_EQ(unit().microcode().kind, emu::ucode::Kind::Decoder);
  EXPECT_EQ(unit().prepared(), emu::Prepared::Decoder);
}

TEST_F(ControlTest, DecoderImageNamedInTheRegistry) {
  configure();
  defaults(CaptureModeMpeg2, kNtsc);
  setString("MpegDecoderMicrocode", "enc1pal.ux");
  // The named file is downloaded; the decoder set-up then fails at the unit,
  // since that file is no decoder.
  (void)DecLoad(dev());
  EXPECT_EQ(unit().microcode().kind, emu::ucode::Kind::Mpeg1Encoder);
}

TEST_F(ControlTest, PlaybackStartReturnsTheLoadFailure) {
  useFaults("cmd:26=stall", true);
  defaults(CaptureModeMpeg2, kNtsc);
  mark();
  EXPECT_FALSE(NT_SUCCESS(PlaybackStart(dev())));
  EXPECT_EQ(sequenceSinceMark(), (Seq{"02", "23", "28", "25", "26"}));
  EXPECT_EQ(dev()->CodecState, CodecUnloaded);
  EXPECT_EQ(dev()->LoadedImage, ImageDecoder);
  // Nothing loaded: a format-change packet cannot start the decoder.
  mark();
  EXPECT_EQ(DecStart(dev()), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(sentSinceMark().empty());
}

TEST_F(ControlTest, DecoderStartAndStop) {
  configure();
  defaults(CaptureModeMpeg2, kPal);
  ASSERT_EQ(PlaybackStart(dev()), STATUS_SUCCESS);
  mark();
  ASSERT_EQ(DecStart(dev()), STATUS_SUCCESS);
  EXPECT_EQ(sequenceSinceMark(), (Seq{"22", "m:0090", "m:000D", "m:0093", "m:0098"}));
  EXPECT_EQ(dev()->CodecState, CodecRunning);
  EXPECT_TRUE(unit().codecConfig().decoderPal);

  // A second format change while running leaves the decoder alone.
  mark();
  EXPECT_EQ(DecStart(dev()), STATUS_SUCCESS);
  EXPECT_TRUE(sentSinceMark().empty());

  mark();
  ASSERT_EQ(DecStop(dev()), STATUS_SUCCESS);
  EXPECT_EQ(sequenceSinceMark(), (Seq{"m:009E", "m:009F", "m:009F"}));
  EXPECT_EQ(dev()->CodecState, CodecReady);

  // Stopped: nothing more to send.
  mark();
  EXPECT_EQ(DecStop(dev()), STATUS_SUCCESS);
  EXPECT_TRUE(sentSinceMark().empty());
}

struct DecoderFailureCase {
  const char* name;
  const char* faults;
  bool start;  // DecStart from CodecReady, else DecStop from CodecRunning
  bool succeeds;
  Seq sent;
  ULONG state;
};

const DecoderFailureCase kDecoderFailures[] = {
    {"StartCommandFails", "cmd:22=stall", true, false, {"22"}, CodecReady},
    {"StartMessageFails", "cmd:20#3=stall", true, false, {"22", "m:0090", "m:000D", "m:0093"},
     CodecReady},
    {"FirstStopMessageFails", "cmd:20#1=stall", false, false, {"m:009E"}, CodecRunning},
    {"MiddleStopMessageIsNotLookedAt", "cmd:20#2=stall", false, true,
     {"m:009E", "m:009F", "m:009F"}, CodecReady},
    {"LastStopMessageFails", "cmd:20#3=stall", false, false, {"m:009E", "m:009F", "m:009F"},
     CodecRunning},
};

TEST_F(ControlTest, DecoderFailuresEndTheSequence) {
  for (const auto& c : kDecoderFailures) {
    SCOPED_TRACE(c.name);
    useFaults(c.faults);
    defaults(CaptureModeMpeg2, kNtsc);
    dev()->CodecState = c.start ? CodecReady : CodecRunning;
    mark();
    const NTSTATUS status = c.start ? DecStart(dev()) : DecStop(dev());
    EXPECT_EQ(status == STATUS_SUCCESS, c.succeeds) << std::hex << status;
    EXPECT_EQ(sequenceSinceMark(), c.sent);
    EXPECT_EQ(dev()->CodecState, c.state);
  }
}

TEST_F(ControlTest, CaptureStopGoesIdleThenStopsAndFlushes) {
  configure();
  defaults(CaptureModeMpeg2, kNtsc);
  setDword("FlushEncoder", 1);
  ASSERT_EQ(CaptureStart(dev()), STATUS_SUCCESS);
  prepareStop(StreamCapture);
  dev()->VideoDecoderStatus = 0x21;
  mark();
  EXPECT_EQ(CaptureStop(&request_), STATUS_SUCCESS);
  EXPECT_EQ(sequenceSinceMark(), (Seq{"03", "m:8002", "2B"}));
  EXPECT_EQ(dev()->CodecState, CodecReady);
  EXPECT_EQ(dev()->VideoDecoderStatus, 0);
  EXPECT_FALSE(unit().encoderRunning());
  EXPECT_EQ(unit().mode(), emu::UnitMode::Idle);
}

TEST_F(ControlTest, CaptureStopAfterTearDownOnlyWaitsAndCancels) {
  defaults(CaptureModeMpeg1, kNtsc);
  dev()->CodecState = CodecRunning;
  dev()->Flags = DeviceGone | TornDown;
  prepareStop(StreamCapture);
  mark();
  EXPECT_EQ(CaptureStop(&request_), STATUS_SUCCESS);
  EXPECT_TRUE(sentSinceMark().empty());
  EXPECT_EQ(dev()->CodecState, CodecRunning);
}

TEST_F(ControlTest, PlaybackStopSpeaksToTheUnitEvenAfterTearDown) {
  defaults(CaptureModeMpeg2, kNtsc);
  dev()->CodecState = CodecRunning;
  dev()->Flags = DeviceGone | TornDown;
  prepareStop(StreamPlayback);
  mark();
  EXPECT_EQ(PlaybackStop(&request_), STATUS_SUCCESS);
  EXPECT_EQ(sequenceSinceMark(), (Seq{"03", "m:009E", "m:009F", "m:009F"}));
  EXPECT_EQ(dev()->CodecState, CodecReady);
}

// The stops wait for the worker: nothing reaches the unit until it is idle.
TEST_F(ControlTest, StopsWaitUntilTheWorkerIsIdle) {
  for (ULONG n : {ULONG(StreamCapture), ULONG(StreamPlayback)}) {
    SCOPED_TRACE(n);
    defaults(CaptureModeMpeg2, kNtsc);
    dev()->CodecState = CodecRunning;
    prepareStop(n, /*workerIdle=*/false);
    mark();
    std::atomic<bool> returned{false};
    auto done = std::async(std::launch::async, [&] {
      const NTSTATUS status = n == StreamCapture ? CaptureStop(&request_) : PlaybackStop(&request_);
      returned = true;
      return status;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(returned.load());
    EXPECT_TRUE(sentSinceMark().empty());
    KeSetEvent(&dev()->WorkerIdleEvent, 0, FALSE);
    ASSERT_EQ(done.wait_for(std::chrono::seconds(20)), std::future_status::ready)
        << "the stop did not end once the worker was idle";
    EXPECT_EQ(done.get(), STATUS_SUCCESS);
    const auto sent = sequenceSinceMark();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.front(), "03");
  }
}

TEST_F(ControlTest, UnitIdleResetsTheCodecButLeavesItsState) {
  configure();
  defaults(CaptureModeMpeg2, kNtsc);
  ASSERT_EQ(CaptureStart(dev()), STATUS_SUCCESS);
  mark();
  EXPECT_EQ(CaptureGoIdle(dev()), STATUS_SUCCESS);
  EXPECT_EQ(sequenceSinceMark(), (Seq{"23", "01"}));
  EXPECT_EQ(dev()->CodecState, CodecRunning);
  EXPECT_FALSE(unit().encoderRunning());

  // The next capture start reloads everything.
  mark();
  ASSERT_EQ(CaptureStart(dev()), STATUS_SUCCESS);
  EXPECT_GT(downloadRecordsSinceMark(), 0u);
  EXPECT_TRUE(unit().encoderRunning());
}

TEST_F(ControlTest, CaptureModeChangeLoadsTheOtherImageAtTheNextStart) {
  configure();
  defaults(CaptureModeMpeg2, kPal);
  ASSERT_EQ(CaptureStart(dev()), STATUS_SUCCESS);
  prepareStop(StreamCapture);
  (void)CaptureStop(&request_);
  defaults(CaptureModeMpeg1, kPal);
  ASSERT_EQ(CaptureStart(dev()), STATUS_SUCCESS);
  EXPECT_EQ(dev()->LoadedImage, ImageMpeg1Pal);
  EXPECT_EQ(unit().microcode().kind, emu::ucode::Kind::Mpeg1Encoder);
  EXPECT_TRUE(unit().encoderRunning());
}

}  // namespace
