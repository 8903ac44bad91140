// Kernel executive of the hosted platform: IRQL, spin locks, dispatcher
// objects (events, semaphores) and waits, system threads, delays, the
// performance counter, interlocked operations and pool memory.
//
// The hosted implementation keeps a per-thread IRQL and checks the rules a
// real kernel enforces by crashing (pf/host/verifier.hpp). Dispatcher objects
// hold their whole state inline, so that a zero-filled device extension can
// embed them and nothing needs to be destroyed.
#pragma once

#include "pf/ntbase.h"

#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 31

typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK* PKSPIN_LOCK;

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;

typedef enum _KWAIT_REASON {
  Executive,
  FreePage,
  PageIn,
  PoolAllocation,
  DelayExecution,
  Suspended,
  UserRequest
} KWAIT_REASON;

#define KernelMode ((KPROCESSOR_MODE)0)
#define UserMode ((KPROCESSOR_MODE)1)

// Type values of DISPATCHER_HEADER.
#define EventNotificationObject 0
#define EventSynchronizationObject 1
#define SemaphoreObject 5

typedef struct _DISPATCHER_HEADER {
  UCHAR Type;
  UCHAR Absolute;
  UCHAR Size;
  UCHAR Inserted;
  volatile LONG SignalState;
  LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;

typedef struct _KEVENT {
  DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef struct _KSEMAPHORE {
  DISPATCHER_HEADER Header;
  LONG Limit;
} KSEMAPHORE, *PKSEMAPHORE, *PRKSEMAPHORE;

typedef struct _KTHREAD* PKTHREAD;
typedef struct _KTHREAD* PRKTHREAD;
typedef struct _ETHREAD* PETHREAD;

typedef enum _POOL_TYPE {
  NonPagedPool = 0,
  PagedPool = 1,
  NonPagedPoolMustSucceed = 2,
  NonPagedPoolCacheAligned = 4,
  PagedPoolCacheAligned = 5
} POOL_TYPE;

typedef VOID(NTAPI KSTART_ROUTINE)(PVOID StartContext);
typedef KSTART_ROUTINE* PKSTART_ROUTINE;

typedef struct _CLIENT_ID {
  HANDLE UniqueProcess;
  HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

struct _OBJECT_ATTRIBUTES;

#define THREAD_ALL_ACCESS 0x001F03FF
#define LOW_REALTIME_PRIORITY 16
#define HIGH_PRIORITY 31
#define IO_NO_INCREMENT 0
#define MAXLONG 0x7FFFFFFF

#ifdef __cplusplus
extern "C" {
#endif

// IRQL of the calling thread; a new thread starts at PASSIVE_LEVEL.
KIRQL NTAPI KeGetCurrentIrql(void);
KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql);
void FASTCALL KfLowerIrql(KIRQL NewIrql);
#define KeRaiseIrql(a, b) (*(b) = KfRaiseIrql(a))
#define KeLowerIrql(a) KfLowerIrql(a)

void NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
// Raises to DISPATCH_LEVEL and takes the lock; returns the previous IRQL.
KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock);
void FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
#define KeAcquireSpinLock(a, b) (*(b) = KfAcquireSpinLock(a))
#define KeReleaseSpinLock(a, b) KfReleaseSpinLock(a, b)

void NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
void NTAPI KeClearEvent(PRKEVENT Event);
LONG NTAPI KeResetEvent(PRKEVENT Event);
LONG NTAPI KeReadStateEvent(PRKEVENT Event);

void NTAPI KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit);
LONG NTAPI KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment,
                              BOOLEAN Wait);
LONG NTAPI KeReadStateSemaphore(PRKSEMAPHORE Semaphore);

// Timeout: null waits for ever; negative is relative, in 100 ns units;
// zero polls. Answers STATUS_SUCCESS or STATUS_TIMEOUT.
NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout);
NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                      PLARGE_INTEGER Interval);

PKTHREAD NTAPI KeGetCurrentThread(void);
KPRIORITY NTAPI KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority);
NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                    struct _OBJECT_ATTRIBUTES* ObjectAttributes,
                                    HANDLE ProcessHandle, PCLIENT_ID ClientId,
                                    PKSTART_ROUTINE StartRoutine, PVOID StartContext);
// Ends the calling system thread; does not return.
NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus) __attribute__((noreturn));

LARGE_INTEGER NTAPI KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency);
void NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime);

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
void NTAPI ExFreePool(PVOID P);
void NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);

PLIST_ENTRY FASTCALL ExfInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                                  PKSPIN_LOCK Lock);
PLIST_ENTRY FASTCALL ExfInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                                  PKSPIN_LOCK Lock);
PLIST_ENTRY FASTCALL ExfInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock);
#define ExInterlockedInsertHeadList ExfInterlockedInsertHeadList
#define ExInterlockedInsertTailList ExfInterlockedInsertTailList
#define ExInterlockedRemoveHeadList ExfInterlockedRemoveHeadList

#ifdef __cplusplus
}
#endif

static inline LONG InterlockedIncrement(volatile LONG* Addend) {
  return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
static inline LONG InterlockedDecrement(volatile LONG* Addend) {
  return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
static inline LONG InterlockedExchange(volatile LONG* Target, LONG Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
static inline LONG InterlockedExchangeAdd(volatile LONG* Addend, LONG Value) {
  return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
static inline LONG InterlockedCompareExchange(volatile LONG* Destination, LONG Exchange,
                                              LONG Comparand) {
  __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return Comparand;
}
static inline PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
static inline PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange,
                                                      PVOID Comparand) {
  __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return Comparand;
}
static inline LONG InterlockedOr(volatile LONG* Destination, LONG Value) {
  return __atomic_fetch_or(Destination, Value, __ATOMIC_SEQ_CST);
}
static inline LONG InterlockedAnd(volatile LONG* Destination, LONG Value) {
  return __atomic_fetch_and(Destination, Value, __ATOMIC_SEQ_CST);
}
