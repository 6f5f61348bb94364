// A whole A4 page in colour through the exports, from the reserve to the release, against the time the
// same bytes need on a USB 2.0 high-speed bulk pipe.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "BenchRig.h"
#include "Rounds.h"

namespace bench {
namespace {

// What a USB 2.0 high-speed bulk pipe carries in practice (480 Mbit/s signalling, less protocol
// overhead and the host controller's scheduling).
constexpr double kUsbBytesPerSecond = 40e6;
// The image bytes a scanner block holds at most; blocks hold whole rows.
constexpr uint32_t kBlockImageBytes = 65536;

struct Page {
  DWORD width = 0;   // pixels as the minidriver asks for them
  DWORD height = 0;  // lines
  uint32_t rowBytes = 0;
  uint32_t rowsPerBlock = 0;
  uint32_t blocks = 0;
  uint32_t lastRows = 0;
};

// 210 mm x 297 mm at `dpi`; the scanner scans the width rounded up to whole groups of 32 pixels.
Page A4(uint32_t dpi) {
  Page page;
  page.width = static_cast<DWORD>(std::lround(210.0 / 25.4 * dpi));
  page.height = static_cast<DWORD>(std::lround(297.0 / 25.4 * dpi));
  page.rowBytes = ((page.width + 31) & ~31u) * 3;
  page.rowsPerBlock = kBlockImageBytes / page.rowBytes > 0 ? kBlockImageBytes / page.rowBytes : 1;
  page.blocks = (page.height + page.rowsPerBlock - 1) / page.rowsPerBlock;
  page.lastRows = page.height - (page.blocks - 1) * page.rowsPerBlock;
  return page;
}

void BM_A4Page(benchmark::State& state) {
  const auto dpi = static_cast<uint32_t>(state.range(0));
  const BYTE resolutionCode = dpi == 600 ? 7 : 5;
  const Page page = A4(dpi);
  Rig rig(false);
  rig.PrepareFor(EscapeKind::kReserve);
  InMemoryScanner& scanner = rig.Scanner();
  scanner.PrepareBlocks(page.rowBytes * page.rowsPerBlock, page.blocks, page.rowBytes * page.lastRows);
  const SWP_PARAMETER window = Rig::ColourWindow(page.width, page.height, resolutionCode);
  // The minidriver's buffer for one block, used again for every block.
  std::vector<uint8_t> out(scanner.BlockSize());

  uint64_t imageBytes = 0;
  uint32_t blocks = 0;
  bool ok = true;
  auto library = [&] {
    imageBytes = 0;
    blocks = 0;
    ok = rig.Reserve() == S_OK && rig.SetWindow(window) == S_OK && rig.ObjectPosition() == S_OK && ok;
    HRESULT hr = S_OK;
    while (ok && hr != PAGE_END) {
      READ_RESPONSE response;
      DWORD actual = 0;
      hr = rig.Read(&response);
      ok = (hr == S_OK || hr == PAGE_END) && rig.ReadImage(out.data(), static_cast<DWORD>(out.size()), &actual) == S_OK;
      imageBytes += actual;
      ++blocks;
      // The double records every call. A page's worth of records (half a megabyte at 600 dpi) slowed
      // the page's copies threefold, a cost no real device monitor has: both loops clear it per block.
      rig.ForgetCalls();
    }
    ok = rig.Release() == S_OK && ok;
  };
  auto portCalls = [&] {
    for (EscapeKind kind : {EscapeKind::kReserve, EscapeKind::kSetWindow, EscapeKind::kObjectPosition}) {
      rig.Run(kind, Rig::Mode::kPortCalls);
    }
    for (uint32_t block = 0; block < page.blocks; ++block) {
      rig.Run(EscapeKind::kRead, Rig::Mode::kPortCalls);
      rig.Run(EscapeKind::kReadImage, Rig::Mode::kPortCalls);
      rig.ForgetCalls();
    }
    rig.Run(EscapeKind::kRelease, Rig::Mode::kPortCalls);
  };

  Rounds<2> rounds(1);
  uint64_t traffic = 0;
  bool portFirst = false;
  for (auto _ : state) {
    if (portFirst) {
      rounds.Time(1, portCalls);
    }
    scanner.ResetTraffic();
    rounds.Time(0, library);
    traffic = scanner.Traffic();
    if (!portFirst) {
      rounds.Time(1, portCalls);
    }
    portFirst = !portFirst;
    state.SetIterationTime(rounds.Last(0));
    rig.ForgetCalls();
  }
  const uint64_t expected = static_cast<uint64_t>(page.rowBytes) * page.height;
  if (!ok || blocks != page.blocks || imageBytes != expected) {
    state.SkipWithError("the page did not arrive whole");
    return;
  }
  const double wireSeconds = static_cast<double>(traffic) / kUsbBytesPerSecond;
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(imageBytes));
  state.counters["image_MB"] = static_cast<double>(imageBytes) / 1e6;
  state.counters["blocks"] = page.blocks;
  state.counters["page_ms"] = rounds.PerCall(0) * 1e3;
  state.counters["port_ms"] = rounds.PerCall(1) * 1e3;
  state.counters["wire_ms"] = wireSeconds * 1e3;
  state.counters["share"] = (rounds.PerCall(0) - rounds.PerCall(1)) / wireSeconds;
  state.counters["share_with_port"] = rounds.PerCall(0) / wireSeconds;
}

BENCHMARK(BM_A4Page)->Arg(300)->Arg(600)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace bench
