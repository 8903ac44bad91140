// What the stack benchmarks share: a host CPU meter that leaves out the
// emulated units' own threads, the prepared stream bytes, pins opened as an
// application opens them, and a streamer that keeps a pin's buffers in flight.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "emulator/prepared_stream.hpp"
#include "pf/host/ks_client.hpp"
#include "pf/host/usb_bus.hpp"

namespace bench {

// USB 2.0 high-speed bulk limit and the unit's top stream rate, bytes/s.
inline constexpr double kUsb2BulkRate = 53e6;
inline constexpr double kUnitStreamRate = 8e6 / 8;

// CPU seconds used by this process so far, every thread.
double processCpuSeconds();

// A real MPEG-2 program stream (720x480, 8 Mbit/s) of the unit's synthetic
// source, encoded once per process; what the prepared streams serve.
const std::vector<std::uint8_t>& preparedMpeg();

// A prepared stream of preparedMpeg() at byteRate (0: at once).
std::shared_ptr<emu::PreparedStream> makePrepared(double byteRate);

// Wall time and host CPU time (the process minus the serving threads of the
// given prepared streams) from start() on.
class HostMeter {
 public:
  explicit HostMeter(std::vector<std::shared_ptr<emu::PreparedStream>> streams);
  void start();
  double wallSeconds() const;
  double hostCpuSeconds() const;
  double unitCpuSeconds() const;

 private:
  double unitCpu() const;
  std::vector<std::shared_ptr<emu::PreparedStream>> streams_;
  std::chrono::steady_clock::time_point wall0_;
  double process0_ = 0, unit0_ = 0;
};

// A pin opened and its allocator framing. Empty pin with a reason in why on
// failure.
struct OpenPin {
  std::unique_ptr<pf::ks::Pin> pin;
  KSALLOCATOR_FRAMING framing{};
  std::vector<std::uint8_t> format;
};
// Capture pin 0 with the MPEG-2 format the filter offers by intersection.
OpenPin openCapturePin(pf::ks::Filter& filter, std::string* why);
// Playback pin 1 with its first format (NTSC decoder).
OpenPin openPlaybackPin(pf::ks::Filter& filter, std::string* why);

// Keeps inFlight buffers of one pin submitted: reads of frameSize bytes, or
// writes of frameSize prepared bytes. Each step waits (bounded) for the
// oldest, checks it, counts its bytes and submits the next; it also empties
// the bus's traffic record, which otherwise keeps every byte moved.
class Streamer {
 public:
  Streamer(pf::ks::Pin& pin, pf::usb::Bus& bus, bool write, ULONG frameSize, unsigned inFlight);
  // Submits the first buffers; false with a reason in why.
  bool prime(std::string* why);
  // One buffer completed; false with a reason in why (a failure or a wait
  // beyond the limit).
  bool step(std::string* why);
  // Capture: checks that the bytes read continue preparedMpeg() without a
  // gap (no byte lost or changed on the way); a step that finds one fails.
  // The check's own CPU time is kept apart in checkCpuSeconds().
  void checkContent() { check_ = true; }
  double checkCpuSeconds() const { return checkCpu_; }
  // Cancels what is left (the pin must be stopped first).
  void drop() { inFlight_.clear(); }
  std::uint64_t bytes() const { return bytes_; }
  std::uint64_t buffers() const { return buffers_; }

 private:
  bool submit(std::string* why);
  pf::ks::Pin& pin_;
  pf::usb::Bus& bus_;
  const bool write_;
  const ULONG frameSize_;
  const unsigned inFlightCount_;
  std::vector<std::uint8_t> writeBytes_;
  std::vector<pf::ks::RequestPtr> inFlight_;
  std::size_t head_ = 0;
  std::uint64_t bytes_ = 0, buffers_ = 0;
  bool check_ = false;
  double checkCpu_ = 0;
};

// CPU seconds used by the calling thread so far.
double threadCpuSeconds();

// The rate of a plain memcpy of preparedMpeg() into frameSize buffers (count
// of them, used in turn), bytes per second, over about totalBytes.
double memcpyRate(ULONG frameSize, unsigned count, std::uint64_t totalBytes);

}  // namespace bench
