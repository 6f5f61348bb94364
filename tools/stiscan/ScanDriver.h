// The scan as the WIA minidriver runs it, through the library's exports only: InitializeDll,
// Initialize, GET_DEVICE_INFO, reserve, scan window, object position, read and read-image until the
// page ends, the next sheet until the feeder is empty, release, TerminateDll.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Library.h"
#include "Options.h"
#include "Results.h"
#include "STIEscape.h"

namespace stiscan {

// One page as the scanner delivers it.
struct PageLayout {
  uint32_t number = 0;  // from 1
  uint32_t width = 0;   // pixels
  uint32_t height = 0;  // rows
  uint32_t dpi = 0;
  Mode mode = Mode::kColour;
  uint32_t rowBytes = 0;  // bytes of one row in the scanner's format
};

// What the device reports, copied out of the library's record while the library still holds it.
struct DeviceReport {
  SCAN_DEVICE_INFO info = {};  // the two resolution pointers are cleared: see resolutions
  std::vector<LONG> resolutions;
  bool capabilitiesKnown = false;
  STI_USD_CAPS capabilities = {};
  HRESULT statusResult = S_OK;
  DWORD onlineState = 0;
};

// Where the scan's events go: the pages, the progress and the results worth reporting.
class ScanObserver {
 public:
  virtual ~ScanObserver() = default;
  // A result of `step` other than S_OK and PAGE_END.
  virtual void Result(const char* step, HRESULT result) = 0;
  // The scanner asked to wait (busy or warming up); the reserve is repeated after the pause.
  virtual void Waiting(HRESULT result, uint32_t repeat, uint32_t repeats) = 0;
  // A page starts, receives rows (the scanner's format: black-and-white packs 8 pixels per byte, 1 is
  // black), and ends complete or abandoned. A false return stops the scan: the output failed.
  virtual bool PageBegin(const PageLayout& page, std::string* error) = 0;
  virtual bool PageRows(const uint8_t* rows, uint32_t count, std::string* error) = 0;
  virtual void PageProgress(uint64_t bytes, uint64_t expected, uint32_t blocks) = 0;
  virtual bool PageEnd(std::string* error) = 0;
  virtual void PageAbandoned() = 0;
};

struct Outcome {
  ExitStatus status = kExitOk;
  std::string message;  // why the scan stopped, for a person
};

// Resolution codes of the scan window, by dpi; 0xFF for a resolution without one.
uint8_t ResolutionCode(uint32_t dpi);

class ScanDriver {
 public:
  ScanDriver(Library& library, const Options& options, ScanObserver& observer)
      : library_(library), options_(options), observer_(observer) {}

  // Runs the whole scan (or, with --info, the device inquiry) from InitializeDll to TerminateDll.
  Outcome Run(IStiDeviceControl* control, HKEY parametersKey);

  const DeviceReport& Device() const { return device_; }
  uint32_t PagesWritten() const { return pagesWritten_; }

 private:
  Outcome Session(IStiDeviceControl* control, HKEY parametersKey);
  Outcome Inquire();
  Outcome CheckRequest(SWP_PARAMETER* window, PageLayout* layout) const;
  Outcome Reserve();
  Outcome Sheets(const PageLayout& layout);
  Outcome ReadPage(const PageLayout& layout);
  // Ends the reservation after a scan or a failure; an abort first clears a jam.
  void Release(bool abortFirst);

  HRESULT Escape(const char* step, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* actual);
  HRESULT Note(const char* step, HRESULT result);
  Outcome Failure(ExitStatus status, const std::string& context, const char* step, HRESULT result,
                  const char* meaning = nullptr) const;

  Library& library_;
  const Options& options_;
  ScanObserver& observer_;
  DeviceReport device_;
  uint32_t pagesWritten_ = 0;
  std::vector<uint8_t> block_;
};

}  // namespace stiscan
