#include <CLI/CLI.hpp>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <iostream>

#include "emulator/fault_script.hpp"
#include "tools/mpegunit/cli.hpp"

namespace cli {

void addGlobalOptions(CLI::App& app, Globals& g) {
  app.add_option("--state", g.stateDir,
                 "Folder of the registry file and the drivers folder (default: per-user state folder)");
  app.add_option("--trace", g.tracePath, "Write the USB traffic to this pcap file");
  app.add_flag("-v,--verbose", g.verbose, "Say what is happening");
  auto* unit = "Emulated unit";
  app.add_option("--signal", g.signal, "Inputs that carry a signal")
      ->check(CLI::IsMember({"composite", "svideo", "both", "none"}))
      ->group(unit);
  app.add_option("--source-standard", g.sourceStandard, "Standard of the input signal")
      ->check(CLI::IsMember({"ntsc", "pal"}))
      ->group(unit);
  app.add_flag("--full-speed", g.fullSpeed, "Attach the unit at full speed (64-byte packets)")->group(unit);
  app.add_option("--revision", g.revision, "Hardware revision word, hex (default 1003)")->group(unit);
  app.add_flag("--fast", g.fast, "Stream as fast as the unit can encode, not in real time")->group(unit);
  app.add_option("--fault", g.faults,
                 "Faults to inject, ';'-separated: in#N=STATUS[/BYTES], in#N=zero[xK], in#N=stall, "
                 "in#N=noresponse, in#N=gone (out#N likewise), unplug@MS, unplug#N, "
                 "cmd:CODE[#N]=STATUS|stall, slow-control=MS, slow-bulk=MS")
      ->group(unit);
}

std::filesystem::path stateDir(const Globals& g) {
  if (!g.stateDir.empty()) return g.stateDir;
  if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg) {
    return std::filesystem::path(xdg) / "mpegunit";
  }
  if (const char* home = std::getenv("HOME"); home && *home) {
    return std::filesystem::path(home) / ".local" / "state" / "mpegunit";
  }
  return std::filesystem::current_path() / ".mpegunit";
}

std::unique_ptr<mpegunit::Session> openSession(
    const Globals& g, const std::function<void(mpegunit::SessionOptions&)>& adjust) {
  mpegunit::SessionOptions options;
  options.stateDir = stateDir(g);
  options.unit.speed = g.fullSpeed ? pf::usb::Speed::Full : pf::usb::Speed::High;
  options.unit.pacing = g.fast ? emu::Pacing::Fast : emu::Pacing::RealTime;
  options.unit.signal.composite = g.signal == "composite" || g.signal == "both";
  options.unit.signal.svideo = g.signal == "svideo" || g.signal == "both";
  options.unit.signal.fields60 = g.sourceStandard == "ntsc";
  if (!g.revision.empty()) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(g.revision.c_str(), &end, 16);
    if (end == g.revision.c_str() || *end != '\0' || value > 0xFFFF) {
      throw Failure("--revision must be a hex word, such as 1003", kExitUsage);
    }
    options.unit.revision = static_cast<std::uint16_t>(value);
  }
  if (!g.faults.empty()) {
    std::string why;
    auto script = emu::parseFaultScript(g.faults, &why);
    if (!script) throw Failure("--fault: " + why, kExitUsage);
    options.unit.faults = *script;
  }
  options.bus.pcapPath = g.tracePath;
  // Requests of a command line never time out in the class driver: the
  // commands bound their own waits.
  options.adapter.requestTimeoutSeconds = 0;
  if (adjust) adjust(options);
  std::error_code ec;
  std::filesystem::create_directories(options.stateDir, ec);
  if (ec) throw Failure("cannot create " + options.stateDir.string() + ": " + ec.message());
  verbose(g, "state folder " + options.stateDir.string());
  std::string why;
  auto session = mpegunit::Session::open(options, &why);
  if (!session) throw Failure(why);
  return session;
}

void verbose(const Globals& g, const std::string& line) {
  if (g.verbose) std::cerr << "mpegunit: " << line << "\n";
}

namespace {
std::atomic<bool> gInterrupted{false};
extern "C" void onInterrupt(int) { gInterrupted = true; }
}  // namespace

bool interrupted() { return gInterrupted.load(); }

void installInterruptHandler() {
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  // The first Ctrl-C stops the command cleanly; a second one ends the
  // program at once.
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

}  // namespace cli
