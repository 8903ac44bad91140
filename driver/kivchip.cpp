// Not yet built: every operation answers that it is not implemented.
#include "kivchip.h"


NTSTATUS VendorSimpleCommand(DeviceContext* Device, ULONG Code) {
  (void)Device;
  (void)Code;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS VendorStartEncoder(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS VendorStartDecoder(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS VendorResetCodec(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS VendorFinishMicrocodeLoad(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS VendorInitDecoder(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS VendorInitEncoder(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS VendorBeginMicrocodeLoad(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS VendorFlushEncoder(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS VendorSetModeIdle(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS VendorSetModeEncode(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS VendorSetModeDecode(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS VendorReadRevision(DeviceContext* Device) {
  (void)Device;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS VendorSendEncoderMessage(DeviceContext* Device, ULONG Length, const UCHAR* Message) {
  (void)Device;
  (void)Length;
  (void)Message;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS VendorBusRead(DeviceContext* Device, ULONG DeviceAddress, ULONG Count, UCHAR* Buffer) {
  (void)Device;
  (void)DeviceAddress;
  (void)Count;
  (void)Buffer;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS VendorBusWrite(DeviceContext* Device, ULONG DeviceAddress, ULONG Count,
                        const UCHAR* Bytes) {
  (void)Device;
  (void)DeviceAddress;
  (void)Count;
  (void)Bytes;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS VendorBusReadRegister(DeviceContext* Device, ULONG DeviceAddress, ULONG Register,
                               UCHAR* Value) {
  (void)Device;
  (void)DeviceAddress;
  (void)Register;
  (void)Value;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS VendorReadByte(DeviceContext* Device, USHORT Address, UCHAR* Value) {
  (void)Device;
  (void)Address;
  (void)Value;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS VendorWriteByte(DeviceContext* Device, USHORT Address, UCHAR Value) {
  (void)Device;
  (void)Address;
  (void)Value;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS VendorMicrocodeCommand(DeviceContext* Device, USHORT Code, const UCHAR* Parameters,
                                USHORT Length) {
  (void)Device;
  (void)Code;
  (void)Parameters;
  (void)Length;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS MicrocodeLoadImage(DeviceContext* Device, PCWSTR Path) {
  (void)Device;
  (void)Path;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS MicrocodeSendRecord(DeviceContext* Device, const MicrocodeRecordHeader* Header,
                             const UCHAR* Data) {
  (void)Device;
  (void)Header;
  (void)Data;
  return STATUS_NOT_IMPLEMENTED;
}
