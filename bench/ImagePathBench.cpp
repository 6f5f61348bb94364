// The image path: one block through ESC_READ and ESC_READ_IMAGE, against the least any consumer of
// the block pays, one allocation of the block and one copy of its bytes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "BenchRig.h"
#include "Rounds.h"
#include "WIASTIIO.h"

namespace bench {
namespace {

void BM_ImagePath(benchmark::State& state) {
  const auto imageBytes = static_cast<uint32_t>(state.range(0));
  Rig rig(false);
  rig.PrepareFor(EscapeKind::kRead);
  InMemoryScanner& scanner = rig.Scanner();
  scanner.PrepareBlocks(imageBytes);
  const uint32_t blockSize = scanner.BlockSize();
  const uint8_t* source = scanner.BlockData();
  std::vector<uint8_t> out(imageBytes);
  bool delivered = true;

  auto library = [&] {
    READ_RESPONSE response;
    DWORD actual = 0;
    delivered = rig.Read(&response) == S_OK && delivered;
    delivered = rig.ReadImage(out.data(), imageBytes, &actual) == S_OK && actual == imageBytes && delivered;
  };
  // Allocation of the announced block and one copy of the image bytes.
  auto baseline = [&] {
    auto* block = new uint8_t[blockSize];
    std::memcpy(block, source, imageBytes);
    benchmark::DoNotOptimize(block);
    benchmark::ClobberMemory();
    delete[] block;
  };
  // What the per-block design itself asks for: the block allocated, filled by the port, and copied to
  // the caller without its trailer.
  auto design = [&] {
    auto* block = new uint8_t[blockSize];
    std::memcpy(block, source, blockSize);
    benchmark::DoNotOptimize(block);
    std::memcpy(out.data(), block, imageBytes);
    benchmark::ClobberMemory();
    delete[] block;
  };

  Rounds<3> rounds(1);
  bool baselineFirst = false;
  for (auto _ : state) {
    if (baselineFirst) {
      rounds.Time(1, baseline);
      rounds.Time(2, design);
      rounds.Time(0, library);
    } else {
      rounds.Time(0, library);
      rounds.Time(1, baseline);
      rounds.Time(2, design);
    }
    baselineFirst = !baselineFirst;
    state.SetIterationTime(rounds.Last(0));
    rig.ForgetCalls();
  }
  if (!delivered) {
    state.SkipWithError("a block was not delivered whole");
    return;
  }
  // The block is the same in every copy and never the same as a fresh buffer's contents.
  if (std::memcmp(out.data(), source, imageBytes) != 0) {
    state.SkipWithError("the caller's block differs from the scanner's");
    return;
  }
  const double gb = static_cast<double>(imageBytes) / 1e9;
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(imageBytes));
  state.counters["library_GBps"] = gb / rounds.PerCall(0);
  state.counters["baseline_GBps"] = gb / rounds.PerCall(1);
  state.counters["design_GBps"] = gb / rounds.PerCall(2);
  state.counters["ratio"] = rounds.PerCall(1) / rounds.PerCall(0);
  state.counters["ratio_design"] = rounds.PerCall(2) / rounds.PerCall(0);
}

BENCHMARK(BM_ImagePath)->Arg(64 << 10)->Arg(256 << 10)->Arg(1 << 20)->Arg(4 << 20)->UseManualTime();

}  // namespace
}  // namespace bench
