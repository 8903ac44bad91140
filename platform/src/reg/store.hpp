// The registry store behind pf/host/registry.hpp and the Zw registry calls.
#pragma once

#include <map>
#include <string>

#include "../ex/internal.hpp"
#include "pf/host/registry.hpp"

namespace pf::registry::detail {

struct NoCaseLess {
  bool operator()(const std::string& a, const std::string& b) const {
    return pf::detail::lowerAscii(a) < pf::detail::lowerAscii(b);
  }
};

struct NamedValue {
  std::string name;  // as first written
  Value value;
};

struct Key {
  std::string path;  // as first written
  std::map<std::string, NamedValue, NoCaseLess> values;
};

using Keys = std::map<std::string, Key, NoCaseLess>;

// The .reg form of keys, and its parser (which merges into keys as an
// import does; throws FileError naming name and the line).
std::string serializeKeys(const Keys& keys);
void parseKeys(const std::string& text, const std::string& name, Keys& keys);

// Calls of the Zw layer.
bool boundKeyPath(PDEVICE_OBJECT pdo, std::string* path);
std::optional<Value> readValue(const std::string& path, const std::string& name);
// Sets the value and rewrites the backing file; when that fails the value is
// put back as it was and error says why.
bool writeValue(const std::string& path, const std::string& name, const Value& value,
                std::string* error);

}  // namespace pf::registry::detail
