// The transfer worker: the one system thread that moves stream data.
//
// Data requests queue on WorkerQueue, linked through their IRPs
// (Tail.Overlay.ListEntry; the request is in Tail.Overlay.DriverContext[0]),
// so nothing is allocated per request. One semaphore release per queued
// request wakes the worker once; it moves one request per wake, in arrival
// order, and signals WorkerIdleEvent whenever it finds nothing left to do.
#pragma once

#include "mpegunit.h"

// WorkerCommand once the worker has ended (or could not be started): a data
// request queued from then on is completed by its queuer rather than stranded.
#define WorkerCommandEnded 3u

// PASSIVE_LEVEL, device request loop. Initialises the queue, its lock, the
// events and the semaphore, and starts the worker thread at real-time
// priority. Returns PsCreateSystemThread's status; on failure data requests
// complete at once without data.
NTSTATUS WorkerStart(DeviceContext* Device);

// PASSIVE_LEVEL, device request loop, no lock. Commands the worker to exit;
// the worker completes every queued request with STATUS_SUCCESS and no data.
// Returns once the thread has ended (no time limit). Does nothing when the
// worker was never started.
VOID WorkerStop(DeviceContext* Device);

// <= DISPATCH_LEVEL, no lock held (takes WorkerQueueLock through the
// interlocked list operations). Queues a data request whose Status is already
// STATUS_PENDING; the worker completes it. After the worker has ended the
// request is completed here, at once, with STATUS_SUCCESS and no data.
VOID WorkerQueueRequest(DeviceContext* Device, PHW_STREAM_REQUEST_BLOCK Request);

// <= DISPATCH_LEVEL, no lock held (takes WorkerQueueLock). Takes every queued
// request of StreamObject out of the worker queue and completes it with
// STATUS_CANCELLED and DataUsed 0; requests of other streams keep their order.
// Used when a stream closes, so that no queued request outlives its stream.
VOID WorkerCancelStream(DeviceContext* Device, PHW_STREAM_OBJECT StreamObject);

// <= DISPATCH_LEVEL, no lock held (takes WorkerQueueLock). When Request still
// waits in the worker queue, takes it out and completes it with
// STATUS_CANCELLED and DataUsed 0; otherwise does nothing (a request being
// transferred completes when its transfer ends).
VOID WorkerCancelRequest(DeviceContext* Device, PHW_STREAM_REQUEST_BLOCK Request);
