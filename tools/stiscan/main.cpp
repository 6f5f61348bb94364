// stiscan: scans pages through WIASTIIO as the WIA minidriver does and writes them as PNG, JPEG, TIFF,
// PDF or PNM.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "InfoTable.h"
#include "Options.h"
#include "Output.h"
#include "Report.h"
#include "Results.h"
#include "Scanner.h"
#include "client/Exports.h"
#include "client/ScanSession.h"

#ifndef STISCAN_VERSION
#define STISCAN_VERSION "unknown"
#endif

using namespace stiscan;

namespace {

int Fail(ExitStatus status, const std::string& message) {
  std::fprintf(stderr, "stiscan: %s\n", message.c_str());
  return status;
}

// Whether what went to standard output reached it; a write that failed (a full disk) is said.
bool StdoutWritten() {
  errno = 0;
  if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) {
    return true;
  }
  std::fprintf(stderr, "stiscan: cannot write standard output: %s\n",
               errno != 0 ? std::strerror(errno) : "a write failed");
  return false;
}

// The run's end with its status. After a stop, an encoder still blocked in a write that nothing takes
// keeps its stream: the program's normal end would flush that stream, waiting for a reader that does not
// come, and free what the encoder uses; the process ends at once instead.
int End(const Options& options, const Output& output, ExitStatus exitStatus, const client::Outcome& outcome) {
  if (output.Stuck()) {
    if (options.output != "-") {
      std::fflush(stdout);
    }
    Fail(exitStatus, outcome.message);
    std::fflush(stderr);
    std::_Exit(exitStatus);
  }
  const bool written = StdoutWritten();
  StopHandled();
  if (!outcome.Ok()) {
    return Fail(exitStatus, outcome.message);
  }
  return written ? kExitOk : kExitOutput;
}

// A failure before the scan: the message, and with --json the summary's document as well.
int Refuse(const Options& options, Clock::time_point start, ExitStatus status, const std::string& message) {
  if (options.json) {
    PrintRefusal(options, start, status, message);
  }
  return Fail(status, message);
}

// The session a stop request reaches; set while it lives.
std::atomic<client::ScanSession*> g_session{nullptr};
std::atomic<bool> g_stopRequested{false};
// The output a stop request reaches, so that a FIFO without a reader is not waited for.
std::atomic<Output*> g_output{nullptr};

void RequestStop() {
  g_stopRequested.store(true);
  Output* output = g_output.load();
  if (output != nullptr) {
    output->Stop();
  }
  client::ScanSession* session = g_session.load();
  if (session != nullptr) {
    session->Cancel();
  }
}

// Points stop requests at the output while it lives; a stop that came before is passed on at once.
class StopsReach {
 public:
  explicit StopsReach(Output* output) {
    g_output.store(output);
    if (g_stopRequested.load()) {
      output->Stop();
    }
  }
  ~StopsReach() { g_output.store(nullptr); }
  StopsReach(const StopsReach&) = delete;
  StopsReach& operator=(const StopsReach&) = delete;
};

// The value of a request field as the command line gave it.
std::string OptionText(const Options& options, const std::string& field) {
  if (field == "resolution") {
    return std::to_string(options.resolution);
  }
  if (field == "mode") {
    return ModeName(options.mode);
  }
  if (field == "size") {
    return options.size.text;
  }
  return SourceName(options.source);
}

client::ScanRequest RequestOf(const Options& options) {
  client::ScanRequest request;
  request.source = options.source;
  request.mode = options.mode;
  request.dpi = options.resolution;
  if (options.size.given) {
    request.width = options.size.width;
    request.height = options.size.height;
  }
  request.sheets = options.sheets;
  request.retries = options.retries;
  request.retryDelayMs = options.retryDelayMs;
  return request;
}

// The job pulled page by page: each block's rows go to the output as they arrive. A page the output
// cannot take stops the job (the scanner aborted inside a sheet) with the output's reason.
client::Outcome ScanPages(client::ScanSession& session, Report& report) {
  constexpr size_t kReadBytes = 1u << 20;
  client::Outcome outcome = session.Start(&report);
  std::vector<uint8_t> rows;
  std::string error;
  while (outcome.Ok()) {
    client::PageLayout page;
    outcome = session.NextPage(&page);
    if (!outcome.Ok() || page.number == 0) {
      break;
    }
    rows.resize(std::max<size_t>(1, kReadBytes / page.bytesPerLine) * page.bytesPerLine);
    bool written = report.PageBegin(page, &error);
    size_t length = 0;
    while (written && (outcome = session.Read(rows.data(), rows.size(), &length)).Ok() && length != 0) {
      written = report.PageRows(rows.data(), static_cast<uint32_t>(length / page.bytesPerLine), &error);
    }
    written = written && (!outcome.Ok() || report.PageEnd(&error));
    if (!written || !outcome.Ok()) {
      report.PageAbandoned();
      session.End();
      return written ? outcome : client::MakeOutcome(client::Status::kOutput, error);
    }
  }
  return outcome;
}

// Whether the output can be written (not asked for --info); else the exit status and why.
bool OutputReady(const Options& options, Output& output, ExitStatus* refused, std::string* error) {
  if (options.info || output.Prepare(error)) {
    return true;
  }
  // A refusal names the option; a folder or file that cannot be written is an output problem.
  *refused = error->compare(0, 2, "--") == 0 ? kExitUsage : kExitOutput;
  return false;
}

// The options that answer without a scanner: --help, --version, --list.
bool AnswersAtOnce(const Options& options, int* exitStatus) {
  if (options.help) {
    std::fputs(UsageText().c_str(), stdout);
    *exitStatus = kExitOk;
    return true;
  }
  if (options.version) {
    std::printf("stiscan %s\n", STISCAN_VERSION);
    *exitStatus = kExitOk;
    return true;
  }
  if (options.list) {
    *exitStatus = ListScanners(options, stdout) ? kExitOk : kExitDevice;
    return true;
  }
  return false;
}

// --debug: the library's debug lines on standard error as they are written, with seconds since start.
void EchoDebugLines(client::Exports& library, Clock::time_point start) {
  const bool echoing = EchoDebugStrings(library, [start](const char* text) {
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::fprintf(stderr, "[%9.3f] %s\n", seconds, text);
  });
  if (!echoing) {
    std::fprintf(stderr, "stiscan: the library's debug lines cannot be shown\n");
  }
}

// The session from Initialize to the last page (or the device information alone, for --info).
client::Outcome RunSession(client::ScanSession& session, const Options& options, Scanner& scanner, Report& report) {
  DeviceControl control;
  client::Outcome outcome = session.Open(&control, scanner.ParametersKey(), options.debug, &report);
  if (outcome.Ok() && options.info) {
    session.QueryDetails();
  } else if (outcome.Ok()) {
    client::PageLayout layout;
    outcome = session.Plan(RequestOf(options), &layout);
    if (outcome.status == client::Status::kUsage) {
      outcome.message = "--" + outcome.step + " " + OptionText(options, outcome.step) + ": " + outcome.message;
    }
    if (outcome.Ok()) {
      outcome = ScanPages(session, report);
    }
  }
  session.Close();
  return outcome;
}

// A --short-transfer the job never reached is a condition that could not happen.
void CheckShortTransfer(const Options& options, const scansim::Line* simulated, client::Outcome* outcome) {
  if (simulated != nullptr && options.conditions.shortAnswer != 0 && !simulated->ShortAnswerSent() &&
      (outcome->Ok() || outcome->status == client::Status::kPaper)) {
    *outcome = client::MakeOutcome(client::Status::kUsage,
                                   "--short-transfer " + std::to_string(options.conditions.shortAnswer) +
                                       ": the job sent only " + std::to_string(simulated->Commands()) + " commands");
  }
}

// The encoder finishes what was scanned; a failure there is the job's outcome when nothing else was. A
// stop that ended the output's wait (a FIFO without a reader) stops the run.
void FinishOutput(Output& output, client::Outcome* outcome) {
  std::string error;
  if (!output.Finish(&error) && (outcome->Ok() || outcome->status == client::Status::kOutput)) {
    *outcome = client::MakeOutcome(client::Status::kOutput, error);
  }
  if (g_stopRequested.load() && outcome->status == client::Status::kOutput) {
    *outcome = client::MakeOutcome(client::Status::kCancelled, "stopped: " + outcome->message);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const Clock::time_point start = Clock::now();
  // Stops are taken from the first moment: one that comes before the scan ends the run with status 8
  // and the summary like any other, and nothing is left half-done in between.
  OnStopRequest(&RequestStop);

  Options options;
  std::string error;
  if (!ParseOptions(argc, argv, &options, &error)) {
    return Refuse(options, start, kExitUsage, error);
  }
  if (int exitStatus = kExitOk; AnswersAtOnce(options, &exitStatus)) {
    return StdoutWritten() || exitStatus != kExitOk ? exitStatus : kExitOutput;
  }

  // Everything about the output is settled before the scanner hears of the job.
  Output output(options);
  const StopsReach stopsReach(&output);
  if (ExitStatus refused = kExitOk; !OutputReady(options, output, &refused, &error)) {
    return Refuse(options, start, refused, error);
  }
  // The summary goes to standard error when the pages go to standard output.
  std::FILE* summaryOut = options.output == "-" && !options.info ? stderr : stdout;

  client::Exports library;
  if (!library.Load(client::DefaultLibraryPath(), &error)) {
    return Refuse(options, start, kExitLibrary, error);
  }
  ExitStatus status = kExitOk;
  std::unique_ptr<Scanner> scanner = SetUpScanner(options, &status, &error);
  if (scanner == nullptr) {
    return Refuse(options, start, status, error);
  }
  if (options.debug) {
    EchoDebugLines(library, start);
  }

  Report report(options, output, start, !options.debug && !options.json && StderrIsTerminal());
  client::ScanSession session(library);
  g_session.store(&session);
  if (g_stopRequested.load()) {
    session.Cancel();
  }
  client::Outcome outcome = RunSession(session, options, *scanner, report);
  g_session.store(nullptr);
  FinishOutput(output, &outcome);
  if (options.debug) {
    EchoDebugStrings(library, nullptr);
  }
  const scansim::Line* simulated = scanner->Simulated();
  CheckShortTransfer(options, simulated, &outcome);

  Narrow(options.resolution, session.Device(), scanner->NoScannerWithIds(), &outcome);
  const ExitStatus exitStatus = ExitStatusOf(outcome.status);
  if (options.info && outcome.Ok()) {
    PrintDeviceInfo(stdout, session.Device());
  } else if (options.json || (!options.quiet && exitStatus != kExitUsage)) {
    report.PrintSummary(summaryOut, outcome, exitStatus, simulated != nullptr ? simulated->WireSeconds() : 0);
  }
  return End(options, output, exitStatus, outcome);
}
