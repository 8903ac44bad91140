// The handle table shared by registry keys, files and system threads.
// Tests use it to check that every handle an operation opened was closed.
#pragma once

#include <cstddef>
#include <string>

namespace pf::handles {

// Open handles, of one kind ("key", "file", "thread") or of all.
std::size_t openCount(const std::string& kind);
std::size_t openCount();
// One line per open handle: its value, kind and what it names.
std::string report();

}  // namespace pf::handles
