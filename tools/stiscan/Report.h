// What a person (or a script) sees of a scan: a progress bar on standard error while a page transfers
// (only when standard error is a terminal), and the summary at the end, as text or as one JSON
// document. The pages themselves go to the Output.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "Options.h"
#include "Output.h"
#include "Results.h"
#include "client/ScanSession.h"

namespace stiscan {

using Clock = std::chrono::steady_clock;

class Report : public client::ScanObserver {
 public:
  Report(const Options& options, Output& output, Clock::time_point start, bool progressBar);

  void Result(const char* step, HRESULT result) override;
  void Waiting(HRESULT result, uint32_t repeat, uint32_t repeats) override;
  bool PageBegin(const client::PageLayout& page, std::string* error);
  bool PageRows(const uint8_t* rows, uint32_t count, std::string* error);
  void PageProgress(uint64_t bytes, uint64_t expected, uint32_t blocks) override;
  bool PageEnd(std::string* error);
  void PageAbandoned();

  // Pages, files, bytes, time, rates and every result that counted. `wireSeconds` is the paced wire's
  // time for the same bytes (0 when unpaced).
  void PrintSummary(std::FILE* out, const client::Outcome& outcome, int exitStatus, double wireSeconds) const;

 private:
  void DrawBar(bool force);
  void ClearBar();

  const Options& options_;
  Output& output_;
  Clock::time_point start_;
  bool progressBar_;
  client::PageLayout page_;
  uint64_t pageBytes_ = 0;
  uint64_t pageExpected_ = 0;
  uint32_t pageBlocks_ = 0;
  Clock::time_point pageStart_;
  Clock::time_point lastDraw_;
  bool barShown_ = false;
  uint32_t pages_ = 0;
  uint64_t totalBytes_ = 0;
  // (step, result) in the order first seen, with how often.
  std::vector<std::pair<std::pair<std::string, HRESULT>, uint32_t>> results_;
};

// With --json, a failure before the scan (an option refused, an output or a library that cannot be used)
// as the summary's document: no pages, no files, no results.
void PrintRefusal(const Options& options, Clock::time_point start, ExitStatus exitStatus, const std::string& message);

}  // namespace stiscan
