// The bus object: ports and their device objects, the host-controller
// thread, the traffic record, unplugging.
#include <stdexcept>

#include "bus_impl.hpp"
#include "pf/host/verifier.hpp"

namespace pf::usb {
namespace {

constexpr CSHORT kIoTypeDevice = 3;
constexpr ULONG kFileDeviceUsb = FILE_DEVICE_USB;

// Dispatch entry of the bus driver object, for every major function.
// Runs at IRQL <= DISPATCH_LEVEL; takes the bus mutex only briefly.
NTSTATUS NTAPI busDispatch(PDEVICE_OBJECT device, PIRP irp) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
    pf::bugcheck("USB bus request sent at IRQL %u, above DISPATCH_LEVEL",
                 static_cast<unsigned>(KeGetCurrentIrql()));
  }
  if (device == nullptr || irp == nullptr || device->DeviceExtension == nullptr) {
    pf::bugcheck("USB bus dispatch called without its device object or packet");
  }
  auto* port = static_cast<PortState*>(device->DeviceExtension);
  return port->bus->dispatch(*port, irp);
}

}  // namespace

NTSTATUS ntStatusFromUsbd(USBD_STATUS status) {
  if (USBD_SUCCESS(status)) return STATUS_SUCCESS;
  switch (status) {
    case USBD_STATUS_CANCELED: return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE: return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INTERFACE_NOT_FOUND:
    case USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR: return STATUS_INVALID_PARAMETER;
    case USBD_STATUS_NO_MEMORY:
    case USBD_STATUS_INSUFFICIENT_RESOURCES: return STATUS_INSUFFICIENT_RESOURCES;
    case USBD_STATUS_BUFFER_TOO_SMALL: return STATUS_BUFFER_TOO_SMALL;
    case USBD_STATUS_NOT_SUPPORTED: return STATUS_NOT_SUPPORTED;
    default: return STATUS_UNSUCCESSFUL;
  }
}

NTSTATUS completeIrp(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS completeUrb(PIRP irp, PURB urb, USBD_STATUS status) {
  urb->UrbHeader.Status = status;
  return completeIrp(irp, ntStatusFromUsbd(status));
}

void BackendHostLink::deviceRemoved() { bus_->disconnect(port_, false); }

Bus::Impl::Impl(BusOptions opts) : options(std::move(opts)) {
  driver.Type = 4;  // IO_TYPE_DRIVER
  driver.Size = sizeof(DRIVER_OBJECT);
  for (auto& major : driver.MajorFunction) major = busDispatch;
  if (!options.pcapPath.empty()) {
    pcap = std::make_unique<detail::PcapWriter>(options.pcapPath, options.pcapLinkType);
    if (!pcap->ok()) throw std::runtime_error("USB trace: " + pcap->error());
  }
}

PortState* Bus::Impl::port(int number) const {
  if (number < 1 || static_cast<std::size_t>(number) > ports.size()) return nullptr;
  return ports[static_cast<std::size_t>(number) - 1].get();
}

void Bus::Impl::recordLocked(TrafficEvent event) {
  if (pcap) pcap->write(event);
  if (!options.recordBulkData && event.type == TrafficEvent::Type::Bulk) {
    std::vector<std::uint8_t>().swap(event.data);  // the pcap file had them
  }
  auto cost = [](const TrafficEvent& e) { return sizeof(TrafficEvent) + e.data.size(); };
  trafficBytes += cost(event);
  traffic.push_back(std::move(event));
  const std::size_t limit = options.trafficLimit;
  if (limit != 0 && trafficBytes > limit) {
    // Drop the oldest events down to half the limit, so that trimming is rare.
    std::size_t drop = 0;
    while (drop < traffic.size() && trafficBytes > limit / 2) trafficBytes -= cost(traffic[drop++]);
    traffic.erase(traffic.begin(), traffic.begin() + static_cast<std::ptrdiff_t>(drop));
  }
  changed.notify_all();
}

void Bus::Impl::post(std::function<void()> job) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    work.push_back(std::move(job));
  }
  workReady.notify_one();
}

void Bus::Impl::controllerLoop() {
  // Completions of a host controller arrive at DISPATCH_LEVEL.
  const KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock<std::mutex> lock(mutex);
      workReady.wait(lock, [&] { return stopping || !work.empty(); });
      if (work.empty()) break;  // stopping, and everything done
      job = std::move(work.front());
      work.pop_front();
    }
    job();
  }
  KfLowerIrql(old);
}

void Bus::Impl::stopController() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    stopping = true;
  }
  workReady.notify_one();
  if (controller.joinable()) controller.join();
}

void Bus::Impl::disconnect(int number, bool tellBackend) {
  std::shared_ptr<Backend> backend;
  std::vector<std::uint8_t> endpoints;
  {
    std::lock_guard<std::mutex> lock(mutex);
    PortState* p = port(number);
    if (p == nullptr || !p->connected) return;
    p->connected = false;
    for (const auto& [handle, pipe] : p->pipes) endpoints.push_back(pipe.endpoint);
    p->pipes.clear();
    p->configurationHandle = nullptr;
    // Only a disconnect from the bus's side speaks to the device. One that
    // the device reports runs on the device's own thread and must take no
    // reference to it: that thread must never drop the device's last one.
    if (tellBackend) backend = p->backend;
  }
  // The backend may call in here from its own thread with its own locks
  // held, so completions go to the controller thread (or, in synchronous
  // mode, run here, which is where the device would have finished them).
  failTransfers([&](const Transfer& t) { return t.port->number == number; },
                kUsbdDeviceGone, false);
  if (tellBackend) {
    for (std::uint8_t ep : endpoints) backend->abortEndpoint(ep);
  }
}

Bus::Bus(BusOptions options) : impl_(std::make_shared<Impl>(std::move(options))) {
  if (impl_->options.stackSize < 1 || impl_->options.stackSize > 2) {
    throw std::invalid_argument("USB bus: device object stack size must be 1 or 2");
  }
  Impl* impl = impl_.get();
  impl_->controller = std::thread([impl] { impl->controllerLoop(); });
}

Bus::~Bus() {
  std::size_t count = 0;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    count = impl_->ports.size();
  }
  for (std::size_t i = 1; i <= count; ++i) impl_->disconnect(static_cast<int>(i), true);
  impl_->stopController();
  // Drop the backends here, on the destroying thread: a device thread that
  // completes a late transfer may hold the last reference to the bus's
  // state, and must not be the one that destroys its own device.
  std::vector<std::shared_ptr<Backend>> backends;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    for (auto& port : impl_->ports) backends.push_back(std::move(port->backend));
    if (impl_->pcap) impl_->pcap->flush();
  }
  // No bus lock is held while a backend is called.
  for (auto& backend : backends) {
    if (backend) backend->attach(nullptr);
  }
  backends.clear();
}

int Bus::plug(std::shared_ptr<Backend> backend) {
  if (!backend) throw std::invalid_argument("USB bus: plug needs a backend");
  PortState* p = nullptr;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    auto port = std::make_unique<PortState>();
    port->number = static_cast<int>(impl_->ports.size()) + 1;
    port->bus = impl_.get();
    port->backend = std::move(backend);
    port->host = std::make_unique<BackendHostLink>(impl_.get(), port->number);
    port->connected = true;
    DEVICE_OBJECT& d = port->device;
    d.Type = kIoTypeDevice;
    d.Size = sizeof(DEVICE_OBJECT);
    d.ReferenceCount = 1;
    d.DriverObject = &impl_->driver;
    d.NextDevice = impl_->driver.DeviceObject;
    d.DeviceExtension = port.get();
    d.DeviceType = kFileDeviceUsb;
    d.StackSize = impl_->options.stackSize;
    impl_->driver.DeviceObject = &d;
    p = port.get();
    impl_->ports.push_back(std::move(port));
  }
  p->backend->attach(p->host.get());
  return p->number;
}

void Bus::unplug(int port) { impl_->disconnect(port, true); }

PDEVICE_OBJECT Bus::deviceObject(int port) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  PortState* p = impl_->port(port);
  return p != nullptr ? &p->device : nullptr;
}

PDRIVER_OBJECT Bus::driverObject() const { return &impl_->driver; }

bool Bus::connected(int port) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  PortState* p = impl_->port(port);
  return p != nullptr && p->connected;
}

std::size_t Bus::pendingTransfers() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->inFlight;
}

bool Bus::waitIdle(std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  return impl_->changed.wait_for(lock, timeout, [&] { return impl_->inFlight == 0; });
}

std::vector<TrafficEvent> Bus::traffic() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->traffic;
}

void Bus::clearTraffic() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->traffic.clear();
  impl_->trafficBytes = 0;
}

bool Bus::waitForTraffic(const std::function<bool(const std::vector<TrafficEvent>&)>& pred,
                         std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  return impl_->changed.wait_for(lock, timeout, [&] { return pred(impl_->traffic); });
}

void Bus::flushPcap() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (impl_->pcap) impl_->pcap->flush();
}

}  // namespace pf::usb
