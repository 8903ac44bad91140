// Bulk and interrupt transfers: hand-over to the device, completion on the
// host-controller thread (or the caller's, in synchronous mode), abort, and
// failing what is in flight on unplug.
//
// Each transfer is finished exactly once. A transfer carries a hold while
// someone is between handing it over and deciding its fate (the submitter
// around the device call, an abort around the device's abort); a result
// that arrives meanwhile is parked and the last holder finishes it. This
// keeps a synchronous completion on the submitting thread and lets an abort
// finish every aborted transfer before its own URB completes.
#include <algorithm>
#include <cstring>

#include "bus_impl.hpp"

namespace pf::usb {

NTSTATUS Bus::Impl::submitBulk(PortState& port, PIRP irp, PURB urb) {
  auto& b = urb->UrbBulkOrInterruptTransfer;
  std::optional<PipeState> pipe;
  {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = port.pipes.find(b.PipeHandle);
    if (it != port.pipes.end()) pipe = it->second;
  }
  if (!pipe) return completeUrb(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
  if (pipe->type != UsbdPipeTypeBulk && pipe->type != UsbdPipeTypeInterrupt) {
    return completeUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  }
  // Buffers are virtual addresses only; an MDL alone is not mapped here.
  if ((b.TransferBufferLength > 0 && b.TransferBuffer == nullptr) ||
      b.TransferBufferLength > pipe->maxTransfer) {
    return completeUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  }

  auto t = std::make_shared<Transfer>();
  t->port = &port;
  t->irp = irp;
  t->urb = urb;
  t->endpoint = pipe->endpoint;
  t->in = (pipe->endpoint & USB_ENDPOINT_DIRECTION_MASK) != 0;  // the pipe decides the direction
  t->shortOk = (b.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
  t->length = b.TransferBufferLength;
  t->bounce.reset(new std::uint8_t[t->length]);
  if (!t->in && t->length > 0) std::memcpy(t->bounce.get(), b.TransferBuffer, t->length);
  t->holds = 1;  // released by startTransfer
  urb->UrbHeader.Status = USBD_STATUS_PENDING;

  {
    std::lock_guard<std::mutex> lock(mutex);
    if (!port.connected) {
      b.TransferBufferLength = 0;  // nothing reached a device that has left
      return completeUrb(irp, urb, USBD_STATUS_DEVICE_GONE);
    }
    t->id = nextIdLocked();
    transfers.push_back(t);
    ++inFlight;
    if (!options.synchronousBulk) IoMarkIrpPending(irp);
  }
  if (options.synchronousBulk) {
    std::optional<NTSTATUS> status = startTransfer(t, true);
    return status ? *status : STATUS_PENDING;
  }
  std::weak_ptr<Impl> weak = shared_from_this();
  post([weak, t] {
    if (auto bus = weak.lock()) bus->startTransfer(t, false);
  });
  return STATUS_PENDING;
}

std::optional<NTSTATUS> Bus::Impl::startTransfer(const std::shared_ptr<Transfer>& t,
                                                 bool markPending) {
  std::shared_ptr<Backend> backend;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (!t->parked && !t->port->connected) t->parked = TransferResult{kUsbdDeviceGone, 0};
    if (!t->parked) {  // not already failed while it waited
      t->state = Transfer::State::AtDevice;
      backend = t->port->backend;
      TrafficEvent e;
      e.kind = TrafficEvent::Kind::Submit;
      e.type = TrafficEvent::Type::Bulk;
      e.id = t->id;
      e.port = t->port->number;
      e.endpoint = t->endpoint;
      e.length = t->length;
      if (!t->in && bulkDataWanted()) e.data.assign(t->bounce.get(), t->bounce.get() + t->length);
      recordLocked(std::move(e));
    }
  }
  if (backend) {
    std::weak_ptr<Impl> weak = shared_from_this();
    backend->submitBulk(t->endpoint, t->bounce.get(), t->length, t->shortOk,
                        [weak, t](TransferResult result) {
                          if (auto bus = weak.lock()) bus->deviceDone(t, result);
                        });
  }
  std::optional<TransferResult> result;
  {
    std::lock_guard<std::mutex> lock(mutex);
    --t->holds;
    if (t->holds == 0 && t->parked) {
      result = t->parked;
    } else if (markPending) {
      IoMarkIrpPending(t->irp);  // someone else will complete it
    }
  }
  if (result) return finish(t, *result);
  return std::nullopt;
}

void Bus::Impl::deviceDone(const std::shared_ptr<Transfer>& t, TransferResult result) {
  // On the controller thread already (a device that answers at once while
  // its transfer is started there), the result is taken in place: posting it
  // would only queue it behind the job that is running now.
  if (options.synchronousBulk || onController()) {
    finish(t, result);
    return;
  }
  post([self = shared_from_this(), t, result] { self->finish(t, result); });
}

std::optional<NTSTATUS> Bus::Impl::finish(const std::shared_ptr<Transfer>& t,
                                          TransferResult result) {
  NTSTATUS status = STATUS_SUCCESS;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (t->state == Transfer::State::Done) return std::nullopt;  // late or repeated answer
    if (t->holds > 0) {
      if (!t->parked) t->parked = result;
      return std::nullopt;
    }
    t->state = Transfer::State::Done;
    transfers.remove(t);

    const std::uint32_t actual =
        static_cast<std::uint32_t>(std::min<std::size_t>(result.actual, t->length));
    auto usbd = static_cast<USBD_STATUS>(result.status);
    // A short packet ends an IN transfer; without USBD_SHORT_TRANSFER_OK the
    // host controller reports it as an underrun.
    if (USBD_SUCCESS(usbd) && t->in && actual < t->length && !t->shortOk) {
      usbd = USBD_STATUS_DATA_UNDERRUN;
    }
    auto& b = t->urb->UrbBulkOrInterruptTransfer;
    if (t->in && actual > 0) std::memcpy(b.TransferBuffer, t->bounce.get(), actual);
    b.TransferBufferLength = actual;
    b.Hdr.Status = usbd;
    status = ntStatusFromUsbd(usbd);
    t->irp->IoStatus.Status = status;
    t->irp->IoStatus.Information = 0;

    TrafficEvent e;
    e.kind = TrafficEvent::Kind::Complete;
    e.type = TrafficEvent::Type::Bulk;
    e.id = t->id;
    e.port = t->port->number;
    e.endpoint = t->endpoint;
    e.length = actual;
    if (t->in && bulkDataWanted()) e.data.assign(t->bounce.get(), t->bounce.get() + actual);
    e.status = static_cast<UsbdStatus>(usbd);
    recordLocked(std::move(e));
  }
  IofCompleteRequest(t->irp, IO_NO_INCREMENT);
  {
    std::lock_guard<std::mutex> lock(mutex);
    --inFlight;
  }
  changed.notify_all();
  return status;
}

void Bus::Impl::failTransfers(const std::function<bool(const Transfer&)>& match,
                              UsbdStatus status, bool onCaller) {
  std::vector<std::shared_ptr<Transfer>> hit;
  {
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& t : transfers) {
      if (t->state != Transfer::State::Done && match(*t)) hit.push_back(t);
    }
  }
  for (const auto& t : hit) {
    // On the controller thread the failure is taken in place, so that it
    // stays ahead of any result the device gives there after it.
    if (onCaller || options.synchronousBulk || onController()) {
      finish(t, {status, 0});
    } else {
      post([self = shared_from_this(), t, status] { self->finish(t, {status, 0}); });
    }
  }
}

NTSTATUS Bus::Impl::abortPipe(PortState& port, PIRP irp, PURB urb) {
  std::optional<PipeState> pipe;
  std::shared_ptr<Backend> backend;
  std::vector<std::shared_ptr<Transfer>> hit;
  {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = port.pipes.find(urb->UrbPipeRequest.PipeHandle);
    if (it == port.pipes.end()) {
      // Fall through to completion outside the lock.
    } else {
      pipe = it->second;
      backend = port.backend;
      for (const auto& t : transfers) {
        if (t->port == &port && t->endpoint == pipe->endpoint &&
            t->state != Transfer::State::Done) {
          ++t->holds;
          hit.push_back(t);
        }
      }
    }
  }
  if (!pipe) return completeUrb(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);

  backend->abortEndpoint(pipe->endpoint);  // the device answers kUsbdCanceled
  {
    std::lock_guard<std::mutex> lock(mutex);
    TrafficEvent e;
    e.kind = TrafficEvent::Kind::AbortPipe;
    e.type = TrafficEvent::Type::Bulk;
    e.id = nextIdLocked();
    e.port = port.number;
    e.endpoint = pipe->endpoint;
    e.status = kUsbdSuccess;
    recordLocked(std::move(e));
  }
  for (const auto& t : hit) {
    std::optional<TransferResult> result;
    {
      std::lock_guard<std::mutex> lock(mutex);
      --t->holds;
      // A transfer the device has not answered is cancelled here all the same.
      if (!t->parked) t->parked = TransferResult{kUsbdCanceled, 0};
      if (t->holds == 0) result = t->parked;
    }
    if (result) finish(t, *result);
  }
  return completeUrb(irp, urb, USBD_STATUS_SUCCESS);
}

}  // namespace pf::usb
