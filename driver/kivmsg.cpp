// The parameter messages of the codec microcode.
//
// Once its microcode runs, the codec chip takes its parameters and its start
// and stop orders as messages carried in the data stage of vendor command
// 0x20. A message is packed without gaps, every field wider than a byte
// big-endian:
//
//   byte 0       flag byte, fixed per message (0 or 1)
//   bytes 1-4    N, the number of 32-bit words that follow
//   bytes 5...   one or two commands, back to back, each of 2 + M words:
//                  word 0     prefix: 0xFFFFFFFF, or the mode prefix of the
//                             start order (0x100 MPEG-1, 0x300 MPEG-2)
//                  word 1     code (16 bits), channel (8 bits), M (8 bits)
//                  words 2..  the M argument words
//
// The unit decodes each message into its encoder or decoder parameters;
// nothing is read back, so a sender's only result is the vendor request's
// status. Every message is described once, in MessageTable below; a sender
// copies its layout to the stack, fills in its variable values and sends it.
#include "kivenc.h"
#include "kivchip.h"

namespace {

// Largest command and message the codec takes: 8 argument words, two
// commands per message, 10 words after the 5-byte header.
const ULONG MessageMaxArguments = 8;
const ULONG MessageMaxCommands = 2;
const ULONG MessageMaxWords = 10;
const ULONG MessageHeaderBytes = 5;
const ULONG MessageMaxBytes = MessageHeaderBytes + 4 * MessageMaxWords;

const ULONG PrefixDefault = 0xFFFFFFFFu;

// One command of a message.
struct MessageCommand {
  ULONG Prefix;                          // prefix word
  USHORT Code;                           // command code
  UCHAR Channel;                         // channel number
  UCHAR ArgumentCount;                   // M
  ULONG Arguments[MessageMaxArguments];  // argument words as sent
};

// One message: its flag byte and its one or two commands.
struct MessageLayout {
  UCHAR Flag;                                  // flag byte
  UCHAR CommandCount;                          // 1 or 2
  MessageCommand Commands[MessageMaxCommands];
};

// Index of each message in MessageTable.
enum MessageId {
  MsgEnc0004,
  MsgEncB115,
  MsgEncC119,
  MsgEncC11A,
  MsgEncA004,
  MsgEncA002,
  MsgEncA00E,
  MsgEncA001,
  MsgEncFrameRate,
  MsgEncMux,
  MsgEncAudio,
  MsgEncA035,
  MsgEncHorizontalSize,
  MsgEncBitRate,
  MsgEncVariableBitRate,
  MsgEnc8011,
  MsgEncStart,
  MsgEncStop,
  MsgDec0003,
  MsgDec0090,
  MsgDecAudio,
  MsgDec0093,
  MsgDec0098,
  MsgDec009E,
  MsgDec009FPair,
  MsgDec009F,
  MsgCount
};

// Argument words of the audio format command 0x000D (encoder channel 1,
// decoder channel 3), as big-endian words of the message bytes 13-40:
//   word 0  04 01 00 00
//   word 1  01 <flag 1> 01 00
//   word 2  sampling frequency in Hz
//   word 3  320, the samples per audio frame the codec packs
//   word 4  <flag 2> 01 00 01 (encoder) or <flag 2> 00 01 00 (decoder)
//   words 5, 6  zero
const ULONG AudioWord0 = 0x04010000u;
const ULONG AudioWord1 = 0x01000100u;    // flag 1 goes into bits 16-23
const ULONG AudioFlag1Shift = 16;
const ULONG AudioFrameSamples = 320;
const ULONG AudioWord4Encoder = 0x00010001u;
const ULONG AudioWord4Decoder = 0x00000100u;
const ULONG AudioFlag2Shift = 24;        // flag 2 goes into bits 24-31
const ULONG AudioFrequencyArgument = 2;  // index of the frequency word
const ULONG AudioFlag1Argument = 1;
const ULONG AudioFlag2Argument = 4;

// Decoder output command 0x0090: word 0 is the bytes 01 02 00 <L>, L = 1
// for a 50-Hz (non NTSC-M) source.
const ULONG Dec0090Word0 = 0x01020000u;

// Every message the driver sends, with its fixed values. Variable values are
// zero here and filled in by the sender (noted per line).
const MessageLayout MessageTable[MsgCount] = {
    // MsgEnc0004
    {0, 1, {{PrefixDefault, 0x0004, 0, 1, {0xFFFFFFFFu}}}},
    // MsgEncB115: four booleans
    {1, 1, {{PrefixDefault, 0xB115, 0, 4, {0, 0, 0, 1}}}},
    // MsgEncC119: two booleans
    {1, 1, {{PrefixDefault, 0xC119, 0, 2, {0, 0}}}},
    // MsgEncC11A
    {1, 1, {{PrefixDefault, 0xC11A, 0, 2, {0, 0}}}},
    // MsgEncA004: one boolean
    {1, 1, {{PrefixDefault, 0xA004, 0, 1, {0}}}},
    // MsgEncA002
    {1, 1, {{PrefixDefault, 0xA002, 0, 1, {1}}}},
    // MsgEncA00E: one boolean
    {1, 1, {{PrefixDefault, 0xA00E, 0, 1, {0}}}},
    // MsgEncA001
    {1, 1, {{PrefixDefault, 0xA001, 0, 1, {2}}}},
    // MsgEncFrameRate: [0] frame-rate code, [1] boolean 1
    {1, 1, {{PrefixDefault, 0xA106, 0, 2, {0, 1}}}},
    // MsgEncMux: [7] mux audio delay
    {1, 1, {{PrefixDefault, 0x9103, 0, 8, {1, 10080000, 96000, 2, 1, 0, 0, 0}}}},
    // MsgEncAudio: [1] flag 1, [2] sampling frequency, [4] flag 2
    {0, 1,
     {{PrefixDefault, 0x000D, 1, 7,
       {AudioWord0, AudioWord1, 0, AudioFrameSamples, AudioWord4Encoder, 0, 0}}}},
    // MsgEncA035
    {0, 1, {{PrefixDefault, 0xA035, 1, 1, {1}}}},
    // MsgEncHorizontalSize: [0] horizontal size code
    {1, 1, {{PrefixDefault, 0xB113, 0, 2, {0, 4}}}},
    // MsgEncBitRate: [0] bit rate
    {1, 1, {{PrefixDefault, 0xA00D, 0, 1, {0}}}},
    // MsgEncVariableBitRate: [1] peak bit rate, [5] bit rate
    {1, 1,
     {{PrefixDefault, 0xA130, 0, 8, {1, 0, 1, 1, 1, 0, 0xFFFFFFFFu, 0x000000FFu}}}},
    // MsgEnc8011
    {1, 1, {{PrefixDefault, 0x8011, 0, 1, {0}}}},
    // MsgEncStart: both prefixes are the mode prefix
    {1, 2, {{0, 0x8001, 0, 0, {0}}, {0, 0x8001, 1, 0, {0}}}},
    // MsgEncStop
    {0, 2, {{PrefixDefault, 0x8002, 0, 1, {0}}, {PrefixDefault, 0x8002, 1, 1, {0}}}},
    // MsgDec0003: channel and [0] value
    {0, 1, {{PrefixDefault, 0x0003, 0, 1, {0}}}},
    // MsgDec0090: [0] low byte L
    {0, 1, {{PrefixDefault, 0x0090, 0x0F, 5, {Dec0090Word0, 0, 0, 0x00008080u, 0}}}},
    // MsgDecAudio: as MsgEncAudio
    {0, 1,
     {{PrefixDefault, 0x000D, 3, 7,
       {AudioWord0, AudioWord1, 0, AudioFrameSamples, AudioWord4Decoder, 0, 0}}}},
    // MsgDec0093
    {0, 1, {{PrefixDefault, 0x0093, 0, 4, {0xFFFFFFFFu, 0xFFFFFFFFu, 0, 0}}}},
    // MsgDec0098
    {0, 1, {{PrefixDefault, 0x0098, 3, 4, {0xFFFFFFFFu, 0, 0, 0}}}},
    // MsgDec009E
    {0, 2, {{PrefixDefault, 0x009E, 0, 0, {0}}, {PrefixDefault, 0x0099, 3, 1, {1}}}},
    // MsgDec009FPair
    {0, 2, {{PrefixDefault, 0x009F, 0, 0, {0}}, {PrefixDefault, 0x009F, 3, 0, {0}}}},
    // MsgDec009F
    {0, 1, {{PrefixDefault, 0x009F, 0x0F, 0, {0}}}},
};

// MsgPutWord: stores Value big-endian at Buffer. Any IRQL.
void MsgPutWord(UCHAR* Buffer, ULONG Value) {
  Buffer[0] = (UCHAR)(Value >> 24);
  Buffer[1] = (UCHAR)(Value >> 16);
  Buffer[2] = (UCHAR)(Value >> 8);
  Buffer[3] = (UCHAR)Value;
}

// MsgBoolean: a boolean input as the codec takes it, 0 or 1; only the low
// byte of the input counts. Any IRQL.
ULONG MsgBoolean(ULONG Value) { return (Value & 0xFFu) != 0 ? 1u : 0u; }

// MsgSend: lays Layout out in a stack buffer and sends it with vendor
// command 0x20.
//   Device  the adapter.
//   Layout  the message, variable values filled in.
// Returns VendorSendEncoderMessage's status unchanged. PASSIVE_LEVEL, no lock.
NTSTATUS MsgSend(DeviceContext* Device, const MessageLayout* Layout) {
  UCHAR buffer[MessageMaxBytes];
  ULONG offset = MessageHeaderBytes;
  for (ULONG c = 0; c < Layout->CommandCount; ++c) {
    const MessageCommand* command = &Layout->Commands[c];
    MsgPutWord(buffer + offset, command->Prefix);
    MsgPutWord(buffer + offset + 4, ((ULONG)command->Code << 16) |
                                        ((ULONG)command->Channel << 8) |
                                        command->ArgumentCount);
    offset += 8;
    for (ULONG a = 0; a < command->ArgumentCount; ++a) {
      MsgPutWord(buffer + offset, command->Arguments[a]);
      offset += 4;
    }
  }
  buffer[0] = Layout->Flag;
  MsgPutWord(buffer + 1, (offset - MessageHeaderBytes) / 4);
  return VendorSendEncoderMessage(Device, offset, buffer);
}

// MsgSendFixed: sends a message that has no variable values. PASSIVE_LEVEL.
NTSTATUS MsgSendFixed(DeviceContext* Device, MessageId Id) {
  return MsgSend(Device, &MessageTable[Id]);
}

// MsgSendAudio: the audio format command with the device's sampling
// frequency and audio flags. PASSIVE_LEVEL.
NTSTATUS MsgSendAudio(DeviceContext* Device, MessageId Id) {
  MessageLayout message = MessageTable[Id];
  ULONG* arguments = message.Commands[0].Arguments;
  arguments[AudioFlag1Argument] |= MsgBoolean(Device->AudioFlag1) << AudioFlag1Shift;
  arguments[AudioFrequencyArgument] = Device->AudioSamplingFrequency;
  arguments[AudioFlag2Argument] |= MsgBoolean(Device->AudioFlag2) << AudioFlag2Shift;
  return MsgSend(Device, &message);
}

// MsgSendOneValue: a message of one command whose argument Index is the
// only variable value. PASSIVE_LEVEL.
NTSTATUS MsgSendOneValue(DeviceContext* Device, MessageId Id, ULONG Index, ULONG Value) {
  MessageLayout message = MessageTable[Id];
  message.Commands[0].Arguments[Index] = Value;
  return MsgSend(Device, &message);
}

}  // namespace

// Each sender below builds one message and returns the status of its vendor
// request (STATUS_INSUFFICIENT_RESOURCES when no request block could be had,
// otherwise the USB request's status). Device is the adapter. PASSIVE_LEVEL,
// no lock; the caller serialises the sequence it belongs to.

// EncMsg0004: encoder command 0x0004 (first configuration message).
NTSTATUS EncMsg0004(DeviceContext* Device) { return MsgSendFixed(Device, MsgEnc0004); }

// EncMsgB115: encoder command 0xB115 (four booleans 0, 0, 0, 1).
NTSTATUS EncMsgB115(DeviceContext* Device) { return MsgSendFixed(Device, MsgEncB115); }

// EncMsgC119: encoder command 0xC119 (two booleans 0, 0).
NTSTATUS EncMsgC119(DeviceContext* Device) { return MsgSendFixed(Device, MsgEncC119); }

// EncMsgC11A: encoder command 0xC11A (MPEG-1 configuration).
NTSTATUS EncMsgC11A(DeviceContext* Device) { return MsgSendFixed(Device, MsgEncC11A); }

// EncMsgA004: encoder command 0xA004 (boolean 0).
NTSTATUS EncMsgA004(DeviceContext* Device) { return MsgSendFixed(Device, MsgEncA004); }

// EncMsgA002: encoder command 0xA002 (value 1).
NTSTATUS EncMsgA002(DeviceContext* Device) { return MsgSendFixed(Device, MsgEncA002); }

// EncMsgA00E: encoder command 0xA00E (boolean 0).
NTSTATUS EncMsgA00E(DeviceContext* Device) { return MsgSendFixed(Device, MsgEncA00E); }

// EncMsgA001: encoder command 0xA001 (value 2).
NTSTATUS EncMsgA001(DeviceContext* Device) { return MsgSendFixed(Device, MsgEncA001); }

// EncMsgFrameRate: the MPEG frame-rate code (3 for 25, 4 for 30000/1001
// frames per second), sent as it comes.
NTSTATUS EncMsgFrameRate(DeviceContext* Device, ULONG FrameRateCode) {
  return MsgSendOneValue(Device, MsgEncFrameRate, 0, FrameRateCode);
}

// EncMsgMux: the multiplexer parameters with the audio delay, sent as it comes.
NTSTATUS EncMsgMux(DeviceContext* Device, ULONG MuxAudioDelay) {
  return MsgSendOneValue(Device, MsgEncMux, 7, MuxAudioDelay);
}

// EncMsgAudio: the encoder's audio format from AudioSamplingFrequency (Hz,
// unscaled), AudioFlag1 and AudioFlag2.
NTSTATUS EncMsgAudio(DeviceContext* Device) { return MsgSendAudio(Device, MsgEncAudio); }

// EncMsgA035: encoder command 0xA035 on channel 1 (last configuration message).
NTSTATUS EncMsgA035(DeviceContext* Device) { return MsgSendFixed(Device, MsgEncA035); }

// EncMsgHorizontalSize: the horizontal size code of the capture width.
NTSTATUS EncMsgHorizontalSize(DeviceContext* Device, ULONG HorizontalSizeCode) {
  return MsgSendOneValue(Device, MsgEncHorizontalSize, 0, HorizontalSizeCode);
}

// EncMsgBitRate: constant bit rate in bit/s, the full 32-bit value.
NTSTATUS EncMsgBitRate(DeviceContext* Device, ULONG BitRate) {
  return MsgSendOneValue(Device, MsgEncBitRate, 0, BitRate);
}

// EncMsgVariableBitRate: variable bit rate with its average and peak, both
// in bit/s and sent as they come.
NTSTATUS EncMsgVariableBitRate(DeviceContext* Device, ULONG BitRate, ULONG PeakBitRate) {
  MessageLayout message = MessageTable[MsgEncVariableBitRate];
  message.Commands[0].Arguments[1] = PeakBitRate;
  message.Commands[0].Arguments[5] = BitRate;
  return MsgSend(Device, &message);
}

// EncMsg8011: encoder command 0x8011 (MPEG-2 start).
NTSTATUS EncMsg8011(DeviceContext* Device) { return MsgSendFixed(Device, MsgEnc8011); }

// EncMsgStart: the start order on channels 0 and 1, both carrying Prefix
// (EncStartPrefixMpeg1 or EncStartPrefixMpeg2).
NTSTATUS EncMsgStart(DeviceContext* Device, ULONG Prefix) {
  MessageLayout message = MessageTable[MsgEncStart];
  message.Commands[0].Prefix = Prefix;
  message.Commands[1].Prefix = Prefix;
  return MsgSend(Device, &message);
}

// EncMsgStop: the stop order on channels 0 and 1.
NTSTATUS EncMsgStop(DeviceContext* Device) { return MsgSendFixed(Device, MsgEncStop); }

// DecMsg0003: decoder command 0x0003 on Channel (low 8 bits) with Value.
NTSTATUS DecMsg0003(DeviceContext* Device, ULONG Channel, ULONG Value) {
  MessageLayout message = MessageTable[MsgDec0003];
  message.Commands[0].Channel = (UCHAR)Channel;
  message.Commands[0].Arguments[0] = Value;
  return MsgSend(Device, &message);
}

// DecMsg0090: the decoder's output set-up; its fourth byte is 1 unless
// VideoStandard is exactly NTSC-M.
NTSTATUS DecMsg0090(DeviceContext* Device) {
  const ULONG fiftyHertz = Device->VideoStandard != KS_AnalogVideo_NTSC_M ? 1u : 0u;
  return MsgSendOneValue(Device, MsgDec0090, 0, Dec0090Word0 | fiftyHertz);
}

// DecMsgAudio: the decoder's audio format, as EncMsgAudio on channel 3.
NTSTATUS DecMsgAudio(DeviceContext* Device) { return MsgSendAudio(Device, MsgDecAudio); }

// DecMsg0093: decoder command 0x0093 (start).
NTSTATUS DecMsg0093(DeviceContext* Device) { return MsgSendFixed(Device, MsgDec0093); }

// DecMsg0098: decoder command 0x0098 on channel 3 (start).
NTSTATUS DecMsg0098(DeviceContext* Device) { return MsgSendFixed(Device, MsgDec0098); }

// DecMsg009E: decoder commands 0x009E and 0x0099 (first stop message).
NTSTATUS DecMsg009E(DeviceContext* Device) { return MsgSendFixed(Device, MsgDec009E); }

// DecMsg009FPair: decoder command 0x009F on channels 0 and 3.
NTSTATUS DecMsg009FPair(DeviceContext* Device) { return MsgSendFixed(Device, MsgDec009FPair); }

// DecMsg009F: decoder command 0x009F on channel 0x0F (last stop message).
NTSTATUS DecMsg009F(DeviceContext* Device) { return MsgSendFixed(Device, MsgDec009F); }
