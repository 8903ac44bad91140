// Not yet built: every operation answers that it is not implemented.
#include "fileio.h"


NTSTATUS FileOpen(PCWSTR Path, HANDLE* Handle) {
  (void)Path;
  (void)Handle;
  return STATUS_NOT_IMPLEMENTED;
}

ULONGLONG FileGetSize(HANDLE Handle) {
  (void)Handle;
  return 0;
}

NTSTATUS FileRead(HANDLE Handle, PVOID Buffer, ULONG Length, ULONG* Read) {
  (void)Handle;
  (void)Buffer;
  (void)Length;
  (void)Read;
  return STATUS_NOT_IMPLEMENTED;
}

VOID FileClose(HANDLE Handle) {
  (void)Handle;
}
