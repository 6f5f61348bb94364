#include "BenchRig.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "WIASTIIO.h"
#include "client/ScanSession.h"
#include "platform/control.h"

namespace bench {

const EscapeInfo kEscapes[] = {
    {EscapeKind::kDeviceInfo, "GET_DEVICE_INFO (cached)"},
    {EscapeKind::kReserve, "ESC_RESERVE_UNIT"},
    {EscapeKind::kRelease, "ESC_RELEASE_UNIT"},
    {EscapeKind::kSetWindow, "ESC_SET_WINDOW_PARAMETER"},
    {EscapeKind::kObjectPosition, "ESC_OBJECT_POSITION"},
    {EscapeKind::kRead, "ESC_READ"},
    {EscapeKind::kReadImage, "ESC_READ_IMAGE (1 KiB block)"},
    {EscapeKind::kAbort, "ESC_ABORT"},
};
const size_t kEscapeCount = sizeof(kEscapes) / sizeof(kEscapes[0]);

namespace {

constexpr WORD kVid = 0x1A2B;
constexpr WORD kPid = 0x3C4D;

// A benchmark that cannot set up its stage measures nothing worth reporting: stop at once.
void Require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "bench: %s\n", what);
    std::exit(2);
  }
}

void StoreBigEndian32(uint8_t* p, uint32_t value) {
  p[0] = static_cast<uint8_t>(value >> 24);
  p[1] = static_cast<uint8_t>(value >> 16);
  p[2] = static_cast<uint8_t>(value >> 8);
  p[3] = static_cast<uint8_t>(value);
}

void StoreBigEndian16(uint8_t* p, uint16_t value) {
  p[0] = static_cast<uint8_t>(value >> 8);
  p[1] = static_cast<uint8_t>(value);
}

void FillReadAnswer(uint8_t* answer, uint8_t msgCode, uint32_t blockSize) {
  std::memset(answer, 0, scansim::kResponseSize);
  answer[scansim::kOffStartCode] = scansim::kCommandPrefix;
  answer[scansim::kOffStatus] = scansim::kStatusGood;
  answer[scansim::kOffLength] = scansim::kResponseLengthByte;
  answer[scansim::kOffMsgCode] = msgCode;
  StoreBigEndian32(answer + scansim::kOffDataSize, blockSize);
  StoreBigEndian16(answer + scansim::kOffHeight, 1);
  StoreBigEndian16(answer + scansim::kOffWidth, static_cast<uint16_t>(std::min<uint32_t>(blockSize, 0xFFFF)));
  answer[scansim::kOffScannerState] = scansim::kScannerStateNoError & 0xFF;
  answer[scansim::kOffScannerState + 1] = scansim::kScannerStateNoError >> 8;
}

template <typename F>
F EntryOf(HMODULE module, const char* name) {
  FARPROC entry = GetProcAddress(module, name);
  Require(entry != nullptr, name);
  return reinterpret_cast<F>(reinterpret_cast<void (*)()>(entry));
}

}  // namespace

// ---- InMemoryScanner ---------------------------------------------------------------------------------

InMemoryScanner::InMemoryScanner() {
  goodAnswer_[scansim::kOffStartCode] = scansim::kCommandPrefix;
  goodAnswer_[scansim::kOffStatus] = scansim::kStatusGood;
  goodAnswer_[scansim::kOffLength] = scansim::kResponseLengthByte;
  goodAnswer_[scansim::kOffMsgCode] = scansim::kMsgCodeLink;
  PrepareBlocks(kSmallBlockBytes);
}

void InMemoryScanner::PrepareBlocks(uint32_t imageBytes, uint32_t blocksPerPage, uint32_t lastImageBytes) {
  blockSize_ = imageBytes + static_cast<uint32_t>(scansim::kTrailerSize);
  lastBlockSize_ = (lastImageBytes != 0 ? lastImageBytes : imageBytes) + static_cast<uint32_t>(scansim::kTrailerSize);
  blocksPerPage_ = blocksPerPage;
  nextBlock_ = 0;
  // Something other than zeros, so that no layer can get away with not copying.
  block_.resize(std::max(blockSize_, lastBlockSize_));
  for (size_t i = 0; i < block_.size(); ++i) {
    block_[i] = static_cast<uint8_t>(i * 7 + 3);
  }
  FillReadAnswer(readAnswer_, scansim::kMsgCodeLink, blockSize_);
  FillReadAnswer(lastReadAnswer_, scansim::kMsgCodeEob, lastBlockSize_);
}

bool InMemoryScanner::Write(const uint8_t* data, uint32_t length, uint32_t* written) {
  pendingOp_ = length > 2 ? data[2] : 0;
  if (pendingOp_ == scansim::kOpObjectPosition) {
    nextBlock_ = 0;
  }
  traffic_ += length;
  *written = length;
  return true;
}

bool InMemoryScanner::Read(uint8_t* data, uint32_t length, uint32_t* read) {
  const uint8_t* answer = goodAnswer_;
  uint32_t size = scansim::kResponseSize;
  if (pendingOp_ == scansim::kOpRead) {
    answer = LastBlockNext() ? lastReadAnswer_ : readAnswer_;
  } else if (pendingOp_ == scansim::kOpReadImage) {
    answer = block_.data();
    size = LastBlockNext() ? lastBlockSize_ : blockSize_;
    nextBlock_ = LastBlockNext() ? 0 : nextBlock_ + 1;
  }
  const uint32_t moved = std::min(length, size);
  std::memcpy(data, answer, moved);
  traffic_ += moved;
  *read = moved;
  return true;
}

// ---- Rig ---------------------------------------------------------------------------------------------

Rig::Rig(bool debugOutput) {
  rig_.SetDeviceData(doubles::Route::kDeviceMonitor, kVid, kPid);
  Require(InitializeDll(debugOutput ? 1 : 0) == S_OK, "InitializeDll");
  Require(Initialize(rig_.Control(), 0, rig_.Parameters()) == S_OK, "Initialize");

  // The device information comes once from the rig's simulator, which can describe itself; a scan
  // asks for it again and is then answered from the cache, which is what is measured.
  DWORD actual = 0;
  Require(STIEscape(GET_DEVICE_INFO, nullptr, 0, &info_, sizeof(info_), &actual) == S_OK, "GET_DEVICE_INFO");
  rig_.Connect(&scanner_);

  // The bare transfers are made through the module's own entry points while this program holds it;
  // the library still loads and frees it each port cycle as it always does.
  monitorModule_ = LoadLibraryA("prtmon64.dll");
  Require(monitorModule_ != nullptr, "loading prtmon64.dll");
  entries_.PortAcquire = EntryOf<PFN_PORTACQUIRE>(monitorModule_, "PortAcquire");
  entries_.PortRelease = EntryOf<PFN_PORTRELEASE>(monitorModule_, "PortRelease");
  entries_.DeviceOpen = EntryOf<PFN_DEVICEOPEN>(monitorModule_, "DeviceOpen");
  entries_.DeviceRead = EntryOf<PFN_DEVICEREAD>(monitorModule_, "DeviceRead");
  entries_.DeviceWrite = EntryOf<PFN_DEVICEWRITE>(monitorModule_, "DeviceWrite");
  entries_.DeviceClose = EntryOf<PFN_DEVICECLOSE>(monitorModule_, "DeviceClose");

  std::memcpy(windowCommand_, scansim::kWindowHeader, sizeof(scansim::kWindowHeader));
  window_ = ColourWindow(2480, 3508, 5);
  out_.resize(1 << 20);
  ForgetCalls();
}

Rig::~Rig() {
  TerminateDll();
  FreeLibrary(monitorModule_);
  winplat::ClearDebugStrings();
  const std::vector<std::string> violations = rig_.Violations();
  Require(violations.empty(), violations.empty() ? "" : violations.front().c_str());
}

HRESULT Rig::Reserve() {
  const HRESULT hr = STIEscape(ESC_RESERVE_UNIT, nullptr, 0, nullptr, 0, nullptr);
  reserved_ = reserved_ || hr == S_OK;
  return hr;
}

HRESULT Rig::Release() {
  reserved_ = false;
  return STIEscape(ESC_RELEASE_UNIT, nullptr, 0, nullptr, 0, nullptr);
}

HRESULT Rig::SetWindow(const SWP_PARAMETER& window) {
  SWP_PARAMETER copy = window;  // the handler reads the record; the minidriver keeps its own
  return STIEscape(ESC_SET_WINDOW_PARAMETER, &copy, sizeof(copy), nullptr, 0, nullptr);
}

HRESULT Rig::ObjectPosition() {
  return STIEscape(ESC_OBJECT_POSITION, nullptr, 0, nullptr, 0, nullptr);
}

HRESULT Rig::Read(READ_RESPONSE* response) {
  return STIEscape(ESC_READ, nullptr, 0, response, sizeof(*response), nullptr);
}

HRESULT Rig::ReadImage(void* out, DWORD outSize, DWORD* actual) {
  return STIEscape(ESC_READ_IMAGE, nullptr, 0, out, outSize, actual);
}

SWP_PARAMETER Rig::ColourWindow(DWORD widthPixels, DWORD heightLines, BYTE resolutionCode) {
  return client::WindowRecord(widthPixels, heightLines, resolutionCode, client::Mode::kColour, false);
}

void Rig::Exchange(BYTE op, void* answer, DWORD answerBytes) {
  BYTE command[4] = {COMMAND_ESCAPE, COMMAND_PREFIX, op, 0};
  const bool window = op == OP_SET_WINDOW;
  DWORD moved = 0;
  entries_.DeviceWrite(window ? windowCommand_ : command, window ? SWP_COMMAND_SIZE : sizeof(command), &moved);
  entries_.DeviceRead(answer, answerBytes, &moved);
}

void Rig::PrepareFor(EscapeKind kind) {
  // A cached GET_DEVICE_INFO still ends a port cycle, so it is asked, as a minidriver asks it, outside
  // a reservation.
  if (kind == EscapeKind::kDeviceInfo || kind == EscapeKind::kReserve || kind == EscapeKind::kRelease) {
    if (reserved_) {
      Require(Release() == S_OK, "ESC_RELEASE_UNIT");
    }
    return;
  }
  if (!reserved_) {
    Require(Reserve() == S_OK, "ESC_RESERVE_UNIT");
  }
  scanner_.PrepareBlocks(kSmallBlockBytes);
  Require(SetWindow(window_) == S_OK, "ESC_SET_WINDOW_PARAMETER");
  Require(ObjectPosition() == S_OK, "ESC_OBJECT_POSITION");
  ForgetCalls();
}

void Rig::Before(EscapeKind kind, Mode mode) {
  if (kind == EscapeKind::kRelease) {
    if (mode == Mode::kLibrary) {
      Reserve();
    } else {
      entries_.PortAcquire(PORT_MODE_DEVICE_MONITOR);
      entries_.DeviceOpen(3, 3, kVid, kPid, 0);
    }
  } else if (kind == EscapeKind::kReadImage && mode == Mode::kLibrary) {
    Read(&readAnswer_);
  }
}

HRESULT Rig::Run(EscapeKind kind, Mode mode) {
  DWORD actual = 0;
  if (mode == Mode::kLibrary) {
    switch (kind) {
      case EscapeKind::kDeviceInfo:
        return STIEscape(GET_DEVICE_INFO, nullptr, 0, &info_, sizeof(info_), &actual);
      case EscapeKind::kReserve:
        return Reserve();
      case EscapeKind::kRelease:
        return Release();
      case EscapeKind::kSetWindow:
        return SetWindow(window_);
      case EscapeKind::kObjectPosition:
        return ObjectPosition();
      case EscapeKind::kRead:
        return Read(&readAnswer_);
      case EscapeKind::kReadImage:
        return ReadImage(out_.data(), static_cast<DWORD>(out_.size()), &actual);
      case EscapeKind::kAbort:
        return STIEscape(ESC_ABORT, nullptr, 0, nullptr, 0, nullptr);
    }
    return E_NOTIMPL;
  }
  switch (kind) {
    case EscapeKind::kDeviceInfo:
      break;  // answered from the cache: nothing reaches the port
    case EscapeKind::kReserve:
      entries_.PortAcquire(PORT_MODE_DEVICE_MONITOR);
      entries_.DeviceOpen(3, 3, kVid, kPid, 0);
      Exchange(OP_RESERVE_UNIT, answer_, RESPONSE_SIZE);
      break;
    case EscapeKind::kRelease:
      Exchange(OP_RELEASE_UNIT, answer_, RESPONSE_SIZE);
      entries_.DeviceClose(1);
      entries_.PortRelease(PORT_MODE_DEVICE_MONITOR);
      break;
    case EscapeKind::kSetWindow:
      Exchange(OP_SET_WINDOW, answer_, RESPONSE_SIZE);
      break;
    case EscapeKind::kObjectPosition:
      Exchange(OP_OBJECT_POSITION, answer_, RESPONSE_SIZE);
      break;
    case EscapeKind::kRead:
      Exchange(OP_READ, answer_, RESPONSE_SIZE);
      break;
    case EscapeKind::kReadImage:
      Exchange(OP_READ_IMAGE, out_.data(), scanner_.BlockSize());
      break;
    case EscapeKind::kAbort:
      Exchange(OP_ABORT, answer_, RESPONSE_SIZE);
      break;
  }
  return S_OK;
}

void Rig::After(EscapeKind kind, Mode mode) {
  if (kind != EscapeKind::kReserve) {
    return;
  }
  if (mode == Mode::kLibrary) {
    Release();
  } else {
    entries_.DeviceClose(1);
    entries_.PortRelease(PORT_MODE_DEVICE_MONITOR);
  }
}

}  // namespace bench
