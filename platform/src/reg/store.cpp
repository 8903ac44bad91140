// The registry store: keys and values in memory, device bindings and the
// backing .reg file rewritten atomically after every change.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>

#include "store.hpp"

namespace pf::registry {

FileError::FileError(const std::string& file, int line, const std::string& reason)
    : std::runtime_error(file + ":" + std::to_string(line) + ": " + reason), file_(file), line_(line) {}

namespace detail {
namespace {

std::mutex gMutex;
Keys gKeys;
std::map<PDEVICE_OBJECT, std::string> gBindings;
std::optional<std::filesystem::path> gFile;

Key& keyLocked(const std::string& path) {
  Key& key = gKeys[path];
  if (key.path.empty()) key.path = path;
  return key;
}

bool writeFileAtomically(const std::filesystem::path& path, const std::string& text,
                         std::string* error) {
  std::filesystem::path temporary = path;
  temporary += ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (out) out.write(text.data(), std::streamsize(text.size()));
    out.close();
    if (!out) {
      std::error_code ignored;
      std::filesystem::remove(temporary, ignored);
      if (error) *error = "cannot write " + temporary.string();
      return false;
    }
  }
  std::error_code ec;
  std::filesystem::rename(temporary, path, ec);
  if (ec) {
    std::error_code ignored;
    std::filesystem::remove(temporary, ignored);
    if (error) *error = "cannot replace " + path.string() + ": " + ec.message();
    return false;
  }
  return true;
}

bool persistLocked(std::string* error) {
  if (!gFile) return true;
  return writeFileAtomically(*gFile, serializeKeys(gKeys), error);
}

// Host-side changes throw when the backing file cannot be written.
void persistOrThrowLocked() {
  std::string error;
  if (!persistLocked(&error)) throw std::runtime_error("registry: " + error);
}

std::optional<Value> readLocked(const std::string& path, const std::string& name) {
  auto key = gKeys.find(path);
  if (key == gKeys.end()) return std::nullopt;
  auto value = key->second.values.find(name);
  if (value == key->second.values.end()) return std::nullopt;
  return value->second.value;
}

}  // namespace

bool boundKeyPath(PDEVICE_OBJECT pdo, std::string* path) {
  std::lock_guard<std::mutex> lock(gMutex);
  auto it = gBindings.find(pdo);
  if (it == gBindings.end()) return false;
  *path = it->second;
  keyLocked(it->second);
  return true;
}

std::optional<Value> readValue(const std::string& path, const std::string& name) {
  std::lock_guard<std::mutex> lock(gMutex);
  return readLocked(path, name);
}

bool writeValue(const std::string& path, const std::string& name, const Value& value,
                std::string* error) {
  std::lock_guard<std::mutex> lock(gMutex);
  Key& key = keyLocked(path);
  auto existing = key.values.find(name);
  std::optional<NamedValue> previous;
  if (existing != key.values.end()) previous = existing->second;
  NamedValue& named = key.values[name];
  if (named.name.empty()) named.name = name;
  named.value = value;
  if (persistLocked(error)) return true;
  if (previous)
    key.values[name] = *previous;
  else
    key.values.erase(name);
  return false;
}

}  // namespace detail

using namespace detail;

std::string driverKeyPath(unsigned instance) {
  char number[16];
  std::snprintf(number, sizeof number, "\\%04u", instance);
  return std::string(kMediaClassKey) + number;
}

void bindDriverKey(PDEVICE_OBJECT pdo, const std::string& keyPath) {
  std::lock_guard<std::mutex> lock(gMutex);
  gBindings[pdo] = keyPath;
  keyLocked(keyPath);
}

void unbindDriverKey(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> lock(gMutex);
  gBindings.erase(pdo);
}

void createKey(const std::string& keyPath) {
  std::lock_guard<std::mutex> lock(gMutex);
  if (gKeys.count(keyPath)) return;
  keyLocked(keyPath);
  persistOrThrowLocked();
}

bool keyExists(const std::string& keyPath) {
  std::lock_guard<std::mutex> lock(gMutex);
  return gKeys.count(keyPath) != 0;
}

void setValue(const std::string& keyPath, const std::string& name, const Value& value) {
  std::string error;
  if (!writeValue(keyPath, name, value, &error)) throw std::runtime_error("registry: " + error);
}

void setDword(const std::string& keyPath, const std::string& name, std::uint32_t n) {
  Value value{REG_DWORD, std::vector<std::uint8_t>(4)};
  std::memcpy(value.data.data(), &n, 4);
  setValue(keyPath, name, value);
}

void setString(const std::string& keyPath, const std::string& name, const std::string& text) {
  std::wstring chars = pf::detail::fromUtf8(text);
  chars.push_back(L'\0');
  Value value{REG_SZ, std::vector<std::uint8_t>(chars.size() * sizeof(WCHAR))};
  std::memcpy(value.data.data(), chars.data(), value.data.size());
  setValue(keyPath, name, value);
}

void setBinary(const std::string& keyPath, const std::string& name,
               const std::vector<std::uint8_t>& data) {
  setValue(keyPath, name, Value{REG_BINARY, data});
}

bool removeValue(const std::string& keyPath, const std::string& name) {
  std::lock_guard<std::mutex> lock(gMutex);
  auto key = gKeys.find(keyPath);
  if (key == gKeys.end() || !key->second.values.erase(name)) return false;
  persistOrThrowLocked();
  return true;
}

std::optional<Value> value(const std::string& keyPath, const std::string& name) {
  return readValue(keyPath, name);
}

std::optional<std::uint32_t> dword(const std::string& keyPath, const std::string& name) {
  auto v = readValue(keyPath, name);
  if (!v || v->type != REG_DWORD || v->data.size() != 4) return std::nullopt;
  std::uint32_t n;
  std::memcpy(&n, v->data.data(), 4);
  return n;
}

std::optional<std::string> string(const std::string& keyPath, const std::string& name) {
  auto v = readValue(keyPath, name);
  if (!v || v->type != REG_SZ || v->data.size() % sizeof(WCHAR)) return std::nullopt;
  std::wstring chars(v->data.size() / sizeof(WCHAR), L'\0');
  if (!chars.empty()) std::memcpy(&chars[0], v->data.data(), v->data.size());
  while (!chars.empty() && chars.back() == L'\0') chars.pop_back();
  return pf::detail::toUtf8(chars);
}

std::vector<std::string> valueNames(const std::string& keyPath) {
  std::lock_guard<std::mutex> lock(gMutex);
  std::vector<std::string> names;
  auto key = gKeys.find(keyPath);
  if (key != gKeys.end())
    for (auto& v : key->second.values) names.push_back(v.second.name);
  return names;
}

void open(const std::filesystem::path& path) {
  Keys loaded;
  std::error_code ec;
  if (std::filesystem::exists(path, ec)) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw FileError(path.string(), 0, "cannot be read");
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) throw FileError(path.string(), 0, "cannot be read");
    parseKeys(text.str(), path.string(), loaded);
  }
  std::lock_guard<std::mutex> lock(gMutex);
  gKeys = std::move(loaded);
  gFile = path;
}

void close() {
  std::lock_guard<std::mutex> lock(gMutex);
  gFile.reset();
}

std::optional<std::filesystem::path> backingFile() {
  std::lock_guard<std::mutex> lock(gMutex);
  return gFile;
}

std::string serialize() {
  std::lock_guard<std::mutex> lock(gMutex);
  return serializeKeys(gKeys);
}

void parseInto(const std::string& text, const std::string& name) {
  std::lock_guard<std::mutex> lock(gMutex);
  Keys merged = gKeys;
  parseKeys(text, name, merged);
  gKeys = std::move(merged);
  persistOrThrowLocked();
}

bool save(const std::filesystem::path& path, std::string* error) {
  std::string text = serialize();
  return writeFileAtomically(path, text, error);
}

void reset() {
  std::lock_guard<std::mutex> lock(gMutex);
  gKeys.clear();
  gBindings.clear();
  gFile.reset();
}

}  // namespace pf::registry
