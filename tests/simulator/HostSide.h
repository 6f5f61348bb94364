// The host's side of the wire for the simulator tests: commands built byte by byte and one exchange
// (a write, then a read) at a time.
#pragma once

#include <cstdint>
#include <vector>

#include "simulator/Port.h"

namespace simtest {

using Bytes = std::vector<uint8_t>;

inline Bytes Command(uint8_t op) {
  return {0x1B, 0xA8, op, 0x00};
}

// A set-window command with the sizes already in 1200-dpi units, as the host sends them.
inline Bytes WindowCommand(uint32_t width_units, uint32_t height_units, uint8_t resolution_code, uint8_t image_type,
                           uint8_t bits, uint8_t source) {
  Bytes c = {0x1B,
             0xA8,
             0x24,
             0x13,
             0x30,
             static_cast<uint8_t>(width_units >> 24),
             static_cast<uint8_t>(width_units >> 16),
             static_cast<uint8_t>(width_units >> 8),
             static_cast<uint8_t>(width_units),
             static_cast<uint8_t>(height_units >> 24),
             static_cast<uint8_t>(height_units >> 16),
             static_cast<uint8_t>(height_units >> 8),
             static_cast<uint8_t>(height_units),
             resolution_code,
             image_type,
             bits,
             0,
             0,
             0,
             0,
             0,
             0,
             0,
             source,
             0};
  return c;
}

struct Answer {
  bool write_ok = false;
  uint32_t written = 0;
  bool read_ok = false;
  Bytes bytes;  // what the read moved
};

// Writes `command` and reads `size` bytes back.
inline Answer Exchange(scansim::Port& port, const Bytes& command, uint32_t size) {
  Answer a;
  a.write_ok = port.Write(command.data(), static_cast<uint32_t>(command.size()), &a.written);
  Bytes buffer(size ? size : 1);
  uint32_t read = 0;
  a.read_ok = port.Read(buffer.data(), size, &read);
  a.bytes.assign(buffer.begin(), buffer.begin() + read);
  return a;
}

inline uint32_t Be32(const Bytes& b, size_t at) {
  return (uint32_t{b.at(at)} << 24) | (uint32_t{b.at(at + 1)} << 16) | (uint32_t{b.at(at + 2)} << 8) | b.at(at + 3);
}
inline uint16_t Be16(const Bytes& b, size_t at) {
  return static_cast<uint16_t>((b.at(at) << 8) | b.at(at + 1));
}
inline uint16_t Le16(const Bytes& b, size_t at) {
  return static_cast<uint16_t>(b.at(at) | (b.at(at + 1) << 8));
}

}  // namespace simtest
