// Our microcode image files (".ux"): writing, reading, checking and
// recognising them. Shared by the emulated unit (which recognises an image by
// the bytes it receives), ucode-tool and the command line.
//
// File layout: "C3UX", record count (LE32), 4 reserved bytes, then records of
// a 16-byte header (packing mode, flags with the type in bits 1-2, reserved,
// data length LE32, address or value LE32, reserved) and their data.
//
// Content: the first record is a block record at address 0 holding an
// identity header (kind, standard, byte count and CRC-32 of everything that
// follows). The rest is a deterministic pseudo-random payload spread over
// every record type. The unit sees the content as the stream of bytes it
// receives: block data, packed data unpacked again, single-byte records as
// four address bytes (BE) and the byte; synchronisation records add nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace emu::ucode {

enum class Kind : std::uint8_t { Mpeg1Encoder = 1, Mpeg2Encoder = 2, Decoder = 3 };
enum class Standard : std::uint8_t { Any = 0, Ntsc = 1, Pal = 2 };

// One of our five images.
struct ImageInfo {
  Kind kind;
  Standard standard;
  const char* fileName;  // as the driver looks it up in its driver folder
};
inline constexpr ImageInfo kImages[] = {
    {Kind::Mpeg1Encoder, Standard::Ntsc, "enc1ntsc.ux"},
    {Kind::Mpeg1Encoder, Standard::Pal, "enc1pal.ux"},
    {Kind::Mpeg2Encoder, Standard::Ntsc, "enc2ntsc.ux"},
    {Kind::Mpeg2Encoder, Standard::Pal, "enc2pal.ux"},
    {Kind::Decoder, Standard::Any, "decoder.ux"},
};

const char* kindName(Kind kind);
const char* standardName(Standard standard);

// Record types (flags & 0x06).
enum class RecordType : std::uint8_t { Block = 0, Packed = 2, Single = 4, Sync = 6 };
inline constexpr std::uint8_t kPackModePacked = 0;  // 5 bytes travel as an 8-byte group
inline constexpr std::uint8_t kPackModePlain = 1;

struct Record {
  RecordType type = RecordType::Block;
  std::uint8_t packMode = kPackModePlain;  // packed records only
  std::uint32_t address = 0;               // address or value
  std::vector<std::uint8_t> data;
};

// The identity header carried by the first block record.
inline constexpr std::size_t kIdentitySize = 32;
struct Identity {
  Kind kind = Kind::Decoder;
  Standard standard = Standard::Any;
  std::uint16_t version = 1;
  std::uint32_t contentBytes = 0;  // bytes of content after the identity
  std::uint32_t contentCrc = 0;    // CRC-32 of those bytes
};
std::vector<std::uint8_t> encodeIdentity(const Identity& id);
// Empty when the bytes are not an identity header.
std::optional<Identity> decodeIdentity(const std::uint8_t* bytes, std::size_t size);

// Running CRC-32 (IEEE) of content bytes, as writer and unit compute it.
std::uint32_t crcUpdate(std::uint32_t crc, const std::uint8_t* bytes, std::size_t size);

// The 5-to-8 expansion of a packed mode-0 group, and its inverse. unpackGroup
// returns false when the group is not one that expandGroup can produce.
void expandGroup(const std::uint8_t in[5], std::uint8_t out[8]);
bool unpackGroup(const std::uint8_t in[8], std::uint8_t out[5]);

// The records of one of our images, ready to be written.
std::vector<Record> buildImage(const ImageInfo& info);
std::vector<std::uint8_t> serialise(const std::vector<Record>& records);

// Parses a file. Fails (with a one-line reason) on a bad magic, records or
// data outside the file, a mode-0 record whose length is not a multiple of 5,
// or a synchronisation record with fewer than 4 data bytes.
struct ParseResult {
  std::vector<Record> records;
  std::string error;  // empty: the file is well formed
  bool ok() const { return error.empty(); }
};
ParseResult parse(const std::vector<std::uint8_t>& file);

// Checks the content of parsed records: identity present, byte count and CRC
// as it says. Returns the identity, or an error in `error`.
std::optional<Identity> verify(const std::vector<Record>& records, std::string* error);

// A listing of a file's records and what, if anything, is wrong with it.
std::string inspect(const std::vector<std::uint8_t>& file);

}  // namespace emu::ucode
