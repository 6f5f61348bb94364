// A whole feeder job as a minidriver runs it through the exports: device information, reserve, scan
// window, then object position and read / read-image pairs for every sheet until the feeder is empty,
// and the release. The minidriver stops at the first result it cannot go on with; every escape is
// recorded with its result.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "STIEscape.h"
#include "WIASTIIO.h"
#include "client/ScanSession.h"
#include "simulator/Render.h"
#include "simulator/ScannerModel.h"
#include "support/Harness.h"

namespace feederjob {

constexpr WORD kVid = 0x1A2B;
constexpr WORD kPid = 0x3C4D;

// Small pages in small blocks, so that one job has many port calls and runs fast: 64 x 30 grey pixels
// at 300 dpi, 12 rows per block, so three blocks (12, 12 and 6 rows) per sheet.
constexpr DWORD kWidth = 64;
constexpr DWORD kHeight = 30;
constexpr BYTE kResolutionCode300 = 5;
constexpr uint32_t kSheets = 2;
constexpr uint32_t kBlockBytes = kWidth * 12;

inline scansim::Config ScannerConfig() {
  scansim::Config config;
  config.feeder_sheets = kSheets;
  config.block_bytes = kBlockBytes;
  return config;
}

inline SWP_PARAMETER FeederWindow() {
  return client::WindowRecord(kWidth, kHeight, kResolutionCode300, client::Mode::kGrey, true);
}

// One escape the minidriver made.
struct Step {
  DWORD code = 0;
  HRESULT hr = S_OK;
};

struct JobRecord {
  std::vector<Step> steps;
  bool completed = false;  // the release at the end went through
  size_t pagesRight = 0;   // pages whose data is exactly what the scanner rendered
  size_t pagesWrong = 0;
};

struct JobOptions {
  SWP_PARAMETER window = FeederWindow();
  // The page the scanner renders for the n-th sheet (1, 2, ...), for a scanner that answers from
  // another process; none: the scanner's last page.
  std::function<scansim::PageRequest(uint32_t sheet)> sheetPage;
};

inline JobRecord RunJob(const harness::Library& library, const scansim::ScannerModel& scanner,
                        const JobOptions& options = JobOptions()) {
  JobRecord record;
  auto escape = [&](DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* actual) {
    const HRESULT hr = library.STIEscape(code, in, inSize, out, outSize, actual);
    record.steps.push_back({code, hr});
    return hr;
  };

  SCAN_DEVICE_INFO info = {};
  if (escape(GET_DEVICE_INFO, nullptr, 0, &info, sizeof(info), nullptr) != S_OK) {
    return record;
  }
  if (escape(ESC_RESERVE_UNIT, nullptr, 0, nullptr, 0, nullptr) != S_OK) {
    return record;
  }
  SWP_PARAMETER window = options.window;
  if (escape(ESC_SET_WINDOW_PARAMETER, &window, sizeof(window), nullptr, 0, nullptr) != S_OK) {
    return record;
  }
  for (;;) {
    HRESULT hr = escape(ESC_OBJECT_POSITION, nullptr, 0, nullptr, 0, nullptr);
    if (hr == ADF_NO_DOCUMENT) {
      break;
    }
    if (hr != S_OK) {
      return record;
    }
    std::vector<uint8_t> page;
    for (;;) {
      READ_RESPONSE read = {};
      hr = escape(ESC_READ, nullptr, 0, &read, sizeof(read), nullptr);
      if (hr != S_OK && hr != PAGE_END) {
        return record;
      }
      // The record says how large a buffer the block needs: its size less the 16-byte trailer.
      const DWORD room = read.dwDataSize > IMAGE_TRAILER_SIZE ? read.dwDataSize - IMAGE_TRAILER_SIZE : 0;
      std::vector<uint8_t> block(std::max<DWORD>(room, 1));
      DWORD actual = 0;
      if (escape(ESC_READ_IMAGE, nullptr, 0, block.data(), room, &actual) != S_OK) {
        return record;
      }
      page.insert(page.end(), block.begin(), block.begin() + std::min<DWORD>(actual, room));
      if (hr == PAGE_END) {
        break;
      }
    }
    const auto sheet = static_cast<uint32_t>(record.pagesRight + record.pagesWrong + 1);
    const std::optional<scansim::PageRequest> rendered =
        options.sheetPage ? options.sheetPage(sheet) : scanner.LastPage();
    if (rendered && page == scansim::RenderPage(*rendered)) {
      ++record.pagesRight;
    } else {
      ++record.pagesWrong;
    }
  }
  if (escape(ESC_RELEASE_UNIT, nullptr, 0, nullptr, 0, nullptr) != S_OK) {
    return record;
  }
  record.completed = true;
  return record;
}

}  // namespace feederjob
