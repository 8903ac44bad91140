// Reading the microcode image files through the executive's file calls.
#include "fileio.h"

// See fileio.h. PASSIVE_LEVEL; no lock.
NTSTATUS FileOpen(PCWSTR Path, HANDLE* Handle) {
  UNICODE_STRING name;
  OBJECT_ATTRIBUTES attributes;
  IO_STATUS_BLOCK ioStatus;
  HANDLE file = NULL;

  RtlInitUnicodeString(&name, Path);
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                             NULL);
  NTSTATUS status = ZwCreateFile(&file, GENERIC_READ, &attributes, &ioStatus, NULL, 0,
                                 FILE_SHARE_READ, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0);
  if (NT_SUCCESS(status)) *Handle = file;
  return status;
}

// See fileio.h. PASSIVE_LEVEL; no lock.
ULONGLONG FileGetSize(HANDLE Handle) {
  FILE_STANDARD_INFORMATION information;
  IO_STATUS_BLOCK ioStatus;
  RtlZeroMemory(&information, sizeof(information));
  NTSTATUS status = ZwQueryInformationFile(Handle, &ioStatus, &information, sizeof(information),
                                           FileStandardInformation);
  if (!NT_SUCCESS(status) || information.EndOfFile.QuadPart < 0) return 0;
  return (ULONGLONG)information.EndOfFile.QuadPart;
}

// See fileio.h. PASSIVE_LEVEL; no lock.
NTSTATUS FileRead(HANDLE Handle, PVOID Buffer, ULONG Length, ULONG* Read) {
  IO_STATUS_BLOCK ioStatus;
  ioStatus.Status = STATUS_SUCCESS;
  ioStatus.Information = 0;
  *Read = 0;

  NTSTATUS status = ZwReadFile(Handle, NULL, NULL, NULL, &ioStatus, Buffer, Length, NULL, NULL);
  // A call that was accepted reports its outcome in the status block.
  if (NT_SUCCESS(status)) status = ioStatus.Status;
  if (NT_SUCCESS(status)) *Read = (ULONG)ioStatus.Information;
  return status;
}

// See fileio.h. PASSIVE_LEVEL; no lock.
VOID FileClose(HANDLE Handle) {
  (void)ZwClose(Handle);  // nothing to do about a failed close
}
