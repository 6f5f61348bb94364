// A scan as the WIA minidriver runs it, through the library's exports only: InitializeDll,
// Initialize, GET_DEVICE_INFO, reserve (repeated while the scanner is busy or warming up), scan window,
// object position, read and read-image until the page ends, the next sheet until the feeder is empty,
// abort and release on a stop, TerminateDll.
//
// The caller pulls the job on its own thread: Start reserves and sets the window, NextPage positions
// the next sheet, Read copies the page's rows into the caller's buffer a block at a time, End gives
// the scanner back. Cancel() may come from another thread or a signal handler: it only sets a flag,
// which the session checks between blocks, before each sheet and inside every wait; the call that
// sees it aborts (inside a sheet) and releases the scanner and returns Status::kCancelled. A step that
// fails once the flag is set (a transfer the platform ended for the stop) ends the same way.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
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
  double width = 0;   // 0: the whole width of the source
  double height = 0;  // 0: the whole length of the source
  // Or the page as a window of pixels from the area's top-left corner: columns left..right-1 and rows
  // top..bottom-1, clipped to the area. The scanner always scans from the corner; what lies before
  // left and top is dropped.
  bool pixelWindow = false;
  uint32_t left = 0;
  uint32_t top = 0;
  uint32_t right = 0;
  uint32_t bottom = 0;
  uint32_t sheets = 0;          // feeder: 0 scans until the feeder is empty
  uint32_t retries = 10;        // repeats of a reserve that finds the scanner busy or warming up
  uint32_t retryDelayMs = 200;  // pause before each repeat
};

// One page as the caller receives it: exactly the pixels asked for. The scanner scans a width rounded
// up to 32 pixels from the area's corner; the extra columns, and those and the rows before the
// window, are cut off before the rows reach the caller.
struct PageLayout {
  uint32_t number = 0;  // from 1
  uint32_t width = 0;   // pixels
  uint32_t height = 0;  // rows
  uint32_t dpi = 0;
  Mode mode = Mode::kColour;
  // Bytes of one delivered row: 3 per pixel (R, G, B), 1 per pixel (0 black), or 8 pixels per byte
  // (leftmost in the top bit, 1 black, unused bits of the last byte 0).
  uint32_t bytesPerLine = 0;
  uint32_t left = 0;          // columns dropped before the page
  uint32_t top = 0;           // rows dropped before the page
  uint32_t scanWidth = 0;     // the width the scanner delivers
  uint32_t scanHeight = 0;    // the rows the scanner delivers
  uint32_t scanRowBytes = 0;  // bytes of one row as the scanner delivers it
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

// Where the scan's events go, on the thread that pulls the job.
class ScanObserver {
 public:
  virtual ~ScanObserver() = default;
  // A result of `step` other than S_OK and PAGE_END that counts (not the normal end of a feeder job,
  // not the results of the abort and release after a failure).
  virtual void Result(const char* /*step*/, HRESULT /*result*/) {}
  // The scanner asked to wait; the reserve is repeated after the pause.
  virtual void Waiting(HRESULT /*result*/, uint32_t /*repeat*/, uint32_t /*repeats*/) {}
  // A block of the page has arrived: the scanner's bytes of the page so far, of the whole page.
  virtual void PageProgress(uint64_t /*bytes*/, uint64_t /*expected*/, uint32_t /*blocks*/) {}
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

  // Checks the request against the device and works out the page, without a word to the scanner. A
  // refusal has Status::kUsage, the request field in `step` ("resolution", "mode", "source", "size")
  // and the reason as the message. `keep` false only works the page out.
  Outcome Plan(const ScanRequest& request, PageLayout* layout, bool keep = true);

  // Reserves the scanner (repeating while it is busy or warming up) and sets the planned window.
  // After a failure the scanner is released.
  Outcome Start(ScanObserver* observer = nullptr);
  // Positions the next sheet. A page begins when *page has a number; number 0 means the job is done
  // (the feeder is empty, the sheets asked for are scanned, or the flatbed's page was) and the
  // scanner has been released. After a failure or a cancel the scanner is released too.
  Outcome NextPage(PageLayout* page);
  // Copies the page's rows into `data`, at most `size` bytes, from one block of the scanner: a block
  // is read only when the last is used up. A length of 0 (for a `size` not 0) means the page is
  // complete. After a failure or a cancel the scanner is aborted and released.
  Outcome Read(uint8_t* data, size_t size, size_t* length);
  // Gives the scanner back: aborted first inside a sheet, then released. Nothing when not started.
  void End();
  bool Started() const { return state_ != State::kIdle; }
  bool InPage() const { return state_ == State::kPage; }

  // Asks the job to stop. Safe from a signal handler and from another thread.
  void Cancel() { cancel_.store(true); }
  // Takes a cancel back (returning whether there was one), so that the next job starts afresh.
  bool TakeCancel() { return cancel_.exchange(false); }
  // TerminateDll, once, when Open called InitializeDll.
  void Close();

 private:
  enum class State { kIdle, kReserved, kPage, kBetweenPages };

  Outcome Reserve();
  Outcome NextBlock();
  // One announced block read and its page rows kept; an outcome only when the scan stops.
  std::optional<Outcome> TakeImageBlock(const READ_RESPONSE& response);
  // The scan stops on the page: the scanner sent what the page cannot hold, or a step failed.
  Outcome IoProblem(const std::string& what);
  Outcome StoppedAt(const char* step, HRESULT result);
  void Release(bool abortFirst);
  Outcome Stop(Outcome outcome, bool abortFirst);
  HRESULT Escape(const char* step, DWORD code, void* out = nullptr, DWORD outSize = 0, DWORD* actual = nullptr);
  Outcome Cancelled(bool abortFirst = true);

  Exports& exports_;
  bool initialized_ = false;
  DeviceReport device_;
  ScanRequest request_;
  PageLayout layout_;
  SWP_PARAMETER window_ = {};
  bool planned_ = false;
  ScanObserver* observer_ = nullptr;
  State state_ = State::kIdle;
  uint32_t sheet_ = 0;  // the sheet of the job last positioned
  // The page under way: the scanner's rows so far, the block's page rows, and how far they are taken.
  PageLayout page_;
  uint32_t scannerRows_ = 0;
  uint64_t pageBytes_ = 0;
  uint32_t blocks_ = 0;
  bool pageEnded_ = false;
  std::vector<uint8_t> block_;
  size_t blockFirst_ = 0;   // where the block's first page row starts in block_
  size_t blockStride_ = 0;  // from one page row to the next in block_
  size_t blockBytes_ = 0;   // of page rows
  size_t blockTaken_ = 0;
  std::atomic<bool> cancel_{false};
};

// An outcome for a caller's own reason.
Outcome MakeOutcome(Status status, std::string message);

}  // namespace client
