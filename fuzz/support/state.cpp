#include "support/state.hpp"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "pf/host/files.hpp"

namespace fuzz {

namespace fs = std::filesystem;

namespace {

struct TempState {
  fs::path path;
  TempState() {
    std::string pattern = (fs::temp_directory_path() / "mpegunit-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) fail("state", "cannot make a temporary folder");
    path = pattern;
  }
  ~TempState() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

}  // namespace

const fs::path& stateDir() {
  static TempState state;
  return state.path;
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
