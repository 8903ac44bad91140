// Reading the microcode image files: one file opened for reading, its size,
// one read from the current position, and the close. PASSIVE_LEVEL on the
// request path; no lock. Handles are kernel handles.
#pragma once

#include "mpegunit.h"

// Opens the existing file at Path (zero-terminated, case-insensitive) for
// synchronous reading, shared with other readers. Returns ZwCreateFile's
// status; *Handle is set on success.
NTSTATUS FileOpen(PCWSTR Path, HANDLE* Handle);
// The file's end-of-file position; 0 when it cannot be learnt.
ULONGLONG FileGetSize(HANDLE Handle);
// One read of up to Length bytes into Buffer from the current position.
// Returns the read's status; *Read receives the bytes read (0 on failure).
NTSTATUS FileRead(HANDLE Handle, PVOID Buffer, ULONG Length, ULONG* Read);
VOID FileClose(HANDLE Handle);
