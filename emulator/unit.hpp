// The emulated unit: a backend of the hosted USB bus that does what the real
// unit does. It answers the standard requests from its descriptors, runs the
// vendor commands against its bus devices, audio codec, microcode loader and
// codec chip, streams MPEG on bulk IN while the encoder runs and decodes what
// bulk OUT carries while the decoder runs. Faults are injected from a script.
// Everything it received is kept for tests.
//
// Threads: control() runs on the caller's thread and never blocks on the
// encoder. Bulk transfers are parked and completed by the unit's own thread
// ("pump"), which also encodes; abortEndpoint() completes on the caller's
// thread. Completions run with no lock of the unit held.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "emulator/audio_codec.hpp"
#include "emulator/bus_devices.hpp"
#include "emulator/codec.hpp"
#include "emulator/descriptors.hpp"
#include "emulator/fault_script.hpp"
#include "emulator/microcode_loader.hpp"
#include "emulator/mpeg_producer.hpp"
#include "emulator/playback_decoder.hpp"
#include "emulator/prepared_stream.hpp"
#include "pf/host/usb_backend.hpp"

namespace emu {

enum class Pacing { RealTime, Fast };
enum class UnitMode { Idle, Encode, Decode };

struct UnitOptions {
  pf::usb::Speed speed = pf::usb::Speed::High;  // 512-byte (High) or 64-byte (Full) bulk packets
  std::uint16_t revision = 0x1003;              // answer to command 0
  SignalSource signal;                          // what the analog inputs carry
  Pacing pacing = Pacing::RealTime;             // stream at its own rate, or as fast as possible
  // Serve these bytes on bulk IN and drop bulk OUT instead of encoding and
  // decoding, to measure the host side alone; it has its own rate (not pacing).
  std::shared_ptr<PreparedStream> prepared;
  FaultScript faults;
  std::size_t extraDescriptorBytes = 0;         // padding in the configuration descriptor
  std::string frameSaveDir;                     // playback: PNG frames go here (empty: none)
  unsigned frameSaveEvery = 25;                 // playback: save every N-th frame
  std::size_t bulkRecordLimit = 64u << 20;      // bytes kept per pipe for bulkLog()
};

struct ControlRecord {
  pf::usb::SetupPacket setup;
  std::vector<std::uint8_t> data;  // the data stage, either direction
  pf::usb::TransferResult result;
};

struct BulkLog {
  std::vector<std::uint8_t> bytes;  // up to bulkRecordLimit
  std::uint64_t total = 0;          // bytes moved
  unsigned transfers = 0;           // transfers submitted
};

class Unit : public pf::usb::Backend {
 public:
  explicit Unit(UnitOptions options = {});
  ~Unit() override;
  Unit(const Unit&) = delete;
  Unit& operator=(const Unit&) = delete;

  // pf::usb::Backend
  void attach(pf::usb::BackendHost* host) override;
  pf::usb::Speed speed() const override { return options_.speed; }
  pf::usb::TransferResult control(const pf::usb::SetupPacket& setup, std::uint8_t* data) override;
  void submitBulk(std::uint8_t endpoint, std::uint8_t* buffer, std::size_t length, bool shortOk,
                  pf::usb::BulkCompletion done) override;
  void abortEndpoint(std::uint8_t endpoint) override;
  pf::usb::UsbdStatus resetEndpoint(std::uint8_t endpoint) override;

  // Controls for tests and the command line.
  void setSignal(const SignalSource& source) { bus_.setSignal(source); }
  void unplug();  // the unit leaves the bus now

  // State.
  bool gone() const;
  UnitMode mode() const;
  std::vector<std::string> log() const;
  std::vector<ControlRecord> controlLog() const;
  BulkLog bulkLog(std::uint8_t endpoint) const;
  std::array<std::uint8_t, 256> registers(std::uint8_t device) const { return bus_.registers(device); }
  int selectedInput() const { return bus_.selectedInput(); }
  AudioCodecState audioCodec() const { return audio_.state(); }
  std::array<std::uint8_t, 256> memory() const;
  LoadedMicrocode microcode() const;
  LoaderStats loaderStats() const;
  Prepared prepared() const;
  CodecConfig codecConfig() const;
  bool encoderRunning() const;
  std::optional<StreamFormat> streamFormat() const;  // of the running or last stream
  std::uint64_t framesEncoded() const { return framesEncoded_.load(); }
  std::optional<PlaybackStats> playback() const;
  bool waitPlaybackFinished(unsigned timeoutMs);
  const DescriptorSet& descriptors() const { return descriptors_; }

 private:
  using Clock = std::chrono::steady_clock;
  struct Parked {
    std::uint8_t endpoint;
    std::uint8_t* buffer;
    std::size_t length;
    pf::usb::BulkCompletion done;
    Clock::time_point notBefore;
    const BulkFault* fault;
  };
  struct Completion {
    pf::usb::BulkCompletion done;
    pf::usb::TransferResult result;
  };
  enum class EncoderOrder { Start, Stop, Drop };
  struct EncoderOp {
    EncoderOrder order;
    std::uint64_t epoch;  // epoch_ when it was given: a later drop discards its bytes
  };

  pf::usb::TransferResult vendor(const pf::usb::SetupPacket& setup, std::uint8_t* data);
  void act(const CodecResult& result);
  void note(std::string line);
  void processOut(const std::uint8_t* bytes, std::size_t size);
  std::size_t takeIn(std::uint8_t* buffer, std::size_t length);
  void record(std::uint8_t endpoint, const std::uint8_t* bytes, std::size_t size);
  void serve(std::vector<Completion>& out);
  void unplugLocked(std::vector<Completion>& out);
  void finishCompletions(std::vector<Completion>& out);
  void pump();

  const UnitOptions options_;
  const DescriptorSet descriptors_;
  BusDevices bus_;
  AudioCodec audio_;

  mutable std::mutex mutex_;  // everything below
  std::condition_variable wake_;
  pf::usb::BackendHost* host_ = nullptr;
  Clock::time_point attachTime_;
  bool gone_ = false;
  bool notifyRemoved_ = false;
  bool quit_ = false;
  StandardState standard_;
  UnitMode mode_ = UnitMode::Idle;
  MicrocodeLoader loader_;
  Codec codec_;
  std::array<std::uint8_t, 256> memory_{};
  std::array<unsigned, 256> commandCounts_{};
  std::vector<std::string> log_;
  std::vector<ControlRecord> controlLog_;
  BulkLog inLog_, outLog_;
  unsigned bulkTransfers_ = 0;
  bool haltedIn_ = false, haltedOut_ = false;
  std::deque<Parked> parked_;
  std::deque<std::uint8_t> ack_;
  std::deque<std::uint8_t> stream_;
  std::deque<EncoderOp> ops_;
  std::uint64_t epoch_ = 0;  // bumped whenever buffered stream bytes are dropped
  std::optional<StreamFormat> format_;
  std::shared_ptr<PlaybackDecoder> decoder_;  // shared: a waiter keeps the one it waits on
  std::uint64_t strayOut_ = 0;
  std::atomic<std::uint64_t> framesEncoded_{0};
  std::thread pump_;
};

}  // namespace emu
