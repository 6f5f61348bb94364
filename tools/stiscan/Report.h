// What a person sees of a scan: the pages written, a progress bar on standard error while a page
// transfers (only when standard error is a terminal), and the summary at the end.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "Options.h"
#include "PageFile.h"
#include "client/ScanSession.h"

namespace stiscan {

using Clock = std::chrono::steady_clock;

class Report : public client::ScanObserver {
 public:
  Report(const Options& options, Clock::time_point start, bool progressBar);

  void Result(const char* step, HRESULT result) override;
  void Waiting(HRESULT result, uint32_t repeat, uint32_t repeats) override;
  bool PageBegin(const client::PageLayout& page, std::string* error) override;
  bool PageRows(const uint8_t* rows, uint32_t count, std::string* error) override;
  void PageProgress(uint64_t bytes, uint64_t expected, uint32_t blocks) override;
  bool PageEnd(std::string* error) override;
  void PageAbandoned() override;

  // Pages, bytes, time, throughput and every result other than success, by name.
  void PrintSummary(std::FILE* out) const;

 private:
  struct Page {
    std::string path;
    uint32_t width = 0;
    uint32_t height = 0;
    uint64_t bytes = 0;
  };

  void DrawBar(bool force);
  void ClearBar();

  const Options& options_;
  Clock::time_point start_;
  bool progressBar_;
  PageFile file_;
  client::PageLayout page_;
  std::string path_;
  uint64_t pageBytes_ = 0;
  uint64_t pageExpected_ = 0;
  uint32_t pageBlocks_ = 0;
  Clock::time_point pageStart_;
  Clock::time_point lastDraw_;
  bool barShown_ = false;
  std::vector<Page> pages_;
  uint64_t totalBytes_ = 0;
  // (step, result) in the order first seen, with how often.
  std::vector<std::pair<std::pair<std::string, HRESULT>, uint32_t>> results_;
};

}  // namespace stiscan
