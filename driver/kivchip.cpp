// Vendor commands to the unit's firmware and the microcode download of the
// codec chip. Command codes, request forms and the image layout are in
// kivproto.h; the video front end that uses these commands is kivvideo.cpp.
#include "kivchip.h"

#include "fileio.h"
#include "kivproto.h"
#include "usbdi.h"

namespace {

// Stores Value big-endian at Out[0..3].
inline VOID PutBe32(PUCHAR Out, ULONG Value) {
  Out[0] = (UCHAR)(Value >> 24);
  Out[1] = (UCHAR)(Value >> 16);
  Out[2] = (UCHAR)(Value >> 8);
  Out[3] = (UCHAR)Value;
}

inline ULONG GetBe32(const UCHAR* In) {
  return (ULONG)In[0] << 24 | (ULONG)In[1] << 16 | (ULONG)In[2] << 8 | (ULONG)In[3];
}

inline ULONG GetLe32(const UCHAR* In) {
  return (ULONG)In[0] | (ULONG)In[1] << 8 | (ULONG)In[2] << 16 | (ULONG)In[3] << 24;
}

// A command of the SIGNAL form: 0x41 with the IN flag, no data stage.
inline NTSTATUS VendorSignal(DeviceContext* Device, USHORT Code) {
  return VendorRequest(Device, Code, 0, VENDOR_TYPE_HOST_TO_DEVICE, VENDOR_DIRECTION_IN, NULL, 0);
}

// Decodes the record header at Bytes (UCODE_RECORD_HEADER_SIZE bytes, any
// alignment) into Header.
VOID MicrocodeDecodeHeader(const UCHAR* Bytes, MicrocodeRecordHeader* Header) {
  Header->PackingMode = Bytes[0];
  Header->Flags = Bytes[1];
  Header->DataLength = GetLe32(Bytes + 4);
  Header->Address = GetLe32(Bytes + 8);
}

// TRUE when a record with this header and a non-zero data length is one the
// loader can send without reading past its data.
BOOLEAN MicrocodeRecordIsWellFormed(const MicrocodeRecordHeader* Header) {
  switch (Header->Flags & UCODE_TYPE_MASK) {
    case UCODE_TYPE_PACKED:
      return Header->PackingMode != UCODE_PACK_PACKED || Header->DataLength % UCODE_GROUP_IN == 0;
    case UCODE_TYPE_SYNC:
      return Header->DataLength >= UCODE_SYNC_MIN_DATA;
    case UCODE_TYPE_SINGLE:
      return Header->DataLength >= 1;
    default:
      return TRUE;
  }
}

// Walks the image record by record and checks each before it is sent: a
// bad magic sends nothing; a record (or its header) that runs past the bytes
// read, or that is not well formed, ends the load with STATUS_IO_DEVICE_ERROR,
// the records before it having been sent (the trace says where it stopped).
// A record with no data is skipped. A record that fails to send does not
// stop the walk. Returns STATUS_SUCCESS, the status of the first record that
// failed to send, or STATUS_IO_DEVICE_ERROR. PASSIVE_LEVEL.
NTSTATUS MicrocodeSendImage(DeviceContext* Device, const UCHAR* Image, ULONG Size) {
  if (Size < UCODE_FILE_HEADER_SIZE || Image[0] != UCODE_MAGIC0 || Image[1] != UCODE_MAGIC1 ||
      Image[2] != UCODE_MAGIC2 || Image[3] != UCODE_MAGIC3) {
    DbgPrint("mpegunit: microcode image is not one: bad magic or size\n");
    return STATUS_IO_DEVICE_ERROR;
  }
  NTSTATUS result = STATUS_SUCCESS;
  ULONG count = GetLe32(Image + 4);
  ULONG offset = UCODE_FILE_HEADER_SIZE;
  for (ULONG i = 0; i < count; ++i) {
    MicrocodeRecordHeader header;
    BOOLEAN damaged = Size - offset < UCODE_RECORD_HEADER_SIZE;
    if (!damaged) {
      MicrocodeDecodeHeader(Image + offset, &header);
      offset += UCODE_RECORD_HEADER_SIZE;
      damaged = Size - offset < header.DataLength ||
                (header.DataLength != 0 && !MicrocodeRecordIsWellFormed(&header));
    }
    if (damaged) {
      DbgPrint("mpegunit: microcode image damaged at record %lu of %lu; the %lu before it were sent\n",
               (unsigned long)(i + 1), (unsigned long)count, (unsigned long)i);
      return STATUS_IO_DEVICE_ERROR;
    }
    if (header.DataLength != 0) {
      NTSTATUS status = MicrocodeSendRecord(Device, &header, Image + offset);
      if (!NT_SUCCESS(status) && NT_SUCCESS(result)) result = status;
    }
    offset += header.DataLength;
  }
  return result;
}

}  // namespace

// ---- Vendor commands ----

// See kivchip.h. PASSIVE_LEVEL; no lock.
NTSTATUS VendorRequest(DeviceContext* Device, USHORT Index, USHORT Value, UCHAR RequestTypeBits,
                       ULONG TransferFlags, PVOID Buffer, ULONG Length) {
  const ULONG urbSize = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, urbSize, MPEGUNIT_POOL_TAG);
  if (urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;

  RtlZeroMemory(urb, urbSize);
  UsbBuildVendorRequest(urb, URB_FUNCTION_VENDOR_INTERFACE, (USHORT)urbSize, TransferFlags,
                        RequestTypeBits, VENDOR_REQUEST_CODE, Value, Index,
                        Length != 0 ? Buffer : NULL, NULL, Length, NULL);
  NTSTATUS status = UsbSubmitUrb(Device, urb);
  ExFreePool(urb);
  return status;
}

// See kivchip.h. PASSIVE_LEVEL; no lock.
NTSTATUS VendorSimpleCommand(DeviceContext* Device, ULONG Code) {
  return VendorRequest(Device, (USHORT)(Code & 0xFF), 0, VENDOR_TYPE_HOST_TO_DEVICE,
                       VENDOR_DIRECTION_OUT, NULL, 0);
}

NTSTATUS VendorStartEncoder(DeviceContext* Device) {
  return VendorSimpleCommand(Device, KIV_CMD_START_ENCODER);
}

NTSTATUS VendorStartDecoder(DeviceContext* Device) {
  return VendorSimpleCommand(Device, KIV_CMD_START_DECODER);
}

NTSTATUS VendorResetCodec(DeviceContext* Device) {
  return VendorSimpleCommand(Device, KIV_CMD_RESET_CODEC);
}

NTSTATUS VendorFinishMicrocodeLoad(DeviceContext* Device) {
  return VendorSimpleCommand(Device, KIV_CMD_FINISH_LOAD);
}

NTSTATUS VendorInitDecoder(DeviceContext* Device) {
  return VendorSimpleCommand(Device, KIV_CMD_INIT_DECODER);
}

NTSTATUS VendorInitEncoder(DeviceContext* Device) {
  return VendorSimpleCommand(Device, KIV_CMD_INIT_ENCODER);
}

NTSTATUS VendorBeginMicrocodeLoad(DeviceContext* Device) {
  return VendorSimpleCommand(Device, KIV_CMD_BEGIN_LOAD);
}

NTSTATUS VendorFlushEncoder(DeviceContext* Device) {
  return VendorSimpleCommand(Device, KIV_CMD_FLUSH_ENCODER);
}

NTSTATUS VendorSetModeIdle(DeviceContext* Device) {
  return VendorSignal(Device, KIV_CMD_MODE_IDLE);
}

NTSTATUS VendorSetModeEncode(DeviceContext* Device) {
  return VendorSignal(Device, KIV_CMD_MODE_ENCODE);
}

NTSTATUS VendorSetModeDecode(DeviceContext* Device) {
  return VendorSignal(Device, KIV_CMD_MODE_DECODE);
}

// See kivchip.h. PASSIVE_LEVEL; no lock.
NTSTATUS VendorReadRevision(DeviceContext* Device) {
  UCHAR word[4] = {0, 0, 0, 0};
  NTSTATUS status = VendorRequest(Device, KIV_CMD_READ_REVISION, 0, VENDOR_TYPE_DEVICE_TO_HOST,
                                  VENDOR_DIRECTION_IN, word, 2);
  if (status == STATUS_SUCCESS) {
    ULONG revision = (ULONG)word[0] | (ULONG)word[1] << 8;
    if (revision == KIV_REVISION_WIRE_0003)
      Device->HardwareRevision = KIV_REVISION_2003;
    else if (revision == KIV_REVISION_0103 || revision == KIV_REVISION_1003)
      Device->HardwareRevision = revision;
  }
  return status;
}

// See kivchip.h. PASSIVE_LEVEL; no lock.
NTSTATUS VendorSendEncoderMessage(DeviceContext* Device, ULONG Length, const UCHAR* Message) {
  return VendorRequest(Device, KIV_CMD_ENCODER_MESSAGE, 0, VENDOR_TYPE_HOST_TO_DEVICE,
                       VENDOR_DIRECTION_OUT, (PVOID)Message, Length);
}

// See kivchip.h. PASSIVE_LEVEL; no lock.
NTSTATUS VendorBusRead(DeviceContext* Device, ULONG DeviceAddress, ULONG Count, UCHAR* Buffer) {
  return VendorRequest(Device, KIV_CMD_BUS_READ, (USHORT)(DeviceAddress & 0xFF),
                       VENDOR_TYPE_DEVICE_TO_HOST, VENDOR_DIRECTION_IN, Buffer, Count & 0xFF);
}

// See kivchip.h. PASSIVE_LEVEL; no lock.
NTSTATUS VendorBusWrite(DeviceContext* Device, ULONG DeviceAddress, ULONG Count,
                        const UCHAR* Bytes) {
  return VendorRequest(Device, KIV_CMD_BUS_WRITE, (USHORT)(DeviceAddress & 0xFF),
                       VENDOR_TYPE_HOST_TO_DEVICE, VENDOR_DIRECTION_OUT, (PVOID)Bytes,
                       Count & 0xFF);
}

// See kivchip.h. PASSIVE_LEVEL; no lock.
NTSTATUS VendorBusReadRegister(DeviceContext* Device, ULONG DeviceAddress, ULONG Register,
                               UCHAR* Value) {
  USHORT value = (USHORT)((Register & 0xFF) << 8 | (DeviceAddress & 0xFF));
  return VendorRequest(Device, KIV_CMD_BUS_READ_REGISTER, value, VENDOR_TYPE_DEVICE_TO_HOST,
                       VENDOR_DIRECTION_IN, Value, 1);
}

// See kivchip.h. PASSIVE_LEVEL; no lock.
NTSTATUS VendorReadByte(DeviceContext* Device, USHORT Address, UCHAR* Value) {
  return VendorRequest(Device, KIV_CMD_READ_BYTE, Address, VENDOR_TYPE_DEVICE_TO_HOST,
                       VENDOR_DIRECTION_IN, Value, 1);
}

// See kivchip.h. PASSIVE_LEVEL; no lock.
NTSTATUS VendorWriteByte(DeviceContext* Device, USHORT Address, UCHAR Value) {
  USHORT index = (USHORT)((USHORT)Value << 8 | KIV_CMD_WRITE_BYTE);
  return VendorRequest(Device, index, Address, VENDOR_TYPE_HOST_TO_DEVICE, VENDOR_DIRECTION_OUT,
                       NULL, 0);
}

// See kivchip.h. PASSIVE_LEVEL; no lock; uses the shared BulkUrb for 0x13.
NTSTATUS VendorMicrocodeCommand(DeviceContext* Device, USHORT Code, const UCHAR* Parameters,
                                USHORT Length) {
  if (Code != KIV_CMD_UCODE_SYNC)
    return VendorRequest(Device, Code, 0, VENDOR_TYPE_HOST_TO_DEVICE, VENDOR_DIRECTION_OUT,
                         (PVOID)Parameters, Length);

  // The synchronisation command carries its parameter length, byte-swapped,
  // in wValue and has no data stage.
  USHORT swapped = (USHORT)((Length & 0xFF) << 8 | (Length >> 8));
  NTSTATUS status = VendorRequest(Device, KIV_CMD_UCODE_SYNC, swapped, VENDOR_TYPE_HOST_TO_DEVICE,
                                  VENDOR_DIRECTION_OUT, NULL, 0);
  if (status != STATUS_SUCCESS) return status;

  // The unit acknowledges on bulk IN; the bytes themselves are not examined.
  UCHAR acknowledgement[4] = {0, 0, 0, 0};
  PURB urb = Device->BulkUrb;
  DeviceSetCurrentPipe(Device, Device->BulkInPipe);
  RtlZeroMemory(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
  UsbBuildInterruptOrBulkTransferRequest(urb,
                                         (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                         Device->BulkInPipe, acknowledgement, NULL,
                                         KIV_SYNC_ACK_LENGTH,
                                         USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, NULL);
  return UsbSubmitPipeUrb(Device);
}

// ---- Microcode download ----

// See kivchip.h. PASSIVE_LEVEL; no lock; no staged transfer may run.
NTSTATUS MicrocodeLoadImage(DeviceContext* Device, PCWSTR Path) {
  HANDLE file = NULL;
  NTSTATUS status = FileOpen(Path, &file);
  if (!NT_SUCCESS(status)) return status;

  ULONG size = (ULONG)FileGetSize(file);
  if (size == 0) {
    FileClose(file);
    return status;
  }

  PUCHAR image = (PUCHAR)ExAllocatePoolWithTag(PagedPool, size, MPEGUNIT_POOL_TAG);
  if (image == NULL) {
    status = STATUS_INSUFFICIENT_RESOURCES;
  } else {
    ULONG read = 0;
    status = FileRead(file, image, size, &read);
    if (NT_SUCCESS(status)) {
      // Only the bytes actually read are trusted.
      if (read > size) read = size;
      status = MicrocodeSendImage(Device, image, read);
    }
  }

  FileClose(file);
  if (image != NULL) ExFreePool(image);
  return status;
}

// See kivchip.h. PASSIVE_LEVEL; no lock; no staged transfer may run.
NTSTATUS MicrocodeSendRecord(DeviceContext* Device, const MicrocodeRecordHeader* Header,
                             const UCHAR* Data) {
  if (!MicrocodeRecordIsWellFormed(Header)) return STATUS_IO_DEVICE_ERROR;

  PUCHAR parameters = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, UCODE_PARAMETER_BUFFER,
                                                    MPEGUNIT_POOL_TAG);
  PUCHAR group = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, UCODE_GROUP_OUT, MPEGUNIT_POOL_TAG);
  if (parameters == NULL || group == NULL) {
    if (parameters != NULL) ExFreePool(parameters);
    if (group != NULL) ExFreePool(group);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(parameters, UCODE_PARAMETER_BUFFER);

  NTSTATUS status = STATUS_SUCCESS;
  ULONG length = Header->DataLength;
  switch (Header->Flags & UCODE_TYPE_MASK) {
    case UCODE_TYPE_BLOCK:
      PutBe32(parameters, Header->Address);
      PutBe32(parameters + 4, length);
      status = VendorMicrocodeCommand(Device, KIV_CMD_UCODE_BLOCK, parameters,
                                      UCODE_BLOCK_PARAMETERS);
      if (NT_SUCCESS(status)) status = UsbBulkWrite(Device, length, (PVOID)Data);
      break;

    case UCODE_TYPE_PACKED: {
      BOOLEAN packed = Header->PackingMode == UCODE_PACK_PACKED;
      ULONG groups = length / UCODE_GROUP_IN;
      ULONG count = packed ? groups * UCODE_GROUP_OUT : length;
      PutBe32(parameters, count);
      parameters[4] = Header->PackingMode;
      status = VendorMicrocodeCommand(Device, KIV_CMD_UCODE_PACKED, parameters,
                                      UCODE_PACKED_PARAMETERS);
      if (!NT_SUCCESS(status)) break;
      if (packed) {
        for (ULONG i = 0; i < groups; ++i) {
          const UCHAR* in = Data + i * UCODE_GROUP_IN;
          RtlZeroMemory(group, UCODE_GROUP_OUT);
          RtlCopyMemory(group, in, 4);
          group[4 + (in[3] & 3)] = in[4];
          status = UsbBulkWrite(Device, UCODE_GROUP_OUT, group);
          if (!NT_SUCCESS(status)) break;
        }
      } else if (Header->PackingMode == UCODE_PACK_PLAIN) {
        status = UsbBulkWrite(Device, count, (PVOID)Data);
      }
      // Any other mode: the unit takes the command alone.
      break;
    }

    case UCODE_TYPE_SINGLE:
      PutBe32(parameters, Header->Address);
      parameters[4] = Data[0];
      status = VendorMicrocodeCommand(Device, KIV_CMD_UCODE_SINGLE, parameters,
                                      UCODE_SINGLE_PARAMETERS);
      break;

    case UCODE_TYPE_SYNC:
      // The count travels nowhere: the command carries only the parameter
      // length, and the unit answers with its acknowledgement.
      PutBe32(parameters, GetBe32(Data) / UCODE_SYNC_DIVISOR + 1);
      status = VendorMicrocodeCommand(Device, KIV_CMD_UCODE_SYNC, parameters,
                                      UCODE_SYNC_PARAMETERS);
      break;
  }

  ExFreePool(parameters);
  ExFreePool(group);
  return status;
}
