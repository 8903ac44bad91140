#include "emulator/unit.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "emulator/command_table.hpp"
#include "emulator/protocol.hpp"

namespace emu {
namespace {

using pf::usb::SetupPacket;
using pf::usb::TransferResult;

constexpr std::size_t kFastHighWater = 4u << 20;  // bytes buffered ahead in fast mode
// In real time the unit never catches up on more than this after a pause.
constexpr std::chrono::milliseconds kMaxLag{500};

TransferResult ok(std::size_t n = 0) { return {pf::usb::kUsbdSuccess, n}; }
TransferResult stalled() { return {pf::usb::kUsbdStallPid, 0}; }

std::string hex(unsigned v, int width = 2) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%0*X", width, v);
  return buf;
}

}  // namespace

Unit::Unit(UnitOptions options)
    : options_(std::move(options)), descriptors_(buildDescriptors(options_.speed, options_.extraDescriptorBytes)) {
  bus_.setSignal(options_.signal);
  // Known memory contents: an identification string, then a counting pattern.
  const char id[] = "MPEGUNIT-EMU 1.0";
  for (std::size_t i = 0; i < memory_.size(); ++i) memory_[i] = std::uint8_t(i ^ 0xA5);
  std::memcpy(memory_.data(), id, sizeof id - 1);
  attachTime_ = Clock::now();
  pump_ = std::thread([this] { pump(); });
}

Unit::~Unit() {
  std::vector<Completion> done;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
    wake_.notify_all();
  }
  pump_.join();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& p : parked_) done.push_back({std::move(p.done), {pf::usb::kUsbdDeviceGone, 0}});
    parked_.clear();
    if (decoder_) decoder_->abandon();
  }
  for (auto& c : done) c.done(c.result);
}

void Unit::attach(pf::usb::BackendHost* host) {
  std::lock_guard<std::mutex> lock(mutex_);
  host_ = host;
  attachTime_ = Clock::now();
  wake_.notify_all();
}

void Unit::note(std::string line) { log_.push_back(std::move(line)); }

// ---- control transfers ----------------------------------------------------

TransferResult Unit::control(const SetupPacket& setup, std::uint8_t* data) {
  if (options_.faults.slowControlMs)
    std::this_thread::sleep_for(std::chrono::milliseconds(options_.faults.slowControlMs));
  std::lock_guard<std::mutex> lock(mutex_);
  ControlRecord rec;
  rec.setup = setup;
  if (!setup.deviceToHost() && setup.wLength) rec.data.assign(data, data + setup.wLength);
  TransferResult result;
  if (gone_) {
    result = {pf::usb::kUsbdDeviceGone, 0};
  } else {
    switch ((setup.bmRequestType >> 5) & 3) {
      case 0:
        result = standardRequest(descriptors_, standard_, setup, data);
        if (result.status != pf::usb::kUsbdSuccess)
          note("stall: standard request " + std::to_string(setup.bRequest) + " wValue " + hex(setup.wValue, 4));
        break;
      case 2:
        result = vendor(setup, data);
        break;
      default:
        note("stall: class request " + std::to_string(setup.bRequest));
        result = stalled();
    }
  }
  if (setup.deviceToHost() && result.actual) rec.data.assign(data, data + result.actual);
  rec.result = result;
  controlLog_.push_back(std::move(rec));
  wake_.notify_all();
  return result;
}

TransferResult Unit::vendor(const SetupPacket& setup, std::uint8_t* data) {
  const CommandEntry* entry = findCommand(setup.wIndex);
  if (!entry) {
    note("stall: unknown vendor command wIndex " + hex(setup.wIndex, 4));
    return stalled();
  }
  if (const std::string bad = checkShape(*entry, setup); !bad.empty()) {
    note("stall: " + bad);
    return stalled();
  }
  const std::uint8_t code = entry->code;
  const unsigned occurrence = ++commandCounts_[code];
  if (auto status = options_.faults.controlFault(code, occurrence)) {
    note(std::string("fault: ") + entry->name + " fails with " + hex(*status, 8));
    return {*status, 0};
  }
  std::string why;
  switch (code) {
    case proto::kReadRevision:
      data[0] = std::uint8_t(options_.revision);
      data[1] = std::uint8_t(options_.revision >> 8);
      return ok(2);
    case proto::kAudioCommand1:
    case proto::kAudioCommand2:
      return ok();
    case proto::kModeIdle: mode_ = UnitMode::Idle; return ok();
    case proto::kModeEncode: mode_ = UnitMode::Encode; return ok();
    case proto::kModeDecode: mode_ = UnitMode::Decode; return ok();
    case proto::kUcodeBlock:
    case proto::kUcodePacked:
    case proto::kUcodeSingle:
    case proto::kUcodeSync:
      if (!loader_.record(code, data, setup.wLength, &why)) {
        note("stall: " + why);
        return stalled();
      }
      if (code == proto::kUcodeSync) {
        ack_.push_back(proto::kSyncAckMarker);
        ack_.push_back(std::uint8_t(loader_.stats().syncs));
      }
      return ok();
    case proto::kBeginLoad:
      loader_.begin();
      codec_.setImage({false, ucode::Kind::Decoder, ucode::Standard::Any, "microcode load not finished"});
      act(codec_.command(proto::kResetCodec));
      return ok();
    case proto::kFinishLoad: {
      const LoadedMicrocode image = loader_.finish();
      codec_.setImage(image);
      note(image.valid ? std::string("microcode loaded: ") + ucode::kindName(image.kind) + ", " +
                             ucode::standardName(image.standard)
                       : image.reason);
      return ok();
    }
    case proto::kEncoderMessage: {
      auto msg = parseEncoderMessage(data, setup.wLength, &why);
      if (!msg) {
        note("malformed encoder message ignored: " + why);
        return ok();
      }
      act(codec_.message(*msg));
      return ok();
    }
    case proto::kStartEncoder:
    case proto::kStartDecoder:
    case proto::kResetCodec:
    case proto::kInitDecoder:
    case proto::kInitEncoder:
    case proto::kFlushEncoder:
      act(codec_.command(code));
      return ok();
    case proto::kReadByte:
      if (setup.wValue >= memory_.size()) {
        note("stall: memory read at " + hex(setup.wValue, 4) + " outside the unit memory");
        return stalled();
      }
      data[0] = memory_[setup.wValue];
      return ok(1);
    case proto::kWriteByte:
      if (setup.wValue >= memory_.size()) {
        note("stall: memory write at " + hex(setup.wValue, 4) + " outside the unit memory");
        return stalled();
      }
      memory_[setup.wValue] = std::uint8_t(setup.wIndex >> 8);
      return ok();
    case proto::kBusReadRegister:
      if (!bus_.readRegister(std::uint8_t(setup.wValue), std::uint8_t(setup.wValue >> 8), data)) {
        note("stall: no bus device " + hex(setup.wValue & 0xFF));
        return stalled();
      }
      return ok(1);
    case proto::kBusRead:
    case proto::kBusWrite: {
      const bool read = code == proto::kBusRead;
      const bool done = setup.wValue <= 0xFF &&
                        (read ? bus_.read(std::uint8_t(setup.wValue), data, setup.wLength)
                              : bus_.write(std::uint8_t(setup.wValue), data, setup.wLength));
      if (!done) {
        note("stall: no bus device " + hex(setup.wValue, 4));
        return stalled();
      }
      return ok(read ? setup.wLength : 0);
    }
    case proto::kCodecAddress:
      if (!audio_.address(setup.wValue, &why)) {
        note("stall: " + why);
        return stalled();
      }
      return ok();
    case proto::kCodecWrite:
      if (!audio_.write(setup.wValue, &why)) note(why);
      return ok();
    case proto::kCodecSeparator:
      audio_.separator();
      return ok();
    default:
      note(std::string("stall: ") + entry->name + " has no handler");
      return stalled();
  }
}

void Unit::act(const CodecResult& r) {
  if (!r.note.empty()) note(r.note);
  switch (r.action) {
    case CodecAction::None:
      break;
    case CodecAction::StartEncoder:
      format_ = r.format;
      ++epoch_;
      stream_.clear();
      ops_.push_back({EncoderOrder::Start, epoch_});
      note("encoder started: " + std::string(r.format.mpeg2 ? "MPEG-2 " : "MPEG-1 ") +
           std::to_string(r.format.width) + "x" + std::to_string(r.format.height) + ", " +
           std::to_string(r.format.bitRate) + " bit/s");
      break;
    case CodecAction::StopEncoder:
      ops_.push_back({EncoderOrder::Stop, epoch_});
      note("encoder stopped");
      break;
    case CodecAction::FlushEncoder:
      ++epoch_;
      stream_.clear();
      break;
    case CodecAction::Reset:
      ++epoch_;
      stream_.clear();
      ops_.push_back({EncoderOrder::Drop, epoch_});
      if (decoder_) decoder_->abandon();
      break;
    case CodecAction::StartDecoder:
      if (decoder_) decoder_->abandon();
      decoder_ = std::make_shared<PlaybackDecoder>(codec_.config().decoderPal, options_.frameSaveDir,
                                                   options_.frameSaveEvery);
      if (options_.prepared) options_.prepared->start(Clock::now());
      note(std::string("decoder started for a ") + (codec_.config().decoderPal ? "576" : "480") + "-line source");
      break;
    case CodecAction::StopDecoder:
      if (decoder_) decoder_->endOfStream();
      if (options_.prepared) options_.prepared->stop();
      note("decoder stopped");
      break;
  }
  wake_.notify_all();
}

// ---- bulk transfers ---------------------------------------------------------

void Unit::submitBulk(std::uint8_t endpoint, std::uint8_t* buffer, std::size_t length, bool,
                      pf::usb::BulkCompletion done) {
  std::vector<Completion> out;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    BulkLog& log = endpoint == proto::kEndpointIn ? inLog_ : outLog_;
    const unsigned n = ++log.transfers;
    ++bulkTransfers_;
    if (gone_ || (endpoint != proto::kEndpointIn && endpoint != proto::kEndpointOut)) {
      out.push_back({std::move(done), {gone_ ? pf::usb::kUsbdDeviceGone : pf::usb::kUsbdStallPid, 0}});
    } else if (options_.faults.unplugAtTransfer && bulkTransfers_ >= *options_.faults.unplugAtTransfer) {
      note("fault: unplugged at bulk transfer " + std::to_string(bulkTransfers_));
      out.push_back({std::move(done), {pf::usb::kUsbdDeviceGone, 0}});
      unplugLocked(out);
    } else {
      const auto delay = std::chrono::milliseconds(options_.faults.slowBulkMs);
      parked_.push_back({endpoint, buffer, length, std::move(done), Clock::now() + delay,
                         options_.faults.bulkFault(endpoint, n)});
      if (options_.prepared) serve(out);  // prepared bytes go at once, on the caller's thread
      // The unit's thread only needs to hear of a transfer still waiting
      // (for bytes, a delay or its pace); one served here changes nothing it
      // waits for.
      const bool waiting = std::any_of(parked_.begin(), parked_.end(),
                                       [&](const Parked& p) { return p.buffer == buffer; });
      if (waiting) wake_.notify_all();
    }
  }
  finishCompletions(out);
}

void Unit::abortEndpoint(std::uint8_t endpoint) {
  std::vector<Completion> out;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = parked_.begin(); it != parked_.end();) {
      if (it->endpoint == endpoint) {
        out.push_back({std::move(it->done), {pf::usb::kUsbdCanceled, 0}});
        it = parked_.erase(it);
      } else {
        ++it;
      }
    }
  }
  finishCompletions(out);
}

pf::usb::UsbdStatus Unit::resetEndpoint(std::uint8_t endpoint) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (gone_) return pf::usb::kUsbdDeviceGone;
  (endpoint == proto::kEndpointIn ? haltedIn_ : haltedOut_) = false;
  wake_.notify_all();
  return pf::usb::kUsbdSuccess;
}

void Unit::record(std::uint8_t endpoint, const std::uint8_t* bytes, std::size_t size) {
  BulkLog& log = endpoint == proto::kEndpointIn ? inLog_ : outLog_;
  log.total += size;
  const std::size_t keep = std::min(size, options_.bulkRecordLimit - std::min(options_.bulkRecordLimit, log.bytes.size()));
  log.bytes.insert(log.bytes.end(), bytes, bytes + keep);
}

void Unit::processOut(const std::uint8_t* bytes, std::size_t size) {
  record(proto::kEndpointOut, bytes, size);
  if (loader_.loading()) {
    if (!loader_.wantsBulk()) note("microcode: " + std::to_string(size) + " bulk bytes no record asked for");
    loader_.bulk(bytes, size);  // surplus bytes mark the image damaged
    return;
  }
  if (decoder_ && codec_.decoderRunning() && mode_ == UnitMode::Decode) {
    if (options_.prepared)
      options_.prepared->sink(size);
    else
      decoder_->feed(bytes, size);
    return;
  }
  if (strayOut_ == 0) note("bulk OUT bytes with nothing to take them: dropped");
  strayOut_ += size;
}

std::size_t Unit::takeIn(std::uint8_t* buffer, std::size_t length) {
  if (ack_.empty() && options_.prepared) {
    const std::size_t n = options_.prepared->read(buffer, length);
    record(proto::kEndpointIn, buffer, n);
    return n;
  }
  std::deque<std::uint8_t>& source = ack_.empty() ? stream_ : ack_;
  const std::size_t n = std::min(length, source.size());
  std::copy(source.begin(), source.begin() + std::ptrdiff_t(n), buffer);
  source.erase(source.begin(), source.begin() + std::ptrdiff_t(n));
  record(proto::kEndpointIn, buffer, n);
  return n;
}

// Completes what can be completed, oldest first per pipe.
void Unit::serve(std::vector<Completion>& out) {
  const auto now = Clock::now();
  bool blockedIn = false, blockedOut = false;
  for (auto it = parked_.begin(); it != parked_.end();) {
    Parked& p = *it;
    const bool in = p.endpoint == proto::kEndpointIn;
    bool& blocked = in ? blockedIn : blockedOut;
    bool& halted = in ? haltedIn_ : haltedOut_;
    if (blocked || now < p.notBefore) {
      blocked = true;
      ++it;
      continue;
    }
    TransferResult result;
    if (halted) {
      result = {pf::usb::kUsbdStallPid, 0};
    } else if (p.fault) {
      const BulkFault& f = *p.fault;
      switch (f.kind) {
        case BulkFaultKind::Status: {
          const std::size_t n = std::min(f.bytes, p.length);
          // The bytes it moves must exist: acknowledgements first, then the
          // prepared stream (while the encoder runs) or the encoder's output.
          const bool have = !in                ? true
                            : !ack_.empty()      ? ack_.size() >= n
                            : options_.prepared  ? n == 0 || (mode_ == UnitMode::Encode &&
                                                              options_.prepared->ready(n, now))
                                                 : stream_.size() >= n;
          if (!have) {
            blocked = true;
            ++it;
            continue;
          }
          if (in) {
            result.actual = takeIn(p.buffer, n);
          } else {
            processOut(p.buffer, n);
            result.actual = n;
          }
          result.status = f.status;
          break;
        }
        case BulkFaultKind::Zero: result = ok(0); break;
        case BulkFaultKind::Stall:
          halted = true;
          result = stalled();
          break;
        case BulkFaultKind::NoResponse: result = {pf::usb::kUsbdDevNotResponding, 0}; break;
        case BulkFaultKind::Gone: result = {pf::usb::kUsbdDevNotResponding, 0}; break;
      }
      note("fault: bulk " + hex(p.endpoint) + " completes with " + hex(result.status, 8) + ", " +
           std::to_string(result.actual) + " bytes");
      if (f.kind == BulkFaultKind::Gone) {
        out.push_back({std::move(p.done), result});
        parked_.erase(it);
        unplugLocked(out);
        return;
      }
    } else if (in) {
      const bool none = options_.prepared ? !(mode_ == UnitMode::Encode && options_.prepared->ready(p.length, now))
                                          : stream_.empty();
      if (ack_.empty() && none) {  // nothing to send: the unit NAKs
        blocked = true;
        ++it;
        continue;
      }
      result = ok(takeIn(p.buffer, p.length));
    } else {
      if (options_.prepared && options_.prepared->running() && !options_.prepared->ready(p.length, now)) {
        blocked = true;  // the paced sink is not ready for these bytes yet
        ++it;
        continue;
      }
      processOut(p.buffer, p.length);
      result = ok(p.length);
    }
    out.push_back({std::move(p.done), result});
    it = parked_.erase(it);
  }
}

void Unit::unplugLocked(std::vector<Completion>& out) {
  if (gone_) return;
  gone_ = true;
  notifyRemoved_ = host_ != nullptr;
  note("unit unplugged");
  for (auto& p : parked_) out.push_back({std::move(p.done), {pf::usb::kUsbdDeviceGone, 0}});
  parked_.clear();
  ++epoch_;
  stream_.clear();
  ops_.push_back({EncoderOrder::Drop, epoch_});
  if (decoder_) decoder_->abandon();
  wake_.notify_all();
}

void Unit::unplug() {
  std::vector<Completion> out;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    unplugLocked(out);
  }
  finishCompletions(out);
}

// The bus learns of an unplug before it sees the transfers it failed.
void Unit::finishCompletions(std::vector<Completion>& out) {
  pf::usb::BackendHost* removed = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (notifyRemoved_) {
      notifyRemoved_ = false;
      removed = host_;
    }
  }
  if (removed) removed->deviceRemoved();
  for (auto& c : out) c.done(c.result);
  out.clear();
}

// ---- the unit's own thread: completions, encoding, timed faults -------------

void Unit::pump() {
  std::unique_ptr<MpegProducer> producer;
  Clock::time_point base;          // when frame 0 was due
  std::int64_t produced = 0;
  std::vector<Completion> out;
  if (options_.prepared) options_.prepared->adoptServer();
  std::unique_lock<std::mutex> lock(mutex_);
  while (!quit_) {
    // Encoder orders, in the order they came.
    while (!ops_.empty()) {
      const EncoderOrder op = ops_.front().order;
      const std::uint64_t epoch = ops_.front().epoch;
      ops_.pop_front();
      const std::optional<StreamFormat> format = format_;
      lock.unlock();
      std::vector<std::uint8_t> tail;
      std::string why;
      if (op == EncoderOrder::Stop && producer) producer->finish(tail);
      producer.reset();
      if (op == EncoderOrder::Start && format && !options_.prepared) {
        producer = MpegProducer::open(*format, &why);
        base = Clock::now();
        produced = 0;
      }
      lock.lock();
      if (options_.prepared) {
        if (op == EncoderOrder::Start && format)
          options_.prepared->start(Clock::now());
        else if (!codec_.decoderRunning())  // a drop before playback leaves the sink's clock
          options_.prepared->stop();
      } else if (op == EncoderOrder::Start && !producer) {
        note(why);
      }
      if (epoch == epoch_) stream_.insert(stream_.end(), tail.begin(), tail.end());
    }

    if (options_.faults.unplugAfterMs && !gone_ && host_ &&
        Clock::now() >= attachTime_ + std::chrono::milliseconds(*options_.faults.unplugAfterMs)) {
      note("fault: unplugged after " + std::to_string(*options_.faults.unplugAfterMs) + " ms");
      unplugLocked(out);
    }

    serve(out);
    if (!out.empty()) {
      lock.unlock();
      finishCompletions(out);
      lock.lock();
      continue;
    }

    // One frame when it is due.
    const auto now = Clock::now();
    std::optional<Clock::time_point> due;
    if (producer && mode_ == UnitMode::Encode && !gone_) {
      if (options_.pacing == Pacing::Fast) {
        if (stream_.size() < kFastHighWater) due = now;
      } else {
        due = base + std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double>(double(produced) * producer->frameDuration()));
        if (now - *due > kMaxLag) {  // paused a while: resume at the current time
          base = now - std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double>(double(produced) * producer->frameDuration()));
          due = now;
        }
      }
    }
    if (due && *due <= now) {
      const std::uint64_t epoch = epoch_;
      lock.unlock();
      std::vector<std::uint8_t> bytes;
      const bool good = producer->next(bytes);
      ++produced;
      framesEncoded_.fetch_add(1);
      lock.lock();
      if (!good) {
        note("encoder failed: stream stopped");
        producer.reset();
      }
      if (epoch == epoch_) stream_.insert(stream_.end(), bytes.begin(), bytes.end());
      continue;
    }

    // Orders that came while the lock was dropped above were notified then.
    if (quit_ || !ops_.empty()) continue;
    // Sleep until the next frame, a delayed transfer or the unplug time.
    std::optional<Clock::time_point> wakeAt = due;
    for (const auto& p : parked_)
      if (p.notBefore > now && (!wakeAt || p.notBefore < *wakeAt)) wakeAt = p.notBefore;
    if (options_.prepared && !parked_.empty()) {  // a paced transfer waits for its bytes
      const auto t = options_.prepared->readyAt(parked_.front().length, now);
      if (t && *t > now && (!wakeAt || *t < *wakeAt)) wakeAt = t;
    }
    if (options_.faults.unplugAfterMs && !gone_ && host_) {
      const auto t = attachTime_ + std::chrono::milliseconds(*options_.faults.unplugAfterMs);
      if (!wakeAt || t < *wakeAt) wakeAt = t;
    }
    if (wakeAt)
      wake_.wait_until(lock, *wakeAt);
    else
      wake_.wait(lock);
  }
}

// ---- state ------------------------------------------------------------------

bool Unit::gone() const { std::lock_guard<std::mutex> l(mutex_); return gone_; }
UnitMode Unit::mode() const { std::lock_guard<std::mutex> l(mutex_); return mode_; }
std::vector<std::string> Unit::log() const { std::lock_guard<std::mutex> l(mutex_); return log_; }
std::vector<ControlRecord> Unit::controlLog() const { std::lock_guard<std::mutex> l(mutex_); return controlLog_; }
BulkLog Unit::bulkLog(std::uint8_t endpoint) const {
  std::lock_guard<std::mutex> l(mutex_);
  return endpoint == proto::kEndpointIn ? inLog_ : outLog_;
}
std::array<std::uint8_t, 256> Unit::memory() const { std::lock_guard<std::mutex> l(mutex_); return memory_; }
LoadedMicrocode Unit::microcode() const { std::lock_guard<std::mutex> l(mutex_); return codec_.image(); }
LoaderStats Unit::loaderStats() const { std::lock_guard<std::mutex> l(mutex_); return loader_.stats(); }
Prepared Unit::prepared() const { std::lock_guard<std::mutex> l(mutex_); return codec_.prepared(); }
CodecConfig Unit::codecConfig() const { std::lock_guard<std::mutex> l(mutex_); return codec_.config(); }
bool Unit::encoderRunning() const { std::lock_guard<std::mutex> l(mutex_); return codec_.encoderRunning(); }
std::optional<StreamFormat> Unit::streamFormat() const { std::lock_guard<std::mutex> l(mutex_); return format_; }

std::optional<PlaybackStats> Unit::playback() const {
  std::lock_guard<std::mutex> l(mutex_);
  if (!decoder_) return std::nullopt;
  return decoder_->stats();
}

bool Unit::waitPlaybackFinished(unsigned timeoutMs) {
  std::shared_ptr<PlaybackDecoder> decoder;
  {
    std::lock_guard<std::mutex> l(mutex_);
    decoder = decoder_;
  }
  // Held here, the decoder outlives a decoder start that replaces it
  // meanwhile (that start abandons it, which ends the wait).
  return decoder && decoder->waitFinished(timeoutMs);
}

}  // namespace emu
