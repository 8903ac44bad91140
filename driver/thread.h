// The transfer worker: the one system thread that moves stream data.
#pragma once

#include "mpegunit.h"

// PASSIVE_LEVEL. Starts the worker thread; returns PsCreateSystemThread's status.
NTSTATUS WorkerStart(DeviceContext* Device);
// PASSIVE_LEVEL. Completes every queued request and returns once the thread has ended.
VOID WorkerStop(DeviceContext* Device);
// <= DISPATCH_LEVEL. Queues a data request (Status already STATUS_PENDING).
VOID WorkerQueueRequest(DeviceContext* Device, PHW_STREAM_REQUEST_BLOCK Request);
