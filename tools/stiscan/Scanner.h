// What stands behind the library's port, set up per platform. On Linux it is the USB scanner the
// platform's USB route finds, on the direct route; on Windows the real device through the system's
// contention module. With --simulate it is the built-in simulated scanner (simulator/SimulatedScanner.h):
// on Linux on both routes, on Windows behind the device monitor of the build folder beside stiscan.exe.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "Options.h"
#include "Results.h"
#include "client/DeviceControl.h"
#include "client/Exports.h"
#include "platform/win32.h"
#include "simulator/SimulatedScanner.h"

namespace stiscan {

// The device-control interface the service hands to Initialize.
using DeviceControl = client::DeviceControl;

// The tool's own key under the current user; each run's device key goes below it.
constexpr char kToolKey[] = "Software\\stiscan";

class Scanner {
 public:
  virtual ~Scanner() = default;
  // The parameters key for Initialize.
  virtual HKEY ParametersKey() const = 0;
  // The line to the built-in scanner, when it is the one scanned.
  virtual const scansim::Line* Simulated() const = 0;
  // Whether the tool knows that no scanner the route reaches has the ids asked for.
  virtual bool NoScannerWithIds() const = 0;
};

// Prepares the scanner for the options; null with the exit status and a message when it cannot.
std::unique_ptr<Scanner> SetUpScanner(const Options& options, ExitStatus* status, std::string* error);

// Hands every debugger string the library writes to `sink` as it is written; an empty sink stops that.
// False when the library's output cannot be reached.
bool EchoDebugStrings(client::Exports& library, std::function<void(const char*)> sink);

// Prints the scanners a scan with these options can reach, one a line, in the order it takes them;
// false when none.
bool ListScanners(const Options& options, std::FILE* out);

// Calls `stop` on Ctrl-C and the like (Linux: SIGINT, SIGTERM; Windows: Ctrl-C, Ctrl-Break, closing
// the console). `stop` must be safe in a signal handler. A second Ctrl-C ends the program at once.
void OnStopRequest(void (*stop)());
// Tells the Windows console-close handler that the program has finished its cleanup.
void StopHandled();

// Whether standard error goes to a terminal (the progress bar is drawn only then).
bool StderrIsTerminal();

}  // namespace stiscan
