// Layouts of the pointer-free records that the unit's tables and the
// property handlers address by byte offset: they must match the target's.
#include "platform.h"

static_assert(sizeof(KSPROPERTY) == 24);
static_assert(sizeof(KSDATAFORMAT) == 64);
static_assert(sizeof(KS_DATARANGE_VIDEO) == 296);
static_assert(offsetof(KS_DATARANGE_VIDEO, ConfigCaps) == 80);
static_assert(offsetof(KS_DATARANGE_VIDEO, VideoInfoHeader) == 208);
static_assert(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) == 152);
static_assert(offsetof(KS_DATAFORMAT_VIDEOINFOHEADER, VideoInfoHeader.bmiHeader.biSize) == 112);
static_assert(sizeof(KS_DATARANGE_ANALOGVIDEO) == 112);
static_assert(sizeof(KSALLOCATOR_FRAMING) == 24);
static_assert(sizeof(KSPROPERTY_VIDEOPROCAMP_S) == 40);
static_assert(sizeof(KSPROPERTY_VIDEODECODER_CAPS_S) == 40);
static_assert(sizeof(KSPROPERTY_VIDEODECODER_S) == 32);
static_assert(sizeof(KSPROPERTY_VIDEODECODER_STATUS_S) == 32);
static_assert(sizeof(KSPROPERTY_VIDEOCOMPRESSION_GETINFO_S) == 48);
static_assert(sizeof(KSPROPERTY_VIDEOCOMPRESSION_S) == 32);
static_assert(sizeof(KSPROPERTY_CROSSBAR_CAPS_S) == 32);
static_assert(sizeof(KSPROPERTY_CROSSBAR_PININFO_S) == 64);
static_assert(offsetof(KSPROPERTY_CROSSBAR_PININFO_S, Medium) == 40);
static_assert(sizeof(KSPROPERTY_CROSSBAR_ROUTE_S) == 40);
static_assert(sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S) == 48);
