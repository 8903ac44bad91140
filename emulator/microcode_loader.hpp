// The unit's side of a microcode download: command 0x28 opens a load, the
// record commands 0x10-0x13 and their bulk OUT bytes fill it, command 0x25
// closes it and the image is recognised by its content.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "emulator/microcode_image.hpp"

namespace emu {

// What the codec holds after a load.
struct LoadedMicrocode {
  bool valid = false;        // an intact image of ours
  ucode::Kind kind = ucode::Kind::Decoder;
  ucode::Standard standard = ucode::Standard::Any;
  std::string reason;        // why not valid ("no microcode loaded", ...)
};

struct LoaderStats {
  unsigned blocks = 0, packed = 0, singles = 0, syncs = 0;
  std::size_t bulkBytes = 0;     // bytes taken from bulk OUT
  std::size_t contentBytes = 0;  // content bytes after unpacking
};

class MicrocodeLoader {
 public:
  bool loading() const { return loading_; }
  // True while the current record waits for bulk OUT bytes.
  bool wantsBulk() const { return loading_ && expected_ > 0; }

  void begin();
  // Records commands 0x10-0x12 with their parameter bytes; 0x13 with none.
  // Returns false (and why) when the command is not acceptable now.
  bool record(std::uint8_t code, const std::uint8_t* params, std::size_t size, std::string* why);
  // Bulk OUT bytes for the current record; returns the bytes taken.
  std::size_t bulk(const std::uint8_t* bytes, std::size_t size);
  LoadedMicrocode finish();

  const LoaderStats& stats() const { return stats_; }

 private:
  void damage(const std::string& why);
  void takeContent(const std::uint8_t* bytes, std::size_t size);
  void closeRecord();

  bool loading_ = false;
  std::size_t expected_ = 0;     // bulk bytes still to come for this record
  bool packedGroups_ = false;    // the bytes come as 8-byte groups
  std::vector<std::uint8_t> group_;
  bool firstRecord_ = true;      // the next content goes to the identity
  bool inIdentity_ = false;
  std::vector<std::uint8_t> identity_;
  std::uint32_t crc_ = 0;
  std::string damage_;
  LoaderStats stats_;
};

}  // namespace emu
