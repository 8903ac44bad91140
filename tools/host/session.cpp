#include "tools/host/session.hpp"

#include <cstdio>
#include <fstream>

#include "driver/drventry.h"
#include "emulator/microcode_image.hpp"
#include "pf/host/clock.hpp"
#include "pf/host/files.hpp"
#include "pf/host/registry.hpp"

namespace mpegunit {

namespace fs = std::filesystem;

fs::path registryFile(const fs::path& stateDir) { return stateDir / "mpegunit.reg"; }
fs::path driversFolder(const fs::path& stateDir) { return stateDir / "drivers"; }

bool ensureMicrocode(const fs::path& folder, std::string* why) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) {
    if (why) *why = "cannot create " + folder.string() + ": " + ec.message();
    return false;
  }
  for (const auto& info : emu::ucode::kImages) {
    const fs::path path = folder / info.fileName;
    if (fs::exists(path)) continue;
    const auto bytes = emu::ucode::serialise(emu::ucode::buildImage(info));
    const fs::path temp = path.string() + ".tmp";
    std::ofstream out(temp, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
      if (why) *why = "cannot write " + temp.string();
      return false;
    }
    fs::rename(temp, path, ec);
    if (ec) {
      if (why) *why = "cannot write " + path.string() + ": " + ec.message();
      return false;
    }
  }
  return true;
}

bool prepareState(const fs::path& stateDir, std::string* why) {
  if (!ensureMicrocode(driversFolder(stateDir), why)) return false;
  try {
    pf::registry::open(registryFile(stateDir));
  } catch (const std::exception& e) {
    if (why) *why = e.what();
    return false;
  }
  pf::files::setDriversFolder(driversFolder(stateDir));
  return true;
}

std::unique_ptr<Session> Session::open(SessionOptions options, std::string* why) {
  if (!prepareState(options.stateDir, why)) return nullptr;
  if (options.virtualClock) {
    pf::clock::useVirtual();
  } else {
    pf::clock::useReal();
  }

  std::unique_ptr<Session> session(new Session());
  session->options_ = options;
  session->unit_ = std::make_shared<emu::Unit>(options.unit);
  session->bus_ = std::make_unique<pf::usb::Bus>(options.bus);
  session->port_ = plugUnit(*session->bus_, session->unit_);
  PDEVICE_OBJECT pdo = session->physicalDevice();
  if (!NT_SUCCESS(loadDriver(session->driver_, why))) return nullptr;
  if (!NT_SUCCESS(startAdapter(*session->driver_, pdo, options.adapter, session->adapter_, why))) {
    return nullptr;
  }
  session->filter_ = std::make_unique<pf::ks::Filter>(*session->adapter_);
  return session;
}

Session::~Session() {
  filter_.reset();
  if (adapter_ && !adapter_->removed()) adapter_->remove();
  adapter_.reset();
  driver_.reset();
  if (PDEVICE_OBJECT pdo = physicalDevice()) releaseDevice(pdo);
  bus_.reset();
  unit_.reset();
  closeState();
}

PDEVICE_OBJECT Session::physicalDevice() const { return bus_ ? bus_->deviceObject(port_) : nullptr; }

DeviceContext* Session::device() const {
  return adapter_ ? static_cast<DeviceContext*>(adapter_->deviceExtension()) : nullptr;
}

NTSTATUS Session::remove() { return adapter_->remove(); }
NTSTATUS Session::surpriseRemove() { return adapter_->surpriseRemove(); }

int plugUnit(pf::usb::Bus& bus, std::shared_ptr<pf::usb::Backend> device, unsigned keyIndex) {
  const int port = bus.plug(std::move(device));
  pf::registry::bindDriverKey(bus.deviceObject(port), pf::registry::driverKeyPath(keyIndex));
  return port;
}

NTSTATUS loadDriver(std::unique_ptr<pf::ks::Minidriver>& driver, std::string* why) {
  const NTSTATUS status = pf::ks::Minidriver::load(DriverEntry, driver);
  if (!NT_SUCCESS(status) && why) *why = "the driver did not load: " + statusName(status);
  return status;
}

NTSTATUS startAdapter(pf::ks::Minidriver& driver, PDEVICE_OBJECT pdo, pf::ks::AdapterOptions options,
                      std::unique_ptr<pf::ks::Adapter>& adapter, std::string* why) {
  const NTSTATUS status = pf::ks::Adapter::add(driver, pdo, adapter, std::move(options));
  if (!NT_SUCCESS(status)) {
    adapter.reset();
    if (why) *why = "the unit did not start: " + statusName(status);
  }
  return status;
}

void releaseDevice(PDEVICE_OBJECT pdo) {
  pf::registry::unbindDriverKey(pdo);
  pf::ks::forgetRegisteredFilters(pdo);
}

void closeState() {
  pf::files::clearDriversFolder();
  pf::registry::close();
}

NTSTATUS allocatorFraming(pf::ks::Pin& pin, KSALLOCATOR_FRAMING* framing) {
  *framing = {};
  KSPROPERTY request{};
  request.Set = KSPROPSETID_Connection;
  request.Id = KSPROPERTY_CONNECTION_ALLOCATORFRAMING;
  request.Flags = KSPROPERTY_TYPE_GET;
  const auto result = pin.property(&request, sizeof request, framing, sizeof *framing);
  if (!NT_SUCCESS(result.status)) *framing = {};
  return result.status;
}

std::string statusName(NTSTATUS status) {
  struct Name {
    NTSTATUS status;
    const char* name;
  };
  static const Name kNames[] = {
      {STATUS_SUCCESS, "STATUS_SUCCESS"},
      {STATUS_PENDING, "STATUS_PENDING"},
      {STATUS_UNSUCCESSFUL, "STATUS_UNSUCCESSFUL"},
      {STATUS_NOT_IMPLEMENTED, "STATUS_NOT_IMPLEMENTED"},
      {STATUS_INVALID_PARAMETER, "STATUS_INVALID_PARAMETER"},
      {STATUS_BUFFER_TOO_SMALL, "STATUS_BUFFER_TOO_SMALL"},
      {STATUS_BUFFER_OVERFLOW, "STATUS_BUFFER_OVERFLOW"},
      {STATUS_INSUFFICIENT_RESOURCES, "STATUS_INSUFFICIENT_RESOURCES"},
      {STATUS_INSTANCE_NOT_AVAILABLE, "STATUS_INSTANCE_NOT_AVAILABLE"},
      {STATUS_IO_DEVICE_ERROR, "STATUS_IO_DEVICE_ERROR"},
      {STATUS_NOT_SUPPORTED, "STATUS_NOT_SUPPORTED"},
      {STATUS_INVALID_DEVICE_STATE, "STATUS_INVALID_DEVICE_STATE"},
      {STATUS_NO_MATCH, "STATUS_NO_MATCH"},
      {STATUS_NO_DATA_DETECTED, "STATUS_NO_DATA_DETECTED"},
      {STATUS_NOT_FOUND, "STATUS_NOT_FOUND"},
      {STATUS_DEVICE_NOT_CONNECTED, "STATUS_DEVICE_NOT_CONNECTED"},
      {STATUS_CANCELLED, "STATUS_CANCELLED"},
      {STATUS_OBJECT_NAME_NOT_FOUND, "STATUS_OBJECT_NAME_NOT_FOUND"},
  };
  for (const auto& n : kNames) {
    if (n.status == status) return n.name;
  }
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}

}  // namespace mpegunit
