// usb-scanner-sim: runs a program with the scanner simulator plugged in as a USB scanner, so that a
// program using the Linux USB route (over libusb) scans without hardware.
//
//   usb-scanner-sim [--sheets N] [--ids VVVV:PPPP] [--block-bytes N] [--jam K]
//                   [--short-answer K] [--stall-answer K] [--unplug-answer K] -- program [arguments...]
//   usb-scanner-sim --replay FILE [--session N] [--ids VVVV:PPPP] -- program [arguments...]
//
// With --replay the device answers from a capture file instead (docs/CAPTURE.md), from its first
// session unless --session says which, with the session's ids unless --ids says otherwise. A session
// cut short (its writer stopped inside a line) ends with its last whole transfer. A program that departs from the
// capture gets a failed transfer and the step that departed is printed; so are recorded transfers the program never
// reached. The exit status is then kReplayDeparted.
//
// --jam K jams sheet K of the feeder as it is fed. In usb-scanner-sim-faults of the build folder only
// (simulator/usb/Faults.h), the answer to command K (counted from 1) comes cut to 16 bytes
// (--short-answer), never comes (--stall-answer: the program's transfer times out), or the scanner is
// unplugged instead (--unplug-answer).
//
// The simulator lives in this process and answers the program's USB transfers through a umockdev test
// bed. The program runs with libumockdev-preload.so.0 in LD_PRELOAD, UMOCKDEV_DIR set to the bed and
// WIASTIIO_USB_IDS set to the scanner's ids (and WIASTIIO_USB_SIMULATOR to this process's id, so that
// it can tell); the exit status is the program's.
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/capture/CaptureWriter.h"
#include "simulator/ScannerModel.h"
#include "simulator/usb/Faults.h"
#include "simulator/usb/ReplayPort.h"
#include "simulator/usb/UsbTestBed.h"

namespace {

constexpr uint16_t kVendorId = 0x1234;
constexpr uint16_t kProductId = 0x5678;
// The exit status of a replay that the program departed from, or did not finish.
constexpr int kReplayDeparted = 99;

int Usage() {
  std::fprintf(stderr,
               "usage: usb-scanner-sim [--sheets N] [--ids VVVV:PPPP] [--block-bytes N] [--jam K] [--short-answer K]\n"
               "                       [--stall-answer K] [--unplug-answer K] -- program [arguments...]\n"
               "       usb-scanner-sim --replay FILE [--session N] [--ids VVVV:PPPP] -- program [arguments...]\n");
  return 2;
}

// The replay device of session `session` of a capture file; null with a message when the file is not
// one or has no such session.
std::unique_ptr<scansim::usb::ReplayPort> LoadReplay(const char* path, int session, unsigned* vendor, unsigned* product,
                                                     bool idsGiven) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  capture::Capture capture;
  std::string problem;
  if (!file.good() && !file.eof()) {
    problem = std::strerror(errno);
  } else if (capture::ParseCapture(text.str(), session, &capture, &problem) && !capture.device && !idsGiven) {
    problem = "no device line: give the ids with --ids";
  }
  if (!problem.empty()) {
    std::fprintf(stderr, "usb-scanner-sim: %s: %s\n", path, problem.c_str());
    return nullptr;
  }
  if (capture.sessions > 1) {
    std::fprintf(stderr, "usb-scanner-sim: %s: replaying session %d of %d (--session N picks another)\n", path, session,
                 capture.sessions);
  }
  if (capture.cutLine > 0) {
    std::fprintf(stderr, "usb-scanner-sim: %s: the session was cut short at line %d; it ends before that line\n", path,
                 capture.cutLine);
  }
  if (!idsGiven) {
    *vendor = capture.vendorId;
    *product = capture.productId;
  }
  return std::make_unique<scansim::usb::ReplayPort>(std::move(capture));
}

bool ParseNumber(const char* text, unsigned long* value) {
  char* end = nullptr;
  *value = std::strtoul(text, &end, 10);
  return end != text && *end == '\0' && *value <= 0xFFFFFFFFul;
}

// "VVVV:PPPP" in hexadecimal, nothing after.
bool ParseIds(const char* text, unsigned* vendor, unsigned* product) {
  char* end = nullptr;
  const unsigned long v = std::strtoul(text, &end, 16);
  if (end == text || *end != ':' || v > 0xFFFF || text[0] == '-' || end[1] == '-' || end[1] == '+') {
    return false;
  }
  const char* second = end + 1;
  const unsigned long p = std::strtoul(second, &end, 16);
  if (end == second || *end != '\0' || p > 0xFFFF) {
    return false;
  }
  *vendor = static_cast<unsigned>(v);
  *product = static_cast<unsigned>(p);
  return true;
}

// The command line: the simulated scanner's settings, then "--" and the program to run.
struct Arguments {
  scansim::Config config;
  unsigned vendor = kVendorId;
  unsigned product = kProductId;
  bool idsGiven = false;
  const char* replay = nullptr;
  int session = 1;
  int first = 1;  // the "--"
};

// One option and its value; false when it is not one.
bool ParseOption(const char* option, const char* argument, Arguments* a) {
  unsigned long value = 0;
  if (std::strcmp(option, "--sheets") == 0 && ParseNumber(argument, &value)) {
    a->config.feeder_sheets = static_cast<uint32_t>(value);
  } else if (std::strcmp(option, "--block-bytes") == 0 && ParseNumber(argument, &value) && value > 0) {
    a->config.block_bytes = static_cast<uint32_t>(value);
  } else if (std::strcmp(option, "--ids") == 0 && ParseIds(argument, &a->vendor, &a->product)) {
    a->idsGiven = true;
  } else if (std::strcmp(option, "--jam") == 0 && ParseNumber(argument, &value) && value > 0) {
    a->config.script.jam_sheet = static_cast<uint32_t>(value);
  } else if (std::strcmp(option, "--replay") == 0) {
    a->replay = argument;
  } else if (std::strcmp(option, "--session") == 0 && ParseNumber(argument, &value) && value > 0 && value <= 1000000) {
    a->session = static_cast<int>(value);
  } else {
    return ParseNumber(argument, &value) && value > 0 && scansim::usb::AddFault(option, static_cast<uint32_t>(value));
  }
  return true;
}

bool ParseArguments(int argc, char** argv, Arguments* a) {
  a->config.feeder_sheets = 2;
  for (; a->first < argc && std::strcmp(argv[a->first], "--") != 0; a->first += 2) {
    if (a->first + 1 >= argc || !ParseOption(argv[a->first], argv[a->first + 1], a)) {
      return false;
    }
  }
  return a->first + 1 < argc;
}

// What a replay left undone, on standard error; kReplayDeparted when it left anything.
int ReplayVerdict(const scansim::usb::ReplayPort& recorded, const char* replay) {
  const std::string departure = recorded.Departure();
  const std::string leftOver = recorded.LeftOver();
  if (!departure.empty()) {
    std::fprintf(stderr, "usb-scanner-sim: the replay of %s departed at %s\n", replay, departure.c_str());
  }
  if (!leftOver.empty()) {
    std::fprintf(stderr, "usb-scanner-sim: the replay of %s ended with %s\n", replay, leftOver.c_str());
  }
  return !departure.empty() || !leftOver.empty() ? kReplayDeparted : 0;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments a;
  if (!ParseArguments(argc, argv, &a)) {
    return Usage();
  }
  unsigned vendor = a.vendor;
  unsigned product = a.product;
  const int first = a.first;

  std::unique_ptr<scansim::usb::ReplayPort> recorded;
  if (a.replay != nullptr && !(recorded = LoadReplay(a.replay, a.session, &vendor, &product, a.idsGiven))) {
    return 2;
  }
  scansim::ScannerModel simulator(a.config);
  scansim::Port& scanner = scansim::usb::WithFaults(simulator);
  scansim::usb::TestBed bed;
  bed.Plug(recorded ? static_cast<scansim::Port*>(recorded.get()) : &scanner, static_cast<uint16_t>(vendor),
           static_cast<uint16_t>(product));

  char ids[16];
  std::snprintf(ids, sizeof(ids), "%04x:%04x", vendor, product);
  std::string preload = "libumockdev-preload.so.0";
  if (const char* existing = std::getenv("LD_PRELOAD")) {
    preload += std::string(":") + existing;
  }
  const pid_t child = fork();
  if (child < 0) {
    std::perror("usb-scanner-sim: fork");
    return 127;
  }
  if (child == 0) {
    setenv("LD_PRELOAD", preload.c_str(), 1);
    setenv("WIASTIIO_USB_IDS", ids, 1);
    setenv("WIASTIIO_USB_SIMULATOR", std::to_string(getppid()).c_str(), 1);
    execvp(argv[first + 1], argv + first + 1);
    std::fprintf(stderr, "usb-scanner-sim: cannot run %s: %s\n", argv[first + 1], std::strerror(errno));
    _exit(127);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (recorded) {
    if (const int verdict = ReplayVerdict(*recorded, a.replay); verdict != 0) {
      return verdict;
    }
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
