// The capture reader over what reaches it: the prefixes of the shipped captures (a session cut
// anywhere reads as the transfers written whole before the cut, also with the writer's next session
// appended after it), files holding several sessions, and malformed lines, each refused with its line
// named.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "platform/capture-format/CaptureFormat.h"

namespace {

// The offset of the newline that ends each transfer's last line, in the order of the transfers.
std::vector<size_t> TransferEnds(const std::string& text, const capture::Capture& whole) {
  std::vector<size_t> lineEnds;
  for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1)) {
    lineEnds.push_back(at);
  }
  std::vector<size_t> ends;
  for (const capture::Transfer& t : whole.transfers) {
    size_t last = static_cast<size_t>(t.line) - 1;
    while (last + 1 < lineEnds.size() && text.compare(lineEnds[last] + 1, 4, "    ") == 0) {
      ++last;
    }
    ends.push_back(lineEnds[last]);
  }
  return ends;
}

// Where a prefix may end: everywhere, but inside the image bytes of a long capture, where a cut is one
// of a few cases repeated (a digit, two, a blank) and only the first and last four bytes of each line
// are taken.
bool Cuts(const std::string& text, size_t length) {
  constexpr size_t kLong = 4096;
  constexpr size_t kEdge = 4;
  if (text.size() <= kLong) {
    return true;
  }
  const size_t lineStart = length == 0 ? 0 : text.rfind('\n', length - 1) + 1;
  const size_t lineEnd = std::min(text.find('\n', length), text.size());
  return text.compare(lineStart, 4, "    ") != 0 || length < lineStart + kEdge || length + kEdge > lineEnd;
}

// The file cut to `prefix`, with a session the writer appends after it: a transfer of each direction.
std::string Appended(const std::string& prefix) {
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() / ("capture-reader-cut-" + std::to_string(getpid()) + ".txt");
  std::filesystem::remove(path);
  std::ofstream(path, std::ios::binary) << prefix;
  {
    capture::Writer writer;
    EXPECT_TRUE(writer.Open(path.string(), true, "a test")) << writer.TakeProblem();
    const uint8_t bytes[] = {0x1B, 0xA8, 0x12, 0x00};
    writer.Transfer(false, bytes, 4, 4, capture::Result::kOk, 0);
    writer.Transfer(true, bytes, 4, 2, capture::Result::kOk, 0);
  }
  std::ifstream file(path, std::ios::binary);
  std::string text{std::istreambuf_iterator<char>(file), {}};
  std::filesystem::remove(path);
  return text;
}

TEST(CaptureReader, EveryPrefixOfAShippedCaptureReadsAsItsWholeTransfers) {
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(WIASTIIO_SOURCE_DIR "/tests/captures")) {
    if (entry.path().extension() != ".txt") {
      continue;
    }
    ++files;
    std::ifstream file(entry.path(), std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(file), {}};
    capture::Capture whole;
    std::string problem;
    ASSERT_TRUE(capture::ParseCapture(text, 1, &whole, &problem)) << entry.path() << ": " << problem;
    ASSERT_EQ(whole.cutLine, 0) << entry.path();
    const std::vector<size_t> ends = TransferEnds(text, whole);
    for (size_t length = 0; length < text.size(); ++length) {
      if (!Cuts(text, length)) {
        continue;
      }
      // A small capture is cut with the next session appended, which reads whole after the cut (but
      // after the notes before the first header alone, which belong to the session that follows).
      const bool appended =
          text.size() <= 4096 && length > 0 && (text[length - 1] != '\n' || text.find("# WIASTIIO capture ") < length);
      const std::string cutText = appended ? Appended(text.substr(0, length)) : text.substr(0, length);
      capture::Capture cut;
      capture::Capture next;
      ASSERT_TRUE(capture::ParseCapture(cutText, 1, &cut, &problem))
          << entry.path().filename() << " cut to " << length << " bytes: " << problem;
      if (appended) {
        ASSERT_TRUE(capture::ParseCapture(cutText, 2, &next, &problem)) << length << " bytes: " << problem;
        EXPECT_EQ(next.transfers.size(), 2u) << entry.path().filename() << " cut to " << length << " bytes";
      }
      size_t expected = 0;
      while (expected < ends.size() && ends[expected] < length) {
        ++expected;
      }
      ASSERT_EQ(cut.transfers.size(), expected) << entry.path().filename() << " cut to " << length << " bytes";
      if (expected > 0) {
        EXPECT_EQ(cut.transfers.back().bytes, whole.transfers[expected - 1].bytes);
        EXPECT_EQ(cut.transfers.back().line, whole.transfers[expected - 1].line);
      }
    }
  }
  EXPECT_GE(files, 6);
}

// Each line of reader.cases, read from the session it names.
TEST(CaptureReader, SessionsAndMalformedLines) {
  std::ifstream cases(WIASTIIO_SOURCE_DIR "/tests/captures/reader.cases");
  const std::regex row(R"((.+?) \| (\d) \| (.+?) \| (.*))");
  const std::regex reads(R"((\d+) (\d+))");
  std::smatch c;
  std::smatch counts;
  int rows = 0;
  for (std::string line; std::getline(cases, line);) {
    if (line[0] == '#' || !std::regex_match(line, c, row)) {
      continue;
    }
    ++rows;
    const std::string name = c[1];
    const std::string result = c[3];
    capture::Capture read;
    std::string problem;
    const bool ok = capture::ParseCapture(std::regex_replace(c[4].str(), std::regex(R"(\\n)"), "\n"), std::stoi(c[2]),
                                          &read, &problem);
    if (!std::regex_match(result, counts, reads)) {
      EXPECT_FALSE(ok) << name;
      EXPECT_EQ(problem.rfind(result, 0), 0u) << name << ": " << problem;
      continue;
    }
    ASSERT_TRUE(ok) << name << ": " << problem;
    EXPECT_EQ(read.transfers.size(), std::stoul(counts[1])) << name;
    EXPECT_EQ(read.cutLine, std::stoi(counts[2])) << name;
  }
  EXPECT_EQ(rows, 20);
}

}  // namespace
