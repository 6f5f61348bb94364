// The debug-line printer at its limits, which no scenario reaches: formats and lines longer than the
// handler's two 200-character buffers are cut to 199 characters, one debugger string per call (the
// sanitizer build catches a write past the buffers).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "handler/STIIOHandler.h"
#include "support/HandlerAccess.h"
#include "support/Harness.h"

namespace {

TEST(DebugPrint, CutsLongFormatsAndLinesTo199Characters) {
  const std::string f200 = "[STI]" + std::string(195, 'f');
  const std::string a199(199, 'x');
  const std::string a1000(1000, 'x');
  const std::string cutConversion = std::string(198, 'c') + "%d";
  struct Case {
    const char* format;
    const char* argument;
    std::vector<std::string> lines;
  } const cases[] = {
      {nullptr, "x", {}},  // no format: no line at all
      {"[STI]a\t\tb  %s ", "c", {"[STI]a\t\tb  c "}},
      {f200.c_str(), nullptr, {f200.substr(0, 199)}},
      {"%s", a199.c_str(), {a199}},
      {"%s", a1000.c_str(), {a199}},
      {"%s%s%s%s", a1000.c_str(), {a199}},  // past the formatter's own limit of 1024
      // The cut falls inside a conversion: what is left of it must not take an argument.
      {cutConversion.c_str(), nullptr, {std::string(198, 'c')}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format == nullptr ? "(no format)" : c.format);
    auto handler = std::make_unique<CSTIIOHandler>(TRUE);
    harness::ClearDebugLines();

    CSTIIOHandlerTestAccess::DebugPrint(*handler, c.format, c.argument, c.argument, c.argument, c.argument);

    EXPECT_EQ(harness::DebugLines(), c.lines);
  }
}

}  // namespace
