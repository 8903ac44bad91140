// The encoder: its parameter messages and its load, start, flush and stop
// sequences. PASSIVE_LEVEL.
#pragma once

#include "mpegunit.h"

// Prefix word of both commands of the start order: it tells the codec which
// MPEG system the loaded encoder is to produce.
#define EncStartPrefixMpeg1 0x00000100u
#define EncStartPrefixMpeg2 0x00000300u

// ---- Parameter messages (kivmsg.cpp): each builds one message on the stack,
// sends it with vendor command 0x20 and returns VendorSendEncoderMessage's
// status unchanged. PASSIVE_LEVEL, no lock. ----
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

// ---- Encoder sequences (kivenc.cpp). PASSIVE_LEVEL, no lock: they run on
// the thread of the capture stream's state change, or of a device request
// for the bit-rate and width setters. ----
// NeedsLoad: FALSE only when this mode's image for the current standard is
// in the codec and loaded since the last reset.
// Load: download the image for the mode and standard, configure it; success
// leaves CodecReady. LoadImage: the download alone. Configure: the messages
// after a download.
// Start: in CodecReady send width, bit rate and the start order (CodecRunning
// on success); in any other state only record CodecRunning.
// SetBitRate: one bit-rate message, only in CodecReady (else
// STATUS_INVALID_DEVICE_STATE); an out-of-range rate is replaced by the mode's
// fallback, and what was sent is stored.
// SetWidth: one horizontal-size message; an unlisted width becomes the
// mode's fallback width, and what was sent is stored in CaptureWidth.
// Stop: the stop order in CodecRunning, with the "FlushEncoder" flush; always
// leaves CodecReady; STATUS_UNSUCCESSFUL in CodecUnloaded.
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

// ---- Shared by the encoder and decoder downloads (kivenc.cpp) ----
// Downloads the image file that the registry value ValueName names, or
// DefaultPath when the value cannot be read; PathBytes sizes the path buffer
// (nonpaged pool, freed before return). Returns MicrocodeLoadImage's status,
// or STATUS_INSUFFICIENT_RESOURCES. PASSIVE_LEVEL, no lock; no staged bulk
// transfer may be in flight (the download shares BulkUrb and BulkIrp).
NTSTATUS CodecLoadImage(DeviceContext* Device, PCWSTR ValueName, PCWSTR DefaultPath,
                        ULONG PathBytes);
