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

Report::Report(const Options& options, Output& output, Clock::time_point start, bool progressBar)
    : options_(options), output_(output), start_(start), progressBar_(progressBar) {}

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
  pageBytes_ = 0;
  pageExpected_ = static_cast<uint64_t>(page.scanRowBytes) * page.height;
  pageBlocks_ = 0;
  pageStart_ = Clock::now();
  lastDraw_ = Clock::time_point();
  DrawBar(true);
  return output_.PageBegin(page, error);
}

bool Report::PageRows(const uint8_t* rows, uint32_t count, std::string* error) {
  return output_.PageRows(rows, count, error);
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
  ++pages_;
  totalBytes_ += pageBytes_;
  return output_.PageEnd(error);
}

void Report::PageAbandoned() {
  ClearBar();
  output_.PageAbandoned();
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

namespace {

// The length of the UTF-8 sequence at `at`, or 0 when the bytes there are not one (an overlong form, a
// surrogate, past U+10FFFF, cut short).
size_t Utf8Length(const std::string& text, size_t at) {
  const auto byte = [&](size_t k) { return at + k < text.size() ? static_cast<unsigned char>(text[at + k]) : 0u; };
  const unsigned lead = byte(0);
  size_t length = 2;
  unsigned low = 0x80;
  unsigned high = 0xBF;
  if (lead < 0x80) {
    return 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    low = lead == 0xE0 ? 0xA0 : 0x80;
    high = lead == 0xED ? 0x9F : 0xBF;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    low = lead == 0xF0 ? 0x90 : 0x80;
    high = lead == 0xF4 ? 0x8F : 0xBF;
  } else if (lead < 0xC2 || lead > 0xDF) {
    return 0;
  }
  if (byte(1) < low || byte(1) > high) {
    return 0;
  }
  for (size_t k = 2; k < length; ++k) {
    if (byte(k) < 0x80 || byte(k) > 0xBF) {
      return 0;
    }
  }
  return length;
}

// A JSON string, always valid UTF-8. A file name is bytes: UTF-8 in it passes unchanged, and each byte
// that is not part of a UTF-8 sequence becomes \u0080 to \u00ff (the byte read as Latin-1), so those
// escapes stand only for such bytes.
std::string Json(const std::string& text) {
  std::string quoted = "\"";
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    const size_t length = Utf8Length(text, i);
    if (c >= 0x80 && length > 0) {
      quoted.append(text, i, length);
      i += length;
      continue;
    }
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x80) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      quoted += escape;
    } else {
      quoted += static_cast<char>(c);
    }
    ++i;
  }
  return quoted + "\"";
}

}  // namespace

void Report::PrintSummary(std::FILE* out, const client::Outcome& outcome, int exitStatus, double wireSeconds) const {
  const double seconds = Seconds(Clock::now() - start_);
  if (options_.json) {
    std::string files;
    for (const Output::File& file : output_.Files()) {
      files += std::string(files.empty() ? "" : ", ") + "{\"path\": " + Json(file.path) +
               ", \"pages\": " + std::to_string(file.pages) + ", \"width\": " + std::to_string(file.width) +
               ", \"height\": " + std::to_string(file.height) + ", \"bytes\": " + std::to_string(file.bytes) + "}";
    }
    std::string results;
    for (const auto& entry : results_) {
      results += std::string(results.empty() ? "" : ", ") + "{\"step\": " + Json(entry.first.first) +
                 ", \"result\": " + Json(client::ResultName(entry.first.second)) +
                 ", \"meaning\": " + Json(client::ResultMeaning(entry.first.second, entry.first.first.c_str())) +
                 ", \"count\": " + std::to_string(entry.second) + "}";
    }
    std::fprintf(out,
                 "{\"status\": %s, \"exit\": %d, \"message\": %s, \"source\": %s, \"mode\": %s, \"dpi\": %u, "
                 "\"format\": %s, \"pages\": %u, \"files\": [%s], \"scanBytes\": %llu, \"seconds\": %.3f, "
                 "\"bytesPerSecond\": %.0f, \"wireSeconds\": %.3f, \"simulated\": %s, \"results\": [%s]}\n",
                 Json(client::StatusName(outcome.status)).c_str(), exitStatus, Json(outcome.message).c_str(),
                 Json(SourceName(options_.source)).c_str(), Json(ModeName(options_.mode)).c_str(), options_.resolution,
                 Json(FormatName(options_.format)).c_str(), pages_, files.c_str(),
                 static_cast<unsigned long long>(totalBytes_), seconds,
                 seconds > 0 ? static_cast<double>(totalBytes_) / seconds : 0.0, wireSeconds,
                 options_.simulate ? "true" : "false", results.c_str());
    return;
  }
  // Pages of the simulated scanner are never mistaken for a scan of paper.
  std::fprintf(out, "%u page%s from the %s%s, %s, %u dpi\n", pages_, pages_ == 1 ? "" : "s",
               SourceName(options_.source), options_.simulate ? " of the simulated scanner" : "",
               ModeName(options_.mode), options_.resolution);
  for (const Output::File& file : output_.Files()) {
    std::fprintf(out, "  %s  %u x %u  %u page%s  %llu bytes\n", file.path.c_str(), file.width, file.height, file.pages,
                 file.pages == 1 ? "" : "s", static_cast<unsigned long long>(file.bytes));
  }
  std::fprintf(out, "total: %u page%s, %llu bytes scanned in %.2f s, %s", pages_, pages_ == 1 ? "" : "s",
               static_cast<unsigned long long>(totalBytes_), seconds,
               Rate(static_cast<double>(totalBytes_), seconds).c_str());
  if (wireSeconds > 0) {
    std::fprintf(out, ", %.3f times the wire's %.2f s", seconds / wireSeconds, wireSeconds);
  }
  std::fprintf(out, "\n");
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

void PrintRefusal(const Options& options, Clock::time_point start, ExitStatus exitStatus, const std::string& message) {
  Output output(options);
  const Report report(options, output, start, false);
  report.PrintSummary(options.output == "-" ? stderr : stdout, client::MakeOutcome(StatusOf(exitStatus), message),
                      exitStatus, 0);
}

}  // namespace stiscan
