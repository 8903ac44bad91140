#include "emulator/microcode_image.hpp"

#include <cstring>
#include <random>
#include <sstream>

extern "C" {
#include <libavutil/crc.h>
}

namespace emu::ucode {
namespace {

constexpr std::uint8_t kMagic[4] = {'C', '3', 'U', 'X'};
constexpr std::uint8_t kIdentityMagic[4] = {'M', 'U', 'I', 'D'};
constexpr std::size_t kFileHeader = 12;
constexpr std::size_t kRecordHeader = 16;

std::uint32_t le32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
         std::uint32_t(p[3]) << 24;
}
void putLe32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(std::uint8_t(v >> (8 * i)));
}
void putBe32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 3; i >= 0; --i) out.push_back(std::uint8_t(v >> (8 * i)));
}

std::vector<std::uint8_t> randomBytes(std::mt19937& rng, std::size_t n) {
  std::vector<std::uint8_t> out(n);
  for (auto& b : out) b = std::uint8_t(rng() & 0xFF);
  return out;
}

// The content bytes one record contributes, as the unit receives them.
void appendContent(const Record& r, std::vector<std::uint8_t>& out) {
  switch (r.type) {
    case RecordType::Block:
    case RecordType::Packed:
      out.insert(out.end(), r.data.begin(), r.data.end());
      break;
    case RecordType::Single:
      if (!r.data.empty()) {
        putBe32(out, r.address);
        out.push_back(r.data[0]);
      }
      break;
    case RecordType::Sync:
      break;
  }
}

}  // namespace

const char* kindName(Kind kind) {
  switch (kind) {
    case Kind::Mpeg1Encoder: return "MPEG-1 encoder";
    case Kind::Mpeg2Encoder: return "MPEG-2 encoder";
    case Kind::Decoder: return "decoder";
  }
  return "unknown";
}

const char* standardName(Standard standard) {
  switch (standard) {
    case Standard::Any: return "any standard";
    case Standard::Ntsc: return "NTSC";
    case Standard::Pal: return "PAL";
  }
  return "unknown";
}

std::uint32_t crcUpdate(std::uint32_t crc, const std::uint8_t* bytes, std::size_t size) {
  return av_crc(av_crc_get_table(AV_CRC_32_IEEE_LE), crc, bytes, size);
}

std::vector<std::uint8_t> encodeIdentity(const Identity& id) {
  std::vector<std::uint8_t> out(kIdentityMagic, kIdentityMagic + 4);
  out.push_back(std::uint8_t(id.kind));
  out.push_back(std::uint8_t(id.standard));
  out.push_back(std::uint8_t(id.version));
  out.push_back(std::uint8_t(id.version >> 8));
  putLe32(out, id.contentBytes);
  putLe32(out, id.contentCrc);
  const char name[] = "mpegunit codec microcode";
  out.insert(out.end(), name, name + 16);
  return out;
}

std::optional<Identity> decodeIdentity(const std::uint8_t* bytes, std::size_t size) {
  if (size != kIdentitySize || std::memcmp(bytes, kIdentityMagic, 4) != 0) return std::nullopt;
  Identity id;
  if (bytes[4] < 1 || bytes[4] > 3 || bytes[5] > 2) return std::nullopt;
  id.kind = Kind(bytes[4]);
  id.standard = Standard(bytes[5]);
  id.version = std::uint16_t(bytes[6] | bytes[7] << 8);
  id.contentBytes = le32(bytes + 8);
  id.contentCrc = le32(bytes + 12);
  return id;
}

void expandGroup(const std::uint8_t in[5], std::uint8_t out[8]) {
  std::memset(out, 0, 8);
  std::memcpy(out, in, 4);
  out[4 + (in[3] & 3)] = in[4];
}

bool unpackGroup(const std::uint8_t in[8], std::uint8_t out[5]) {
  const unsigned slot = 4 + (in[3] & 3);
  for (unsigned i = 4; i < 8; ++i)
    if (i != slot && in[i] != 0) return false;
  std::memcpy(out, in, 4);
  out[4] = in[slot];
  return true;
}

std::vector<Record> buildImage(const ImageInfo& info) {
  // Each image has its own payload: the seed depends on kind and standard.
  std::mt19937 rng(0x5EED0000u + unsigned(info.kind) * 16u + unsigned(info.standard));
  const std::size_t extra = std::size_t(info.kind) * 97 + std::size_t(info.standard) * 13;

  auto block = [&](std::uint32_t address, std::size_t n) {
    return Record{RecordType::Block, kPackModePlain, address, randomBytes(rng, n)};
  };
  auto packed = [&](std::uint8_t mode, std::size_t n) {
    return Record{RecordType::Packed, mode, 0, randomBytes(rng, n)};
  };
  auto single = [&](std::uint32_t address) {
    return Record{RecordType::Single, kPackModePlain, address, randomBytes(rng, 1)};
  };
  auto sync = [](std::uint32_t value) {
    std::vector<std::uint8_t> d;
    putBe32(d, value);
    return Record{RecordType::Sync, kPackModePlain, 0, d};
  };

  std::vector<Record> body;
  body.push_back(sync(2000));
  body.push_back(packed(kPackModePacked, 5 * 60));
  body.push_back(block(0x1000, 4096 + extra));
  body.push_back(Record{RecordType::Block, kPackModePlain, 0x1800, {}});  // empty: never sent
  body.push_back(packed(kPackModePlain, 2048));
  body.push_back(single(0x3F00));
  body.push_back(single(0x3F01));
  body.push_back(block(0x2000, 1024));
  body.push_back(packed(kPackModePacked, 5 * 20));
  body.push_back(sync(5000));

  std::vector<std::uint8_t> content;
  for (const auto& r : body) appendContent(r, content);
  Identity id;
  id.kind = info.kind;
  id.standard = info.standard;
  id.contentBytes = std::uint32_t(content.size());
  id.contentCrc = crcUpdate(0, content.data(), content.size());

  std::vector<Record> records;
  records.push_back(Record{RecordType::Block, kPackModePlain, 0, encodeIdentity(id)});
  records.insert(records.end(), body.begin(), body.end());
  return records;
}

std::vector<std::uint8_t> serialise(const std::vector<Record>& records) {
  std::vector<std::uint8_t> out(kMagic, kMagic + 4);
  putLe32(out, std::uint32_t(records.size()));
  putLe32(out, 0);
  for (const auto& r : records) {
    out.push_back(r.packMode);
    out.push_back(std::uint8_t(r.type));
    out.push_back(0);
    out.push_back(0);
    putLe32(out, std::uint32_t(r.data.size()));
    putLe32(out, r.address);
    putLe32(out, 0);
    out.insert(out.end(), r.data.begin(), r.data.end());
  }
  return out;
}

ParseResult parse(const std::vector<std::uint8_t>& file) {
  ParseResult result;
  if (file.size() < kFileHeader || std::memcmp(file.data(), kMagic, 4) != 0) {
    result.error = "not a microcode image (magic is not C3UX)";
    return result;
  }
  const std::uint32_t count = le32(file.data() + 4);
  std::size_t pos = kFileHeader;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::ostringstream where;
    where << "record " << i << " at offset " << pos;
    if (file.size() - pos < kRecordHeader) {
      result.error = where.str() + ": header runs past the end of the file (count says " +
                     std::to_string(count) + " records)";
      return result;
    }
    const std::uint8_t* h = file.data() + pos;
    Record r;
    r.packMode = h[0];
    r.type = RecordType(h[1] & 0x06);
    const std::uint32_t length = le32(h + 4);
    r.address = le32(h + 8);
    pos += kRecordHeader;
    if (file.size() - pos < length) {
      result.error = where.str() + ": data length " + std::to_string(length) +
                     " runs past the end of the file";
      return result;
    }
    r.data.assign(file.begin() + std::ptrdiff_t(pos), file.begin() + std::ptrdiff_t(pos + length));
    pos += length;
    if (r.type == RecordType::Packed && r.packMode == kPackModePacked && length % 5 != 0) {
      result.error = where.str() + ": packed record length " + std::to_string(length) +
                     " is not a multiple of 5";
      return result;
    }
    if (r.type == RecordType::Sync && length != 0 && length < 4) {
      result.error = where.str() + ": synchronisation record has fewer than 4 data bytes";
      return result;
    }
    result.records.push_back(std::move(r));
  }
  return result;
}

std::optional<Identity> verify(const std::vector<Record>& records, std::string* error) {
  auto fail = [&](const std::string& why) -> std::optional<Identity> {
    if (error) *error = why;
    return std::nullopt;
  };
  if (records.empty() || records[0].type != RecordType::Block)
    return fail("first record is not the identity block");
  auto id = decodeIdentity(records[0].data.data(), records[0].data.size());
  if (!id) return fail("first record does not hold an identity header");
  std::vector<std::uint8_t> content;
  for (std::size_t i = 1; i < records.size(); ++i) appendContent(records[i], content);
  if (content.size() != id->contentBytes)
    return fail("content is " + std::to_string(content.size()) + " bytes, identity says " +
                std::to_string(id->contentBytes));
  if (crcUpdate(0, content.data(), content.size()) != id->contentCrc)
    return fail("content checksum does not match the identity header");
  return id;
}

std::string inspect(const std::vector<std::uint8_t>& file) {
  std::ostringstream out;
  const ParseResult parsed = parse(file);
  static const char* const typeNames[] = {"block", "packed", "single", "sync"};
  for (std::size_t i = 0; i < parsed.records.size(); ++i) {
    const Record& r = parsed.records[i];
    out << "record " << i << ": " << typeNames[unsigned(r.type) / 2];
    if (r.type == RecordType::Packed) out << " mode " << unsigned(r.packMode);
    out << ", " << r.data.size() << " bytes";
    if (r.type == RecordType::Block || r.type == RecordType::Single)
      out << ", address 0x" << std::hex << r.address << std::dec;
    if (r.type == RecordType::Sync && r.data.size() >= 4)
      out << ", value " << (std::uint32_t(r.data[0]) << 24 | std::uint32_t(r.data[1]) << 16 |
                            std::uint32_t(r.data[2]) << 8 | r.data[3]);
    if (r.data.empty()) out << " (skipped by the loader)";
    out << "\n";
  }
  if (!parsed.ok()) {
    out << "damaged: " << parsed.error << "\n";
    return out.str();
  }
  std::string why;
  if (auto id = verify(parsed.records, &why)) {
    out << "image: " << kindName(id->kind) << ", " << standardName(id->standard) << ", version "
        << id->version << ", " << id->contentBytes << " content bytes, intact\n";
  } else {
    out << "damaged: " << why << "\n";
  }
  return out.str();
}

}  // namespace emu::ucode
