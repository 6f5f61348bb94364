#include "Device.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "Debug.h"
#include "platform/control.h"
#include "platform/usb.h"

#ifndef WIASTIIO_LIBRARY_FROM_BACKEND
#define WIASTIIO_LIBRARY_FROM_BACKEND "../../wiastiio"
#endif

namespace wiastiio_sane {

namespace {

// The ids the simulated scanner would report; it is reached through the device monitor, which does not
// look at them.
using scansim::kSimulatedProductId;
using scansim::kSimulatedVendorId;

bool Exists(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file != nullptr) {
    std::fclose(file);
  }
  return file != nullptr;
}

// WIASTIIO.so beside this backend (the build folder), else where the install rules put it relative to
// the backend (as its RUNPATH finds libwinplat), so that an unpacked package works where it lies.
std::string LibraryPath(const Config& config) {
  if (!config.library.empty()) {
    return config.library;
  }
  Dl_info info = {};
  if (dladdr(reinterpret_cast<void*>(&SaneStatusOf), &info) != 0 && info.dli_fname != nullptr) {
    const std::string self = info.dli_fname;
    const size_t slash = self.find_last_of('/');
    const std::string folder = slash == std::string::npos ? std::string("./") : self.substr(0, slash + 1);
    for (const std::string& path : {folder + "WIASTIIO.so", folder + WIASTIIO_LIBRARY_FROM_BACKEND "/WIASTIIO.so"}) {
      if (Exists(path)) {
        return path;
      }
    }
  }
  return "WIASTIIO.so";
}

Capabilities CapabilitiesOf(const client::DeviceReport& report) {
  const SCAN_DEVICE_INFO& info = report.info;
  Capabilities c;
  c.feeder = info.dwScannerType != SCANNER_TYPE_FLATBED_ONLY;
  c.color = (info.dwImageComposition & IMAGE_COMPOSITION_COLOUR) != 0;
  c.gray = (info.dwImageComposition & IMAGE_COMPOSITION_GREY) != 0;
  c.lineart = (info.dwImageComposition & IMAGE_COMPOSITION_BLACK_WHITE) != 0;
  for (LONG dpi : report.resolutions) {
    if (dpi > 0 && client::Scannable(static_cast<uint32_t>(dpi))) {
      c.resolutions.push_back(static_cast<uint32_t>(dpi));
    }
  }
  std::sort(c.resolutions.begin(), c.resolutions.end());
  c.resolutions.erase(std::unique(c.resolutions.begin(), c.resolutions.end()), c.resolutions.end());
  c.bedWidth = info.dwScanBedWidth;
  c.bedHeight = info.dwScanBedHeight;
  c.feederWidth = info.dwDocFeederWidth;
  c.feederHeight = info.dwDocFeederHeight;
  return c;
}

const char* StatusText(SANE_Status status) {
  switch (status) {
    case SANE_STATUS_GOOD:
      return "good";
    case SANE_STATUS_CANCELLED:
      return "cancelled";
    case SANE_STATUS_DEVICE_BUSY:
      return "device busy";
    case SANE_STATUS_INVAL:
      return "invalid";
    case SANE_STATUS_EOF:
      return "end of frame";
    case SANE_STATUS_JAMMED:
      return "jammed";
    case SANE_STATUS_NO_DOCS:
      return "no documents";
    case SANE_STATUS_IO_ERROR:
      return "I/O error";
    default:
      return "other";
  }
}

// Whether this process may read and write the node of the first scanner with `id` (the one the library
// opens). Without the permission libusb cannot open it, which the library could only call an I/O error.
SANE_Status NodeAccess(const UsbId& id) {
  for (const winplat::UsbScanner& scanner : winplat::UsbScanners()) {
    if (scanner.vendorId != id.vendor || scanner.productId != id.product) {
      continue;
    }
    char node[64];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", scanner.bus, scanner.address);
    if (access(node, R_OK | W_OK) != 0 && errno == EACCES) {
      Debug(kDebugErrors, "no permission to read and write %s, the scanner's node (a udev rule can grant it)", node);
      return SANE_STATUS_ACCESS_DENIED;
    }
    break;
  }
  return SANE_STATUS_GOOD;
}

}  // namespace

void Device::Waits::Waiting(HRESULT result, uint32_t repeat, uint32_t repeats) {
  Debug(kDebugSteps, "the scanner is %s: repeat %u of %u", result == WIA_ERROR_BUSY ? "busy" : "warming up", repeat,
        repeats);
}

SANE_Status SaneStatusOf(const client::Outcome& outcome) {
  switch (outcome.result) {
    case ADF_NO_DOCUMENT:
    case WIA_ERROR_PAPER_EMPTY:
      return SANE_STATUS_NO_DOCS;
    case WIA_ERROR_PAPER_JAM:
      return SANE_STATUS_JAMMED;
    case WIA_ERROR_BUSY:
    case WIA_ERROR_WARMING_UP:
      return SANE_STATUS_DEVICE_BUSY;
    default:
      break;
  }
  switch (outcome.status) {
    case client::Status::kOk:
      return SANE_STATUS_GOOD;
    case client::Status::kCancelled:
    case client::Status::kOutput:  // the backend's own stop
      return SANE_STATUS_CANCELLED;
    case client::Status::kUsage:
      return SANE_STATUS_INVAL;
    case client::Status::kDevice:
      // Initialize fails only when the port is not granted: another program holds the scanner.
      return outcome.step == "Initialize" ? SANE_STATUS_DEVICE_BUSY : SANE_STATUS_IO_ERROR;
    case client::Status::kPaper:
      return SANE_STATUS_JAMMED;
    case client::Status::kIo:
    case client::Status::kLibrary:
      break;
  }
  return SANE_STATUS_IO_ERROR;
}

// ---- The device ---------------------------------------------------------------------------------------

Device::Device(const DeviceEntry& entry, const Config& config) : entry_(entry), config_(config) {}

SANE_Status Device::Open(const DeviceEntry& entry, const Config& config, std::unique_ptr<Device>* device) {
  std::unique_ptr<Device> opened(new Device(entry, config));
  const std::string path = LibraryPath(config);
  std::string error;
  if (!opened->exports_.Load(path, &error)) {
    Debug(kDebugErrors, "%s", error.c_str());
    return SANE_STATUS_IO_ERROR;
  }
  if (entry.simulated) {
    // The device monitor alone reaches the built-in scanner: the direct route stays the bus's.
    opened->simulated_ = std::make_unique<scansim::SimulatedScanner>(config.conditions,
                                                                     scansim::SimulatedScanner::Routes::kDeviceMonitor);
    // What reaches the scanner, for the frontend's own tests of stops.
    opened->simulated_->Wire().OnCommand(
        [](uint8_t opcode) { Debug(kDebugLibrary, "simulator: command %02X", opcode); });
  } else {
    // The direct route: the arbitration module claims the scanner's interface for each port cycle.
    winplat::AddUsbScannerIds(entry.id.vendor, entry.id.product);
    winplat::InstallUsbPortArbitration();
    const SANE_Status access = NodeAccess(entry.id);
    if (access != SANE_STATUS_GOOD) {
      return access;
    }
  }
  const bool deviceMonitor = entry.simulated;
  const UsbId id = entry.simulated ? UsbId{kSimulatedVendorId, kSimulatedProductId} : entry.id;
  if (!opened->key_.Create(host::ProcessKeyPath("Software\\sane-wiastiio"), &error) ||
      !opened->key_.SetIds(id.vendor, id.product, deviceMonitor, &error)) {
    Debug(kDebugErrors, "%s", error.c_str());
    return SANE_STATUS_IO_ERROR;
  }
  // The library's debug lines go to standard error at the highest level; below it nothing keeps them.
  winplat::SetDebugStringSink([](const char* text) {
    if (DebugLevel() >= kDebugLibrary) {
      std::fprintf(stderr, "[wiastiio] library: %s\n", text);
    }
    winplat::ClearDebugStrings();
  });
  const SANE_Status status = opened->OpenSession();
  if (status != SANE_STATUS_GOOD) {
    return status;
  }
  opened->options_ = std::make_unique<Options>(CapabilitiesOf(opened->session_->Device()));
  Debug(kDebugSteps, "opened %s through %s", entry.name.c_str(), path.c_str());
  *device = std::move(opened);
  return SANE_STATUS_GOOD;
}

SANE_Status Device::OpenSession() {
  session_.reset();
  winplat::ResumeUsbTransfers();
  session_ = std::make_unique<client::ScanSession>(exports_);
  const client::Outcome outcome = session_->Open(&control_, key_.Parameters(), DebugLevel() >= kDebugLibrary);
  if (!outcome.Ok()) {
    Debug(kDebugErrors, "%s", outcome.message.c_str());
    return SaneStatusOf(outcome);
  }
  return SANE_STATUS_GOOD;
}

Device::~Device() {
  if (session_ != nullptr) {
    TakeCancel();
    EndJob("closed");
    session_.reset();
  }
  if (simulated_ != nullptr) {
    Debug(kDebugSteps, "closed: the simulated scanner's unit is %s, its port %s",
          simulated_->Simulator().UnitReserved() ? "still reserved" : "free",
          simulated_->Monitor().Held() ? "still held" : "free");
  }
  winplat::SetDebugStringSink(nullptr);
}

bool Device::TakeCancel() {
  if (!session_->TakeCancel()) {
    return false;
  }
  // A cancel between pages stops no transfer: the job's end reaches the scanner as it always does.
  winplat::ResumeUsbTransfers();
  EndJob("cancelled");
  return true;
}

void Device::CancelServed() {
  session_->TakeCancel();
  winplat::ResumeUsbTransfers();
}

void Device::EndJob(const char* why) {
  frame_ = client::PageLayout();
  frameEnded_ = false;
  if (session_->Started()) {
    session_->End();
    Debug(kDebugSteps, "job ended: %s", why);
  }
}

SANE_Status Device::Control(SANE_Int index, SANE_Action action, void* value, SANE_Int* info) {
  TakeCancel();
  if (action != SANE_ACTION_GET_VALUE && session_->InPage()) {
    return SANE_STATUS_DEVICE_BUSY;
  }
  return options_->Control(index, action, value, info);
}

client::ScanRequest Device::RequestOf(const Settings& s) const {
  client::ScanRequest request;
  request.source = s.feeder ? client::Source::kFeeder : client::Source::kFlatbed;
  request.mode = ClientMode(s.mode);
  request.dpi = s.dpi;
  SetWindow(s.window, s.dpi, &request);
  request.retries = config_.retries;
  request.retryDelayMs = config_.retryDelayMs;
  return request;
}

SANE_Status Device::Parameters(SANE_Parameters* parameters) {
  if (parameters == nullptr) {
    return SANE_STATUS_INVAL;
  }
  client::PageLayout page = frame_;
  if (page.number == 0) {
    // What the next scan would be; a window without a whole pixel gives a frame without one.
    const Settings s = options_->Current();
    if (!session_->Plan(RequestOf(s), &page, false).Ok()) {
      page = client::PageLayout();
      page.mode = ClientMode(s.mode);
    }
  }
  *parameters = ParametersOf(page);
  return SANE_STATUS_GOOD;
}

bool Device::JobMatches(const Settings& s) const {
  const Settings& j = job_;
  return j.mode == s.mode && j.feeder == s.feeder && j.dpi == s.dpi && j.window.tlX == s.window.tlX &&
         j.window.tlY == s.window.tlY && j.window.brX == s.window.brX && j.window.brY == s.window.brY;
}

SANE_Status Device::Start() {
  // A cancel of the last job ends it now; one that comes from here on stops this start. Transfers are
  // let through again only after, so that a cancel in between still reaches the session.
  TakeCancel();
  winplat::ResumeUsbTransfers();
  const Settings s = options_->Current();
  const bool nextSheet = session_->Started() && !session_->InPage() && JobMatches(s);
  if (!nextSheet) {
    EndJob("another start");
    client::PageLayout layout;
    const client::Outcome planned = session_->Plan(RequestOf(s), &layout);
    if (!planned.Ok()) {
      Debug(kDebugErrors, "start: %s", planned.message.c_str());
      return SaneStatusOf(planned);
    }
    Debug(kDebugSteps, "start: %s, %s, %u dpi, window %u x %u from %u,%u", s.feeder ? "ADF" : "Flatbed",
          client::ModeName(layout.mode), s.dpi, layout.width, layout.height, layout.left, layout.top);
    job_ = s;
    const client::Outcome started = session_->Start(&waits_);
    if (!started.Ok()) {
      CancelServed();
      Debug(kDebugSteps, "start: %s (%s)", StatusText(SaneStatusOf(started)), started.message.c_str());
      return SaneStatusOf(started);
    }
  }
  frame_ = client::PageLayout();
  frameEnded_ = false;
  client::PageLayout page;
  const client::Outcome outcome = session_->NextPage(&page);
  if (outcome.Ok() && page.number != 0) {
    frame_ = page;
    Debug(kDebugSteps, "page %u: %u x %u pixels at %u dpi", page.number, page.width, page.height, page.dpi);
    return SANE_STATUS_GOOD;
  }
  // The feeder ran empty after the pages before: the job is done. A cancel the session saw is served.
  CancelServed();
  const SANE_Status status = outcome.Ok() ? SANE_STATUS_NO_DOCS : SaneStatusOf(outcome);
  Debug(kDebugSteps, "job ended: %s", outcome.Ok() ? "done" : outcome.message.c_str());
  Debug(kDebugSteps, "start: %s", StatusText(status));
  return status;
}

SANE_Status Device::Read(SANE_Byte* data, SANE_Int maxLength, SANE_Int* length) {
  if (length == nullptr || data == nullptr || maxLength < 0) {
    return SANE_STATUS_INVAL;
  }
  *length = 0;
  if (TakeCancel()) {
    return SANE_STATUS_CANCELLED;
  }
  if (frame_.number == 0) {
    return SANE_STATUS_INVAL;
  }
  if (frameEnded_) {
    return SANE_STATUS_EOF;
  }
  size_t count = 0;
  const client::Outcome outcome = session_->Read(data, static_cast<size_t>(maxLength), &count);
  if (!outcome.Ok()) {
    // The session has ended the job (aborted and released); a cancel it saw is served.
    frame_ = client::PageLayout();
    const bool cancelled = outcome.status == client::Status::kCancelled;
    CancelServed();
    Debug(kDebugSteps, "job ended: %s", cancelled ? "cancelled" : outcome.message.c_str());
    const SANE_Status status = SaneStatusOf(outcome);
    return status == SANE_STATUS_GOOD ? SANE_STATUS_IO_ERROR : status;
  }
  if (count == 0 && maxLength > 0) {
    frameEnded_ = true;
    if (!job_.feeder) {
      // The flatbed's page was the job: the scanner is given back at once.
      client::PageLayout none;
      session_->NextPage(&none);
      Debug(kDebugSteps, "job ended: done");
    }
    return SANE_STATUS_EOF;
  }
  *length = static_cast<SANE_Int>(count);
  return SANE_STATUS_GOOD;
}

void Device::Cancel() {
  session_->Cancel();
  // The platform ends a transfer in flight (a silent scanner is not waited for); the session's abort
  // and release have the stop's grace. Safe from a signal handler, and never behind the library's lock.
  winplat::StopUsbTransfers();
}

}  // namespace wiastiio_sane
