#include "ScanDriver.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace stiscan {

namespace {

// The scanner's image types and depths, record bytes 17 and 18 of the scan window.
constexpr BYTE kImageTypeBlackWhite = 0;
constexpr BYTE kImageTypeGrey = 1;
constexpr BYTE kImageTypeColour = 2;

// Image-composition bits of the device information.
constexpr DWORD kCompositionBlackWhite = 0x01;
constexpr DWORD kCompositionGrey = 0x08;
constexpr DWORD kCompositionColour = 0x20;

// A page whose blocks stay empty this many times in a row is not coming.
constexpr uint32_t kMaxEmptyReads = 1000;

DWORD CompositionBit(Mode mode) {
  switch (mode) {
    case Mode::kGrey:
      return kCompositionGrey;
    case Mode::kBlackWhite:
      return kCompositionBlackWhite;
    case Mode::kColour:
      break;
  }
  return kCompositionColour;
}

uint32_t RowBytes(Mode mode, uint32_t width) {
  switch (mode) {
    case Mode::kGrey:
      return width;
    case Mode::kBlackWhite:
      return (width + 7) / 8;
    case Mode::kColour:
      break;
  }
  return width * 3;
}

// Whole pixels of a length in thousandths of an inch, rounded down.
uint32_t Pixels(double thousandths, uint32_t dpi) {
  return static_cast<uint32_t>(std::floor(thousandths * dpi / 1000.0 + 1e-6));
}

std::string Dimensions(double width, double height) {
  char text[96];
  std::snprintf(text, sizeof text, "%.1f x %.1f mm (%.2f x %.2f in)", width * 0.0254, height * 0.0254, width / 1000,
                height / 1000);
  return text;
}

std::string ResolutionList(const std::vector<LONG>& resolutions) {
  std::string text;
  for (LONG dpi : resolutions) {
    text += (text.empty() ? "" : ", ") + std::to_string(dpi);
  }
  return text.empty() ? "no resolution" : text + " dpi";
}

std::string ModeList(DWORD composition) {
  std::string text;
  for (Mode mode : {Mode::kColour, Mode::kGrey, Mode::kBlackWhite}) {
    if ((composition & CompositionBit(mode)) != 0) {
      text += (text.empty() ? "" : ", ") + std::string(ModeName(mode));
    }
  }
  return text.empty() ? "no mode" : text;
}

std::string PageName(uint32_t number) {
  return "page " + std::to_string(number);
}

}  // namespace

uint8_t ResolutionCode(uint32_t dpi) {
  for (const RESOLUTION_CODE& entry : kResolutionCodes) {
    if (entry.dwDpi == dpi) {
      return entry.byCode;
    }
  }
  return 0xFF;
}

HRESULT ScanDriver::Note(const char* step, HRESULT result) {
  if (result != S_OK && result != PAGE_END) {
    observer_.Result(step, result);
  }
  return result;
}

HRESULT ScanDriver::Escape(const char* step, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                           DWORD* actual) {
  return Note(step, library_.STIEscape(code, in, inSize, out, outSize, actual));
}

Outcome ScanDriver::Failure(ExitStatus status, const std::string& context, const char* step, HRESULT result,
                            const char* meaning) const {
  Outcome outcome;
  outcome.status = status;
  outcome.message = context + ": " + step + " returned " + DescribeResult(result, meaning);
  return outcome;
}

Outcome ScanDriver::Run(IStiDeviceControl* control, HKEY parametersKey) {
  const HRESULT result = Note("InitializeDll", library_.InitializeDll(options_.debug ? 1 : 0));
  if (result != S_OK) {
    return Failure(kExitLibrary, "the library did not start", "InitializeDll", result);
  }
  Outcome outcome = Session(control, parametersKey);
  library_.TerminateDll();
  return outcome;
}

Outcome ScanDriver::Session(IStiDeviceControl* control, HKEY parametersKey) {
  // The still-image interface version the service reports for a WIA driver; the handler ignores it.
  const DWORD kStiVersion = 2;
  const HRESULT result = Note("Initialize", library_.Initialize(control, kStiVersion, parametersKey));
  if (result == E_FAIL) {
    // Initialize fails this way only when the contention module does not grant the port.
    return Failure(kExitDevice,
                   std::string("the scanner port was not granted (the contention module ") +
                       (options_.route == Route::kDirect ? "portarb.dll" : "prtmon64.dll") +
                       " is missing, or another program holds the port)",
                   "Initialize", result, "port not granted");
  }
  if (result != S_OK) {
    return Failure(ExitStatusFor(result), "the library could not be set up for the scanner", "Initialize", result);
  }

  Outcome outcome = Inquire();
  if (outcome.status != kExitOk || options_.info) {
    return outcome;
  }

  SWP_PARAMETER window = {};
  PageLayout layout;
  outcome = CheckRequest(&window, &layout);
  if (outcome.status != kExitOk) {
    return outcome;
  }

  outcome = Reserve();
  if (outcome.status != kExitOk) {
    return outcome;
  }

  const HRESULT windowResult =
      Escape("ESC_SET_WINDOW_PARAMETER", ESC_SET_WINDOW_PARAMETER, &window, sizeof window, nullptr, 0, nullptr);
  if (windowResult != S_OK) {
    Release(false);
    return Failure(ExitStatusFor(windowResult),
                   "the scanner did not take the scan window (" + std::to_string(layout.width) + " x " +
                       std::to_string(layout.height) + " pixels, " + ModeName(options_.mode) + ", " +
                       std::to_string(layout.dpi) + " dpi, " + SourceName(options_.source) + ")",
                   "ESC_SET_WINDOW_PARAMETER", windowResult);
  }

  return Sheets(layout);
}

Outcome ScanDriver::Inquire() {
  SCAN_DEVICE_INFO info = {};
  const HRESULT result = Escape("GET_DEVICE_INFO", GET_DEVICE_INFO, nullptr, 0, &info, sizeof info, nullptr);
  if (result == E_FAIL || result == E_NOTIMPL) {
    // The inquiry is the first exchange: a port that does not carry it has no scanner behind it.
    return Failure(kExitDevice, "no scanner answered the device-information inquiry", "GET_DEVICE_INFO", result,
                   "no answer");
  }
  if (result != S_OK) {
    return Failure(ExitStatusFor(result), "the device information could not be read", "GET_DEVICE_INFO", result);
  }
  // The arrays belong to the library and go with TerminateDll; keep copies.
  device_.info = info;
  device_.info.pX_Resolutions = nullptr;
  device_.info.pY_Resolutions = nullptr;
  device_.resolutions.clear();
  if (info.pX_Resolutions != nullptr && info.nX_Resolutions > 0) {
    device_.resolutions.assign(info.pX_Resolutions, info.pX_Resolutions + info.nX_Resolutions);
  }

  if (options_.info) {
    device_.capabilitiesKnown = Note("GetCapabilities", library_.GetCapabilities(&device_.capabilities)) == S_OK;
    STI_DEVICE_STATUS status = {};
    status.dwSize = sizeof status;
    status.StatusMask = STI_DEVSTATUS_ONLINE_STATE;
    device_.statusResult = Note("GetStatus", library_.GetStatus(&status));
    device_.onlineState = status.dwOnlineState;
  }
  return Outcome();
}

Outcome ScanDriver::CheckRequest(SWP_PARAMETER* window, PageLayout* layout) const {
  const SCAN_DEVICE_INFO& info = device_.info;
  Outcome usage;
  usage.status = kExitUsage;

  bool offered = false;
  for (LONG dpi : device_.resolutions) {
    offered = offered || dpi == static_cast<LONG>(options_.resolution);
  }
  if (!offered) {
    usage.message = "--resolution " + std::to_string(options_.resolution) + ": the scanner offers " +
                    ResolutionList(device_.resolutions);
    return usage;
  }
  if ((info.dwImageComposition & CompositionBit(options_.mode)) == 0) {
    usage.message =
        std::string("--mode ") + ModeName(options_.mode) + ": the scanner offers " + ModeList(info.dwImageComposition);
    return usage;
  }
  const bool feeder = options_.source == Source::kFeeder;
  if (feeder && info.dwScannerType == SCANNER_TYPE_FLATBED_ONLY) {
    usage.message = "--source feeder: the scanner has no document feeder";
    return usage;
  }

  const double areaWidth = feeder ? info.dwDocFeederWidth : info.dwScanBedWidth;
  const double areaHeight = feeder ? info.dwDocFeederHeight : info.dwScanBedHeight;
  const uint32_t dpi = options_.resolution;
  uint32_t width = Pixels(areaWidth, dpi);
  uint32_t height = Pixels(areaHeight, dpi);
  if (options_.size.given) {
    const uint32_t askedWidth = Pixels(options_.size.width, dpi);
    const uint32_t askedHeight = Pixels(options_.size.height, dpi);
    if (askedWidth > width || askedHeight > height) {
      usage.message = "--size " + options_.size.text + ": larger than the " +
                      (feeder ? "feeder takes, " : "flatbed, ") + Dimensions(areaWidth, areaHeight);
      return usage;
    }
    if (askedWidth == 0 || askedHeight == 0) {
      usage.message = "--size " + options_.size.text + ": less than one pixel at " + std::to_string(dpi) + " dpi";
      return usage;
    }
    width = askedWidth;
    height = askedHeight;
  }
  if (width == 0 || height == 0) {
    usage.message = "the scanner reports no scanning area for the " + std::string(SourceName(options_.source));
    return usage;
  }

  std::memset(window, 0, sizeof *window);
  window->dwWindowWidth = width;
  window->dwWindowHeight = height;
  window->byResolutionCode = ResolutionCode(dpi);
  switch (options_.mode) {
    case Mode::kColour:
      window->byParameters[0] = kImageTypeColour;
      window->byParameters[1] = 24;
      break;
    case Mode::kGrey:
      window->byParameters[0] = kImageTypeGrey;
      window->byParameters[1] = 8;
      break;
    case Mode::kBlackWhite:
      window->byParameters[0] = kImageTypeBlackWhite;
      window->byParameters[1] = 1;
      break;
  }
  window->byScanSource = feeder ? SCAN_SOURCE_ADF_FRONT : SCAN_SOURCE_FLATBED;

  // The library widens the window to whole multiples of 32 pixels; the scanner delivers that width.
  layout->width = (width + 31) / 32 * 32;
  layout->height = height;
  layout->dpi = dpi;
  layout->mode = options_.mode;
  layout->rowBytes = RowBytes(options_.mode, layout->width);
  return Outcome();
}

Outcome ScanDriver::Reserve() {
  for (uint32_t repeat = 0;; ++repeat) {
    const HRESULT result = Escape("ESC_RESERVE_UNIT", ESC_RESERVE_UNIT, nullptr, 0, nullptr, 0, nullptr);
    if (result == S_OK) {
      return Outcome();
    }
    const bool wait = result == WIA_ERROR_BUSY || result == WIA_ERROR_WARMING_UP;
    if (wait && repeat < options_.retries) {
      // A busy scanner keeps the port for the repeat; a warming lamp needs time the library does not tell.
      observer_.Waiting(result, repeat + 1, options_.retries);
      Sleep(options_.retryDelayMs);
      continue;
    }
    if (wait) {
      return Failure(kExitDevice,
                     std::string("the scanner is still ") + (result == WIA_ERROR_BUSY ? "busy" : "warming up") +
                         " after " + std::to_string(options_.retries) +
                         (options_.retries == 1 ? " repeat" : " repeats"),
                     "ESC_RESERVE_UNIT", result);
    }
    return Failure(ExitStatusFor(result), "the scanner could not be reserved", "ESC_RESERVE_UNIT", result);
  }
}

Outcome ScanDriver::Sheets(const PageLayout& layout) {
  const bool feeder = options_.source == Source::kFeeder;
  for (uint32_t number = 1;; ++number) {
    const HRESULT result = Escape("ESC_OBJECT_POSITION", ESC_OBJECT_POSITION, nullptr, 0, nullptr, 0, nullptr);
    if (result == ADF_NO_DOCUMENT && feeder && options_.sheets == 0 && number > 1) {
      break;  // the feeder is empty: the job is done
    }
    if (result != S_OK) {
      std::string context;
      if (result == ADF_NO_DOCUMENT && number == 1) {
        context = "no sheet to scan";
      } else if (result == ADF_NO_DOCUMENT) {
        context = "the feeder ran out after " + std::to_string(number - 1) + " of " + std::to_string(options_.sheets) +
                  " sheets";
      } else {
        context = feeder ? "sheet " + std::to_string(number) + " could not be positioned"
                         : std::string("the flatbed document could not be positioned");
      }
      Release(result == WIA_ERROR_PAPER_JAM);
      return Failure(ExitStatusFor(result), context, "ESC_OBJECT_POSITION", result);
    }

    PageLayout page = layout;
    page.number = number;
    Outcome outcome = ReadPage(page);
    if (outcome.status != kExitOk) {
      return outcome;
    }
    ++pagesWritten_;
    if (!feeder || (options_.sheets != 0 && number == options_.sheets)) {
      break;
    }
  }
  Release(false);
  return Outcome();
}

Outcome ScanDriver::ReadPage(const PageLayout& page) {
  std::string error;
  if (!observer_.PageBegin(page, &error)) {
    Release(false);
    return Outcome{kExitOutput, error};
  }
  // Every way out of the page but the last gives the page up and ends the reservation.
  auto stop = [&](const Outcome& outcome, bool abortFirst) {
    observer_.PageAbandoned();
    Release(abortFirst);
    return outcome;
  };
  auto ioProblem = [&](const std::string& what) {
    return stop(Outcome{kExitIo, PageName(page.number) + ": " + what}, true);
  };

  const uint64_t expected = static_cast<uint64_t>(page.rowBytes) * page.height;
  const DWORD deliveredWidth = page.mode == Mode::kBlackWhite ? page.rowBytes : page.width;
  uint64_t bytes = 0;
  uint32_t rows = 0;
  uint32_t blocks = 0;
  uint32_t emptyReads = 0;
  for (;;) {
    READ_RESPONSE response = {};
    const HRESULT readResult = Escape("ESC_READ", ESC_READ, nullptr, 0, &response, sizeof response, nullptr);
    if (readResult != S_OK && readResult != PAGE_END) {
      return stop(Failure(ExitStatusFor(readResult),
                          PageName(page.number) + " stopped after " + std::to_string(rows) + " of " +
                              std::to_string(page.height) + " rows",
                          "ESC_READ", readResult),
                  readResult == WIA_ERROR_PAPER_JAM);
    }

    if (response.dwDataSize > IMAGE_TRAILER_SIZE) {
      emptyReads = 0;
      const DWORD size = response.dwDataSize - IMAGE_TRAILER_SIZE;
      if (block_.size() < size) {
        block_.resize(size);
      }
      DWORD received = 0;
      const HRESULT imageResult = Escape("ESC_READ_IMAGE", ESC_READ_IMAGE, nullptr, 0, block_.data(), size, &received);
      if (imageResult != S_OK) {
        return stop(Failure(ExitStatusFor(imageResult),
                            PageName(page.number) + " stopped after " + std::to_string(rows) + " of " +
                                std::to_string(page.height) + " rows",
                            "ESC_READ_IMAGE", imageResult),
                    imageResult == WIA_ERROR_PAPER_JAM);
      }
      const uint32_t blockRows = response.wHeight;
      if (response.wWidth != deliveredWidth || received != static_cast<uint64_t>(blockRows) * page.rowBytes) {
        return ioProblem("the scanner sent a block of " + std::to_string(received) + " bytes for " +
                         std::to_string(blockRows) + " rows " + std::to_string(response.wWidth) +
                         " wide; the page has rows of " + std::to_string(page.rowBytes) + " bytes, " +
                         std::to_string(deliveredWidth) + " wide");
      }
      if (blockRows > page.height - rows) {
        return ioProblem("the scanner sent more than the " + std::to_string(page.height) + " rows of the page");
      }
      if (!observer_.PageRows(block_.data(), blockRows, &error)) {
        return stop(Outcome{kExitOutput, error}, true);
      }
      rows += blockRows;
      bytes += received;
      ++blocks;
      observer_.PageProgress(bytes, expected, blocks);
    } else if (++emptyReads >= kMaxEmptyReads) {
      return ioProblem("the scanner announced no data " + std::to_string(kMaxEmptyReads) + " times in a row");
    }

    if (readResult == PAGE_END) {
      break;
    }
  }
  if (rows != page.height) {
    return ioProblem("the page ended after " + std::to_string(rows) + " of " + std::to_string(page.height) + " rows");
  }
  if (!observer_.PageEnd(&error)) {
    Release(false);
    return Outcome{kExitOutput, error};
  }
  return Outcome();
}

void ScanDriver::Release(bool abortFirst) {
  if (abortFirst) {
    Escape("ESC_ABORT", ESC_ABORT, nullptr, 0, nullptr, 0, nullptr);
  }
  Escape("ESC_RELEASE_UNIT", ESC_RELEASE_UNIT, nullptr, 0, nullptr, 0, nullptr);
}

}  // namespace stiscan
