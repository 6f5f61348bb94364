// The debug-line printer: Windows formatting, one debugger string per call, and lines that never
// outgrow the handler's two 200-character buffers.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "handler/STIIOHandler.h"
#include "platform/control.h"
#include "support/Harness.h"

namespace handlertest {
namespace {

using Print = std::function<void(CSTIIOHandler&)>;

struct Case {
  const char* name;
  Print print;
  std::string line;    // what reaches the debugger
  std::string format;  // what the handler keeps of the format
};

std::string Text(size_t length, char c = 'x') {
  return std::string(length, c);
}

// A format of `length` characters with no conversion: "[STI]" then letters.
std::string PlainFormat(size_t length) {
  return "[STI]" + Text(length - 5, 'f');
}

std::vector<Case> Cases() {
  // The texts outlive the cases, which print them by pointer.
  static const std::string f199 = PlainFormat(199), f200 = PlainFormat(200), f1000 = PlainFormat(1000);
  static const std::string a199 = Text(199), a200 = Text(200), a1000 = Text(1000);
  static const std::string cutConversion = Text(198, 'c') + "%d";
  return {
      {"no conversion", [](CSTIIOHandler& h) { h.DebugPrint("[STI]CSTIIOHandler::Initialize"); },
       "[STI]CSTIIOHandler::Initialize", "[STI]CSTIIOHandler::Initialize"},
      {"tabs and blanks kept", [](CSTIIOHandler& h) { h.DebugPrint("[STI]a\t\tb  c "); }, "[STI]a\t\tb  c ",
       "[STI]a\t\tb  c "},
      {"%ws", [](CSTIIOHandler& h) { h.DebugPrint("[STI]Firmware Version : %ws", u"0.7"); },
       "[STI]Firmware Version : 0.7", "[STI]Firmware Version : %ws"},
      {"every conversion the messages use",
       [](CSTIIOHandler& h) {
         h.DebugPrint("%s|%d|%x|%X|%02X|%04X|%08X|0x%d", "ab", -5, 0xbeefu, 0xbeefu, 7u, 0x12u, 0x1A2Bu, 2);
       },
       "ab|-5|beef|BEEF|07|0012|00001A2B|0x2", "%s|%d|%x|%X|%02X|%04X|%08X|0x%d"},
      {"format of 199", [](CSTIIOHandler& h) { h.DebugPrint(f199.c_str()); }, f199, f199},
      {"format of 200", [](CSTIIOHandler& h) { h.DebugPrint(f200.c_str()); }, f200.substr(0, 199), f200.substr(0, 199)},
      {"format of 1000", [](CSTIIOHandler& h) { h.DebugPrint(f1000.c_str()); }, f1000.substr(0, 199),
       f1000.substr(0, 199)},
      {"line of 199", [](CSTIIOHandler& h) { h.DebugPrint("%s", a199.c_str()); }, a199, "%s"},
      {"line of 200", [](CSTIIOHandler& h) { h.DebugPrint("%s", a200.c_str()); }, a199, "%s"},
      {"line of 1000", [](CSTIIOHandler& h) { h.DebugPrint("%s", a1000.c_str()); }, a199, "%s"},
      {"line past the formatter's own limit",
       [](CSTIIOHandler& h) { h.DebugPrint("%s%s%s", a1000.c_str(), a1000.c_str(), a1000.c_str()); }, a199, "%s%s%s"},
      // The cut falls inside a conversion: what is left of it must not take an argument.
      {"conversion cut off", [](CSTIIOHandler& h) { h.DebugPrint(cutConversion.c_str(), 12345); }, Text(198, 'c'),
       cutConversion.substr(0, 199)},
  };
}

// Values around the two buffers that no line may reach.
struct Neighbours {
  DWORD lastResolution;
  BOOL debugOutput;
  BOOL reserveRetry;
  DWORD imageBufferSize;
  std::vector<BYTE> window;
  std::vector<BYTE> response;

  static Neighbours Plant(CSTIIOHandler& h) {
    h.m_dwResolutions[MAX_RESOLUTIONS - 1] = 0x11111111;
    h.m_bReserveRetry = 0x22222222;
    h.m_dwImageBufferSize = 0x33333333;
    std::memset(&h.m_SWPParam, 0x44, sizeof(h.m_SWPParam));
    std::memset(&h.m_SWPResponse, 0x55, sizeof(h.m_SWPResponse));
    return Read(h);
  }
  static Neighbours Read(const CSTIIOHandler& h) {
    const BYTE* window = reinterpret_cast<const BYTE*>(&h.m_SWPParam);
    const BYTE* response = reinterpret_cast<const BYTE*>(&h.m_SWPResponse);
    return {h.m_dwResolutions[MAX_RESOLUTIONS - 1],
            h.m_bDebugOutput,
            h.m_bReserveRetry,
            h.m_dwImageBufferSize,
            std::vector<BYTE>(window, window + sizeof(h.m_SWPParam)),
            std::vector<BYTE>(response, response + sizeof(h.m_SWPResponse))};
  }
  bool operator==(const Neighbours& o) const {
    return lastResolution == o.lastResolution && debugOutput == o.debugOutput && reserveRetry == o.reserveRetry &&
           imageBufferSize == o.imageBufferSize && window == o.window && response == o.response;
  }
};

TEST(DebugPrint, WritesOneCutLinePerCallWithDebuggingOn) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    auto handler = std::make_unique<CSTIIOHandler>(TRUE);
    const Neighbours before = Neighbours::Plant(*handler);
    harness::ClearDebugLines();

    c.print(*handler);

    EXPECT_EQ(harness::DebugLines(), std::vector<std::string>{c.line});
    EXPECT_EQ(std::string(handler->m_szDebugLine), c.line);
    EXPECT_EQ(std::string(handler->m_szDebugFormat), c.format);
    EXPECT_EQ(handler->m_pDebugArgs, nullptr) << "the arguments are let go after the line";
    EXPECT_TRUE(Neighbours::Read(*handler) == before) << "a field beside the buffers changed";
  }
}

}  // namespace
}  // namespace handlertest
