// ucode-tool: writes our five microcode images or lists one image's records.
//   ucode-tool build DIR      writes enc1ntsc.ux ... decoder.ux into DIR
//   ucode-tool inspect FILE   lists the records and says whether the image is intact
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "emulator/microcode_image.hpp"

namespace {

int usage() {
  std::cerr << "usage: ucode-tool build DIR | ucode-tool inspect FILE\n";
  return 2;
}

int build(const std::filesystem::path& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) {
    std::cerr << "ucode-tool: cannot create " << dir << ": " << ec.message() << "\n";
    return 1;
  }
  for (const auto& info : emu::ucode::kImages) {
    const auto bytes = emu::ucode::serialise(emu::ucode::buildImage(info));
    const auto path = dir / info.fileName;
    const auto temp = dir / (std::string(info.fileName) + ".tmp");
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    out.close();
    if (!out) {
      std::cerr << "ucode-tool: cannot write " << temp << "\n";
      return 1;
    }
    std::filesystem::rename(temp, path, ec);
    if (ec) {
      std::cerr << "ucode-tool: cannot rename to " << path << ": " << ec.message() << "\n";
      return 1;
    }
  }
  return 0;
}

int inspect(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    std::cerr << "ucode-tool: cannot open " << file << "\n";
    return 1;
  }
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
  const std::string listing = emu::ucode::inspect(bytes);
  std::cout << listing;
  return listing.find("damaged:") == std::string::npos ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return usage();
  if (std::strcmp(argv[1], "build") == 0) return build(argv[2]);
  if (std::strcmp(argv[1], "inspect") == 0) return inspect(argv[2]);
  return usage();
}
