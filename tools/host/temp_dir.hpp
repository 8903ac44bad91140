// A fresh temporary folder of its own, removed with its contents when the
// owner goes: the state folder of a test, benchmark or fuzz run.
#pragma once

#include <filesystem>
#include <string>

namespace mpegunit {

class TempDir {
 public:
  // Makes <system temporary folder>/<prefix>-XXXXXX. Throws
  // std::runtime_error with a one-line reason when it cannot.
  explicit TempDir(const std::string& prefix = "mpegunit");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

}  // namespace mpegunit
