// The unit's wire protocol as the emulated unit sees it: vendor command codes,
// bus-device addresses, audio codec address bytes, encoder message codes and
// the microcode record commands. Every emulator module takes its constants
// from here.
#pragma once

#include <cstdint>

namespace emu::proto {

// Vendor requests travel on the default pipe with bRequest 0, the command
// code in wIndex (0x32 also carries a data byte in wIndex bits 8-15) and the
// parameter in wValue. Request-type bits without the direction bit:
inline constexpr std::uint8_t kVendorInterface = 0x41;

// Vendor command codes (wIndex).
enum Command : std::uint8_t {
  kReadRevision = 0x00,         // 2 bytes in: revision word, little-endian
  kAudioCommand1 = 0x01,        // codec side-channel command, no data
  kAudioCommand2 = 0x02,        // codec side-channel command, no data
  kModeIdle = 0x03,             // unit mode: idle
  kModeEncode = 0x04,           // unit mode: encode
  kModeDecode = 0x05,           // unit mode: decode
  kUcodeBlock = 0x10,           // 8 bytes out: address BE32, count BE32; bytes follow on bulk OUT
  kUcodePacked = 0x11,          // 5 bytes out: count BE32, packing mode; bytes follow on bulk OUT
  kUcodeSingle = 0x12,          // 5 bytes out: address BE32, one data byte
  kUcodeSync = 0x13,            // no data; a 2-byte acknowledgement follows on bulk IN
  kEncoderMessage = 0x20,       // N bytes out: one encoder message
  kStartEncoder = 0x21,         // encoder start, before its parameter messages
  kStartDecoder = 0x22,         // decoder start, before its parameter messages
  kResetCodec = 0x23,           // codec reset: the microcode counts as gone
  kFinishLoad = 0x25,           // end of a microcode image
  kInitDecoder = 0x26,          // prepares the loaded decoder for its messages
  kInitEncoder = 0x27,          // prepares the loaded encoder for its messages
  kBeginLoad = 0x28,            // start of a microcode image
  kFlushEncoder = 0x2B,         // drops what the encoder has buffered
  kReadByte = 0x31,             // 1 byte in: unit memory at wValue
  kWriteByte = 0x32,            // no data: wIndex bits 8-15 stored at wValue
  kBusReadRegister = 0x61,      // 1 byte in: wValue = register << 8 | device
  kBusRead = 0x71,              // N bytes in from the register last addressed, wValue = device
  kBusWrite = 0x72,             // N bytes out: register index then values, wValue = device
  kCodecAddress = 0x80,         // wValue: audio codec address byte
  kCodecWrite = 0x81,           // wValue: one audio codec data byte
  kCodecSeparator = 0x82,       // between two data bytes of the codec start-up
};

// Revision words the unit can report (command 0).
inline constexpr std::uint16_t kRevisionFull = 0x1003;  // host programs the front end
inline constexpr std::uint16_t kRevision0103 = 0x0103;
inline constexpr std::uint16_t kRevision0003 = 0x0003;

// On-board bus devices.
inline constexpr std::uint8_t kVideoDecoder = 0x21;
inline constexpr std::uint8_t kVideoOutput = 0x44;

// Video decoder registers with a meaning the unit acts on.
inline constexpr std::uint8_t kDecInputSelect = 0x02;  // 0xC0 composite, 0xC9 S-video, 0xC3 fixed
inline constexpr std::uint8_t kDecStatus = 0x1F;       // bit 0 locked signal, bit 5 60-Hz fields
inline constexpr std::uint8_t kDecInputComposite = 0xC0;
inline constexpr std::uint8_t kDecInputSVideo = 0xC9;
inline constexpr std::uint8_t kDecInputFixed = 0xC3;
inline constexpr std::uint8_t kStatusLocked = 0x01;
inline constexpr std::uint8_t kStatus60Hz = 0x20;

// Audio codec address bytes (command 0x80).
inline constexpr std::uint8_t kCodecStatusGroup = 0x16;
inline constexpr std::uint8_t kCodecDataGroups = 0x14;

// Encoder message codes (command header bytes 0-1).
inline constexpr std::uint16_t kMsgFrameRate = 0xA106;      // args: frame-rate code, 1
inline constexpr std::uint16_t kMsgMux = 0x9103;            // args: 1, mux rate, 96000, 2, 1, 0, 0, audio delay
inline constexpr std::uint16_t kMsgAudio = 0x000D;          // seven argument words laid out byte-wise
inline constexpr std::uint16_t kMsgHorizontalSize = 0xB113; // args: horizontal size code, 4
inline constexpr std::uint16_t kMsgBitRate = 0xA00D;        // args: bit rate
inline constexpr std::uint16_t kMsgVariableBitRate = 0xA130;// args: 1, peak, 1, 1, 1, bit rate, ~0, 0xFF
inline constexpr std::uint16_t kMsgStart = 0x8001;          // no args; prefix 0x100 MPEG-1, 0x300 MPEG-2
inline constexpr std::uint16_t kMsgStop = 0x8002;           // args: 0
inline constexpr std::uint16_t kMsgDecChannel = 0x0003;     // decoder channel set-up
inline constexpr std::uint16_t kMsgDecVideo = 0x0090;       // first arg bytes 01 02 00 L; L=1 for 576-line sources
inline constexpr std::uint16_t kMsgDecStop = 0x009E;        // decoder stop, first part
inline constexpr std::uint16_t kMsgDecStopEnd = 0x009F;     // decoder stop, last part

inline constexpr std::uint32_t kPrefixPlain = 0xFFFFFFFF;
inline constexpr std::uint32_t kPrefixMpeg1 = 0x00000100;
inline constexpr std::uint32_t kPrefixMpeg2 = 0x00000300;

// Bulk endpoints of the one interface.
inline constexpr std::uint8_t kEndpointIn = 0x81;
inline constexpr std::uint8_t kEndpointOut = 0x02;

// Bytes of the acknowledgement the unit returns on bulk IN after command 0x13:
// a marker byte and the count of synchronisation records seen (low 8 bits).
inline constexpr std::uint8_t kSyncAckMarker = 0xA5;

}  // namespace emu::proto
