// One line through the handler's debug printer: a format built from literal text and the conversions
// the library's messages use, with arguments of any length. The handler's two 200-byte buffers must
// stay within their bounds, and the line written must be the user library's formatting of the format
// (cut to 199 characters) cut to 199 characters.
//
// Input layout (little-endian):
//   u8 flags: 1 debug output off
//   u8 token count, then per token a u8 kind:
//     0..9   a conversion (%s %ws %d %x %X %02X %04X %08X %u %c), followed by its argument:
//              numbers  u32
//              texts    u8 mode (0 a null pointer), u16 length (modulo 8192), u8 pattern length,
//                       the pattern (bytes, or 16-bit units for %ws), repeated to the length
//     10     literal text: u8 length, the bytes
//     11     long literal text: u16 length (modulo 4096), u8 pattern length, the pattern
//   At most six conversions; later conversion tokens become literal text of their own spelling
//   with the percent sign left out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/ByteStream.h"

namespace fuzzing {

struct PrintArgument {
  enum class Kind : uint8_t { kNumber, kText, kWideText };
  Kind kind = Kind::kNumber;
  uint32_t number = 0;
  bool null = false;
  std::string text;
  std::u16string wideText;
};

struct DebugPrintCase {
  static constexpr size_t kMaxArguments = 6;

  bool debugOff = false;
  std::string format;
  std::vector<PrintArgument> arguments;

  static DebugPrintCase Decode(ByteReader& in);

  void Run() const;
};

}  // namespace fuzzing
