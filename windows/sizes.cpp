// Compile-time checks of the record sizes that the driver, the class driver
// and the unit rely on, in the target's own layout (32-bit pointers). The
// platform's records are checked against the sizes the class driver and the
// bus driver expect; our own records against the sizes announced at
// registration.
#include "driver/drventry.h"

static_assert(sizeof(void*) == 4, "the target is 32-bit");

// Kernel-streaming class driver records.
static_assert(sizeof(HW_INITIALIZATION_DATA) == 60, "registration record");
static_assert(sizeof(HW_STREAM_HEADER) == 40, "stream header");
static_assert(sizeof(HW_STREAM_INFORMATION) == 80, "stream information entry");
static_assert(sizeof(HW_STREAM_OBJECT) == 68, "stream object");
static_assert(STREAM_DESCRIPTOR_SIZE == 280, "stream descriptor: header and three entries");

// Data ranges and formats of the stream tables.
static_assert(sizeof(KSDATAFORMAT) == 64, "data format header");
static_assert(VIDEO_FORMAT_HEADER_OFFSET == 64, "VIDEOINFOHEADER offset in a video format");
static_assert(VIDEO_PREHEADER_SIZE == 48, "VIDEOINFOHEADER before its bitmap header");
static_assert(sizeof(KS_DATARANGE_VIDEO) == 296, "capture range");
static_assert(sizeof(CaptureRangeMpeg2) == 296 && sizeof(CaptureRangeMpeg1) == 296,
              "both capture ranges");
static_assert(FIELD_OFFSET(KS_DATARANGE_VIDEO, ConfigCaps) + sizeof(KS_VIDEO_STREAM_CONFIG_CAPS) ==
                  FIELD_OFFSET(KS_DATARANGE_VIDEO, VideoInfoHeader),
              "capture range: configuration caps just before the VIDEOINFOHEADER");
static_assert(sizeof(KS_VIDEO_STREAM_CONFIG_CAPS) == 128, "configuration caps");
static_assert(FIELD_OFFSET(KS_DATARANGE_VIDEO, VideoInfoHeader) + VIDEO_PREHEADER_SIZE == 256,
              "capture range: bitmap header offset");
static_assert(sizeof(KS_DATARANGE_ANALOGVIDEO) == 112, "analog video range");
static_assert(sizeof(PlaybackFormat) == 80 && PLAYBACK_FORMAT_SIZE == 80, "playback format");

// USB request blocks.
static_assert(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 80, "vendor-request URB");
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 72, "bulk URB");
static_assert(sizeof(struct _URB_PIPE_REQUEST) == 24, "pipe-request URB");

// Our extensions, exactly as announced at registration.
static_assert(sizeof(RequestExtension) == 20, "request extension");
static_assert(REQUEST_EXTENSION_SIZE == 20, "announced request extension size");
static_assert(sizeof(StreamContext) == 32, "stream context");
static_assert(STREAM_EXTENSION_SIZE == 32, "announced stream extension size");
static_assert(sizeof(DeviceContext) <= 696, "device context within its extension");
static_assert(DEVICE_EXTENSION_SIZE == 696, "announced device extension size");
