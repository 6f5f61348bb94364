// One Initialize against a "DeviceData" subkey holding values of any type and length: "Vid", "Pid",
// "DeviceMonitor" in any spelling of case, and noise. The handler's ids and route must be what the
// first bytes of the values say, and the probe cycle must follow them.
//
// Input layout (little-endian):
//   u8 flags: 1 no "DeviceData" subkey, 2 debug output, 4 device-monitor route preset,
//             8 a port object at "\\.\Usbscan0", 16 it fails to open, 32 it fails the descriptor request
//   u16 preset vid, u16 preset pid (the handler's fields before Initialize)
//   u16 descriptor vid, u16 descriptor pid (the port object's)
//   u8 value count (modulo 16), then per value:
//     u8 name: low 2 bits 0 "Vid", 1 "Pid", 2 "DeviceMonitor", 3 noise (u8 length modulo 16, the bytes);
//              the upper 6 bits choose upper or lower case letter by letter
//     u32 type, u16 length (modulo 1024), u8 pattern length, the pattern (repeated to the length)
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/ByteStream.h"

namespace fuzzing {

struct RegistryValue {
  std::string name;
  uint32_t type = 0;
  std::vector<uint8_t> data;
};

struct RegistryCase {
  bool noDeviceData = false;
  bool debug = false;
  bool presetMonitor = true;
  bool port = false;
  bool portFailsOpen = false;
  bool portFailsDescriptor = false;
  uint16_t presetVid = 0;
  uint16_t presetPid = 0;
  uint16_t descriptorVid = 0;
  uint16_t descriptorPid = 0;
  std::vector<RegistryValue> values;

  // Writes a case whose values decode to exactly these names and data.
  void Encode(ByteWriter& out) const;
  static RegistryCase Decode(ByteReader& in);

  // Runs the case and traps when a check fails.
  void Run() const;
};

}  // namespace fuzzing
