// The application side of the hosted kernel-streaming class driver, in KS
// terms: the filter of an adapter, its pins and topology, properties checked
// against the minidriver's tables, data intersection, pins created with a
// format, the pin state machine and stream buffers.
//
// All calls are made at PASSIVE_LEVEL and wait (bounded by the adapter's
// AdapterOptions::waitLimit) for the minidriver, except the stream buffer
// submissions, which return at once with the pending request.
//
// Property requests are checked as the class driver does before anything
// reaches the minidriver:
//   - input shorter than a KSPROPERTY: STATUS_INVALID_BUFFER_SIZE;
//   - a set the table does not list: STATUS_NOT_IMPLEMENTED;
//   - an item the set does not list: STATUS_NOT_IMPLEMENTED;
//   - GET or SET on an item that does not support it: STATUS_NOT_IMPLEMENTED;
//   - input shorter than MinProperty: STATUS_BUFFER_TOO_SMALL, bytes =
//     MinProperty;
//   - data buffer shorter than MinData: bytes = MinData with
//     STATUS_BUFFER_OVERFLOW for an empty buffer (a size query) and
//     STATUS_BUFFER_TOO_SMALL otherwise.
// Basic-support and default-value queries are answered from the item's
// KSPROPERTY_VALUES; GET and SET become SRB_GET/SET_DEVICE_PROPERTY (or the
// stream variants on a pin) with a STREAM_PROPERTY_DESCRIPTOR.
#pragma once

#include <memory>
#include <vector>

#include "pf/host/ks_class.hpp"

namespace pf::ks {

// A filter registered with StreamClassRegisterFilterWithNoKSPins.
struct RegisteredFilter {
  GUID category{};
  std::vector<bool> pinIsOutput;
  std::vector<KSPIN_MEDIUM> mediums;  // one per pin, empty when none given
  std::vector<GUID> categories;       // empty when none given
};
// The filters registered for a physical device object, in registration order.
std::vector<RegisteredFilter> registeredFilters(PDEVICE_OBJECT physicalDevice);
// Forgets the registrations of a physical device object.
void forgetRegisteredFilters(PDEVICE_OBJECT physicalDevice);

// One pin of the filter as its stream information describes it.
struct PinInfo {
  ULONG id = 0;
  KSPIN_DATAFLOW dataFlow = KSPIN_DATAFLOW_IN;
  ULONG possibleInstances = 0;
  bool dataAccessible = false;
  std::optional<GUID> category;
  std::optional<GUID> name;
  std::vector<const KSDATARANGE*> dataRanges;  // the minidriver's tables
  std::vector<KSPIN_MEDIUM> mediums;
  const KSPROPERTY_SET* propertySets = nullptr;
  ULONG propertySetCount = 0;
  bool bridge = false;
};

struct TopologyInfo {
  std::vector<GUID> categories;
  std::vector<GUID> nodes;
  std::vector<KSTOPOLOGY_CONNECTION> connections;
};

// Outcome of a property call: the status and the bytes returned (or the
// size needed, for a size answer).
struct PropertyResult {
  NTSTATUS status = STATUS_SUCCESS;
  ULONG bytes = 0;
};

class Pin;

// The filter of one adapter; the adapter must outlive it and its pins.
class Filter {
 public:
  explicit Filter(Adapter& adapter);

  Adapter& adapter() const { return adapter_; }
  ULONG pinCount() const;
  PinInfo pin(ULONG id) const;
  std::vector<PinInfo> pins() const;
  TopologyInfo topology() const;

  // A property request as IOCTL_KS_PROPERTY carries it: input starts with
  // the KSPROPERTY (Set, Id, Flags), data is the data buffer.
  PropertyResult property(const void* input, ULONG inputSize, void* data, ULONG dataSize);
  // The common form of the video property records: the record (starting
  // with its KSPROPERTY) is both the request and the data buffer.
  template <class Record>
  PropertyResult get(const GUID& set, ULONG id, Record& record) {
    return recordCall(KSPROPERTY_TYPE_GET, set, id, &record, sizeof(Record));
  }
  template <class Record>
  PropertyResult set(const GUID& set, ULONG id, Record& record) {
    return recordCall(KSPROPERTY_TYPE_SET, set, id, &record, sizeof(Record));
  }
  PropertyResult recordCall(ULONG flags, const GUID& set, ULONG id, void* record, ULONG size);
  // Basic support (a KSPROPERTY_DESCRIPTION, its members lists when data is
  // large enough, the access flags alone for a 4-byte buffer) and the
  // default value (the member flagged KSPROPERTY_MEMBER_FLAG_DEFAULT).
  PropertyResult basicSupport(const GUID& set, ULONG id, void* data, ULONG dataSize);
  PropertyResult defaultValue(const GUID& set, ULONG id, void* data, ULONG dataSize);

  // SRB_GET_DATA_INTERSECTION for pin id with the caller's range; the answer
  // (a format, or a size for a size query) is written to buffer. A pin id
  // the filter does not have: STATUS_INVALID_PARAMETER.
  PropertyResult intersect(ULONG id, const KSDATARANGE& range, void* buffer, ULONG bufferSize);

  // SRB_OPEN_STREAM for pin id with format (FormatSize bytes): a stream
  // object with its zero-filled extension. Fails with the minidriver's
  // status; STATUS_INVALID_PARAMETER for a pin id or format the class
  // driver rejects before asking.
  NTSTATUS createPin(ULONG id, const KSDATAFORMAT& format, std::unique_ptr<Pin>& out);

 private:
  Adapter& adapter_;
};

// One stream buffer of a data request.
struct StreamBuffer {
  std::vector<std::uint8_t> data;  // FrameExtent is its size
  ULONG dataUsed = 0;              // written bytes (for a write)
  ULONG optionsFlags = 0;          // KSSTREAM_HEADER_OPTIONSF_*
};

// An open pin. Closing it (close() or the destructor) cancels its pending
// requests, sends SRB_CLOSE_STREAM and frees the stream object once no
// request refers to it.
class Pin {
 public:
  ~Pin();
  Pin(const Pin&) = delete;
  Pin& operator=(const Pin&) = delete;

  ULONG id() const;
  PHW_STREAM_OBJECT streamObject() const;
  PVOID streamExtension() const;
  Filter& filter() const { return filter_; }

  // The state the class driver last set successfully.
  KSSTATE state() const { return state_; }
  // Moves the pin to state one step at a time (STOP, ACQUIRE, PAUSE, RUN and
  // back), one SRB_SET_STREAM_STATE per step; stops at the first failure
  // and answers it. The same state again sends nothing.
  NTSTATUS setState(KSSTATE state);
  // SRB_GET_STREAM_STATE: answers the request's status (a paused pin may
  // answer STATUS_NO_DATA_DETECTED) and the state reported.
  NTSTATUS getState(KSSTATE& state);

  // Stream property, checked against the stream's property sets.
  PropertyResult property(const void* input, ULONG inputSize, void* data, ULONG dataSize);
  template <class Record>
  PropertyResult get(const GUID& set, ULONG id, Record& record) {
    return recordCall(KSPROPERTY_TYPE_GET, set, id, &record, sizeof(Record));
  }
  PropertyResult recordCall(ULONG flags, const GUID& set, ULONG id, void* record, ULONG size);

  // Data requests (DISPATCH_LEVEL), returned pending or completed.
  RequestPtr read(ULONG size);
  RequestPtr write(const std::vector<std::uint8_t>& bytes, ULONG optionsFlags = 0);
  RequestPtr submit(SRB_COMMAND command, std::vector<StreamBuffer> buffers);
  // Any control request to the stream (PASSIVE_LEVEL), e.g. SRB_BEGIN_FLUSH.
  RequestPtr sendControl(SRB_COMMAND command, const PrepareRequest& prepare = {});
  NTSTATUS callControl(SRB_COMMAND command, const PrepareRequest& prepare = {},
                       RequestPtr* request = nullptr);

  // Cancels what is pending, then SRB_CLOSE_STREAM; answers its status. A
  // second call answers STATUS_SUCCESS.
  NTSTATUS close();
  bool closed() const { return closed_; }

  Pin(Filter& filter, std::shared_ptr<detail::StreamState> stream);

 private:
  Filter& filter_;
  std::shared_ptr<detail::StreamState> stream_;
  KSSTATE state_ = KSSTATE_STOP;
  bool closed_ = false;
};

}  // namespace pf::ks
