// stiscan: scans pages through WIASTIIO as the WIA minidriver does and writes them as PNG files.
#include <chrono>
#include <cstdio>
#include <string>

#include "DeviceKey.h"
#include "InfoTable.h"
#include "Library.h"
#include "Options.h"
#include "Report.h"
#include "Results.h"
#include "ScanDriver.h"
#include "Scanner.h"

#ifndef STISCAN_VERSION
#define STISCAN_VERSION "unknown"
#endif

using namespace stiscan;

namespace {

int Fail(ExitStatus status, const std::string& message) {
  std::fprintf(stderr, "stiscan: %s\n", message.c_str());
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  const Clock::time_point start = Clock::now();

  Options options;
  std::string error;
  if (!ParseOptions(argc, argv, &options, &error)) {
    return Fail(kExitUsage, error);
  }
  if (options.help) {
    std::fputs(UsageText().c_str(), stdout);
    return kExitOk;
  }
  if (options.version) {
    std::printf("stiscan %s\n", STISCAN_VERSION);
    return kExitOk;
  }

  Library library;
  if (!library.Load(&error)) {
    return Fail(kExitLibrary, error);
  }
  ExitStatus status = kExitOk;
  std::unique_ptr<Scanner> scanner = SetUpScanner(options, &status, &error);
  if (scanner == nullptr) {
    return Fail(status, error);
  }
  if (options.debug) {
    const bool echoing = EchoDebugStrings(library, [start](const char* text) {
      const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
      std::fprintf(stderr, "[%9.3f] %s\n", seconds, text);
    });
    if (!echoing) {
      std::fprintf(stderr, "stiscan: the library's debug lines cannot be shown\n");
    }
  }

  Report report(options, start, !options.debug && StderrIsTerminal());
  ScanDriver driver(library, options, report);
  DeviceControl control;
  const Outcome outcome = driver.Run(&control, scanner->ParametersKey());
  if (options.debug) {
    EchoDebugStrings(library, nullptr);
  }

  if (options.info && outcome.status == kExitOk) {
    PrintDeviceInfo(stdout, driver.Device());
  } else if (!options.quiet && outcome.status != kExitUsage) {
    report.PrintSummary(stdout);
  }
  std::fflush(stdout);
  if (outcome.status != kExitOk) {
    return Fail(outcome.status, outcome.message);
  }
  return kExitOk;
}
