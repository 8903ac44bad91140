// mpegunit capture: the capture pin's MPEG stream into a file.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <deque>
#include <fstream>
#include <iostream>

#include "tools/mpegunit/cli.hpp"
#include "tools/mpegunit/mpeg_clock.hpp"
#include "tools/mpegunit/progress.hpp"
#include "tools/mpegunit/properties.hpp"

namespace cli {

namespace {

struct CaptureOptions {
  std::string output;
  double seconds = 10;
  std::uint64_t bytes = 0;  // 0: no byte limit
  std::string mode, size, input, standard;
  std::uint32_t bitrate = 0, peak = 0, audioRate = 0;
  bool cbr = false, vbr = false;
};

// Buffers kept in flight, of the size the pin's allocator framing asks for.
constexpr unsigned kBuffersInFlight = 4;
constexpr ULONG kDefaultBufferSize = 131072;
// Room for any format a pin offers.
constexpr ULONG kFormatBufferBytes = 1024;
// A capture that has not delivered a byte for this long has failed.
constexpr auto kStallLimit = std::chrono::seconds(10);

// The capture format the filter offers for the mode, through data intersection.
std::vector<std::uint8_t> captureFormat(pf::ks::Filter& filter, bool mpeg1) {
  const pf::ks::PinInfo pin = filter.pin(0);
  const GUID wanted = mpeg1 ? GUID{STATIC_KSDATAFORMAT_SUBTYPE_MPEG1Payload}
                            : GUID{STATIC_KSDATAFORMAT_TYPE_MPEG2_PROGRAM};
  for (const KSDATARANGE* range : pin.dataRanges) {
    if (!IsEqualGUID(range->SubFormat, wanted)) continue;
    std::vector<std::uint8_t> format(kFormatBufferBytes);
    const auto result = filter.intersect(0, *range, format.data(), kFormatBufferBytes);
    if (!NT_SUCCESS(result.status)) {
      throw Failure("the capture pin offers no format: " + mpegunit::statusName(result.status));
    }
    format.resize(result.bytes);
    return format;
  }
  throw Failure(std::string("the capture pin has no ") + (mpeg1 ? "MPEG-1" : "MPEG-2") + " format");
}

// The frame size of the pin's allocator framing when it is a sensible one.
ULONG bufferSize(pf::ks::Pin& pin) {
  KSALLOCATOR_FRAMING framing{};
  if (NT_SUCCESS(mpegunit::allocatorFraming(pin, &framing)) && framing.FrameSize >= 4096 &&
      framing.FrameSize <= (4u << 20)) {
    return framing.FrameSize;
  }
  return kDefaultBufferSize;
}

// Sets what the options ask for through the properties, so that it persists
// as any application's change would. The standard goes first (it decides
// the sizes on offer); a refused value puts back what this command changed.
void applySettings(pf::ks::Filter& filter, const CaptureOptions& o) {
  const SettingsSnapshot before(filter);
  try {
    if (!o.input.empty()) setProperty(filter, "input", o.input);
    if (!o.standard.empty()) setProperty(filter, "standard", o.standard);
    EncodingChange change;
    if (!o.mode.empty()) change.mpeg1 = o.mode == "mpeg1";
    if (!o.size.empty()) change.size = parseSize("size", o.size);
    if (o.bitrate) change.bitRate = o.bitrate;
    if (o.peak) change.peakBitRate = o.peak;
    if (o.cbr) change.variable = false;
    if (o.vbr) change.variable = true;
    changeEncoding(filter, change);
    if (o.audioRate) setProperty(filter, "audio-rate", std::to_string(o.audioRate));
  } catch (const Failure&) {
    before.restore(filter);
    throw;
  }
}

void runCapture(const Globals& globals, const CaptureOptions& o) {
  auto session = openSession(globals, [](mpegunit::SessionOptions& options) {
    // A capture may run for hours: neither the unit nor the bus's traffic
    // record keeps a copy of the stream (a --trace file still has it all).
    options.unit.bulkRecordLimit = 0;
    options.bus.recordBulkData = false;
  });
  pf::ks::Filter& filter = session->filter();
  applySettings(filter, o);
  const bool mpeg1 = getProperty(filter, "mode") == "mpeg1";
  const std::string size = getProperty(filter, "size");

  const auto format = captureFormat(filter, mpeg1);
  std::unique_ptr<pf::ks::Pin> pin;
  NTSTATUS status = filter.createPin(0, *reinterpret_cast<const KSDATAFORMAT*>(format.data()), pin);
  if (!NT_SUCCESS(status)) throw Failure("cannot open the capture pin: " + mpegunit::statusName(status));
  const ULONG bufferBytes = bufferSize(*pin);

  std::ofstream file;
  std::ostream* out = &std::cout;
  if (o.output != "-") {
    file.open(o.output, std::ios::binary | std::ios::trunc);
    if (!file) throw Failure("cannot write " + o.output);
    out = &file;
  }

  status = pin->setState(KSSTATE_RUN);
  if (!NT_SUCCESS(status)) throw Failure("the capture did not start: " + mpegunit::statusName(status));
  verbose(globals, "capturing " + std::string(mpeg1 ? "MPEG-1 " : "MPEG-2 ") + size);

  Progress progress("capturing");
  MpegClock clock;
  std::uint64_t written = 0;
  std::string failure;
  std::deque<pf::ks::RequestPtr> inFlight;
  auto lastData = std::chrono::steady_clock::now();
  auto done = [&] {
    if (o.bytes && written >= o.bytes) return true;
    return clock.stopped();
  };
  // The stream is cut at the first pack header at or past the time limit,
  // so that the file holds the time asked for, not whole buffers beyond it.
  if (o.seconds > 0) clock.stopAt(o.seconds);

  while (!done() && failure.empty()) {
    while (inFlight.size() < kBuffersInFlight) {
      auto request = pin->read(bufferBytes);
      if (!request) {
        failure = "no memory for a capture buffer";
        break;
      }
      inFlight.push_back(std::move(request));
    }
    if (!failure.empty()) break;
    if (interrupted()) break;
    auto& front = inFlight.front();
    const bool completed = front->wait(std::chrono::milliseconds(100));
    if (!completed || front->header().DataUsed == 0) {
      // Checked on every turn: a unit that completes empty transfers at once
      // delivers nothing just as one that never completes them.
      if (!session->bus().connected(session->port())) {
        failure = "the unit was unplugged";
        break;
      }
      if (std::chrono::steady_clock::now() - lastData > kStallLimit) {
        failure = "the unit delivered no data for " + std::to_string(kStallLimit.count()) + " seconds";
        break;
      }
      if (!completed) continue;
    }
    if (!NT_SUCCESS(front->status())) {
      failure = "a capture transfer failed: " + mpegunit::statusName(front->status());
      break;
    }
    ULONG used = front->header().DataUsed;
    const auto& data = front->data();
    if (used > data.size()) used = static_cast<ULONG>(data.size());
    if (o.bytes && written + used > o.bytes) used = static_cast<ULONG>(o.bytes - written);
    if (used > 0) {
      used = static_cast<ULONG>(clock.feed(data.data(), used));
      out->write(reinterpret_cast<const char*>(data.data()), used);
      if (!*out) {
        failure = "cannot write " + o.output;
        break;
      }
      written += used;
      lastData = std::chrono::steady_clock::now();
    }
    inFlight.pop_front();
    progress.update(clock.seconds(), written);
  }

  progress.finish();
  const NTSTATUS stopStatus = pin->setState(KSSTATE_STOP);
  inFlight.clear();
  pin->close();
  out->flush();
  if (!failure.empty()) {
    throw Failure(failure + " (kept " + formatBytes(written) + " in " + o.output + ")");
  }
  if (!NT_SUCCESS(stopStatus)) throw Failure("the capture did not stop: " + mpegunit::statusName(stopStatus));
  const double seconds = clock.seconds();
  char summary[256];
  std::snprintf(summary, sizeof summary, "captured %.1f s of %s %s (%s, %s) to %s%s", seconds,
                mpeg1 ? "MPEG-1" : "MPEG-2", size.c_str(), formatBytes(written).c_str(),
                formatRate(seconds > 0 ? double(written) * 8 / seconds : 0).c_str(), o.output.c_str(),
                interrupted() ? ", interrupted" : "");
  std::cerr << summary << "\n";
}

}  // namespace

void addCaptureCommand(CLI::App& app, Globals& globals) {
  auto o = std::make_shared<CaptureOptions>();
  auto* cmd = app.add_subcommand("capture", "Capture the unit's MPEG stream into a file");
  cmd->add_option("-o,--output", o->output, "Output file, - for standard output")->required();
  auto* seconds = cmd->add_option("-t,--seconds", o->seconds,
                                  "Seconds of stream to capture (default 10; 0: until Ctrl-C)")
                      ->check(CLI::NonNegativeNumber);
  cmd->add_option("-n,--bytes", o->bytes, "Bytes to capture")->check(CLI::PositiveNumber)->excludes(seconds);
  cmd->add_option("-m,--mode", o->mode, "Capture mode")->check(CLI::IsMember({"mpeg2", "mpeg1"}));
  cmd->add_option("-s,--size", o->size, "Capture size, WIDTHxHEIGHT");
  cmd->add_option("-b,--bitrate", o->bitrate, "Bit rate in bits per second");
  auto* cbr = cmd->add_flag("--cbr", o->cbr, "Constant bit rate");
  auto* vbr = cmd->add_flag("--vbr", o->vbr, "Variable bit rate")->excludes(cbr);
  cmd->add_option("--peak", o->peak, "Peak bit rate of variable bit rate")->needs(vbr);
  cmd->add_option("-i,--input", o->input, "Video input")->check(CLI::IsMember({"composite", "svideo"}));
  cmd->add_option("--standard", o->standard, "Video standard")->check(CLI::IsMember({"ntsc", "pal"}));
  cmd->add_option("--audio-rate", o->audioRate, "Audio sampling rate")
      ->check(CLI::IsMember({32000, 44100, 48000}));
  cmd->callback([&globals, o] {
    if (o->bytes) o->seconds = 0;
    installInterruptHandler();
    runCapture(globals, *o);
  });
}

}  // namespace cli
