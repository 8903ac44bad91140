// mpegunit play: an MPEG file through the MPEG input pin to the unit's decoder.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <deque>
#include <fstream>
#include <iostream>

#include "tools/mpegunit/cli.hpp"
#include "tools/mpegunit/progress.hpp"

namespace cli {

namespace {

struct PlayOptions {
  std::string file;
  std::string standard = "ntsc";
  std::string framesDir;
};

constexpr std::size_t kChunk = 65536;
// Room for any format a pin offers.
constexpr ULONG kFormatBufferBytes = 1024;
constexpr unsigned kWritesInFlight = 4;
constexpr auto kWriteLimit = std::chrono::seconds(10);
// How long the unit may take to decode what it was given after the stop.
constexpr unsigned kDrainLimitMs = 30'000;

// The playback format the filter offers, with its standard selector set.
std::vector<std::uint8_t> playbackFormat(pf::ks::Filter& filter, bool ntsc) {
  const pf::ks::PinInfo pin = filter.pin(1);
  if (pin.dataRanges.empty()) throw Failure("the MPEG input pin offers no format");
  const KSDATARANGE& range = *pin.dataRanges.front();
  std::vector<std::uint8_t> format(kFormatBufferBytes);
  const auto result = filter.intersect(1, range, format.data(), kFormatBufferBytes);
  if (!NT_SUCCESS(result.status)) {
    throw Failure("the MPEG input pin offers no format: " + mpegunit::statusName(result.status));
  }
  format.resize(result.bytes);
  // The byte after the KSDATAFORMAT selects the decoder's standard.
  if (format.size() > sizeof(KSDATAFORMAT)) format[sizeof(KSDATAFORMAT)] = ntsc ? 1 : 0;
  return format;
}

bool waitWrite(const pf::ks::RequestPtr& request, mpegunit::Session& session, std::string& failure) {
  const auto start = std::chrono::steady_clock::now();
  while (!request->wait(std::chrono::milliseconds(100))) {
    if (!session.bus().connected(session.port())) {
      failure = "the unit was unplugged";
      return false;
    }
    if (std::chrono::steady_clock::now() - start > kWriteLimit) {
      failure = "the unit took no data for 10 seconds";
      return false;
    }
  }
  if (!NT_SUCCESS(request->status())) {
    failure = "a playback transfer failed: " + mpegunit::statusName(request->status());
    return false;
  }
  return true;
}

void runPlay(const Globals& globals, const PlayOptions& o) {
  std::ifstream in(o.file, std::ios::binary);
  if (!in) throw Failure("cannot read " + o.file);
  if (!o.framesDir.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(o.framesDir, ec);
    if (ec) throw Failure("cannot create " + o.framesDir + ": " + ec.message());
  }
  auto session = openSession(globals, [&o](mpegunit::SessionOptions& options) {
    options.unit.frameSaveDir = o.framesDir;
    options.unit.bulkRecordLimit = 0;
    options.bus.recordBulkData = false;
  });
  pf::ks::Filter& filter = session->filter();
  const bool ntsc = o.standard == "ntsc";
  const auto format = playbackFormat(filter, ntsc);

  std::unique_ptr<pf::ks::Pin> pin;
  NTSTATUS status = filter.createPin(1, *reinterpret_cast<const KSDATAFORMAT*>(format.data()), pin);
  if (!NT_SUCCESS(status)) throw Failure("cannot open the MPEG input pin: " + mpegunit::statusName(status));
  status = pin->setState(KSSTATE_PAUSE);
  if (!NT_SUCCESS(status)) throw Failure("the decoder did not load: " + mpegunit::statusName(status));

  std::string failure;
  // The first packet announces the format; it starts the decoder.
  auto announce = pin->write(format, KSSTREAM_HEADER_OPTIONSF_TYPECHANGED);
  if (!announce || !waitWrite(announce, *session, failure)) {
    throw Failure(failure.empty() ? "cannot announce the format" : failure);
  }
  status = pin->setState(KSSTATE_RUN);
  if (!NT_SUCCESS(status)) throw Failure("the playback did not start: " + mpegunit::statusName(status));

  Progress progress("playing");
  std::uint64_t sent = 0;
  std::deque<pf::ks::RequestPtr> inFlight;
  std::vector<std::uint8_t> chunk(kChunk);
  while (failure.empty() && !interrupted()) {
    in.read(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(chunk.size()));
    const auto got = static_cast<std::size_t>(in.gcount());
    if (got == 0) break;
    auto request = pin->write(std::vector<std::uint8_t>(chunk.begin(), chunk.begin() + static_cast<long>(got)));
    if (!request) {
      failure = "no memory for a playback buffer";
      break;
    }
    inFlight.push_back(std::move(request));
    sent += got;
    if (inFlight.size() >= kWritesInFlight) {
      if (!waitWrite(inFlight.front(), *session, failure)) break;
      inFlight.pop_front();
    }
    progress.update(progress.elapsedSeconds(), sent);
  }
  while (failure.empty() && !inFlight.empty()) {
    if (!waitWrite(inFlight.front(), *session, failure)) break;
    inFlight.pop_front();
  }
  progress.finish();
  // Stopping the pin stops the decoder, which then drains what it was given.
  const NTSTATUS stopStatus = pin->setState(KSSTATE_STOP);
  inFlight.clear();
  pin->close();
  if (!failure.empty()) throw Failure(failure);
  if (!NT_SUCCESS(stopStatus)) throw Failure("the playback did not stop: " + mpegunit::statusName(stopStatus));
  if (!session->unit().waitPlaybackFinished(kDrainLimitMs)) {
    throw Failure("the unit did not finish decoding within " + std::to_string(kDrainLimitMs / 1000) + " seconds");
  }
  const auto stats = session->unit().playback();

  char summary[256];
  std::snprintf(summary, sizeof summary, "played %s of %s: %llu frames decoded%s%s", formatBytes(sent).c_str(),
                o.file.c_str(), stats ? static_cast<unsigned long long>(stats->framesDecoded) : 0ULL,
                stats && stats->standardMismatch ? " (the stream does not fit the standard)" : "",
                interrupted() ? ", interrupted" : "");
  std::cerr << summary << "\n";
  if (stats && !stats->error.empty()) throw Failure("the unit could not decode the stream: " + stats->error);
}

}  // namespace

void addPlayCommand(CLI::App& app, Globals& globals) {
  auto o = std::make_shared<PlayOptions>();
  auto* cmd = app.add_subcommand("play", "Play an MPEG file to the unit's video output");
  cmd->add_option("FILE", o->file, "MPEG program or system stream")->required();
  cmd->add_option("--standard", o->standard, "Video standard of the output")
      ->check(CLI::IsMember({"ntsc", "pal"}));
  cmd->add_option("--frames", o->framesDir, "Save decoded frames as PNG into this folder");
  cmd->callback([&globals, o] {
    installInterruptHandler();
    runPlay(globals, *o);
  });
}

}  // namespace cli
