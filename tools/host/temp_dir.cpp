#include "tools/host/temp_dir.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace mpegunit {

namespace fs = std::filesystem;

TempDir::TempDir(const std::string& prefix) {
  std::error_code ec;
  const fs::path base = fs::temp_directory_path(ec);
  if (ec) throw std::runtime_error("no temporary folder: " + ec.message());
  std::string pattern = (base / (prefix + "-XXXXXX")).string();
  if (!mkdtemp(pattern.data())) {
    const int error = errno;
    throw std::runtime_error("cannot create a temporary folder in " + base.string() + ": " +
                             std::strerror(error));
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

}  // namespace mpegunit
