// Fuzzes the whole stack as an application drives it: device properties,
// data intersection, pin creation with a format, and format-change packets
// on the playback pin, through the class driver's client side over one
// Session per process.
//
// Input: [op] then the op's fields (support/input.hpp; missing bytes read 0).
//   op 0  property: [set] [item] [flags] [input size LE16] [data size LE16]
//         [bytes]: set and item index the minidriver's own tables (past
//         their end: a GUID / id from the input); the bytes fill the input
//         after its KSPROPERTY, then the data buffer
//   op 1  intersection: [pin] [range] [answer size sel] [size LE16]
//         [offset LE16] [patch]: the pin's own range, patched at offset
//   op 2  pin creation: as op 1, the patched range as the format; an open
//         pin is closed again
//   op 3  format change: [offset] [size LE16] [patch]: the playback pin runs
//         and gets a write flagged TYPECHANGED whose data is its own format
//         patched at offset and cut to size (0: as long as it is)
// Checks: no sanitizer finding or bugcheck; no call runs into the class
// driver's wait limit; a property GET or an intersection never answers more
// bytes than the buffer holds; every data request completes; the driver's
// pool is back where it was after each input.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "driver/devprop.h"
#include "driver/drventry.h"
#include "driver/mpegunit.h"
#include "pf/host/pool.hpp"
#include "support/input.hpp"
#include "support/session_once.hpp"
#include "support/state.hpp"

namespace {

// What the class driver answers when its wait for the minidriver runs out.
constexpr NTSTATUS kTimedOut = static_cast<NTSTATUS>(0xC00000B5L);  // STATUS_IO_TIMEOUT
constexpr auto kWait = std::chrono::milliseconds(20'000);

void check(bool ok, const char* what) {
  if (!ok) fuzz::fail("ks_client", what);
}

void checkNotTimedOut(NTSTATUS status) { check(status != kTimedOut, "a call ran into the wait limit"); }

void property(pf::ks::Filter& filter, fuzz::Input& in) {
  const std::uint8_t setIndex = in.u8();
  const std::uint8_t itemIndex = in.u8();
  const std::uint8_t flagsSel = in.u8();
  const ULONG inputSize = in.u16() % 1025;
  const ULONG dataSize = in.u16() % 4097;

  KSPROPERTY header{};
  const KSPROPERTY_SET* set = setIndex < DEVICE_PROPERTY_SET_COUNT ? &DevicePropertySets[setIndex] : nullptr;
  if (set) {
    header.Set = *set->Set;
  } else {
    const auto guid = in.bytes(sizeof(GUID));
    std::copy(guid.begin(), guid.end(), reinterpret_cast<std::uint8_t*>(&header.Set));
  }
  header.Id = (set && itemIndex < set->PropertiesCount) ? set->PropertyItem[itemIndex].PropertyId : in.u32();
  static const ULONG kFlags[] = {KSPROPERTY_TYPE_GET, KSPROPERTY_TYPE_SET, KSPROPERTY_TYPE_BASICSUPPORT,
                                 KSPROPERTY_TYPE_DEFAULTVALUES, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET, 0};
  header.Flags = flagsSel < 6 ? kFlags[flagsSel] : in.u32();

  std::vector<std::uint8_t> input(inputSize);
  const auto* raw = reinterpret_cast<const std::uint8_t*>(&header);
  std::copy(raw, raw + std::min<std::size_t>(inputSize, sizeof header), input.begin());
  if (inputSize > sizeof header) {
    const auto extra = in.bytes(inputSize - sizeof header);
    std::copy(extra.begin(), extra.end(), input.begin() + sizeof header);
  }
  std::vector<std::uint8_t> data(dataSize);
  const auto fill = in.bytes(dataSize);
  std::copy(fill.begin(), fill.end(), data.begin());

  const auto result = filter.property(inputSize ? input.data() : nullptr, inputSize, dataSize ? data.data() : nullptr, dataSize);
  checkNotTimedOut(result.status);
  if (NT_SUCCESS(result.status) && header.Flags == KSPROPERTY_TYPE_GET && inputSize >= sizeof header) {
    check(result.bytes <= dataSize, "a property answered more bytes than its buffer holds");
  }
}

// The pin's own range (or the first pin's, for a pin id out of range)
// patched from the input; its FormatSize is what the patch leaves, with the
// bytes behind it present (a caller holds what it announces).
std::vector<std::uint8_t> patchedRange(pf::ks::Filter& filter, ULONG pin, fuzz::Input& in) {
  const std::uint8_t rangeSel = in.u8();
  const auto info = filter.pin(pin < filter.pinCount() ? pin : 0);
  std::vector<std::uint8_t> bytes;
  if (!info.dataRanges.empty()) {
    const KSDATARANGE* range = info.dataRanges[rangeSel % info.dataRanges.size()];
    const auto* p = reinterpret_cast<const std::uint8_t*>(range);
    bytes.assign(p, p + range->FormatSize);
  }
  const std::size_t offset = in.u16() % (bytes.size() + 1);
  fuzz::overlay(bytes, offset, in.bytes(512));
  if (bytes.size() < sizeof(KSDATARANGE)) bytes.resize(sizeof(KSDATARANGE));
  auto* range = reinterpret_cast<KSDATARANGE*>(bytes.data());
  if (range->FormatSize > 0x10000) range->FormatSize = static_cast<ULONG>(bytes.size());
  if (range->FormatSize > bytes.size()) bytes.resize(range->FormatSize);
  return bytes;
}

void intersect(pf::ks::Filter& filter, fuzz::Input& in) {
  const ULONG pin = in.u8() % (filter.pinCount() + 1);
  const std::uint8_t sizeSel = in.u8();
  const ULONG rawSize = in.u16();
  auto range = patchedRange(filter, pin, in);
  const ULONG sizes[] = {0, sizeof(ULONG), 80, 200, rawSize % 2048};
  const ULONG bufferSize = sizes[sizeSel % 5];
  std::vector<std::uint8_t> buffer(bufferSize);
  const auto result = filter.intersect(pin, *reinterpret_cast<const KSDATARANGE*>(range.data()),
                                       bufferSize ? buffer.data() : nullptr, bufferSize);
  checkNotTimedOut(result.status);
  if (NT_SUCCESS(result.status)) check(result.bytes <= bufferSize, "an intersection answered past its buffer");
}

void createPin(pf::ks::Filter& filter, fuzz::Input& in) {
  const ULONG pin = in.u8() % (filter.pinCount() + 1);
  in.u8();
  in.u16();
  auto format = patchedRange(filter, pin, in);
  std::unique_ptr<pf::ks::Pin> opened;
  const NTSTATUS status = filter.createPin(pin, *reinterpret_cast<const KSDATAFORMAT*>(format.data()), opened);
  checkNotTimedOut(status);
  if (opened) checkNotTimedOut(opened->close());
}

void formatChange(pf::ks::Filter& filter, fuzz::Input& in) {
  ULONG playback = filter.pinCount();
  for (const auto& info : filter.pins()) {
    if (info.dataFlow == KSPIN_DATAFLOW_IN && !info.dataRanges.empty() &&
        IsEqualGUID(info.dataRanges[0]->Specifier, KSDATAFORMAT_SPECIFIER_UNIT_MPEG)) {
      playback = info.id;
    }
  }
  check(playback < filter.pinCount(), "no playback pin");
  const KSDATARANGE* own = filter.pin(playback).dataRanges[0];
  std::vector<std::uint8_t> format(reinterpret_cast<const std::uint8_t*>(own),
                                   reinterpret_cast<const std::uint8_t*>(own) + own->FormatSize);

  std::unique_ptr<pf::ks::Pin> pin;
  NTSTATUS status = filter.createPin(playback, *reinterpret_cast<const KSDATAFORMAT*>(format.data()), pin);
  check(NT_SUCCESS(status), "the playback pin does not open with its own format");
  checkNotTimedOut(pin->setState(KSSTATE_RUN));

  const std::size_t offset = in.u8();
  const std::size_t size = in.u16() % 1024;
  fuzz::overlay(format, offset, in.bytes(256));
  if (size != 0) format.resize(size);
  auto request = pin->write(format, KSSTREAM_HEADER_OPTIONSF_TYPECHANGED);
  check(request != nullptr, "no format-change request");
  check(request->wait(kWait), "a format change never completed");
  checkNotTimedOut(pin->setState(KSSTATE_STOP));
  checkNotTimedOut(pin->close());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  mpegunit::Session& s = fuzz::session();
  static const std::size_t baseline = pf::pool::outstanding(MPEGUNIT_POOL_TAG).total().blocks;
  fuzz::Input in(data, size);
  switch (in.u8() % 4) {
    case 0: property(s.filter(), in); break;
    case 1: intersect(s.filter(), in); break;
    case 2: createPin(s.filter(), in); break;
    case 3: formatChange(s.filter(), in); break;
  }
  check(s.adapter().waitIdle(kWait), "requests still pending after the input");
  check(pf::pool::outstanding(MPEGUNIT_POOL_TAG).total().blocks == baseline,
        "driver pool left allocated after the input");
  s.bus().clearTraffic();
  return 0;
}
