// mpegunit microcode build / inspect: our own microcode images.
#include <CLI/CLI.hpp>

#include <fstream>
#include <iostream>
#include <iterator>

#include "emulator/microcode_image.hpp"
#include "tools/mpegunit/cli.hpp"

namespace cli {

void addMicrocodeCommand(CLI::App& app, Globals&) {
  auto* cmd = app.add_subcommand("microcode", "Write or inspect microcode image files");
  cmd->require_subcommand(1);
  auto dir = std::make_shared<std::string>();
  auto* build = cmd->add_subcommand("build", "Write the five images into a folder");
  build->add_option("DIR", *dir, "Folder")->required();
  build->callback([dir] {
    std::string why;
    if (!mpegunit::ensureMicrocode(*dir, &why)) throw Failure(why);
    for (const auto& info : emu::ucode::kImages) std::cout << (std::filesystem::path(*dir) / info.fileName).string() << "\n";
  });
  auto file = std::make_shared<std::string>();
  auto* inspect = cmd->add_subcommand("inspect", "List an image's records and what is wrong with it");
  inspect->add_option("FILE", *file, "Image file")->required();
  inspect->callback([file] {
    std::ifstream in(*file, std::ios::binary);
    if (!in) throw Failure("cannot read " + *file);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::cout << emu::ucode::inspect(bytes);
    const auto parsed = emu::ucode::parse(bytes);
    std::string error = parsed.error;
    if (error.empty()) emu::ucode::verify(parsed.records, &error);
    if (!error.empty()) throw Failure(*file + ": " + error);
  });
}

}  // namespace cli
