#include "emulator/bus_devices.hpp"

#include "emulator/protocol.hpp"

namespace emu {

BusDevices::BusDevices() {
  decoder_.regs[proto::kDecInputSelect] = proto::kDecInputComposite;
}

RegisterFile* BusDevices::file(std::uint8_t device) {
  if (device == proto::kVideoDecoder) return &decoder_;
  if (device == proto::kVideoOutput) return &output_;
  return nullptr;
}

std::uint8_t BusDevices::statusLocked() const {
  // Bit 0 follows the selected input; the fixed input carries no signal.
  const std::uint8_t input = decoder_.regs[proto::kDecInputSelect];
  bool locked = false;
  if (input == proto::kDecInputComposite) locked = signal_.composite;
  if (input == proto::kDecInputSVideo) locked = signal_.svideo;
  std::uint8_t status = decoder_.regs[proto::kDecStatus] & ~(proto::kStatusLocked | proto::kStatus60Hz);
  if (locked) status |= proto::kStatusLocked;
  if ((signal_.composite || signal_.svideo) && signal_.fields60) status |= proto::kStatus60Hz;
  return status;
}

bool BusDevices::write(std::uint8_t device, const std::uint8_t* bytes, std::size_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  RegisterFile* f = file(device);
  if (!f || count == 0) return false;
  f->index = bytes[0];
  for (std::size_t i = 1; i < count; ++i) {
    // The decoder's status register is read-only.
    if (!(f == &decoder_ && f->index == proto::kDecStatus)) f->regs[f->index] = bytes[i];
    ++f->index;
  }
  return true;
}

bool BusDevices::read(std::uint8_t device, std::uint8_t* bytes, std::size_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  RegisterFile* f = file(device);
  if (!f) return false;
  for (std::size_t i = 0; i < count; ++i) {
    bytes[i] = (f == &decoder_ && f->index == proto::kDecStatus) ? statusLocked() : f->regs[f->index];
    ++f->index;
  }
  return true;
}

bool BusDevices::readRegister(std::uint8_t device, std::uint8_t reg, std::uint8_t* value) {
  std::lock_guard<std::mutex> lock(mutex_);
  RegisterFile* f = file(device);
  if (!f) return false;
  *value = (f == &decoder_ && reg == proto::kDecStatus) ? statusLocked() : f->regs[reg];
  return true;
}

void BusDevices::setSignal(const SignalSource& source) {
  std::lock_guard<std::mutex> lock(mutex_);
  signal_ = source;
}

SignalSource BusDevices::signal() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return signal_;
}

std::array<std::uint8_t, 256> BusDevices::registers(std::uint8_t device) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (device == proto::kVideoDecoder) {
    auto copy = decoder_.regs;
    copy[proto::kDecStatus] = statusLocked();
    return copy;
  }
  return output_.regs;
}

int BusDevices::selectedInput() const {
  std::lock_guard<std::mutex> lock(mutex_);
  switch (decoder_.regs[proto::kDecInputSelect]) {
    case proto::kDecInputComposite: return 0;
    case proto::kDecInputSVideo: return 1;
    case proto::kDecInputFixed: return 2;
    default: return -1;
  }
}

}  // namespace emu
