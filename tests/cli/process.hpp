// Runs the mpegunit program as a user would: a child process with its
// arguments, standard output and error collected, and a bounded wait.
#pragma once

#include <chrono>
#include <csignal>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tools/host/temp_dir.hpp"

namespace clitest {

struct Outcome {
  int status = -1;       // exit status; 128 + signal when killed by one
  bool timedOut = false; // killed after the time limit
  std::string out;       // standard output
  std::string err;       // standard error
};

struct RunOptions {
  std::chrono::seconds limit{60};
  // Sent once, this long after the start (Ctrl-C as a user gives it).
  std::optional<std::chrono::milliseconds> interruptAfter;
  std::string input;  // written to standard input
};

// Runs program with args; never waits longer than options.limit.
Outcome run(const std::string& program, const std::vector<std::string>& args,
            const RunOptions& options = {});

// The mpegunit binary under test.
std::string mpegunit();

// Runs mpegunit with --state stateDir first and then args.
Outcome mpegunit(const std::filesystem::path& stateDir, const std::vector<std::string>& args,
                 const RunOptions& options = {});

// True when program is found on PATH.
bool onPath(const std::string& program);

// A fresh temporary folder, removed with its contents at destruction.
using TempDir = mpegunit::TempDir;

// A file's contents.
std::string readFile(const std::filesystem::path& path);

}  // namespace clitest
