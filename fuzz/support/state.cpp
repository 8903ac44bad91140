#include "support/state.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <memory>

#include "pf/host/files.hpp"
#include "tools/host/temp_dir.hpp"

namespace fuzz {

namespace fs = std::filesystem;

const fs::path& stateDir() {
  static const std::unique_ptr<mpegunit::TempDir> state = [] {
    try {
      return std::make_unique<mpegunit::TempDir>("mpegunit-fuzz");
    } catch (const std::exception& e) {
      fail("state", e.what());
    }
  }();
  return state->path();
}

void writeDriverFile(const char* name, const std::uint8_t* bytes, std::size_t size) {
  const auto folder = pf::files::driversFolder();
  if (!folder) fail("state", "no drivers folder");
  std::ofstream out(*folder / name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(size));
  out.close();
  if (!out) fail("state", "cannot write to the drivers folder");
}

void fail(const char* harness, const char* what) {
  std::fprintf(stderr, "%s: %s\n", harness, what);
  std::abort();
}

}  // namespace fuzz
