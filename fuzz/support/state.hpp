// The process-wide state folder of a harness: a temporary folder holding the
// registry file and the drivers folder (with our microcode images), removed
// when the process ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>

namespace fuzz {

// The folder, made on first use; a failure ends the process with a one-line
// reason. Nothing is put in it yet: mpegunit::prepareState or a Session does.
const std::filesystem::path& stateDir();

// Writes bytes to name in the drivers folder; ends the process on failure.
void writeDriverFile(const char* name, const std::uint8_t* bytes, std::size_t size);

// [[noreturn]] one-line failure of a harness's own check: the fuzzer records
// the input as a crash.
[[noreturn]] void fail(const char* harness, const char* what);

}  // namespace fuzz
