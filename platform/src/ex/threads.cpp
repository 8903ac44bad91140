// System threads on host threads, thread objects and priorities.
#include "pf/host/threads.hpp"

#include <pthread.h>

#include <deque>
#include <vector>

#include "internal.hpp"
#include "pf/host/verifier.hpp"

namespace pf::detail {
namespace {

std::mutex gMutex;
std::condition_variable gEnded;
// Thread objects live as long as the process: a PKTHREAD stays valid.
std::deque<_KTHREAD> gThreadObjects;

struct SystemThreadRecord {
  _KTHREAD* thread = nullptr;
  HANDLE handle = nullptr;
  PKSTART_ROUTINE routine = nullptr;
  bool running = true;
};
std::vector<std::shared_ptr<SystemThreadRecord>> gSystemThreads;

thread_local SystemThreadRecord* tSystemThread = nullptr;

_KTHREAD* newThreadObject() {
  std::lock_guard<std::mutex> lock(gMutex);
  gThreadObjects.emplace_back();
  return &gThreadObjects.back();
}

struct ThreadHandle : HandleObject {
  std::shared_ptr<SystemThreadRecord> record;
  const char* kind() const override { return "thread"; }
  std::string describe() const override { return "system thread"; }
};

struct StartBlock {
  PKSTART_ROUTINE routine;
  PVOID context;
  std::shared_ptr<SystemThreadRecord> record;
};

// Marks the thread ended, on return and on PsTerminateSystemThread (whose
// pthread_exit unwinds through this guard).
struct EndGuard {
  SystemThreadRecord* record;
  ~EndGuard() {
    std::lock_guard<std::mutex> lock(gMutex);
    record->running = false;
    gEnded.notify_all();
  }
};

void checkThreadEnd(const char* how) {
  auto& state = threadState();
  if (state.heldLock)
    bugcheck("system thread %s while holding spin lock %p", how, (void*)state.heldLock);
  if (state.irql != PASSIVE_LEVEL)
    bugcheck("system thread %s at IRQL %u", how, state.irql);
}

void* threadMain(void* argument) {
  StartBlock* block = static_cast<StartBlock*>(argument);
  PKSTART_ROUTINE routine = block->routine;
  PVOID context = block->context;
  std::shared_ptr<SystemThreadRecord> record = std::move(block->record);
  delete block;
  threadState().thread = record->thread;
  tSystemThread = record.get();
  EndGuard guard{record.get()};
  routine(context);
  checkThreadEnd("returned");
  return nullptr;
}

}  // namespace
}  // namespace pf::detail

using namespace pf::detail;
using pf::bugcheck;

extern "C" {

PKTHREAD NTAPI KeGetCurrentThread(void) {
  auto& state = threadState();
  if (!state.thread) state.thread = newThreadObject();
  return state.thread;
}

KPRIORITY NTAPI KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
  requireIrqlAtMost(DISPATCH_LEVEL, "KeSetPriorityThread");
  if (!Thread) bugcheck("KeSetPriorityThread without a thread");
  if (Priority < 0 || Priority > HIGH_PRIORITY)
    bugcheck("KeSetPriorityThread to priority %d", (int)Priority);
  return Thread->priority.exchange(Priority);
}

NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG, struct _OBJECT_ATTRIBUTES*,
                                    HANDLE, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                    PVOID StartContext) {
  requireIrqlAtMost(PASSIVE_LEVEL, "PsCreateSystemThread");
  if (!ThreadHandle || !StartRoutine)
    bugcheck("PsCreateSystemThread without a handle or a start routine");
  auto record = std::make_shared<SystemThreadRecord>();
  record->thread = newThreadObject();
  record->routine = StartRoutine;
  auto handleObject = std::make_shared<pf::detail::ThreadHandle>();
  handleObject->record = record;
  HANDLE handle = insertHandle(handleObject);
  record->handle = handle;
  {
    std::lock_guard<std::mutex> lock(gMutex);
    gSystemThreads.push_back(record);
  }

  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  auto* block = new StartBlock{StartRoutine, StartContext, record};
  int error = pthread_create(&thread, &attributes, threadMain, block);
  pthread_attr_destroy(&attributes);
  if (error != 0) {
    delete block;
    removeHandle(handle);
    std::lock_guard<std::mutex> lock(gMutex);
    record->running = false;
    gEnded.notify_all();
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  *ThreadHandle = handle;
  if (ClientId) {
    ClientId->UniqueProcess = reinterpret_cast<HANDLE>(4);
    ClientId->UniqueThread = handle;
  }
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS) {
  if (!tSystemThread) bugcheck("PsTerminateSystemThread called on a thread that is not a system thread");
  checkThreadEnd("terminated");
  pthread_exit(nullptr);
}

}  // extern "C"

namespace pf::threads {

std::vector<SystemThread> systemThreads() {
  std::lock_guard<std::mutex> lock(gMutex);
  std::vector<SystemThread> result;
  for (auto& record : gSystemThreads)
    result.push_back({record->thread, record->handle, record->routine,
                      record->thread->priority.load(), record->running});
  return result;
}

std::size_t runningCount() {
  std::lock_guard<std::mutex> lock(gMutex);
  std::size_t n = 0;
  for (auto& record : gSystemThreads) n += record->running ? 1 : 0;
  return n;
}

bool waitAllEnded(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(gMutex);
  return gEnded.wait_for(lock, timeout, [] {
    for (auto& record : gSystemThreads)
      if (record->running) return false;
    return true;
  });
}

void forgetFinished() {
  std::lock_guard<std::mutex> lock(gMutex);
  std::vector<std::shared_ptr<SystemThreadRecord>> running;
  for (auto& record : gSystemThreads)
    if (record->running) running.push_back(record);
  gSystemThreads.swap(running);
}

KPRIORITY priority(PKTHREAD thread) { return thread ? thread->priority.load() : 0; }

}  // namespace pf::threads
