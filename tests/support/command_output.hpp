// What a shell command writes to its standard output, for tests that check a
// stream or a trace with an outside tool (ffprobe, tshark).
#pragma once

#include <cstdio>
#include <string>

namespace rig {

// The command's whole standard output; empty when it could not be started.
inline std::string commandOutput(const std::string& command) {
  std::string out;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    pclose(pipe);
  }
  return out;
}

}  // namespace rig
