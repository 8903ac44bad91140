// The device property tables handed to the class driver with the stream
// header, the value descriptions it answers basic-support and default
// queries from, and the crossbar's pin tables. All constant data.
#include "devprop.h"
#include "drventry.h"

const GUID PROPSETID_UNIT_CONTROL = {STATIC_PROPSETID_UNIT_CONTROL};

// ---- Value descriptions: a stepped range, then the default ----

// Members list of a signed 32-bit range: {stepping delta, reserved, minimum, maximum}.
#define PROP_RANGE_MEMBERS(Name) \
  {{KSPROPERTY_MEMBER_RANGES, sizeof(KSPROPERTY_STEPPING_LONG), 1, 0}, &Name}
// Members list of the default value: one signed 32-bit number.
#define PROP_DEFAULT_MEMBERS(Name) \
  {{KSPROPERTY_MEMBER_VALUES, sizeof(LONG), 1, KSPROPERTY_MEMBER_FLAG_DEFAULT}, &Name}
// KSPROPERTY_VALUES of a VT_I4 property with its two members lists.
#define PROP_VALUES(Lists) \
  {{{{{STATIC_KSPROPTYPESETID_General}, VT_I4, 0}}}, sizeof(Lists) / sizeof(Lists[0]), Lists}

static const KSPROPERTY_STEPPING_LONG BrightnessRange = {1, 0, {{0, 255}}};
static const LONG BrightnessDefault = 128;
static const KSPROPERTY_MEMBERSLIST BrightnessMembers[] = {PROP_RANGE_MEMBERS(BrightnessRange),
                                                           PROP_DEFAULT_MEMBERS(BrightnessDefault)};
static const KSPROPERTY_VALUES BrightnessValues = PROP_VALUES(BrightnessMembers);

static const KSPROPERTY_STEPPING_LONG ContrastRange = {1, 0, {{0, 127}}};
static const LONG ContrastDefault = 68;
static const KSPROPERTY_MEMBERSLIST ContrastMembers[] = {PROP_RANGE_MEMBERS(ContrastRange),
                                                         PROP_DEFAULT_MEMBERS(ContrastDefault)};
static const KSPROPERTY_VALUES ContrastValues = PROP_VALUES(ContrastMembers);

static const KSPROPERTY_STEPPING_LONG HueRange = {1, 0, {{0, 127}}};
static const LONG HueDefault = 0;
static const KSPROPERTY_MEMBERSLIST HueMembers[] = {PROP_RANGE_MEMBERS(HueRange),
                                                    PROP_DEFAULT_MEMBERS(HueDefault)};
static const KSPROPERTY_VALUES HueValues = PROP_VALUES(HueMembers);

static const KSPROPERTY_STEPPING_LONG SaturationRange = {1, 0, {{0, 127}}};
static const LONG SaturationDefault = 64;
static const KSPROPERTY_MEMBERSLIST SaturationMembers[] = {PROP_RANGE_MEMBERS(SaturationRange),
                                                           PROP_DEFAULT_MEMBERS(SaturationDefault)};
static const KSPROPERTY_VALUES SaturationValues = PROP_VALUES(SaturationMembers);

static const KSPROPERTY_STEPPING_LONG SharpnessRange = {1, 0, {{1, 15}}};
static const LONG SharpnessDefault = 7;  // what every input-mode change writes
static const KSPROPERTY_MEMBERSLIST SharpnessMembers[] = {PROP_RANGE_MEMBERS(SharpnessRange),
                                                          PROP_DEFAULT_MEMBERS(SharpnessDefault)};
static const KSPROPERTY_VALUES SharpnessValues = PROP_VALUES(SharpnessMembers);

// The bit-rate description is fixed; the limits enforced depend on the
// capture mode and the bus (PropSetEncoding).
static const KSPROPERTY_STEPPING_LONG BitRateRange = {1000, 0, {{1000000, 8000000}}};
static const LONG BitRateDefault = 4200000;
static const KSPROPERTY_MEMBERSLIST BitRateMembers[] = {PROP_RANGE_MEMBERS(BitRateRange),
                                                        PROP_DEFAULT_MEMBERS(BitRateDefault)};
static const KSPROPERTY_VALUES BitRateValues = PROP_VALUES(BitRateMembers);

// ---- Items: id, get, minimum property and data size, set, values, serialized size ----

// An item whose minimum property and minimum data size are both Size.
#define PROP_ITEM(Id, Get, Size, Set, Values, SerializedSize) \
  DEFINE_KSPROPERTY_ITEM(Id, Get, Size, Size, Set, Values, 0, nullptr, nullptr, SerializedSize)

static DEFINE_KSPROPERTY_TABLE(ProcAmpItems){
    PROP_ITEM(KSPROPERTY_VIDEOPROCAMP_CONTRAST, TRUE, sizeof(KSPROPERTY_VIDEOPROCAMP_S), TRUE,
              &ContrastValues, sizeof(ULONG)),
    PROP_ITEM(KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, TRUE, sizeof(KSPROPERTY_VIDEOPROCAMP_S), TRUE,
              &BrightnessValues, sizeof(ULONG)),
    PROP_ITEM(KSPROPERTY_VIDEOPROCAMP_HUE, TRUE, sizeof(KSPROPERTY_VIDEOPROCAMP_S), TRUE,
              &HueValues, sizeof(ULONG)),
    PROP_ITEM(KSPROPERTY_VIDEOPROCAMP_SATURATION, TRUE, sizeof(KSPROPERTY_VIDEOPROCAMP_S), TRUE,
              &SaturationValues, sizeof(ULONG)),
    PROP_ITEM(KSPROPERTY_VIDEOPROCAMP_SHARPNESS, TRUE, sizeof(KSPROPERTY_VIDEOPROCAMP_S), TRUE,
              &SharpnessValues, sizeof(ULONG)),
};

static DEFINE_KSPROPERTY_TABLE(DecoderItems){
    PROP_ITEM(KSPROPERTY_VIDEODECODER_CAPS, TRUE, sizeof(KSPROPERTY_VIDEODECODER_CAPS_S), FALSE,
              nullptr, 0),
    PROP_ITEM(KSPROPERTY_VIDEODECODER_STANDARD, TRUE, sizeof(KSPROPERTY_VIDEODECODER_S), TRUE,
              nullptr, 0),
    PROP_ITEM(KSPROPERTY_VIDEODECODER_STATUS, TRUE, sizeof(KSPROPERTY_VIDEODECODER_STATUS_S),
              FALSE, nullptr, 0),
    PROP_ITEM(KSPROPERTY_VIDEODECODER_OUTPUT_ENABLE, TRUE, sizeof(KSPROPERTY_VIDEODECODER_S), TRUE,
              nullptr, 0),
};

static DEFINE_KSPROPERTY_TABLE(CompressionItems){
    PROP_ITEM(KSPROPERTY_VIDEOCOMPRESSION_GETINFO, TRUE,
              sizeof(KSPROPERTY_VIDEOCOMPRESSION_GETINFO_S), FALSE, &BitRateValues, 0),
    PROP_ITEM(KSPROPERTY_VIDEOCOMPRESSION_QUALITY, TRUE, sizeof(KSPROPERTY_VIDEOCOMPRESSION_S),
              TRUE, nullptr, 0),
};

static DEFINE_KSPROPERTY_TABLE(CrossbarItems){
    PROP_ITEM(KSPROPERTY_CROSSBAR_CAPS, TRUE, sizeof(KSPROPERTY_CROSSBAR_CAPS_S), FALSE, nullptr, 0),
    PROP_ITEM(KSPROPERTY_CROSSBAR_CAN_ROUTE, TRUE, sizeof(KSPROPERTY_CROSSBAR_ROUTE_S), FALSE,
              nullptr, 0),
    PROP_ITEM(KSPROPERTY_CROSSBAR_ROUTE, TRUE, sizeof(KSPROPERTY_CROSSBAR_ROUTE_S), TRUE, nullptr,
              0),
    PROP_ITEM(KSPROPERTY_CROSSBAR_PININFO, TRUE, sizeof(KSPROPERTY_CROSSBAR_PININFO_S), FALSE,
              nullptr, 0),
};

static DEFINE_KSPROPERTY_TABLE(UnitItems){
    PROP_ITEM(KSPROPERTY_UNIT_ENCODING, TRUE, sizeof(KSPROPERTY_UNIT_ENCODING_S), TRUE, nullptr, 0),
    PROP_ITEM(KSPROPERTY_UNIT_AUDIO_VOLUME, TRUE, sizeof(KSPROPERTY_UNIT_AUDIO_VOLUME_S), TRUE,
              nullptr, 0),
    PROP_ITEM(KSPROPERTY_UNIT_AUDIO_FORMAT, TRUE, sizeof(KSPROPERTY_UNIT_AUDIO_FORMAT_S), TRUE,
              nullptr, 0),
    PROP_ITEM(KSPROPERTY_UNIT_ENCODING_CAPS, TRUE, sizeof(KSPROPERTY_UNIT_ENCODING_CAPS_S), FALSE,
              nullptr, 0),
    PROP_ITEM(KSPROPERTY_UNIT_AUDIO_CAPS, TRUE, sizeof(KSPROPERTY_UNIT_AUDIO_CAPS_S), FALSE,
              nullptr, 0),
    PROP_ITEM(KSPROPERTY_UNIT_MEMORY, TRUE, sizeof(KSPROPERTY_UNIT_MEMORY_S), TRUE, nullptr, 0),
    PROP_ITEM(KSPROPERTY_UNIT_AUDIO_MUTE, TRUE, sizeof(KSPROPERTY_UNIT_AUDIO_MUTE_S), TRUE,
              nullptr, 0),
    PROP_ITEM(KSPROPERTY_UNIT_IDLE, FALSE, 0, TRUE, nullptr, 0),  // no data
};

#define PROP_COUNT(Table) (sizeof(Table) / sizeof(Table[0]))

// ---- Sets, in the order the class driver sees them; none has fast I/O items ----

DEFINE_KSPROPERTY_SET_TABLE(DevicePropertySets){
    DEFINE_KSPROPERTY_SET(&PROPSETID_VIDCAP_VIDEOPROCAMP, PROP_COUNT(ProcAmpItems), ProcAmpItems,
                          0, nullptr),
    DEFINE_KSPROPERTY_SET(&PROPSETID_VIDCAP_VIDEODECODER, PROP_COUNT(DecoderItems), DecoderItems,
                          0, nullptr),
    DEFINE_KSPROPERTY_SET(&PROPSETID_VIDCAP_VIDEOCOMPRESSION, PROP_COUNT(CompressionItems),
                          CompressionItems, 0, nullptr),
    DEFINE_KSPROPERTY_SET(&PROPSETID_VIDCAP_CROSSBAR, PROP_COUNT(CrossbarItems), CrossbarItems, 0,
                          nullptr),
    DEFINE_KSPROPERTY_SET(&PROPSETID_UNIT_CONTROL, PROP_COUNT(UnitItems), UnitItems, 0, nullptr),
};
static_assert(sizeof(DevicePropertySets) / sizeof(DevicePropertySets[0]) ==
                  DEVICE_PROPERTY_SET_COUNT,
              "device property sets");

// ---- Crossbar pins: connector type, related pin, medium ----

const CrossbarPin CrossbarInputPins[CROSSBAR_INPUT_PIN_COUNT] = {
    {KS_PhysConn_Video_Composite, 2, &CrossbarMediums[0]},
    {KS_PhysConn_Video_SVideo, 2, &CrossbarMediums[1]},
    {KS_PhysConn_Audio_Line, 2, &CrossbarMediums[3]},  // names itself as its related pin
};
const CrossbarPin CrossbarOutputPins[CROSSBAR_OUTPUT_PIN_COUNT] = {
    {KS_PhysConn_Video_VideoDecoder, 1, &CrossbarMediums[2]},  // shared with stream 2
    {KS_PhysConn_Audio_AudioDecoder, 0, &CrossbarMediums[4]},
};
