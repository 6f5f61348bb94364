// A SANE frontend of our own, written from the SANE standard: it loads the backend with dlopen as SANE's
// dll backend does and ends it the ways a process may end. Each case is one run:
//   sane_frontend CASE BIN_DIR
// exit-handler    ends SANE from an exit handler registered before the backend was loaded, after a feeder job
//                 at a resolution not offered (the nearest, written back)
// exit-mid-page   exits in the middle of a page, the device open, without sane_close or sane_exit
// terminate-atexit  the library alone: TerminateDll from an exit handler registered before it was loaded
// cancel-busy     sane_cancel from another thread while the scanner stays busy: both starts come back at once
// cancel-feed     sane_cancel while the second feeder sheet is positioned: SANE_STATUS_CANCELLED
// The cancel cases keep the backend's and the library's lines (standard error) in BIN_DIR/frontend-CASE.log
// with "[frontend] cancel" where the cancel came, and check what reached the scanner after it.
#include <dlfcn.h>
#include <sane/sane.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "client/Exports.h"

namespace {

// The backend's entry points, bound by their SANE names with the backend's prefix.
#define SANE_ENTRIES(X) X(init) X(exit) X(open) X(close) X(control_option) X(start) X(read) X(cancel)
struct Sane {
#define SANE_FIELD(name) decltype(&sane_##name) name;
  SANE_ENTRIES(SANE_FIELD)
};

Sane sane;
SANE_Handle device = nullptr;
client::Exports* library = nullptr;  // never destroyed, as a program's own globals often are
using Clock = std::chrono::steady_clock;

int Fail(const char* what, int status = 0) {
  std::fprintf(stderr, "FAIL: %s (status %d)\n", what, status);
  std::fprintf(stdout, "FAIL: %s (status %d)\n", what, status);
  std::exit(1);
}

template <typename T>
void Bind(void* backend, const char* name, T* entry) {
  const std::string symbol = std::string("sane_wiastiio_") + name;
  *entry = reinterpret_cast<T>(dlsym(backend, symbol.c_str()));
  if (*entry == nullptr) {
    Fail(symbol.c_str());
  }
}

void LoadBackend(const std::string& bin) {
  void* backend = dlopen((bin + "/libsane-wiastiio.so.1").c_str(), RTLD_NOW | RTLD_LOCAL);
  if (backend == nullptr) {
    Fail(dlerror());
  }
#define SANE_BIND(name) Bind(backend, #name, &sane.name);
  SANE_ENTRIES(SANE_BIND)
}

std::string bin;
std::string test;

// A configuration folder of the case's own with these wiastiio.conf lines; SANE_CONFIG_DIR names it.
void Configure(const std::vector<const char*>& lines) {
  const std::string folder = bin + "/frontend-" + test;
  if (access(folder.c_str(), F_OK) != 0 && mkdir(folder.c_str(), 0700) != 0) {
    Fail("mkdir");
  }
  std::FILE* file = std::fopen((folder + "/wiastiio.conf").c_str(), "w");
  for (const char* line : lines) {
    std::fprintf(file, "%s\n", line);
  }
  std::fclose(file);
  setenv("SANE_CONFIG_DIR", folder.c_str(), 1);
}

// Standard error, with the library's lines, into the case's log.
std::string CaptureLog() {
  const std::string path = bin + "/frontend-" + test + ".log";
  if (std::freopen(path.c_str(), "w", stderr) == nullptr) {
    Fail("log");
  }
  std::setvbuf(stderr, nullptr, _IONBF, 0);
  setenv("SANE_DEBUG_WIASTIIO", "5", 1);
  return path;
}

// Commands of operation `op` (hexadecimal: 16 reserve, 24 window, 31 object position, 06 abort, 17
// release) the simulated scanner received after the n-th cancel (from 1), up to the next "[frontend]" line.
int CommandsAfterCancel(const std::string& log, int n, const char* op) {
  std::ifstream file(log);
  const std::string wanted = std::string("[wiastiio] simulator: command ") + op;
  int cancels = 0;
  int calls = 0;
  for (std::string line; std::getline(file, line) && cancels <= n;) {
    if (line.rfind("[frontend]", 0) == 0) {
      cancels += line == "[frontend] cancel" ? 1 : 0;
    } else if (cancels == n && line == wanted) {
      ++calls;
    }
  }
  return calls;
}

void OpenFeeder() {
  SANE_Int version = 0;
  if (sane.init(&version, nullptr) != SANE_STATUS_GOOD || sane.open("simulator", &device) != SANE_STATUS_GOOD) {
    Fail("open");
  }
  char source[] = "ADF";
  if (sane.control_option(device, 3, SANE_ACTION_SET_VALUE, source, nullptr) != SANE_STATUS_GOOD) {
    Fail("source");
  }
}

// Reads `bytes` of the frame (all of it when 0); the status that ended the reading.
SANE_Status ReadFrame(size_t bytes = 0) {
  SANE_Byte data[32768];
  size_t total = 0;
  for (;;) {
    SANE_Int length = 0;
    const SANE_Status status = sane.read(device, data, sizeof data, &length);
    total += static_cast<size_t>(length);
    if (status != SANE_STATUS_GOOD || (bytes != 0 && total >= bytes)) {
      return status;
    }
  }
}

void EndSane() {
  sane.cancel(device);
  sane.close(device);
  sane.exit();
  std::fprintf(stderr, "[frontend] ended from the exit handler\n");
}

void TerminateLibrary() {
  std::fprintf(stderr, "[frontend] TerminateDll 0x%08x\n", static_cast<unsigned>(library->TerminateDll()));
}

// sane_start with a cancel from another thread `afterMs` in; the seconds from the cancel to the return.
double StartCancelled(int afterMs, SANE_Status* status) {
  Clock::time_point cancelled;
  std::thread canceller([&cancelled, afterMs] {
    std::this_thread::sleep_for(std::chrono::milliseconds(afterMs));
    std::fprintf(stderr, "[frontend] cancel\n");
    cancelled = Clock::now();
    sane.cancel(device);
  });
  *status = sane.start(device);
  const Clock::time_point returned = Clock::now();
  canceller.join();
  return std::chrono::duration<double>(returned - cancelled).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: sane_frontend CASE BIN_DIR\n");
    return 2;
  }
  test = argv[1];
  bin = argv[2];
  if (test == "terminate-atexit") {
    std::atexit(TerminateLibrary);
    library = new client::Exports;
    std::string error;
    if (!library->Load(bin + "/WIASTIIO.so", &error) || library->InitializeDll(1) != S_OK) {
      Fail(error.c_str());
    }
    return 0;
  }
  if (test == "exit-handler") {
    std::atexit(EndSane);
  }
  LoadBackend(bin);
  if (test == "exit-handler") {
    Configure({"simulator", "simulator feeder-sheets 2"});
    OpenFeeder();
    // A resolution not offered: the nearest is used and written back.
    SANE_Int dpi = 80;
    SANE_Int info = 0;
    if (sane.control_option(device, 4, SANE_ACTION_SET_VALUE, &dpi, &info) != SANE_STATUS_GOOD ||
        (info & SANE_INFO_INEXACT) == 0 || dpi != 75) {
      Fail("resolution 80", dpi);
    }
    for (int page = 1; page <= 2; ++page) {
      SANE_Status status = sane.start(device);
      if (status != SANE_STATUS_GOOD || (status = ReadFrame()) != SANE_STATUS_EOF) {
        Fail("page", status);
      }
    }
    return 0;  // the exit handler ends SANE after the backend's own static state would have gone
  }
  if (test == "exit-mid-page") {
    Configure({"simulator", "simulator block-bytes 6000"});
    OpenFeeder();
    const SANE_Status status = sane.start(device);
    if (status != SANE_STATUS_GOOD || ReadFrame(100000) != SANE_STATUS_GOOD) {
      Fail("half a page", status);
    }
    std::exit(0);
  }
  const std::string log = CaptureLog();
  if (test == "cancel-busy") {
    // Busy far longer than any test runs: only the cancel ends the repeats.
    Configure({"simulator", "simulator busy 1000000", "retries 1000000", "retry-delay 10"});
    OpenFeeder();
    for (int start = 1; start <= 2; ++start) {
      SANE_Status status;
      const Clock::time_point called = Clock::now();
      const double late = StartCancelled(300, &status);
      const double took = std::chrono::duration<double>(Clock::now() - called).count();
      std::fprintf(stderr, "[frontend] start %d: %s %.3f s after the cancel, %.3f s in all\n", start,
                   status == SANE_STATUS_CANCELLED ? "cancelled" : "not cancelled", late, took);
      if (status != SANE_STATUS_CANCELLED || late > 0.5 || took > 0.3 + 0.5) {
        Fail("start", status);
      }
      // A reserve already on its way may still go out; nothing else does.
      if (CommandsAfterCancel(log, start, "16") > 1 || CommandsAfterCancel(log, start, "24") != 0 ||
          CommandsAfterCancel(log, start, "31") != 0) {
        Fail("the scanner heard more after the cancel");
      }
    }
  } else if (test == "cancel-feed") {
    Configure({"simulator", "simulator feeder-sheets 3", "simulator feed-pause 1000"});
    OpenFeeder();
    SANE_Status status = sane.start(device);
    if (status != SANE_STATUS_GOOD || (status = ReadFrame()) != SANE_STATUS_EOF) {
      Fail("page 1", status);
    }
    const double late = StartCancelled(300, &status);
    std::fprintf(stderr, "[frontend] start of page 2: %s %.3f s after the cancel\n",
                 status == SANE_STATUS_CANCELLED ? "cancelled" : "not cancelled", late);
    if (status != SANE_STATUS_CANCELLED) {
      Fail("page 2", status);
    }
    // The sheet on its way is aborted and the scanner released; no further sheet is fed.
    if (CommandsAfterCancel(log, 1, "31") != 0 || CommandsAfterCancel(log, 1, "06") != 1 ||
        CommandsAfterCancel(log, 1, "17") != 1) {
      Fail("the scanner after the cancel");
    }
  } else {
    Fail("unknown case");
  }
  sane.close(device);
  sane.exit();
  return 0;
}
