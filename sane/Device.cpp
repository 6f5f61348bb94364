#include "Device.h"

#include <dlfcn.h>

#include <algorithm>
#include <chrono>
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

// Frame bytes held between the session's thread and the frontend; the session waits when it is full.
constexpr size_t kBufferBytes = 4u << 20;
// How often a side that waits for the other looks for a cancel (sane_cancel may only set a flag).
constexpr auto kPoll = std::chrono::milliseconds(20);

// The still-image interface version the service reports for a WIA driver; the handler ignores it.
constexpr DWORD kStiVersion = 2;

// The ids the simulated scanner would report; it is reached through the device monitor, which does not
// look at them.
using doubles::kSimulatedProductId;
using doubles::kSimulatedVendorId;

// Image-composition bits and the flatbed-only scanner type of the device information.
constexpr DWORD kCompositionLineart = 0x01;
constexpr DWORD kCompositionGray = 0x08;
constexpr DWORD kCompositionColor = 0x20;

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
  c.color = (info.dwImageComposition & kCompositionColor) != 0;
  c.gray = (info.dwImageComposition & kCompositionGray) != 0;
  c.lineart = (info.dwImageComposition & kCompositionLineart) != 0;
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

}  // namespace

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

// ---- The job: the session's thread and the frames it hands over -------------------------------------

class Device::Job : public client::ScanObserver {
 public:
  Job(client::ScanSession& session, const Settings& settings, const ScanGeometry& geometry,
      const std::atomic<bool>& cancelled)
      : session_(session), settings_(settings), geometry_(geometry), cancelled_(cancelled) {
    row_.resize(geometry.rowBytes);
  }
  ~Job() override { Finish(); }

  const Settings& JobSettings() const { return settings_; }
  const ScanGeometry& Geometry() const { return geometry_; }

  void Run() {
    thread_ = std::thread([this] {
      client::Outcome outcome = session_.Scan(*this);
      std::lock_guard<std::mutex> lock(mutex_);
      outcome_ = std::move(outcome);
      if (mismatch_) {
        outcome_.status = client::Status::kIo;  // not a stop of the frontend's: see PageBegin
      }
      finished_ = true;
      changed_.notify_all();
    });
  }

  // Ends the job: a session that waits for the next page releases the scanner; one in a page aborts
  // it first, after the block in flight. Returns when the session's thread is done.
  void Finish() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
      changed_.notify_all();
    }
    if (thread_.joinable()) {
      thread_.join();
    }
  }

  // Waits for the next page to begin (true) or the job to end (false, with the outcome in Outcome()).
  // A feeder job goes on to the next sheet only now.
  bool NextPage() {
    std::unique_lock<std::mutex> lock(mutex_);
    ++wanted_;
    changed_.notify_all();
    while (begun_ < wanted_ && !finished_ && !cancelled_.load()) {
      changed_.wait_for(lock, kPoll);
    }
    return begun_ >= wanted_;
  }

  // Between pages of a feeder job: the session waits for NextPage. (A flatbed job ends after its page.)
  bool BetweenPages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return settings_.feeder && !finished_ && pageEnded_ && buffered() == 0;
  }
  bool InPage() {
    std::lock_guard<std::mutex> lock(mutex_);
    return begun_ > 0 && !(pageEnded_ && buffered() == 0) && !finished_;
  }

  SANE_Status Read(SANE_Byte* data, SANE_Int maxLength, SANE_Int* length) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (cancelled_.load()) {
        return SANE_STATUS_CANCELLED;
      }
      if (buffered() != 0) {
        break;
      }
      if (pageEnded_) {
        return SANE_STATUS_EOF;
      }
      if (finished_ || abandoned_) {
        // The page stopped short; the session has said why (or is about to).
        while (!finished_) {
          changed_.wait_for(lock, kPoll);
        }
        const SANE_Status status = SaneStatusOf(outcome_);
        return status == SANE_STATUS_GOOD ? SANE_STATUS_IO_ERROR : status;
      }
      changed_.wait_for(lock, kPoll);
    }
    const size_t count = std::min(buffered(), static_cast<size_t>(maxLength));
    std::memcpy(data, buffer_.data() + head_, count);
    head_ += count;
    if (head_ == buffer_.size()) {
      buffer_.clear();
      head_ = 0;
    }
    *length = static_cast<SANE_Int>(count);
    changed_.notify_all();
    return SANE_STATUS_GOOD;
  }

  client::Outcome Outcome() {
    std::lock_guard<std::mutex> lock(mutex_);
    return outcome_;
  }

  // ---- The session's side ----
  bool PageBegin(const client::PageLayout& page, std::string* error) override {
    if (Stopping()) {
      *error = "cancelled";
      return false;
    }
    if (page.width != geometry_.scanWidth || page.height != geometry_.scanHeight ||
        page.bytesPerLine != geometry_.deliveredRowBytes) {
      *error = "the session planned " + std::to_string(page.width) + " x " + std::to_string(page.height) +
               " pixels, the backend " + std::to_string(geometry_.scanWidth) + " x " +
               std::to_string(geometry_.scanHeight);
      Debug(kDebugErrors, "%s", error->c_str());
      std::lock_guard<std::mutex> lock(mutex_);
      mismatch_ = true;
      return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ++begun_;
    pageEnded_ = false;
    rowIndex_ = 0;
    changed_.notify_all();
    Debug(kDebugSteps, "page %u: %u x %u pixels at %u dpi", page.number, geometry_.width, geometry_.height, page.dpi);
    return true;
  }

  // A false return makes the session abort the scanner and release it.
  bool PageRows(const uint8_t* rows, uint32_t count, std::string* error) override {
    for (uint32_t i = 0; i < count; ++i, ++rowIndex_) {
      if (rowIndex_ < geometry_.top) {
        continue;
      }
      CropRow(rows + static_cast<size_t>(i) * geometry_.deliveredRowBytes, geometry_, settings_.mode, row_.data());
      std::unique_lock<std::mutex> lock(mutex_);
      while (buffered() + row_.size() > kBufferBytes && !cancelled_.load() && !stop_) {
        changed_.wait_for(lock, kPoll);
      }
      if (cancelled_.load() || stop_) {
        *error = "cancelled";
        return false;
      }
      buffer_.insert(buffer_.end(), row_.begin(), row_.end());
      changed_.notify_all();
    }
    return true;
  }

  bool PageEnd(std::string* error) override {
    std::unique_lock<std::mutex> lock(mutex_);
    pageEnded_ = true;
    changed_.notify_all();
    if (!settings_.feeder) {
      return true;
    }
    // The next sheet is fed only when the frontend asks for it.
    while (wanted_ <= begun_ && !cancelled_.load() && !stop_) {
      changed_.wait_for(lock, kPoll);
    }
    if (wanted_ > begun_) {
      return true;
    }
    *error = "no further page wanted";
    return false;
  }

  void PageAbandoned() override {
    std::lock_guard<std::mutex> lock(mutex_);
    abandoned_ = !pageEnded_;
    changed_.notify_all();
  }

  void Waiting(HRESULT result, uint32_t repeat, uint32_t repeats) override {
    Debug(kDebugSteps, "the scanner is %s: repeat %u of %u", result == WIA_ERROR_BUSY ? "busy" : "warming up", repeat,
          repeats);
  }

 private:
  size_t buffered() const { return buffer_.size() - head_; }
  bool Stopping() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stop_ || cancelled_.load();
  }

  client::ScanSession& session_;
  const Settings settings_;
  const ScanGeometry geometry_;
  const std::atomic<bool>& cancelled_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<uint8_t> buffer_;
  size_t head_ = 0;
  std::vector<uint8_t> row_;
  uint32_t rowIndex_ = 0;  // the session's thread only
  uint32_t begun_ = 0;
  uint32_t wanted_ = 0;
  bool pageEnded_ = false;
  bool abandoned_ = false;
  bool stop_ = false;
  bool mismatch_ = false;  // the session's page is not the one planned here
  std::atomic<bool> finished_{false};
  client::Outcome outcome_;
};

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
    opened->simulated_ = std::make_unique<SimulatedScanner>(config.conditions);
  } else {
    // The direct route: the arbitration module claims the scanner's interface for each port cycle.
    winplat::AddUsbScannerIds(entry.id.vendor, entry.id.product);
    winplat::InstallUsbPortArbitration();
  }
  const bool deviceMonitor = entry.simulated;
  const UsbId id = entry.simulated ? UsbId{kSimulatedVendorId, kSimulatedProductId} : entry.id;
  if (!opened->key_.Create(client::ProcessKeyPath("Software\\sane-wiastiio"), &error) ||
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
  session_ = std::make_unique<client::ScanSession>(exports_);
  const client::Outcome outcome = session_->Open(&control_, key_.Parameters(), DebugLevel() >= kDebugLibrary);
  if (!outcome.Ok()) {
    Debug(kDebugErrors, "%s", outcome.message.c_str());
    return SaneStatusOf(outcome);
  }
  return SANE_STATUS_GOOD;
}

Device::~Device() {
  // A job still waiting for a busy scanner need not wait any longer: the session stops too.
  if (job_ != nullptr && session_ != nullptr) {
    session_->Cancel();
  }
  EndJob();
  session_.reset();
  if (simulated_ != nullptr) {
    Debug(kDebugSteps, "closed: the simulated scanner's unit is %s, its port %s",
          simulated_->UnitReserved() ? "still reserved" : "free", simulated_->PortHeld() ? "still held" : "free");
  }
  winplat::SetDebugStringSink(nullptr);
}

void Device::EndJob() {
  if (job_ == nullptr) {
    return;
  }
  job_->Finish();
  const client::Outcome outcome = job_->Outcome();
  Debug(kDebugSteps, "job ended: %s", outcome.message.empty() ? "done" : outcome.message.c_str());
  job_.reset();
}

SANE_Status Device::Control(SANE_Int index, SANE_Action action, void* value, SANE_Int* info) {
  if (action != SANE_ACTION_GET_VALUE && job_ != nullptr && job_->InPage()) {
    return SANE_STATUS_DEVICE_BUSY;
  }
  return options_->Control(index, action, value, info);
}

SANE_Status Device::Parameters(SANE_Parameters* parameters) {
  if (parameters == nullptr) {
    return SANE_STATUS_INVAL;
  }
  if (job_ != nullptr && job_->InPage()) {
    *parameters = ParametersOf(job_->Geometry(), job_->JobSettings().mode);
    return SANE_STATUS_GOOD;
  }
  const Settings s = options_->Current();
  *parameters = ParametersOf(Plan(s.window, s.dpi, s.mode, options_->AreaWidth(), options_->AreaHeight()), s.mode);
  return SANE_STATUS_GOOD;
}

bool Device::JobMatches(const Settings& s) const {
  const Settings& j = job_->JobSettings();
  return j.mode == s.mode && j.feeder == s.feeder && j.dpi == s.dpi && j.window.tlX == s.window.tlX &&
         j.window.tlY == s.window.tlY && j.window.brX == s.window.brX && j.window.brY == s.window.brY;
}

SANE_Status Device::Start() {
  if (cancelled_.load()) {
    EndJob();
    cancelled_.store(false);
  }
  const Settings s = options_->Current();
  if (job_ != nullptr && job_->BetweenPages() && JobMatches(s)) {
    if (job_->NextPage()) {
      return SANE_STATUS_GOOD;
    }
    const client::Outcome outcome = job_->Outcome();
    EndJob();
    // The feeder ran empty after the pages before: the job is done.
    const SANE_Status status = outcome.Ok() ? SANE_STATUS_NO_DOCS : SaneStatusOf(outcome);
    Debug(kDebugSteps, "start: %s", StatusText(status));
    return status;
  }
  EndJob();

  const ScanGeometry g = Plan(s.window, s.dpi, s.mode, options_->AreaWidth(), options_->AreaHeight());
  if (g.width == 0 || g.height == 0) {
    Debug(kDebugErrors, "start: the scan area holds no whole pixel at %u dpi", s.dpi);
    return SANE_STATUS_INVAL;
  }
  client::ScanRequest request;
  request.source = s.feeder ? client::Source::kFeeder : client::Source::kFlatbed;
  request.mode = ClientMode(s.mode);
  request.dpi = s.dpi;
  // Lengths that are exactly the pixels wanted.
  request.width = g.scanWidth * 1000.0 / s.dpi;
  request.height = g.scanHeight * 1000.0 / s.dpi;
  request.retries = config_.retries;
  request.retryDelayMs = config_.retryDelayMs;
  client::PageLayout layout;
  const client::Outcome planned = session_->Plan(request, &layout);
  if (!planned.Ok()) {
    Debug(kDebugErrors, "start: %s", planned.message.c_str());
    return SaneStatusOf(planned);
  }
  Debug(kDebugSteps, "start: %s, %s, %u dpi, window %u x %u from %u,%u", s.feeder ? "ADF" : "Flatbed",
        client::ModeName(request.mode), s.dpi, g.width, g.height, g.left, g.top);
  job_ = std::make_unique<Job>(*session_, s, g, cancelled_);
  job_->Run();
  if (job_->NextPage()) {
    return SANE_STATUS_GOOD;
  }
  if (cancelled_.load()) {
    return SANE_STATUS_CANCELLED;
  }
  const client::Outcome outcome = job_->Outcome();
  EndJob();
  const SANE_Status status = outcome.Ok() ? SANE_STATUS_NO_DOCS : SaneStatusOf(outcome);
  Debug(kDebugSteps, "start: %s (%s)", StatusText(status), outcome.message.c_str());
  return status;
}

SANE_Status Device::Read(SANE_Byte* data, SANE_Int maxLength, SANE_Int* length) {
  if (length == nullptr || data == nullptr || maxLength < 0) {
    return SANE_STATUS_INVAL;
  }
  *length = 0;
  if (cancelled_.load()) {
    return SANE_STATUS_CANCELLED;
  }
  if (job_ == nullptr) {
    return SANE_STATUS_INVAL;
  }
  const SANE_Status status = job_->Read(data, maxLength, length);
  if (status != SANE_STATUS_GOOD && status != SANE_STATUS_EOF) {
    Debug(kDebugSteps, "read: %s", StatusText(status));
  }
  return status;
}

void Device::Cancel() {
  // The job's thread sees the flag after the block in flight and has the session abort and release
  // the scanner; the next call of the frontend's thread waits for that.
  cancelled_.store(true);
}

}  // namespace wiastiio_sane
