// The codec chip and the unit's firmware: vendor commands, microcode
// download and the video front end (decoder, output encoder).
// Everything here runs at PASSIVE_LEVEL and waits for what it sends.
#pragma once

#include "mpegunit.h"

// ---- Vendor commands (kivchip.cpp) ----
//
// Every command is one vendor control transfer (codes and forms in
// kivproto.h) on an 80-byte URB of its own, sent with UsbSubmitUrb and
// waited for. Each returns STATUS_INSUFFICIENT_RESOURCES when the URB cannot
// be allocated (nothing is sent), else the control request's status; nothing
// is retried. PASSIVE_LEVEL; no lock (callers serialise command sequences
// that belong together). Safe on several threads: they share only the
// default pipe.

// One vendor request: wIndex Index, wValue Value, request-type bits
// RequestTypeBits (0x41 or 0xC1), TransferFlags (direction), and a data stage
// of Length bytes at Buffer (not copied; nonpaged; none when Length is 0).
NTSTATUS VendorRequest(DeviceContext* Device, USHORT Index, USHORT Value, UCHAR RequestTypeBits,
                       ULONG TransferFlags, PVOID Buffer, ULONG Length);
// Command Code (low 8 bits only), OUT, no data, wValue 0.
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
// 0x00: reads the revision word; on STATUS_SUCCESS records 0x0003 as 0x2003,
// 0x0103 and 0x1003 as they are, in HardwareRevision; any other word or
// status leaves HardwareRevision unchanged.
NTSTATUS VendorReadRevision(DeviceContext* Device);
// 0x20: one encoder message of Length bytes (the bytes must be nonpaged).
NTSTATUS VendorSendEncoderMessage(DeviceContext* Device, ULONG Length, const UCHAR* Message);
// 0x71: Count bytes from the device's register last addressed (address and
// count truncated to 8 bits).
NTSTATUS VendorBusRead(DeviceContext* Device, ULONG DeviceAddress, ULONG Count, UCHAR* Buffer);
// 0x72: Count bytes: register index, then the values (address and count
// truncated to 8 bits).
NTSTATUS VendorBusWrite(DeviceContext* Device, ULONG DeviceAddress, ULONG Count,
                        const UCHAR* Bytes);
// 0x61: one status byte; wValue = Register << 8 | DeviceAddress.
NTSTATUS VendorBusReadRegister(DeviceContext* Device, ULONG DeviceAddress, ULONG Register,
                               UCHAR* Value);
// 0x31: the unit memory byte at Address.
NTSTATUS VendorReadByte(DeviceContext* Device, USHORT Address, UCHAR* Value);
// 0x32: stores Value at Address; the byte travels in wIndex bits 8-15.
NTSTATUS VendorWriteByte(DeviceContext* Device, USHORT Address, UCHAR Value);
// 0x10-0x12: Length parameter bytes as the data stage (nonpaged). 0x13: no
// data stage, wValue = Length byte-swapped, then the 2-byte acknowledgement
// is read from BulkInPipe on the shared BulkUrb (UsbSubmitPipeUrb); its
// status is returned. Never while a staged transfer runs.
NTSTATUS VendorMicrocodeCommand(DeviceContext* Device, USHORT Code, const UCHAR* Parameters,
                                USHORT Length);

// ---- Microcode download (kivchip.cpp) ----
//
// PASSIVE_LEVEL, on the request path while no stream transfers (the bulk
// writes and acknowledgements use the shared BulkIrp/BulkUrb); no lock.

// The decoded 16-byte header of one image record (layout in kivproto.h).
struct MicrocodeRecordHeader;
// Reads the image file at Path (zero-terminated) whole and downloads its
// records. Returns the open's status when the file cannot be opened,
// STATUS_SUCCESS for an empty file (nothing sent), STATUS_INSUFFICIENT_RESOURCES
// without pool, the read's failure, STATUS_IO_DEVICE_ERROR for a file that is
// not a well-formed image (nothing sent), or else STATUS_SUCCESS when every
// record went through and the first record failure otherwise (the later
// records are still sent).
NTSTATUS MicrocodeLoadImage(DeviceContext* Device, PCWSTR Path);
// Downloads one record whose Header->DataLength bytes lie at Data. Returns
// the status of the step that ended it, STATUS_INSUFFICIENT_RESOURCES
// without pool, STATUS_IO_DEVICE_ERROR for a packed mode-0 record whose
// length is not a multiple of 5 or a synchronisation record under 4 bytes
// (nothing sent).
NTSTATUS MicrocodeSendRecord(DeviceContext* Device, const MicrocodeRecordHeader* Header,
                             const UCHAR* Data);

// ---- Video front end (kivvideo.cpp) ----
// The video decoder (bus device 0x21) and the video output encoder (0x44) on
// the unit's on-board bus, reached only through VendorBusWrite/VendorBusRead.
// Every operation runs at PASSIVE_LEVEL on the caller's thread, takes no lock
// and relies on its caller (a device request, a stream state change) not
// running two front-end operations at once: the read-modify-write sequences
// and VideoOutputShadow are not protected otherwise.

// Their bus addresses are KIV_BUS_VIDEO_DECODER and KIV_BUS_VIDEO_OUTPUT (kivproto.h).

// Decoder registers the driver changes after start-up.
#define VIDEO_DECODER_REG_INPUT 0x02u       // analog input select
#define VIDEO_DECODER_REG_SYNC 0x08u        // bit 6: 60-Hz fields; bits 7, 2: fixed-input timing
#define VIDEO_DECODER_REG_INPUT_MODE 0x09u  // bit 7: S-video; bits 0-3: sharpness
#define VIDEO_DECODER_REG_BRIGHTNESS 0x0Au
#define VIDEO_DECODER_REG_CONTRAST 0x0Bu
#define VIDEO_DECODER_REG_SATURATION 0x0Cu
#define VIDEO_DECODER_REG_HUE 0x0Du
#define VIDEO_DECODER_REG_STANDARD 0x0Eu    // bits 4-6: colour standard
#define VIDEO_DECODER_REG_OUTPUT 0x13u      // bit 7: output control, cleared on every switch
#define VIDEO_DECODER_REG_STATUS 0x1Fu      // bit 0: signal locked; bit 5: 60-Hz input
#define VIDEO_DECODER_REG_AUDIO_CLOCK 0x30u // 0x30-0x32 clocks per field, 0x34-0x36 increment

// Output-encoder registers changed from the shadow.
#define VIDEO_OUTPUT_REG_ENABLE 0x61u  // bit 6 set: output disabled
#define VIDEO_OUTPUT_REG_TIMING 0x62u  // bit 7: fixed-input timing, cleared on every switch

// Standard groups tested by mask. The PAL group is bits 4-11: PAL_M is in,
// the SECAM bits and the platform's PAL_N_COMBO are not.
#define VIDEO_NTSC_GROUP_MASK 0x00000007u
#define VIDEO_PAL_GROUP_MASK 0x00000FF0u

// Input modes of the decoder (VideoSetInputMode).
enum VideoInputMode {
  VideoInputComposite = 0,  // register 0x02 = 0xC0, 0x09 = 0x47
  VideoInputSVideo = 1,     // register 0x02 = 0xC9, 0x09 = 0xC7
  VideoInputFixed = 2       // register 0x02 = 0xC3, 0x09 = 0x47; while microcode loads or decodes
};

// One row of the capture-size table: the permitted sizes for one capture
// mode and one standard, stored as consecutive (width, height) pairs as
// KSPROPERTY_UNIT_ENCODING_CAPS hands them out.
#define VIDEO_MAX_CAPTURE_SIZES 5u
struct VideoCaptureSize {
  ULONG Width;   // pixels
  ULONG Height;  // lines
};
struct VideoCaptureSizeRow {
  ULONG Count;                                     // pairs in use
  VideoCaptureSize Sizes[VIDEO_MAX_CAPTURE_SIZES];  // in the order applications see them
};
// The row for a capture mode (CaptureModeMpeg2 / CaptureModeMpeg1) and a
// standard: the NTSC_M row when Standard is exactly KS_AnalogVideo_NTSC_M,
// the other row for any other value. Null for any other capture mode.
// Any IRQL; no lock.
const VideoCaptureSizeRow* VideoCaptureSizesFor(ULONG CaptureMode, ULONG Standard);

// Start-up of the decoder, the output encoder and the audio codec on
// revision 0x1003; reads the revision first. Failures are not reported.
VOID VideoFrontEndInit(DeviceContext* Device);
// Selects crossbar input pin Input (0 composite, 1 S-video), records
// VideoInput and writes "VideoInputConnected". STATUS_NOT_IMPLEMENTED for
// the audio pin, STATUS_INVALID_PARAMETER beyond the pin table; nothing sent.
NTSTATUS VideoSelectInput(DeviceContext* Device, ULONG Input);
// Applies Standard to the decoder (its audio clock follows the recorded
// VideoStandard) and the output encoder, records it, and resets the capture
// size when the current one is not permitted under it.
NTSTATUS VideoSetStandard(DeviceContext* Device, ULONG Standard);
// TRUE: decoder on the fixed input for microcode download and playback;
// FALSE: back to the selected input. Stops at the first step that does not
// answer STATUS_SUCCESS and returns its status.
NTSTATUS VideoSetFixedInput(DeviceContext* Device, BOOLEAN Fixed);
// Sets (TRUE) or clears (FALSE) the output-disable bit of output register 0x61.
NTSTATUS VideoDisableOutput(DeviceContext* Device, BOOLEAN Disable);
// Programs the decoder's audio clock (256 x SamplingFrequency) for the field
// rate of the recorded VideoStandard. STATUS_UNSUCCESSFUL, nothing sent, for
// a standard outside the NTSC and PAL groups or a frequency other than 32000,
// 44100, 48000.
NTSTATUS VideoSetAudioClock(DeviceContext* Device, ULONG SamplingFrequency);
// Picture controls: validate (STATUS_INVALID_PARAMETER), write the register
// (STATUS_IO_DEVICE_ERROR on failure), then record the field and write the
// registry value. Brightness 0..255, the others 0..127, sharpness 1..15.
NTSTATUS VideoSetBrightness(DeviceContext* Device, ULONG Value);
NTSTATUS VideoSetContrast(DeviceContext* Device, ULONG Value);
NTSTATUS VideoSetSaturation(DeviceContext* Device, ULONG Value);
NTSTATUS VideoSetHue(DeviceContext* Device, ULONG Value);
NTSTATUS VideoSetSharpness(DeviceContext* Device, ULONG Value);
// Read one picture-control register; *Value is written only on success.
NTSTATUS VideoReadBrightness(DeviceContext* Device, UCHAR* Value);
NTSTATUS VideoReadContrast(DeviceContext* Device, UCHAR* Value);
NTSTATUS VideoReadSaturation(DeviceContext* Device, UCHAR* Value);
NTSTATUS VideoReadHue(DeviceContext* Device, UCHAR* Value);
// TRUE when (Width, Height) is in the capture-size row of the mode and standard.
// Any IRQL.
BOOLEAN VideoIsCaptureSizeValid(ULONG Standard, ULONG CaptureMode, ULONG Width, ULONG Height);
// Records a permitted capture size and writes "HorzResolution"/"VertResolution";
// STATUS_NOT_SUPPORTED, nothing changed, for any other size.
NTSTATUS VideoSetCaptureSize(DeviceContext* Device, ULONG Width, ULONG Height);

// Module-internal steps, exposed for the module's tests.
NTSTATUS VideoInitDecoder(DeviceContext* Device);
NTSTATUS VideoInitOutput(DeviceContext* Device);
NTSTATUS VideoSetInputMode(DeviceContext* Device, ULONG Mode);
NTSTATUS VideoSetDecoderStandard(DeviceContext* Device, ULONG Standard);
NTSTATUS VideoSetOutputStandard(DeviceContext* Device, ULONG Standard);
// Writes Count bytes (first register number, then values) to the output
// encoder and, on success, copies the values into VideoOutputShadow. A write
// that would reach beyond register 0x7F (the shadow) or carries no byte is
// refused with STATUS_INVALID_PARAMETER, nothing sent.
NTSTATUS VideoOutputWrite(DeviceContext* Device, ULONG Count, const UCHAR* Bytes);
