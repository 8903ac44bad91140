#include "emulator/command_table.hpp"

#include <cstdio>

#include "emulator/protocol.hpp"

namespace emu {
namespace {

using namespace proto;

constexpr CommandEntry kCommands[] = {
    // code              name                   dir       wLength    data in wIndex high
    {kReadRevision,    "read revision",        Dir::In,  2, 2,     false},
    {kAudioCommand1,   "audio command 1",      Dir::In,  0, 0,     false},
    {kAudioCommand2,   "audio command 2",      Dir::In,  0, 0,     false},
    {kModeIdle,        "mode idle",            Dir::In,  0, 0,     false},
    {kModeEncode,      "mode encode",          Dir::In,  0, 0,     false},
    {kModeDecode,      "mode decode",          Dir::In,  0, 0,     false},
    {kUcodeBlock,      "microcode block",      Dir::Out, 8, 8,     false},
    {kUcodePacked,     "microcode packed",     Dir::Out, 5, 5,     false},
    {kUcodeSingle,     "microcode single",     Dir::Out, 5, 5,     false},
    {kUcodeSync,       "microcode sync",       Dir::Out, 0, 0,     false},
    {kEncoderMessage,  "encoder message",      Dir::Out, 5, 255,   false},
    {kStartEncoder,    "start encoder",        Dir::Out, 0, 0,     false},
    {kStartDecoder,    "start decoder",        Dir::Out, 0, 0,     false},
    {kResetCodec,      "reset codec",          Dir::Out, 0, 0,     false},
    {kFinishLoad,      "finish microcode",     Dir::Out, 0, 0,     false},
    {kInitDecoder,     "init decoder",         Dir::Out, 0, 0,     false},
    {kInitEncoder,     "init encoder",         Dir::Out, 0, 0,     false},
    {kBeginLoad,       "begin microcode",      Dir::Out, 0, 0,     false},
    {kFlushEncoder,    "flush encoder",        Dir::Out, 0, 0,     false},
    {kReadByte,        "read memory byte",     Dir::In,  1, 1,     false},
    {kWriteByte,       "write memory byte",    Dir::Out, 0, 0,     true},
    {kBusReadRegister, "bus read register",    Dir::In,  1, 1,     false},
    {kBusRead,         "bus read",             Dir::In,  1, 255,   false},
    {kBusWrite,        "bus write",            Dir::Out, 1, 255,   false},
    {kCodecAddress,    "codec address",        Dir::In,  0, 0,     false},
    {kCodecWrite,      "codec write",          Dir::In,  0, 0,     false},
    {kCodecSeparator,  "codec separator",      Dir::In,  0, 0,     false},
};

}  // namespace

const CommandEntry* findCommand(std::uint16_t wIndex) {
  for (const auto& entry : kCommands) {
    if (entry.code != (wIndex & 0xFF)) continue;
    if (!entry.dataInIndexHigh && (wIndex >> 8) != 0) return nullptr;
    return &entry;
  }
  return nullptr;
}

std::string checkShape(const CommandEntry& entry, const pf::usb::SetupPacket& setup) {
  char why[160];
  if ((setup.bmRequestType & 0x7F) != kVendorInterface || setup.bRequest != 0) {
    std::snprintf(why, sizeof why, "%s: request type 0x%02X request %u, expected vendor/interface request 0",
                  entry.name, setup.bmRequestType, setup.bRequest);
    return why;
  }
  if (setup.wLength < entry.minLength || setup.wLength > entry.maxLength) {
    std::snprintf(why, sizeof why, "%s: data stage of %u bytes, expected %u to %u", entry.name,
                  setup.wLength, entry.minLength, entry.maxLength);
    return why;
  }
  if (setup.wLength != 0 && setup.deviceToHost() != (entry.dir == Dir::In)) {
    std::snprintf(why, sizeof why, "%s: data stage in the wrong direction", entry.name);
    return why;
  }
  return {};
}

}  // namespace emu
