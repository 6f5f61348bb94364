// A minidriver and a scanner that both misbehave as the input says, around one handler life. The checks
// come from the protocol and the safety rules, never from the handler's own code:
//   - nothing is written past the buffer a caller must give (guard bytes after each one);
//   - no byte reaches the scanner without the port granted, and no entry point of a contention module
//     is called while the module is not loaded (the rig's doubles note both);
//   - after TerminateDll the port cycle is balanced: no module loaded, no port granted or open, no
//     device handle open, and the scanner is not left reserved by a run the scanner answered throughout;
//   - no leak (LeakSanitizer) and no allocation beyond libFuzzer's limit (a huge announcement).
//
// Input (little-endian; zeros are a friendly scanner and a careful caller):
//   setup      u8: 1 direct route, 2 debug output, 4..8 sheets in the feeder (0-3), 16 flatbed only;
//              u8 rows per block - 1 (modulo 16)
//   operation  u8 kind (modulo kKinds), then by kind: a buffer shape u8 (escapes with an out record and
//              the raw transfers); the 28 window bytes xor-ed onto a good window; u32 status mask;
//              u8 fault, u8 phase and u32 argument; u32 unknown escape code
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "STIEscape.h"
#include "WIASTIIO.h"
#include "client/ScanSession.h"
#include "doubles/Rig.h"
#include "platform/control.h"
#include "platform/testing.h"
#include "support/ByteStream.h"
#include "support/Check.h"

namespace {

using fuzzing::ByteReader;

constexpr size_t kGuard = 32;
constexpr uint8_t kGuardByte = 0xA5;
constexpr int kMaxOperations = 64;
constexpr DWORD kLargestBlockTaken = 16u << 20;  // a minidriver gives at most this much for one block

// A caller's buffer on the heap: the bytes the caller must give, then guard bytes nothing may touch.
class Buffer {
 public:
  explicit Buffer(size_t size) : bytes_(size + kGuard, 0), size_(size) {
    std::fill(bytes_.begin() + static_cast<std::ptrdiff_t>(size), bytes_.end(), kGuardByte);
  }
  uint8_t* data() { return bytes_.data(); }
  void Check() const {
    FUZZ_CHECK(std::all_of(bytes_.begin() + static_cast<std::ptrdiff_t>(size_), bytes_.end(),
                           [](uint8_t b) { return b == kGuardByte; }),
               "written past the caller's buffer");
  }

 private:
  std::vector<uint8_t> bytes_;
  size_t size_;
};

// How a caller hands over a buffer of `real` bytes: as it should, without one, or with a size that
// says less or more than the buffer holds; with or without a count pointer.
struct Shape {
  bool null = false;
  bool noCount = false;
  DWORD declared = 0;
  static Shape Of(uint8_t shape, DWORD real) {
    const DWORD sizes[4] = {real, 0, real / 2, 0xFFFFFFFFu};
    return {(shape & 4u) != 0, (shape & 8u) != 0, sizes[shape & 3u]};
  }
};

HRESULT EscapeOut(DWORD code, DWORD real, uint8_t shapeByte, void* copyTo = nullptr) {
  const Shape shape = Shape::Of(shapeByte, real);
  Buffer out(real);
  DWORD actual = 0;
  const HRESULT hr =
      STIEscape(code, nullptr, 0, shape.null ? nullptr : out.data(), shape.declared, shape.noCount ? nullptr : &actual);
  out.Check();
  if (copyTo != nullptr && !shape.null) {
    std::memcpy(copyTo, out.data(), real);
  }
  return hr;
}

SWP_PARAMETER Window(ByteReader& in) {
  SWP_PARAMETER window = client::WindowRecord(64, 30, 5, client::Mode::kGrey, false);
  auto* bytes = reinterpret_cast<uint8_t*>(&window);
  for (size_t i = 0; i < sizeof(window); ++i) {
    bytes[i] ^= in.U8();
  }
  return window;
}

scansim::Fault FaultOf(uint8_t kind, uint32_t argument) {
  using F = scansim::Fault;
  const auto byte = static_cast<uint8_t>(argument);
  const F faults[] = {F::FailFullCount(),
                      F::FailZeroCount(),
                      F::ShortCount(argument % 80),
                      F::CorruptStartCode(byte),
                      F::ReplaceStatus(byte, static_cast<uint16_t>(argument >> 8)),
                      F::Announce(argument)};  // up to 4 GiB
  return faults[kind % 6];
}

enum Kind : uint8_t {
  kAbort,
  kRead,
  kReadImage,
  kObjectPosition,
  kWindow,
  kReserve,
  kRelease,
  kDeviceInfo,
  kStatus,
  kDiagnostic,
  kRawRead,
  kRawWrite,
  kFault,
  kRefuseAcquire,
  kUnknown,
  kInitialize,
  kOther,
  kKinds
};

class Run {
 public:
  explicit Run(ByteReader& in) : in_(in), rig_(Config(in)) {
    const uint8_t flags = setup_;
    direct_ = (flags & 1u) != 0;
    rig_.SetDeviceData(direct_ ? doubles::Route::kDirect : doubles::Route::kDeviceMonitor);
    FUZZ_CHECK(InitializeDll((flags & 2u) != 0 ? 1 : 0) == S_OK, "InitializeDll");
    Initialize(rig_.Control(), 0, rig_.Parameters());
  }

  void Operation() {
    const auto kind = static_cast<Kind>(in_.U8() % kKinds);
    switch (kind) {
      case kRead: {
        READ_RESPONSE response = {};
        const HRESULT hr = EscapeOut(ESC_READ, sizeof(response), in_.U8(), &response);
        // The minidriver sizes its image buffer by the last read record it was given, whatever the
        // read's result: a read that is refused or fails before handing over a record announces nothing new.
        const auto* bytes = reinterpret_cast<const uint8_t*>(&response);
        const bool given = std::any_of(bytes, bytes + sizeof(response), [](uint8_t b) { return b != 0; });
        if (hr == S_OK || hr == PAGE_END || given) {
          announced_ = response.dwDataSize;
        }
        break;
      }
      case kReadImage: {
        const DWORD block = announced_ > IMAGE_TRAILER_SIZE ? announced_ - IMAGE_TRAILER_SIZE : 1;
        EscapeOut(ESC_READ_IMAGE, std::min(block, kLargestBlockTaken), in_.U8());
        break;
      }
      case kDeviceInfo:
        EscapeOut(GET_DEVICE_INFO, sizeof(SCAN_DEVICE_INFO), in_.U8());
        break;
      case kWindow: {
        SWP_PARAMETER window = Window(in_);
        STIEscape(ESC_SET_WINDOW_PARAMETER, &window, sizeof(window), nullptr, 0, nullptr);
        break;
      }
      case kStatus: {
        STI_DEVICE_STATUS status = {};
        status.dwSize = sizeof(status);
        status.StatusMask = in_.U32();
        GetStatus(status.StatusMask & 0x80000000u ? nullptr : &status);
        break;
      }
      case kDiagnostic: {
        STI_DIAG diagnostic = {};
        diagnostic.dwSize = sizeof(diagnostic);
        Diagnostic(in_.U8() & 1u ? nullptr : &diagnostic);
        break;
      }
      case kRawRead: {
        const uint8_t shapeByte = in_.U8();
        const DWORD real = 1 + in_.U8();
        const Shape shape = Shape::Of(shapeByte, real);
        Buffer buffer(real);
        // The count is the buffer's size by the operation's contract: a caller may say less than its
        // buffer holds, never more (the library cannot see past what it is told).
        DWORD count = std::min(shape.declared, real);
        RawReadData(shape.null ? nullptr : buffer.data(), shape.noCount ? nullptr : &count, nullptr);
        buffer.Check();
        break;
      }
      case kRawWrite: {
        const uint8_t length = in_.U8();
        std::vector<uint8_t> bytes = in_.Bytes(length % 32);
        RawWriteData(length & 0x80u ? nullptr : bytes.data(), static_cast<DWORD>(bytes.size()), nullptr);
        break;
      }
      case kFault: {
        const uint8_t fault = in_.U8();
        const auto phase = in_.U8() & 1u ? scansim::Phase::kWrite : scansim::Phase::kRead;
        rig_.Faults().AtExchange(rig_.Faults().Exchanges() + 1, phase, FaultOf(fault, in_.U32()));
        spoiled_ = true;
        break;
      }
      case kRefuseAcquire:
        rig_.Contention(direct_ ? doubles::Route::kDirect : doubles::Route::kDeviceMonitor)
            .ScriptAcquireAnswers({false});
        spoiled_ = true;  // the refused cycle may be the one that would have released the scanner
        break;
      case kUnknown:
        STIEscape(in_.U32(), nullptr, 0, nullptr, 0, nullptr);
        break;
      case kInitialize:
        Initialize(in_.U8() & 1u ? nullptr : rig_.Control(), 0, rig_.Parameters());
        break;
      case kOther: {
        STI_ERROR_INFO info = {};
        DWORD error = 0;
        const uint8_t which = in_.U8();
        which % 4 == 0   ? GetLastErrorInfo(which & 4u ? nullptr : &info)
        : which % 4 == 1 ? STIGetLastError(which & 4u ? nullptr : &error)
        : which % 4 == 2 ? DeleteMemory()
                         : (LockDevice(), UnLockDevice());
        break;
      }
      default: {
        static const DWORD kPlain[] = {ESC_ABORT, 0, 0, ESC_OBJECT_POSITION, 0, ESC_RESERVE_UNIT, ESC_RELEASE_UNIT};
        STIEscape(kPlain[kind], nullptr, 0, nullptr, 0, nullptr);
        break;
      }
    }
    const std::vector<std::string> violations = rig_.Violations();
    FUZZ_CHECK(violations.empty(), violations.front().c_str());
  }

  void Finish() {
    FUZZ_CHECK(TerminateDll() == S_OK, "TerminateDll");
    const std::vector<std::string> violations = rig_.Violations();
    FUZZ_CHECK(violations.empty(), violations.front().c_str());
    FUZZ_CHECK(winplat::ModuleStatistics("prtmon64.dll").references == 0, "prtmon64.dll still loaded");
    FUZZ_CHECK(winplat::ModuleStatistics("portarb.dll").references == 0, "portarb.dll still loaded");
    FUZZ_CHECK(winplat::OpenHandles().devices == 0, "a device handle left open");
    FUZZ_CHECK(winplat::OpenKeyHandles() == 2, "a registry key left open");  // the rig's own two
    FUZZ_CHECK(!rig_.Monitor().Held() && !rig_.Monitor().Opened(), "the device monitor still grants the port");
    FUZZ_CHECK(!rig_.Arbitration().Held(), "the port arbitration module still grants the port");
    FUZZ_CHECK(spoiled_ || !rig_.Simulator().UnitReserved(), "the scanner is left reserved");
  }

 private:
  scansim::Config Config(ByteReader& in) {
    winplat::ResetAll();
    setup_ = in.U8();
    scansim::Config config;
    config.feeder_sheets = (setup_ >> 2) & 3u;
    config.identity.has_feeder = (setup_ & 16u) == 0;
    config.block_bytes = 64u * (1 + in.U8() % 16);
    return config;
  }

  ByteReader& in_;
  uint8_t setup_ = 0;
  doubles::Rig rig_;
  bool direct_ = false;
  bool spoiled_ = false;
  DWORD announced_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ByteReader in(data, size);
  {
    Run run(in);
    for (int i = 0; i < kMaxOperations && !in.Empty(); ++i) {
      run.Operation();
    }
    run.Finish();
  }
  winplat::ResetAll();
  return 0;
}
