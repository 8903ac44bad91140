// The trace sink of DbgPrint: every complete line is kept in memory (the
// newest 100000 lines) and, when echo is on, written to stderr as well.
// Echo starts on when the environment variable MPEGUNIT_TRACE is set.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace pf::trace {

// Adds text to the trace as DbgPrint does; a line ends at '\n'.
void write(const std::string& text);

std::vector<std::string> lines();
// Lines that contain needle.
std::size_t count(const std::string& needle);
bool contains(const std::string& needle);
void clear();

void setEcho(bool on);
bool echo();

}  // namespace pf::trace
