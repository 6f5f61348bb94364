// A whole life of the handler against a scanner whose every answer comes from outside: InitializeDll,
// Initialize with the device's registry key, a sequence of escapes and other operations, TerminateDll.
// The fuzz target reads the answers from its input; the seed generator takes them from the scanner
// simulator and writes them down in the same layout, so a seed replays a real scan.
//
// Input layout (little-endian): the setup, then until the input ends one operation after another;
// the port calls an operation makes take their answers from the bytes that follow the operation, in
// the order the handler makes them.
//   setup      u8 flags (1 direct route, 2 debug output, 4 service log); u8 refusals (1 PortAcquire,
//              2 PortRelease, 4 DeviceOpen, 8 DeviceClose answer FALSE); u8 missing entry points (a bit
//              per doubles::EntryPoint); u16 Vid, u16 Pid; u8 port objects (modulo 4), each u8 index,
//              u16 vid xor Vid, u16 pid xor Pid, u8 flags (1 the open fails, 2 the descriptor fails)
//   operation  u8 kind (modulo OpKind::kCount), then by kind: the 28-byte record (window); u32 code
//              (unknown escape); u8 flags and u32 StatusMask (status); u8 flags and u16 length (raw
//              read, raw write); u8 refusals and u8 missing entry points (contention); u8 flags
//              (diagnostic, Initialize, other)
//   port call  u8 control (bits 0-1 CountMode, bit 2 failure, bits 3-5 error); u16 amount for kShort
//              and kOver; a read adds u8 literal length, the literal bytes and u8 fill
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "simulator/Port.h"
#include "support/ByteStream.h"
#include "support/Platform.h"

namespace fuzzing {

// ---- Port answers ----------------------------------------------------------------------------------

// How many bytes a port call reports as moved.
enum class CountMode : uint8_t {
  kFull,   // the length asked for
  kShort,  // fewer: `amount` modulo the length
  kNone,   // none
  kOver,   // more than asked: length + 1 + (amount modulo 256); only the length is delivered
};

// The answer to one port call (a WriteFile/ReadFile, or DeviceWrite/DeviceRead of the device monitor).
struct PortAnswer {
  CountMode mode = CountMode::kFull;
  uint16_t amount = 0;
  bool fail = false;             // the call reports failure, with the count above all the same
  uint8_t error = 0;             // index into the error codes a failing call reports
  std::vector<uint8_t> literal;  // reads: the first bytes delivered, at most 255
  uint8_t fill = 0;              // reads: every delivered byte after the literal ones

  uint32_t Count(uint32_t length) const;
  uint32_t Error() const;
  // The index of an error code among those an answer can report; that of ERROR_GEN_FAILURE for others.
  static uint8_t ErrorIndex(uint32_t code);

  void Encode(ByteWriter& out, bool read) const;
  static PortAnswer Decode(ByteReader& in, bool read);
};

// Where the answers come from: the fuzz input, or a scanner that is being recorded.
class AnswerSource {
 public:
  virtual ~AnswerSource() = default;
  virtual PortAnswer Write(const uint8_t* data, uint32_t length) = 0;
  virtual PortAnswer Read(uint32_t length) = 0;
};

class InputAnswers : public AnswerSource {
 public:
  explicit InputAnswers(ByteReader& in) : in_(in) {}
  PortAnswer Write(const uint8_t*, uint32_t) override { return PortAnswer::Decode(in_, false); }
  PortAnswer Read(uint32_t) override { return PortAnswer::Decode(in_, true); }

 private:
  ByteReader& in_;
};

// The scanner end of the cable, shared by both routes: the device monitor's DeviceRead/DeviceWrite
// and the "\\.\Usbscan"N port objects reach it. It delivers what the answers say and keeps the
// transfers of the current operation for the checks.
class ScannerEnd : public scansim::Port {
 public:
  // The largest block a read answer may announce: the handler allocates what the scanner announces,
  // so the size is kept within what a fuzzing process can afford on every input.
  static constexpr uint32_t kMaxBlock = 1u << 18;

  struct Transfer {
    bool write = false;
    uint32_t length = 0;  // asked for
    uint32_t count = 0;   // reported
    bool ok = false;
    std::vector<uint8_t> bytes;  // written, or delivered
  };

  explicit ScannerEnd(AnswerSource& source) : source_(source) {}

  bool Write(const uint8_t* data, uint32_t length, uint32_t* written) override;
  bool Read(uint8_t* data, uint32_t length, uint32_t* read) override;
  uint32_t LastError() const override { return lastError_; }

  const std::vector<Transfer>& Transfers() const { return transfers_; }
  void Forget() { transfers_.clear(); }

 private:
  AnswerSource& source_;
  uint32_t lastError_ = 0;
  bool readCommandPending_ = false;  // the last write was the read command
  std::vector<Transfer> transfers_;
};

// ---- Setup and operations --------------------------------------------------------------------------

struct UsbPort {
  uint8_t index = 0;  // "\\.\Usbscan<index>"
  uint16_t vid = 0;   // the descriptor's ids; the input holds them as their difference (xor) from the
  uint16_t pid = 0;   // registry's, so that ids that match stay matching as the input mutates
  bool failOpen = false;
  bool failDescriptor = false;
};

struct SessionSetup {
  bool direct = false;  // the port-arbitration route with a directly opened port
  bool debug = false;   // InitializeDll's debug flag
  bool log = false;     // the handler writes to a service log
  ContentionAnswers answers;
  uint16_t vid = 0;  // "Vid" and "Pid" under "DeviceData"
  uint16_t pid = 0;
  std::vector<UsbPort> ports;  // at most three

  void Encode(ByteWriter& out) const;
  static SessionSetup Decode(ByteReader& in);
};

// Runs of zero bytes are what mutation makes most: they decode to the cheapest escape, so that they do
// not each cost a port cycle.
enum class OpKind : uint8_t {
  kAbort,
  kRead,
  kReadImage,
  kObjectPosition,
  kSetWindow,
  kReserve,
  kRelease,
  kDeviceInfo,
  kUnknownEscape,
  kStatus,
  kDiagnostic,
  kRawRead,
  kRawWrite,
  kDeleteMemory,
  kContention,  // the contention modules change their answers
  kInitialize,  // Initialize again, possibly with the other route
  kOther,       // the operations that never reach the scanner
  kCount
};

struct Op {
  OpKind kind = OpKind::kDeviceInfo;
  std::array<uint8_t, 28> window{};  // kSetWindow: the SWP_PARAMETER record
  // kUnknownEscape: the code; kStatus: StatusMask; kRawRead, kRawWrite: the length
  uint32_t value = 0;
  // kStatus, kDiagnostic: 1 a null structure. kRawRead: 1 a null buffer, 2 a null count. kRawWrite: 1 a
  // null buffer. kContention: the refusals of the setup. kInitialize: 1 the other route, 2 a null device
  // control, 4 its open mode fails. kOther: which operation (modulo 10).
  uint8_t flags = 0;
  uint8_t absent = 0;  // kContention: the entry points the modules lack

  void Encode(ByteWriter& out) const;
  static Op Decode(ByteReader& in);
};

// ---- The session -----------------------------------------------------------------------------------

// Operations per input: enough for a feeder job of a few sheets; more add nothing but time per run.
constexpr int kMaxOperations = 96;

class ScannerSession {
 public:
  ScannerSession(const SessionSetup& setup, AnswerSource& source);
  ~ScannerSession();

  // A fresh platform, the port objects, the registry key, InitializeDll and Initialize.
  void Start();
  // One operation, then the checks that hold after it whatever the scanner answered; its result.
  HRESULT Run(const Op& op);
  // TerminateDll, then nothing may be left held.
  void Finish();

 private:
  struct Snapshot;
  void RunEscape(const Op& op, const Snapshot& before);
  void RunOther(const Op& op, const Snapshot& before);
  void CheckTransfers(const Op& op, const Snapshot& before) const;
  void CheckWindowCommand(const std::array<uint8_t, 28>& record, DWORD scannerType) const;

  SessionSetup setup_;
  ContentionAnswers answers_;
  ScannerEnd end_;
  ServiceLog log_;
  std::unique_ptr<DeviceKey> key_;
  std::vector<uint8_t> cachedInfo_;  // the device-information record once it was handed out
  bool directRoute_ = false;         // the route the registry names now
  bool routeChanged_ = false;
  bool releaseRefused_ = false;  // at some time in the run
  bool closeRefused_ = false;
  HRESULT lastResult_ = S_OK;
};

}  // namespace fuzzing
