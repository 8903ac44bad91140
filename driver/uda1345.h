// The unit's audio codec. The host never reaches the codec directly: each
// codec control byte travels in its own vendor command without a data stage
// (request type 0x41, the IN direction flag, the byte in wValue; codes in
// kivproto.h), for the unit to pass on. The sampling clock itself comes from
// the video decoder (VideoSetAudioClock).
//
// Every operation runs at PASSIVE_LEVEL on the caller's thread, takes no lock
// and waits for what it sends. Each command is one control transfer on a
// request block of its own from nonpaged pool; when none can be had the
// command answers STATUS_INSUFFICIENT_RESOURCES and nothing is sent.
#pragma once

#include "mpegunit.h"

// Codec address bytes sent with AudioCodecAddress.
#define AUDIO_CODEC_ADDRESS_STATUS 0x16u  // the status group follows
#define AUDIO_CODEC_ADDRESS_DATA 0x14u    // the volume, mute and setup groups follow

// Group argument of AudioCodecAddress: 1 selects the status address, any other the data address.
#define AUDIO_CODEC_GROUP_STATUS 1u
#define AUDIO_CODEC_GROUP_DATA 0u

// Type argument of AudioCodecWrite, with the byte it sends and where it is recorded.
#define AUDIO_CODEC_TYPE_STATUS 0u  // value & 0x3F; AudioCodecStatus
#define AUDIO_CODEC_TYPE_VOLUME 1u  // value & 0x3F (prefix 00); AudioCodecVolume
#define AUDIO_CODEC_TYPE_MUTE 2u    // 0x80 | value & 0x3F; AudioCodecMute (bit 2 = muted)
#define AUDIO_CODEC_TYPE_SETUP 3u   // 0xC0 | value & 0x3F; AudioCodecSetup
#define AUDIO_CODEC_VALUE_MASK 0x3Fu
#define AUDIO_CODEC_MUTE_BIT 0x04u

#define AUDIO_VOLUME_MIN (-50)  // lowest audio level; codec volume byte 49
#define AUDIO_VOLUME_MAX 0      // highest audio level; codec volume byte 0

// Sends the codec address byte for Group (see above).
NTSTATUS AudioCodecAddress(DeviceContext* Device, ULONG Group);
// Records Value (its low six bits) in the group's DeviceContext field, before
// the command is sent and whatever its outcome, then sends the data byte.
// Types 4 and above send the bare six bits and record nothing.
NTSTATUS AudioCodecWrite(DeviceContext* Device, ULONG Type, UCHAR Value);
// Command 0x82, between two data bytes of the start-up sequence.
NTSTATUS AudioCodecSeparator(DeviceContext* Device);
// Commands 0x01 (front-end bring-up, unit idle) and 0x02 (before every
// capture and playback start); callers do not use the results.
NTSTATUS AudioCodecCommand1(DeviceContext* Device);
NTSTATUS AudioCodecCommand2(DeviceContext* Device);
// Codec start-up: status 0x21, volume 0, unmuted, setup 3. Each step runs
// only while the previous one has not answered an error-severity status;
// the first such ends it silently.
VOID AudioCodecInit(DeviceContext* Device);
// Level -50..0 (else STATUS_INVALID_PARAMETER, nothing sent). On success
// records AudioVolumeLevel and writes "AudioVolumeLevel".
NTSTATUS AudioSetVolume(DeviceContext* Device, LONG Level);
// Non-zero Mute sends mute byte 0x84, zero 0x80. A failed address command
// answers STATUS_INVALID_PARAMETER. Not persisted.
NTSTATUS AudioSetMute(DeviceContext* Device, UCHAR Mute);
// 1 when the last mute group written had any bit set, else 0. Sends nothing.
ULONG AudioGetMute(DeviceContext* Device);
// Programs the decoder's audio clock for Frequency; on success records the
// frequency and both flags and writes "AudioSamplingFrequency". Nothing
// reaches the codec; the encoder and decoder pick the values up at their
// next start.
NTSTATUS AudioSetSamplingFrequency(DeviceContext* Device, ULONG Frequency, UCHAR Flag1,
                                   UCHAR Flag2);
