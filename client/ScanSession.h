// A scan as the WIA minidriver runs it, through the library's exports only: InitializeDll,
// Initialize, GET_DEVICE_INFO, reserve (repeated while the scanner is busy or warming up), scan window,
// object position, read and read-image until the page ends, the next sheet until the feeder is empty,
// abort and release on a stop, TerminateDll.
//
// Shaped for two callers: the stiscan tool, and a SANE backend that needs the page's parameters before
// the first block (Plan) and the rows as they arrive (ScanObserver::PageRows, from the thread that
// runs Scan). Cancel() may come from another thread or a signal handler: the block in flight is
// finished, then the scanner is aborted and released and Scan returns Status::kCancelled.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "STIEscape.h"
#include "client/Exports.h"
#include "client/Outcome.h"

namespace client {

enum class Source { kFlatbed, kFeeder };
enum class Mode { kColour, kGrey, kBlackWhite };

const char* SourceName(Source source);
const char* ModeName(Mode mode);

// What to scan. Lengths are in thousandths of an inch, the unit of the device information.
struct ScanRequest {
  Source source = Source::kFlatbed;
  Mode mode = Mode::kColour;
  uint32_t dpi = 150;
  double width = 0;             // 0: the whole width of the source
  double height = 0;            // 0: the whole length of the source
  uint32_t sheets = 0;          // feeder: 0 scans until the feeder is empty
  uint32_t retries = 10;        // repeats of a reserve that finds the scanner busy or warming up
  uint32_t retryDelayMs = 200;  // pause before each repeat
};

// One page as the caller receives it: exactly the pixels asked for. The scanner scans a width rounded
// up to 32 pixels; the extra columns are cut off before the rows reach the observer.
struct PageLayout {
  uint32_t number = 0;  // from 1
  uint32_t width = 0;   // pixels
  uint32_t height = 0;  // rows
  uint32_t dpi = 0;
  Mode mode = Mode::kColour;
  // Bytes of one delivered row: 3 per pixel (R, G, B), 1 per pixel (0 black), or 8 pixels per byte
  // (leftmost in the top bit, 1 black, unused bits of the last byte 0).
  uint32_t bytesPerLine = 0;
  uint32_t scanWidth = 0;     // the width the scanner delivers
  uint32_t scanRowBytes = 0;  // bytes of one row as the scanner delivers it

  double WidthInches() const { return dpi != 0 ? static_cast<double>(width) / dpi : 0; }
  double HeightInches() const { return dpi != 0 ? static_cast<double>(height) / dpi : 0; }
};

// Bytes of one row of `width` pixels in `mode`.
uint32_t RowBytes(Mode mode, uint32_t width);

// What the device reports, copied out of the library's record while the library still holds it.
struct DeviceReport {
  SCAN_DEVICE_INFO info = {};  // the two resolution pointers are cleared: see resolutions
  std::vector<LONG> resolutions;
  bool capabilitiesKnown = false;
  STI_USD_CAPS capabilities = {};
  HRESULT statusResult = S_OK;
  DWORD onlineState = 0;
};

// The scan window's resolution code for a resolution; 0xFF for none.
uint8_t ResolutionCode(uint32_t dpi);
// The scan-window record of a page: its size in pixels and lines, the resolution code, the image type
// and bits per pixel of `mode`, and the source.
SWP_PARAMETER WindowRecord(uint32_t width, uint32_t height, uint8_t resolutionCode, Mode mode, bool feeder);
// Whether the library scans at `dpi` at all (it refuses 2400 dpi: the scanner's window units are
// 1/1200 inch, too coarse for it). `why` gets the reason when not.
bool Scannable(uint32_t dpi, std::string* why = nullptr);

// Where the scan's events go, on the thread that runs Scan.
class ScanObserver {
 public:
  virtual ~ScanObserver() = default;
  // A result of `step` other than S_OK and PAGE_END that counts (not the normal end of a feeder job,
  // not the results of the abort and release after a failure).
  virtual void Result(const char* /*step*/, HRESULT /*result*/) {}
  // The scanner asked to wait; the reserve is repeated after the pause.
  virtual void Waiting(HRESULT /*result*/, uint32_t /*repeat*/, uint32_t /*repeats*/) {}
  // A page starts, receives its rows (PageLayout::bytesPerLine each, top first) and ends complete or
  // abandoned. A false return stops the scan with Status::kOutput and `error` as the message; the
  // scanner is then aborted and released.
  virtual bool PageBegin(const PageLayout& page, std::string* error) = 0;
  virtual bool PageRows(const uint8_t* rows, uint32_t count, std::string* error) = 0;
  virtual void PageProgress(uint64_t /*bytes*/, uint64_t /*expected*/, uint32_t /*blocks*/) {}
  virtual bool PageEnd(std::string* error) = 0;
  virtual void PageAbandoned() = 0;
};

class ScanSession {
 public:
  explicit ScanSession(Exports& exports) : exports_(exports) {}
  ~ScanSession() { Close(); }
  ScanSession(const ScanSession&) = delete;
  ScanSession& operator=(const ScanSession&) = delete;

  // InitializeDll, Initialize with the device's parameters key, and the device-information inquiry.
  // After a failure Close() still ends the library.
  Outcome Open(IStiDeviceControl* control, HKEY parametersKey, bool debug, ScanObserver* observer = nullptr);
  const DeviceReport& Device() const { return device_; }
  // GetCapabilities and GetStatus, into Device().
  void QueryDetails();

  // Checks the request against the device and works out the page, before anything is reserved. A
  // refusal has Status::kUsage, the request field in `step` ("resolution", "mode", "source", "size")
  // and the reason as the message.
  Outcome Plan(const ScanRequest& request, PageLayout* layout);
  // Reserves the scanner, sets the window, and reads every sheet of the planned job; the scanner is
  // released at the end, aborted first when the scan stopped inside a sheet.
  Outcome Scan(ScanObserver& observer);
  // Asks a running Scan to stop after the block in flight. Safe from a signal handler.
  void Cancel() { cancel_.store(true); }
  bool CancelRequested() const { return cancel_.load(); }
  // TerminateDll, once, when Open called InitializeDll.
  void Close();

  uint32_t PagesDone() const { return pagesDone_; }

 private:
  Outcome Reserve(ScanObserver& observer);
  Outcome Sheets(ScanObserver& observer);
  Outcome ReadPage(ScanObserver& observer, const PageLayout& page);
  void Release(bool abortFirst);
  HRESULT Escape(ScanObserver* observer, const char* step, DWORD code, void* out = nullptr, DWORD outSize = 0,
                 DWORD* actual = nullptr);
  Outcome Cancelled(bool reserved);

  Exports& exports_;
  bool initialized_ = false;
  DeviceReport device_;
  ScanRequest request_;
  PageLayout layout_;
  SWP_PARAMETER window_ = {};
  bool planned_ = false;
  uint32_t pagesDone_ = 0;
  std::vector<uint8_t> block_;
  std::atomic<bool> cancel_{false};
};

// An outcome for a caller's own reason.
Outcome MakeOutcome(Status status, std::string message);

}  // namespace client
