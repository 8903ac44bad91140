#include "bench/stack_support.hpp"

#include <sys/resource.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include "emulator/mpeg_producer.hpp"
#include "tools/host/session.hpp"

namespace bench {

namespace {

// A wait for one buffer longer than this is a stalled stack.
constexpr auto kStepLimit = std::chrono::seconds(10);
// Frames of the synthetic source in the prepared stream (a second of video).
constexpr int kPreparedFrames = 30;
constexpr ULONG kFormatBufferBytes = 1024;

std::string hexStatus(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}

std::vector<std::uint8_t> encodePrepared() {
  emu::quietFfmpeg();
  emu::StreamFormat format;
  format.bitRate = 8000000;
  std::string why;
  auto producer = emu::MpegProducer::open(format, &why);
  if (!producer) throw std::runtime_error("cannot encode the prepared stream: " + why);
  std::vector<std::uint8_t> bytes;
  for (int i = 0; i < kPreparedFrames; ++i) {
    if (!producer->next(bytes)) throw std::runtime_error("cannot encode the prepared stream");
  }
  return bytes;
}

OpenPin openPin(pf::ks::Filter& filter, ULONG id, const GUID* subFormat, std::string* why) {
  OpenPin open;
  const pf::ks::PinInfo info = filter.pin(id);
  for (const KSDATARANGE* range : info.dataRanges) {
    if (subFormat && !IsEqualGUID(range->SubFormat, *subFormat)) continue;
    std::vector<std::uint8_t> format(kFormatBufferBytes);
    const auto result = filter.intersect(id, *range, format.data(), kFormatBufferBytes);
    if (!NT_SUCCESS(result.status)) {
      *why = "no format by intersection: " + hexStatus(result.status);
      return {};
    }
    format.resize(result.bytes);
    open.format = format;
    break;
  }
  if (open.format.empty()) {
    *why = "the pin offers no such format";
    return {};
  }
  const NTSTATUS status =
      filter.createPin(id, *reinterpret_cast<const KSDATAFORMAT*>(open.format.data()), open.pin);
  if (!NT_SUCCESS(status)) {
    *why = "cannot create the pin: " + hexStatus(status);
    return {};
  }
  mpegunit::allocatorFraming(*open.pin, &open.framing);
  if (open.framing.Frames == 0 || open.framing.FrameSize == 0) {
    *why = "the pin answers no allocator framing";
    return {};
  }
  return open;
}

}  // namespace

double threadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

double processCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

const std::vector<std::uint8_t>& preparedMpeg() {
  static const std::vector<std::uint8_t> bytes = encodePrepared();
  return bytes;
}

std::shared_ptr<emu::PreparedStream> makePrepared(double byteRate) {
  emu::PreparedStreamOptions options;
  options.bytes = preparedMpeg();
  options.byteRate = byteRate;
  return std::make_shared<emu::PreparedStream>(std::move(options));
}

HostMeter::HostMeter(std::vector<std::shared_ptr<emu::PreparedStream>> streams) : streams_(std::move(streams)) {
  start();
}

double HostMeter::unitCpu() const {
  double sum = 0;
  for (const auto& s : streams_) sum += s->serverCpuSeconds();
  return sum;
}

void HostMeter::start() {
  wall0_ = std::chrono::steady_clock::now();
  unit0_ = unitCpu();
  process0_ = processCpuSeconds();
}

double HostMeter::wallSeconds() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0_).count();
}

double HostMeter::unitCpuSeconds() const { return unitCpu() - unit0_; }

double HostMeter::hostCpuSeconds() const {
  const double process = processCpuSeconds() - process0_;
  return process - unitCpuSeconds();
}

OpenPin openCapturePin(pf::ks::Filter& filter, std::string* why) {
  static const GUID mpeg2 = {STATIC_KSDATAFORMAT_TYPE_MPEG2_PROGRAM};
  return openPin(filter, 0, &mpeg2, why);
}

OpenPin openPlaybackPin(pf::ks::Filter& filter, std::string* why) {
  OpenPin open = openPin(filter, 1, nullptr, why);
  return open;
}

Streamer::Streamer(pf::ks::Pin& pin, pf::usb::Bus& bus, bool write, ULONG frameSize, unsigned inFlight)
    : pin_(pin), bus_(bus), write_(write), frameSize_(frameSize), inFlightCount_(inFlight) {
  if (write_) {
    const auto& source = preparedMpeg();
    writeBytes_.resize(frameSize_);
    for (std::size_t i = 0; i < writeBytes_.size(); ++i) writeBytes_[i] = source[i % source.size()];
  }
}

bool Streamer::submit(std::string* why) {
  pf::ks::RequestPtr request = write_ ? pin_.write(writeBytes_) : pin_.read(frameSize_);
  if (!request) {
    *why = "no memory for a stream buffer";
    return false;
  }
  if (inFlight_.size() < inFlightCount_) {
    inFlight_.push_back(std::move(request));
  } else {
    inFlight_[head_] = std::move(request);
    head_ = (head_ + 1) % inFlight_.size();
  }
  return true;
}

bool Streamer::prime(std::string* why) {
  while (inFlight_.size() < inFlightCount_) {
    if (!submit(why)) return false;
  }
  head_ = 0;
  return true;
}

bool Streamer::step(std::string* why) {
  const pf::ks::RequestPtr& oldest = inFlight_[head_];
  if (!oldest->wait(std::chrono::duration_cast<std::chrono::milliseconds>(kStepLimit))) {
    *why = "a stream buffer did not complete within 10 s";
    return false;
  }
  if (!NT_SUCCESS(oldest->status())) {
    *why = "a stream buffer failed: " + hexStatus(oldest->status());
    return false;
  }
  const ULONG used = oldest->header().DataUsed;
  if (!write_ && used == 0) {
    *why = "a capture buffer came back empty";
    return false;
  }
  if (check_ && !write_) {
    const double t0 = threadCpuSeconds();
    const auto& source = preparedMpeg();
    const std::uint8_t* data = oldest->data().data();
    bool same = used <= oldest->data().size();
    for (std::size_t done = 0; same && done < used;) {
      const std::size_t position = (bytes_ + done) % source.size();
      const std::size_t n = std::min<std::size_t>(used - done, source.size() - position);
      same = std::memcmp(data + done, source.data() + position, n) == 0;
      done += n;
    }
    checkCpu_ += threadCpuSeconds() - t0;
    if (!same) {
      *why = "bytes lost or changed in the buffer at stream offset " + std::to_string(bytes_);
      return false;
    }
  }
  bytes_ += used;
  ++buffers_;
  bus_.clearTraffic();
  return submit(why);
}

double memcpyRate(ULONG frameSize, unsigned count, std::uint64_t totalBytes) {
  const auto& source = preparedMpeg();
  std::vector<std::vector<std::uint8_t>> buffers(count, std::vector<std::uint8_t>(frameSize));
  std::uint64_t copied = 0;
  std::size_t position = 0;
  unsigned next = 0;
  const auto start = std::chrono::steady_clock::now();
  while (copied < totalBytes) {
    std::uint8_t* out = buffers[next].data();
    next = (next + 1) % count;
    for (std::size_t done = 0; done < frameSize;) {
      const std::size_t n = std::min<std::size_t>(frameSize - done, source.size() - position);
      std::memcpy(out + done, source.data() + position, n);
      done += n;
      position = (position + n) % source.size();
    }
    copied += frameSize;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  volatile std::uint8_t sink = buffers[0][0];
  (void)sink;
  return double(copied) / seconds;
}

}  // namespace bench
