// The transfer worker: queue, thread, one staged transfer per request.
//
// Shutdown without stranded requests: WorkerStop sets the command to exit,
// and a queuer never overwrites an exit (or ended) command. The worker
// flushes its queue, marks itself ended, and flushes once more; a queuer
// that inserts a request and then finds the worker ended flushes the queue
// itself. Either the worker's second flush sees the request or the queuer
// sees the ended mark, so every request is completed exactly once (the
// interlocked list removal hands each entry to one taker only).
#include "thread.h"

#include "drventry.h"
#include "usbdi.h"

#define WORKER_PRIORITY LOW_REALTIME_PRIORITY  // 16, the lowest real-time priority
#define WORKER_SEMAPHORE_LIMIT MAXLONG

// Bulk transfer flags of the staged transfer.
#define WORKER_FLAGS_WRITE USBD_SHORT_TRANSFER_OK                                 // 2
#define WORKER_FLAGS_READ (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK)  // 3

// WorkerCommand as the word the interlocked operations take. Any IRQL.
static volatile LONG* WorkerCommandWord(DeviceContext* Device) {
  return (volatile LONG*)&Device->WorkerCommand;
}

// An interlocked read of a word that other threads change with interlocked
// operations. Any IRQL.
static LONG WorkerReadWord(volatile LONG* Word) {
  return InterlockedExchangeAdd(Word, 0);
}

// The request block kept by the class driver in the IRP of a queue entry.
// Any IRQL; no lock.
static PHW_STREAM_REQUEST_BLOCK WorkerRequestOfEntry(PLIST_ENTRY Entry) {
  PIRP irp = CONTAINING_RECORD(Entry, IRP, Tail.Overlay.ListEntry);
  return (PHW_STREAM_REQUEST_BLOCK)irp->Tail.Overlay.DriverContext[0];
}

// Takes the oldest queued request. Returns it, or NULL when the queue is
// empty. <= DISPATCH_LEVEL; takes WorkerQueueLock through the list operation.
static PHW_STREAM_REQUEST_BLOCK WorkerDequeue(DeviceContext* Device) {
  PLIST_ENTRY entry = ExfInterlockedRemoveHeadList(&Device->WorkerQueue, &Device->WorkerQueueLock);
  if (entry == NULL) {
    return NULL;
  }
  InterlockedDecrement(&Device->WorkerPending);
  return WorkerRequestOfEntry(entry);
}

// Completes every queued request with STATUS_SUCCESS; buffers and headers are
// left as they are. <= DISPATCH_LEVEL; no lock held.
static VOID WorkerFlush(DeviceContext* Device) {
  PHW_STREAM_REQUEST_BLOCK request;
  while ((request = WorkerDequeue(Device)) != NULL) {
    request->Status = STATUS_SUCCESS;
    StreamCompleteRequest(request);
  }
}

// Moves the oldest queued request's buffer over the matching bulk pipe and
// completes the request. Nothing moves while the stream is not running or the
// unit is unusable. PASSIVE_LEVEL, the worker thread; no lock.
static VOID WorkerTransferOne(DeviceContext* Device) {
  PHW_STREAM_REQUEST_BLOCK request = WorkerDequeue(Device);
  if (request == NULL) {
    return;
  }
  StreamContext* stream = (StreamContext*)request->StreamObject->HwStreamExtension;
  PKSSTREAM_HEADER header = request->CommandData.DataBufferArray;

  // A format change moves no data; it is acted on unless the stream has
  // stopped or the unit is gone.
  if ((header->OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TYPECHANGED) != 0) {
    request->Status = STATUS_SUCCESS;
    if (StreamStateWord(&stream->State) != KSSTATE_STOP && (DeviceFlags(Device) & DeviceGone) == 0) {
      StreamFormatChange(request);
    }
    StreamCompleteRequest(request);
    return;
  }

  if (StreamStateWord(&stream->State) != KSSTATE_RUN ||
      (DeviceFlags(Device) & (DeviceGone | TransferFailed)) != 0) {
    request->Status = STATUS_SUCCESS;
    StreamCompleteRequest(request);
    return;
  }

  BOOLEAN write = (request->Command == SRB_WRITE_DATA);
  USBD_PIPE_HANDLE pipe = write ? Device->BulkOutPipe : Device->BulkInPipe;
  ULONG length = write ? header->DataUsed : header->FrameExtent;
  ULONG flags = write ? WORKER_FLAGS_WRITE : WORKER_FLAGS_READ;

  // A write that claims more data than its buffer holds would send bytes
  // from beyond the buffer: refuse it, header untouched.
  if (write && header->DataUsed > header->FrameExtent) {
    request->Status = STATUS_INVALID_PARAMETER;
    StreamCompleteRequest(request);
    return;
  }

  DeviceSetCurrentPipe(Device, pipe);
  ULONG transferred = 0;
  request->Status = UsbStagedTransfer(Device, pipe, length, &transferred, flags, header->Data);
  header->DataUsed = transferred;
  if (!write) {
    header->PresentationTime.Time = 0;
    header->PresentationTime.Numerator = 0;
    header->PresentationTime.Denominator = 0;
    header->Duration = 0;
    header->OptionsFlags = 0;
  }
  StreamCompleteRequest(request);
}

// The worker thread's routine: waits for work, moves one request per wake,
// and on the exit command flushes the queue and ends. PASSIVE_LEVEL.
static VOID NTAPI WorkerThreadMain(PVOID Context) {
  DeviceContext* device = (DeviceContext*)Context;
  KeSetPriorityThread(KeGetCurrentThread(), WORKER_PRIORITY);

  for (;;) {
    if (WorkerReadWord(&device->WorkerPending) == 0) {
      KeSetEvent(&device->WorkerIdleEvent, IO_NO_INCREMENT, FALSE);
    }
    KeWaitForSingleObject(&device->WorkerSemaphore, Executive, KernelMode, FALSE, NULL);

    ULONG command = (ULONG)WorkerReadWord(WorkerCommandWord(device));
    if (command == WorkerCommandWork) {
      KeClearEvent(&device->WorkerIdleEvent);
      WorkerTransferOne(device);
    } else if (command == WorkerCommandExit) {
      break;
    }
  }

  WorkerFlush(device);
  InterlockedExchange(WorkerCommandWord(device), (LONG)WorkerCommandEnded);
  WorkerFlush(device);  // what was queued between the first flush and the mark
  KeSetEvent(&device->WorkerIdleEvent, IO_NO_INCREMENT, FALSE);
  KeSetEvent(&device->WorkerExitEvent, IO_NO_INCREMENT, FALSE);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

// See thread.h. PASSIVE_LEVEL, device request loop.
NTSTATUS WorkerStart(DeviceContext* Device) {
  Device->WorkerCommand = WorkerCommandNone;
  InitializeListHead(&Device->WorkerQueue);
  KeInitializeSpinLock(&Device->WorkerQueueLock);
  KeInitializeEvent(&Device->WorkerExitEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&Device->WorkerIdleEvent, NotificationEvent, FALSE);
  KeInitializeSemaphore(&Device->WorkerSemaphore, 0, WORKER_SEMAPHORE_LIMIT);
  Device->WorkerPending = 0;
  Device->WorkerThread = NULL;

  HANDLE thread = NULL;
  NTSTATUS status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL,
                                         WorkerThreadMain, Device);
  if (!NT_SUCCESS(status)) {
    // No thread will ever take a request: let queuers complete their own, and
    // let a stop waiter through.
    Device->WorkerCommand = WorkerCommandEnded;
    KeSetEvent(&Device->WorkerIdleEvent, IO_NO_INCREMENT, FALSE);
    KeSetEvent(&Device->WorkerExitEvent, IO_NO_INCREMENT, FALSE);
    return status;
  }
  Device->WorkerThread = thread;
  return status;
}

// See thread.h. PASSIVE_LEVEL, device request loop; waits without a time limit.
VOID WorkerStop(DeviceContext* Device) {
  if (Device->WorkerThread == NULL) {
    return;
  }
  InterlockedExchange(WorkerCommandWord(Device), (LONG)WorkerCommandExit);
  KeReleaseSemaphore(&Device->WorkerSemaphore, IO_NO_INCREMENT, 1, FALSE);
  KeWaitForSingleObject(&Device->WorkerExitEvent, Executive, KernelMode, FALSE, NULL);
  // The handle is kept open; the field only records that no worker runs now.
  Device->WorkerThread = NULL;
}

// See thread.h. <= DISPATCH_LEVEL; no lock held.
VOID WorkerQueueRequest(DeviceContext* Device, PHW_STREAM_REQUEST_BLOCK Request) {
  // Command "work", unless an exit has been commanded: that must stand.
  LONG command = WorkerReadWord(WorkerCommandWord(Device));
  if (command == (LONG)WorkerCommandEnded) {
    Request->Status = STATUS_SUCCESS;  // no worker will take it: complete it without data
    StreamCompleteRequest(Request);
    return;
  }
  while (command == (LONG)WorkerCommandNone || command == (LONG)WorkerCommandWork) {
    LONG seen = InterlockedCompareExchange(WorkerCommandWord(Device), (LONG)WorkerCommandWork,
                                           command);
    if (seen == command) {
      break;
    }
    command = seen;
  }

  InterlockedIncrement(&Device->WorkerPending);
  ExfInterlockedInsertTailList(&Device->WorkerQueue, &Request->Irp->Tail.Overlay.ListEntry,
                               &Device->WorkerQueueLock);
  KeReleaseSemaphore(&Device->WorkerSemaphore, IO_NO_INCREMENT, 1, FALSE);

  if (WorkerReadWord(WorkerCommandWord(Device)) == (LONG)WorkerCommandEnded) {
    WorkerFlush(Device);
  }
}

// Takes the queued requests of StreamObject (only Request, when given) out
// of the worker queue and completes them with STATUS_CANCELLED and DataUsed
// 0; the others keep their order. <= DISPATCH_LEVEL; takes WorkerQueueLock,
// released before any completion.
static VOID WorkerCancelQueued(DeviceContext* Device, PHW_STREAM_OBJECT StreamObject,
                               PHW_STREAM_REQUEST_BLOCK Request) {
  LIST_ENTRY cancelled;
  InitializeListHead(&cancelled);

  KIRQL irql = KfAcquireSpinLock(&Device->WorkerQueueLock);
  PLIST_ENTRY entry = Device->WorkerQueue.Flink;
  while (entry != &Device->WorkerQueue) {
    PLIST_ENTRY next = entry->Flink;
    PHW_STREAM_REQUEST_BLOCK queued = WorkerRequestOfEntry(entry);
    if (queued->StreamObject == StreamObject && (Request == NULL || queued == Request)) {
      RemoveEntryList(entry);
      InterlockedDecrement(&Device->WorkerPending);
      InsertTailList(&cancelled, entry);
    }
    entry = next;
  }
  KfReleaseSpinLock(&Device->WorkerQueueLock, irql);

  // The semaphore keeps its count: a wake that finds the queue empty moves nothing.
  while (!IsListEmpty(&cancelled)) {
    PHW_STREAM_REQUEST_BLOCK request = WorkerRequestOfEntry(RemoveHeadList(&cancelled));
    request->CommandData.DataBufferArray->DataUsed = 0;
    request->Status = STATUS_CANCELLED;
    StreamCompleteRequest(request);
  }
}

// See thread.h. <= DISPATCH_LEVEL; no lock held.
VOID WorkerCancelStream(DeviceContext* Device, PHW_STREAM_OBJECT StreamObject) {
  WorkerCancelQueued(Device, StreamObject, NULL);
}

// See thread.h. <= DISPATCH_LEVEL; no lock held.
VOID WorkerCancelRequest(DeviceContext* Device, PHW_STREAM_REQUEST_BLOCK Request) {
  if (Request->StreamObject == NULL) {
    return;  // a device request never waits in the worker queue
  }
  WorkerCancelQueued(Device, Request->StreamObject, Request);
}
