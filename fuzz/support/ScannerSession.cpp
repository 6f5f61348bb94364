#include "support/ScannerSession.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <string>

#include "WIASTIIO.h"
#include "doubles/linux/UsbscanDevice.h"
#include "handler/STIIOHandler.h"
#include "platform/control.h"

namespace fuzzing {

namespace {

// What a failing port call reports through GetLastError: the errors a USB port shows, and 0.
constexpr uint32_t kErrorSemTimeout = 121;  // a read that found nothing to take
const uint32_t kErrors[8] = {
    ERROR_GEN_FAILURE,   kErrorSemTimeout,        ERROR_INVALID_HANDLE, ERROR_OPERATION_ABORTED, ERROR_IO_DEVICE, 0,
    ERROR_ACCESS_DENIED, ERROR_NOT_ENOUGH_MEMORY,
};

const uint8_t kReadCommand[4] = {0x1B, 0xA8, OP_READ, 0x00};

constexpr uint32_t kSentinel = 0xA5A5A5A5;
constexpr uint8_t kSentinelByte = 0xA5;

uint32_t Be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}
uint16_t Be16(const uint8_t* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
uint32_t Le32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
uint16_t Le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

bool OneOf(HRESULT hr, std::initializer_list<HRESULT> allowed) {
  return std::find(allowed.begin(), allowed.end(), hr) != allowed.end();
}

bool AllBytes(const uint8_t* p, size_t n, uint8_t value) {
  return std::all_of(p, p + n, [value](uint8_t b) { return b == value; });
}

bool ModuleLoaded(const char* file) {
  return winplat::ModuleStatistics(file).references > 0;
}

bool NoModuleLoaded() {
  return !ModuleLoaded("prtmon64.dll") && !ModuleLoaded("portarb.dll");
}

size_t AcquireCalls() {
  return DeviceMonitor().CallCount(doubles::EntryPoint::PortAcquire) +
         PortArbitration().CallCount(doubles::EntryPoint::PortAcquire);
}

size_t ModuleLoads() {
  return winplat::ModuleStatistics("prtmon64.dll").loads + winplat::ModuleStatistics("portarb.dll").loads;
}

// The factor from a resolution code's dpi to the scanner's 1200-dpi units; 0 for a code the handler
// refuses (no resolution, or 2400 dpi, which has no whole-number factor).
DWORD WindowFactor(uint8_t code) {
  switch (code) {
    case 0:
      return 16;
    case 2:
      return 8;
    case 5:
      return 4;
    case 7:
      return 2;
    case 8:
      return 1;
    case 9:
      return 6;
    case 10:
      return 12;
    default:
      return 0;
  }
}

bool KnownEscape(uint32_t code) {
  switch (code) {
    case GET_DEVICE_INFO:
    case ESC_RESERVE_UNIT:
    case ESC_SET_WINDOW_PARAMETER:
    case ESC_OBJECT_POSITION:
    case ESC_READ:
    case ESC_ABORT:
    case ESC_READ_IMAGE:
    case ESC_RELEASE_UNIT:
      return true;
    default:
      return false;
  }
}

// The command byte each escape sends, and the bytes its answer is asked for in.
struct Exchange {
  uint8_t opcode;
  bool checksCounts;
};

bool ExchangeOf(OpKind kind, Exchange* exchange) {
  switch (kind) {
    case OpKind::kDeviceInfo:
      *exchange = {OP_INQUIRY, true};
      return true;
    case OpKind::kReserve:
      *exchange = {OP_RESERVE_UNIT, true};
      return true;
    case OpKind::kSetWindow:
      *exchange = {OP_SET_WINDOW, false};
      return true;
    case OpKind::kObjectPosition:
      *exchange = {OP_OBJECT_POSITION, false};
      return true;
    case OpKind::kRead:
      *exchange = {OP_READ, true};
      return true;
    case OpKind::kAbort:
      *exchange = {OP_ABORT, false};
      return true;
    case OpKind::kReadImage:
      *exchange = {OP_READ_IMAGE, true};
      return true;
    case OpKind::kRelease:
      *exchange = {OP_RELEASE_UNIT, false};
      return true;
    default:
      return false;
  }
}

CSTIIOHandler& Handler() {
  FUZZ_CHECK(g_pSTIIOHandler != nullptr, "the handler is gone");
  return *g_pSTIIOHandler;
}

}  // namespace

// ---- Port answers ----------------------------------------------------------------------------------

uint32_t PortAnswer::Count(uint32_t length) const {
  switch (mode) {
    case CountMode::kFull:
      return length;
    case CountMode::kShort:
      return length == 0 ? 0 : amount % length;
    case CountMode::kNone:
      return 0;
    case CountMode::kOver:
      return length + 1 + (amount & 0xFFu);
  }
  return 0;
}

uint32_t PortAnswer::Error() const {
  return kErrors[error & 7u];
}

uint8_t PortAnswer::ErrorIndex(uint32_t code) {
  const auto* found = std::find(std::begin(kErrors), std::end(kErrors), code);
  return found == std::end(kErrors) ? 0 : static_cast<uint8_t>(found - std::begin(kErrors));
}

void PortAnswer::Encode(ByteWriter& out, bool read) const {
  out.U8(static_cast<uint8_t>(static_cast<uint8_t>(mode) | (fail ? 4u : 0u) | ((error & 7u) << 3)));
  if (mode == CountMode::kShort || mode == CountMode::kOver) {
    out.U16(amount);
  }
  if (read) {
    const size_t n = std::min<size_t>(literal.size(), 255);
    out.U8(static_cast<uint8_t>(n));
    out.Bytes(literal.data(), n);
    out.U8(fill);
  }
}

PortAnswer PortAnswer::Decode(ByteReader& in, bool read) {
  PortAnswer answer;
  const uint8_t control = in.U8();
  answer.mode = static_cast<CountMode>(control & 3u);
  answer.fail = (control & 4u) != 0;
  answer.error = static_cast<uint8_t>((control >> 3) & 7u);
  if (answer.mode == CountMode::kShort || answer.mode == CountMode::kOver) {
    answer.amount = in.U16();
  }
  if (read) {
    answer.literal = in.Bytes(in.U8());
    answer.fill = in.U8();
  }
  return answer;
}

// ---- The scanner end ---------------------------------------------------------------------------------

bool ScannerEnd::Write(const uint8_t* data, uint32_t length, uint32_t* written) {
  const PortAnswer answer = source_.Write(data, length);
  Transfer transfer;
  transfer.write = true;
  transfer.length = length;
  transfer.count = answer.Count(length);
  transfer.ok = !answer.fail;
  if (data != nullptr) {
    transfer.bytes.assign(data, data + length);
  }
  readCommandPending_ =
      data != nullptr && length == sizeof(kReadCommand) && std::memcmp(data, kReadCommand, sizeof(kReadCommand)) == 0;
  lastError_ = answer.fail ? answer.Error() : 0;
  if (written != nullptr) {
    *written = transfer.count;
  }
  transfers_.push_back(std::move(transfer));
  return !answer.fail;
}

bool ScannerEnd::Read(uint8_t* data, uint32_t length, uint32_t* read) {
  const PortAnswer answer = source_.Read(length);
  Transfer transfer;
  transfer.length = length;
  transfer.count = answer.Count(length);
  transfer.ok = !answer.fail;
  // A failing call may still have moved its bytes; never more than the buffer holds.
  const uint32_t delivered = data == nullptr ? 0 : std::min(transfer.count, length);
  const size_t literal = std::min<size_t>(answer.literal.size(), delivered);
  if (delivered > 0) {
    std::copy_n(answer.literal.begin(), literal, data);
    std::memset(data + literal, answer.fill, delivered - literal);
  }
  if (readCommandPending_ && delivered >= 8) {
    uint32_t size = Be32(data + 4);
    if (size > kMaxBlock) {
      size %= kMaxBlock + 1;
      data[4] = static_cast<uint8_t>(size >> 24);
      data[5] = static_cast<uint8_t>(size >> 16);
      data[6] = static_cast<uint8_t>(size >> 8);
      data[7] = static_cast<uint8_t>(size);
    }
  }
  readCommandPending_ = false;
  transfer.bytes.assign(data, data + delivered);
  lastError_ = answer.fail ? answer.Error() : 0;
  if (read != nullptr) {
    *read = transfer.count;
  }
  transfers_.push_back(std::move(transfer));
  return !answer.fail;
}

// ---- Setup and operations --------------------------------------------------------------------------

// Zero bits mean the friendly answer, so that a short input describes a working scanner.
void SessionSetup::Encode(ByteWriter& out) const {
  out.U8(static_cast<uint8_t>((direct ? 1u : 0u) | (debug ? 2u : 0u) | (log ? 4u : 0u)));
  out.U8(static_cast<uint8_t>((answers.acquire ? 0u : 1u) | (answers.release ? 0u : 2u) | (answers.open ? 0u : 4u) |
                              (answers.close ? 0u : 8u)));
  out.U8(answers.absent);
  out.U16(vid);
  out.U16(pid);
  out.U8(static_cast<uint8_t>(ports.size()));
  for (const UsbPort& port : ports) {
    out.U8(port.index);
    out.U16(static_cast<uint16_t>(port.vid ^ vid));
    out.U16(static_cast<uint16_t>(port.pid ^ pid));
    out.U8(static_cast<uint8_t>((port.failOpen ? 1u : 0u) | (port.failDescriptor ? 2u : 0u)));
  }
}

SessionSetup SessionSetup::Decode(ByteReader& in) {
  SessionSetup setup;
  const uint8_t flags = in.U8();
  setup.direct = (flags & 1u) != 0;
  setup.debug = (flags & 2u) != 0;
  setup.log = (flags & 4u) != 0;
  const uint8_t refused = in.U8();
  setup.answers.acquire = (refused & 1u) == 0;
  setup.answers.release = (refused & 2u) == 0;
  setup.answers.open = (refused & 4u) == 0;
  setup.answers.close = (refused & 8u) == 0;
  setup.answers.absent = static_cast<uint8_t>(in.U8() & 0x3Fu);
  setup.vid = in.U16();
  setup.pid = in.U16();
  const uint8_t ports = static_cast<uint8_t>(in.U8() % 4u);
  for (uint8_t i = 0; i < ports; ++i) {
    UsbPort port;
    port.index = in.U8();
    port.vid = static_cast<uint16_t>(in.U16() ^ setup.vid);
    port.pid = static_cast<uint16_t>(in.U16() ^ setup.pid);
    const uint8_t portFlags = in.U8();
    port.failOpen = (portFlags & 1u) != 0;
    port.failDescriptor = (portFlags & 2u) != 0;
    setup.ports.push_back(port);
  }
  return setup;
}

void Op::Encode(ByteWriter& out) const {
  out.U8(static_cast<uint8_t>(kind));
  switch (kind) {
    case OpKind::kSetWindow:
      out.Bytes(window.data(), window.size());
      break;
    case OpKind::kUnknownEscape:
      out.U32(value);
      break;
    case OpKind::kStatus:
      out.U8(flags);
      out.U32(value);
      break;
    case OpKind::kRawRead:
    case OpKind::kRawWrite:
      out.U8(flags);
      out.U16(static_cast<uint16_t>(value));
      break;
    case OpKind::kContention:
      out.U8(flags);
      out.U8(absent);
      break;
    case OpKind::kDiagnostic:
    case OpKind::kInitialize:
    case OpKind::kOther:
      out.U8(flags);
      break;
    default:
      break;
  }
}

Op Op::Decode(ByteReader& in) {
  Op op;
  op.kind = static_cast<OpKind>(in.U8() % static_cast<uint8_t>(OpKind::kCount));
  switch (op.kind) {
    case OpKind::kSetWindow: {
      const std::vector<uint8_t> record = in.Bytes(op.window.size());
      std::copy(record.begin(), record.end(), op.window.begin());
      break;
    }
    case OpKind::kUnknownEscape:
      op.value = in.U32();
      break;
    case OpKind::kStatus:
      op.flags = in.U8();
      op.value = in.U32();
      break;
    case OpKind::kRawRead:
    case OpKind::kRawWrite:
      op.flags = in.U8();
      op.value = in.U16();
      break;
    case OpKind::kContention:
      op.flags = in.U8();
      op.absent = static_cast<uint8_t>(in.U8() & 0x3Fu);
      break;
    case OpKind::kDiagnostic:
    case OpKind::kInitialize:
    case OpKind::kOther:
      op.flags = in.U8();
      break;
    default:
      break;
  }
  return op;
}

// ---- The session -----------------------------------------------------------------------------------

// What the checks of an operation compare against.
struct ScannerSession::Snapshot {
  BOOL reserved;
  DWORD imageSize;
  BOOL retry;
  BOOL infoValid;
  DWORD scannerType;
  size_t acquireCalls;
  size_t moduleLoads;
  bool monitorLoaded;
  bool arbitrationLoaded;
};

ScannerSession::ScannerSession(const SessionSetup& setup, AnswerSource& source) : setup_(setup), end_(source) {}

ScannerSession::~ScannerSession() = default;

void ScannerSession::Start() {
  answers_ = setup_.answers;
  releaseRefused_ = answers_.ReleaseRefused();
  closeRefused_ = answers_.CloseRefused();
  FreshPlatform(answers_);
  DeviceMonitor().SetPort(&end_);
  for (const UsbPort& port : setup_.ports) {
    auto device = std::make_shared<doubles::UsbscanDevice>(&end_, port.vid, port.pid);
    device->FailOpen(port.failOpen);
    device->FailDescriptor(port.failDescriptor);
    doubles::PlugUsbscan(port.index, device);
  }
  directRoute_ = setup_.direct;
  key_ = std::make_unique<DeviceKey>();
  key_->SetDword("Vid", setup_.vid);
  key_->SetDword("Pid", setup_.pid);
  key_->SetDword("DeviceMonitor", directRoute_ ? 0 : 1);

  FUZZ_CHECK(InitializeDll(setup_.debug ? 1 : 0) == S_OK, "InitializeDll failed");
  if (setup_.log) {
    Handler().SetWiaLog(&log_);
  }
  DeviceControl control;
  const HRESULT hr = Initialize(&control, 0, key_->Parameters());
  FUZZ_CHECK(hr == S_OK || hr == E_FAIL, "Initialize: unexpected result");
  CSTIIOHandler& h = Handler();
  FUZZ_CHECK(h.m_wVid == setup_.vid && h.m_wPid == setup_.pid, "Initialize: ids not taken from the registry");
  FUZZ_CHECK((h.m_bDeviceMonitor != 0) == !directRoute_, "Initialize: route not taken from the registry");
  FUZZ_CHECK(hr == E_FAIL || NoModuleLoaded(), "Initialize: the probe cycle left its module loaded");
  FUZZ_CHECK(end_.Transfers().empty(), "Initialize: the probe talked to the scanner");
  FUZZ_CHECK(log_.entering == log_.leaving, "a trace scope left open");
  winplat::ClearDebugStrings();
}

HRESULT ScannerSession::Run(const Op& op) {
  CSTIIOHandler& h = Handler();
  const Snapshot before = {h.m_bUnitReserved,    h.m_dwImageBufferSize,           h.m_bReserveRetry,
                           h.m_bDeviceInfoValid, h.m_WiaDeviceInfo.dwScannerType, AcquireCalls(),
                           ModuleLoads(),        ModuleLoaded("prtmon64.dll"),    ModuleLoaded("portarb.dll")};
  end_.Forget();
  Exchange exchange;
  if (ExchangeOf(op.kind, &exchange)) {
    RunEscape(op, before);
  } else {
    RunOther(op, before);
  }
  CheckTransfers(op, before);

  CSTIIOHandler& after = Handler();
  FUZZ_CHECK(after.m_pRawDataBuffer == nullptr, "the image buffer is held between calls");
  FUZZ_CHECK(log_.entering == log_.leaving, "a trace scope left open");
  winplat::ClearDebugStrings();
  return lastResult_;
}

void ScannerSession::RunEscape(const Op& op, const Snapshot& before) {
  DWORD actual = kSentinel;
  HRESULT hr = E_NOTIMPL;
  const auto& transfers = end_.Transfers();

  switch (op.kind) {
    case OpKind::kDeviceInfo: {
      std::unique_ptr<uint8_t[]> out(new uint8_t[sizeof(SCAN_DEVICE_INFO)]);
      std::memset(out.get(), kSentinelByte, sizeof(SCAN_DEVICE_INFO));
      hr = STIEscape(GET_DEVICE_INFO, nullptr, 0, out.get(), sizeof(SCAN_DEVICE_INFO), &actual);
      FUZZ_CHECK(OneOf(hr, {S_OK, PORT_ACQUIRE_FAIL, E_FAIL, E_NOTIMPL, E_OUTOFMEMORY}), "GET_DEVICE_INFO: result");
      FUZZ_CHECK(actual == kSentinel, "GET_DEVICE_INFO wrote the count");
      if (before.infoValid) {
        FUZZ_CHECK(hr == S_OK && transfers.empty(), "GET_DEVICE_INFO: the kept record was not used");
        FUZZ_CHECK(std::memcmp(out.get(), cachedInfo_.data(), cachedInfo_.size()) == 0,
                   "GET_DEVICE_INFO: the kept record changed");
      }
      if (hr != S_OK) {
        FUZZ_CHECK(AllBytes(out.get(), sizeof(SCAN_DEVICE_INFO), kSentinelByte),
                   "GET_DEVICE_INFO: a failed inquiry wrote the record");
        FUZZ_CHECK(!Handler().m_bDeviceInfoValid, "GET_DEVICE_INFO: a failed inquiry was kept");
      } else {
        SCAN_DEVICE_INFO info;
        std::memcpy(&info, out.get(), sizeof(info));
        FUZZ_CHECK(Handler().m_bDeviceInfoValid, "GET_DEVICE_INFO: the record was not kept");
        FUZZ_CHECK(info.nX_Resolutions == info.nY_Resolutions && info.nX_Resolutions >= 0 &&
                       info.nX_Resolutions <= MAX_RESOLUTIONS,
                   "GET_DEVICE_INFO: resolution counts");
        FUZZ_CHECK(info.pX_Resolutions != nullptr && info.pY_Resolutions != nullptr &&
                       info.pX_Resolutions != info.pY_Resolutions,
                   "GET_DEVICE_INFO: resolution arrays");
        static const LONG kDpi[MAX_RESOLUTIONS] = {75, 100, 150, 200, 300, 600, 1200, 2400};
        for (LONG i = 0; i < info.nX_Resolutions; ++i) {
          FUZZ_CHECK(info.pX_Resolutions[i] == info.pY_Resolutions[i], "GET_DEVICE_INFO: X and Y lists differ");
          FUZZ_CHECK(std::find(kDpi, kDpi + MAX_RESOLUTIONS, info.pX_Resolutions[i]) != kDpi + MAX_RESOLUTIONS,
                     "GET_DEVICE_INFO: a resolution the scanner cannot name");
          FUZZ_CHECK(i == 0 || info.pX_Resolutions[i - 1] < info.pX_Resolutions[i],
                     "GET_DEVICE_INFO: resolutions not ascending");
        }
        FUZZ_CHECK(AllBytes(reinterpret_cast<const uint8_t*>(info.szProductID) + 17, 3, 0),
                   "GET_DEVICE_INFO: product text not terminated");
        FUZZ_CHECK(std::find(info.wszFirmwareVersion, info.wszFirmwareVersion + 28, 0) != info.wszFirmwareVersion + 28,
                   "GET_DEVICE_INFO: firmware text not terminated");
        FUZZ_CHECK(info.dwMaxScanTime == MAX_SCAN_TIME_MS && info.dwCompressionType == 0,
                   "GET_DEVICE_INFO: fixed fields");
        FUZZ_CHECK((info.dwScannerType & ~0x1Eu) == 0 && (info.dwImageComposition & ~0x29u) == 0,
                   "GET_DEVICE_INFO: masked fields");
        FUZZ_CHECK(info.dwDocFeederStatus == 0 || info.dwDocFeederStatus == 2 || info.dwDocFeederStatus == 3,
                   "GET_DEVICE_INFO: feeder status");
        FUZZ_CHECK(info.dwScanBedWidth == info.dwDocFeederWidth, "GET_DEVICE_INFO: bed and feeder widths differ");
        if (!before.infoValid) {
          // The answer that was taken: 70 bytes, start code A8, status good.
          FUZZ_CHECK(transfers.size() == 2 && transfers[1].bytes.size() == INQUIRY_RESPONSE_SIZE &&
                         transfers[1].bytes[0] == COMMAND_PREFIX && transfers[1].bytes[1] == STATUS_CODE_GOOD,
                     "GET_DEVICE_INFO: success without a good answer");
          const uint16_t mask = Le16(transfers[1].bytes.data() + 36);
          FUZZ_CHECK(info.nX_Resolutions == __builtin_popcount(mask & 0x3399u),
                     "GET_DEVICE_INFO: resolution count does not follow the answer's mask");
        }
        cachedInfo_.assign(out.get(), out.get() + sizeof(SCAN_DEVICE_INFO));
      }
      FUZZ_CHECK(hr == PORT_ACQUIRE_FAIL || NoModuleLoaded(), "GET_DEVICE_INFO: port not released at its end");
      break;
    }

    case OpKind::kReserve: {
      hr = STIEscape(ESC_RESERVE_UNIT, nullptr, 0, nullptr, 0, &actual);
      FUZZ_CHECK(OneOf(hr, {S_OK, PORT_ACQUIRE_FAIL, E_FAIL, E_NOTIMPL, WIA_ERROR_BUSY, WIA_ERROR_PAPER_EMPTY,
                            WIA_ERROR_PAPER_JAM, WIA_ERROR_WARMING_UP}),
                 "ESC_RESERVE_UNIT: result");
      CSTIIOHandler& h = Handler();
      if (hr == PORT_ACQUIRE_FAIL) {
        FUZZ_CHECK(!before.retry && !h.m_bReserveRetry && transfers.empty(),
                   "ESC_RESERVE_UNIT: refused port, yet a command or a retry");
      } else {
        FUZZ_CHECK((h.m_bReserveRetry != 0) == (hr == WIA_ERROR_BUSY), "ESC_RESERVE_UNIT: retry flag");
      }
      if (before.retry) {
        FUZZ_CHECK(AcquireCalls() == before.acquireCalls && ModuleLoads() == before.moduleLoads,
                   "ESC_RESERVE_UNIT: a retry acquired the port again");
      }
      FUZZ_CHECK(hr == S_OK ? h.m_bUnitReserved != 0 : h.m_bUnitReserved == before.reserved,
                 "ESC_RESERVE_UNIT: reservation flag");
      FUZZ_CHECK(hr != E_FAIL || NoModuleLoaded(), "ESC_RESERVE_UNIT: E_FAIL kept the port");
      break;
    }

    case OpKind::kSetWindow: {
      std::unique_ptr<uint8_t[]> in(new uint8_t[sizeof(SWP_PARAMETER)]);
      std::memcpy(in.get(), op.window.data(), sizeof(SWP_PARAMETER));
      hr = STIEscape(ESC_SET_WINDOW_PARAMETER, in.get(), sizeof(SWP_PARAMETER), nullptr, 0, &actual);
      FUZZ_CHECK(OneOf(hr, {S_OK, E_FAIL, E_INVALIDARG, WIA_ERROR_BUSY, WIA_ERROR_PAPER_EMPTY, WIA_ERROR_PAPER_JAM,
                            WIA_ERROR_WARMING_UP, WIA_ERROR_GENERAL_ERROR}),
                 "ESC_SET_WINDOW_PARAMETER: result");
      const bool refusedCode = WindowFactor(op.window[16]) == 0;
      FUZZ_CHECK((hr == E_INVALIDARG) == refusedCode, "ESC_SET_WINDOW_PARAMETER: resolution code refusal");
      FUZZ_CHECK(!refusedCode || transfers.empty(), "ESC_SET_WINDOW_PARAMETER: a refused window was sent");
      FUZZ_CHECK(std::memcmp(in.get(), op.window.data(), sizeof(SWP_PARAMETER)) == 0,
                 "ESC_SET_WINDOW_PARAMETER: the caller's record changed");
      if (!transfers.empty()) {
        CheckWindowCommand(op.window, before.scannerType);
      }
      if (transfers.size() == 2 && transfers[1].ok && transfers[1].bytes.size() >= 2) {
        FUZZ_CHECK((hr == S_OK) == (transfers[1].bytes[1] == STATUS_CODE_GOOD),
                   "ESC_SET_WINDOW_PARAMETER: result does not follow the status");
      }
      FUZZ_CHECK(hr != E_FAIL || NoModuleLoaded(), "ESC_SET_WINDOW_PARAMETER: E_FAIL kept the port");
      break;
    }

    case OpKind::kObjectPosition:
      hr = STIEscape(ESC_OBJECT_POSITION, nullptr, 0, nullptr, 0, &actual);
      FUZZ_CHECK(OneOf(hr, {S_OK, E_FAIL, E_NOTIMPL, WIA_ERROR_BUSY, ADF_NO_DOCUMENT, WIA_ERROR_PAPER_JAM,
                            WIA_ERROR_WARMING_UP}),
                 "ESC_OBJECT_POSITION: result");
      FUZZ_CHECK(Handler().m_bUnitReserved == before.reserved, "ESC_OBJECT_POSITION: reservation changed");
      FUZZ_CHECK(hr != E_FAIL || NoModuleLoaded(), "ESC_OBJECT_POSITION: E_FAIL kept the port");
      break;

    case OpKind::kRead: {
      std::unique_ptr<uint8_t[]> out(new uint8_t[sizeof(READ_RESPONSE)]);
      std::memset(out.get(), kSentinelByte, sizeof(READ_RESPONSE));
      hr = STIEscape(ESC_READ, nullptr, 0, out.get(), sizeof(READ_RESPONSE), &actual);
      CSTIIOHandler& h = Handler();
      if (!before.reserved) {
        FUZZ_CHECK(hr == DEVICE_UNLOCKED && transfers.empty(), "ESC_READ: read without a reservation");
        const std::vector<std::string> lines = winplat::DebugStrings();
        FUZZ_CHECK(!lines.empty() && lines.back() == "[STI] Device Unlocked... Break READ",
                   "ESC_READ: the refusal was not written");
      } else {
        FUZZ_CHECK(OneOf(hr, {S_OK, PAGE_END, ADF_NO_DOCUMENT, E_FAIL, E_NOTIMPL, WIA_ERROR_BUSY, WIA_ERROR_PAPER_JAM,
                              WIA_ERROR_WARMING_UP, WIA_ERROR_GENERAL_ERROR}),
                   "ESC_READ: result");
      }
      // The record reaches the caller only from a whole answer with the right start code.
      const bool answered = transfers.size() == 2 && transfers[0].ok && transfers[0].count == 4 && transfers[1].ok &&
                            transfers[1].count == sizeof(READ_RESPONSE);
      if (answered && transfers[1].bytes[0] == COMMAND_PREFIX) {
        const uint8_t* in = transfers[1].bytes.data();
        const uint8_t* got = out.get();
        FUZZ_CHECK(std::memcmp(got, in, 4) == 0 && std::memcmp(got + 12, in + 12, 20) == 0,
                   "ESC_READ: record bytes altered");
        FUZZ_CHECK(Le32(got + 4) == Be32(in + 4) && h.m_dwImageBufferSize == Be32(in + 4),
                   "ESC_READ: block size not turned to host order");
        FUZZ_CHECK(Le16(got + 8) == Be16(in + 8) && Le16(got + 10) == Be16(in + 10),
                   "ESC_READ: height or width not turned to host order");
      } else {
        FUZZ_CHECK(AllBytes(out.get(), sizeof(READ_RESPONSE), kSentinelByte), "ESC_READ: a refused answer was copied");
        if (answered) {
          FUZZ_CHECK(hr == WIA_ERROR_GENERAL_ERROR && h.m_dwImageBufferSize == 0,
                     "ESC_READ: a wrong start code kept a block size");
        }
      }
      FUZZ_CHECK(actual == kSentinel, "ESC_READ wrote the count");
      FUZZ_CHECK(h.m_bUnitReserved == before.reserved, "ESC_READ: reservation changed");
      break;
    }

    case OpKind::kAbort:
      hr = STIEscape(ESC_ABORT, nullptr, 0, nullptr, 0, &actual);
      FUZZ_CHECK(hr == S_OK, "ESC_ABORT: result");
      FUZZ_CHECK(Handler().m_bUnitReserved == before.reserved, "ESC_ABORT: reservation changed");
      FUZZ_CHECK(ModuleLoaded("prtmon64.dll") == before.monitorLoaded &&
                     ModuleLoaded("portarb.dll") == before.arbitrationLoaded,
                 "ESC_ABORT: the port cycle changed");
      break;

    case OpKind::kReadImage: {
      // Room for the announced block without its trailer, not a byte more.
      const DWORD room = before.imageSize > IMAGE_TRAILER_SIZE ? before.imageSize - IMAGE_TRAILER_SIZE : 0;
      std::unique_ptr<uint8_t[]> out(new uint8_t[room]);
      std::memset(out.get(), kSentinelByte, room);
      hr = STIEscape(ESC_READ_IMAGE, nullptr, 0, out.get(), room, &actual);
      CSTIIOHandler& h = Handler();
      if (!before.reserved) {
        FUZZ_CHECK(hr == DEVICE_UNLOCKED && transfers.empty() && actual == kSentinel,
                   "ESC_READ_IMAGE: read without a reservation");
        break;
      }
      FUZZ_CHECK(OneOf(hr, {S_OK, E_FAIL, E_NOTIMPL, E_OUTOFMEMORY}), "ESC_READ_IMAGE: result");
      if (before.imageSize == 0) {
        FUZZ_CHECK(hr == E_FAIL && actual == 0 && transfers.empty(), "ESC_READ_IMAGE: no block was announced");
      }
      if (hr == S_OK) {
        FUZZ_CHECK(transfers.size() == 2 && transfers[1].count == before.imageSize && actual == room,
                   "ESC_READ_IMAGE: count of the block handed on");
        FUZZ_CHECK(std::memcmp(out.get(), transfers[1].bytes.data(), room) == 0,
                   "ESC_READ_IMAGE: block not handed on as received");
        FUZZ_CHECK(h.m_dwImageBufferSize == 0, "ESC_READ_IMAGE: a delivered block stays announced");
      } else {
        FUZZ_CHECK(h.m_dwImageBufferSize == before.imageSize, "ESC_READ_IMAGE: a failed fetch lost the block size");
      }
      break;
    }

    case OpKind::kRelease:
      hr = STIEscape(ESC_RELEASE_UNIT, nullptr, 0, nullptr, 0, &actual);
      FUZZ_CHECK(OneOf(hr, {S_OK, E_FAIL, E_NOTIMPL, WIA_ERROR_BUSY}), "ESC_RELEASE_UNIT: result");
      FUZZ_CHECK(NoModuleLoaded(), "ESC_RELEASE_UNIT: port not released");
      if (!transfers.empty() && transfers[0].ok) {
        FUZZ_CHECK(!Handler().m_bUnitReserved, "ESC_RELEASE_UNIT: sent, yet still reserved");
      } else {
        FUZZ_CHECK(Handler().m_bUnitReserved == before.reserved, "ESC_RELEASE_UNIT: unsent, yet changed");
      }
      break;

    default:
      break;
  }
  lastResult_ = hr;
}

void ScannerSession::RunOther(const Op& op, const Snapshot& before) {
  HRESULT hr = S_OK;
  const auto& transfers = end_.Transfers();
  switch (op.kind) {
    case OpKind::kUnknownEscape: {
      const uint32_t code = KnownEscape(op.value) ? op.value ^ 0x10000u : op.value;
      DWORD actual = kSentinel;
      hr = STIEscape(code, nullptr, 0, nullptr, 0, &actual);
      FUZZ_CHECK(hr == E_NOTIMPL && actual == kSentinel, "unknown escape: result");
      FUZZ_CHECK(ModuleLoads() == before.moduleLoads, "unknown escape: the port cycle changed");
      break;
    }

    case OpKind::kStatus: {
      std::unique_ptr<STI_DEVICE_STATUS> status(new STI_DEVICE_STATUS);
      std::memset(status.get(), kSentinelByte, sizeof(STI_DEVICE_STATUS));
      status->StatusMask = op.value;
      const bool null = (op.flags & 1u) != 0;
      hr = GetStatus(null ? nullptr : status.get());
      if (null) {
        FUZZ_CHECK(hr == E_INVALIDARG, "GetStatus: null structure");
        break;
      }
      FUZZ_CHECK(hr == S_OK || hr == PORT_ACQUIRE_FAIL, "GetStatus: result");
      if ((op.value & STI_DEVSTATUS_ONLINE_STATE) == 0) {
        FUZZ_CHECK(hr == S_OK && status->dwOnlineState == kSentinel && ModuleLoads() == before.moduleLoads,
                   "GetStatus: online state answered unasked");
      } else {
        FUZZ_CHECK(status->dwOnlineState == (hr == S_OK ? 0x41u : 0x40u), "GetStatus: online state");
        FUZZ_CHECK(NoModuleLoaded(), "GetStatus: port not released");
      }
      FUZZ_CHECK(status->StatusMask == op.value && status->dwHardwareStatusCode == kSentinel,
                 "GetStatus: wrote what it does not answer");
      break;
    }

    case OpKind::kDiagnostic: {
      std::unique_ptr<STI_DIAG> diag(new STI_DIAG);
      std::memset(diag.get(), kSentinelByte, sizeof(STI_DIAG));
      const bool null = (op.flags & 1u) != 0;
      hr = Diagnostic(null ? nullptr : diag.get());
      if (null) {
        FUZZ_CHECK(hr == E_INVALIDARG, "Diagnostic: null structure");
        break;
      }
      FUZZ_CHECK(hr == S_OK || hr == PORT_ACQUIRE_FAIL, "Diagnostic: result");
      FUZZ_CHECK(AllBytes(reinterpret_cast<const uint8_t*>(diag.get()), sizeof(STI_DIAG), kSentinelByte),
                 "Diagnostic: wrote into the structure");
      FUZZ_CHECK(hr != S_OK || NoModuleLoaded(), "Diagnostic: port not released");
      break;
    }

    case OpKind::kRawRead: {
      const DWORD length = op.value;
      std::unique_ptr<uint8_t[]> buffer(new uint8_t[length]);
      DWORD count = length;
      const bool nullBuffer = (op.flags & 1u) != 0;
      const bool nullCount = (op.flags & 2u) != 0;
      hr = RawReadData(nullBuffer ? nullptr : buffer.get(), nullCount ? nullptr : &count, nullptr);
      if (nullBuffer || nullCount) {
        FUZZ_CHECK(hr == E_INVALIDARG, "RawReadData: null argument");
        break;
      }
      FUZZ_CHECK(hr == S_OK || hr == E_NOTIMPL, "RawReadData: result");
      FUZZ_CHECK(count == (transfers.empty() ? 0u : transfers[0].count),
                 "RawReadData: count of the bytes that arrived");
      FUZZ_CHECK((hr == S_OK) == (transfers.size() == 1 && transfers[0].ok), "RawReadData: result and transfer");
      break;
    }

    case OpKind::kRawWrite: {
      const DWORD length = op.value;
      std::unique_ptr<uint8_t[]> buffer(new uint8_t[length]);
      for (DWORD i = 0; i < length; ++i) {
        buffer[i] = static_cast<uint8_t>(i * 7u);
      }
      const bool nullBuffer = (op.flags & 1u) != 0;
      hr = RawWriteData(nullBuffer ? nullptr : buffer.get(), length, nullptr);
      if (nullBuffer) {
        FUZZ_CHECK(hr == E_INVALIDARG, "RawWriteData: null buffer");
        break;
      }
      FUZZ_CHECK(hr == S_OK || hr == E_NOTIMPL, "RawWriteData: result");
      FUZZ_CHECK((hr == S_OK) == (transfers.size() == 1 && transfers[0].ok), "RawWriteData: result and transfer");
      if (!transfers.empty()) {
        FUZZ_CHECK(std::equal(transfers[0].bytes.begin(), transfers[0].bytes.end(), buffer.get()),
                   "RawWriteData: bytes altered");
      }
      break;
    }

    case OpKind::kDeleteMemory:
      hr = DeleteMemory();
      FUZZ_CHECK(hr == S_OK && NoModuleLoaded(), "DeleteMemory: the port cycle did not end");
      break;

    case OpKind::kContention:
      answers_.acquire = (op.flags & 1u) == 0;
      answers_.release = (op.flags & 2u) == 0;
      answers_.open = (op.flags & 4u) == 0;
      answers_.close = (op.flags & 8u) == 0;
      answers_.absent = op.absent;
      releaseRefused_ = releaseRefused_ || answers_.ReleaseRefused();
      closeRefused_ = closeRefused_ || answers_.CloseRefused();
      InstallContention(answers_);
      break;

    case OpKind::kInitialize: {
      const bool flip = (op.flags & 1u) != 0;
      const bool nullControl = (op.flags & 2u) != 0;
      const bool refuseOpenMode = (op.flags & 4u) != 0;
      if (flip) {
        directRoute_ = !directRoute_;
        routeChanged_ = true;
        key_->SetDword("DeviceMonitor", directRoute_ ? 0 : 1);
      }
      const HRESULT openModeResult = HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
      DeviceControl control(refuseOpenMode ? openModeResult : S_OK);
      hr = Initialize(nullControl ? nullptr : &control, 0, key_->Parameters());
      if (nullControl) {
        FUZZ_CHECK(hr == E_INVALIDARG, "Initialize: null device control");
      } else if (refuseOpenMode) {
        FUZZ_CHECK(hr == openModeResult, "Initialize: the open mode's failure not passed on");
      } else {
        FUZZ_CHECK(hr == S_OK || hr == E_FAIL, "Initialize: result");
        FUZZ_CHECK((Handler().m_bDeviceMonitor != 0) == !directRoute_, "Initialize: route not taken from the registry");
        FUZZ_CHECK(hr == E_FAIL || NoModuleLoaded(), "Initialize: the probe cycle left its module loaded");
      }
      break;
    }

    case OpKind::kOther: {
      switch (op.flags % 10u) {
        case 0: {
          STI_USD_CAPS caps = {0, 0};
          FUZZ_CHECK(GetCapabilities(&caps) == S_OK && caps.dwVersion == 2 && caps.dwGenericCaps == 0x11,
                     "GetCapabilities");
          FUZZ_CHECK(GetCapabilities(nullptr) == E_INVALIDARG, "GetCapabilities: null");
          break;
        }
        case 1: {
          DWORD error = kSentinel;
          FUZZ_CHECK(STIGetLastError(&error) == S_OK && error == kSentinel, "STIGetLastError");
          break;
        }
        case 2: {
          std::unique_ptr<STI_ERROR_INFO> info(new STI_ERROR_INFO);
          std::memset(info.get(), kSentinelByte, sizeof(STI_ERROR_INFO));
          FUZZ_CHECK(GetLastErrorInfo(info.get()) == S_OK && info->dwVendorError == 0, "GetLastErrorInfo");
          FUZZ_CHECK(std::find(info->szExtendedErrorText, info->szExtendedErrorText + 255, 0) !=
                         info->szExtendedErrorText + 255,
                     "GetLastErrorInfo: text not terminated");
          break;
        }
        case 3:
          FUZZ_CHECK(SetNotificationHandle(nullptr) == S_OK, "SetNotificationHandle(null)");
          break;
        case 4:
          FUZZ_CHECK(SetNotificationHandle(INVALID_HANDLE_VALUE) == S_OK, "SetNotificationHandle(invalid)");
          break;
        case 5:
          FUZZ_CHECK(SetNotificationHandle(reinterpret_cast<HANDLE>(0x7E57)) == S_OK, "SetNotificationHandle");
          break;
        case 6: {
          std::unique_ptr<STINOTIFY> notify(new STINOTIFY);
          std::memset(notify.get(), kSentinelByte, sizeof(STINOTIFY));
          FUZZ_CHECK(GetNotificationData(notify.get()) == STI_NO_EVENT &&
                         AllBytes(reinterpret_cast<const uint8_t*>(notify.get()), sizeof(STINOTIFY), kSentinelByte),
                     "GetNotificationData");
          break;
        }
        case 7:
          FUZZ_CHECK(LockDevice() == S_OK && UnLockDevice() == S_OK, "LockDevice/UnLockDevice");
          break;
        case 8:
          FUZZ_CHECK(DeviceReset() == E_NOTIMPL, "DeviceReset");
          break;
        default: {
          uint8_t bytes[8] = {};
          DWORD count = sizeof(bytes);
          FUZZ_CHECK(RawReadCommand(bytes, &count, nullptr) == E_NOTIMPL &&
                         RawWriteCommand(bytes, sizeof(bytes), nullptr) == E_NOTIMPL,
                     "RawReadCommand/RawWriteCommand");
          break;
        }
      }
      break;
    }

    default:
      break;
  }
  lastResult_ = hr;
}

void ScannerSession::CheckTransfers(const Op& op, const Snapshot& before) const {
  const auto& transfers = end_.Transfers();
  Exchange exchange;
  if (op.kind == OpKind::kRawRead) {
    FUZZ_CHECK(transfers.size() <= 1 && (transfers.empty() || (!transfers[0].write && transfers[0].length == op.value)),
               "RawReadData: transfers");
    return;
  }
  if (op.kind == OpKind::kRawWrite) {
    FUZZ_CHECK(transfers.size() <= 1 && (transfers.empty() || (transfers[0].write && transfers[0].length == op.value)),
               "RawWriteData: transfers");
    return;
  }
  if (!ExchangeOf(op.kind, &exchange)) {
    FUZZ_CHECK(transfers.empty(), "an operation without a command talked to the scanner");
    return;
  }
  // One command, written once, and at most one answer read after it.
  FUZZ_CHECK(transfers.size() <= 2, "more than one exchange in an escape");
  if (transfers.empty()) {
    return;
  }
  const ScannerEnd::Transfer& command = transfers[0];
  FUZZ_CHECK(command.write, "an answer read before its command");
  if (exchange.opcode == OP_SET_WINDOW) {
    FUZZ_CHECK(command.length == SWP_COMMAND_SIZE, "set window: command length");
  } else {
    const uint8_t expected[4] = {COMMAND_ESCAPE, COMMAND_PREFIX, exchange.opcode, 0x00};
    FUZZ_CHECK(command.length == 4 && std::memcmp(command.bytes.data(), expected, 4) == 0,
               "the escape sent another command than its own");
  }
  if (transfers.size() == 2) {
    const ScannerEnd::Transfer& answer = transfers[1];
    FUZZ_CHECK(!answer.write, "a second command in one escape");
    FUZZ_CHECK(command.ok, "an answer read after a failed command");
    FUZZ_CHECK(!exchange.checksCounts || command.count == command.length, "an answer read after a short command");
    uint32_t length = RESPONSE_SIZE;
    if (exchange.opcode == OP_INQUIRY) {
      length = INQUIRY_RESPONSE_SIZE;
    } else if (exchange.opcode == OP_READ_IMAGE) {
      length = before.imageSize;
    }
    FUZZ_CHECK(answer.length == length, "answer asked for in another size");
  }
}

void ScannerSession::CheckWindowCommand(const std::array<uint8_t, 28>& record, DWORD scannerType) const {
  const std::vector<uint8_t>& sent = end_.Transfers()[0].bytes;
  FUZZ_CHECK(sent.size() == SWP_COMMAND_SIZE, "set window: command length");
  const DWORD factor = WindowFactor(record[16]);
  const uint32_t width = ((Le32(record.data() + 8) + 31u) & ~31u) * factor;
  const uint32_t height = Le32(record.data() + 12) * factor;
  uint8_t source = record[26];
  if (scannerType == SCANNER_TYPE_FLATBED_ONLY &&
      (source == SCAN_SOURCE_ADF_FRONT || source == SCAN_SOURCE_ADF_DUPLEX)) {
    source = SCAN_SOURCE_FLATBED;
  }
  const uint8_t header[5] = {COMMAND_ESCAPE, COMMAND_PREFIX, OP_SET_WINDOW, 0x13, 0x30};
  FUZZ_CHECK(std::memcmp(sent.data(), header, 5) == 0, "set window: header");
  FUZZ_CHECK(Be32(sent.data() + 5) == width && Be32(sent.data() + 9) == height, "set window: window size");
  FUZZ_CHECK(std::memcmp(sent.data() + 13, record.data() + 16, 8) == 0, "set window: parameters not passed through");
  FUZZ_CHECK(sent[21] == 0 && sent[24] == 0 && sent[22] == record[25], "set window: reserved bytes");
  FUZZ_CHECK(sent[23] == source, "set window: scan source");
}

void ScannerSession::Finish() {
  FUZZ_CHECK(TerminateDll() == S_OK && g_pSTIIOHandler == nullptr, "TerminateDll");
  key_.reset();
  CheckNothingHeld();
  FUZZ_CHECK(log_.references == 0, "the log's reference not given back");
  FUZZ_CHECK(log_.entering == log_.leaving, "a trace scope left open");
  // With every release and close granted on one route, the modules hold nothing for the handler.
  if (!routeChanged_ && !releaseRefused_) {
    FUZZ_CHECK(!DeviceMonitor().Held() && !PortArbitration().Held(), "the port grant outlived the handler");
  }
  if (!routeChanged_ && !closeRefused_) {
    FUZZ_CHECK(!DeviceMonitor().Opened(), "the device monitor's port outlived the handler");
  }
  // The scanner end goes with this session: nothing may reach it afterwards.
  ClearPlatform();
}

}  // namespace fuzzing
