// usb-scanner-sim: runs a program with the scanner simulator plugged in as a USB scanner, so that a
// program using the Linux USB route (over libusb) scans without hardware.
//
//   usb-scanner-sim [--sheets N] [--ids VVVV:PPPP] [--block-bytes N] [--jam K] [--paper]
//                   [--short-answer K] [--stall-answer K] [--unplug-answer K] [--keep-sane-config]
//                   -- program [arguments...]
//   usb-scanner-sim --replay FILE [--session N] [--ids VVVV:PPPP] [--keep-sane-config] -- program [arguments...]
//
// With --replay the device answers from a capture file instead (docs/CAPTURE.md), from its first
// session unless --session says which, with the session's ids unless --ids says otherwise. A session
// cut short (its writer stopped inside a line) ends with its last whole transfer. A program that departs from the
// capture gets a failed transfer and the step that departed is printed; so are recorded transfers the program never
// reached. The exit status is then kReplayDeparted (99).
//
// --jam K jams sheet K of the feeder as it is fed; --paper gives paper-like pages instead of the test
// chart. In usb-scanner-sim-faults of the build folder only (usb-scanner-sim/Faults.h), the answer to
// command K (counted from 1) comes cut to 16 bytes (--short-answer), never comes (--stall-answer: the
// program's transfer times out), or the scanner is unplugged instead (--unplug-answer).
//
// The simulator lives in this process and answers the program's USB transfers through a umockdev test
// bed. The program runs with libumockdev-preload.so.0 in LD_PRELOAD, UMOCKDEV_DIR set to the bed and
// WIASTIIO_USB_IDS set to the scanner's ids (and WIASTIIO_USB_SIMULATOR to this process's id, so that
// it can tell); the exit status is the program's.
//
// A SANE frontend under it loads this backend alone: SANE_CONFIG_DIR names a folder of this process's
// own, removed when the program ends, whose dll.conf names only wiastiio and whose wiastiio.conf links
// to the one the backend would have read (SANE_CONFIG_DIR's folders, else SANE's own). Every backend
// of a system's dll.conf would otherwise open a connection to the test bed, more than umockdev's
// preload library has room for. --keep-sane-config leaves the SANE configuration as it is.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

#include "platform/capture-format/CaptureFormat.h"
#include "sane/Config.h"
#include "simulator/ScannerModel.h"
#include "usb-scanner-sim/Faults.h"
#include "usb-scanner-sim/ReplayPort.h"
#include "usb-scanner-sim/UsbTestBed.h"

namespace {

constexpr uint16_t kVendorId = 0x1234;
constexpr uint16_t kProductId = 0x5678;
// The exit status of a replay that the program departed from, or did not finish.
constexpr int kReplayDeparted = 99;

int Usage() {
  std::fprintf(stderr,
               "usage: usb-scanner-sim [--sheets N] [--ids VVVV:PPPP] [--block-bytes N] [--jam K] [--paper]\n"
               "         [--short-answer K] [--stall-answer K] [--unplug-answer K] [--keep-sane-config]\n"
               "         -- program [arguments...]\n"
               "       usb-scanner-sim --replay FILE [--session N] [--ids VVVV:PPPP] [--keep-sane-config]\n"
               "         -- program [arguments...]\n"
               "The exit status is the program's; 99 when it departed from the replayed capture or left\n"
               "some of it unreplayed; 2 for a usage error or a capture that cannot be replayed.\n");
  return 2;
}

// A capture file read through its descriptor a block at a time.
class FileText : public std::streambuf {
 public:
  explicit FileText(int fd) : fd_(fd) {}
  int Error() const { return error_; }

 protected:
  int_type underflow() override {
    ssize_t got = 0;
    do {
      got = read(fd_, block_, sizeof block_);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) {
      error_ = got < 0 ? errno : 0;
      return traits_type::eof();
    }
    setg(block_, block_, block_ + got);
    return traits_type::to_int_type(block_[0]);
  }

 private:
  int fd_;
  int error_ = 0;
  char block_[1 << 16];
};

// The session being replayed, read as the program reaches its transfers.
struct ReplayFile {
  ReplayFile(int file, int session) : fd(file), text(file), reader(&text, session) {}
  ~ReplayFile() { close(fd); }
  ReplayFile(const ReplayFile&) = delete;
  ReplayFile& operator=(const ReplayFile&) = delete;
  int fd;
  FileText text;
  capture::Reader reader;
};

// The capture file, open for reading; -1 with the reason when it cannot be read or is not a regular
// file, which is refused before any of it is read: a FIFO is not waited on, nor a device read.
int OpenCapture(const char* path, std::string* problem) {
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  struct stat status = {};
  if (fd < 0 || fstat(fd, &status) != 0) {
    *problem = std::strerror(errno);
  } else if (!S_ISREG(status.st_mode)) {
    *problem =
        S_ISDIR(status.st_mode) ? "is a folder, not a capture file" : "is not a regular file, not a capture file";
  } else {
    return fd;
  }
  if (fd >= 0) {
    close(fd);
  }
  return -1;
}

// The replay device of session `session` of a capture file; null with a message when the file is not
// one or has no such session. The file is read through once to check it, and again as the program
// reaches the transfers, so that it is never held whole.
std::unique_ptr<scansim::usb::ReplayPort> LoadReplay(const char* path, int session, unsigned* vendor, unsigned* product,
                                                     bool idsGiven) {
  std::string problem;
  const int fd = OpenCapture(path, &problem);
  capture::Capture capture;
  size_t count = 0;
  if (fd >= 0) {
    FileText text(fd);
    capture::Reader reader(&text, session);
    for (capture::Transfer t; reader.Next(&t);) {
      ++count;
    }
    if (text.Error() != 0) {
      problem = std::strerror(text.Error());
    } else if (!reader.Finish()) {
      problem = reader.Problem();
    } else if (!reader.Summary().device && !idsGiven) {
      problem = "no device line: give the ids with --ids";
    }
    capture = reader.Summary();
  }
  if (problem.empty() && lseek(fd, 0, SEEK_SET) != 0) {
    problem = std::strerror(errno);
  }
  if (!problem.empty()) {
    std::fprintf(stderr, "usb-scanner-sim: %s: %s\n", path, problem.c_str());
    if (fd >= 0) {
      close(fd);
    }
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
  auto file = std::make_shared<ReplayFile>(fd, session);
  return std::make_unique<scansim::usb::ReplayPort>([file](capture::Transfer* t) { return file->reader.Next(t); },
                                                    count);
}

// A decimal count, digits only: no sign, no blank, nothing after.
bool ParseNumber(const char* text, unsigned long* value) {
  if (*text < '0' || *text > '9') {
    return false;
  }
  char* end = nullptr;
  errno = 0;
  *value = std::strtoul(text, &end, 10);
  return errno == 0 && *end == '\0' && *value <= 0xFFFFFFFFul;
}

// "VVVV:PPPP" in hexadecimal, nothing after.
bool ParseIds(const char* text, unsigned* vendor, unsigned* product) {
  char* end = nullptr;
  const unsigned long v = std::strtoul(text, &end, 16);
  if (end == text || *end != ':' || v > 0xFFFF || !std::isxdigit(static_cast<unsigned char>(text[0])) ||
      !std::isxdigit(static_cast<unsigned char>(end[1]))) {
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
  bool keepSaneConfig = false;
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
  while (a->first < argc && std::strcmp(argv[a->first], "--") != 0) {
    // The options without a value.
    if (std::strcmp(argv[a->first], "--keep-sane-config") == 0) {
      a->keepSaneConfig = true;
      a->first += 1;
      continue;
    }
    if (std::strcmp(argv[a->first], "--paper") == 0) {
      a->config.paper_pages = true;
      a->first += 1;
      continue;
    }
    if (a->first + 1 >= argc || !ParseOption(argv[a->first], argv[a->first + 1], a)) {
      return false;
    }
    a->first += 2;
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

// A SANE configuration folder that loads only this backend, with the wiastiio.conf the backend would
// have read; removed with the object. Empty path() when it could not be made (said on stderr).
class PrivateSaneConfig {
 public:
  PrivateSaneConfig() {
    const char* tmp = std::getenv("TMPDIR");
    std::string folder = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/usb-scanner-sim.XXXXXX";
    if (mkdtemp(folder.data()) == nullptr) {
      std::fprintf(stderr, "usb-scanner-sim: cannot make a SANE configuration folder: %s\n", std::strerror(errno));
      return;
    }
    folder_ = folder;
    std::ofstream(folder_ + "/dll.conf") << "# usb-scanner-sim: this backend alone\nwiastiio\n";
    const wiastiio_sane::ConfigFile user =
        wiastiio_sane::ReadConfigFile(std::getenv("SANE_CONFIG_DIR"), wiastiio_sane::kDefaultConfigFolder);
    std::error_code error;
    if (!user.path.empty()) {
      std::filesystem::create_symlink(std::filesystem::absolute(user.path, error), folder_ + "/wiastiio.conf", error);
    }
  }
  ~PrivateSaneConfig() {
    if (!folder_.empty()) {
      std::error_code error;
      std::filesystem::remove_all(folder_, error);
    }
  }
  PrivateSaneConfig(const PrivateSaneConfig&) = delete;
  PrivateSaneConfig& operator=(const PrivateSaneConfig&) = delete;
  const std::string& path() const { return folder_; }

 private:
  std::string folder_;
};

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

  std::unique_ptr<PrivateSaneConfig> saneConfig;
  if (!a.keepSaneConfig) {
    saneConfig = std::make_unique<PrivateSaneConfig>();
    if (saneConfig->path().empty()) {
      return 127;
    }
  }
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
    if (saneConfig) {
      setenv("SANE_CONFIG_DIR", saneConfig->path().c_str(), 1);
    }
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
