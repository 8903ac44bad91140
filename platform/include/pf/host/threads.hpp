// System threads of the hosted executive (PsCreateSystemThread), seen from
// tests: their priorities, whether they still run, and a bounded wait for
// all of them to end.
#pragma once

#include <chrono>
#include <cstddef>
#include <vector>

#include "pf/ke.h"

namespace pf::threads {

struct SystemThread {
  PKTHREAD thread = nullptr;  // what KeGetCurrentThread answers on it
  HANDLE handle = nullptr;    // what PsCreateSystemThread returned
  PKSTART_ROUTINE routine = nullptr;
  KPRIORITY priority = 0;     // last KeSetPriorityThread (8 at start)
  bool running = false;
};

// Every system thread created since the last forgetFinished(), oldest first.
std::vector<SystemThread> systemThreads();
std::size_t runningCount();
// True when every system thread had ended within timeout.
bool waitAllEnded(std::chrono::milliseconds timeout);
// Drops the records of threads that have ended.
void forgetFinished();

// The priority recorded for any thread (system or not).
KPRIORITY priority(PKTHREAD thread);

}  // namespace pf::threads
