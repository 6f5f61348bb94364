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
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "WIASTIIO.h"
#include "platform/control.h"
#include "platform/testing.h"
#include "support/ByteStream.h"
#include "support/Check.h"
#include "tests/support/HandlerAccess.h"

namespace {

using fuzzing::ByteReader;
using fuzzing::Repeat;

struct PrintArgument {
  enum class Kind : uint8_t { kNumber, kText, kWideText };
  Kind kind = Kind::kNumber;
  uint32_t number = 0;
  bool null = false;
  std::string text;
  std::u16string wideText;
};

constexpr size_t kMaxArguments = 6;

const char* const kConversions[10] = {"%s", "%ws", "%d", "%x", "%X", "%02X", "%04X", "%08X", "%u", "%c"};
constexpr uint8_t kConversionKinds = 10;
constexpr uint8_t kLiteral = 10;
constexpr uint8_t kTokenKinds = 12;

// The printer keeps 199 characters and a terminator of both the format and the line.
constexpr size_t kKept = DEBUG_LINE_SIZE - 1;

// Literal text never opens a conversion and never ends the format early.
char LiteralChar(uint8_t byte) {
  return byte == '%' ? '#' : byte == 0 ? ' ' : static_cast<char>(byte);
}

// Calls f with the arguments as the conversions take them: a 32-bit number, a narrow text pointer or
// a wide text pointer each.
template <size_t Left>
struct Apply {
  template <typename F, typename... Passed>
  static void Call(const std::vector<PrintArgument>& arguments, size_t next, F& f, Passed... passed) {
    if (next == arguments.size()) {
      f(passed...);
      return;
    }
    if constexpr (Left > 0) {
      const PrintArgument& argument = arguments[next];
      switch (argument.kind) {
        case PrintArgument::Kind::kNumber:
          Apply<Left - 1>::Call(arguments, next + 1, f, passed..., static_cast<UINT>(argument.number));
          break;
        case PrintArgument::Kind::kText:
          Apply<Left - 1>::Call(arguments, next + 1, f, passed...,
                                argument.null ? static_cast<const char*>(nullptr) : argument.text.c_str());
          break;
        case PrintArgument::Kind::kWideText:
          Apply<Left - 1>::Call(arguments, next + 1, f, passed...,
                                argument.null ? static_cast<const WCHAR*>(nullptr)
                                              : reinterpret_cast<const WCHAR*>(argument.wideText.c_str()));
          break;
      }
    }
  }
};

struct Case {
  bool debugOff = false;
  std::string format;
  std::vector<PrintArgument> arguments;
};

Case Decode(ByteReader& in) {
  Case c;
  c.debugOff = (in.U8() & 1u) != 0;
  const uint8_t tokens = in.U8();
  for (uint8_t t = 0; t < tokens; ++t) {
    const uint8_t kind = static_cast<uint8_t>(in.U8() % kTokenKinds);
    if (kind < kConversionKinds) {
      PrintArgument argument;
      argument.kind = kind == 0   ? PrintArgument::Kind::kText
                      : kind == 1 ? PrintArgument::Kind::kWideText
                                  : PrintArgument::Kind::kNumber;
      if (argument.kind == PrintArgument::Kind::kNumber) {
        argument.number = in.U32();
      } else {
        argument.null = in.U8() == 0;
        const size_t length = in.U16() % 8192u;
        const uint8_t patternLength = in.U8();
        if (argument.kind == PrintArgument::Kind::kText) {
          std::vector<char> pattern;
          for (uint8_t byte : in.Bytes(patternLength)) {
            pattern.push_back(byte == 0 ? 'n' : static_cast<char>(byte));
          }
          argument.text = Repeat(pattern.empty() ? std::vector<char>{'n'} : pattern, length);
        } else {
          std::vector<char16_t> pattern;
          for (uint8_t i = 0; i < patternLength; ++i) {
            const uint16_t unit = in.U16();
            pattern.push_back(unit == 0 ? u'w' : static_cast<char16_t>(unit));
          }
          argument.wideText = Repeat(pattern.empty() ? std::vector<char16_t>{u'w'} : pattern, length);
        }
      }
      if (c.arguments.size() < kMaxArguments) {
        c.format += kConversions[kind];
        c.arguments.push_back(std::move(argument));
      } else {
        c.format += kConversions[kind] + 1;
      }
    } else if (kind == kLiteral) {
      for (uint8_t byte : in.Bytes(in.U8())) {
        c.format += LiteralChar(byte);
      }
    } else {
      const size_t length = in.U16() % 4096u;
      std::vector<char> pattern;
      for (uint8_t byte : in.Bytes(in.U8())) {
        pattern.push_back(LiteralChar(byte));
      }
      c.format += Repeat(pattern.empty() ? std::vector<char>{' '} : pattern, length);
    }
  }
  return c;
}

void Run(const Case& c) {
  const std::string& format = c.format;
  winplat::ResetAll();
  FUZZ_CHECK(InitializeDll(c.debugOff ? 0 : 1) == S_OK && g_pSTIIOHandler != nullptr, "InitializeDll");
  CSTIIOHandler* h = g_pSTIIOHandler;
  winplat::ClearDebugStrings();

  // Everything of the handler but the printer's two buffers must be as it was: an overrun of one of
  // them lands inside the object, where the address checker does not look.
  const auto* object = reinterpret_cast<const uint8_t*>(h);
  using Access = CSTIIOHandlerTestAccess;
  const size_t lineAt = static_cast<size_t>(reinterpret_cast<const uint8_t*>(Access::DebugLine(*h)) - object);
  const size_t formatAt = static_cast<size_t>(reinterpret_cast<const uint8_t*>(Access::DebugFormat(*h)) - object);
  auto outsideBuffers = [&](size_t i) {
    return !(i >= lineAt && i < lineAt + DEBUG_LINE_SIZE) && !(i >= formatAt && i < formatAt + DEBUG_LINE_SIZE);
  };
  const std::vector<uint8_t> before(object, object + sizeof(CSTIIOHandler));

  const std::string cutFormat = format.substr(0, kKept);
  std::vector<char> reference(1025, '\0');
  auto print = [&](auto... passed) {
    CSTIIOHandlerTestAccess::DebugPrint(*h, format.c_str(), passed...);
    wsprintfA(reference.data(), cutFormat.c_str(), passed...);
  };
  Apply<kMaxArguments>::Call(c.arguments, 0, print);

  for (size_t i = 0; i < sizeof(CSTIIOHandler); ++i) {
    FUZZ_CHECK(!outsideBuffers(i) || object[i] == before[i], "the debug printer wrote outside its buffers");
  }
  const std::vector<std::string> lines = winplat::DebugStrings();
  if (c.debugOff) {
    FUZZ_CHECK(lines.empty(), "a debug line with debugging off");
  } else {
    const std::string expected = std::string(reference.data()).substr(0, kKept);
    FUZZ_CHECK(lines.size() == 1, "one DebugPrint, one debugger string");
    FUZZ_CHECK(lines[0] == expected, "the line is not the formatted text cut to 199 characters");
  }

  FUZZ_CHECK(TerminateDll() == S_OK, "TerminateDll");
  winplat::ResetAll();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ByteReader in(data, size);
  Run(Decode(in));
  return 0;
}
