// The capture reader over what reaches it: the prefixes of the shipped captures (a session cut
// anywhere reads as the transfers written whole before the cut), files holding several sessions, and
// malformed lines, each refused with its line named.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "capture/CaptureWriter.h"

namespace {

std::string Read(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

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

TEST(CaptureReader, EveryPrefixOfAShippedCaptureReadsAsItsWholeTransfers) {
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(WIASTIIO_SOURCE_DIR "/tests/captures")) {
    if (entry.path().extension() != ".txt") {
      continue;
    }
    ++files;
    const std::string text = Read(entry.path());
    capture::Capture whole;
    std::string problem;
    ASSERT_TRUE(capture::ParseCapture(text, 1, &whole, &problem)) << entry.path() << ": " << problem;
    ASSERT_EQ(whole.cutLine, 0) << entry.path();
    const std::vector<size_t> ends = TransferEnds(text, whole);
    for (size_t length = 0; length < text.size(); ++length) {
      if (!Cuts(text, length)) {
        continue;
      }
      capture::Capture cut;
      ASSERT_TRUE(capture::ParseCapture(text.substr(0, length), 1, &cut, &problem))
          << entry.path().filename() << " cut to " << length << " bytes: " << problem;
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

struct Case {
  const char* name;
  const char* text;
  int session;
  const char* problem;  // "" when the session reads
  size_t transfers;
  int cutLine;
};

const char kTwoSessions[] =
    "# WIASTIIO capture 2\n"
    "device 1a2b:3c4d\n"
    "[   0.1] OUT 4/4 ok: 1B A8 12 00\n"
    "[   0.2] IN 70/0 timeout\n"
    "# WIASTIIO capture 2\n"
    "device 1a2b:3c4d\n"
    "[   0.1] OUT 4/4 ok: 1B A8 12 00\n"
    "[   0.2] IN 4/4 ok: A8 00 00";

const Case kCases[] = {
    {"first of two sessions", kTwoSessions, 1, "", 2, 0},
    {"second, cut in its last line", kTwoSessions, 2, "", 1, 8},
    {"no third session", kTwoSessions, 3, "no session 3: the capture holds 2", 0, 0},
    {"comments before the first header", "# replay: stiscan\n# WIASTIIO capture 1\n[ 0.1] IN 2/2 ok: 01 02\n", 1, "", 1,
     0},
    {"a newer format", "# WIASTIIO capture 3\n", 1, "line 1: a capture of a format this reader does not know", 0, 0},
    {"a time with nothing after it", "[   0.1]\n[   0.2] IN 2/2 ok: 01 02\n", 1, "line 1: a time with nothing after it",
     0, 0},
    {"more moved than asked", "[ 0.1] IN 4/8 ok: 01 02 03 04 05 06 07 08\n[ 0.2] IN 2/2 ok: 01 02\n", 1,
     "line 1: 8 bytes moved where 4 were asked for", 0, 0},
    {"fewer bytes than moved", "[ 0.1] IN 4/4 ok: 01 02\n[ 0.2] IN 2/2 ok: 01 02\n", 1, "line 1: 2 bytes where 4 moved",
     0, 0},
    {"a device id too long", "device 1a2b:3c4d5\n", 1, "line 1: device VVVV:PPPP expected", 0, 0},
    {"an image left out of an OUT",
     "[ 0.1] OUT 20/20 ok image 4: 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n"
     "[ 0.2] IN 2/2 ok: 01 02\n",
     1, "line 1: image bytes are left out of an IN only", 0, 0},
    {"an unknown result", "[ 0.1] IN 2/2 fine: 01 02\n", 1, "line 1: unknown result fine", 0, 0},
    {"a continuation with no transfer", "    01 02\n", 1, "line 1: a continuation line", 0, 0},
    {"a last transfer short of bytes", "[ 0.1] IN 2/2 ok: 01 02\n[ 0.2] IN 40/40 ok: 01 02\n", 1, "", 1, 2},
};

TEST(CaptureReader, SessionsAndMalformedLines) {
  for (const Case& c : kCases) {
    capture::Capture read;
    std::string problem;
    const bool ok = capture::ParseCapture(c.text, c.session, &read, &problem);
    if (*c.problem != '\0') {
      EXPECT_FALSE(ok) << c.name;
      EXPECT_EQ(problem.rfind(c.problem, 0), 0u) << c.name << ": " << problem;
      continue;
    }
    ASSERT_TRUE(ok) << c.name << ": " << problem;
    EXPECT_EQ(read.transfers.size(), c.transfers) << c.name;
    EXPECT_EQ(read.cutLine, c.cutLine) << c.name;
  }
}

}  // namespace
