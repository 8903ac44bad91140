// Not yet built: every operation answers that it is not implemented.
#include "thread.h"


NTSTATUS WorkerStart(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

VOID WorkerStop(DeviceContext* Device) {
  (void)Device;
}

VOID WorkerQueueRequest(DeviceContext* Device, PHW_STREAM_REQUEST_BLOCK Request) {
  (void)Device;
  (void)Request;
}
