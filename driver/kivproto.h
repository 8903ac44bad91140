// The unit's wire protocol as the driver speaks it: the vendor request form,
// every vendor command code with what the unit does with it, and the layout
// of our microcode image files. Every module that talks to the unit takes its
// codes and layouts from here.
#pragma once

#include "mpegunit.h"

// ---- Vendor request form ----
//
// One command is one vendor control transfer addressed to the interface
// (URB_FUNCTION_VENDOR_INTERFACE) with bRequest 0, the command code in wIndex
// and a 16-bit parameter in wValue. Two request-type forms are in use:
#define VENDOR_TYPE_HOST_TO_DEVICE 0x41  // vendor, interface, host to device
#define VENDOR_TYPE_DEVICE_TO_HOST 0xC1  // vendor, interface, device to host
#define VENDOR_REQUEST_CODE 0            // bRequest of every command
// Transfer flags: the direction only. A short data stage is never accepted,
// so USBD_SHORT_TRANSFER_OK is never set on a command.
#define VENDOR_DIRECTION_OUT USBD_TRANSFER_DIRECTION_OUT
#define VENDOR_DIRECTION_IN USBD_TRANSFER_DIRECTION_IN

// ---- Command codes (wIndex) ----
//
// Form: OUT = 0x41 with the OUT flag; IN = 0xC1 with the IN flag; SIGNAL =
// 0x41 with the IN flag and no data stage (the unit ignores the flag).
#define KIV_CMD_READ_REVISION 0x00   // IN, 2 bytes: revision word LE (0x0003, 0x0103, 0x1003)
#define KIV_CMD_AUDIO_COMMAND1 0x01  // SIGNAL: audio codec side-channel command
#define KIV_CMD_AUDIO_COMMAND2 0x02  // SIGNAL: audio codec side-channel command
#define KIV_CMD_MODE_IDLE 0x03       // SIGNAL: the unit enters idle mode
#define KIV_CMD_MODE_ENCODE 0x04     // SIGNAL: the unit enters encode mode
#define KIV_CMD_MODE_DECODE 0x05     // SIGNAL: the unit enters decode mode
#define KIV_CMD_UCODE_BLOCK 0x10     // OUT, 8 bytes: address BE32, count BE32; the bytes follow on bulk OUT
#define KIV_CMD_UCODE_PACKED 0x11    // OUT, 5 bytes: count BE32 on bulk OUT, packing mode
#define KIV_CMD_UCODE_SINGLE 0x12    // OUT, 5 bytes: address BE32, one data byte stored there
#define KIV_CMD_UCODE_SYNC 0x13      // OUT, no data, wValue swapped; the unit answers 2 bytes on bulk IN
#define KIV_CMD_ENCODER_MESSAGE 0x20 // OUT, N bytes: one parameter message for the codec microcode
#define KIV_CMD_START_ENCODER 0x21   // OUT: encoder start, before its parameter messages
#define KIV_CMD_START_DECODER 0x22   // OUT: decoder start
#define KIV_CMD_RESET_CODEC 0x23     // OUT: codec reset; its microcode is gone afterwards
#define KIV_CMD_FINISH_LOAD 0x25     // OUT: a microcode image has been downloaded
#define KIV_CMD_INIT_DECODER 0x26    // OUT: prepares the loaded decoder for its messages
#define KIV_CMD_INIT_ENCODER 0x27    // OUT: prepares the loaded encoder for its messages
#define KIV_CMD_BEGIN_LOAD 0x28      // OUT: a microcode image download begins
#define KIV_CMD_FLUSH_ENCODER 0x2B   // OUT: the encoder drops what it has buffered
#define KIV_CMD_READ_BYTE 0x31       // IN, 1 byte: unit memory at the address in wValue
#define KIV_CMD_WRITE_BYTE 0x32      // OUT, no data: wIndex bits 8-15 stored at the address in wValue
#define KIV_CMD_BUS_READ_REGISTER 0x61  // IN, 1 byte: wValue = register << 8 | device address
#define KIV_CMD_BUS_READ 0x71        // IN, N < 256 bytes from the register last addressed; wValue = device
#define KIV_CMD_BUS_WRITE 0x72       // OUT, N < 256 bytes: register index, then values; wValue = device
#define KIV_CMD_CODEC_ADDRESS 0x80   // SIGNAL: wValue = audio codec address byte
#define KIV_CMD_CODEC_WRITE 0x81     // SIGNAL: wValue = one audio codec data byte
#define KIV_CMD_CODEC_SEPARATOR 0x82 // SIGNAL: between two data bytes of the codec start-up

// Devices on the unit's on-board bus (commands 0x61, 0x71, 0x72).
#define KIV_BUS_VIDEO_DECODER 0x21
#define KIV_BUS_VIDEO_OUTPUT 0x44  // only ever written

// Revision words as command 0 returns them, and as HardwareRevision records them.
#define KIV_REVISION_WIRE_0003 0x0003  // recorded as 0x2003
#define KIV_REVISION_0103 0x0103
#define KIV_REVISION_1003 0x1003       // the host programs the front end itself
#define KIV_REVISION_2003 0x2003

// Bytes of the acknowledgement the unit sends on bulk IN after command 0x13.
#define KIV_SYNC_ACK_LENGTH 2

// ---- Microcode image file ----
//
//   offset 0  "C3UX"             magic
//   offset 4  record count       LE32
//   offset 8  reserved
//   offset 12 records, back to back: a 16-byte header, then its data
#define UCODE_MAGIC0 0x43  // 'C'
#define UCODE_MAGIC1 0x33  // '3'
#define UCODE_MAGIC2 0x55  // 'U'
#define UCODE_MAGIC3 0x58  // 'X'
#define UCODE_FILE_HEADER_SIZE 12
#define UCODE_RECORD_HEADER_SIZE 16

// Record header on disk:
//   0 packing mode (packed records only)   1 flags, type in bits 1-2
//   2 reserved (2)                          4 data length LE32
//   8 address or value LE32 (sent BE)      12 reserved (4)
// MicrocodeRecordHeader holds these fields decoded to host order.
struct MicrocodeRecordHeader {
  UCHAR PackingMode;  // UCODE_PACK_PACKED or UCODE_PACK_PLAIN; others send no data
  UCHAR Flags;        // UCODE_TYPE_MASK gives the record type
  ULONG DataLength;   // bytes of data after the header
  ULONG Address;      // load address or value
};

#define UCODE_TYPE_MASK 0x06
#define UCODE_TYPE_BLOCK 0x00   // command 0x10, then the data in one bulk write
#define UCODE_TYPE_PACKED 0x02  // command 0x11, then the data (mode 0: one 8-byte write per group)
#define UCODE_TYPE_SINGLE 0x04  // command 0x12 with the first data byte
#define UCODE_TYPE_SYNC 0x06    // command 0x13 and its acknowledgement; data holds a BE32 value

#define UCODE_PACK_PACKED 0  // every 5 data bytes travel as an 8-byte group
#define UCODE_PACK_PLAIN 1   // the data travels as it is

// 5-to-8 expansion: d0 d1 d2 d3 stay, d4 goes to group byte 4 + (d3 & 3).
#define UCODE_GROUP_IN 5
#define UCODE_GROUP_OUT 8

#define UCODE_BLOCK_PARAMETERS 8   // command 0x10: address BE32, count BE32
#define UCODE_PACKED_PARAMETERS 5  // command 0x11: count BE32, packing mode
#define UCODE_SINGLE_PARAMETERS 5  // command 0x12: address BE32, data byte
#define UCODE_SYNC_PARAMETERS 4    // command 0x13: wValue carries this length, byte-swapped
#define UCODE_SYNC_MIN_DATA 4      // a synchronisation record carries a BE32 value
#define UCODE_SYNC_DIVISOR 1000    // the loader's count is value / 1000 + 1
#define UCODE_PARAMETER_BUFFER 64  // pool buffer that carries a record's parameter bytes
