// Requests of the class driver: building an SRB with its extension and IRP,
// handing it to the minidriver at the right IRQL, tracking it until the
// minidriver completes it exactly once.
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "internal.hpp"
#include "pf/host/verifier.hpp"

namespace pf::ks {
namespace detail {

ZeroBlock::ZeroBlock(std::size_t bytes) : size(bytes) {
  // Never a zero-sized block: the minidriver may take the address.
  std::size_t rounded = ((bytes ? bytes : 1) + 15) / 16 * 16;
  data = std::aligned_alloc(16, rounded);
  if (data == nullptr) pf::bugcheck("class driver out of host memory (%zu bytes)", bytes);
  std::memset(data, 0, rounded);
}

ZeroBlock::~ZeroBlock() { std::free(data); }

namespace {

std::mutex& trackerMutex() {
  static std::mutex m;
  return m;
}
std::unordered_map<PHW_STREAM_REQUEST_BLOCK, std::weak_ptr<Request>>& tracker() {
  static std::unordered_map<PHW_STREAM_REQUEST_BLOCK, std::weak_ptr<Request>> t;
  return t;
}

const char* targetName(Target target) {
  switch (target) {
    case Target::Device: return "device";
    case Target::Control: return "stream control";
    case Target::Data: return "stream data";
  }
  return "?";
}

// Records a completion; bugchecks for a request never sent or completed
// before. Answers the request, held, so that it outlives the caller's use.
RequestPtr acceptCompletion(PHW_STREAM_REQUEST_BLOCK srb, const char* how) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL)
    pf::bugcheck("%s above DISPATCH_LEVEL (IRQL %u)", how, unsigned(KeGetCurrentIrql()));
  RequestPtr request;
  {
    std::lock_guard<std::mutex> lock(trackerMutex());
    auto it = tracker().find(srb);
    if (it != tracker().end()) request = it->second.lock();
  }
  if (srb == nullptr || !request)
    pf::bugcheck("%s of a request the class driver never sent (SRB %p)", how,
                 static_cast<void*>(srb));
  auto& core = request->core();
  {
    std::lock_guard<std::mutex> lock(core.mutex);
    if (++core.completionCount > 1)
      pf::verifier::requestCompletedTwice("stream request block", srb);
    core.finalStatus = srb->Status;
    core.finalBytes = srb->ActualBytesTransferred;
    if (core.irp != nullptr) {
      core.irp->IoStatus.Status = srb->Status;
      core.irp->IoStatus.Information = srb->ActualBytesTransferred;
    }
    core.isCompleted = true;
  }
  core.done.notify_all();
  return request;
}

}  // namespace

void trackRequest(PHW_STREAM_REQUEST_BLOCK srb, const RequestPtr& request) {
  std::lock_guard<std::mutex> lock(trackerMutex());
  tracker()[srb] = request;
}

void untrackRequest(PHW_STREAM_REQUEST_BLOCK srb) {
  std::lock_guard<std::mutex> lock(trackerMutex());
  tracker().erase(srb);
}

const HW_STREAM_INFORMATION* AdapterState::info(ULONG stream) const {
  if (!streamDescriptor || stream >= header()->NumberOfStreams) return nullptr;
  auto* base = static_cast<const std::uint8_t*>(streamDescriptor->get());
  return reinterpret_cast<const HW_STREAM_INFORMATION*>(
      base + offsetof(HW_STREAM_DESCRIPTOR, StreamInfo) + stream * sizeof(HW_STREAM_INFORMATION));
}

RequestPtr AdapterState::send(Target target, SRB_COMMAND command,
                              const std::shared_ptr<StreamState>& stream,
                              const PrepareRequest& prepare, std::vector<StreamBuffer> buffers,
                              const std::function<void(Request::Core&)>& setup) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL)
    pf::bugcheck("%s request 0x%x sent above PASSIVE_LEVEL", targetName(target), unsigned(command));

  // After removal the extension is gone and nothing reaches the minidriver.
  if (!extension) return nullptr;

  if (target != Target::Device) {
    PHW_STREAM_OBJECT object = stream->streamObject();
    if (target == Target::Control ? object->ReceiveControlPacket == nullptr
                                  : object->ReceiveDataPacket == nullptr)
      pf::bugcheck("stream %lu opened without a %s routine", (unsigned long)object->StreamNumber,
                   target == Target::Control ? "ReceiveControlPacket" : "ReceiveDataPacket");
  }

  auto core = std::make_unique<Request::Core>();
  core->adapter = shared_from_this();
  core->stream = stream;
  core->target = target;
  core->extension = std::make_unique<ZeroBlock>(hw().PerRequestExtensionSize);
  core->irp = IoAllocateIrp(CCHAR(classDevice.StackSize), FALSE);
  if (core->irp == nullptr) return nullptr;

  PHW_STREAM_REQUEST_BLOCK srb = core->srb();
  srb->SizeOfThisPacket = sizeof(HW_STREAM_REQUEST_BLOCK);
  srb->Command = command;
  srb->Status = STATUS_PENDING;
  srb->StreamObject = stream ? stream->streamObject() : nullptr;
  srb->HwDeviceExtension = extension->get();
  srb->SRBExtension = hw().PerRequestExtensionSize ? core->extension->get() : nullptr;
  srb->Irp = core->irp;
  srb->TimeoutCounter = options.requestTimeoutSeconds;
  srb->TimeoutOriginal = options.requestTimeoutSeconds;
  srb->Flags = target == Target::Device  ? 0
               : target == Target::Data ? SRB_HW_FLAGS_STREAM_REQUEST | SRB_HW_FLAGS_DATA_TRANSFER
                                        : SRB_HW_FLAGS_STREAM_REQUEST;
  core->irp->Tail.Overlay.DriverContext[0] = srb;
  core->irp->IoStatus.Status = STATUS_PENDING;

  if (target == Target::Data) {
    core->buffers.reserve(buffers.size());
    core->headers.resize(buffers.size());
    for (std::size_t i = 0; i < buffers.size(); ++i) {
      core->buffers.push_back(std::move(buffers[i].data));
      KSSTREAM_HEADER& h = core->headers[i];
      h.Size = sizeof(KSSTREAM_HEADER);
      h.FrameExtent = ULONG(core->buffers[i].size());
      h.DataUsed = buffers[i].dataUsed;
      h.Data = core->buffers[i].empty() ? nullptr : core->buffers[i].data();
      h.OptionsFlags = buffers[i].optionsFlags;
    }
    srb->CommandData.DataBufferArray = core->headers.empty() ? nullptr : core->headers.data();
    srb->NumberOfBuffers = ULONG(core->headers.size());
    srb->NumberOfBytesToTransfer = ULONG(core->headers.size() * sizeof(KSSTREAM_HEADER));
  }

  if (setup) setup(*core);
  auto request = std::make_shared<Request>(std::move(core));
  if (prepare) prepare(*srb);

  trackRequest(srb, request);
  {
    std::lock_guard<std::mutex> lock(mutex);
    pending.emplace(request.get(), request);
  }

  PHW_STREAM_OBJECT object = srb->StreamObject;
  switch (target) {
    case Target::Device:
      hw().HwReceivePacket(srb);
      break;
    case Target::Control:
      object->ReceiveControlPacket(srb);
      break;
    case Target::Data: {
      KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
      object->ReceiveDataPacket(srb);
      KfLowerIrql(old);
      break;
    }
  }
  return request;
}

NTSTATUS AdapterState::call(Target target, SRB_COMMAND command,
                            const std::shared_ptr<StreamState>& stream,
                            const PrepareRequest& prepare, RequestPtr* out,
                            const std::function<void(Request::Core&)>& setup) {
  if (!extension) return STATUS_DEVICE_NOT_CONNECTED;
  RequestPtr request = send(target, command, stream, prepare, {}, setup);
  if (out) *out = request;
  if (!request) return STATUS_INSUFFICIENT_RESOURCES;
  if (!request->wait(options.waitLimit)) return STATUS_IO_TIMEOUT;
  return request->status();
}

NTSTATUS AdapterState::mustCall(SRB_COMMAND command, const PrepareRequest& prepare) {
  RequestPtr request = send(Target::Device, command, nullptr, prepare);
  if (!request) return STATUS_INSUFFICIENT_RESOURCES;
  if (!request->wait(options.waitLimit))
    pf::bugcheck("minidriver did not complete device request 0x%x within %lld ms",
                 unsigned(command), static_cast<long long>(options.waitLimit.count()));
  return request->status();
}

void AdapterState::completed(Request* request) {
  RequestPtr last;  // released after the lock, it may be the last handle
  {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = pending.find(request);
    if (it != pending.end()) {
      last = std::move(it->second);
      pending.erase(it);
    }
  }
  idle.notify_all();
}

}  // namespace detail

// ---- Request ----

Request::Request(std::unique_ptr<Core> core) : core_(std::move(core)) {}

Request::~Request() {
  detail::untrackRequest(core_->srb());
  if (core_->irp != nullptr) IoFreeIrp(core_->irp);
}

PHW_STREAM_REQUEST_BLOCK Request::srb() const { return core_->srb(); }
PIRP Request::irp() const { return core_->irp; }
SRB_COMMAND Request::command() const { return core_->srb()->Command; }

bool Request::completed() const {
  std::lock_guard<std::mutex> lock(core_->mutex);
  return core_->isCompleted;
}

bool Request::wait(std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(core_->mutex);
  return core_->done.wait_for(lock, timeout, [&] { return core_->isCompleted; });
}

NTSTATUS Request::status() const {
  std::lock_guard<std::mutex> lock(core_->mutex);
  return core_->finalStatus;
}

ULONG Request::bytesTransferred() const {
  std::lock_guard<std::mutex> lock(core_->mutex);
  return core_->finalBytes;
}

unsigned Request::completions() const {
  std::lock_guard<std::mutex> lock(core_->mutex);
  return core_->completionCount;
}

std::size_t Request::bufferCount() const { return core_->headers.size(); }
const KSSTREAM_HEADER& Request::header(std::size_t index) const {
  return core_->headers.at(index);
}
const std::vector<std::uint8_t>& Request::data(std::size_t index) const {
  return core_->buffers.at(index);
}

void Request::cancel() {
  if (completed()) return;
  PHW_CANCEL_SRB cancelPacket = core_->adapter->hw().HwCancelPacket;
  if (cancelPacket == nullptr) return;
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  cancelPacket(core_->srb());
  KfLowerIrql(old);
}

}  // namespace pf::ks

// ---- Completion notifications from the minidriver ----

using pf::ks::detail::acceptCompletion;

extern "C" VOID StreamClassDeviceNotification(
    STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE NotificationType, PVOID HwDeviceExtension, ...) {
  if (NotificationType != DeviceRequestComplete) return;  // readiness and events: nothing to do
  va_list args;
  va_start(args, HwDeviceExtension);
  auto srb = va_arg(args, PHW_STREAM_REQUEST_BLOCK);
  va_end(args);
  auto request = acceptCompletion(srb, "DeviceRequestComplete");
  auto& core = request->core();
  if (core.target != pf::ks::detail::Target::Device)
    pf::bugcheck("DeviceRequestComplete for stream request 0x%x (SRB %p)",
                 unsigned(srb->Command), static_cast<void*>(srb));
  if (HwDeviceExtension != srb->HwDeviceExtension)
    pf::bugcheck("DeviceRequestComplete with a foreign device extension (SRB %p)",
                 static_cast<void*>(srb));
  core.adapter->completed(request.get());
}

extern "C" VOID StreamClassStreamNotification(
    STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE NotificationType, PHW_STREAM_OBJECT StreamObject,
    ...) {
  if (NotificationType != StreamRequestComplete) return;
  va_list args;
  va_start(args, StreamObject);
  auto srb = va_arg(args, PHW_STREAM_REQUEST_BLOCK);
  va_end(args);
  auto request = acceptCompletion(srb, "StreamRequestComplete");
  auto& core = request->core();
  if (core.target == pf::ks::detail::Target::Device)
    pf::bugcheck("StreamRequestComplete for device request 0x%x (SRB %p)",
                 unsigned(srb->Command), static_cast<void*>(srb));
  if (StreamObject != srb->StreamObject)
    pf::bugcheck("StreamRequestComplete with a foreign stream object (SRB %p)",
                 static_cast<void*>(srb));
  core.adapter->completed(request.get());
}
