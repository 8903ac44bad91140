// mpegunit: capture from the unit, play to it, look at it and change its
// settings, through the class driver's application side. By default the unit
// is the emulated one.
#include <CLI/CLI.hpp>

#include <iostream>

#include "pf/host/registry.hpp"
#include "tools/mpegunit/cli.hpp"

int main(int argc, char** argv) {
  CLI::App app{"Capture from and play to the USB MPEG unit"};
  app.require_subcommand(1);
  cli::Globals globals;
  cli::addGlobalOptions(app, globals);
  cli::addCaptureCommand(app, globals);
  cli::addPlayCommand(app, globals);
  cli::addInfoCommand(app, globals);
  cli::addPropertyCommands(app, globals);
  cli::addMicrocodeCommand(app, globals);
  for (auto* sub : app.get_subcommands({})) sub->fallthrough();

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    std::cerr << "mpegunit: " << e.what() << "\n";
    return cli::kExitUsage;
  } catch (const cli::Failure& e) {
    std::cerr << "mpegunit: " << e.what() << "\n";
    return e.code();
  } catch (const std::exception& e) {
    std::cerr << "mpegunit: " << e.what() << "\n";
    return cli::kExitFailure;
  }
  return 0;
}
