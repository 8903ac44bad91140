// The host folder that stands for \SystemRoot\System32\drivers. ZwCreateFile
// resolves "\SystemRoot\System32\drivers\<name>" (any case, as on Windows;
// names compared without regard to case too) to a file in it.
#pragma once

#include <filesystem>
#include <optional>

namespace pf::files {

void setDriversFolder(const std::filesystem::path& folder);
std::optional<std::filesystem::path> driversFolder();
// No folder: every ZwCreateFile answers STATUS_OBJECT_PATH_NOT_FOUND.
void clearDriversFolder();

}  // namespace pf::files
