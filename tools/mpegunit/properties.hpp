// The device's settings by friendly name, read and written through the
// filter's property sets as any application would.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "pf/host/ks_client.hpp"

namespace cli {

struct PropertyName {
  const char* name;
  const char* values;  // what a user writes, e.g. "0..255" or "ntsc|pal"
  const char* help;
  bool readable;
  bool writable;
};

// Every friendly name, in the order `list` shows them.
const std::vector<PropertyName>& propertyNames();

// Reads one setting as a user would write it. Throws Failure.
std::string getProperty(pf::ks::Filter& filter, const std::string& name);
// Writes one setting. Throws Failure with the accepted values when the
// value is refused; a refused value changes nothing.
void setProperty(pf::ks::Filter& filter, const std::string& name, const std::string& value);

// The range a numeric property's basic support announces, as "min..max".
std::optional<std::string> propertyRange(pf::ks::Filter& filter, const GUID& set, ULONG id);

}  // namespace cli
