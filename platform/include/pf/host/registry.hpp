// The hosted registry: keys holding REG_DWORD, REG_SZ, REG_BINARY (and any
// other typed) values, the binding of a unit's physical device object to its
// driver key, and the .reg file that keeps the store between runs.
//
// Key paths are full paths as the registry editor writes them
// ("HKEY_LOCAL_MACHINE\SYSTEM\..."); key paths and value names compare
// without regard to case. REG_SZ data is WCHAR (wchar_t hosted) with its
// terminating zero, as ZwSetValueKey stores it.
//
// With a backing file the store is loaded from it and rewritten after every
// ZwSetValueKey (and every host-side change): a temporary file next to it,
// then a rename, so that the file is always either the old or the new one.
// The file is in the format that the registry editor imports:
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{4D36E96C-...}\0000]
//   "BitRate"=dword:00401640
//   "MpegDecoderMicrocode"="decoder.ux"
//   "Blob"=hex:01,02,03
//
// All calls are thread-safe.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "pf/io.h"

namespace pf::registry {

// The media class key; a unit's driver key is one of its numbered subkeys.
inline constexpr const char* kMediaClassKey =
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
    "{4D36E96C-E325-11CE-BFC1-08002BE10318}";
// kMediaClassKey\NNNN, the driver key of adapter number instance.
std::string driverKeyPath(unsigned instance);

// A malformed registry file: what() is "<file>:<line>: <reason>".
class FileError : public std::runtime_error {
 public:
  FileError(const std::string& file, int line, const std::string& reason);
  const std::string& file() const { return file_; }
  int line() const { return line_; }

 private:
  std::string file_;
  int line_;
};

struct Value {
  ULONG type = REG_NONE;
  std::vector<std::uint8_t> data;
};

// IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, ...) opens keyPath
// (created, empty, if missing).
void bindDriverKey(PDEVICE_OBJECT pdo, const std::string& keyPath);
void unbindDriverKey(PDEVICE_OBJECT pdo);

void createKey(const std::string& keyPath);
bool keyExists(const std::string& keyPath);
void setValue(const std::string& keyPath, const std::string& name, const Value& value);
void setDword(const std::string& keyPath, const std::string& name, std::uint32_t value);
// Stored as REG_SZ: the UTF-8 text as WCHARs with a terminating zero.
void setString(const std::string& keyPath, const std::string& name, const std::string& text);
void setBinary(const std::string& keyPath, const std::string& name,
               const std::vector<std::uint8_t>& data);
bool removeValue(const std::string& keyPath, const std::string& name);

std::optional<Value> value(const std::string& keyPath, const std::string& name);
// The value when it has that type (REG_DWORD with 4 bytes; REG_SZ as UTF-8
// without its terminator).
std::optional<std::uint32_t> dword(const std::string& keyPath, const std::string& name);
std::optional<std::string> string(const std::string& keyPath, const std::string& name);
std::vector<std::string> valueNames(const std::string& keyPath);

// Loads path into the store (replacing what it held) and makes it the
// backing file. A missing file leaves the store empty and is created at the
// first write. Throws FileError when the file is malformed or unreadable; the
// store and the file are then left unchanged.
void open(const std::filesystem::path& path);
// Stops writing the backing file (the store keeps its contents).
void close();
std::optional<std::filesystem::path> backingFile();

// The store in .reg form, and parsing of that form (name is used in errors).
std::string serialize();
void parseInto(const std::string& text, const std::string& name);
// Writes the store to path atomically; false with a reason in error.
bool save(const std::filesystem::path& path, std::string* error);

// Forgets every key, value and binding and the backing file.
void reset();

}  // namespace pf::registry
