// The encoder: its parameter messages and its load, start, flush and stop
// sequences. PASSIVE_LEVEL.
#pragma once

#include "mpegunit.h"

// ---- Parameter messages (kivmsg.cpp): each builds one message on the stack
// and returns VendorSendEncoderMessage's status. ----
NTSTATUS EncMsg0004(DeviceContext* Device);
NTSTATUS EncMsgB115(DeviceContext* Device);
NTSTATUS EncMsgC119(DeviceContext* Device);
NTSTATUS EncMsgC11A(DeviceContext* Device);
NTSTATUS EncMsgA004(DeviceContext* Device);
NTSTATUS EncMsgA002(DeviceContext* Device);
NTSTATUS EncMsgA00E(DeviceContext* Device);
NTSTATUS EncMsgA001(DeviceContext* Device);
NTSTATUS EncMsgFrameRate(DeviceContext* Device, ULONG FrameRateCode);
NTSTATUS EncMsgMux(DeviceContext* Device, ULONG MuxAudioDelay);
NTSTATUS EncMsgAudio(DeviceContext* Device);
NTSTATUS EncMsgA035(DeviceContext* Device);
NTSTATUS EncMsgHorizontalSize(DeviceContext* Device, ULONG HorizontalSizeCode);
NTSTATUS EncMsgBitRate(DeviceContext* Device, ULONG BitRate);
NTSTATUS EncMsgVariableBitRate(DeviceContext* Device, ULONG BitRate, ULONG PeakBitRate);
NTSTATUS EncMsg8011(DeviceContext* Device);
NTSTATUS EncMsgStart(DeviceContext* Device, ULONG Prefix);
NTSTATUS EncMsgStop(DeviceContext* Device);
NTSTATUS DecMsg0003(DeviceContext* Device, ULONG Channel, ULONG Value);
NTSTATUS DecMsg0090(DeviceContext* Device);
NTSTATUS DecMsgAudio(DeviceContext* Device);
NTSTATUS DecMsg0093(DeviceContext* Device);
NTSTATUS DecMsg0098(DeviceContext* Device);
NTSTATUS DecMsg009E(DeviceContext* Device);
NTSTATUS DecMsg009FPair(DeviceContext* Device);
NTSTATUS DecMsg009F(DeviceContext* Device);

// ---- Encoder sequences (kivenc.cpp) ----
BOOLEAN EncMpeg1NeedsLoad(DeviceContext* Device);
BOOLEAN EncMpeg2NeedsLoad(DeviceContext* Device);
NTSTATUS EncMpeg1Load(DeviceContext* Device);
NTSTATUS EncMpeg2Load(DeviceContext* Device);
NTSTATUS EncMpeg1LoadImage(DeviceContext* Device);
NTSTATUS EncMpeg2LoadImage(DeviceContext* Device);
NTSTATUS EncMpeg1Configure(DeviceContext* Device);
NTSTATUS EncMpeg2Configure(DeviceContext* Device);
NTSTATUS EncMpeg1Start(DeviceContext* Device);
NTSTATUS EncMpeg2Start(DeviceContext* Device);
NTSTATUS EncMpeg1SetBitRate(DeviceContext* Device, ULONG BitRate, ULONG PeakBitRate,
                            ULONG Variable);
NTSTATUS EncMpeg2SetBitRate(DeviceContext* Device, ULONG BitRate, ULONG PeakBitRate,
                            ULONG Variable);
NTSTATUS EncMpeg1SetWidth(DeviceContext* Device, ULONG Width);
NTSTATUS EncMpeg2SetWidth(DeviceContext* Device, ULONG Width);
NTSTATUS EncMpeg1Stop(DeviceContext* Device);
NTSTATUS EncMpeg2Stop(DeviceContext* Device);
