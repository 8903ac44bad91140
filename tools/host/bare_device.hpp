// A bare DeviceContext over a unit on the hosted bus, for tests and fuzz
// harnesses that call driver operations directly, without the class driver:
// what the adapter bring-up does before the codec is touched, and the
// teardown of what the driver leaves in the context.
#pragma once

#include "driver/mpegunit.h"

namespace mpegunit {

// The USB configuration (UsbConfigureDevice), then the shared bulk IRP and
// URBs. device->RealPhysicalDeviceObject must be set. The configuration's
// status, or STATUS_INSUFFICIENT_RESOURCES when an allocation fails (what
// was taken stays in the context for releaseBareDevice).
NTSTATUS configureBareDevice(DeviceContext* device);

// Frees, each only if present, the bulk IRP and URBs, the interface
// information and the configuration descriptor, and clears their fields.
void releaseBareDevice(DeviceContext* device);

}  // namespace mpegunit
