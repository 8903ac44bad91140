#include "emulator/encoder_message.hpp"

namespace emu {
namespace {
std::uint32_t be32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}
}  // namespace

std::optional<EncoderMessage> parseEncoderMessage(const std::uint8_t* bytes, std::size_t size,
                                                  std::string* why) {
  auto fail = [&](std::string reason) -> std::optional<EncoderMessage> {
    *why = std::move(reason);
    return std::nullopt;
  };
  if (size < 5) return fail("message of " + std::to_string(size) + " bytes is shorter than its header");
  EncoderMessage msg;
  msg.flag = bytes[0];
  if (msg.flag > 1) return fail("flag byte " + std::to_string(msg.flag) + " is neither 0 nor 1");
  const std::uint32_t words = be32(bytes + 1);
  if ((size - 5) % 4 != 0 || (size - 5) / 4 != words)
    return fail("word count " + std::to_string(words) + " does not match a message of " +
                std::to_string(size) + " bytes");
  std::size_t w = 0;
  auto word = [&](std::size_t i) { return be32(bytes + 5 + 4 * i); };
  while (w < words) {
    if (words - w < 2) return fail("command at word " + std::to_string(w) + " has no header word");
    MessageCommand cmd;
    cmd.prefix = word(w);
    const std::uint32_t header = word(w + 1);
    cmd.code = std::uint16_t(header >> 16);
    cmd.channel = std::uint8_t(header >> 8);
    const std::uint32_t m = header & 0xFF;
    w += 2;
    if (words - w < m)
      return fail("command 0x" + std::to_string(cmd.code) + " announces " + std::to_string(m) +
                  " arguments past the end of the message");
    for (std::uint32_t i = 0; i < m; ++i) cmd.args.push_back(word(w + i));
    w += m;
    msg.commands.push_back(std::move(cmd));
  }
  if (msg.commands.empty()) return fail("message holds no command");
  return msg;
}

}  // namespace emu
