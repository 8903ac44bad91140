// Shared pieces of the mpegunit command line: the global options, the
// failure that ends a command with a one-line reason, and opening the system.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "tools/host/session.hpp"

namespace CLI {
class App;
}

namespace cli {

// Ends a command: main prints "mpegunit: <what>" on stderr and exits with code.
class Failure : public std::runtime_error {
 public:
  explicit Failure(const std::string& what, int code = 1) : std::runtime_error(what), code_(code) {}
  int code() const { return code_; }

 private:
  int code_;
};

// Exit codes.
inline constexpr int kExitFailure = 1;    // the operation failed
inline constexpr int kExitUsage = 2;      // the command line or a value is wrong
inline constexpr int kExitInterrupt = 130;

struct Globals {
  std::filesystem::path stateDir;  // empty: the per-user default
  std::string tracePath;           // pcap of the USB traffic
  bool verbose = false;
  // The emulated unit.
  std::string signal = "composite";      // composite|svideo|both|none
  std::string sourceStandard = "ntsc";   // ntsc|pal
  bool fullSpeed = false;
  std::string revision;                  // hex; empty: the unit's default
  bool fast = false;
  std::string faults;                    // the emulator's fault script
};

// Adds the global options to app (each subcommand accepts them too).
void addGlobalOptions(CLI::App& app, Globals& globals);

// The state folder: --state, else $XDG_STATE_HOME/mpegunit, else
// ~/.local/state/mpegunit.
std::filesystem::path stateDir(const Globals& globals);

// Opens the system: the emulated unit as the options describe it, the class
// driver and our driver. Throws Failure with the reason.
// adjust, when given, may change the options before the system opens.
std::unique_ptr<mpegunit::Session> openSession(
    const Globals& globals, const std::function<void(mpegunit::SessionOptions&)>& adjust = {});

// Prints a line on stderr when --verbose is given.
void verbose(const Globals& globals, const std::string& line);

// Command registration.
void addCaptureCommand(CLI::App& app, Globals& globals);
void addPlayCommand(CLI::App& app, Globals& globals);
void addInfoCommand(CLI::App& app, Globals& globals);
void addPropertyCommands(CLI::App& app, Globals& globals);
void addMicrocodeCommand(CLI::App& app, Globals& globals);

// Set by SIGINT; long commands poll it.
bool interrupted();
void installInterruptHandler();

}  // namespace cli
