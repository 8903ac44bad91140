// Stream information, data intersection and the format rules.
#include <gtest/gtest.h>

#include <cstring>

#include "driver/devprop.h"
#include "driver/drventry.h"
#include "front.hpp"
#include "pf/host/ks_client.hpp"
#include "support/rig.hpp"

namespace {

// The capture ranges are rewritten by intersection; every test starts from
// the table as built and puts it back afterwards.
class StreamTables : public ::testing::Test {
 protected:
  void SetUp() override {
    mpeg2_ = CaptureRangeMpeg2;
    mpeg1_ = CaptureRangeMpeg1;
    ASSERT_TRUE(rig_.ok()) << rig_.why();
  }
  void TearDown() override {
    CaptureRangeMpeg2 = mpeg2_;
    CaptureRangeMpeg1 = mpeg1_;
  }
  // The handler itself, on the caller's own buffer, so that the test sees
  // exactly which bytes it wrote (the class driver answers through a copy).
  pf::ks::PropertyResult intersect(ULONG pin, const void* range, std::vector<std::uint8_t>& out) {
    STREAM_DATA_INTERSECT_INFO info{pin, static_cast<PKSDATARANGE>(const_cast<void*>(range)),
                                    out.data(), ULONG(out.size())};
    HW_STREAM_REQUEST_BLOCK srb{};
    srb.Command = SRB_GET_DATA_INTERSECTION;
    srb.HwDeviceExtension = rig_.device();
    srb.CommandData.IntersectInfo = &info;
    srb.Status = STATUS_SUCCESS;
    AdapterDataIntersection(&srb);
    return {srb.Status, srb.ActualBytesTransferred};
  }

  rig::DriverRig rig_;
  KS_DATARANGE_VIDEO mpeg2_{}, mpeg1_{};
};

TEST_F(StreamTables, StreamInfoHandsOverHeaderAndThreeStreams) {
  const HW_STREAM_HEADER& header = rig_.adapter().streamHeader();
  EXPECT_EQ(header.NumberOfStreams, 3u);
  EXPECT_EQ(header.SizeOfHwStreamInformation, sizeof(HW_STREAM_INFORMATION));
  EXPECT_EQ(header.NumDevPropArrayEntries, (ULONG)DEVICE_PROPERTY_SET_COUNT);
  EXPECT_EQ(header.DevicePropertiesArray, DevicePropertySets);
  EXPECT_EQ(header.NumDevEventArrayEntries, 0u);

  pf::ks::TopologyInfo topology = rig_.filter().topology();
  ASSERT_EQ(topology.categories.size(), 3u);
  EXPECT_TRUE(IsEqualGUID(topology.categories[0], KSCATEGORY_VIDEO));
  EXPECT_TRUE(IsEqualGUID(topology.categories[1], KSCATEGORY_CAPTURE));
  EXPECT_TRUE(IsEqualGUID(topology.categories[2], KSCATEGORY_CROSSBAR));
  EXPECT_TRUE(topology.nodes.empty());
  EXPECT_TRUE(topology.connections.empty());

  struct Expected {
    KSPIN_DATAFLOW flow;
    const GUID* category;
    const GUID* name;
    std::size_t ranges;
    ULONG propertySets;
    std::size_t mediums;
  } expected[] = {
      {KSPIN_DATAFLOW_OUT, &PIN_CATEGORY_CAPTURE, &PIN_CATEGORY_CAPTURE, 2, 2, 0},
      {KSPIN_DATAFLOW_IN, &KSCATEGORY_VIDEO, &PINNAME_UNIT_MPEG_IN, 1, 2, 0},
      {KSPIN_DATAFLOW_IN, &PIN_CATEGORY_ANALOGVIDEOIN, &PIN_CATEGORY_ANALOGVIDEOIN, 1, 0, 1},
  };
  ASSERT_EQ(rig_.filter().pinCount(), 3u);
  for (ULONG n = 0; n < 3; ++n) {
    pf::ks::PinInfo pin = rig_.filter().pin(n);
    SCOPED_TRACE(n);
    EXPECT_EQ(pin.dataFlow, expected[n].flow);
    EXPECT_EQ(pin.possibleInstances, 1u);
    EXPECT_TRUE(pin.dataAccessible);
    EXPECT_FALSE(pin.bridge);
    ASSERT_TRUE(pin.category && pin.name);
    EXPECT_TRUE(IsEqualGUID(*pin.category, *expected[n].category));
    EXPECT_TRUE(IsEqualGUID(*pin.name, *expected[n].name));
    EXPECT_EQ(pin.dataRanges.size(), expected[n].ranges);
    EXPECT_EQ(pin.propertySetCount, expected[n].propertySets);
    EXPECT_EQ(pin.mediums.size(), expected[n].mediums);
  }
  // The analog input connects to the crossbar's video decoder output.
  EXPECT_EQ(std::memcmp(&rig_.filter().pin(2).mediums[0], &CrossbarMediums[2], sizeof(KSPIN_MEDIUM)),
            0);
  // Both MPEG pins answer allocator framing and dropped frames, nothing else.
  const KSPROPERTY_SET* sets = rig_.filter().pin(0).propertySets;
  EXPECT_EQ(sets, rig_.filter().pin(1).propertySets);
  EXPECT_TRUE(IsEqualGUID(*sets[0].Set, KSPROPSETID_Connection));
  EXPECT_EQ(sets[0].PropertyItem[0].PropertyId, (ULONG)KSPROPERTY_CONNECTION_ALLOCATORFRAMING);
  EXPECT_EQ(sets[0].PropertyItem[0].MinData, sizeof(KSALLOCATOR_FRAMING));
  EXPECT_TRUE(IsEqualGUID(*sets[1].Set, PROPSETID_VIDCAP_DROPPEDFRAMES));
  EXPECT_EQ(sets[1].PropertyItem[0].MinProperty, sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S));
}

TEST_F(StreamTables, CaptureRangesHoldTheirValues) {
  struct Expected {
    const KS_DATARANGE_VIDEO* range;
    const GUID* subFormat;
    LONG width, height, minWidth, minHeight, maxBits;
    DWORD bitRate;
    LONG pels;
  } cases[] = {
      {&CaptureRangeMpeg2, &MEDIASUBTYPE_MPEG2_PROGRAM, 720, 576, 320, 480, 8000000, 4200000, 17500},
      {&CaptureRangeMpeg1, &MEDIASUBTYPE_MPEG1Payload, 352, 288, 160, 112, 5000000, 1150000, 4791},
  };
  for (const Expected& c : cases) {
    const KS_DATARANGE_VIDEO& r = *c.range;
    SCOPED_TRACE(c.width);
    EXPECT_EQ(r.DataRange.FormatSize, 296u);
    EXPECT_TRUE(IsEqualGUID(r.DataRange.MajorFormat, KSDATAFORMAT_TYPE_STREAM));
    EXPECT_TRUE(IsEqualGUID(r.DataRange.SubFormat, *c.subFormat));
    EXPECT_TRUE(IsEqualGUID(r.DataRange.Specifier, KSDATAFORMAT_TYPE_VIDEO));
    EXPECT_FALSE(r.bFixedSizeSamples);
    EXPECT_TRUE(r.bTemporalCompression);
    EXPECT_TRUE(IsEqualGUID(r.ConfigCaps.guid, KSDATAFORMAT_SPECIFIER_VIDEOINFO));
    EXPECT_EQ(r.ConfigCaps.VideoStandard, 0x11u);
    EXPECT_EQ(r.ConfigCaps.InputSize.cx, c.width);
    EXPECT_EQ(r.ConfigCaps.MinCroppingSize.cy, c.minHeight);
    EXPECT_EQ(r.ConfigCaps.MinOutputSize.cx, c.minWidth);
    EXPECT_EQ(r.ConfigCaps.MaxOutputSize.cy, c.height);
    EXPECT_EQ(r.ConfigCaps.MinFrameInterval, 333667);
    EXPECT_EQ(r.ConfigCaps.MaxFrameInterval, 400000);
    EXPECT_EQ(r.ConfigCaps.MinBitsPerSecond, 1000000);
    EXPECT_EQ(r.ConfigCaps.MaxBitsPerSecond, c.maxBits);
    EXPECT_EQ(r.VideoInfoHeader.rcTarget.right, c.width);
    EXPECT_EQ(r.VideoInfoHeader.dwBitRate, c.bitRate);
    EXPECT_EQ(r.VideoInfoHeader.AvgTimePerFrame, 333667);
    EXPECT_EQ(r.VideoInfoHeader.bmiHeader.biSize, 40u);
    EXPECT_EQ(r.VideoInfoHeader.bmiHeader.biHeight, c.height);
    EXPECT_EQ(r.VideoInfoHeader.bmiHeader.biCompression, 16u);
    EXPECT_EQ(r.VideoInfoHeader.bmiHeader.biSizeImage, 3u);
    EXPECT_EQ(r.VideoInfoHeader.bmiHeader.biXPelsPerMeter, c.pels);
  }
}

TEST_F(StreamTables, SizeQueryAnswersTheSizeAndRewritesNothing) {
  std::vector<std::uint8_t> out(4);
  auto result = rig_.filter().intersect(0, CaptureRangeMpeg2.DataRange, out.data(), 4);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.bytes, 4u);
  ULONG size;
  std::memcpy(&size, out.data(), 4);
  EXPECT_EQ(size, 152u);
  EXPECT_EQ(std::memcmp(&CaptureRangeMpeg2, &mpeg2_, sizeof(mpeg2_)), 0);
}

// The answer for a capture range carries the caller's header, the current
// frame interval and a sample size from the bit rate; the matched static
// range shows the current capture size afterwards.
TEST_F(StreamTables, CaptureIntersectionFollowsTheDeviceSettings) {
  struct Case {
    KS_DATARANGE_VIDEO* range;
    ULONG standard, bitRate, width, height;
    LONGLONG frame;
    ULONG sampleSize;
  } cases[] = {
      {&CaptureRangeMpeg1, KS_AnalogVideo_PAL_B, 1150000, 352, 288, 400000, 4791},
      {&CaptureRangeMpeg2, KS_AnalogVideo_NTSC_M, 7000000, 720, 480, 333667, 29166},
      {&CaptureRangeMpeg2, KS_AnalogVideo_NTSC_M, 4200000, 544, 480, 333667, 17500},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bitRate);
    DeviceContext* d = rig_.device();
    d->VideoStandard = c.standard;
    d->BitRate = c.bitRate;
    d->CaptureWidth = c.width;
    d->CaptureHeight = c.height;
    KS_DATARANGE_VIDEO caller = *c.range;  // as enumerated
    std::vector<std::uint8_t> out(200, 0xEE);
    auto result = intersect(0, &caller, out);
    ASSERT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.bytes, 152u);
    EXPECT_EQ(out[152], 0xEE) << "wrote past the answer";

    KS_DATAFORMAT_VIDEOINFOHEADER format;
    std::memcpy(&format, out.data(), sizeof(format));
    EXPECT_EQ(format.DataFormat.FormatSize, 152u);
    EXPECT_TRUE(IsEqualGUID(format.DataFormat.SubFormat, caller.DataRange.SubFormat));
    EXPECT_EQ(format.DataFormat.SampleSize, c.sampleSize);
    EXPECT_EQ(format.VideoInfoHeader.bmiHeader.biSizeImage, c.sampleSize);
    EXPECT_EQ(format.VideoInfoHeader.AvgTimePerFrame, c.frame);
    // The rest is the caller's VIDEOINFOHEADER as it was.
    EXPECT_EQ(format.VideoInfoHeader.dwBitRate, caller.VideoInfoHeader.dwBitRate);
    EXPECT_EQ(format.VideoInfoHeader.bmiHeader.biWidth, caller.VideoInfoHeader.bmiHeader.biWidth);

    const KS_VIDEOINFOHEADER& table = c.range->VideoInfoHeader;
    EXPECT_EQ(table.rcSource.right, (LONG)c.width);
    EXPECT_EQ(table.rcTarget.right, (LONG)c.width);
    EXPECT_EQ(table.bmiHeader.biWidth, (LONG)c.width);
    EXPECT_EQ(table.rcSource.bottom, (LONG)c.height);
    EXPECT_EQ(table.rcTarget.bottom, (LONG)c.height);
    EXPECT_EQ(table.bmiHeader.biHeight, (LONG)c.height);
  }
}

TEST_F(StreamTables, RangesThatDoNotQualify) {
  KS_DATARANGE_VIDEO oneByteOff = CaptureRangeMpeg2;
  reinterpret_cast<std::uint8_t*>(&oneByteOff.ConfigCaps)[100] ^= 1;
  KS_DATARANGE_VIDEO temporal = CaptureRangeMpeg1;
  temporal.bTemporalCompression = FALSE;
  KS_DATARANGE_VIDEO hugeHeader = CaptureRangeMpeg2;  // would read far past the range
  hugeHeader.VideoInfoHeader.bmiHeader.biSize = 0x10000;
  KSDATARANGE bare = CaptureRangeMpeg2.DataRange;  // the right GUIDs, 64 bytes
  bare.FormatSize = sizeof(KSDATARANGE);
  KSDATARANGE otherSpecifier = CaptureRangeMpeg2.DataRange;
  otherSpecifier.Specifier = KSDATAFORMAT_SPECIFIER_VIDEOINFO;

  struct Case {
    const char* what;
    ULONG pin;
    const void* range;
    ULONG bufferSize;
    NTSTATUS status;
  } cases[] = {
      {"config caps differ", 0, &oneByteOff, 200, STATUS_NO_MATCH},
      {"flags differ", 0, &temporal, 200, STATUS_NO_MATCH},
      {"header beyond the range", 0, &hugeHeader, 200, STATUS_NO_MATCH},
      {"bare header", 0, &bare, 200, STATUS_NO_MATCH},
      {"other specifier", 0, &otherSpecifier, 200, STATUS_NO_MATCH},
      {"capture range on the playback pin", 1, &CaptureRangeMpeg2, 200, STATUS_NO_MATCH},
      {"buffer too small", 0, &CaptureRangeMpeg2, 151, STATUS_BUFFER_TOO_SMALL},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> out(c.bufferSize, 0xEE);
    auto result = intersect(c.pin, c.range, out);
    EXPECT_EQ(result.status, c.status) << c.what;
    EXPECT_EQ(std::count(out.begin(), out.end(), 0xEE), (long)out.size()) << c.what;
  }
  EXPECT_EQ(std::memcmp(&CaptureRangeMpeg2, &mpeg2_, sizeof(mpeg2_)), 0);
  EXPECT_EQ(std::memcmp(&CaptureRangeMpeg1, &mpeg1_, sizeof(mpeg1_)), 0);
}

TEST_F(StreamTables, AnalogAndPlaybackIntersections) {
  KS_DATARANGE_ANALOGVIDEO analog = front::analogFormat();
  std::vector<std::uint8_t> out(200, 0xEE);
  auto result = intersect(2, &analog, out);
  ASSERT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.bytes, 112u);
  EXPECT_EQ(std::memcmp(out.data(), &analog, 112), 0);
  EXPECT_EQ(out[112], 0xEE);

  KSDATARANGE playbackRange = front::playbackFormat().DataFormat;
  playbackRange.FormatSize = sizeof(KSDATARANGE);
  out.assign(200, 0xEE);
  result = intersect(1, &playbackRange, out);
  ASSERT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.bytes, 80u);
  PlaybackFormat expected = front::playbackFormat(0);
  EXPECT_EQ(std::memcmp(out.data(), &expected, 80), 0);
  EXPECT_EQ(out[80], 0xEE);

  std::vector<std::uint8_t> small(79);
  EXPECT_EQ(intersect(1, &playbackRange, small).status, STATUS_BUFFER_TOO_SMALL);
  std::vector<std::uint8_t> query(4);
  result = intersect(2, &analog, query);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.bytes, 4u);
  EXPECT_EQ(query[0], 112);
}

// A stream number the class driver would not ask for.
TEST_F(StreamTables, IntersectionOfAStreamWeDoNotHave) {
  std::vector<std::uint8_t> out(200);
  EXPECT_EQ(intersect(3, &CaptureRangeMpeg2, out).status, STATUS_NOT_IMPLEMENTED);
}

TEST(StreamFormats, MatchingAndSupport) {
  KS_DATAFORMAT_VIDEOINFOHEADER mpeg1 = front::captureFormat(CaptureRangeMpeg1);
  PlaybackFormat playback = front::playbackFormat();
  KS_DATARANGE_ANALOGVIDEO analog = front::analogFormat();
  KSDATAFORMAT wrongSub = mpeg1.DataFormat;
  wrongSub.SubFormat = KSDATAFORMAT_SUBTYPE_NONE;

  EXPECT_TRUE(StreamFormatMatches(&CaptureRangeMpeg1.DataRange, &mpeg1.DataFormat, FALSE));
  EXPECT_FALSE(StreamFormatMatches(&CaptureRangeMpeg1.DataRange, &mpeg1.DataFormat, TRUE));
  EXPECT_FALSE(StreamFormatMatches(&CaptureRangeMpeg1.DataRange, &wrongSub, FALSE));

  struct Case {
    const KSDATAFORMAT* format;
    ULONG stream;
    bool supported;
  } cases[] = {
      {&mpeg1.DataFormat, 0, true},       {&mpeg1.DataFormat, 1, false},
      {&playback.DataFormat, 1, true},    {&playback.DataFormat, 0, false},
      {&analog.DataRange, 2, true},       {&analog.DataRange, 3, false},
      {&wrongSub, 0, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(StreamFormatSupported(const_cast<PKSDATAFORMAT>(c.format), c.stream) != 0,
              c.supported)
        << "stream " << c.stream;
  }
}

}  // namespace
