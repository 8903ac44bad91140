#include "emulator/microcode_loader.hpp"

#include "emulator/protocol.hpp"

namespace emu {
namespace {
std::uint32_t be32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}
}  // namespace

void MicrocodeLoader::begin() {
  *this = MicrocodeLoader();
  loading_ = true;
}

void MicrocodeLoader::damage(const std::string& why) {
  if (damage_.empty()) damage_ = why;
}

void MicrocodeLoader::takeContent(const std::uint8_t* bytes, std::size_t size) {
  if (inIdentity_) {
    identity_.insert(identity_.end(), bytes, bytes + size);
    return;
  }
  crc_ = ucode::crcUpdate(crc_, bytes, size);
  stats_.contentBytes += size;
}

void MicrocodeLoader::closeRecord() {
  if (inIdentity_ && expected_ == 0) inIdentity_ = false;
}

bool MicrocodeLoader::record(std::uint8_t code, const std::uint8_t* params, std::size_t size,
                             std::string* why) {
  if (!loading_) {
    *why = "microcode record outside a load (no command 0x28)";
    return false;
  }
  if (expected_ > 0) {
    damage("a record began while " + std::to_string(expected_) + " bytes of the previous one were missing");
    expected_ = 0;
    group_.clear();
    inIdentity_ = false;
  }
  const bool first = firstRecord_;
  firstRecord_ = false;
  switch (code) {
    case proto::kUcodeBlock: {
      const std::uint32_t address = be32(params);
      expected_ = be32(params + 4);
      packedGroups_ = false;
      ++stats_.blocks;
      if (first) {
        if (address != 0 || expected_ != ucode::kIdentitySize) damage("image does not begin with an identity block");
        inIdentity_ = true;
      }
      break;
    }
    case proto::kUcodePacked: {
      const std::uint32_t count = be32(params);
      const std::uint8_t mode = params[4];
      ++stats_.packed;
      if (first) damage("image does not begin with an identity block");
      if (mode == ucode::kPackModePacked) {
        if (count % 8 != 0) damage("packed record count " + std::to_string(count) + " is not whole groups");
        expected_ = count;
        packedGroups_ = true;
      } else if (mode == ucode::kPackModePlain) {
        expected_ = count;
        packedGroups_ = false;
      }
      // Other modes announce bytes that never follow; nothing to take.
      break;
    }
    case proto::kUcodeSingle: {
      ++stats_.singles;
      if (first) damage("image does not begin with an identity block");
      takeContent(params, size);
      break;
    }
    case proto::kUcodeSync:
      ++stats_.syncs;
      if (first) damage("image does not begin with an identity block");
      break;
    default:
      *why = "not a microcode record command";
      return false;
  }
  if (expected_ == 0) inIdentity_ = false;
  return true;
}

std::size_t MicrocodeLoader::bulk(const std::uint8_t* bytes, std::size_t size) {
  const std::size_t n = std::min(size, expected_);
  stats_.bulkBytes += n;
  if (!packedGroups_) {
    takeContent(bytes, n);
  } else {
    for (std::size_t i = 0; i < n; ++i) {
      group_.push_back(bytes[i]);
      if (group_.size() < 8) continue;
      std::uint8_t out[5];
      if (!ucode::unpackGroup(group_.data(), out)) damage("a packed group has stray bytes in its spare slots");
      takeContent(out, 5);
      group_.clear();
    }
  }
  expected_ -= n;
  if (size > n) damage(std::to_string(size - n) + " bulk bytes beyond the record's count");
  closeRecord();
  return n;
}

LoadedMicrocode MicrocodeLoader::finish() {
  LoadedMicrocode result;
  if (!loading_) {
    result.reason = "microcode load finished without having begun";
    return result;
  }
  loading_ = false;
  if (expected_ > 0) damage("the last record is missing " + std::to_string(expected_) + " bytes");
  auto id = ucode::decodeIdentity(identity_.data(), identity_.size());
  if (damage_.empty() && !id) damage("no identity header: not one of our images");
  if (damage_.empty() && id->contentBytes != stats_.contentBytes)
    damage("received " + std::to_string(stats_.contentBytes) + " content bytes, image has " +
           std::to_string(id->contentBytes));
  if (damage_.empty() && id->contentCrc != crc_) damage("content checksum mismatch: image damaged");
  if (!damage_.empty()) {
    result.reason = "microcode refused: " + damage_;
    return result;
  }
  result.valid = true;
  result.kind = id->kind;
  result.standard = id->standard;
  return result;
}

}  // namespace emu
