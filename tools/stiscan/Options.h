// The command line of stiscan: what to scan, where to write it, which way to reach the scanner, and the
// conditions the simulated scanner runs into.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Writers.h"
#include "client/ScanSession.h"
#include "simulator/Conditions.h"

namespace stiscan {

using client::Mode;
using client::ModeName;
using client::Source;
using client::SourceName;
enum class Route { kDeviceMonitor, kDirect };

const char* RouteName(Route route);

// A length as the user gave it, in thousandths of an inch (the unit of the device information).
struct WindowSize {
  bool given = false;
  double width = 0;          // 1/1000 inch
  double height = 0;         // 1/1000 inch
  std::string text;          // as typed, for messages
  bool implausible = false;  // numbers without a unit too small for millimetres
};

// What the simulated scanner runs into. Only the simulator reads these.
struct Conditions : scansim::ScannerConditions {
  bool feederSheetsGiven = false;  // else the feeder holds as many sheets as asked for
  bool any = false;                // one of the conditions was given
};

struct Options {
  bool help = false;
  bool version = false;
  bool info = false;
  bool debug = false;
  bool quiet = false;
  bool list = false;
  bool json = false;

  Source source = Source::kFlatbed;
  uint32_t resolution = 150;
  Mode mode = Mode::kColour;
  WindowSize size;
  uint32_t sheets = 0;  // 0: until the feeder is empty
  std::string output = "page-%03d.png";
  bool formatGiven = false;
  // The format the pages are written in: --format's, else the one the output's name tells (pnm for
  // standard output). ParseOptions decides it for a command line it refuses too: the refusal's summary
  // names it.
  Format format = Format::kPng;
  int quality = 90;              // JPEG
  bool fastCompression = false;  // PNG, TIFF, PDF
  bool pdfDeflate = false;       // PDF: colour and grey pages deflated, not JPEG
  bool pdfCompressionGiven = false;
  std::string ocr;  // PDF: the language(s) of the text layer; empty: none
  Route route = Route::kDeviceMonitor;
  bool routeGiven = false;

  bool vidGiven = false;
  bool pidGiven = false;
  uint16_t vid = 0;
  uint16_t pid = 0;

  uint32_t retries = 10;        // repeats of a reserve that finds the scanner busy or warming up
  uint32_t retryDelayMs = 200;  // pause before each repeat

  bool simulate = false;  // the simulated scanner instead of the user's
  Conditions conditions;
};

// Parses argv[1..] and checks that the options fit together: the simulated conditions with the job, and,
// unless no page is written (--info, --list), the output: a format told and written by this build, --ocr
// only with PDF, and a place for every page. On a mistake returns false and puts a message naming the
// option and what it accepts into *error. What needs the file system is Output::Prepare's to check.
bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error);

// The --help text, with the exit statuses.
std::string UsageText();

// Whether the job's pages share one file (a multi-page format) or standard output.
bool OneFileForJob(const Options& options);
// Where page `number` (from 1) is written: the job's file ("-" for standard output), or the page's own,
// its number put in the output's pattern ("%d" or "%0Nd"; "%%" is a percent sign).
std::string PagePath(const Options& options, uint32_t number);

// Sheets in the simulated feeder when the command line does not say.
constexpr uint32_t kDefaultFeederSheets = 2;

// The simulated scanner's conditions as the options give them.
scansim::ScannerConditions SimulatedConditions(const Options& options);
// False, with the message, when the simulated scanner's conditions are asked for without --simulate.
bool ConditionsFit(const Options& options, std::string* error);

}  // namespace stiscan
