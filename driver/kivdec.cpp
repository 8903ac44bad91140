// Not yet built: every operation answers that it is not implemented.
#include "kivdec.h"


BOOLEAN DecNeedsLoad(DeviceContext* Device) {
  (void)Device;
  return FALSE;
}

NTSTATUS DecLoad(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS DecLoadImage(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS DecConfigure(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS DecStart(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS DecStop(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}
