// A minimal stream minidriver for the class driver's tests: one capture
// pin, one device property set, one stream property set, and knobs that make
// it misbehave on purpose. Plain records and functions, constant tables.
#pragma once

#include "platform.h"

// Behaviour chosen by a test before the adapter is added.
struct TestKnobs {
  NTSTATUS initStatus;        // status of SRB_INITIALIZE_DEVICE
  BOOLEAN leakAtInit;         // keep the pool block allocated at init
  BOOLEAN shortDescriptor;    // announce a descriptor too small for the streams
  BOOLEAN parkReads;          // hold reads pending until cancelled
  BOOLEAN parkUnknownDevice;  // hold SRB_UNKNOWN_DEVICE_COMMAND pending
  BOOLEAN completeTwice;      // complete SRB_PAGING_OUT_DRIVER twice
};

// What the minidriver saw.
struct TestLog {
  ULONG deviceCommands[32];
  LONG deviceCount;
  KSSTATE stateSteps[16];
  LONG stateCount;
  KIRQL deviceIrql;
  KIRQL controlIrql;
  KIRQL dataIrql;
  BOOLEAN extensionDirty;  // a request arrived with a non-zero extension
  BOOLEAN irpMismatch;     // DriverContext[0] of a request's IRP was not the request
  LONG timeouts;
  LONG cancels;
  ULONG openFormatSize;
  BOOLEAN streamExtensionDirty;
  PDEVICE_OBJECT realPdo;
  ULONG configSize;
};

extern TestKnobs g_TestKnobs;
extern TestLog g_TestLog;
extern volatile PHW_STREAM_REQUEST_BLOCK g_ParkedDevice;

// Resets knobs and log.
void TestMinidriverReset();
NTSTATUS TestDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// Completes the parked device request with Status.
void TestCompleteParkedDevice(NTSTATUS Status);

// The tables' values, for assertions.
constexpr ULONG kTestBrightnessDefault = 128;
constexpr LONG kTestBrightnessMax = 255;
constexpr ULONG kTestFrameSize = 4096;
