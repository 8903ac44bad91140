// The settings store (the values under the device's driver registry key)
// and the image-path lookup. Everything here uses the registry and paged
// pool, so it runs at PASSIVE_LEVEL only: in initialisation, property
// requests and stream state changes, which the adapter serialises. No lock,
// and no handle stays open between calls.
#pragma once

#include "mpegunit.h"

// ---- Registry values of the driver key ----
// Settings (REG_DWORD), loaded by SettingsLoad and written through by the setters.
#define SETTING_CAPTURE_MODE L"CaptureMode"                  // 0 MPEG-2, 1 MPEG-1 (low byte)
#define SETTING_VIDEO_STANDARD L"VideoCaptureStandard"       // 0x1 NTSC-M or 0x10 PAL-B
#define SETTING_HORZ_RESOLUTION L"HorzResolution"            // capture width, with the height
#define SETTING_VERT_RESOLUTION L"VertResolution"            // capture height, with the width
#define SETTING_VIDEO_INPUT L"VideoInputConnected"           // 0 composite, 1 S-video
#define SETTING_BRIGHTNESS L"Brightness"                     // 0..255
#define SETTING_CONTRAST L"Contrast"                         // 0..127
#define SETTING_SATURATION L"Saturation"                     // 0..127
#define SETTING_HUE L"Hue"                                   // 0..127
#define SETTING_SHARPNESS L"Sharpness"                       // 1..15
#define SETTING_AUDIO_VOLUME L"AudioVolumeLevel"             // -50..0, signed
#define SETTING_AUDIO_FREQUENCY L"AudioSamplingFrequency"    // 32000, 44100, 48000
#define SETTING_BIT_RATE L"BitRate"                          // with the next two
#define SETTING_VARIABLE_BIT_RATE L"VariableBitRateSupport"
#define SETTING_PEAK_BIT_RATE L"PeakBitRate"
// Read where they are used, never written by the driver.
#define SETTING_MPEG1_NTSC_IMAGE L"Mpeg1EncoderMicrocodeNTSC"  // image file names
#define SETTING_MPEG1_PAL_IMAGE L"Mpeg1EncoderMicrocodePAL"
#define SETTING_MPEG2_NTSC_IMAGE L"Mpeg2EncoderMicrocodeNTSC"
#define SETTING_MPEG2_PAL_IMAGE L"Mpeg2EncoderMicrocodePAL"
#define SETTING_DECODER_IMAGE L"MpegDecoderMicrocode"
#define SETTING_MPEG1_AUDIO_DELAY L"Mpeg1MuxAudioDelay"     // REG_DWORD, any number
#define SETTING_MPEG2_AUDIO_DELAY L"Mpeg2MuxAudioDelay"
#define SETTING_FLUSH_ENCODER L"FlushEncoder"                // nonzero: flush at encoder stop

// The folder of the image files, and the built-in full paths.
#define MICROCODE_FOLDER L"\\systemroot\\SYSTEM32\\DRIVERS"
#define MICROCODE_DEFAULT_MPEG1_NTSC MICROCODE_FOLDER L"\\enc1ntsc.ux"
#define MICROCODE_DEFAULT_MPEG1_PAL MICROCODE_FOLDER L"\\enc1pal.ux"
#define MICROCODE_DEFAULT_MPEG2_NTSC MICROCODE_FOLDER L"\\enc2ntsc.ux"
#define MICROCODE_DEFAULT_MPEG2_PAL MICROCODE_FOLDER L"\\enc2pal.ux"
#define MICROCODE_DEFAULT_DECODER MICROCODE_FOLDER L"\\decoder.ux"

// Loads every setting into the DeviceContext, replacing a default only with
// an accepted value; the capture size goes through VideoSetCaptureSize and
// the bit rates through PropSetEncoding. Nothing is reported. Once, from
// AdapterBringUp, after the defaults and before the hardware is set up.
VOID SettingsLoad(DeviceContext* Device);
// Writes ValueName as REG_DWORD Value. Returns the key open's status when
// the key cannot be opened for writing, else the write's.
NTSTATUS SettingsSave(DeviceContext* Device, PCWSTR ValueName, ULONG Value);
// Reads ValueName from the open Key as a 32-bit little-endian number; *Value
// is written only on STATUS_SUCCESS. A value with fewer than 4 data bytes
// counts as unreadable (STATUS_INVALID_BUFFER_SIZE). Other results:
// STATUS_OBJECT_NAME_NOT_FOUND, STATUS_INSUFFICIENT_RESOURCES, the query's.
NTSTATUS SettingsReadDword(DeviceContext* Device, HANDLE Key, PCWSTR ValueName, ULONG* Value);
// ZwSetValueKey of REG_DWORD Value, title index 0; returns its status.
NTSTATUS SettingsWriteDword(HANDLE Key, PCWSTR ValueName, ULONG Value);
// Opens the key, reads ValueName, closes it. *Value is the stored number, or
// 0 when the key or value is missing, empty or unreadable. Returns the
// status of the open or of the read.
NTSTATUS SettingsQueryDword(DeviceContext* Device, PCWSTR ValueName, ULONG* Value);
// As SettingsQueryDword; *Flag is TRUE when the stored number is nonzero.
NTSTATUS SettingsQueryFlag(DeviceContext* Device, PCWSTR ValueName, BOOLEAN* Flag);

// Full path of an image file from the registry value ValueName (a file name
// in MICROCODE_FOLDER) into Destination (DestinationSize bytes, the rest
// zero-filled). Returns STATUS_SUCCESS; STATUS_OBJECT_NAME_NOT_FOUND without
// the value; STATUS_INSUFFICIENT_RESOURCES for an empty value or without
// pool; STATUS_BUFFER_TOO_SMALL when the path and its terminating zero do
// not fit (Destination untouched); the key open's or query's failure.
// Callers fall back to the built-in path on anything but STATUS_SUCCESS.
NTSTATUS MicrocodeQueryPath(DeviceContext* Device, PCWSTR ValueName, ULONG DestinationSize,
                            PWSTR Destination);
