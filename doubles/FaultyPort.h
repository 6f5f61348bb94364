// A port that passes calls to another port and spoils the ones it is told to: the faults a USB
// scanner port shows (a failing call, a transfer cut short, a garbled or unexpected answer).
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <utility>

#include "simulator/Port.h"
#include "simulator/Wire.h"

namespace scansim {

struct Fault {
  enum class Kind {
    kFailFullCount,     // the transfer happens, the call reports failure
    kFailZeroCount,     // the call reports failure and nothing reaches the far end
    kShortCount,        // the call succeeds but moves only `count` bytes
    kCorruptStartCode,  // reads: byte 0 of the answer becomes `start_code`
    kReplaceStatus,     // reads: the answer's status becomes `status`, its condition word `msg_data`
    kAnnounce,          // reads: the announced block size (offset 4, big-endian) becomes `count`
    kSilent,            // the scanner keeps quiet for `count` ms first (Port::kSilentForever: from here on)
  };
  Kind kind = Kind::kFailFullCount;
  uint32_t count = 0;                 // kShortCount: bytes moved (at most the length asked)
  uint8_t start_code = 0x00;          // kCorruptStartCode
  uint8_t status = kStatusBusy;       // kReplaceStatus
  uint16_t msg_data = 0;              // kReplaceStatus
  uint32_t error = kErrorGenFailure;  // kFail*: what LastError() reports

  static Fault FailFullCount(uint32_t error = kErrorGenFailure) { return {Kind::kFailFullCount, 0, 0, 0, 0, error}; }
  static Fault FailZeroCount(uint32_t error = kErrorGenFailure) { return {Kind::kFailZeroCount, 0, 0, 0, 0, error}; }
  static Fault ShortCount(uint32_t count) { return {Kind::kShortCount, count, 0, 0, 0, 0}; }
  static Fault CorruptStartCode(uint8_t start_code = 0x00) { return {Kind::kCorruptStartCode, 0, start_code, 0, 0, 0}; }
  static Fault ReplaceStatus(uint8_t status, uint16_t msg_data = 0) {
    return {Kind::kReplaceStatus, 0, 0, status, msg_data, 0};
  }
  static Fault Announce(uint32_t size) { return {Kind::kAnnounce, size, 0, 0, 0, 0}; }
  static Fault Silent(uint32_t ms) { return {Kind::kSilent, ms, 0, 0, 0, kErrorSemTimeout}; }
};

// The two calls of an exchange: the write of a command and the read of its answer.
enum class Phase { kWrite, kRead };

class FaultyPort : public Port {
 public:
  explicit FaultyPort(Port& inner) : inner_(inner) {}

  // Spoils port call `call` (every Write and Read is one call, counted from 1).
  void AtCall(uint32_t call, const Fault& fault) { byCall_[call] = fault; }
  // Spoils the write of exchange `exchange` (the exchange-th Write, counted from 1), or the read that
  // follows it (the first Read after that Write). A call addressed both ways takes the AtCall fault.
  void AtExchange(uint32_t exchange, Phase phase, const Fault& fault) { byExchange_[{exchange, phase}] = fault; }
  // Forgets the faults not yet applied, and a silence for ever; the counts go on.
  void ClearFaults();

  uint32_t Calls() const { return calls_; }
  uint32_t Exchanges() const { return writes_; }
  uint32_t FaultsApplied() const { return applied_; }

  // Each fault applies once. Faults meant for reads are ignored on writes.
  bool Write(const uint8_t* data, uint32_t length, uint32_t* written) override;
  bool Read(uint8_t* data, uint32_t length, uint32_t* read) override;
  uint32_t LastError() const override { return ownError_ ? error_ : inner_.LastError(); }
  // A silence aimed at the next call: the milliseconds left of it, counted from the first time it was
  // asked; kSilentForever once a silence for ever has been reached. A call made anyway while the
  // scanner is silent for ever fails with error 121 and moves nothing; a call made during a silence
  // that ends goes through.
  uint32_t QuietBefore(bool read) override;

 private:
  bool Take(Phase phase, Fault* fault);
  // The fault aimed at the next call of `phase`, left in place; null when there is none.
  const Fault* Peek(Phase phase) const;

  Port& inner_;
  std::map<uint32_t, Fault> byCall_;
  std::map<std::pair<uint32_t, Phase>, Fault> byExchange_;
  uint32_t calls_ = 0;
  uint32_t writes_ = 0;
  bool readTaken_ = false;  // the current exchange's read has been made
  uint8_t lastOpcode_ = 0;  // operation code of the last command written
  uint32_t applied_ = 0;
  bool ownError_ = false;
  uint32_t error_ = 0;
  bool silentForever_ = false;
  const Fault* quietFault_ = nullptr;  // the finite silence being waited out, and since when
  std::chrono::steady_clock::time_point quietSince_;
};

}  // namespace scansim
