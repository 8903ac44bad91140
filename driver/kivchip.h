// The codec chip and the unit's firmware: vendor commands, microcode
// download and the video front end (decoder, output encoder).
// Everything here runs at PASSIVE_LEVEL and waits for what it sends.
#pragma once

#include "mpegunit.h"

// ---- Vendor commands (kivchip.cpp) ----
NTSTATUS VendorSimpleCommand(DeviceContext* Device, ULONG Code);
NTSTATUS VendorStartEncoder(DeviceContext* Device);        // 0x21
NTSTATUS VendorStartDecoder(DeviceContext* Device);        // 0x22
NTSTATUS VendorResetCodec(DeviceContext* Device);          // 0x23
NTSTATUS VendorFinishMicrocodeLoad(DeviceContext* Device); // 0x25
NTSTATUS VendorInitDecoder(DeviceContext* Device);         // 0x26
NTSTATUS VendorInitEncoder(DeviceContext* Device);         // 0x27
NTSTATUS VendorBeginMicrocodeLoad(DeviceContext* Device);  // 0x28
NTSTATUS VendorFlushEncoder(DeviceContext* Device);        // 0x2B
NTSTATUS VendorSetModeIdle(DeviceContext* Device);         // 0x03
NTSTATUS VendorSetModeEncode(DeviceContext* Device);       // 0x04
NTSTATUS VendorSetModeDecode(DeviceContext* Device);       // 0x05
NTSTATUS VendorReadRevision(DeviceContext* Device);        // 0x00, updates HardwareRevision
NTSTATUS VendorSendEncoderMessage(DeviceContext* Device, ULONG Length, const UCHAR* Message);
NTSTATUS VendorBusRead(DeviceContext* Device, ULONG DeviceAddress, ULONG Count, UCHAR* Buffer);
NTSTATUS VendorBusWrite(DeviceContext* Device, ULONG DeviceAddress, ULONG Count,
                        const UCHAR* Bytes);
NTSTATUS VendorBusReadRegister(DeviceContext* Device, ULONG DeviceAddress, ULONG Register,
                               UCHAR* Value);
NTSTATUS VendorReadByte(DeviceContext* Device, USHORT Address, UCHAR* Value);
NTSTATUS VendorWriteByte(DeviceContext* Device, USHORT Address, UCHAR Value);
NTSTATUS VendorMicrocodeCommand(DeviceContext* Device, USHORT Code, const UCHAR* Parameters,
                                USHORT Length);

// ---- Microcode download (kivchip.cpp) ----
struct MicrocodeRecordHeader;
NTSTATUS MicrocodeLoadImage(DeviceContext* Device, PCWSTR Path);
NTSTATUS MicrocodeSendRecord(DeviceContext* Device, const MicrocodeRecordHeader* Header,
                             const UCHAR* Data);

// ---- Video front end (kivvideo.cpp) ----
VOID VideoFrontEndInit(DeviceContext* Device);
NTSTATUS VideoSelectInput(DeviceContext* Device, ULONG Input);
NTSTATUS VideoSetStandard(DeviceContext* Device, ULONG Standard);
NTSTATUS VideoSetFixedInput(DeviceContext* Device, BOOLEAN Fixed);
NTSTATUS VideoDisableOutput(DeviceContext* Device, BOOLEAN Disable);
NTSTATUS VideoSetAudioClock(DeviceContext* Device, ULONG SamplingFrequency);
NTSTATUS VideoSetBrightness(DeviceContext* Device, ULONG Value);
NTSTATUS VideoSetContrast(DeviceContext* Device, ULONG Value);
NTSTATUS VideoSetSaturation(DeviceContext* Device, ULONG Value);
NTSTATUS VideoSetHue(DeviceContext* Device, ULONG Value);
NTSTATUS VideoSetSharpness(DeviceContext* Device, ULONG Value);
NTSTATUS VideoReadBrightness(DeviceContext* Device, UCHAR* Value);
NTSTATUS VideoReadContrast(DeviceContext* Device, UCHAR* Value);
NTSTATUS VideoReadSaturation(DeviceContext* Device, UCHAR* Value);
NTSTATUS VideoReadHue(DeviceContext* Device, UCHAR* Value);
BOOLEAN VideoIsCaptureSizeValid(ULONG Standard, ULONG CaptureMode, ULONG Width, ULONG Height);
NTSTATUS VideoSetCaptureSize(DeviceContext* Device, ULONG Width, ULONG Height);
