#include "client/ScanSession.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace client {

namespace {

static_assert(std::atomic<bool>::is_always_lock_free, "Cancel() is called from signal handlers");

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
// A reserve's pause is cut into slices this long, so that a cancel is not kept waiting.
constexpr uint32_t kPauseSliceMs = 20;

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

// Pixels of a length in thousandths of an inch, to the nearest.
uint32_t Pixels(double thousandths, uint32_t dpi) {
  return static_cast<uint32_t>(std::floor(thousandths * dpi / 1000.0 + 0.5));
}

// Whole pixels of the scanning area, rounded down.
uint32_t AreaPixels(double thousandths, uint32_t dpi) {
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
    if (Scannable(static_cast<uint32_t>(dpi))) {
      text += (text.empty() ? "" : ", ") + std::to_string(dpi);
    }
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

Outcome Failure(const std::string& context, const char* step, HRESULT result) {
  Outcome outcome;
  outcome.status = StatusFor(result, step);
  outcome.step = step;
  outcome.result = result;
  outcome.message = context + ": " + step + " returned " + DescribeResult(result, step);
  return outcome;
}

std::string PageName(uint32_t number) {
  return "page " + std::to_string(number);
}

}  // namespace

Outcome MakeOutcome(Status status, std::string message) {
  Outcome outcome;
  outcome.status = status;
  outcome.message = std::move(message);
  return outcome;
}

namespace {

Outcome Refused(const char* what, std::string reason) {
  Outcome outcome = MakeOutcome(Status::kUsage, std::move(reason));
  outcome.step = what;
  return outcome;
}

}  // namespace

const char* SourceName(Source source) {
  return source == Source::kFeeder ? "feeder" : "flatbed";
}

const char* ModeName(Mode mode) {
  switch (mode) {
    case Mode::kGrey:
      return "grey";
    case Mode::kBlackWhite:
      return "bw";
    case Mode::kColour:
      break;
  }
  return "colour";
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

uint8_t ResolutionCode(uint32_t dpi) {
  for (const RESOLUTION_CODE& entry : kResolutionCodes) {
    if (entry.dwDpi == dpi) {
      return entry.byCode;
    }
  }
  return 0xFF;
}

SWP_PARAMETER WindowRecord(uint32_t width, uint32_t height, uint8_t resolutionCode, Mode mode, bool feeder) {
  SWP_PARAMETER window;
  std::memset(&window, 0, sizeof window);
  window.dwWindowWidth = width;
  window.dwWindowHeight = height;
  window.byResolutionCode = resolutionCode;
  switch (mode) {
    case Mode::kColour:
      window.byParameters[0] = kImageTypeColour;  // record byte 17
      window.byParameters[1] = 24;                // record byte 18
      break;
    case Mode::kGrey:
      window.byParameters[0] = kImageTypeGrey;
      window.byParameters[1] = 8;
      break;
    case Mode::kBlackWhite:
      window.byParameters[0] = kImageTypeBlackWhite;
      window.byParameters[1] = 1;
      break;
  }
  window.byScanSource = feeder ? SCAN_SOURCE_ADF_FRONT : SCAN_SOURCE_FLATBED;
  return window;
}

bool Scannable(uint32_t dpi, std::string* why) {
  const uint8_t code = ResolutionCode(dpi);
  if (code != 0xFF && WindowUnitsPerPixel(code) == 0) {
    if (why != nullptr) {
      *why = "the scanner lists " + std::to_string(dpi) +
             " dpi, but the library refuses it: the scan window is given in 1/1200 inch, too coarse for " +
             std::to_string(dpi) + " dpi";
    }
    return false;
  }
  if (code == 0xFF) {
    if (why != nullptr) {
      *why = "the scan window has no resolution code for " + std::to_string(dpi) + " dpi";
    }
    return false;
  }
  return true;
}

HRESULT ScanSession::Escape(ScanObserver* observer, const char* step, DWORD code, void* out, DWORD outSize,
                            DWORD* actual) {
  void* in = code == ESC_SET_WINDOW_PARAMETER ? &window_ : nullptr;
  const DWORD inSize = code == ESC_SET_WINDOW_PARAMETER ? sizeof window_ : 0;
  const HRESULT result = exports_.STIEscape(code, in, inSize, out, outSize, actual);
  if (observer != nullptr && result != S_OK && result != PAGE_END) {
    observer->Result(step, result);
  }
  return result;
}

Outcome ScanSession::Open(IStiDeviceControl* control, HKEY parametersKey, bool debug, ScanObserver* observer) {
  auto note = [observer](const char* step, HRESULT result) {
    if (observer != nullptr && result != S_OK) {
      observer->Result(step, result);
    }
    return result;
  };
  HRESULT result = note("InitializeDll", exports_.InitializeDll(debug ? 1 : 0));
  if (result != S_OK) {
    return Failure("the library did not start", "InitializeDll", result);
  }
  initialized_ = true;

  // The still-image interface version the service reports for a WIA driver; the handler ignores it.
  const DWORD kStiVersion = 2;
  result = note("Initialize", exports_.Initialize(control, kStiVersion, parametersKey));
  if (result != S_OK) {
    return Failure("the library could not be set up for the scanner", "Initialize", result);
  }

  SCAN_DEVICE_INFO info = {};
  result = Escape(observer, "GET_DEVICE_INFO", GET_DEVICE_INFO, &info, sizeof info);
  if (result != S_OK) {
    return Failure("the device information could not be read", "GET_DEVICE_INFO", result);
  }
  // The arrays belong to the library and go with TerminateDll; keep copies.
  device_.info = info;
  device_.info.pX_Resolutions = nullptr;
  device_.info.pY_Resolutions = nullptr;
  device_.resolutions.clear();
  if (info.pX_Resolutions != nullptr && info.nX_Resolutions > 0) {
    device_.resolutions.assign(info.pX_Resolutions, info.pX_Resolutions + info.nX_Resolutions);
  }
  return Outcome();
}

void ScanSession::QueryDetails() {
  device_.capabilitiesKnown = exports_.GetCapabilities(&device_.capabilities) == S_OK;
  STI_DEVICE_STATUS status = {};
  status.dwSize = sizeof status;
  status.StatusMask = STI_DEVSTATUS_ONLINE_STATE;
  device_.statusResult = exports_.GetStatus(&status);
  device_.onlineState = status.dwOnlineState;
}

void ScanSession::Close() {
  if (initialized_) {
    initialized_ = false;
    exports_.TerminateDll();
  }
}

Outcome ScanSession::Plan(const ScanRequest& request, PageLayout* layout) {
  planned_ = false;
  const SCAN_DEVICE_INFO& info = device_.info;
  const uint32_t dpi = request.dpi;
  bool offered = false;
  for (LONG listed : device_.resolutions) {
    offered = offered || listed == static_cast<LONG>(dpi);
  }
  // A resolution the window can name but the library refuses gets its reason, listed or not.
  std::string why;
  if ((offered || ResolutionCode(dpi) != 0xFF) && !Scannable(dpi, &why)) {
    return Refused("resolution", why);
  }
  if (!offered) {
    return Refused("resolution", "the scanner offers " + ResolutionList(device_.resolutions));
  }
  if ((info.dwImageComposition & CompositionBit(request.mode)) == 0) {
    return Refused("mode", "the scanner offers " + ModeList(info.dwImageComposition));
  }
  const bool feeder = request.source == Source::kFeeder;
  if (feeder && info.dwScannerType == SCANNER_TYPE_FLATBED_ONLY) {
    return Refused("source", "the scanner has no document feeder");
  }

  const double areaWidth = feeder ? info.dwDocFeederWidth : info.dwScanBedWidth;
  const double areaHeight = feeder ? info.dwDocFeederHeight : info.dwScanBedHeight;
  uint32_t width = AreaPixels(areaWidth, dpi);
  uint32_t height = AreaPixels(areaHeight, dpi);
  if (width == 0 || height == 0) {
    return Refused("source", std::string("the scanner reports no scanning area for the ") + SourceName(request.source));
  }
  if (request.width > 0 || request.height > 0) {
    const double askedWidth = request.width > 0 ? request.width : areaWidth;
    const double askedHeight = request.height > 0 ? request.height : areaHeight;
    if (askedWidth > areaWidth + 0.5 || askedHeight > areaHeight + 0.5) {
      return Refused("size", std::string("larger than the ") + (feeder ? "feeder takes, " : "flatbed, ") +
                                 Dimensions(areaWidth, areaHeight));
    }
    // To the nearest pixel, but never past the area.
    width = std::min(width, Pixels(askedWidth, dpi));
    height = std::min(height, Pixels(askedHeight, dpi));
    if (width == 0 || height == 0) {
      return Refused("size", "less than one pixel at " + std::to_string(dpi) + " dpi");
    }
  }

  window_ = WindowRecord(width, height, ResolutionCode(dpi), request.mode, feeder);

  layout_ = PageLayout();
  layout_.width = width;
  layout_.height = height;
  layout_.dpi = dpi;
  layout_.mode = request.mode;
  layout_.bytesPerLine = RowBytes(request.mode, width);
  // The library widens the window to whole multiples of 32 pixels; the scanner delivers that width.
  layout_.scanWidth = (width + 31) / 32 * 32;
  layout_.scanRowBytes = RowBytes(request.mode, layout_.scanWidth);
  request_ = request;
  planned_ = true;
  *layout = layout_;
  return Outcome();
}

Outcome ScanSession::Cancelled(bool reserved) {
  if (reserved) {
    Release(true);
  }
  return MakeOutcome(Status::kCancelled, reserved ? "stopped: the scanner was aborted and released"
                                                  : "stopped before the scanner was reserved");
}

Outcome ScanSession::Scan(ScanObserver& observer) {
  if (!planned_) {
    return MakeOutcome(Status::kUsage, "nothing planned to scan");
  }
  if (cancel_.load()) {
    return Cancelled(false);
  }
  Outcome outcome = Reserve(observer);
  if (!outcome.Ok()) {
    return outcome;
  }
  const HRESULT result = Escape(&observer, "ESC_SET_WINDOW_PARAMETER", ESC_SET_WINDOW_PARAMETER);
  if (result != S_OK) {
    Release(false);
    return Failure("the scanner did not take the scan window (" + std::to_string(layout_.width) + " x " +
                       std::to_string(layout_.height) + " pixels, " + ModeName(request_.mode) + ", " +
                       std::to_string(layout_.dpi) + " dpi, " + SourceName(request_.source) + ")",
                   "ESC_SET_WINDOW_PARAMETER", result);
  }
  return Sheets(observer);
}

Outcome ScanSession::Reserve(ScanObserver& observer) {
  for (uint32_t repeat = 0;; ++repeat) {
    const HRESULT result = Escape(&observer, "ESC_RESERVE_UNIT", ESC_RESERVE_UNIT);
    if (result == S_OK) {
      return Outcome();
    }
    const bool wait = result == WIA_ERROR_BUSY || result == WIA_ERROR_WARMING_UP;
    if (wait && repeat < request_.retries) {
      // A busy scanner keeps the port for the repeat; a warming lamp needs time the library does not tell.
      observer.Waiting(result, repeat + 1, request_.retries);
      for (uint32_t waited = 0; waited < request_.retryDelayMs; waited += kPauseSliceMs) {
        if (cancel_.load()) {
          return Cancelled(false);
        }
        Sleep(std::min(kPauseSliceMs, request_.retryDelayMs - waited));
      }
      continue;
    }
    if (wait) {
      Outcome outcome =
          Failure(std::string("the scanner is still ") + (result == WIA_ERROR_BUSY ? "busy" : "warming up") +
                      " after " + std::to_string(request_.retries) + (request_.retries == 1 ? " repeat" : " repeats"),
                  "ESC_RESERVE_UNIT", result);
      return outcome;
    }
    return Failure("the scanner could not be reserved", "ESC_RESERVE_UNIT", result);
  }
}

Outcome ScanSession::Sheets(ScanObserver& observer) {
  const bool feeder = request_.source == Source::kFeeder;
  for (uint32_t number = 1;; ++number) {
    if (cancel_.load()) {
      return Cancelled(true);
    }
    const HRESULT result = exports_.STIEscape(ESC_OBJECT_POSITION, nullptr, 0, nullptr, 0, nullptr);
    if (result == ADF_NO_DOCUMENT && feeder && request_.sheets == 0 && number > 1) {
      break;  // the feeder is empty: the job is done
    }
    if (result != S_OK) {
      observer.Result("ESC_OBJECT_POSITION", result);
      std::string context;
      if (result == ADF_NO_DOCUMENT && number == 1) {
        context = "no sheet to scan";
      } else if (result == ADF_NO_DOCUMENT) {
        context = "the feeder ran out after " + std::to_string(number - 1) + " of " + std::to_string(request_.sheets) +
                  " sheets";
      } else {
        context = feeder ? "sheet " + std::to_string(number) + " could not be positioned"
                         : std::string("the flatbed document could not be positioned");
      }
      Release(result == WIA_ERROR_PAPER_JAM);
      return Failure(context, "ESC_OBJECT_POSITION", result);
    }

    PageLayout page = layout_;
    page.number = number;
    Outcome outcome = ReadPage(observer, page);
    if (!outcome.Ok()) {
      return outcome;
    }
    ++pagesDone_;
    if (!feeder || (request_.sheets != 0 && number == request_.sheets)) {
      break;
    }
  }
  Release(false);
  return Outcome();
}

Outcome ScanSession::ReadPage(ScanObserver& observer, const PageLayout& page) {
  std::string error;
  // Every way out of the page but the last gives the page up and ends the reservation.
  auto stop = [&](Outcome outcome, bool abortFirst) {
    observer.PageAbandoned();
    Release(abortFirst);
    return outcome;
  };
  if (!observer.PageBegin(page, &error)) {
    return stop(MakeOutcome(Status::kOutput, error), true);
  }
  auto ioProblem = [&](const std::string& what) {
    return stop(MakeOutcome(Status::kIo, PageName(page.number) + ": " + what), true);
  };
  auto stopped = [&](const char* step, HRESULT result, uint32_t rows) {
    return stop(Failure(PageName(page.number) + " stopped after " + std::to_string(rows) + " of " +
                            std::to_string(page.height) + " rows",
                        step, result),
                true);
  };

  const uint64_t expected = static_cast<uint64_t>(page.scanRowBytes) * page.height;
  const DWORD deliveredWidth = page.mode == Mode::kBlackWhite ? page.scanRowBytes : page.scanWidth;
  const bool crop = page.scanRowBytes != page.bytesPerLine || (page.width % 8) != 0;
  uint64_t bytes = 0;
  uint32_t rows = 0;
  uint32_t blocks = 0;
  uint32_t emptyReads = 0;
  for (;;) {
    if (cancel_.load()) {
      observer.PageAbandoned();
      return Cancelled(true);
    }
    READ_RESPONSE response = {};
    const HRESULT readResult = Escape(&observer, "ESC_READ", ESC_READ, &response, sizeof response);
    if (readResult != S_OK && readResult != PAGE_END) {
      return stopped("ESC_READ", readResult, rows);
    }

    if (response.dwDataSize > IMAGE_TRAILER_SIZE) {
      emptyReads = 0;
      const DWORD size = response.dwDataSize - IMAGE_TRAILER_SIZE;
      if (block_.size() < size) {
        block_.resize(size);
      }
      DWORD received = 0;
      const HRESULT imageResult = Escape(&observer, "ESC_READ_IMAGE", ESC_READ_IMAGE, block_.data(), size, &received);
      if (imageResult != S_OK) {
        return stopped("ESC_READ_IMAGE", imageResult, rows);
      }
      const uint32_t blockRows = response.wHeight;
      if (response.wWidth != deliveredWidth || received != static_cast<uint64_t>(blockRows) * page.scanRowBytes) {
        return ioProblem("the scanner sent a block of " + std::to_string(received) + " bytes for " +
                         std::to_string(blockRows) + " rows " + std::to_string(response.wWidth) +
                         " wide; the page has rows of " + std::to_string(page.scanRowBytes) + " bytes, " +
                         std::to_string(deliveredWidth) + " wide");
      }
      if (blockRows > page.height - rows) {
        return ioProblem("the scanner sent more than the " + std::to_string(page.height) + " rows of the page");
      }
      if (crop) {
        // Rows move up in place to the delivered width; black-and-white clears the bits past the page.
        const uint8_t lastMask = static_cast<uint8_t>(0xFF << ((8 - page.width % 8) % 8));
        for (uint32_t row = 0; row < blockRows; ++row) {
          uint8_t* target = block_.data() + static_cast<size_t>(row) * page.bytesPerLine;
          std::memmove(target, block_.data() + static_cast<size_t>(row) * page.scanRowBytes, page.bytesPerLine);
          if (page.mode == Mode::kBlackWhite) {
            target[page.bytesPerLine - 1] &= lastMask;
          }
        }
      }
      if (blockRows > 0 && !observer.PageRows(block_.data(), blockRows, &error)) {
        return stop(MakeOutcome(Status::kOutput, error), true);
      }
      rows += blockRows;
      bytes += received;
      ++blocks;
      observer.PageProgress(bytes, expected, blocks);
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
  if (!observer.PageEnd(&error)) {
    observer.PageAbandoned();
    Release(false);
    return MakeOutcome(Status::kOutput, error);
  }
  return Outcome();
}

void ScanSession::Release(bool abortFirst) {
  // Their results are left to the debug lines: they do not change why the scan ended.
  if (abortFirst) {
    exports_.STIEscape(ESC_ABORT, nullptr, 0, nullptr, 0, nullptr);
  }
  exports_.STIEscape(ESC_RELEASE_UNIT, nullptr, 0, nullptr, 0, nullptr);
}

}  // namespace client
