// Interlocked doubly linked lists: each operation runs under the caller's
// spin lock, raising to DISPATCH_LEVEL as the kernel does.
#include "internal.hpp"

extern "C" {

PLIST_ENTRY FASTCALL ExfInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                                  PKSPIN_LOCK Lock) {
  KIRQL old = KfAcquireSpinLock(Lock);
  PLIST_ENTRY first = ListHead->Flink;
  InsertHeadList(ListHead, ListEntry);
  KfReleaseSpinLock(Lock, old);
  return first == ListHead ? nullptr : first;
}

PLIST_ENTRY FASTCALL ExfInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                                  PKSPIN_LOCK Lock) {
  KIRQL old = KfAcquireSpinLock(Lock);
  PLIST_ENTRY last = ListHead->Blink;
  InsertTailList(ListHead, ListEntry);
  KfReleaseSpinLock(Lock, old);
  return last == ListHead ? nullptr : last;
}

PLIST_ENTRY FASTCALL ExfInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock) {
  KIRQL old = KfAcquireSpinLock(Lock);
  PLIST_ENTRY entry = nullptr;
  if (!IsListEmpty(ListHead)) entry = RemoveHeadList(ListHead);
  KfReleaseSpinLock(Lock, old);
  return entry;
}

}  // extern "C"
