#include "client/ScanSession.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "ResolutionCodes.h"

namespace client {

namespace {

static_assert(std::atomic<bool>::is_always_lock_free, "Cancel() is called from signal handlers");

// A page whose blocks stay empty this many times in a row is not coming.
constexpr uint32_t kMaxEmptyReads = 1000;
// A reserve's pause is cut into slices this long, so that a cancel is not kept waiting.
constexpr uint32_t kPauseSliceMs = 20;

DWORD CompositionBit(Mode mode) {
  switch (mode) {
    case Mode::kGrey:
      return IMAGE_COMPOSITION_GREY;
    case Mode::kBlackWhite:
      return IMAGE_COMPOSITION_BLACK_WHITE;
    case Mode::kColour:
      break;
  }
  return IMAGE_COMPOSITION_COLOUR;
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
      window.byParameters[0] = IMAGE_TYPE_COLOUR;  // record byte 17
      window.byParameters[1] = 24;                 // record byte 18
      break;
    case Mode::kGrey:
      window.byParameters[0] = IMAGE_TYPE_GREY;
      window.byParameters[1] = 8;
      break;
    case Mode::kBlackWhite:
      window.byParameters[0] = IMAGE_TYPE_BLACK_WHITE;
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

HRESULT ScanSession::Escape(const char* step, DWORD code, void* out, DWORD outSize, DWORD* actual) {
  void* in = code == ESC_SET_WINDOW_PARAMETER ? &window_ : nullptr;
  const DWORD inSize = code == ESC_SET_WINDOW_PARAMETER ? sizeof window_ : 0;
  const HRESULT result = exports_.STIEscape(code, in, inSize, out, outSize, actual);
  if (observer_ != nullptr && result != S_OK && result != PAGE_END) {
    observer_->Result(step, result);
  }
  return result;
}

namespace {

// The longest side a bed or feeder may report, in thousandths of an inch: 32766 mm, within what SANE's
// fixed-point millimetres hold (and far beyond any scanner).
constexpr LONG kLongestSide = 1290000;

// Why the bed or feeder the device reports cannot be (a negative length, or one beyond kLongestSide);
// empty when it can.
std::string ImpossibleGeometry(const SCAN_DEVICE_INFO& info) {
  const struct {
    const char* name;
    LONG value;
  } sides[] = {{"bed width", info.dwScanBedWidth},
               {"bed height", info.dwScanBedHeight},
               {"feeder width", info.dwDocFeederWidth},
               {"feeder height", info.dwDocFeederHeight}};
  for (const auto& side : sides) {
    if (side.value < 0 || side.value > kLongestSide) {
      return side.name + std::string(" of ") + std::to_string(side.value) + " thousandths of an inch (at most " +
             std::to_string(kLongestSide) + ")";
    }
  }
  return "";
}

}  // namespace

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
  observer_ = observer;
  result = Escape("GET_DEVICE_INFO", GET_DEVICE_INFO, &info, sizeof info);
  if (result != S_OK) {
    return Stop(Failure("the device information could not be read", "GET_DEVICE_INFO", result), true);
  }
  // The arrays belong to the library and go with TerminateDll; keep copies.
  device_.info = info;
  device_.info.pX_Resolutions = nullptr;
  device_.info.pY_Resolutions = nullptr;
  device_.resolutions.clear();
  if (info.pX_Resolutions != nullptr && info.nX_Resolutions > 0) {
    device_.resolutions.assign(info.pX_Resolutions, info.pX_Resolutions + info.nX_Resolutions);
  }
  // No window is worked out from a bed or feeder that cannot be.
  if (const std::string impossible = ImpossibleGeometry(info); !impossible.empty()) {
    return MakeOutcome(Status::kIo, "the scanner reports an impossible " + impossible);
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
  End();
  if (initialized_) {
    initialized_ = false;
    exports_.TerminateDll();
  }
}

namespace {

// Whether the scanner offers what the request asks for: resolution, mode and source.
Outcome Offered(const DeviceReport& device, const ScanRequest& request) {
  const SCAN_DEVICE_INFO& info = device.info;
  const uint32_t dpi = request.dpi;
  bool offered = false;
  for (LONG listed : device.resolutions) {
    offered = offered || listed == static_cast<LONG>(dpi);
  }
  // A resolution the window can name but the library refuses gets its reason, listed or not.
  std::string why;
  if ((offered || ResolutionCode(dpi) != 0xFF) && !Scannable(dpi, &why)) {
    return Refused("resolution", why);
  }
  if (!offered) {
    return Refused("resolution", "the scanner offers " + ResolutionList(device.resolutions));
  }
  if ((info.dwImageComposition & CompositionBit(request.mode)) == 0) {
    return Refused("mode", "the scanner offers " + ModeList(info.dwImageComposition));
  }
  if (request.source == Source::kFeeder && info.dwScannerType == SCANNER_TYPE_FLATBED_ONLY) {
    return Refused("source", "the scanner has no document feeder");
  }
  return Outcome();
}

// The scanned window within the source's area, in pixels: from the corner (left, top) to the far
// edges (width, height).
struct WindowPixels {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t left = 0;
  uint32_t top = 0;
};

Outcome FitWindow(const ScanRequest& request, double areaWidth, double areaHeight, WindowPixels* window) {
  const uint32_t dpi = request.dpi;
  const uint32_t areaColumns = AreaPixels(areaWidth, dpi);
  const uint32_t areaRows = AreaPixels(areaHeight, dpi);
  uint32_t width = areaColumns;
  uint32_t height = areaRows;
  uint32_t left = 0;
  uint32_t top = 0;
  if (width == 0 || height == 0) {
    return Refused("source", std::string("the scanner reports no scanning area for the ") + SourceName(request.source));
  }
  if (request.pixelWindow) {
    // A window in pixels: clipped to the area, the scan from the corner to its far edges.
    width = std::min(request.right, areaColumns);
    height = std::min(request.bottom, areaRows);
    left = std::min(request.left, width);
    top = std::min(request.top, height);
    if (width <= left || height <= top) {
      return Refused("size", "the window holds no whole pixel at " + std::to_string(dpi) + " dpi");
    }
  } else if (request.width > 0 || request.height > 0) {
    const double askedWidth = request.width > 0 ? request.width : areaWidth;
    const double askedHeight = request.height > 0 ? request.height : areaHeight;
    if (askedWidth > areaWidth + 0.5 || askedHeight > areaHeight + 0.5) {
      return Refused("size", std::string("larger than the ") +
                                 (request.source == Source::kFeeder ? "feeder takes, " : "flatbed, ") +
                                 Dimensions(areaWidth, areaHeight));
    }
    // To the nearest pixel, but never past the area.
    width = std::min(width, Pixels(askedWidth, dpi));
    height = std::min(height, Pixels(askedHeight, dpi));
    if (width == 0 || height == 0) {
      return Refused("size", "less than one pixel at " + std::to_string(dpi) + " dpi");
    }
  }
  *window = WindowPixels{width, height, left, top};
  return Outcome();
}

}  // namespace

Outcome ScanSession::Plan(const ScanRequest& request, PageLayout* layout, bool keep) {
  const SCAN_DEVICE_INFO& info = device_.info;
  const uint32_t dpi = request.dpi;
  if (Outcome refused = Offered(device_, request); !refused.Ok()) {
    return refused;
  }
  const bool feeder = request.source == Source::kFeeder;
  const double areaWidth = feeder ? info.dwDocFeederWidth : info.dwScanBedWidth;
  const double areaHeight = feeder ? info.dwDocFeederHeight : info.dwScanBedHeight;
  WindowPixels window;
  if (Outcome refused = FitWindow(request, areaWidth, areaHeight, &window); !refused.Ok()) {
    return refused;
  }
  const uint32_t width = window.width;
  const uint32_t height = window.height;
  const uint32_t left = window.left;
  const uint32_t top = window.top;

  PageLayout page;
  page.width = width - left;
  page.height = height - top;
  page.left = left;
  page.top = top;
  page.dpi = dpi;
  page.mode = request.mode;
  page.bytesPerLine = RowBytes(request.mode, page.width);
  // The library widens the window to whole multiples of 32 pixels; the scanner delivers that width.
  page.scanWidth = (width + 31) / 32 * 32;
  page.scanHeight = height;
  page.scanRowBytes = RowBytes(request.mode, page.scanWidth);
  *layout = page;
  if (keep) {
    window_ = WindowRecord(width, height, ResolutionCode(dpi), request.mode, feeder);
    layout_ = page;
    request_ = request;
    planned_ = true;
  }
  return Outcome();
}

Outcome ScanSession::Cancelled(bool abortFirst) {
  const bool reserved = state_ != State::kIdle;
  Release(abortFirst);
  return MakeOutcome(Status::kCancelled, reserved ? "stopped: the scanner was aborted and released"
                                                  : "stopped before the scanner was reserved");
}

Outcome ScanSession::Stop(Outcome outcome, bool abortFirst) {
  // A step that failed after a stop was asked was cut short by it (the platform ends a transfer in
  // flight): the job was stopped.
  if (cancel_.load()) {
    return Cancelled(abortFirst);
  }
  Release(abortFirst);
  return outcome;
}

Outcome ScanSession::Start(ScanObserver* observer) {
  observer_ = observer;
  End();
  if (!planned_) {
    return MakeOutcome(Status::kUsage, "nothing planned to scan");
  }
  if (cancel_.load()) {
    return Cancelled();
  }
  sheet_ = 0;
  Outcome outcome = Reserve();
  if (!outcome.Ok()) {
    return Stop(outcome, true);  // nothing is reserved yet: a stop's outcome, or the reserve's
  }
  state_ = State::kReserved;
  const HRESULT result = Escape("ESC_SET_WINDOW_PARAMETER", ESC_SET_WINDOW_PARAMETER);
  if (result != S_OK) {
    return Stop(Failure("the scanner did not take the scan window (" + std::to_string(layout_.left + layout_.width) +
                            " x " + std::to_string(layout_.scanHeight) + " pixels, " + ModeName(request_.mode) + ", " +
                            std::to_string(layout_.dpi) + " dpi, " + SourceName(request_.source) + ")",
                        "ESC_SET_WINDOW_PARAMETER", result),
                false);
  }
  return Outcome();
}

Outcome ScanSession::Reserve() {
  for (uint32_t repeat = 0;; ++repeat) {
    const HRESULT result = Escape("ESC_RESERVE_UNIT", ESC_RESERVE_UNIT);
    if (result == S_OK) {
      return Outcome();
    }
    const bool wait = result == WIA_ERROR_BUSY || result == WIA_ERROR_WARMING_UP;
    if (wait && repeat < request_.retries) {
      // A busy scanner keeps the port for the repeat; a warming lamp needs time the library does not tell.
      if (observer_ != nullptr) {
        observer_->Waiting(result, repeat + 1, request_.retries);
      }
      for (uint32_t waited = 0; !cancel_.load() && waited < request_.retryDelayMs; waited += kPauseSliceMs) {
        Sleep(std::min(kPauseSliceMs, request_.retryDelayMs - waited));
      }
      if (cancel_.load()) {
        return Cancelled();
      }
      continue;
    }
    if (wait) {
      return Failure(std::string("the scanner is still ") + (result == WIA_ERROR_BUSY ? "busy" : "warming up") +
                         " after " + std::to_string(request_.retries) +
                         (request_.retries == 1 ? " repeat" : " repeats"),
                     "ESC_RESERVE_UNIT", result);
    }
    return Failure("the scanner could not be reserved", "ESC_RESERVE_UNIT", result);
  }
}

Outcome ScanSession::NextPage(PageLayout* page) {
  *page = PageLayout();
  if (state_ != State::kReserved && state_ != State::kBetweenPages) {
    return MakeOutcome(Status::kUsage, "the scanner is not reserved for a sheet");
  }
  const bool feeder = request_.source == Source::kFeeder;
  if (sheet_ > 0 && (!feeder || (request_.sheets != 0 && sheet_ == request_.sheets))) {
    Release(false);
    return Outcome();
  }
  if (cancel_.load()) {
    return Cancelled();  // nothing is fed after a cancel
  }
  const uint32_t number = sheet_ + 1;
  const HRESULT result = exports_.STIEscape(ESC_OBJECT_POSITION, nullptr, 0, nullptr, 0, nullptr);
  if (cancel_.load()) {
    return Cancelled();  // it came while the sheet was fed: a sheet on its way is aborted too
  }
  if (result == ADF_NO_DOCUMENT && feeder && request_.sheets == 0 && number > 1) {
    Release(false);  // the feeder is empty: the job is done
    return Outcome();
  }
  if (result != S_OK) {
    if (observer_ != nullptr) {
      observer_->Result("ESC_OBJECT_POSITION", result);
    }
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
    return Stop(Failure(context, "ESC_OBJECT_POSITION", result), result == WIA_ERROR_PAPER_JAM);
  }
  sheet_ = number;
  state_ = State::kPage;
  page_ = layout_;
  page_.number = number;
  scannerRows_ = 0;
  pageBytes_ = 0;
  blocks_ = 0;
  pageEnded_ = false;
  blockBytes_ = 0;
  blockTaken_ = 0;
  *page = page_;
  return Outcome();
}

Outcome ScanSession::Read(uint8_t* data, size_t size, size_t* length) {
  *length = 0;
  if (state_ != State::kPage) {
    return MakeOutcome(Status::kUsage, "no page under way");
  }
  if (size == 0) {
    return Outcome();  // nothing asked: nothing read, and the page goes on
  }
  while (blockTaken_ == blockBytes_) {
    if (pageEnded_) {
      state_ = State::kBetweenPages;
      return Outcome();
    }
    Outcome outcome = NextBlock();
    if (!outcome.Ok()) {
      return outcome;
    }
  }
  const size_t count = std::min(size, blockBytes_ - blockTaken_);
  const size_t rowBytes = page_.bytesPerLine;
  for (size_t done = 0; done < count;) {
    // The window's part of each row, taken where the block holds it.
    const size_t column = blockTaken_ % rowBytes;
    const size_t take = blockStride_ == rowBytes ? count - done : std::min(count - done, rowBytes - column);
    std::memcpy(data + done, block_.data() + blockFirst_ + blockTaken_ / rowBytes * blockStride_ + column, take);
    done += take;
    blockTaken_ += take;
  }
  *length = count;
  return Outcome();
}

namespace {

// Copies the page's part of one black-and-white row as the scanner delivers it to `out`
// (page.bytesPerLine bytes). The bits are shifted when the page does not start on a byte; the bits past its last
// pixel are cleared. `out` may be `delivered` itself: it never runs ahead of what it reads.
void CropRow(const uint8_t* delivered, const PageLayout& page, uint8_t* out) {
  const uint32_t shift = page.left % 8;
  const uint8_t* in = delivered + page.left / 8;
  for (uint32_t i = 0; i < page.bytesPerLine; ++i) {
    uint32_t bits = static_cast<uint32_t>(in[i]) << shift;
    if (shift != 0 && (page.left / 8 + i + 1) < page.scanRowBytes) {
      bits |= in[i + 1] >> (8 - shift);
    }
    out[i] = static_cast<uint8_t>(bits);
  }
  out[page.bytesPerLine - 1] &= static_cast<uint8_t>(0xFF << (page.bytesPerLine * 8 - page.width));
}

}  // namespace

Outcome ScanSession::IoProblem(const std::string& what) {
  return Stop(MakeOutcome(Status::kIo, PageName(page_.number) + ": " + what), true);
}

Outcome ScanSession::StoppedAt(const char* step, HRESULT result) {
  const PageLayout& page = page_;
  const uint32_t rows = scannerRows_ > page.top ? scannerRows_ - page.top : 0;
  return Stop(Failure(PageName(page.number) + " stopped after " + std::to_string(rows) + " of " +
                          std::to_string(page.height) + " rows",
                      step, result),
              true);
}

Outcome ScanSession::NextBlock() {
  const PageLayout& page = page_;
  blockBytes_ = 0;
  blockTaken_ = 0;
  for (uint32_t emptyReads = 0;;) {
    if (cancel_.load()) {
      return Cancelled();
    }
    READ_RESPONSE response = {};
    const HRESULT readResult = Escape("ESC_READ", ESC_READ, &response, sizeof response);
    if (readResult != S_OK && readResult != PAGE_END) {
      return StoppedAt("ESC_READ", readResult);
    }
    pageEnded_ = readResult == PAGE_END;
    if (response.dwDataSize > IMAGE_TRAILER_SIZE) {
      if (std::optional<Outcome> stop = TakeImageBlock(response)) {
        return *stop;
      }
    } else if (++emptyReads >= kMaxEmptyReads) {
      return IoProblem("the scanner announced no data " + std::to_string(kMaxEmptyReads) + " times in a row");
    }
    if (pageEnded_ && scannerRows_ != page.scanHeight) {
      const uint32_t rows = scannerRows_ > page.top ? scannerRows_ - page.top : 0;
      return IoProblem("the page ended after " + std::to_string(rows) + " of " + std::to_string(page.height) + " rows");
    }
    if (blockBytes_ != 0 || pageEnded_) {
      return Outcome();
    }
  }
}

std::optional<Outcome> ScanSession::TakeImageBlock(const READ_RESPONSE& response) {
  const PageLayout& page = page_;
  const DWORD deliveredWidth = page.mode == Mode::kBlackWhite ? page.scanRowBytes : page.scanWidth;
  const DWORD size = response.dwDataSize - IMAGE_TRAILER_SIZE;
  if (block_.size() < size) {
    block_.resize(size);
  }
  DWORD received = 0;
  const HRESULT imageResult = Escape("ESC_READ_IMAGE", ESC_READ_IMAGE, block_.data(), size, &received);
  if (imageResult != S_OK) {
    return StoppedAt("ESC_READ_IMAGE", imageResult);
  }
  const uint32_t blockRows = response.wHeight;
  if (response.wWidth != deliveredWidth || received != static_cast<uint64_t>(blockRows) * page.scanRowBytes) {
    return IoProblem("the scanner sent a block of " + std::to_string(received) + " bytes for " +
                     std::to_string(blockRows) + " rows " + std::to_string(response.wWidth) +
                     " wide; the page has rows of " + std::to_string(page.scanRowBytes) + " bytes, " +
                     std::to_string(deliveredWidth) + " wide");
  }
  if (blockRows > page.scanHeight - scannerRows_) {
    return IoProblem("the scanner sent more than the " + std::to_string(page.scanHeight) + " rows of the page");
  }
  // Rows before the window's top are dropped. Colour and grey rows stay where the scanner put them and
  // Read takes the window's part of each; black-and-white rows, whose window may start inside a byte,
  // move up in place with their bits shifted.
  const uint32_t skipped = scannerRows_ < page.top ? std::min(blockRows, page.top - scannerRows_) : 0;
  blockBytes_ = static_cast<size_t>(blockRows - skipped) * page.bytesPerLine;
  if (page.mode == Mode::kBlackWhite) {
    for (uint32_t row = skipped; row < blockRows; ++row) {
      CropRow(block_.data() + static_cast<size_t>(row) * page.scanRowBytes, page,
              block_.data() + static_cast<size_t>(row - skipped) * page.bytesPerLine);
    }
    blockFirst_ = 0;
    blockStride_ = page.bytesPerLine;
  } else {
    blockFirst_ = static_cast<size_t>(skipped) * page.scanRowBytes +
                  static_cast<size_t>(page.left) * (page.mode == Mode::kColour ? 3 : 1);
    blockStride_ = page.scanRowBytes;
  }
  scannerRows_ += blockRows;
  pageBytes_ += received;
  ++blocks_;
  if (observer_ != nullptr) {
    observer_->PageProgress(pageBytes_, static_cast<uint64_t>(page.scanRowBytes) * page.scanHeight, blocks_);
  }
  return std::nullopt;
}

void ScanSession::End() {
  Release(state_ == State::kPage);
}

void ScanSession::Release(bool abortFirst) {
  if (state_ == State::kIdle) {
    return;
  }
  state_ = State::kIdle;
  // Their results are left to the debug lines: they do not change why the scan ended.
  if (abortFirst) {
    exports_.STIEscape(ESC_ABORT, nullptr, 0, nullptr, 0, nullptr);
  }
  exports_.STIEscape(ESC_RELEASE_UNIT, nullptr, 0, nullptr, 0, nullptr);
}

}  // namespace client
