// Reading the microcode image files. PASSIVE_LEVEL.
#pragma once

#include "mpegunit.h"

NTSTATUS FileOpen(PCWSTR Path, HANDLE* Handle);
ULONGLONG FileGetSize(HANDLE Handle);  // 0 when it cannot be learnt
NTSTATUS FileRead(HANDLE Handle, PVOID Buffer, ULONG Length, ULONG* Read);
VOID FileClose(HANDLE Handle);
