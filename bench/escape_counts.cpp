// Instruction counts per escape, for running under callgrind (scripts/escape-counts.sh). For each
// escape it runs N escapes through STIEscape with debugging off, the same N with debugging on, and the
// same transfers made straight into the device monitor with nothing in between, collecting only while
// the escape (or its transfers) runs, and dumps each set as its own profile named
// "<mode> <escape>". The difference between the library and the port dumps, divided by N, is what an
// escape costs beyond its port calls. Standard output gives the debug lines each escape writes.
//
//   escape_counts [N]
#include <valgrind/callgrind.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "BenchRig.h"
#include "platform/control.h"
#include "tests/support/HandlerAccess.h"

namespace {

using bench::EscapeKind;
using bench::Rig;

size_t g_lines = 0;

void Measure(Rig& rig, const bench::EscapeInfo& escape, Rig::Mode mode, bool debugOutput, int count,
             const char* label) {
  rig.PrepareFor(escape.kind);
  CSTIIOHandlerTestAccess::DebugOutput(rig.Handler()) = debugOutput ? TRUE : FALSE;
  // One untimed round first: lazy symbol binding and first-touch allocations are not per-escape costs.
  rig.Before(escape.kind, mode);
  rig.Run(escape.kind, mode);
  rig.After(escape.kind, mode);
  winplat::ClearDebugStrings();
  g_lines = 0;

  int failures = 0;
  CALLGRIND_ZERO_STATS;
  for (int i = 0; i < count; ++i) {
    rig.Before(escape.kind, mode);
    const size_t linesBefore = g_lines;
    CALLGRIND_TOGGLE_COLLECT;
    const HRESULT hr = rig.Run(escape.kind, mode);
    CALLGRIND_TOGGLE_COLLECT;
    if (debugOutput && i == 0) {
      std::printf("lines\t%s\t%zu\n", escape.name, g_lines - linesBefore);
    }
    failures += hr == S_OK ? 0 : 1;
    rig.After(escape.kind, mode);
    winplat::ClearDebugStrings();
    rig.ForgetCalls();
  }
  const std::string dump = std::string(label) + " " + escape.name;
  CALLGRIND_DUMP_STATS_AT(dump.c_str());
  CSTIIOHandlerTestAccess::DebugOutput(rig.Handler()) = FALSE;
  if (failures != 0) {
    std::fprintf(stderr, "escape_counts: %d of %d %s failed\n", failures, count, dump.c_str());
    std::exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 1000;
  if (count <= 0) {
    std::fprintf(stderr, "usage: escape_counts [N]\n");
    return 2;
  }
  Rig rig(false);
  winplat::SetDebugStringSink([](const char*) { ++g_lines; });
  std::printf("escapes\t%d\n", count);
  for (size_t i = 0; i < bench::kEscapeCount; ++i) {
    const bench::EscapeInfo& escape = bench::kEscapes[i];
    Measure(rig, escape, Rig::Mode::kPortCalls, false, count, "port");
    Measure(rig, escape, Rig::Mode::kLibrary, false, count, "off");
    Measure(rig, escape, Rig::Mode::kLibrary, true, count, "on");
  }
  winplat::SetDebugStringSink(nullptr);
  return 0;
}
