// One running system on the host: the hosted USB bus with the emulated unit
// plugged in, the registry store and the folder that stands for the system's
// drivers folder, and the class driver with our minidriver loaded and its
// adapter added. The command line and the driver tests both start here.
//
// The platform's registry, drivers folder and clock are process-wide, so one
// Session runs at a time in a process.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "emulator/unit.hpp"
#include "pf/host/ks_client.hpp"
#include "pf/host/usb_bus.hpp"

struct DeviceContext;

namespace mpegunit {

struct SessionOptions {
  // Holds "mpegunit.reg" (the registry store) and "drivers/" (the drivers
  // folder, with our microcode images written on first use).
  std::filesystem::path stateDir;
  emu::UnitOptions unit;
  pf::usb::BusOptions bus;
  pf::ks::AdapterOptions adapter;
  // Run the platform clock virtual (tests: settling delays cost no time).
  bool virtualClock = false;
};

// The registry file and drivers folder inside a state folder.
std::filesystem::path registryFile(const std::filesystem::path& stateDir);
std::filesystem::path driversFolder(const std::filesystem::path& stateDir);

// Writes any of our five microcode images that is missing from folder.
// False with a reason in why when a file cannot be written.
bool ensureMicrocode(const std::filesystem::path& folder, std::string* why);

// Prepares the state folder and the platform for a unit that is not yet
// plugged in: creates the folders and images, opens the registry file.
// False with a one-line reason (the registry file's errors name file and line).
bool prepareState(const std::filesystem::path& stateDir, std::string* why);

class Session {
 public:
  // Prepares the state folder, plugs the unit in, binds its driver key, loads
  // the minidriver and adds the adapter. Null with a one-line reason in why.
  static std::unique_ptr<Session> open(SessionOptions options, std::string* why);
  // Removes the adapter (when not yet removed) and unplugs the unit.
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  emu::Unit& unit() const { return *unit_; }
  pf::usb::Bus& bus() const { return *bus_; }
  int port() const { return port_; }
  PDEVICE_OBJECT physicalDevice() const;
  pf::ks::Minidriver& minidriver() const { return *driver_; }
  pf::ks::Adapter& adapter() const { return *adapter_; }
  pf::ks::Filter& filter() const { return *filter_; }
  const SessionOptions& options() const { return options_; }

  // The adapter's device extension. For tests only: applications never see it.
  DeviceContext* device() const;

  // Removes the adapter (SRB_UNINITIALIZE_DEVICE); the status of the removal.
  NTSTATUS remove();
  // Surprise removal, as when the unit is pulled out.
  NTSTATUS surpriseRemove();

 private:
  Session() = default;

  SessionOptions options_;
  std::shared_ptr<emu::Unit> unit_;
  std::unique_ptr<pf::usb::Bus> bus_;
  int port_ = 0;
  std::unique_ptr<pf::ks::Minidriver> driver_;
  std::unique_ptr<pf::ks::Adapter> adapter_;
  std::unique_ptr<pf::ks::Filter> filter_;
};

// The pieces Session::open and its destructor are made of, for setups that
// assemble the stack themselves: several units on one bus, a unit behind a
// test's own backend, a stack kept up for inspection after a failed start.

// Plugs device into bus and binds its physical device object to the driver
// key of device instance keyIndex in the registry store. Returns the port.
int plugUnit(pf::usb::Bus& bus, std::shared_ptr<pf::usb::Backend> device, unsigned keyIndex = 0);

// Loads our minidriver into the class driver. Its status; on failure a
// one-line reason in why.
NTSTATUS loadDriver(std::unique_ptr<pf::ks::Minidriver>& driver, std::string* why);

// Adds an adapter of driver over pdo. Its status; on failure a one-line
// reason in why and adapter left empty.
NTSTATUS startAdapter(pf::ks::Minidriver& driver, PDEVICE_OBJECT pdo, pf::ks::AdapterOptions options,
                      std::unique_ptr<pf::ks::Adapter>& adapter, std::string* why);

// Once the adapter over pdo is gone: unbinds its driver key and forgets the
// filters it registered.
void releaseDevice(PDEVICE_OBJECT pdo);

// Undoes prepareState: clears the drivers folder and closes the registry file.
void closeState();

// The allocator framing pin asks for (KSPROPERTY_CONNECTION_ALLOCATORFRAMING).
// The status of the query; framing is zero-filled when it fails.
NTSTATUS allocatorFraming(pf::ks::Pin& pin, KSALLOCATOR_FRAMING* framing);

// The status code as text: its platform name where known, else hex.
std::string statusName(NTSTATUS status);

}  // namespace mpegunit
