// Compile-time checks of the record sizes the driver and the unit rely on, in
// the target's own layout (32-bit pointers).
#include "driver/drventry.h"

static_assert(sizeof(void*) == 4, "the target is 32-bit");
static_assert(sizeof(HW_INITIALIZATION_DATA) == 60, "registration record");
static_assert(sizeof(HW_STREAM_HEADER) == 40, "stream header");
static_assert(sizeof(HW_STREAM_INFORMATION) == 80, "stream information entry");
static_assert(sizeof(HW_STREAM_OBJECT) == 68, "stream object");
static_assert(sizeof(HW_STREAM_HEADER) + 3 * sizeof(HW_STREAM_INFORMATION) == 280,
              "stream descriptor size");
static_assert(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 80, "vendor-request URB");
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 72, "bulk URB");
static_assert(sizeof(struct _URB_PIPE_REQUEST) == 24, "pipe-request URB");
static_assert(sizeof(RequestExtension) <= 20, "request extension");
static_assert(sizeof(StreamContext) == 32, "stream context");
static_assert(sizeof(DeviceContext) <= 696, "device context");
