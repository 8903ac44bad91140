// The application side: the filter of an adapter, its pins, properties,
// data intersection, pin creation, pin states and stream buffers.
#include <cstring>

#include "internal.hpp"

namespace pf::ks {
namespace {

std::vector<std::uint8_t> bytesOf(const void* p, std::size_t size) {
  auto* b = static_cast<const std::uint8_t*>(p);
  return std::vector<std::uint8_t>(b, b + size);
}

// Fills the KSPROPERTY at the start of a record.
void stamp(void* record, const GUID& set, ULONG id, ULONG flags) {
  KSPROPERTY property{};
  property.Set = set;
  property.Id = id;
  property.Flags = flags;
  std::memcpy(record, &property, sizeof property);
}

}  // namespace

// ---- Filter ----

Filter::Filter(Adapter& adapter) : adapter_(adapter) {}

ULONG Filter::pinCount() const { return adapter_.streamCount(); }

PinInfo Filter::pin(ULONG id) const {
  const HW_STREAM_INFORMATION& info = adapter_.streamInfo(id);
  PinInfo pin;
  pin.id = id;
  pin.dataFlow = info.DataFlow;
  pin.possibleInstances = info.NumberOfPossibleInstances;
  pin.dataAccessible = info.DataAccessible != FALSE;
  if (info.Category) pin.category = *info.Category;
  if (info.Name) pin.name = *info.Name;
  for (ULONG i = 0; i < info.NumberOfFormatArrayEntries && info.StreamFormatsArray; ++i)
    pin.dataRanges.push_back(info.StreamFormatsArray[i]);
  for (ULONG i = 0; i < info.MediumsCount && info.Mediums; ++i)
    pin.mediums.push_back(info.Mediums[i]);
  pin.propertySets = info.StreamPropertiesArray;
  pin.propertySetCount = info.NumStreamPropArrayEntries;
  pin.bridge = info.BridgeStream != FALSE;
  return pin;
}

std::vector<PinInfo> Filter::pins() const {
  std::vector<PinInfo> all;
  for (ULONG i = 0; i < pinCount(); ++i) all.push_back(pin(i));
  return all;
}

TopologyInfo Filter::topology() const {
  TopologyInfo topology;
  const KSTOPOLOGY* t = adapter_.streamHeader().Topology;
  if (t == nullptr) return topology;
  for (ULONG i = 0; i < t->CategoriesCount && t->Categories; ++i)
    topology.categories.push_back(t->Categories[i]);
  for (ULONG i = 0; i < t->TopologyNodesCount && t->TopologyNodes; ++i)
    topology.nodes.push_back(t->TopologyNodes[i]);
  for (ULONG i = 0; i < t->TopologyConnectionsCount && t->TopologyConnections; ++i)
    topology.connections.push_back(t->TopologyConnections[i]);
  return topology;
}

PropertyResult Filter::property(const void* input, ULONG inputSize, void* data, ULONG dataSize) {
  const HW_STREAM_HEADER& header = adapter_.streamHeader();
  detail::PropertyCheck check = detail::checkProperty(
      header.DevicePropertiesArray, header.NumDevPropArrayEntries, input, inputSize, data, dataSize);
  if (!check.forward) return check.answer;
  KSPROPERTY property;
  std::memcpy(&property, input, sizeof property);
  SRB_COMMAND command = (property.Flags & KSPROPERTY_TYPE_GET) ? SRB_GET_DEVICE_PROPERTY
                                                               : SRB_SET_DEVICE_PROPERTY;
  return detail::forwardProperty(*adapter_.state(), detail::Target::Device, nullptr, command,
                                 check.setIndex, input, inputSize, data, dataSize);
}

PropertyResult Filter::recordCall(ULONG flags, const GUID& set, ULONG id, void* record,
                                  ULONG size) {
  if (record == nullptr || size < sizeof(KSPROPERTY)) return {STATUS_INVALID_BUFFER_SIZE, 0};
  stamp(record, set, id, flags);
  return property(record, size, record, size);
}

PropertyResult Filter::basicSupport(const GUID& set, ULONG id, void* data, ULONG dataSize) {
  KSPROPERTY request{};
  stamp(&request, set, id, KSPROPERTY_TYPE_BASICSUPPORT);
  return property(&request, sizeof request, data, dataSize);
}

PropertyResult Filter::defaultValue(const GUID& set, ULONG id, void* data, ULONG dataSize) {
  KSPROPERTY request{};
  stamp(&request, set, id, KSPROPERTY_TYPE_DEFAULTVALUES);
  return property(&request, sizeof request, data, dataSize);
}

PropertyResult Filter::intersect(ULONG id, const KSDATARANGE& range, void* buffer,
                                 ULONG bufferSize) {
  if (id >= pinCount() || range.FormatSize < sizeof(KSDATARANGE)) {
    return {STATUS_INVALID_PARAMETER, 0};
  }
  if (buffer == nullptr && bufferSize != 0) return {STATUS_INVALID_PARAMETER, 0};
  RequestPtr request;
  NTSTATUS status = adapter_.state()->call(
      detail::Target::Device, SRB_GET_DATA_INTERSECTION, nullptr, {}, &request,
      [&](Request::Core& core) {
        core.buffers.push_back(bytesOf(&range, range.FormatSize));
        core.buffers.push_back(std::vector<std::uint8_t>(bufferSize));
        STREAM_DATA_INTERSECT_INFO& info = core.intersectInfo;
        info.StreamNumber = id;
        info.DataRange = reinterpret_cast<PKSDATARANGE>(core.buffers[0].data());
        info.DataFormatBuffer = bufferSize ? core.buffers[1].data() : nullptr;
        info.SizeOfDataFormatBuffer = bufferSize;
        core.srb()->CommandData.IntersectInfo = &info;
      });
  if (!request || !request->completed()) return {status, 0};
  if (bufferSize) std::memcpy(buffer, request->core().buffers[1].data(), bufferSize);
  return {status, request->bytesTransferred()};
}

NTSTATUS Filter::createPin(ULONG id, const KSDATAFORMAT& format, std::unique_ptr<Pin>& out) {
  out.reset();
  if (id >= pinCount() || format.FormatSize < sizeof(KSDATAFORMAT)) return STATUS_INVALID_PARAMETER;
  auto state = adapter_.state();
  auto stream = std::make_shared<detail::StreamState>();
  stream->adapter = state;
  stream->number = id;
  stream->extension = std::make_unique<detail::ZeroBlock>(state->hw().PerStreamExtensionSize);
  PHW_STREAM_OBJECT object = stream->streamObject();
  object->SizeOfThisPacket = sizeof(HW_STREAM_OBJECT);
  object->StreamNumber = id;
  object->HwStreamExtension = state->hw().PerStreamExtensionSize ? stream->extension->get() : nullptr;
  object->HwDeviceExtension = state->extension->get();

  NTSTATUS status = state->call(detail::Target::Device, SRB_OPEN_STREAM, stream, {}, nullptr,
                                [&](Request::Core& core) {
                                  core.buffers.push_back(bytesOf(&format, format.FormatSize));
                                  core.srb()->CommandData.OpenFormat =
                                      reinterpret_cast<PKSDATAFORMAT>(core.buffers[0].data());
                                });
  if (!NT_SUCCESS(status)) return status;
  out.reset(new Pin(*this, std::move(stream)));
  return STATUS_SUCCESS;
}

// ---- Pin ----

Pin::Pin(Filter& filter, std::shared_ptr<detail::StreamState> stream)
    : filter_(filter), stream_(std::move(stream)) {}

Pin::~Pin() {
  if (!closed_) close();
}

ULONG Pin::id() const { return stream_->number; }
PHW_STREAM_OBJECT Pin::streamObject() const { return stream_->streamObject(); }
PVOID Pin::streamExtension() const { return stream_->streamObject()->HwStreamExtension; }

NTSTATUS Pin::setState(KSSTATE target) {
  if (closed_) return STATUS_INVALID_DEVICE_STATE;
  if (target < KSSTATE_STOP || target > KSSTATE_RUN) return STATUS_INVALID_PARAMETER;
  while (state_ != target) {
    KSSTATE next = KSSTATE(state_ < target ? state_ + 1 : state_ - 1);
    NTSTATUS status = callControl(SRB_SET_STREAM_STATE, [next](HW_STREAM_REQUEST_BLOCK& srb) {
      srb.CommandData.StreamState = next;
    });
    if (!NT_SUCCESS(status)) return status;
    state_ = next;
  }
  return STATUS_SUCCESS;
}

NTSTATUS Pin::getState(KSSTATE& state) {
  RequestPtr request;
  NTSTATUS status = callControl(SRB_GET_STREAM_STATE, {}, &request);
  if (request && request->completed()) state = request->srb()->CommandData.StreamState;
  return status;
}

PropertyResult Pin::property(const void* input, ULONG inputSize, void* data, ULONG dataSize) {
  if (closed_) return {STATUS_INVALID_DEVICE_STATE, 0};
  const HW_STREAM_INFORMATION& info = filter_.adapter().streamInfo(id());
  detail::PropertyCheck check = detail::checkProperty(
      info.StreamPropertiesArray, info.NumStreamPropArrayEntries, input, inputSize, data, dataSize);
  if (!check.forward) return check.answer;
  KSPROPERTY property;
  std::memcpy(&property, input, sizeof property);
  SRB_COMMAND command = (property.Flags & KSPROPERTY_TYPE_GET) ? SRB_GET_STREAM_PROPERTY
                                                               : SRB_SET_STREAM_PROPERTY;
  return detail::forwardProperty(*stream_->adapter, detail::Target::Control, stream_, command,
                                 check.setIndex, input, inputSize, data, dataSize);
}

PropertyResult Pin::recordCall(ULONG flags, const GUID& set, ULONG id, void* record, ULONG size) {
  if (record == nullptr || size < sizeof(KSPROPERTY)) return {STATUS_INVALID_BUFFER_SIZE, 0};
  stamp(record, set, id, flags);
  return property(record, size, record, size);
}

RequestPtr Pin::read(ULONG size) {
  std::vector<StreamBuffer> buffers(1);
  buffers[0].data.resize(size);
  return submit(SRB_READ_DATA, std::move(buffers));
}

RequestPtr Pin::write(const std::vector<std::uint8_t>& bytes, ULONG optionsFlags) {
  std::vector<StreamBuffer> buffers(1);
  buffers[0].data = bytes;
  buffers[0].dataUsed = ULONG(bytes.size());
  buffers[0].optionsFlags = optionsFlags;
  return submit(SRB_WRITE_DATA, std::move(buffers));
}

RequestPtr Pin::submit(SRB_COMMAND command, std::vector<StreamBuffer> buffers) {
  if (closed_) return nullptr;
  return stream_->adapter->send(detail::Target::Data, command, stream_, {}, std::move(buffers));
}

RequestPtr Pin::sendControl(SRB_COMMAND command, const PrepareRequest& prepare) {
  if (closed_) return nullptr;
  return stream_->adapter->send(detail::Target::Control, command, stream_, prepare);
}

NTSTATUS Pin::callControl(SRB_COMMAND command, const PrepareRequest& prepare,
                          RequestPtr* request) {
  if (closed_) return STATUS_INVALID_DEVICE_STATE;
  return stream_->adapter->call(detail::Target::Control, command, stream_, prepare, request);
}

NTSTATUS Pin::close() {
  if (closed_) return STATUS_SUCCESS;
  detail::AdapterState& adapter = *stream_->adapter;
  // The adapter's removal took the stream with it.
  if (!adapter.extension) {
    closed_ = true;
    return STATUS_SUCCESS;
  }
  // As KS does for a pin closed while not stopped: it is stopped first, so
  // that nothing keeps running behind a closed pin. Its result is not the
  // close's.
  if (state_ != KSSTATE_STOP) (void)setState(KSSTATE_STOP);
  closed_ = true;
  // As a handle close does: what is still pending on the pin is cancelled
  // first, and given the usual time to come back.
  std::vector<RequestPtr> pending;
  {
    std::lock_guard<std::mutex> lock(adapter.mutex);
    for (auto& [raw, request] : adapter.pending)
      if (request->core().stream == stream_) pending.push_back(request);
  }
  for (auto& request : pending) request->cancel();
  for (auto& request : pending) request->wait(adapter.options.waitLimit);
  return adapter.call(detail::Target::Device, SRB_CLOSE_STREAM, stream_, {}, nullptr);
}

}  // namespace pf::ks
