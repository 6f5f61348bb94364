#include "Options.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>

// Where users report problems: a build setting, given by the build.
#ifndef STISCAN_BUGS_TEXT
#define STISCAN_BUGS_TEXT "to whoever supplied this package"
#endif

namespace stiscan {

const char* RouteName(Route route) {
  return route == Route::kDirect ? "direct" : "monitor";
}

namespace {

bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t* value) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') {
    return false;
  }
  // Decimal; hexadecimal only with "0x" (leading zeros do not make octal).
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  for (size_t i = hex ? 2 : 0; i < text.size(); ++i) {
    const char c = text[i];
    if (!(c >= '0' && c <= '9') && !(hex && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))) {
      return false;
    }
  }
  errno = 0;
  char* end = nullptr;
  unsigned long long parsed = std::strtoull(text.c_str() + (hex ? 2 : 0), &end, hex ? 16 : 10);
  if (errno != 0 || end == text.c_str() || *end != '\0' || parsed > max) {
    return false;
  }
  *value = parsed;
  return true;
}

bool ParseLength(const std::string& text, double* value) {
  if (text.empty()) {
    return false;
  }
  char* end = nullptr;
  double parsed = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0' || !(parsed > 0) || parsed > 1e6) {
    return false;
  }
  *value = parsed;
  return true;
}

// A size without a unit is read in millimetres; below this it is more likely inches or centimetres.
constexpr double kSmallestUnitlessMm = 25;

// "WxH" with an optional unit (mm, cm, in; mm when none), or a paper name.
bool ParseSize(const std::string& text, WindowSize* size) {
  static const std::map<std::string, std::pair<double, double>> kPapers = {
      {"a4", {210 / 25.4 * 1000, 297 / 25.4 * 1000}},
      {"a5", {148 / 25.4 * 1000, 210 / 25.4 * 1000}},
      {"letter", {8500, 11000}},
      {"legal", {8500, 14000}},
  };
  std::string lower;
  for (char c : text) {
    lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  }
  size->text = text;
  if (lower == "full") {
    size->given = false;
    return true;
  }
  auto paper = kPapers.find(lower);
  if (paper != kPapers.end()) {
    size->given = true;
    size->width = paper->second.first;
    size->height = paper->second.second;
    return true;
  }
  double unit = 1000 / 25.4;  // thousandths of an inch per millimetre
  std::string dims = lower;
  bool unitGiven = true;
  auto endsWith = [&](const char* suffix) {
    const size_t n = std::strlen(suffix);
    return dims.size() > n && dims.compare(dims.size() - n, n, suffix) == 0;
  };
  if (endsWith("mm")) {
    dims.resize(dims.size() - 2);
  } else if (endsWith("cm")) {
    dims.resize(dims.size() - 2);
    unit = 10000 / 25.4;
  } else if (endsWith("in")) {
    dims.resize(dims.size() - 2);
    unit = 1000;
  } else {
    unitGiven = false;
  }
  const size_t x = dims.find('x');
  double width = 0;
  double height = 0;
  if (x == std::string::npos || !ParseLength(dims.substr(0, x), &width) || !ParseLength(dims.substr(x + 1), &height)) {
    return false;
  }
  if (!unitGiven && (width < kSmallestUnitlessMm || height < kSmallestUnitlessMm)) {
    size->implausible = true;
    return false;
  }
  size->given = true;
  size->width = width * unit;
  size->height = height * unit;
  return true;
}

// The width of a "%0Nd" conversion, its digits from *at on; *at ends past them. A width above 99 is
// taken as 100, which no conversion accepts (a long run of digits must not overflow).
int PaddingDigits(const std::string& pattern, size_t* at) {
  int digits = 0;
  for (; *at < pattern.size() && pattern[*at] >= '0' && pattern[*at] <= '9'; ++*at) {
    digits = std::min(digits * 10 + (pattern[*at] - '0'), 100);
  }
  return digits;
}

// Finds the page-number conversion: "%d" or "%0Nd". Returns the count of conversions; *width gets the
// zero-padding of the first.
int CountConversions(const std::string& pattern, int* width, bool* malformed) {
  int count = 0;
  *malformed = false;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != '%') {
      continue;
    }
    if (i + 1 < pattern.size() && pattern[i + 1] == '%') {
      ++i;
      continue;
    }
    size_t j = i + 1;
    const int digits = PaddingDigits(pattern, &j);
    if (j >= pattern.size() || pattern[j] != 'd' || digits > 9) {
      *malformed = true;
      return count;
    }
    if (count == 0) {
      *width = digits;
    }
    ++count;
    i = j;
  }
  return count;
}

// Whether the pattern has a place for the page number.
bool PatternNumbersPages(const std::string& pattern) {
  int width = 0;
  bool malformed = false;
  return CountConversions(pattern, &width, &malformed) == 1 && !malformed;
}

// The file name of page `number` (from 1) by the output pattern: "%d" or "%0Nd" takes the number, "%%"
// is a percent sign.
std::string PageFileName(const std::string& pattern, uint32_t number) {
  std::string name;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != '%') {
      name += pattern[i];
      continue;
    }
    if (i + 1 < pattern.size() && pattern[i + 1] == '%') {
      name += '%';
      ++i;
      continue;
    }
    size_t j = i + 1;
    const int digits = PaddingDigits(pattern, &j);
    if (j < pattern.size() && pattern[j] == 'd' && digits <= 9) {
      char text[24];
      std::snprintf(text, sizeof text, "%0*u", digits, number);
      name += text;
      i = j;
    } else {
      name += pattern[i];
    }
  }
  return name;
}

}  // namespace

bool OneFileForJob(const Options& options) {
  return MultiPage(options.format) || options.output == "-";
}

std::string PagePath(const Options& options, uint32_t number) {
  return OneFileForJob(options) ? options.output : PageFileName(options.output, number);
}

namespace {

using Parser = std::function<bool(const std::string&, const std::string&)>;
using ParserTable = std::map<std::string, Parser>;

bool UnsignedValue(const std::string& option, const std::string& text, uint64_t min, uint64_t max, uint64_t* value,
                   std::string* error) {
  if (!ParseUnsigned(text, max, value) || *value < min) {
    *error =
        option + " " + text + ": expected a whole number from " + std::to_string(min) + " to " + std::to_string(max);
    return false;
  }
  return true;
}

// A whole number from min to max, into slot.
Parser U32(uint32_t* slot, uint64_t min, uint64_t max, std::string* error) {
  return [slot, min, max, error](const std::string& option, const std::string& text) {
    uint64_t value = 0;
    if (!UnsignedValue(option, text, min, max, &value, error)) {
      return false;
    }
    *slot = static_cast<uint32_t>(value);
    return true;
  };
}

// A condition of the simulated scanner: a whole number, and the conditions count as given.
Parser Condition(Conditions* conditions, uint32_t* slot, uint64_t min, uint64_t max, std::string* error) {
  Parser parse = U32(slot, min, max, error);
  return [parse, conditions](const std::string& option, const std::string& text) {
    conditions->any = true;
    return parse(option, text);
  };
}

// A USB id, noted as given.
Parser Id(uint16_t* slot, bool* given, std::string* error) {
  return [slot, given, error](const std::string& option, const std::string& text) {
    uint64_t value = 0;
    if (!UnsignedValue(option, text, 0, 0xFFFF, &value, error)) {
      return false;
    }
    *slot = static_cast<uint16_t>(value);
    *given = true;
    return true;
  };
}

// What is scanned: source, resolution and mode.
void AddScanParsers(ParserTable& table, Options& o, std::string* error) {
  table["--source"] = [&o, error](const std::string& option, const std::string& text) {
    if (text == "flatbed") {
      o.source = Source::kFlatbed;
    } else if (text == "feeder" || text == "adf") {
      o.source = Source::kFeeder;
    } else {
      *error = option + " " + text + ": expected flatbed or feeder";
      return false;
    }
    return true;
  };
  table["--resolution"] = [&o, error](const std::string& option, const std::string& text) {
    uint64_t value = 0;
    if (!ParseUnsigned(text, 100000, &value) || value == 0) {
      *error = option + " " + text + ": expected a resolution in dpi that the scanner offers (see --info)";
      return false;
    }
    o.resolution = static_cast<uint32_t>(value);
    return true;
  };
  table["--mode"] = [&o, error](const std::string& option, const std::string& text) {
    if (text == "colour" || text == "color") {
      o.mode = Mode::kColour;
    } else if (text == "grey" || text == "gray") {
      o.mode = Mode::kGrey;
    } else if (text == "bw" || text == "lineart") {
      o.mode = Mode::kBlackWhite;
    } else {
      *error = option + " " + text + ": expected colour, grey or bw";
      return false;
    }
    return true;
  };
}

// How much is scanned: the page's size and the sheets.
void AddPageParsers(ParserTable& table, Options& o, std::string* error) {
  table["--size"] = [&o, error](const std::string& option, const std::string& text) {
    const bool parsed = ParseSize(text, &o.size);
    if (!parsed && o.size.implausible) {
      *error = option + " " + text + ": without a unit this is " + text +
               " millimetres, smaller than any page; add the unit (for example " + text + "in or " + text + "cm)";
      return false;
    }
    if (!parsed) {
      *error = option + " " + text +
               ": expected WIDTHxHEIGHT with mm, cm or in (for example 210x297mm or 8.5x11in), "
               "a4, a5, letter, legal or full";
      return false;
    }
    return true;
  };
  table["--sheets"] = [&o, error](const std::string& option, const std::string& text) {
    if (text == "all") {
      o.sheets = 0;
      return true;
    }
    uint64_t value = 0;
    if (!ParseUnsigned(text, 100000, &value) || value == 0) {
      *error = option + " " + text + ": expected all or a number of sheets from 1 to 100000";
      return false;
    }
    o.sheets = static_cast<uint32_t>(value);
    return true;
  };
}

// Where the pages go: output, format, quality and compression.
void AddOutputParsers(ParserTable& table, Options& o, std::string* error) {
  table["--output"] = [&o, error](const std::string& option, const std::string& text) {
    int width = 0;
    bool malformed = false;
    if (text.empty() || CountConversions(text, &width, &malformed) > 1 || malformed) {
      *error = option + " " + text +
               ": expected a file name with at most one page number, written %d or %0Nd (%% for a "
               "percent sign)";
      return false;
    }
    o.output = text;
    return true;
  };
  table["--format"] = [&o, error](const std::string& option, const std::string& text) {
    if (!FormatFromName(text, &o.format)) {
      *error = option + " " + text + ": expected png, jpeg, tiff, pdf or pnm";
      return false;
    }
    o.formatGiven = true;
    return true;
  };
  table["--quality"] = [&o, error](const std::string& option, const std::string& text) {
    uint32_t quality = 0;
    if (!U32(&quality, 1, 100, error)(option, text)) {
      return false;
    }
    o.quality = static_cast<int>(quality);
    return true;
  };
  table["--compression"] = [&o, error](const std::string& option, const std::string& text) {
    if (text != "fast" && text != "default") {
      *error = option + " " + text + ": expected fast or default";
      return false;
    }
    o.fastCompression = text == "fast";
    return true;
  };
  table["--pdf-compression"] = [&o, error](const std::string& option, const std::string& text) {
    if (text != "jpeg" && text != "deflate") {
      *error = option + " " + text + ": expected jpeg or deflate";
      return false;
    }
    o.pdfDeflate = text == "deflate";
    o.pdfCompressionGiven = true;
    return true;
  };
  table["--ocr"] = [&o, error](const std::string& option, const std::string& text) {
    if (text.empty() || text.find_first_not_of("abcdefghijklmnopqrstuvwxyz_+") != std::string::npos) {
      *error = option + " " + text + ": expected a Tesseract language, e.g. eng or deu+eng";
      return false;
    }
    o.ocr = text;
    return true;
  };
}

// How the library reaches the scanner: route, ids and the reserve's repeats.
void AddDeviceParsers(ParserTable& table, Options& o, std::string* error) {
  table["--route"] = [&o, error](const std::string& option, const std::string& text) {
    o.routeGiven = true;
    if (text == "monitor") {
      o.route = Route::kDeviceMonitor;
    } else if (text == "direct") {
      o.route = Route::kDirect;
    } else {
      *error = option + " " + text + ": expected monitor or direct";
      return false;
    }
    return true;
  };
  table["--vid"] = Id(&o.vid, &o.vidGiven, error);
  table["--pid"] = Id(&o.pid, &o.pidGiven, error);
  table["--retries"] = U32(&o.retries, 0, 1000, error);
  table["--retry-delay"] = U32(&o.retryDelayMs, 0, 60000, error);
}

// The simulated scanner's conditions.
void AddConditionParsers(ParserTable& table, Conditions& c, std::string* error) {
  table["--wire-rate"] = [&c, error](const std::string& option, const std::string& text) {
    uint32_t rate = 0;
    if (!U32(&rate, 1, 100000, error)(option, text)) {
      return false;
    }
    c.wireRate = rate;
    c.any = true;
    return true;
  };
  table["--feeder-sheets"] = [&c, error](const std::string& option, const std::string& text) {
    c.feederSheetsGiven = true;
    c.any = true;
    return U32(&c.feederSheets, 0, 100000, error)(option, text);
  };
  table["--busy"] = Condition(&c, &c.busyReserves, 0, 100000, error);
  table["--warming-up"] = Condition(&c, &c.warmingUpReserves, 0, 100000, error);
  table["--jam"] = Condition(&c, &c.jamSheet, 1, 100000, error);
  table["--jam-block"] = Condition(&c, &c.jamBlock, 1, 100000, error);
  table["--short-transfer"] = Condition(&c, &c.shortAnswer, 1, 100000000, error);
  table["--block-bytes"] = Condition(&c, &c.blockBytes, 64, 16 * 1024 * 1024, error);
}

const std::map<std::string, std::string>& ShortNames() {
  static const std::map<std::string, std::string> names = {
      {"-h", "--help"}, {"-q", "--quiet"},  {"-o", "--output"}, {"-r", "--resolution"},
      {"-m", "--mode"}, {"-s", "--source"}, {"-n", "--sheets"}, {"-i", "--info"},
  };
  return names;
}

// One argument as given: a short name becomes its long one; "--name=value" is split.
struct Argument {
  std::string name;
  std::string value;
  bool hasValue = false;
};

Argument SplitArgument(const std::string& text) {
  Argument argument;
  argument.name = text;
  auto shortName = ShortNames().find(text);
  if (shortName != ShortNames().end()) {
    argument.name = shortName->second;
  } else if (text.compare(0, 2, "--") == 0) {
    const size_t equals = text.find('=');
    if (equals != std::string::npos) {
      argument.value = text.substr(equals + 1);
      argument.name.resize(equals);
      argument.hasValue = true;
    }
  }
  return argument;
}

// --json holds for a refused command line too: a script reads the refusal as a document.
bool JsonAsked(int argc, const char* const* argv, const ParserTable& valued) {
  bool json = false;
  for (int i = 1; i < argc; ++i) {
    auto shortName = ShortNames().find(argv[i]);
    const std::string arg = shortName != ShortNames().end() ? shortName->second : argv[i];
    json = json || arg == "--json";
    i += valued.count(arg) != 0 ? 1 : 0;  // a value may look like an option
  }
  return json;
}

// The options that take no value; false (with the error) when one is given a value anyway. *matched
// tells whether the argument was one of them.
bool ApplyFlag(const Argument& argument, Options& o, bool* matched, std::string* error) {
  const std::map<std::string, bool*> flags = {
      {"--help", &o.help},   {"--version", &o.version},   {"--info", &o.info}, {"--debug", &o.debug},
      {"--quiet", &o.quiet}, {"--simulate", &o.simulate}, {"--list", &o.list}, {"--json", &o.json},
  };
  // The simulated scanner's conditions among them, which need --simulate.
  const std::map<std::string, bool*> conditions = {
      {"--port-held", &o.conditions.portHeld},
      {"--paper", &o.conditions.paper},
  };
  bool* slot = nullptr;
  const auto condition = conditions.find(argument.name);
  if (condition != conditions.end()) {
    slot = condition->second;
  } else if (auto flag = flags.find(argument.name); flag != flags.end()) {
    slot = flag->second;
  }
  *matched = slot != nullptr;
  if (slot == nullptr) {
    return true;
  }
  if (argument.hasValue) {
    *error = argument.name + " takes no value";
    return false;
  }
  *slot = true;
  o.conditions.any = o.conditions.any || condition != conditions.end();
  return true;
}

// What the options say together: a job the simulated scanner and the source can run.
bool Consistent(const Options& o, std::string* error) {
  const Conditions& c = o.conditions;
  if (o.sheets > 1 && o.source != Source::kFeeder) {
    *error = "--sheets " + std::to_string(o.sheets) + ": more than one sheet needs --source feeder";
    return false;
  }
  if (c.jamBlock != 0 && c.jamSheet == 0) {
    *error = "--jam-block needs --jam SHEET";
    return false;
  }
  // Conditions the simulated scanner cannot run into.
  if (c.jamSheet != 0 && o.source != Source::kFeeder) {
    *error = "--jam " + std::to_string(c.jamSheet) + ": only a feeder jams; add --source feeder";
    return false;
  }
  const uint32_t loaded = c.feederSheetsGiven ? c.feederSheets : o.sheets != 0 ? o.sheets : 2;
  if (c.jamSheet > loaded) {
    *error = "--jam " + std::to_string(c.jamSheet) + ": the feeder holds " + std::to_string(loaded) +
             (loaded == 1 ? " sheet" : " sheets");
    return false;
  }
  return true;
}

// The format when --format does not give it: standard output's, or the one the name tells; false when
// the name tells none.
bool DecideFormat(Options& o) {
  if (o.formatGiven) {
    return true;
  }
  if (o.output == "-") {
    o.format = Format::kPnm;
    return true;
  }
  return FormatFromExtension(o.output, &o.format);
}

// The format is told and written by this build, and the PDF options given fit it.
bool FormatFits(const Options& o, bool told, std::string* error) {
  if (!told) {
    *error = "--output " + o.output +
             ": the name does not tell the format; end it in .png, .jpg, .tif, .pdf or .pnm, or give --format";
    return false;
  }
  std::string why;
  if (!Available(o.format, &why)) {
    *error = (o.formatGiven ? std::string("--format ") + FormatName(o.format) : "--output " + o.output) + ": " + why;
    return false;
  }
#if defined(_WIN32)
  if (o.pdfCompressionGiven && !o.pdfDeflate) {
    *error = "--pdf-compression jpeg: this Windows build has no JPEG encoder; its PDF pages are deflated";
    return false;
  }
#endif
  if (!o.ocr.empty() && o.format != Format::kPdf) {
    *error = "--ocr " + o.ocr + ": only PDF takes a text layer, not " + FormatName(o.format);
    return false;
  }
  return true;
}

// Every page has a place: standard output takes a format that streams, and a feeder job in a format of
// a file a page numbers its files.
bool PagesFit(const Options& o, std::string* error) {
  if (o.output == "-") {
    if (o.format != Format::kPnm && o.format != Format::kTiff && o.format != Format::kPdf) {
      *error = std::string("--output -: standard output takes pnm, tiff or pdf, not ") + FormatName(o.format);
      return false;
    }
    return true;
  }
  const bool severalPages = o.source == Source::kFeeder && o.sheets != 1;
  if (severalPages && !MultiPage(o.format) && !PatternNumbersPages(o.output)) {
    *error = "--output " + o.output +
             ": a feeder job writes several pages; put %d (or %0Nd) where the page number goes, or write one "
             "multi-page file (.tif or .pdf)";
    return false;
  }
  return true;
}

// The arguments one by one into the options; false at the first that is not understood.
bool ParseArguments(int argc, const char* const* argv, Options& o, std::string* error) {
  ParserTable valued;
  AddScanParsers(valued, o, error);
  AddPageParsers(valued, o, error);
  AddOutputParsers(valued, o, error);
  AddDeviceParsers(valued, o, error);
  AddConditionParsers(valued, o.conditions, error);

  o.json = o.json || JsonAsked(argc, argv, valued);

  for (int i = 1; i < argc; ++i) {
    Argument argument = SplitArgument(argv[i]);
    bool flag = false;
    if (!ApplyFlag(argument, o, &flag, error)) {
      return false;
    }
    if (flag) {
      continue;
    }
    auto parser = valued.find(argument.name);
    if (parser == valued.end()) {
      *error = "unknown option " + std::string(argv[i]) + " (see --help)";
      return false;
    }
    if (!argument.hasValue) {
      if (i + 1 >= argc) {
        *error = argument.name + " needs a value (see --help)";
        return false;
      }
      argument.value = argv[++i];
    }
    if (!parser->second(argument.name, argument.value)) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error) {
  Options& o = *options;
  const bool parsed = ParseArguments(argc, argv, o, error);
  const bool formatTold = DecideFormat(o);
  if (!parsed) {
    return false;
  }
  if (o.help || o.version) {
    return true;
  }
  if (!Consistent(o, error)) {
    return false;
  }
  return o.list || o.info || (FormatFits(o, formatTold, error) && PagesFit(o, error));
}

// Where a user reads how to capture a session.
#if defined(_WIN32)
#define STISCAN_CAPTURE_HELP "README-Windows.md, \"Capturing a session\""
#else
#define STISCAN_CAPTURE_HELP "stiscan(1)"
#endif

// The end of --help: exit statuses, examples and where to report problems.
constexpr char kUsageEnd[] = R"(Exit status:
  0  every page was written
  2  usage: a bad option or value, a value the scanner does not offer, or a simulated condition
     that cannot happen
  3  device: no scanner found, no permission on it, the port not granted, or the scanner still busy
     or warming up after the repeats
  4  paper: a paper jam, or the feeder empty while pages were expected
  5  I/O: a transfer failed or came up short, or the scanner's data did not fit the page
  6  library: the library could not be loaded, or returned another failure
  7  output: the output cannot be written (found before scanning where it can be), or a page could
     not be written to its file
  8  stopped: )"
#if defined(_WIN32)
                             R"(Ctrl-C, Ctrl-Break or closing the console; the page in progress is dropped,
     the scanner aborted and released
)"
#else
                             R"(Ctrl-C or SIGTERM; the page in progress is dropped, the scanner aborted and
     released
)"
#endif
                             R"(
Examples:
  stiscan --list
  stiscan --info
  stiscan --resolution 300 --mode grey --size a4 -o scan.png
  stiscan --source feeder --size a4 -o scans.pdf
  stiscan --mode grey -o - | pnmtopng > scan.png
  stiscan --simulate --source feeder --feeder-sheets 3 -o out/page-%02d.png
  stiscan --simulate --source feeder --jam 2 --debug

Reporting problems: report them )" STISCAN_BUGS_TEXT R"(,
with the output of the failing command run again with --debug and a capture (see )" STISCAN_CAPTURE_HELP R"().
)";

// How the scanner is reached, each platform's own ways.
constexpr char kUsageReach[] =
#if defined(_WIN32)
    R"(Reaching the scanner:
      --simulate           scan the built-in simulated scanner instead of yours; its pages say so (in
                           a build folder only, behind the test device monitor built beside
                           stiscan.exe; the kit's stiscan.exe has none)
      --route ROUTE        monitor (through the device monitor prtmon64.dll; the default) or direct
                           (the library opens \\.\UsbscanN itself, arbitrated by portarb.dll)
      --vid ID, --pid ID   USB vendor and product id of the scanner (decimal, or hex with 0x); on the
                           direct route the \\.\UsbscanN with these ids is scanned
)";
#else
    R"(Reaching the scanner:
      --simulate           scan the built-in simulated scanner instead of yours; its pages say so
      --route ROUTE        direct (the library opens \\.\UsbscanN itself, arbitrated by portarb.dll)
                           or monitor (through the device monitor prtmon64.dll): monitor only with
                           --simulate
      --vid ID, --pid ID   USB vendor and product id of the scanner (decimal, or hex with 0x): the
                           first scanner on the bus with the ids of wiastiio.conf's usb lines or
                           WIASTIIO_USB_IDS is scanned; these pick one, listed or not
)";
#endif

// How a scan is stopped cleanly.
constexpr char kUsageStop[] =
#if defined(_WIN32)
    R"(Ctrl-C (or Ctrl-Break, or closing the console) stops a scan cleanly: the block in
flight completes, the scanner is aborted and released, and the page in progress is dropped; a second
Ctrl-C ends at once.
)";
#else
    R"(Ctrl-C (or SIGTERM) stops a scan cleanly: the block in flight completes, the
scanner is aborted and released, and the page in progress is dropped; a second Ctrl-C ends at once.
)";
#endif

std::string UsageText() {
  return std::string(R"(Usage: stiscan [OPTION]...
Scans pages through the WIASTIIO library, calling its exports as the WIA minidriver does, and writes
them as PNG, JPEG, TIFF, PDF or PNM.

What to scan:
  -s, --source SOURCE      flatbed or feeder (default flatbed)
  -r, --resolution DPI     one of the resolutions the scanner reports (default 150; see --info)
  -m, --mode MODE          colour, grey or bw (black-and-white) (default colour)
      --size SIZE          WIDTHxHEIGHT in mm, cm or in, e.g. 210x297mm or 8.5x11in, or a4, a5, letter,
                           legal; default full: the whole bed, or for the feeder the longest document it
                           takes. Taken to the nearest pixel; the file holds exactly that. Numbers without
                           a unit are millimetres (below 25 they are refused: add the unit)
  -n, --sheets N|all       feeder: sheets to scan (default all: until the feeder is empty)

Output:
  -o, --output NAME        the file; %d or %0Nd is the page number (from 1) of a format with one file
                           a page; - is standard output (default page-%03d.png). Files are written under
                           NAME.part and get their name when complete, so a stop leaves no partial file;
                           a device, a FIFO or a symbolic link is written as it is, never replaced
      --format FORMAT      png, jpeg, tiff, pdf or pnm (default: by the extension; pnm for -o -).
                           TIFF and PDF hold every page of a feeder job in one file
      --quality N          JPEG quality, 1 to 100 (default 90)
      --compression SPEED  fast or default: the zlib setting of PNG, TIFF and PDF (default default)
      --pdf-compression C  jpeg or deflate: PDF colour and grey pages as JPEG at --quality, or deflated
                           (lossless); black-and-white pages are CCITT G4 either way (default jpeg;
                           Windows: deflate, every page)
      --ocr LANG           PDF: read the words on each page (Tesseract, language e.g. eng or deu+eng)
                           and lay them over it as invisible text, so that the file can be searched
  -i, --info               print the scanner's device information, resolutions included, and stop
      --list               print the scanners the library can reach, and stop
      --json               print the summary as one JSON document
      --debug              show the library's debug lines as they are written, with the seconds since
                           start (on standard error)
  -q, --quiet              print nothing but errors (no progress bar, no summary)

)") + kUsageReach +
         R"(      --retries N          repeats of a reserve that finds the scanner busy or warming up (default 10)
      --retry-delay MS     pause before each repeat in milliseconds (default 200)

The simulated scanner (with --simulate):
      --feeder-sheets N    sheets in its feeder (default: as many as --sheets asks for, else 2);
                           0 is an empty feeder
      --busy N             the next N reserves find the scanner busy
      --warming-up N       then the next N reserves find the lamp warming up
      --jam K              sheet K of the feeder (counted from 1) jams as it is fed
      --jam-block B        ... or instead in the read of its block B
      --short-transfer K   the answer to command K (counted from 1) arrives with half its bytes
      --port-held          the contention module refuses the port (another program holds it)
      --block-bytes N      image bytes per block (default 65536)
      --wire-rate MB/S     answers paced at this many MB per second (default: unpaced)
      --paper              paper-like pages: words in print beside a photograph, on paper with
                           fibres, with a sensor's noise (default: the test chart)

  -h, --help               this text
      --version            the tool's version

Numbers are decimal. )" +
         kUsageStop + R"(
)" + kUsageEnd;
}

scansim::ScannerConditions SimulatedConditions(const Options& options) {
  scansim::ScannerConditions c = options.conditions;
  c.feederSheets = options.conditions.feederSheetsGiven ? c.feederSheets
                   : options.sheets != 0                ? options.sheets
                                                        : kDefaultFeederSheets;
  return c;
}

bool ConditionsFit(const Options& options, std::string* error) {
  if (options.simulate || !options.conditions.any) {
    return true;
  }
  *error =
      "the simulated scanner's options (--feeder-sheets, --busy, --warming-up, --jam, --jam-block, "
      "--short-transfer, --port-held, --block-bytes, --wire-rate, --paper) need --simulate";
  return false;
}

}  // namespace stiscan
