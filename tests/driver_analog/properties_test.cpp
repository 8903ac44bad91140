// The device property handlers, called as the device request loop calls
// them: a request block with a property descriptor whose record is both
// the request and the data buffer.
#include <algorithm>
#include <cstring>

#include "analog_fixture.hpp"
#include "driver/drventry.h"

namespace analogtest {
namespace {

struct Answer {
  NTSTATUS status;
  ULONG bytes;
};

class Properties : public AnalogFixture {
 protected:
  // One get or set of Record (its KSPROPERTY stamped here) through the
  // dispatch; Size is the data buffer size given to the handler.
  template <class Record>
  Answer call(bool set, const GUID& guid, ULONG id, Record& record, ULONG size = sizeof(Record)) {
    KSPROPERTY* property = reinterpret_cast<KSPROPERTY*>(&record);
    property->Set = guid;
    property->Id = id;
    property->Flags = set ? KSPROPERTY_TYPE_SET : KSPROPERTY_TYPE_GET;
    STREAM_PROPERTY_DESCRIPTOR descriptor{};
    descriptor.Property = property;
    descriptor.PropertyInfo = &record;
    descriptor.PropertyInputSize = size;
    descriptor.PropertyOutputSize = size;
    HW_STREAM_REQUEST_BLOCK request{};
    request.Command = set ? SRB_SET_DEVICE_PROPERTY : SRB_GET_DEVICE_PROPERTY;
    request.Status = STATUS_SUCCESS;
    request.HwDeviceExtension = dev();
    request.CommandData.PropertyInfo = &descriptor;
    if (set)
      PropDeviceSet(&request);
    else
      PropDeviceGet(&request);
    return {request.Status, request.ActualBytesTransferred};
  }
  template <class Record>
  Answer get(const GUID& guid, ULONG id, Record& record) {
    return call(false, guid, id, record);
  }
  template <class Record>
  Answer put(const GUID& guid, ULONG id, Record& record) {
    return call(true, guid, id, record);
  }
};

// ---- Dispatch ----

TEST_F(Properties, UnknownSetsAndItemsAreNotImplemented) {
  const GUID other = {0x12345678, 0x1, 0x2, {1, 2, 3, 4, 5, 6, 7, 8}};
  KSPROPERTY_VIDEOPROCAMP_S record{};
  EXPECT_EQ(get(other, 0, record).status, STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(put(other, 0, record).status, STATUS_NOT_IMPLEMENTED);
  KSPROPERTY_CROSSBAR_ROUTE_S route{};
  EXPECT_EQ(put(PROPSETID_VIDCAP_CROSSBAR, KSPROPERTY_CROSSBAR_CAPS, route).status,
            STATUS_NOT_IMPLEMENTED);
  KSPROPERTY_VIDEODECODER_S decoder{};
  EXPECT_EQ(put(PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_CAPS, decoder).status,
            STATUS_NOT_IMPLEMENTED);
  KSPROPERTY_UNIT_ENCODING_CAPS_S caps{};
  EXPECT_EQ(get(PROPSETID_UNIT_CONTROL, 9, caps).status, STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(get(PROPSETID_UNIT_CONTROL, 9, caps).bytes, 0u);
  EXPECT_EQ(put(PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_ENCODING_CAPS, caps).status,
            STATUS_NOT_IMPLEMENTED);
  EXPECT_TRUE(sent().empty());
}

// ---- Video processing amplifier ----

TEST_F(Properties, ProcAmpGetAnswersTheRecordedControls) {
  dev()->Sharpness = 9;
  const std::pair<ULONG, LONG> cases[] = {{KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 128},
                                          {KSPROPERTY_VIDEOPROCAMP_CONTRAST, 68},
                                          {KSPROPERTY_VIDEOPROCAMP_HUE, 0},
                                          {KSPROPERTY_VIDEOPROCAMP_SATURATION, 64},
                                          {KSPROPERTY_VIDEOPROCAMP_SHARPNESS, 9}};
  for (const auto& [id, value] : cases) {
    KSPROPERTY_VIDEOPROCAMP_S record{};
    record.Value = -1;
    const Answer a = get(PROPSETID_VIDCAP_VIDEOPROCAMP, id, record);
    EXPECT_EQ(a.status, STATUS_SUCCESS);
    EXPECT_EQ(a.bytes, 40u);
    EXPECT_EQ(record.Value, value) << id;
    EXPECT_EQ(record.Flags, 2u);
    EXPECT_EQ(record.Capabilities, 2u);
  }
  KSPROPERTY_VIDEOPROCAMP_S record{};
  const Answer a = get(PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_GAMMA, record);
  EXPECT_EQ(a.status, STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(a.bytes, 40u);
  EXPECT_EQ(record.Flags, 2u);
  EXPECT_EQ(record.Capabilities, 2u);
}

TEST_F(Properties, ProcAmpSetAppliesThroughTheFrontEnd) {
  KSPROPERTY_VIDEOPROCAMP_S record{};
  record.Value = 200;
  EXPECT_EQ(put(PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, record).status,
            STATUS_SUCCESS);
  EXPECT_EQ(busWrites(kDecoder), std::vector<Bytes>{ParseHex("0A C8")});
  EXPECT_EQ(dev()->Brightness, 200u);
  record.Value = -1;  // taken as unsigned: far out of range
  EXPECT_EQ(put(PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_HUE, record).status,
            STATUS_INVALID_PARAMETER);
  record.Value = 16;
  EXPECT_EQ(put(PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_SHARPNESS, record).status,
            STATUS_INVALID_PARAMETER);
  record.Value = 1;
  EXPECT_EQ(put(PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_GAIN, record).status,
            STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(busWrites(kDecoder).size(), 1u);
  useFaults("cmd:72=stall");
  record.Value = 5;
  EXPECT_EQ(put(PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_SATURATION, record).status,
            STATUS_IO_DEVICE_ERROR);
}

// ---- Video decoder ----

TEST_F(Properties, DecoderCapsAndStandard) {
  KSPROPERTY_VIDEODECODER_CAPS_S caps{};
  const Answer a = get(PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_CAPS, caps);
  EXPECT_EQ(a.status, STATUS_SUCCESS);
  EXPECT_EQ(a.bytes, 40u);
  EXPECT_EQ(caps.StandardsSupported, 0x11u);
  EXPECT_EQ(caps.Capabilities, 7u);
  EXPECT_EQ(caps.SettlingTime, 30u);
  EXPECT_EQ(caps.HSyncPerVSync, 6u);

  KSPROPERTY_VIDEODECODER_S standard{};
  standard.Value = kPalB;
  EXPECT_EQ(put(PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STANDARD, standard).status,
            STATUS_SUCCESS);
  EXPECT_EQ(dev()->VideoStandard, kPalB);
  EXPECT_EQ(dev()->CaptureHeight, 576u);
  EXPECT_EQ(setting("VideoCaptureStandard"), kPalB);
  standard.Value = 0;
  const Answer g = get(PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STANDARD, standard);
  EXPECT_EQ(g.bytes, 32u);
  EXPECT_EQ(standard.Value, kPalB);
}

TEST_F(Properties, DecoderStandardTheUnitCannotTakeIsRefusedBeforeAnythingIsSent) {
  KSPROPERTY_VIDEODECODER_S standard{};
  for (ULONG value : {kSecamB, 0u, 0x100000u}) {
    SCOPED_TRACE(value);
    mark();
    standard.Value = value;
    EXPECT_EQ(put(PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STANDARD, standard).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(dev()->VideoStandard, kNtscM);
  }
  // A standard the unit fails to apply is reported and not kept.
  useFaults("cmd:72#2=stall");  // register 0x0E
  standard.Value = kPalB;
  EXPECT_NE(put(PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STANDARD, standard).status,
            STATUS_SUCCESS);
  EXPECT_EQ(dev()->VideoStandard, kNtscM);
}

TEST_F(Properties, DecoderStatusReadsTheSignal) {
  struct Case {
    emu::SignalSource signal;
    ULONG lines, locked;
  };
  const Case cases[] = {{{true, false, true}, 525, 1},
                        {{true, false, false}, 625, 1},
                        {{false, false, true}, 0, 0}};
  ASSERT_EQ(VideoSelectInput(dev(), 0), STATUS_SUCCESS);
  for (const auto& c : cases) {
    unit().setSignal(c.signal);
    mark();
    KSPROPERTY_VIDEODECODER_STATUS_S status{};
    const Answer a = get(PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STATUS, status);
    EXPECT_EQ(a.bytes, 32u);
    EXPECT_EQ(status.NumberOfLines, c.lines);
    EXPECT_EQ(status.SignalLocked, c.locked);
    ASSERT_EQ(sent().size(), 1u);
    EXPECT_EQ(sent()[0].setup.wIndex, 0x61);
    EXPECT_EQ(sent()[0].setup.wValue, 0x1F21);
  }
  // A failed read answers from the byte kept.
  useFaults("cmd:61=stall");
  dev()->VideoDecoderStatus = 0x01;
  KSPROPERTY_VIDEODECODER_STATUS_S status{};
  EXPECT_EQ(get(PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STATUS, status).status,
            STATUS_SUCCESS);
  EXPECT_EQ(status.NumberOfLines, 625u);
  EXPECT_EQ(status.SignalLocked, 1u);
  EXPECT_EQ(dev()->VideoDecoderStatus, 0x01);
}

TEST_F(Properties, OutputEnableRecordsTheValueAndDrivesTheOutputBit) {
  KSPROPERTY_VIDEODECODER_S record{};
  record.Value = 0;
  ASSERT_EQ(put(PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_OUTPUT_ENABLE, record).status,
            STATUS_SUCCESS);
  EXPECT_EQ(outputReg(0x61) & 0x40, 0x40);
  record.Value = 5;
  ASSERT_EQ(put(PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_OUTPUT_ENABLE, record).status,
            STATUS_SUCCESS);
  EXPECT_EQ(outputReg(0x61) & 0x40, 0x00);
  record.Value = 0;
  get(PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_OUTPUT_ENABLE, record);
  EXPECT_EQ(record.Value, 5u);
  useFaults("cmd:72=stall");
  record.Value = 0;
  EXPECT_NE(put(PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_OUTPUT_ENABLE, record).status,
            STATUS_SUCCESS);
  EXPECT_EQ(dev()->OutputEnable, 1u);
}

// ---- Video compression ----

TEST_F(Properties, CompressionQualityScaleFollowsTheBounds) {
  struct Case {
    ULONG min, max, def;
    LONG defaultQuality, settings;
  };
  const Case cases[] = {{1000000, 6000000, 4200000, 6400, 5000},
                        {1000000, 8000000, 7000000, 8571, 7000},
                        {1000000, 5000000, 1150000, 375, 4000},
                        {0, 0, 0, 0, 0}};  // bounds not loaded: no step, no crash
  for (const auto& c : cases) {
    SCOPED_TRACE(c.max);
    dev()->MinBitRate = c.min;
    dev()->MaxBitRate = c.max;
    dev()->DefaultBitRate = c.def;
    KSPROPERTY_VIDEOCOMPRESSION_GETINFO_S info{};
    info.StreamIndex = 7;
    info.DefaultKeyFrameRate = 11;
    const Answer a = get(PROPSETID_VIDCAP_VIDEOCOMPRESSION, KSPROPERTY_VIDEOCOMPRESSION_GETINFO, info);
    EXPECT_EQ(a.status, STATUS_SUCCESS);
    EXPECT_EQ(a.bytes, 48u);
    EXPECT_EQ(info.DefaultQuality, c.defaultQuality);
    EXPECT_EQ(info.NumberOfQualitySettings, c.settings);
    EXPECT_EQ(info.Capabilities, 3);
    EXPECT_EQ(info.StreamIndex, 7u);
    EXPECT_EQ(info.DefaultKeyFrameRate, 11);
  }
}

TEST_F(Properties, CompressionQualitySetsTheBitRate) {
  struct Case {
    LONG quality;
    NTSTATUS status;
    ULONG bitRate;
  };
  const Case cases[] = {{10000, STATUS_SUCCESS, 6000000},
                        {0, STATUS_SUCCESS, 1000000},
                        {6400, STATUS_SUCCESS, 4200000},
                        {12000, STATUS_SUCCESS, 7000000},  // above MaxBitRate, accepted
                        {-1, STATUS_INVALID_PARAMETER, 7000000}};  // would wrap 32 bits
  for (const auto& c : cases) {
    SCOPED_TRACE(c.quality);
    KSPROPERTY_VIDEOCOMPRESSION_S record{};
    record.Value = c.quality;
    EXPECT_EQ(put(PROPSETID_VIDCAP_VIDEOCOMPRESSION, KSPROPERTY_VIDEOCOMPRESSION_QUALITY, record)
                  .status,
              c.status);
    EXPECT_EQ(dev()->BitRate, c.bitRate);
    if (c.status == STATUS_SUCCESS) {
      EXPECT_EQ(setting("BitRate"), c.bitRate);
      record.Value = -5;
      get(PROPSETID_VIDCAP_VIDEOCOMPRESSION, KSPROPERTY_VIDEOCOMPRESSION_QUALITY, record);
      EXPECT_EQ(record.Value, c.quality);
    }
  }
  EXPECT_EQ(dev()->PeakBitRate, 6000000u);
  EXPECT_TRUE(sent().empty());
}

// ---- Crossbar ----

TEST_F(Properties, CrossbarCapsPinInfoAndRoutes) {
  KSPROPERTY_CROSSBAR_CAPS_S caps{};
  EXPECT_EQ(get(PROPSETID_VIDCAP_CROSSBAR, KSPROPERTY_CROSSBAR_CAPS, caps).bytes, 32u);
  EXPECT_EQ(caps.NumberOfInputs, 3u);
  EXPECT_EQ(caps.NumberOfOutputs, 2u);

  struct PinCase {
    KSPIN_DATAFLOW direction;
    ULONG index, type, related, medium;
  };
  const PinCase pins[] = {{KSPIN_DATAFLOW_IN, 0, 2, 2, 0},      {KSPIN_DATAFLOW_IN, 1, 3, 2, 1},
                          {KSPIN_DATAFLOW_IN, 2, 0x1001, 2, 3}, {KSPIN_DATAFLOW_OUT, 0, 0xC, 1, 2},
                          {KSPIN_DATAFLOW_OUT, 1, 0x1009, 0, 4}};
  for (const auto& p : pins) {
    SCOPED_TRACE(testing::Message() << p.direction << " " << p.index);
    KSPROPERTY_CROSSBAR_PININFO_S info{};
    info.Direction = p.direction;
    info.Index = p.index;
    info.Medium.Id = 99;
    const Answer a = get(PROPSETID_VIDCAP_CROSSBAR, KSPROPERTY_CROSSBAR_PININFO, info);
    EXPECT_EQ(a.status, STATUS_SUCCESS);
    EXPECT_EQ(a.bytes, 64u);
    EXPECT_EQ(info.PinType, p.type);
    EXPECT_EQ(info.RelatedPinIndex, p.related);
    EXPECT_TRUE(IsEqualGUID(info.Medium.Set, CrossbarMediums[p.medium].Set));
    EXPECT_EQ(info.Medium.Id, 0u);
  }
  for (const auto& [direction, index] :
       {std::pair{KSPIN_DATAFLOW_IN, 3u}, std::pair{KSPIN_DATAFLOW_OUT, 2u}}) {
    KSPROPERTY_CROSSBAR_PININFO_S info{};
    info.Direction = direction;
    info.Index = index;
    const Answer a = get(PROPSETID_VIDCAP_CROSSBAR, KSPROPERTY_CROSSBAR_PININFO, info);
    EXPECT_EQ(a.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(a.bytes, 0u);
  }

  struct RouteCase {
    ULONG input, output, can;
  };
  const RouteCase routes[] = {{0, 0, 1}, {1, 0, 1}, {2, 1, 1}, {0xFFFFFFFF, 1, 1},
                              {2, 0, 0}, {0, 1, 0}, {0xFFFFFFFF, 0, 0}, {0, 2, 0}};
  for (const auto& r : routes) {
    KSPROPERTY_CROSSBAR_ROUTE_S route{};
    route.IndexInputPin = r.input;
    route.IndexOutputPin = r.output;
    route.CanRoute = 7;
    EXPECT_EQ(get(PROPSETID_VIDCAP_CROSSBAR, KSPROPERTY_CROSSBAR_CAN_ROUTE, route).bytes, 40u);
    EXPECT_EQ(route.CanRoute, r.can) << r.input << " -> " << r.output;
  }
}

TEST_F(Properties, CrossbarRouteSetSelectsTheVideoInputAndRecordsTheAudioRoute) {
  KSPROPERTY_CROSSBAR_ROUTE_S route{};
  route.IndexInputPin = 1;
  route.IndexOutputPin = 0;
  EXPECT_EQ(put(PROPSETID_VIDCAP_CROSSBAR, KSPROPERTY_CROSSBAR_ROUTE, route).status, STATUS_SUCCESS);
  EXPECT_EQ(route.CanRoute, 1u);
  EXPECT_EQ(unit().selectedInput(), 1);
  EXPECT_EQ(dev()->VideoInput, 1u);
  EXPECT_EQ(setting("VideoInputConnected"), 1u);

  route = {};
  route.IndexOutputPin = 0;
  get(PROPSETID_VIDCAP_CROSSBAR, KSPROPERTY_CROSSBAR_ROUTE, route);
  EXPECT_EQ(route.IndexInputPin, 1u);
  EXPECT_EQ(route.CanRoute, 1u);

  mark();
  route.IndexInputPin = 2;
  route.IndexOutputPin = 0;
  EXPECT_EQ(put(PROPSETID_VIDCAP_CROSSBAR, KSPROPERTY_CROSSBAR_ROUTE, route).status,
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(route.CanRoute, 0u);
  EXPECT_EQ(dev()->VideoInput, 1u);

  route.IndexInputPin = 0xFFFFFFFF;
  route.IndexOutputPin = 1;
  EXPECT_EQ(put(PROPSETID_VIDCAP_CROSSBAR, KSPROPERTY_CROSSBAR_ROUTE, route).status, STATUS_SUCCESS);
  EXPECT_EQ(dev()->AudioRoute, 0xFFFFFFFFu);
  EXPECT_TRUE(sent().empty());
  route = {};
  route.IndexOutputPin = 1;
  get(PROPSETID_VIDCAP_CROSSBAR, KSPROPERTY_CROSSBAR_ROUTE, route);
  EXPECT_EQ(route.IndexInputPin, 0xFFFFFFFFu);
  route.IndexInputPin = 5;
  route.IndexOutputPin = 4;
  get(PROPSETID_VIDCAP_CROSSBAR, KSPROPERTY_CROSSBAR_ROUTE, route);
  EXPECT_EQ(route.CanRoute, 0u);
  EXPECT_EQ(route.IndexInputPin, 5u);

  // The input cannot be selected: the failure is reported, the input kept.
  useFaults("cmd:72=stall");
  route.IndexInputPin = 1;
  route.IndexOutputPin = 0;
  EXPECT_NE(put(PROPSETID_VIDCAP_CROSSBAR, KSPROPERTY_CROSSBAR_ROUTE, route).status,
            STATUS_SUCCESS);
  EXPECT_EQ(dev()->VideoInput, 0u);
}

// ---- Vendor set ----

struct EncodingCase {
  bool highSpeed;
  ULONG bitRate, peak, variable, mode;
  NTSTATUS status;
};

TEST_F(Properties, EncodingLimitsPerModeAndBus) {
  const EncodingCase cases[] = {
      {false, 1150000, 0, 1, CaptureModeMpeg1, STATUS_INVALID_PARAMETER},  // MPEG-1 is constant
      {false, 4000000, 3000000, 1, CaptureModeMpeg2, STATUS_INVALID_PARAMETER},  // peak below
      {false, 6000000, 6000000, 1, CaptureModeMpeg2, STATUS_SUCCESS},
      {false, 6000001, 6000001, 1, CaptureModeMpeg2, STATUS_INVALID_PARAMETER},
      {true, 6000001, 6000001, 1, CaptureModeMpeg2, STATUS_SUCCESS},
      {true, 7000000, 8000001, 1, CaptureModeMpeg2, STATUS_INVALID_PARAMETER},
      {false, 999999, 6000000, 1, CaptureModeMpeg2, STATUS_INVALID_PARAMETER},
      {false, 5000000, 123, 0, CaptureModeMpeg1, STATUS_SUCCESS},  // peak taken as given
      {false, 5000001, 0, 0, CaptureModeMpeg1, STATUS_INVALID_PARAMETER},
      {false, 4000000, 5000000, 0, 2, STATUS_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.bitRate << "/" << c.peak << " mode " << c.mode
                                    << (c.highSpeed ? " high" : " full"));
    makeFresh();
    dev()->HighSpeed = c.highSpeed;
    EXPECT_EQ(PropSetEncoding(dev(), c.bitRate, c.peak, c.variable, c.mode), c.status);
    if (c.status == STATUS_SUCCESS) {
      EXPECT_EQ(dev()->BitRate, c.bitRate);
      EXPECT_EQ(dev()->PeakBitRate, c.peak);
      EXPECT_EQ(dev()->VariableBitRateSupport, c.variable);
      EXPECT_EQ(dev()->CaptureMode, c.mode);
      EXPECT_EQ(setting("BitRate"), c.bitRate);
      EXPECT_EQ(setting("PeakBitRate"), c.peak);
      EXPECT_EQ(setting("VariableBitRateSupport"), c.variable);
      EXPECT_EQ(setting("CaptureMode"), c.mode);
    } else {
      EXPECT_EQ(dev()->BitRate, 4200000u);
      EXPECT_EQ(dev()->CaptureMode, CaptureModeMpeg2);
      EXPECT_FALSE(setting("BitRate"));
    }
  }
}

TEST_F(Properties, EncodingItemAppliesInTwoStages) {
  KSPROPERTY_UNIT_ENCODING_S record{};
  EXPECT_EQ(get(PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_ENCODING, record).bytes, 48u);
  EXPECT_EQ(record.BitRate, 4200000u);
  EXPECT_EQ(record.PeakBitRate, 6000000u);
  EXPECT_EQ(record.VariableBitRate, 1u);
  EXPECT_EQ(record.Width, 720u);
  EXPECT_EQ(record.Height, 480u);
  EXPECT_EQ(record.CaptureMode, CaptureModeMpeg2);

  // MPEG-1 with an MPEG-2 size: the rates and mode are kept, the size refused.
  record.BitRate = 1150000;
  record.PeakBitRate = 0;
  record.VariableBitRate = 0;
  record.CaptureMode = CaptureModeMpeg1;
  EXPECT_EQ(put(PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_ENCODING, record).status,
            STATUS_NOT_SUPPORTED);
  EXPECT_EQ(dev()->CaptureMode, CaptureModeMpeg1);
  EXPECT_EQ(dev()->BitRate, 1150000u);
  EXPECT_EQ(dev()->CaptureWidth, 720u);
  EXPECT_EQ(setting("CaptureMode"), 1u);

  record.Width = 352;
  record.Height = 240;
  EXPECT_EQ(put(PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_ENCODING, record).status, STATUS_SUCCESS);
  EXPECT_EQ(dev()->CaptureWidth, 352u);
  EXPECT_EQ(dev()->CaptureHeight, 240u);
  EXPECT_EQ(dev()->MaxBitRate, 6000000u);  // the quality bounds wait for the next load
  EXPECT_TRUE(sent().empty());
}

struct CapsCase {
  ULONG mode, standard;
  bool highSpeed;
  ULONG max, variable, def, count;
  std::vector<std::pair<ULONG, ULONG>> sizes;
};

TEST_F(Properties, EncodingCapsListTheModesSizesAndLimits) {
  const CapsCase cases[] = {
      {CaptureModeMpeg2, kPalB, false, 6000000, 1, 4200000, 5,
       {{720, 576}, {704, 576}, {544, 576}, {480, 576}, {352, 576}}},
      {CaptureModeMpeg2, kNtscM, true, 8000000, 1, 7000000, 5,
       {{720, 480}, {704, 480}, {544, 480}, {480, 480}, {352, 480}}},
      {CaptureModeMpeg1, kNtscM, true, 5000000, 0, 1150000, 3, {{480, 240}, {352, 240}, {320, 240}}},
      {CaptureModeMpeg1, kNtscMJ, false, 5000000, 0, 1150000, 3,
       {{480, 288}, {352, 288}, {320, 288}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.mode << " " << c.standard);
    dev()->CaptureMode = c.mode;
    dev()->VideoStandard = c.standard;
    dev()->HighSpeed = c.highSpeed;
    KSPROPERTY_UNIT_ENCODING_CAPS_S caps;
    std::memset(&caps, 0xEE, sizeof caps);
    const Answer a = get(PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_ENCODING_CAPS, caps);
    EXPECT_EQ(a.status, STATUS_SUCCESS);
    EXPECT_EQ(a.bytes, 128u);
    EXPECT_EQ(caps.MinBitRate, 1000000u);
    EXPECT_EQ(caps.MaxBitRate, c.max);
    EXPECT_EQ(caps.VariableBitRate, c.variable);
    EXPECT_EQ(caps.DefaultBitRate, c.def);
    EXPECT_EQ(caps.BitRateStep, 1000u);
    ASSERT_EQ(caps.CaptureSizeCount, c.count);
    for (ULONG i = 0; i < c.count; ++i) {
      EXPECT_EQ(caps.CaptureSizes[i].Width, c.sizes[i].first);
      EXPECT_EQ(caps.CaptureSizes[i].Height, c.sizes[i].second);
    }
    EXPECT_EQ(caps.CaptureSizes[c.count].Width, 0xEEEEEEEEu);  // the rest left as sent
  }
  dev()->CaptureMode = 5;
  KSPROPERTY_UNIT_ENCODING_CAPS_S caps{};
  const Answer a = get(PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_ENCODING_CAPS, caps);
  EXPECT_EQ(a.status, STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(a.bytes, 0u);
}

TEST_F(Properties, AudioItems) {
  KSPROPERTY_UNIT_AUDIO_CAPS_S caps{};
  EXPECT_EQ(get(PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_AUDIO_CAPS, caps).bytes, 60u);
  EXPECT_EQ(caps.DefaultFrequency, 48000u);
  EXPECT_EQ(caps.FrequencyCount, 3u);
  EXPECT_EQ(caps.Frequencies[0], 48000u);
  EXPECT_EQ(caps.Frequencies[1], 44100u);
  EXPECT_EQ(caps.Frequencies[2], 32000u);
  EXPECT_EQ(caps.MinLevel, -50);
  EXPECT_EQ(caps.MaxLevel, 0);
  EXPECT_EQ(caps.DefaultLevel, 0);
  EXPECT_EQ(caps.LevelStep, 1);

  KSPROPERTY_UNIT_AUDIO_VOLUME_S volume{};
  volume.Level = -20;
  EXPECT_EQ(put(PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_AUDIO_VOLUME, volume).status, STATUS_SUCCESS);
  volume.Level = -51;
  EXPECT_EQ(put(PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_AUDIO_VOLUME, volume).status,
            STATUS_INVALID_PARAMETER);
  volume.Level = 0;
  EXPECT_EQ(get(PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_AUDIO_VOLUME, volume).bytes, 28u);
  EXPECT_EQ(volume.Level, -20);

  KSPROPERTY_UNIT_AUDIO_FORMAT_S format{};
  format.SamplingFrequency = 32000;
  format.Flag1 = 0;
  format.Flag2 = 1;
  EXPECT_EQ(put(PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_AUDIO_FORMAT, format).status, STATUS_SUCCESS);
  format = {};
  EXPECT_EQ(get(PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_AUDIO_FORMAT, format).bytes, 30u);
  EXPECT_EQ(format.SamplingFrequency, 32000u);
  EXPECT_EQ(format.Flag1, 0);
  EXPECT_EQ(format.Flag2, 1);
  format.SamplingFrequency = 22050;
  EXPECT_EQ(put(PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_AUDIO_FORMAT, format).status,
            STATUS_UNSUCCESSFUL);

  KSPROPERTY_UNIT_AUDIO_MUTE_S mute{};
  mute.Mute = 0x100;  // only the byte at 24 counts: not a mute
  EXPECT_EQ(put(PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_AUDIO_MUTE, mute).status, STATUS_SUCCESS);
  EXPECT_FALSE(unit().audioCodec().muted());
  mute.Mute = 2;
  EXPECT_EQ(put(PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_AUDIO_MUTE, mute).status, STATUS_SUCCESS);
  EXPECT_TRUE(unit().audioCodec().muted());
  mute.Mute = 9;
  EXPECT_EQ(get(PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_AUDIO_MUTE, mute).bytes, 28u);
  EXPECT_EQ(mute.Mute, 1u);
}

TEST_F(Properties, RecordsShorterThanTheItemAreRefusedUntouched) {
  // The class driver's minimum sizes exclude these; the handlers still never
  // read or write past the buffer they were given.
  mark();
  KSPROPERTY_UNIT_AUDIO_VOLUME_S volume{};
  volume.Level = -3;
  EXPECT_EQ(call(true, PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_AUDIO_VOLUME, volume, 27).status,
            STATUS_BUFFER_TOO_SMALL);
  KSPROPERTY_UNIT_AUDIO_FORMAT_S format{};
  format.SamplingFrequency = 44100;
  EXPECT_EQ(call(true, PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_AUDIO_FORMAT, format, 28).status,
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_TRUE(sent().empty());
  KSPROPERTY_UNIT_AUDIO_MUTE_S mute{};
  mute.Mute = 77;
  const Answer a = call(false, PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_AUDIO_MUTE, mute, 24);
  EXPECT_EQ(a.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(a.bytes, 0u);
  EXPECT_EQ(mute.Mute, 77u);
  KSPROPERTY_CROSSBAR_PININFO_S info{};
  EXPECT_EQ(call(false, PROPSETID_VIDCAP_CROSSBAR, KSPROPERTY_CROSSBAR_PININFO, info, 63).status,
            STATUS_BUFFER_TOO_SMALL);
  KSPROPERTY_VIDEOPROCAMP_S amp{};
  EXPECT_EQ(call(false, PROPSETID_VIDCAP_VIDEOPROCAMP, 0, amp, 36).status, STATUS_BUFFER_TOO_SMALL);
}

TEST_F(Properties, UnitMemoryReadsThirtyTwoBytesAndWritesOne) {
  KSPROPERTY_UNIT_MEMORY_S record{};
  record.Write.Address = 0x0005;
  record.Write.Value = 0xAB;
  EXPECT_EQ(put(PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_MEMORY, record).status, STATUS_SUCCESS);
  ASSERT_EQ(sent().size(), 1u);
  EXPECT_EQ(sent()[0].setup.wIndex, 0xAB32);
  EXPECT_EQ(sent()[0].setup.wValue, 0x0005);
  // An address beyond the unit's memory: one command all the same, and the
  // unit's refusal is the answer.
  record.Write.Address = 0x0100;
  record.Write.Value = 0x5A;
  mark();
  EXPECT_NE(put(PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_MEMORY, record).status, STATUS_SUCCESS);
  ASSERT_EQ(sent().size(), 1u);
  EXPECT_EQ(sent()[0].setup.wIndex, 0x5A32);
  EXPECT_EQ(sent()[0].setup.wValue, 0x0100);

  mark();
  std::memset(record.Bytes, 0xEE, sizeof record.Bytes);
  const Answer a = get(PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_MEMORY, record);
  EXPECT_EQ(a.status, STATUS_SUCCESS);
  EXPECT_EQ(a.bytes, 56u);
  const auto memory = unit().memory();
  EXPECT_EQ(0, std::memcmp(record.Bytes, memory.data(), 32));
  EXPECT_EQ(record.Bytes[5], 0xAB);
  ASSERT_EQ(sent().size(), 32u);
  for (unsigned i = 0; i < 32; ++i) {
    EXPECT_EQ(sent()[i].setup.wIndex, 0x31);
    EXPECT_EQ(sent()[i].setup.wValue, i);
  }

  useFaults("cmd:31#4=stall");
  const Answer f = get(PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_MEMORY, record);
  EXPECT_NE(f.status, STATUS_SUCCESS);
  EXPECT_EQ(f.bytes, 0u);
  EXPECT_EQ(sent().size(), 4u);
}

TEST_F(Properties, IdleReturnsTheUnitToItsSelectedInput) {
  ASSERT_EQ(VideoSelectInput(dev(), 1), STATUS_SUCCESS);
  ASSERT_EQ(VideoSetFixedInput(dev(), TRUE), STATUS_SUCCESS);
  mark();
  KSPROPERTY record{};
  EXPECT_EQ(put(PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_IDLE, record).status, STATUS_SUCCESS);
  EXPECT_EQ(unit().selectedInput(), 1);
  const auto all = codes();
  EXPECT_EQ(std::count(all.begin(), all.end(), 0x23u), 1);  // codec reset
  EXPECT_EQ(std::count(all.begin(), all.end(), 0x01u), 1);
}

}  // namespace
}  // namespace analogtest
