// Stream open and close, control requests, stream properties, data routing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "driver/drventry.h"
#include "front.hpp"
#include "pf/host/ks_client.hpp"
#include "pf/host/pool.hpp"
#include "support/rig.hpp"

namespace {

using front::kWait;
using front::openPin;
using front::sendState;

class Streams : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(rig_.ok()) << rig_.why(); }
  DeviceContext* device() { return rig_.device(); }
  pf::ks::Filter& filter() { return rig_.filter(); }
  rig::DriverRig rig_;
};

TEST_F(Streams, MpegStreamsExcludeEachOtherAndTheAnalogInputJoinsEither) {
  auto capture = openPin(filter(), StreamCapture);
  ASSERT_TRUE(capture);
  std::unique_ptr<pf::ks::Pin> pin;
  EXPECT_EQ(front::createPin(filter(), StreamPlayback, front::defaultFormat(1), pin),
            STATUS_INSTANCE_NOT_AVAILABLE);
  EXPECT_EQ(front::createPin(filter(), StreamCapture, front::defaultFormat(0), pin),
            STATUS_INSTANCE_NOT_AVAILABLE);
  auto analog = openPin(filter(), StreamAnalog);
  ASSERT_TRUE(analog);
  EXPECT_EQ(front::createPin(filter(), StreamAnalog, front::defaultFormat(2), pin),
            STATUS_INSTANCE_NOT_AVAILABLE);

  EXPECT_EQ(device()->MpegStreamsOpen, 1);
  EXPECT_EQ(device()->StreamInstances[0], 1);
  EXPECT_EQ(device()->StreamInstances[1], 0);
  EXPECT_EQ(device()->StreamInstances[2], 1);
  EXPECT_EQ(device()->OpenStreams[0], front::contextOf(*capture));
  EXPECT_EQ(device()->OpenStreams[2], front::contextOf(*analog));

  EXPECT_EQ(capture->close(), STATUS_SUCCESS);
  EXPECT_EQ(front::commandCodes(rig_.unit()).back(), 0x03u);  // the unit goes idle
  EXPECT_EQ(device()->OpenStreams[0], nullptr);
  EXPECT_EQ(device()->MpegStreamsOpen, 0);
  auto playback = openPin(filter(), StreamPlayback);
  ASSERT_TRUE(playback);
  EXPECT_EQ(device()->MpegStreamsOpen, 1);
  EXPECT_EQ(analog->close(), STATUS_SUCCESS);
  EXPECT_EQ(device()->StreamInstances[2], 0);
  EXPECT_EQ(device()->MpegStreamsOpen, 1);  // closing the analog input leaves it
}

TEST_F(Streams, OpeningACaptureStreamCopiesItsVideoHeaderAndRoutines) {
  auto before = pf::pool::outstanding(MPEGUNIT_POOL_TAG).total();
  KS_DATAFORMAT_VIDEOINFOHEADER format = front::captureFormat(CaptureRangeMpeg1);
  std::unique_ptr<pf::ks::Pin> pin;
  ASSERT_EQ(front::createPin(filter(), StreamCapture, front::bytesOf(format), pin), STATUS_SUCCESS);

  StreamContext* stream = front::contextOf(*pin);
  EXPECT_EQ(stream->Device, device());
  EXPECT_EQ(stream->StreamObject, pin->streamObject());
  EXPECT_EQ(stream->State, KSSTATE_STOP);
  ASSERT_NE(stream->FormatInfo, nullptr);
  EXPECT_EQ(std::memcmp(stream->FormatInfo, &format.VideoInfoHeader, 88), 0);
  EXPECT_EQ(stream->FrameDuration, format.VideoInfoHeader.AvgTimePerFrame);
  auto during = pf::pool::outstanding(MPEGUNIT_POOL_TAG).total();
  EXPECT_EQ(during.blocks, before.blocks + 1);
  EXPECT_EQ(during.bytes, before.bytes + 88);

  PHW_STREAM_OBJECT object = pin->streamObject();
  EXPECT_EQ(object->ReceiveDataPacket, &CaptureReceiveData);
  EXPECT_EQ(object->ReceiveControlPacket, &CaptureReceiveControl);
  EXPECT_FALSE(object->Dma);
  EXPECT_TRUE(object->Pio);
  EXPECT_EQ(object->HwClockObject.HwClockFunction, nullptr);

  EXPECT_EQ(pin->close(), STATUS_SUCCESS);
  EXPECT_EQ(pf::pool::outstanding(MPEGUNIT_POOL_TAG).total().blocks, before.blocks);
}

// Formats the open must refuse, handed straight to StreamOpen (the class
// driver might refuse some of them before asking): nothing is counted or
// allocated for them.
TEST_F(Streams, OpenRefusesBadFormatsAndChangesNothing) {
  KS_DATAFORMAT_VIDEOINFOHEADER hugeHeader = front::captureFormat(CaptureRangeMpeg2);
  hugeHeader.VideoInfoHeader.bmiHeader.biSize = 0x100000;  // copy would read far past the format
  KS_DATAFORMAT_VIDEOINFOHEADER shortHeader = front::captureFormat(CaptureRangeMpeg2);
  shortHeader.VideoInfoHeader.bmiHeader.biSize = 8;
  KS_DATAFORMAT_VIDEOINFOHEADER bare = front::captureFormat(CaptureRangeMpeg2);
  bare.DataFormat.FormatSize = sizeof(KSDATAFORMAT);  // no VIDEOINFOHEADER at all
  KS_DATAFORMAT_VIDEOINFOHEADER wrongGuid = front::captureFormat(CaptureRangeMpeg2);
  wrongGuid.DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_NONE;
  PlaybackFormat playback = front::playbackFormat();

  struct Case {
    const char* what;
    ULONG stream;
    const KSDATAFORMAT* format;
    NTSTATUS status;
  } cases[] = {
      {"biSize beyond the format", 0, &hugeHeader.DataFormat, STATUS_INVALID_PARAMETER},
      {"biSize below a bitmap header", 0, &shortHeader.DataFormat, STATUS_INVALID_PARAMETER},
      {"bare header", 0, &bare.DataFormat, STATUS_INVALID_PARAMETER},
      {"unknown subformat", 0, &wrongGuid.DataFormat, STATUS_INVALID_PARAMETER},
      {"playback format on the capture pin", 0, &playback.DataFormat, STATUS_INVALID_PARAMETER},
      {"stream number 3", 3, &playback.DataFormat, STATUS_INVALID_PARAMETER},
  };
  auto pool = pf::pool::outstanding(MPEGUNIT_POOL_TAG).total().blocks;
  for (const Case& c : cases) {
    HW_STREAM_OBJECT object{};
    StreamContext context;
    std::memset(&context, 0xA5, sizeof(context));
    object.StreamNumber = c.stream;
    object.HwStreamExtension = &context;
    HW_STREAM_REQUEST_BLOCK srb{};
    srb.Command = SRB_OPEN_STREAM;
    srb.HwDeviceExtension = device();
    srb.StreamObject = &object;
    srb.CommandData.OpenFormat = const_cast<PKSDATAFORMAT>(c.format);
    srb.Status = STATUS_SUCCESS;
    StreamOpen(&srb);
    EXPECT_EQ(srb.Status, c.status) << c.what;
    EXPECT_EQ(context.FormatInfo, nullptr) << c.what;
    EXPECT_EQ(object.ReceiveDataPacket, nullptr) << c.what;
  }
  EXPECT_EQ(pf::pool::outstanding(MPEGUNIT_POOL_TAG).total().blocks, pool);
  EXPECT_EQ(device()->MpegStreamsOpen, 0);
  for (ULONG n = 0; n < 3; ++n) {
    EXPECT_EQ(device()->StreamInstances[n], 0);
    EXPECT_EQ(device()->OpenStreams[n], nullptr);
  }
}

TEST_F(Streams, OpenWithoutPoolForTheFormatCopy) {
  pf::pool::failNth(1, {MPEGUNIT_POOL_TAG, pf::pool::Kind::NonPaged});
  std::unique_ptr<pf::ks::Pin> pin;
  NTSTATUS status = front::createPin(filter(), StreamCapture, front::defaultFormat(0), pin);
  pf::pool::reset();
  EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(device()->MpegStreamsOpen, 0);
  EXPECT_EQ(device()->StreamInstances[0], 0);
  EXPECT_EQ(device()->OpenStreams[0], nullptr);
  EXPECT_TRUE(openPin(filter(), StreamCapture));  // and the stream opens once pool is back
}

// What each stream answers to each control command ("ok" or not implemented).
TEST_F(Streams, ControlCommandsPerStream) {
  constexpr NTSTATUS OK = STATUS_SUCCESS, NI = STATUS_NOT_IMPLEMENTED;
  struct Case {
    ULONG command;
    NTSTATUS capture, playback, analog;
  } cases[] = {
      {SRB_READ_DATA, NI, NI, OK},           {SRB_WRITE_DATA, NI, NI, OK},
      {SRB_GET_STREAM_STATE, OK, OK, OK},    {SRB_SET_STREAM_PROPERTY, OK, OK, OK},
      {SRB_OPEN_MASTER_CLOCK, NI, NI, OK},   {SRB_INDICATE_MASTER_CLOCK, OK, OK, OK},
      {SRB_UNKNOWN_STREAM_COMMAND, NI, NI, OK}, {SRB_SET_STREAM_RATE, NI, OK, OK},
      {SRB_PROPOSE_DATA_FORMAT, OK, OK, OK}, {SRB_CLOSE_MASTER_CLOCK, NI, NI, OK},
      {SRB_PROPOSE_STREAM_RATE, NI, OK, OK}, {SRB_SET_DATA_FORMAT, NI, NI, OK},
      {SRB_GET_DATA_FORMAT, NI, NI, OK},     {SRB_BEGIN_FLUSH, NI, OK, OK},
      {SRB_END_FLUSH, NI, OK, OK},           {99, NI, NI, OK},
  };
  auto capture = openPin(filter(), StreamCapture);
  auto analog = openPin(filter(), StreamAnalog);
  ASSERT_TRUE(capture && analog);
  KS_DATARANGE_ANALOGVIDEO proposed = front::analogFormat();
  auto withFormat = [&](HW_STREAM_REQUEST_BLOCK& srb) {
    srb.CommandData.OpenFormat = &proposed.DataRange;
  };
  for (const Case& c : cases) {
    EXPECT_EQ(capture->callControl(static_cast<SRB_COMMAND>(c.command), withFormat), c.capture)
        << "capture, command " << c.command;
    EXPECT_EQ(analog->callControl(static_cast<SRB_COMMAND>(c.command), withFormat), c.analog)
        << "analog, command " << c.command;
  }
  EXPECT_EQ(capture->close(), STATUS_SUCCESS);
  auto playback = openPin(filter(), StreamPlayback);
  ASSERT_TRUE(playback);
  for (const Case& c : cases) {
    EXPECT_EQ(playback->callControl(static_cast<SRB_COMMAND>(c.command), withFormat), c.playback)
        << "playback, command " << c.command;
  }

  // The analog input takes only formats of its own.
  KS_DATAFORMAT_VIDEOINFOHEADER capture2 = front::captureFormat(CaptureRangeMpeg2);
  EXPECT_EQ(analog->callControl(SRB_PROPOSE_DATA_FORMAT,
                                [&](HW_STREAM_REQUEST_BLOCK& srb) {
                                  srb.CommandData.OpenFormat = &capture2.DataFormat;
                                }),
            STATUS_NO_MATCH);
  // SRB_INDICATE_MASTER_CLOCK keeps the handle; close forgets it.
  HANDLE clock = reinterpret_cast<HANDLE>(0x1234);
  EXPECT_EQ(playback->callControl(SRB_INDICATE_MASTER_CLOCK,
                                  [&](HW_STREAM_REQUEST_BLOCK& srb) {
                                    srb.CommandData.MasterClockHandle = clock;
                                  }),
            STATUS_SUCCESS);
  EXPECT_EQ(front::contextOf(*playback)->MasterClock, clock);
}

TEST_F(Streams, StateRequestsWithoutStartingCapture) {
  auto pin = openPin(filter(), StreamCapture);
  ASSERT_TRUE(pin);
  StreamContext* stream = front::contextOf(*pin);
  auto getState = [&](ULONG& state, NTSTATUS& status) {
    pf::ks::RequestPtr request;
    status = pin->callControl(SRB_GET_STREAM_STATE, {}, &request);
    state = StreamStateWord(&request->srb()->CommandData.StreamState);
    EXPECT_EQ(request->bytesTransferred(), sizeof(KSSTATE));
  };
  ULONG state;
  NTSTATUS status;

  device()->Flags |= TransferFailed;
  auto codes = front::commandCodes(rig_.unit()).size();
  EXPECT_EQ(sendState(*pin, KSSTATE_RUN), STATUS_SUCCESS);  // straight from STOP: no start
  EXPECT_EQ(device()->Flags & TransferFailed, 0u);
  getState(state, status);
  EXPECT_EQ(state, (ULONG)KSSTATE_RUN);
  EXPECT_EQ(status, STATUS_SUCCESS);

  EXPECT_EQ(sendState(*pin, KSSTATE_PAUSE), STATUS_SUCCESS);  // from RUN: no start either
  EXPECT_EQ(front::commandCodes(rig_.unit()).size(), codes);
  getState(state, status);
  EXPECT_EQ(state, (ULONG)KSSTATE_PAUSE);
  EXPECT_EQ(status, STATUS_NO_DATA_DETECTED);

  EXPECT_EQ(sendState(*pin, 7), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(StreamStateWord(&stream->State), 7u);
  getState(state, status);
  EXPECT_EQ(state, 7u);

  EXPECT_EQ(sendState(*pin, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  EXPECT_EQ(front::commandCodes(rig_.unit()).size(), codes);

  // The analog input never changes state.
  auto analog = openPin(filter(), StreamAnalog);
  ASSERT_TRUE(analog);
  EXPECT_EQ(sendState(*analog, KSSTATE_RUN), STATUS_SUCCESS);
  KSSTATE analogState = KSSTATE_RUN;
  EXPECT_EQ(analog->getState(analogState), STATUS_SUCCESS);
  EXPECT_EQ(analogState, KSSTATE_STOP);
}

TEST_F(Streams, PauseFromAcquireStartsCaptureAndAnswersItsStatus) {
  auto pin = openPin(filter(), StreamCapture);
  ASSERT_TRUE(pin);
  ASSERT_EQ(sendState(*pin, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  auto codes = front::commandCodes(rig_.unit()).size();
  EXPECT_EQ(sendState(*pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_GT(front::commandCodes(rig_.unit()).size(), codes);
  EXPECT_TRUE(rig_.unit().encoderRunning());
  EXPECT_EQ(sendState(*pin, KSSTATE_STOP), STATUS_SUCCESS);
}

TEST_F(Streams, AllocatorFramingAndDroppedFrames) {
  struct Case {
    ULONG pin, frames, frameSize;
  } cases[] = {{StreamCapture, 15, 0x20000}, {StreamPlayback, 1, 0x96000}};
  for (const Case& c : cases) {
    auto pin = openPin(filter(), c.pin);
    ASSERT_TRUE(pin);
    KSPROPERTY property{};
    property.Set = KSPROPSETID_Connection;
    property.Id = KSPROPERTY_CONNECTION_ALLOCATORFRAMING;
    property.Flags = KSPROPERTY_TYPE_GET;
    KSALLOCATOR_FRAMING framing{};
    auto result = pin->property(&property, sizeof(property), &framing, sizeof(framing));
    EXPECT_EQ(result.status, STATUS_SUCCESS) << c.pin;
    EXPECT_EQ(result.bytes, sizeof(KSALLOCATOR_FRAMING));
    EXPECT_EQ(framing.RequirementsFlags, 0x80000003u);
    EXPECT_EQ(framing.PoolType, NonPagedPool);
    EXPECT_EQ(framing.Frames, c.frames);
    EXPECT_EQ(framing.FrameSize, c.frameSize);
    EXPECT_EQ(framing.FileAlignment, 7u);
    EXPECT_EQ(framing.Reserved, 0u);

    KSPROPERTY_DROPPEDFRAMES_CURRENT_S dropped{};
    dropped.DropCount = 55;
    result = pin->get(PROPSETID_VIDCAP_DROPPEDFRAMES, KSPROPERTY_DROPPEDFRAMES_CURRENT, dropped);
    if (c.pin == StreamCapture) {
      EXPECT_EQ(result.status, STATUS_SUCCESS);
      EXPECT_EQ(result.bytes, sizeof(dropped));
      EXPECT_EQ(dropped.PictureNumber, 100);
      EXPECT_EQ(dropped.DropCount, 0);
      EXPECT_EQ(dropped.AverageFrameSize, 1000u);
    } else {
      EXPECT_EQ(result.status, STATUS_NOT_IMPLEMENTED);  // listed, but not answered
    }
    EXPECT_EQ(pin->close(), STATUS_SUCCESS);
  }
}

TEST_F(Streams, DataRequestsCompletedAtOnce) {
  auto capture = openPin(filter(), StreamCapture);
  auto analog = openPin(filter(), StreamAnalog);
  ASSERT_TRUE(capture && analog);

  auto read = capture->read(4096);  // in STOP
  ASSERT_TRUE(read->completed());
  EXPECT_EQ(read->status(), STATUS_SUCCESS);
  EXPECT_EQ(read->header().DataUsed, 0u);
  EXPECT_EQ(std::count(read->data().begin(), read->data().end(), 0), 4096);

  auto wrong = capture->write(front::pattern(16, 1));
  ASSERT_TRUE(wrong->completed());
  EXPECT_EQ(wrong->status(), STATUS_NOT_IMPLEMENTED);

  auto ignored = analog->write(front::pattern(16, 1));
  ASSERT_TRUE(ignored->completed());
  EXPECT_EQ(ignored->status(), STATUS_SUCCESS);
  auto analogRead = analog->read(16);
  ASSERT_TRUE(analogRead->completed());
  EXPECT_EQ(analogRead->status(), STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(rig_.unit().bulkLog(0x81).transfers, 0u);
}

// A format change on the playback stream starts the decoder with the
// standard its format names, but only once the decoder is loaded and ready.
TEST_F(Streams, FormatChangeStartsTheDecoderWhenReady) {
  auto pin = openPin(filter(), StreamPlayback);
  ASSERT_TRUE(pin);
  ASSERT_EQ(sendState(*pin, KSSTATE_ACQUIRE), STATUS_SUCCESS);  // no decoder loaded yet
  auto codes = front::commandCodes(rig_.unit()).size();
  auto early = pin->write(front::bytesOf(front::playbackFormat(1)),
                          KSSTREAM_HEADER_OPTIONSF_TYPECHANGED);
  ASSERT_TRUE(front::waitAll({early}));
  EXPECT_EQ(early->status(), STATUS_SUCCESS);
  EXPECT_EQ(front::commandCodes(rig_.unit()).size(), codes);

  ASSERT_EQ(sendState(*pin, KSSTATE_PAUSE), STATUS_SUCCESS);  // loads the decoder
  ASSERT_EQ(device()->CodecState, CodecReady);
  // Too short to hold a format: nothing is read from beyond it, nothing sent.
  codes = front::commandCodes(rig_.unit()).size();
  auto truncated = pin->write(front::pattern(8, 1), KSSTREAM_HEADER_OPTIONSF_TYPECHANGED);
  ASSERT_TRUE(front::waitAll({truncated}));
  EXPECT_EQ(truncated->status(), STATUS_SUCCESS);
  EXPECT_EQ(front::commandCodes(rig_.unit()).size(), codes);

  device()->VideoStandard = KS_AnalogVideo_PAL_B;
  auto change = pin->write(front::bytesOf(front::playbackFormat(1)),
                           KSSTREAM_HEADER_OPTIONSF_TYPECHANGED);
  ASSERT_TRUE(front::waitAll({change}));
  EXPECT_EQ(change->status(), STATUS_SUCCESS);
  EXPECT_EQ(device()->VideoStandard, (ULONG)KS_AnalogVideo_NTSC_M);
  auto sent = front::commandCodes(rig_.unit());
  EXPECT_NE(std::find(sent.begin() + codes, sent.end(), 0x05u), sent.end());  // decode mode
  EXPECT_EQ(rig_.unit().mode(), emu::UnitMode::Decode);
  EXPECT_EQ(sendState(*pin, KSSTATE_STOP), STATUS_SUCCESS);
}

}  // namespace
