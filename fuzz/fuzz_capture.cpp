// The capture reader, fed any text, and the replay device fed back what it read.
//
// Input: the text of a capture file. Each session it holds (up to four) is read; a session read
// without a problem is replayed by a program that makes exactly the recorded transfers (those of up to
// 1 MiB), which must follow the capture to its end and get back the recorded bytes.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/capture-format/CaptureFormat.h"
#include "support/Check.h"
#include "usb-scanner-sim/ReplayPort.h"

namespace {

constexpr uint32_t kLargestReplayed = 1u << 20;

void CheckSession(const capture::Capture& capture) {
  int line = 0;
  for (const capture::Transfer& t : capture.transfers) {
    FUZZ_CHECK(t.line > line, "transfers in the order of their lines");
    FUZZ_CHECK(capture.cutLine == 0 || t.line < capture.cutLine, "no transfer at or after the cut");
    FUZZ_CHECK(t.moved <= t.asked, "no more moved than asked");
    FUZZ_CHECK(t.in || t.leftOut == 0, "image bytes left out of an IN only");
    FUZZ_CHECK(t.bytes.size() + t.leftOut == (t.in ? t.moved : t.asked), "the bytes the lengths say");
    line = t.line;
  }
}

// A program that sends and asks for exactly what the capture recorded.
void Replay(const capture::Capture& capture) {
  scansim::usb::ReplayPort port(capture);
  for (const capture::Transfer& t : capture.transfers) {
    uint32_t moved = 0xFFFFFFFFu;
    bool done = false;
    if (t.in) {
      std::vector<uint8_t> buffer(t.asked + 1, 0xA5);
      done = port.Read(buffer.data(), t.asked, &moved);
      FUZZ_CHECK(buffer[t.asked] == 0xA5, "nothing answered past the program's buffer");
      FUZZ_CHECK(moved == t.moved, "an IN moves the recorded count");
      FUZZ_CHECK(t.bytes.empty() || std::memcmp(buffer.data() + t.leftOut, t.bytes.data(), t.bytes.size()) == 0,
                 "an IN answers the recorded bytes");
    } else {
      done = port.Write(t.bytes.data(), t.asked, &moved);
      FUZZ_CHECK(moved == t.moved, "an OUT takes the recorded count");
    }
    FUZZ_CHECK(done == (t.result == capture::Result::kOk), "the recorded result");
    FUZZ_CHECK(done || port.LastError() != 0, "a failure has an error code");
  }
  FUZZ_CHECK(port.Departure().empty() && port.LeftOver().empty(), "the recorded program follows its capture");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  for (int session = 1; session <= 4; ++session) {
    capture::Capture capture;
    std::string problem;
    if (!capture::ParseCapture(text, session, &capture, &problem)) {
      FUZZ_CHECK(!problem.empty(), "a refusal says why");
      if (session > capture.sessions) {
        break;
      }
      continue;
    }
    CheckSession(capture);
    const auto replayable = [](const capture::Transfer& t) { return t.asked <= kLargestReplayed; };
    if (std::all_of(capture.transfers.begin(), capture.transfers.end(), replayable)) {
      Replay(capture);
    }
  }
  return 0;
}
