// The two devices on the unit's on-board bus: the video decoder (0x21) and
// the video output encoder (0x44), each a register file of 256 bytes with an
// index pointer. A write sets the index from its first byte and stores the
// rest at consecutive registers; a read returns registers from the index on.
// Both auto-increment.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>

namespace emu {

// What the analog inputs carry.
struct SignalSource {
  bool composite = true;  // composite input has a locked signal
  bool svideo = false;    // S-video input has a locked signal
  bool fields60 = true;   // the signal has 60-Hz fields (NTSC); false: 50 Hz
};

struct RegisterFile {
  std::array<std::uint8_t, 256> regs{};
  std::uint8_t index = 0;
};

class BusDevices {
 public:
  BusDevices();

  // Command 0x72: false for an unknown device or an empty write.
  bool write(std::uint8_t device, const std::uint8_t* bytes, std::size_t count);
  // Command 0x71: false for an unknown device.
  bool read(std::uint8_t device, std::uint8_t* bytes, std::size_t count);
  // Command 0x61: one register, the index pointer untouched.
  bool readRegister(std::uint8_t device, std::uint8_t reg, std::uint8_t* value);

  void setSignal(const SignalSource& source);
  SignalSource signal() const;

  // Copies for tests.
  std::array<std::uint8_t, 256> registers(std::uint8_t device) const;
  // The analog input the decoder is set to: 0 composite, 1 S-video, 2 fixed, -1 none.
  int selectedInput() const;

 private:
  RegisterFile* file(std::uint8_t device);
  std::uint8_t statusLocked() const;  // register 0x1F as read now

  mutable std::mutex mutex_;
  RegisterFile decoder_;
  RegisterFile output_;
  SignalSource signal_;
};

}  // namespace emu
