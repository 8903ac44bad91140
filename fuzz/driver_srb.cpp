// Fuzzes the minidriver's own request handlers with raw requests, past the
// checks the class driver makes first: device property GET and SET with
// property and data buffers of any size and any set, item and flags; data
// intersection for any stream number, range and answer buffer; stream open
// for any stream number and format (an opened stream is closed again).
//
// The requests keep what every class driver guarantees: the property input
// holds at least a KSPROPERTY, a range or format at least a KSDATARANGE, and
// every buffer really has the size the request gives. Everything else comes
// from the input.
//
// Input: [op] then the op's fields (support/input.hpp; missing bytes read 0).
//   op 0, 1  GET, SET: [set] [item] [flags] [set index] [input size LE16]
//            [data size LE16] [bytes]: set and item index the minidriver's
//            tables (past their end: a GUID / id from the input); the bytes
//            fill the input after its KSPROPERTY, then the data buffer
//   op 2     intersection: [stream] [range] [buffer size LE16] [offset LE16]
//            [patch]: a range of the stream's table, patched at offset
//   op 3     open: [stream] [range] [unused LE16] [offset LE16] [patch]
// Checks: no sanitizer finding or bugcheck; no handler answers pending; a
// GET or an intersection never answers more bytes than the buffer holds; a
// failed open leaves no stream behind, an open stream closes cleanly; the
// driver's pool is back where it was after each input.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "driver/devprop.h"
#include "driver/drventry.h"
#include "pf/host/pool.hpp"
#include "support/input.hpp"
#include "support/session_once.hpp"
#include "support/state.hpp"

namespace {

void check(bool ok, const char* what) {
  if (!ok) fuzz::fail("driver_srb", what);
}

HW_STREAM_REQUEST_BLOCK makeRequest(DeviceContext* device, SRB_COMMAND command) {
  HW_STREAM_REQUEST_BLOCK srb{};
  srb.SizeOfThisPacket = sizeof srb;
  srb.Command = command;
  srb.Status = STATUS_SUCCESS;
  srb.HwDeviceExtension = device;
  return srb;
}

void property(DeviceContext* device, bool get, fuzz::Input& in) {
  const std::uint8_t setIndex = in.u8();
  const std::uint8_t itemIndex = in.u8();
  const std::uint8_t flagsSel = in.u8();
  const std::uint8_t tableIndex = in.u8();
  const ULONG inputSize = sizeof(KSPROPERTY) + in.u16() % 512;
  const ULONG dataSize = in.u16() % 1024;

  std::vector<std::uint8_t> input(inputSize);
  auto* header = reinterpret_cast<KSPROPERTY*>(input.data());
  const KSPROPERTY_SET* set = setIndex < DEVICE_PROPERTY_SET_COUNT ? &DevicePropertySets[setIndex] : nullptr;
  if (set) {
    header->Set = *set->Set;
  } else {
    const auto guid = in.bytes(sizeof(GUID));
    std::copy(guid.begin(), guid.end(), reinterpret_cast<std::uint8_t*>(&header->Set));
  }
  header->Id = (set && itemIndex < set->PropertiesCount) ? set->PropertyItem[itemIndex].PropertyId : in.u32();
  const ULONG own = get ? KSPROPERTY_TYPE_GET : KSPROPERTY_TYPE_SET;
  header->Flags = flagsSel < 0x80 ? own : in.u32();
  const auto extra = in.bytes(inputSize - sizeof(KSPROPERTY));
  std::copy(extra.begin(), extra.end(), input.begin() + sizeof(KSPROPERTY));
  std::vector<std::uint8_t> data(dataSize);
  const auto fill = in.bytes(dataSize);
  std::copy(fill.begin(), fill.end(), data.begin());

  STREAM_PROPERTY_DESCRIPTOR descriptor{};
  descriptor.Property = header;
  descriptor.PropertySetID = (set && tableIndex < 0x80) ? setIndex : tableIndex;
  descriptor.PropertyInfo = dataSize ? data.data() : nullptr;
  descriptor.PropertyInputSize = inputSize;
  descriptor.PropertyOutputSize = dataSize;

  auto srb = makeRequest(device, get ? SRB_GET_DEVICE_PROPERTY : SRB_SET_DEVICE_PROPERTY);
  srb.CommandData.PropertyInfo = &descriptor;
  if (get) {
    PropDeviceGet(&srb);
  } else {
    PropDeviceSet(&srb);
  }
  check(srb.Status != STATUS_PENDING, "a property handler answered pending");
  if (get && NT_SUCCESS(srb.Status)) {
    check(srb.ActualBytesTransferred <= dataSize, "a property GET answered more bytes than its buffer holds");
  }
}

// A range of the stream's table (stream taken modulo the count) patched
// from the input, at least a KSDATARANGE, with the bytes its FormatSize
// announces present.
std::vector<std::uint8_t> patchedRange(ULONG stream, fuzz::Input& in) {
  const std::uint8_t rangeSel = in.u8();
  const HW_STREAM_INFORMATION& info = StreamDescriptors[stream % StreamCount].StreamInfo;
  std::vector<std::uint8_t> bytes;
  if (info.NumberOfFormatArrayEntries > 0) {
    const KSDATARANGE* range = info.StreamFormatsArray[rangeSel % info.NumberOfFormatArrayEntries];
    const auto* p = reinterpret_cast<const std::uint8_t*>(range);
    bytes.assign(p, p + range->FormatSize);
  }
  in.u16();
  const std::size_t offset = in.u16() % (bytes.size() + 1);
  fuzz::overlay(bytes, offset, in.bytes(512));
  if (bytes.size() < sizeof(KSDATARANGE)) bytes.resize(sizeof(KSDATARANGE));
  auto* range = reinterpret_cast<KSDATARANGE*>(bytes.data());
  if (range->FormatSize < sizeof(KSDATARANGE)) range->FormatSize = sizeof(KSDATARANGE);
  if (range->FormatSize > 0x10000) range->FormatSize = static_cast<ULONG>(bytes.size());
  if (range->FormatSize > bytes.size()) bytes.resize(range->FormatSize);
  return bytes;
}

void intersect(DeviceContext* device, fuzz::Input& in) {
  const std::uint8_t streamSel = in.u8();
  const ULONG stream = streamSel < 0xF0 ? streamSel % StreamCount : streamSel;
  // The size is read ahead of the range: patchedRange skips its own two bytes.
  fuzz::Input sizeIn = in;
  sizeIn.u8();
  const ULONG bufferSize = sizeIn.u16() % 1024;
  auto range = patchedRange(stream, in);
  std::vector<std::uint8_t> buffer(bufferSize);

  STREAM_DATA_INTERSECT_INFO info{};
  info.StreamNumber = stream;
  info.DataRange = reinterpret_cast<PKSDATARANGE>(range.data());
  info.DataFormatBuffer = bufferSize ? buffer.data() : nullptr;
  info.SizeOfDataFormatBuffer = bufferSize;
  auto srb = makeRequest(device, SRB_GET_DATA_INTERSECTION);
  srb.CommandData.IntersectInfo = &info;
  AdapterDataIntersection(&srb);
  check(srb.Status != STATUS_PENDING, "the intersection answered pending");
  if (NT_SUCCESS(srb.Status)) {
    check(srb.ActualBytesTransferred <= bufferSize, "an intersection answered past its buffer");
  }
}

void open(DeviceContext* device, fuzz::Input& in) {
  const std::uint8_t streamSel = in.u8();
  const ULONG stream = streamSel < 0xF0 ? streamSel % StreamCount : streamSel;
  auto format = patchedRange(stream, in);

  std::vector<std::uint8_t> extension(STREAM_EXTENSION_SIZE);
  HW_STREAM_OBJECT object{};
  object.SizeOfThisPacket = sizeof object;
  object.StreamNumber = stream;
  object.HwStreamExtension = extension.data();
  object.HwDeviceExtension = device;

  LONG instances[StreamCount];
  std::copy(device->StreamInstances, device->StreamInstances + StreamCount, instances);
  const LONG mpegOpen = device->MpegStreamsOpen;

  auto srb = makeRequest(device, SRB_OPEN_STREAM);
  srb.StreamObject = &object;
  srb.CommandData.OpenFormat = reinterpret_cast<PKSDATAFORMAT>(format.data());
  StreamOpen(&srb);
  check(srb.Status != STATUS_PENDING, "the open answered pending");
  if (NT_SUCCESS(srb.Status)) {
    check(stream < StreamCount && device->OpenStreams[stream] != nullptr, "an open without its stream");
    auto close = makeRequest(device, SRB_CLOSE_STREAM);
    close.StreamObject = &object;
    StreamClose(&close);
    check(close.Status != STATUS_PENDING, "the close answered pending");
  }
  for (ULONG n = 0; n < StreamCount; ++n) {
    check(device->OpenStreams[n] == nullptr, "a stream left open");
    check(device->StreamInstances[n] == instances[n], "stream instances changed");
  }
  check(device->MpegStreamsOpen == mpegOpen, "open MPEG stream count changed");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  mpegunit::Session& s = fuzz::session();
  DeviceContext* device = s.device();
  static const std::size_t baseline = pf::pool::outstanding(MPEGUNIT_POOL_TAG).total().blocks;
  fuzz::Input in(data, size);
  switch (in.u8() % 4) {
    case 0: property(device, true, in); break;
    case 1: property(device, false, in); break;
    case 2: intersect(device, in); break;
    case 3: open(device, in); break;
  }
  check(pf::pool::outstanding(MPEGUNIT_POOL_TAG).total().blocks == baseline,
        "driver pool left allocated after the input");
  s.bus().clearTraffic();
  return 0;
}
