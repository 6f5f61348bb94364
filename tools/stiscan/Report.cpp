#include "Report.h"

#include <algorithm>

namespace stiscan {

namespace {

double Seconds(Clock::duration duration) {
  return std::chrono::duration<double>(duration).count();
}

std::string Megabytes(double bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MB", bytes / 1e6);
  return text;
}

std::string Rate(double bytes, double seconds) {
  char text[32];
  if (seconds <= 0) {
    return "-";
  }
  std::snprintf(text, sizeof text, "%.1f MB/s", bytes / seconds / 1e6);
  return text;
}

}  // namespace

Report::Report(const Options& options, Clock::time_point start, bool progressBar)
    : options_(options), start_(start), progressBar_(progressBar), file_(MakePngWriter()) {}

void Report::Result(const char* step, HRESULT result) {
  const auto key = std::make_pair(std::string(step), result);
  for (auto& entry : results_) {
    if (entry.first == key) {
      ++entry.second;
      return;
    }
  }
  results_.emplace_back(key, 1);
}

void Report::Waiting(HRESULT result, uint32_t repeat, uint32_t repeats) {
  if (options_.quiet) {
    return;
  }
  ClearBar();
  std::fprintf(stderr, "stiscan: %s: %s; reserving again (%u of %u)\n", client::ResultMeaning(result).c_str(),
               client::ResultName(result).c_str(), repeat, repeats);
}

bool Report::PageBegin(const client::PageLayout& page, std::string* error) {
  page_ = page;
  path_ = PageFileName(options_.output, page.number);
  pageBytes_ = 0;
  pageExpected_ = static_cast<uint64_t>(page.scanRowBytes) * page.height;
  pageBlocks_ = 0;
  pageStart_ = Clock::now();
  lastDraw_ = Clock::time_point();
  if (!file_.Begin(path_, page, error)) {
    *error = "page " + std::to_string(page.number) + ": " + *error;
    return false;
  }
  DrawBar(true);
  return true;
}

bool Report::PageRows(const uint8_t* rows, uint32_t count, std::string* error) {
  if (!file_.Rows(rows, count, error)) {
    *error = "page " + std::to_string(page_.number) + ": " + *error;
    return false;
  }
  return true;
}

void Report::PageProgress(uint64_t bytes, uint64_t expected, uint32_t blocks) {
  pageBytes_ = bytes;
  pageExpected_ = expected;
  pageBlocks_ = blocks;
  DrawBar(false);
}

bool Report::PageEnd(std::string* error) {
  DrawBar(true);
  ClearBar();
  if (!file_.Commit(error)) {
    *error = "page " + std::to_string(page_.number) + ": " + *error;
    return false;
  }
  pages_.push_back(Page{path_, page_.width, page_.height, pageBytes_});
  totalBytes_ += pageBytes_;
  return true;
}

void Report::PageAbandoned() {
  ClearBar();
  file_.Abandon();
}

void Report::DrawBar(bool force) {
  if (!progressBar_ || options_.quiet) {
    return;
  }
  const Clock::time_point now = Clock::now();
  if (!force && now - lastDraw_ < std::chrono::milliseconds(100)) {
    return;
  }
  lastDraw_ = now;
  constexpr int kWidth = 30;
  const double share = pageExpected_ > 0 ? std::min(1.0, static_cast<double>(pageBytes_) / pageExpected_) : 0;
  const int filled = static_cast<int>(share * kWidth);
  std::string bar(static_cast<size_t>(filled), '#');
  bar.append(static_cast<size_t>(kWidth - filled), '.');
  std::fprintf(stderr, "\rpage %u [%s] %3d%%  %s of %s  %u blocks  %s   ", page_.number, bar.c_str(),
               static_cast<int>(share * 100), Megabytes(static_cast<double>(pageBytes_)).c_str(),
               Megabytes(static_cast<double>(pageExpected_)).c_str(), pageBlocks_,
               Rate(static_cast<double>(pageBytes_), Seconds(now - pageStart_)).c_str());
  std::fflush(stderr);
  barShown_ = true;
}

void Report::ClearBar() {
  if (!barShown_) {
    return;
  }
  std::fprintf(stderr, "\r%*s\r", 110, "");
  std::fflush(stderr);
  barShown_ = false;
}

void Report::PrintSummary(std::FILE* out) const {
  const double seconds = Seconds(Clock::now() - start_);
  std::fprintf(out, "%zu page%s from the %s, %s, %u dpi\n", pages_.size(), pages_.size() == 1 ? "" : "s",
               SourceName(options_.source), ModeName(options_.mode), options_.resolution);
  for (const Page& page : pages_) {
    std::fprintf(out, "  %s  %u x %u  %llu bytes\n", page.path.c_str(), page.width, page.height,
                 static_cast<unsigned long long>(page.bytes));
  }
  std::fprintf(out, "total: %zu page%s, %llu bytes in %.2f s, %s\n", pages_.size(), pages_.size() == 1 ? "" : "s",
               static_cast<unsigned long long>(totalBytes_), seconds,
               Rate(static_cast<double>(totalBytes_), seconds).c_str());
  if (results_.empty()) {
    std::fprintf(out, "results other than S_OK and PAGE_END: none\n");
    return;
  }
  std::fprintf(out, "results other than S_OK and PAGE_END:\n");
  for (const auto& entry : results_) {
    std::fprintf(out, "  %-26s %s  x%u\n", entry.first.first.c_str(),
                 client::DescribeResult(entry.first.second, entry.first.first.c_str()).c_str(), entry.second);
  }
}

}  // namespace stiscan
