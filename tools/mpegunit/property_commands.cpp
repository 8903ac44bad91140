// mpegunit get / set / list.
#include <CLI/CLI.hpp>

#include <iomanip>
#include <iostream>

#include "tools/mpegunit/cli.hpp"
#include "tools/mpegunit/properties.hpp"

namespace cli {

void addPropertyCommands(CLI::App& app, Globals& globals) {
  auto* get = app.add_subcommand("get", "Show one setting of the device");
  auto name = std::make_shared<std::string>();
  get->add_option("NAME", *name, "Setting (mpegunit list shows them)")->required();
  get->callback([&globals, name] {
    auto session = openSession(globals);
    std::cout << getProperty(session->filter(), *name) << "\n";
  });

  auto* set = app.add_subcommand("set", "Change one setting of the device (it persists)");
  auto setName = std::make_shared<std::string>();
  auto value = std::make_shared<std::string>();
  set->add_option("NAME", *setName, "Setting (mpegunit list shows them)")->required();
  set->add_option("VALUE", *value, "New value (idle takes none)");
  set->callback([&globals, setName, value] {
    if (value->empty() && *setName != "idle") throw Failure("set " + *setName + " needs a VALUE", kExitUsage);
    auto session = openSession(globals);
    setProperty(session->filter(), *setName, *value);
    for (const auto& p : propertyNames()) {
      if (*setName == p.name && p.readable) {
        std::cout << *setName << " = " << getProperty(session->filter(), *setName) << "\n";
      }
    }
  });

  auto* list = app.add_subcommand("list", "List the settings with their current values");
  list->callback([&globals] {
    auto session = openSession(globals);
    for (const auto& p : propertyNames()) {
      const std::string current = p.readable ? getProperty(session->filter(), p.name) : "-";
      std::cout << std::left << std::setw(14) << p.name << std::setw(20) << p.values << std::setw(48) << p.help
                << current << "\n";
    }
  });
}

}  // namespace cli
