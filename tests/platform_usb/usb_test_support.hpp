// Test support for the hosted USB bus: a small scripted device, a
// descriptor builder and a sender that submits one URB in its own IRP and
// waits (bounded) for its completion routine.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "pf/host/pool.hpp"
#include "pf/host/usb_bus.hpp"
#include "platform.h"

namespace usbtest {

// The bus's names the tests use most; a test file takes them all with
// "using namespace usbtest".
using pf::usb::BulkCompletion;
using pf::usb::SetupPacket;
using pf::usb::TrafficEvent;
using pf::usb::TransferResult;
using pf::usb::UsbdStatus;
using Bytes = std::vector<std::uint8_t>;

struct EndpointShape {
  std::uint8_t address;
  std::uint8_t attributes;  // USB_ENDPOINT_TYPE_
  std::uint16_t maxPacket;
  std::uint8_t interval = 0;
};

struct InterfaceShape {
  std::uint8_t number = 0;
  std::uint8_t alternate = 0;
  std::uint8_t cls = 0xFF, subClass = 0, protocol = 0;
  std::vector<EndpointShape> endpoints;
};

// A configuration descriptor with its interface and endpoint descriptors.
inline Bytes makeConfiguration(const std::vector<InterfaceShape>& interfaces, std::uint8_t value = 1) {
  Bytes out = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 0, value, 0, 0x80, 50};
  std::uint8_t numbers = 0;
  for (const auto& i : interfaces) {
    if (i.alternate == 0) ++numbers;
    out.insert(out.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE, i.number, i.alternate,
                           static_cast<std::uint8_t>(i.endpoints.size()), i.cls, i.subClass,
                           i.protocol, 0});
    for (const auto& e : i.endpoints) {
      out.insert(out.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, e.address, e.attributes,
                             static_cast<std::uint8_t>(e.maxPacket & 0xFF),
                             static_cast<std::uint8_t>(e.maxPacket >> 8), e.interval});
    }
  }
  out[2] = static_cast<std::uint8_t>(out.size() & 0xFF);
  out[3] = static_cast<std::uint8_t>(out.size() >> 8);
  out[4] = numbers;
  return out;
}

// The unit's shape: one interface, bulk IN 0x82 and bulk OUT 0x02.
inline Bytes unitConfiguration(std::uint16_t maxPacket = 512) {
  return makeConfiguration({{0, 0, 0xFF, 0, 0,
                             {{0x82, USB_ENDPOINT_TYPE_BULK, maxPacket},
                              {0x02, USB_ENDPOINT_TYPE_BULK, maxPacket}}}});
}

// A device whose standard requests answer from its descriptors, whose other
// control requests go to onControl (stall when unset), and whose bulk
// transfers take scripted answers in order or park until the test answers.
class FakeDevice : public pf::usb::Backend {
 public:
  struct BulkAnswer {
    UsbdStatus status = pf::usb::kUsbdSuccess;
    Bytes data;                  // IN: the bytes the device sends
    std::size_t outAccepted = ~std::size_t{0};  // OUT: bytes taken (all by default)
  };
  struct Parked {
    std::uint8_t endpoint;
    std::uint8_t* buffer;
    std::size_t length;
    bool shortOk;
    BulkCompletion done;
  };

  Bytes configuration = unitConfiguration();
  Bytes device = {18, USB_DEVICE_DESCRIPTOR_TYPE, 0x00, 0x02, 0, 0, 0, 64,
                  0x34, 0x12, 0x78, 0x56, 0x01, 0x00, 1, 2, 0, 1};
  std::function<TransferResult(const SetupPacket&, std::uint8_t*)> onControl;

  void attach(pf::usb::BackendHost* host) override { host_ = host; }
  pf::usb::Speed speed() const override { return pf::usb::Speed::High; }

  TransferResult control(const SetupPacket& s, std::uint8_t* data) override {
    if (s.bmRequestType == 0x80 && s.bRequest == USB_REQUEST_GET_DESCRIPTOR) {
      const Bytes* d = (s.wValue >> 8) == USB_DEVICE_DESCRIPTOR_TYPE          ? &device
                       : (s.wValue >> 8) == USB_CONFIGURATION_DESCRIPTOR_TYPE ? &configuration
                                                                              : nullptr;
      if (d == nullptr) return {pf::usb::kUsbdStallPid, 0};
      const std::size_t n = std::min<std::size_t>(d->size(), s.wLength);
      if (n > 0) std::memcpy(data, d->data(), n);
      return {pf::usb::kUsbdSuccess, n};
    }
    if ((s.bmRequestType & 0x60) == 0 && (s.bRequest == USB_REQUEST_SET_CONFIGURATION ||
                                          s.bRequest == USB_REQUEST_SET_INTERFACE)) {
      return {pf::usb::kUsbdSuccess, 0};
    }
    if (onControl) return onControl(s, data);
    return {pf::usb::kUsbdStallPid, 0};
  }

  void submitBulk(std::uint8_t endpoint, std::uint8_t* buffer, std::size_t length, bool shortOk,
                  BulkCompletion done) override {
    std::unique_lock<std::mutex> lock(mutex_);
    submitted_.push_back(endpoint);
    if (answers_.empty()) {
      parked_.push_back({endpoint, buffer, length, shortOk, std::move(done)});
      changed_.notify_all();
      return;
    }
    BulkAnswer a = std::move(answers_.front());
    answers_.pop_front();
    lock.unlock();
    done(apply(endpoint, buffer, length, a));
  }

  void abortEndpoint(std::uint8_t endpoint) override {
    for (auto& p : takeParked(endpoint)) p.done({pf::usb::kUsbdCanceled, 0});
    std::lock_guard<std::mutex> lock(mutex_);
    aborted_.push_back(endpoint);
  }

  UsbdStatus resetEndpoint(std::uint8_t endpoint) override {
    std::lock_guard<std::mutex> lock(mutex_);
    resets_.push_back(endpoint);
    return pf::usb::kUsbdSuccess;
  }

  // ---- test side ----
  void answer(BulkAnswer a) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_.push_back(std::move(a));
  }
  // Waits (bounded) until count transfers are parked.
  bool waitParked(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(5), [&] { return parked_.size() >= count; });
  }
  // Answers the oldest parked transfer.
  void completeParked(BulkAnswer a) {
    Parked p;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ASSERT_FALSE(parked_.empty()) << "no parked transfer";
      p = std::move(parked_.front());
      parked_.pop_front();
    }
    p.done(apply(p.endpoint, p.buffer, p.length, a));
  }
  // Drops parked transfers without answering (the bus must not need them).
  std::deque<Parked> takeParked(std::uint8_t endpoint) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::deque<Parked> out;
    for (auto it = parked_.begin(); it != parked_.end();) {
      if (it->endpoint == endpoint) {
        out.push_back(std::move(*it));
        it = parked_.erase(it);
      } else {
        ++it;
      }
    }
    return out;
  }
  void removeSelf() { host_->deviceRemoved(); }
  std::vector<std::uint8_t> resets() {
    std::lock_guard<std::mutex> lock(mutex_);
    return resets_;
  }
  std::vector<std::uint8_t> aborted() {
    std::lock_guard<std::mutex> lock(mutex_);
    return aborted_;
  }
  std::vector<std::uint8_t> submitted() {
    std::lock_guard<std::mutex> lock(mutex_);
    return submitted_;
  }

 private:
  static TransferResult apply(std::uint8_t endpoint, std::uint8_t* buffer, std::size_t length,
                              const BulkAnswer& a) {
    if (endpoint & 0x80) {
      const std::size_t n = std::min(length, a.data.size());
      if (n > 0) std::memcpy(buffer, a.data.data(), n);
      return {a.status, n};
    }
    return {a.status, std::min(length, a.outAccepted)};
  }

  pf::usb::BackendHost* host_ = nullptr;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<BulkAnswer> answers_;
  std::deque<Parked> parked_;
  std::vector<std::uint8_t> resets_, aborted_, submitted_;
};

// One URB in its own IRP, with a completion routine that records where and
// how it ran and keeps the packet (STATUS_MORE_PROCESSING_REQUIRED).
class UrbSender {
 public:
  explicit UrbSender(PDEVICE_OBJECT device) : device_(device) {
    irp_ = IoAllocateIrp(device->StackSize, FALSE);
    KeInitializeEvent(&event_, NotificationEvent, FALSE);
  }
  ~UrbSender() {
    if (irp_ != nullptr && (!sent_ || completed())) IoFreeIrp(irp_);
  }
  UrbSender(const UrbSender&) = delete;
  UrbSender& operator=(const UrbSender&) = delete;

  NTSTATUS send(PURB urb, ULONG code = IOCTL_INTERNAL_USB_SUBMIT_URB) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp_, &UrbSender::onComplete, this, TRUE, TRUE, TRUE);
    sent_ = true;
    submitter_ = std::this_thread::get_id();
    return IofCallDriver(device_, irp_);
  }

  // Bounded wait for the completion routine.
  bool wait(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    LARGE_INTEGER t;
    t.QuadPart = -static_cast<LONGLONG>(timeout.count()) * 10000;
    return KeWaitForSingleObject(&event_, Executive, KernelMode, FALSE, &t) == STATUS_SUCCESS;
  }

  bool completed() const { return calls_.load() > 0; }
  int calls() const { return calls_.load(); }
  NTSTATUS status() const { return status_; }
  KIRQL completionIrql() const { return irql_; }
  bool completedOnSubmitter() const { return thread_ == submitter_; }
  bool pendingReturned() const { return pendingReturned_; }

 private:
  static NTSTATUS NTAPI onComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* self = static_cast<UrbSender*>(context);
    self->status_ = irp->IoStatus.Status;
    self->irql_ = KeGetCurrentIrql();
    self->thread_ = std::this_thread::get_id();
    self->pendingReturned_ = irp->PendingReturned != 0;
    self->calls_.fetch_add(1);
    KeSetEvent(&self->event_, 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }

  PDEVICE_OBJECT device_;
  PIRP irp_ = nullptr;
  KEVENT event_;
  bool sent_ = false;
  std::atomic<int> calls_{0};
  NTSTATUS status_ = STATUS_PENDING;
  KIRQL irql_ = 0;
  bool pendingReturned_ = false;
  std::thread::id thread_, submitter_;
};

// Selects the configuration of the device at port; returns the request
// (caller frees it with ExFreePool) and its status.
struct Selected {
  PURB urb = nullptr;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  PUSBD_INTERFACE_INFORMATION iface() const { return &urb->UrbSelectConfiguration.Interface; }
};

inline Selected selectConfiguration(PDEVICE_OBJECT device, Bytes& configuration,
                                    ULONG maxTransfer = 0x100000) {
  Selected s;
  auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration.data());
  USHORT size = 0;
  s.urb = USBD_CreateConfigurationRequest(cd, &size);
  if (s.urb == nullptr) return s;
  PUSBD_INTERFACE_INFORMATION info = &s.urb->UrbSelectConfiguration.Interface;
  for (ULONG i = 0; i < info->NumberOfPipes; ++i) info->Pipes[i].MaximumTransferSize = maxTransfer;
  UrbSender sender(device);
  s.status = sender.send(s.urb);
  return s;
}

inline void buildBulk(URB& urb, USBD_PIPE_HANDLE pipe, void* buffer, ULONG length, ULONG flags) {
  std::memset(&urb, 0, sizeof(urb));
  UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                         pipe, buffer, nullptr, length, flags, nullptr);
}

}  // namespace usbtest
