// What one escape costs beyond the transfers it makes, with debugging off and on. Each escape runs in
// batches against the in-memory scanner, alternating with batches of the same transfers made straight
// into the device monitor's entry points.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <vector>

#include "BenchRig.h"
#include "Rounds.h"
#include "platform/control.h"
#include "platform/testing.h"
#include "tests/support/HandlerAccess.h"

namespace bench {
namespace {

// Escapes that must run together to be repeated are timed as one unit.
struct Unit {
  std::vector<EscapeKind> kinds;
};

const Unit kDeviceInfo{{EscapeKind::kDeviceInfo}};
const Unit kPortCycle{{EscapeKind::kReserve, EscapeKind::kRelease}};
const Unit kSetWindow{{EscapeKind::kSetWindow}};
const Unit kObjectPosition{{EscapeKind::kObjectPosition}};
const Unit kRead{{EscapeKind::kRead}};
const Unit kBlock{{EscapeKind::kRead, EscapeKind::kReadImage}};
const Unit kAbort{{EscapeKind::kAbort}};

constexpr int64_t kBatch = 256;

// Runs the unit's escapes through STIEscape; false when one of them did not succeed.
bool RunEscapes(Rig& rig, const Unit& unit) {
  bool ok = true;
  for (EscapeKind kind : unit.kinds) {
    ok = rig.Run(kind, Rig::Mode::kLibrary) == S_OK && ok;
  }
  return ok;
}

void RunPortCalls(Rig& rig, const Unit& unit) {
  for (EscapeKind kind : unit.kinds) {
    rig.Run(kind, Rig::Mode::kPortCalls);
  }
}

void BM_Escape(benchmark::State& state, const Unit& unit) {
  Rig rig(false);
  rig.PrepareFor(unit.kinds.front());
  bool ok = true;
  Rounds<2> rounds(kBatch);
  bool portFirst = false;
  for (auto _ : state) {
    if (portFirst) {
      rounds.Time(1, [&] { RunPortCalls(rig, unit); });
    }
    rounds.Time(0, [&] { ok = RunEscapes(rig, unit) && ok; });
    if (!portFirst) {
      rounds.Time(1, [&] { RunPortCalls(rig, unit); });
    }
    portFirst = !portFirst;
    state.SetIterationTime(rounds.Last(0));
    rig.ForgetCalls();
  }
  if (!ok) {
    state.SkipWithError("an escape failed");
    return;
  }
  const double escapes = static_cast<double>(unit.kinds.size());
  const double libraryNs = rounds.PerCall(0) * 1e9;
  const double portNs = rounds.PerCall(1) * 1e9;
  state.counters["escapes"] = escapes;
  state.counters["library_ns"] = libraryNs;
  state.counters["port_ns"] = portNs;
  state.counters["beyond_ns_per_escape"] = (libraryNs - portNs) / escapes;
  state.counters["ratio"] = portNs > 0 ? libraryNs / portNs : 0;
}

BENCHMARK_CAPTURE(BM_Escape, device_info, kDeviceInfo)->UseManualTime();
BENCHMARK_CAPTURE(BM_Escape, reserve_release, kPortCycle)->UseManualTime();
BENCHMARK_CAPTURE(BM_Escape, set_window, kSetWindow)->UseManualTime();
BENCHMARK_CAPTURE(BM_Escape, object_position, kObjectPosition)->UseManualTime();
BENCHMARK_CAPTURE(BM_Escape, read, kRead)->UseManualTime();
BENCHMARK_CAPTURE(BM_Escape, read_read_image, kBlock)->UseManualTime();
BENCHMARK_CAPTURE(BM_Escape, abort, kAbort)->UseManualTime();

// The same escapes with the handler's debug flag on and off, batch by batch. The lines go to the
// platform's debugger record (cleared between batches so that it does not grow) and to a sink that
// only counts them.
void BM_DebugLines(benchmark::State& state, const Unit& unit) {
  Rig rig(false);
  rig.PrepareFor(unit.kinds.front());
  size_t lines = 0;
  winplat::SetDebugStringSink([&lines](const char*) { ++lines; });
  bool ok = true;
  Rounds<2> rounds(kBatch);
  bool onFirst = false;
  for (auto _ : state) {
    for (int pass = 0; pass < 2; ++pass) {
      const bool on = (pass == 0) == onFirst;
      CSTIIOHandlerTestAccess::DebugOutput(rig.Handler()) = on ? TRUE : FALSE;
      rounds.Time(on ? 1 : 0, [&] { ok = RunEscapes(rig, unit) && ok; });
    }
    onFirst = !onFirst;
    state.SetIterationTime(rounds.Last(1));
    winplat::ClearDebugStrings();
    rig.ForgetCalls();
  }
  CSTIIOHandlerTestAccess::DebugOutput(rig.Handler()) = FALSE;
  winplat::SetDebugStringSink(nullptr);
  if (!ok) {
    state.SkipWithError("an escape failed");
    return;
  }
  const double units = static_cast<double>(state.iterations() * kBatch);
  const double linesPerUnit = static_cast<double>(lines) / units;
  const double offNs = rounds.PerCall(0) * 1e9;
  const double onNs = rounds.PerCall(1) * 1e9;
  state.counters["escapes"] = static_cast<double>(unit.kinds.size());
  state.counters["off_ns"] = offNs;
  state.counters["on_ns"] = onNs;
  state.counters["lines"] = linesPerUnit;
  state.counters["ns_per_line"] = linesPerUnit > 0 ? (onNs - offNs) / linesPerUnit : 0;
}

BENCHMARK_CAPTURE(BM_DebugLines, reserve_release, kPortCycle)->UseManualTime();
BENCHMARK_CAPTURE(BM_DebugLines, set_window, kSetWindow)->UseManualTime();
BENCHMARK_CAPTURE(BM_DebugLines, object_position, kObjectPosition)->UseManualTime();
BENCHMARK_CAPTURE(BM_DebugLines, read, kRead)->UseManualTime();
BENCHMARK_CAPTURE(BM_DebugLines, read_read_image, kBlock)->UseManualTime();
BENCHMARK_CAPTURE(BM_DebugLines, abort, kAbort)->UseManualTime();

// The platform's share of a debug line: recording one line of a typical length, with nothing
// formatted, under the same sink and clearing as above.
void BM_OutputDebugStringA(benchmark::State& state) {
  winplat::ResetAll();
  winplat::SetDebugStringSink([](const char*) {});
  const char* line = "[STI]CSTIIOHandler::CallRead = > Read / Write[Success]";
  Rounds<1> rounds(kBatch);
  for (auto _ : state) {
    rounds.Time(0, [&] { OutputDebugStringA(line); });
    state.SetIterationTime(rounds.Last(0));
    winplat::ClearDebugStrings();
  }
  winplat::SetDebugStringSink(nullptr);
  state.counters["ns_per_line"] = rounds.PerCall(0) * 1e9;
}

BENCHMARK(BM_OutputDebugStringA)->UseManualTime();

}  // namespace
}  // namespace bench
