// Fuzzes the microcode image loader (MicrocodeLoadImage) on arbitrary file
// bytes, against the emulated unit.
//
// Input: the whole image file, written to the drivers folder as "fuzz.ux"
// and loaded between the begin- and finish-load commands, as the codec
// engine does.
// Checks: no sanitizer finding or platform bugcheck; no pool of the driver's
// tag left over; a file the loader rejects for its header
// (STATUS_IO_DEVICE_ERROR) sends no microcode command to the unit.
#include <cstdint>
#include <cstring>

#include "driver/kivchip.h"
#include "driver/kivproto.h"
#include "support/state.hpp"
#include "support/unit_bench.hpp"

namespace {

const wchar_t kPath[] = L"\\SystemRoot\\System32\\drivers\\fuzz.ux";

// Vendor requests carrying a microcode command (0x10-0x13) so far.
std::size_t microcodeCommands(const emu::Unit& unit) {
  std::size_t count = 0;
  for (const auto& record : unit.controlLog()) {
    const unsigned code = record.setup.wIndex & 0xFF;
    if ((record.setup.bmRequestType & 0x60) == 0x40 && code >= KIV_CMD_UCODE_BLOCK &&
        code <= KIV_CMD_UCODE_SYNC) {
      ++count;
    }
  }
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::UnitBench bench;
  if (!NT_SUCCESS(bench.configure())) fuzz::fail("microcode_image", "the emulated unit did not configure");
  DeviceContext* d = bench.device();
  fuzz::writeDriverFile("fuzz.ux", data, size);

  if (VendorBeginMicrocodeLoad(d) != STATUS_SUCCESS) fuzz::fail("microcode_image", "begin-load failed");
  const std::size_t before = microcodeCommands(*bench.unit());
  const NTSTATUS status = MicrocodeLoadImage(d, kPath);
  // A damaged image stops at its first bad record, after the records before
  // it; one that is not an image at all (its header) sends nothing.
  const bool notAnImage = size < UCODE_FILE_HEADER_SIZE || data[0] != UCODE_MAGIC0 ||
                          data[1] != UCODE_MAGIC1 || data[2] != UCODE_MAGIC2 || data[3] != UCODE_MAGIC3;
  if (status == STATUS_IO_DEVICE_ERROR && notAnImage && microcodeCommands(*bench.unit()) != before) {
    fuzz::fail("microcode_image", "a file that is not an image sent microcode commands");
  }
  if (status == STATUS_PENDING) fuzz::fail("microcode_image", "the load answered pending");
  VendorFinishMicrocodeLoad(d);  // the unit's verdict on the bytes is not examined here
  return 0;
}
