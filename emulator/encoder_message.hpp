// Parser of the codec's parameter messages (data stage of command 0x20):
// flag byte, word count N (BE32), then N big-endian words holding one or more
// commands of prefix word, header (code BE16, channel, argument count M) and
// M argument words.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace emu {

struct MessageCommand {
  std::uint32_t prefix = 0;
  std::uint16_t code = 0;
  std::uint8_t channel = 0;
  std::vector<std::uint32_t> args;
  // Byte b of argument word w, for messages whose words are laid out byte-wise.
  std::uint8_t argByte(std::size_t w, unsigned b) const {
    return w < args.size() ? std::uint8_t(args[w] >> (24 - 8 * b)) : 0;
  }
};

struct EncoderMessage {
  std::uint8_t flag = 0;
  std::vector<MessageCommand> commands;
};

// Parses one message; on failure returns nothing and says why.
std::optional<EncoderMessage> parseEncoderMessage(const std::uint8_t* bytes, std::size_t size,
                                                  std::string* why);

}  // namespace emu
