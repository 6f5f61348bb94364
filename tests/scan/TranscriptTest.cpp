// The debug output of one whole flatbed scan on the device-monitor route, from InitializeDll to
// TerminateDll, line by line against the reference transcript in transcripts/.
#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "scan/ScanSession.h"

namespace scantest {
namespace {

struct TranscriptLine {
  int fileLine;
  std::string text;
};

// Where the transcript lies in the source tree. Under Wine the tree is reached through drive Z:,
// which stands for the root of the host's file system.
std::string TranscriptPath(const char* name) {
  std::string path = std::string(WIASTIIO_SOURCE_DIR) + "/tests/scan/transcripts/" + name;
#ifdef _WIN32
  if (!path.empty() && path[0] == '/') {
    path = "Z:" + path;
  }
  for (char& c : path) {
    if (c == '/') {
      c = '\\';
    }
  }
#endif
  return path;
}

// One debug string per line; lines opening with '#' and empty lines are comments. "\t" stands for a
// tab, "\s" for a blank (so that blanks at a line's end survive editors) and "\\" for a backslash.
std::vector<TranscriptLine> LoadTranscript(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  EXPECT_TRUE(file.good()) << "cannot open " << path;
  std::vector<TranscriptLine> lines;
  std::string raw;
  int number = 0;
  while (std::getline(file, raw)) {
    ++number;
    if (!raw.empty() && raw.back() == '\r') {
      raw.pop_back();
    }
    if (raw.empty() || raw[0] == '#') {
      continue;
    }
    std::string text;
    for (size_t i = 0; i < raw.size(); ++i) {
      if (raw[i] != '\\' || i + 1 == raw.size()) {
        text += raw[i];
        continue;
      }
      const char escaped = raw[++i];
      if (escaped == 't') {
        text += '\t';
      } else if (escaped == 's') {
        text += ' ';
      } else if (escaped == '\\') {
        text += '\\';
      } else {
        ADD_FAILURE() << path << ":" << number << ": unknown escape \\" << escaped;
      }
    }
    lines.push_back({number, text});
  }
  return lines;
}

// A debug line as the transcript writes it, tabs as \t.
std::string Visible(const std::string& line) {
  std::string shown = harness::Show({line});
  shown.pop_back();  // Show ends every line with a line break
  return shown;
}

class Transcript : public ScanSession {
 protected:
  void SetUp() override { ASSERT_TRUE(Wire(Route::kDeviceMonitor)); }
};

TEST_F(Transcript, FlatbedScanOnTheDeviceMonitorRoute) {
  const std::vector<TranscriptLine> expected = LoadTranscript(TranscriptPath("flatbed-device-monitor.txt"));
  ASSERT_FALSE(expected.empty());

  // Two blocks of 20 rows of 64 grey pixels at 300 dpi.
  Start(SmallBlocks(), 1, false);
  SCAN_DEVICE_INFO info;
  ASSERT_EQ(GetDeviceInfo(&info), S_OK);
  const SWP_PARAMETER window = Window(64, 40, 5, scansim::ImageType::kGrey, scansim::kSourceFlatbed);
  const Page page = ScanOnePage(window);
  ASSERT_EQ(page.blocks, 2);
  ASSERT_TRUE(page.image == ExpectedPage(0, window));
  Stop();

  const std::vector<std::string> actual = harness::DebugLines();
  int mismatches = 0;
  for (size_t i = 0; i < std::max(actual.size(), expected.size()) && mismatches < 10; ++i) {
    const std::string want = i < expected.size() ? expected[i].text : "<end of transcript>";
    const std::string got = i < actual.size() ? actual[i] : "<end of output>";
    if (want != got) {
      ++mismatches;
      // Quoted, so that blanks at the end show.
      ADD_FAILURE() << "debug line " << i + 1 << " (transcript line "
                    << (i < expected.size() ? expected[i].fileLine : 0) << ")\n  expected: \"" << Visible(want)
                    << "\"\n  actual:   \"" << Visible(got) << "\"";
    }
  }
  EXPECT_EQ(actual.size(), expected.size());
  if (mismatches > 0) {
    ADD_FAILURE() << "the whole output:\n" << harness::Show(actual);
  }
}

}  // namespace
}  // namespace scantest
