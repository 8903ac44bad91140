// The device's settings by friendly name, read and written through the
// filter's property sets as any application would.
#pragma once

#include <optional>
#include <string>
#include <utility>
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

// A change of the encoding parameters, made in one step so that a mode and
// the size or bit rates of that mode can change together. What is not given
// stays; on a change of mode the bit rates become the new mode's defaults
// and a size the new mode does not offer becomes its largest one.
struct EncodingChange {
  std::optional<bool> mpeg1;
  std::optional<std::pair<unsigned long, unsigned long>> size;
  std::optional<unsigned long> bitRate;
  std::optional<unsigned long> peakBitRate;
  std::optional<bool> variable;
};
// Applies change. A refused value throws Failure naming the accepted values,
// after the previous parameters were put back.
void changeEncoding(pf::ks::Filter& filter, const EncodingChange& change);
// "720x480" as width and height; Failure naming name when it is not that.
std::pair<unsigned long, unsigned long> parseSize(const std::string& name, const std::string& text);

// The persisted settings a command may change, read now and written back by
// restore() (used when a later step of the same command is refused).
class SettingsSnapshot {
 public:
  explicit SettingsSnapshot(pf::ks::Filter& filter);
  void restore(pf::ks::Filter& filter) const;

 private:
  std::vector<std::pair<std::string, std::string>> values_;
  std::vector<std::uint8_t> encoding_;
};

}  // namespace cli
