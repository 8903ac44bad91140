// The device property tables as an application meets them: the class
// driver checks every request against them and answers basic-support and
// default queries from their value descriptions; what passes reaches the
// unit through the handlers.
#include <cstring>

#include "analog_fixture.hpp"
#include "pf/host/ks_client.hpp"

namespace analogtest {
namespace {

class FilterProperties : public ::testing::Test {
 protected:
  void SetUp() override {
    rig_ = std::make_unique<rig::DriverRig>();
    ASSERT_TRUE(rig_->ok()) << rig_->why();
  }
  pf::ks::Filter& filter() { return rig_->filter(); }
  std::unique_ptr<rig::DriverRig> rig_;
};

struct Range {
  const GUID* set;
  ULONG id;
  LONG step, min, max, def;
};

TEST_F(FilterProperties, BasicSupportAndDefaultsComeFromTheValueTables) {
  const Range ranges[] = {
      {&PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 1, 0, 255, 128},
      {&PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_CONTRAST, 1, 0, 127, 68},
      {&PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_HUE, 1, 0, 127, 0},
      {&PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_SATURATION, 1, 0, 127, 64},
      {&PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_SHARPNESS, 1, 1, 15, 7},
      {&PROPSETID_VIDCAP_VIDEOCOMPRESSION, KSPROPERTY_VIDEOCOMPRESSION_GETINFO, 1000, 1000000,
       8000000, 4200000},
  };
  for (const auto& r : ranges) {
    SCOPED_TRACE(r.id);
    struct {
      KSPROPERTY_DESCRIPTION description;
      KSPROPERTY_MEMBERSHEADER rangeHeader;
      KSPROPERTY_STEPPING_LONG range;
      KSPROPERTY_MEMBERSHEADER defaultHeader;
      LONG def;
    } answer{};
    const auto a = filter().basicSupport(*r.set, r.id, &answer, sizeof answer);
    ASSERT_EQ(a.status, STATUS_SUCCESS);
    EXPECT_EQ(answer.description.MembersListCount, 2u);
    EXPECT_TRUE(IsEqualGUID(answer.description.PropTypeSet.Set, KSPROPTYPESETID_General));
    EXPECT_EQ(answer.description.PropTypeSet.Id, ULONG(VT_I4));
    EXPECT_EQ(answer.rangeHeader.MembersFlags, ULONG(KSPROPERTY_MEMBER_RANGES));
    EXPECT_EQ(answer.range.SteppingDelta, ULONG(r.step));
    EXPECT_EQ(answer.range.Bounds.SignedMinimum, r.min);
    EXPECT_EQ(answer.range.Bounds.SignedMaximum, r.max);
    EXPECT_EQ(answer.defaultHeader.MembersFlags, ULONG(KSPROPERTY_MEMBER_VALUES));
    EXPECT_EQ(answer.def, r.def);

    LONG def = -1;
    ASSERT_EQ(filter().defaultValue(*r.set, r.id, &def, sizeof def).status, STATUS_SUCCESS);
    EXPECT_EQ(def, r.def);
  }
}

struct Access {
  const GUID* set;
  ULONG id;
  bool get, put;
  ULONG size;  // minimum property and data size
};

TEST_F(FilterProperties, EveryItemHasItsAccessAndMinimumSize) {
  const Access items[] = {
      {&PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, true, true, 40},
      {&PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_SHARPNESS, true, true, 40},
      {&PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_CAPS, true, false, 40},
      {&PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STANDARD, true, true, 32},
      {&PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STATUS, true, false, 32},
      {&PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_OUTPUT_ENABLE, true, true, 32},
      {&PROPSETID_VIDCAP_VIDEOCOMPRESSION, KSPROPERTY_VIDEOCOMPRESSION_GETINFO, true, false, 48},
      {&PROPSETID_VIDCAP_VIDEOCOMPRESSION, KSPROPERTY_VIDEOCOMPRESSION_QUALITY, true, true, 32},
      {&PROPSETID_VIDCAP_CROSSBAR, KSPROPERTY_CROSSBAR_CAPS, true, false, 32},
      {&PROPSETID_VIDCAP_CROSSBAR, KSPROPERTY_CROSSBAR_PININFO, true, false, 64},
      {&PROPSETID_VIDCAP_CROSSBAR, KSPROPERTY_CROSSBAR_CAN_ROUTE, true, false, 40},
      {&PROPSETID_VIDCAP_CROSSBAR, KSPROPERTY_CROSSBAR_ROUTE, true, true, 40},
      {&PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_ENCODING, true, true, 48},
      {&PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_AUDIO_VOLUME, true, true, 28},
      {&PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_AUDIO_FORMAT, true, true, 30},
      {&PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_ENCODING_CAPS, true, false, 128},
      {&PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_AUDIO_CAPS, true, false, 60},
      {&PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_MEMORY, true, true, 56},
      {&PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_AUDIO_MUTE, true, true, 28},
      {&PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_IDLE, false, true, 0},
  };
  for (const auto& item : items) {
    SCOPED_TRACE(testing::Message() << item.set->Data1 << " item " << item.id);
    ULONG access = 0;
    ASSERT_EQ(filter().basicSupport(*item.set, item.id, &access, sizeof access).status,
              STATUS_SUCCESS);
    EXPECT_EQ((access & KSPROPERTY_TYPE_GET) != 0, item.get);
    EXPECT_EQ((access & KSPROPERTY_TYPE_SET) != 0, item.put);
    if (item.size <= sizeof(KSPROPERTY)) continue;
    // One byte short of the minimum never reaches the handlers.
    std::vector<std::uint8_t> record(item.size, 0);
    const auto a = filter().recordCall(item.get ? KSPROPERTY_TYPE_GET : KSPROPERTY_TYPE_SET,
                                       *item.set, item.id, record.data(), item.size - 1);
    EXPECT_EQ(a.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(a.bytes, item.size);
  }
  ULONG access = 0;
  EXPECT_EQ(filter().basicSupport(PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_GAMMA,
                                  &access, sizeof access).status,
            STATUS_NOT_IMPLEMENTED);
}

TEST_F(FilterProperties, PictureControlsReachTheDecoderThroughTheStack) {
  KSPROPERTY_VIDEOPROCAMP_S record{};
  ASSERT_EQ(filter().get(PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, record)
                .status,
            STATUS_SUCCESS);
  EXPECT_EQ(record.Value, 128);
  EXPECT_EQ(rig_->unit().registers(kDecoder)[0x0A], 128);
  record.Value = 90;
  ASSERT_EQ(filter().set(PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, record)
                .status,
            STATUS_SUCCESS);
  EXPECT_EQ(rig_->unit().registers(kDecoder)[0x0A], 90);
  EXPECT_EQ(pf::registry::dword(rig_->driverKey(), "Brightness"), 90u);
  record.Value = 256;
  EXPECT_EQ(filter().set(PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, record)
                .status,
            STATUS_INVALID_PARAMETER);
}

}  // namespace
}  // namespace analogtest

namespace analogtest {
namespace {

TEST_F(FilterProperties, AnUnknownSetIsNotImplementedBeforeAnyHandlerRuns) {
  const GUID unknown = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
  const auto before = rig::vendorRequests(rig_->unit()).size();
  KSPROPERTY_VIDEOPROCAMP_S record{};
  EXPECT_EQ(filter().get(unknown, 0, record).status, STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(filter().set(unknown, 0, record).status, STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(rig::vendorRequests(rig_->unit()).size(), before);
}

}  // namespace
}  // namespace analogtest
