#include "doubles/FaultyPort.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace scansim {

void FaultyPort::ClearFaults() {
  byCall_.clear();
  byExchange_.clear();
  silentForever_ = false;
  quietFault_ = nullptr;
}

const Fault* FaultyPort::Peek(Phase phase) const {
  const auto call = byCall_.find(calls_ + 1);
  if (call != byCall_.end()) {
    return &call->second;
  }
  if (phase == Phase::kWrite || !readTaken_) {
    const auto exchange = byExchange_.find({phase == Phase::kWrite ? writes_ + 1 : writes_, phase});
    if (exchange != byExchange_.end()) {
      return &exchange->second;
    }
  }
  return nullptr;
}

uint32_t FaultyPort::QuietBefore(bool read) {
  const Fault* fault = Peek(read ? Phase::kRead : Phase::kWrite);
  if (silentForever_ || (fault != nullptr && fault->kind == Fault::Kind::kSilent && fault->count == kSilentForever)) {
    return kSilentForever;
  }
  if (fault == nullptr || fault->kind != Fault::Kind::kSilent) {
    return inner_.QuietBefore(read);
  }
  const auto now = std::chrono::steady_clock::now();
  if (quietFault_ != fault) {
    quietFault_ = fault;
    quietSince_ = now;
  }
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(now - quietSince_).count();
  return waited >= fault->count ? 0 : fault->count - static_cast<uint32_t>(waited);
}

bool FaultyPort::Take(Phase phase, Fault* fault) {
  quietFault_ = nullptr;
  bool found = false;
  const auto call = byCall_.find(calls_);
  if (call != byCall_.end()) {
    *fault = call->second;
    byCall_.erase(call);
    found = true;
  }
  // Only the first read after a write is the exchange's read.
  if (phase == Phase::kWrite || !readTaken_) {
    const auto exchange = byExchange_.find({writes_, phase});
    if (exchange != byExchange_.end()) {
      if (!found) {
        *fault = exchange->second;
        found = true;
      }
      byExchange_.erase(exchange);
    }
  }
  return found;
}

bool FaultyPort::Write(const uint8_t* data, uint32_t length, uint32_t* written) {
  ++calls_;
  ++writes_;
  readTaken_ = false;
  ownError_ = false;
  if (data != nullptr && length >= 3) {
    lastOpcode_ = data[2];
  }
  Fault fault;
  const bool spoiled = Take(Phase::kWrite, &fault);
  if (spoiled && fault.kind == Fault::Kind::kSilent && fault.count == kSilentForever) {
    silentForever_ = true;
  }
  if (silentForever_) {
    fault = Fault::FailZeroCount(kErrorSemTimeout);
  } else if (!spoiled || (fault.kind != Fault::Kind::kFailFullCount && fault.kind != Fault::Kind::kFailZeroCount &&
                          fault.kind != Fault::Kind::kShortCount)) {
    return inner_.Write(data, length, written);
  }
  ++applied_;
  uint32_t moved = 0;
  bool ok = false;
  switch (fault.kind) {
    case Fault::Kind::kFailFullCount:
      inner_.Write(data, length, &moved);
      break;
    case Fault::Kind::kFailZeroCount:
      break;
    case Fault::Kind::kShortCount:
    default: {
      const uint32_t cut = std::min(fault.count, length);
      ok = cut == 0 || inner_.Write(data, cut, &moved);
      break;
    }
  }
  if (written != nullptr) {
    *written = moved;
  }
  if (fault.kind != Fault::Kind::kShortCount) {
    ownError_ = true;
    error_ = fault.error;
  }
  return ok;
}

bool FaultyPort::Read(uint8_t* data, uint32_t length, uint32_t* read) {
  ++calls_;
  ownError_ = false;
  Fault fault;
  bool spoiled = Take(Phase::kRead, &fault);
  readTaken_ = true;
  if (spoiled && fault.kind == Fault::Kind::kSilent) {
    silentForever_ = silentForever_ || fault.count == kSilentForever;
    spoiled = false;  // a silence that ended is no fault of the answer
  }
  if (silentForever_) {
    fault = Fault::FailZeroCount(kErrorSemTimeout);
    spoiled = true;
  }
  if (!spoiled) {
    return inner_.Read(data, length, read);
  }
  ++applied_;
  uint32_t moved = 0;
  bool ok = false;
  switch (fault.kind) {
    case Fault::Kind::kFailFullCount:
      inner_.Read(data, length, &moved);
      break;
    case Fault::Kind::kFailZeroCount:
      break;
    case Fault::Kind::kShortCount: {
      // The whole answer leaves the far end; the host sees only its start.
      std::vector<uint8_t> answer(length);
      uint32_t got = 0;
      ok = inner_.Read(answer.data(), length, &got);
      moved = std::min(fault.count, got);
      if (moved > 0) {
        std::memcpy(data, answer.data(), moved);
      }
      break;
    }
    case Fault::Kind::kCorruptStartCode:
      ok = inner_.Read(data, length, &moved);
      if (moved > kOffStartCode) {
        data[kOffStartCode] = fault.start_code;
      }
      break;
    case Fault::Kind::kReplaceStatus: {
      ok = inner_.Read(data, length, &moved);
      if (moved > kOffStatus) {
        data[kOffStatus] = fault.status;
      }
      // The read response keeps its conditions in the scanner-state word; the others in the message data.
      const size_t word = lastOpcode_ == kOpRead ? kOffScannerState : kOffMsgData;
      if (moved >= word + 2) {
        PutLe16(data + word, fault.msg_data);
      }
      break;
    }
    case Fault::Kind::kAnnounce:
      ok = inner_.Read(data, length, &moved);
      if (moved >= kOffDataSize + 4) {
        PutBe32(data + kOffDataSize, fault.count);
      }
      break;
    case Fault::Kind::kSilent:
      break;
  }
  if (read != nullptr) {
    *read = moved;
  }
  if (fault.kind == Fault::Kind::kFailFullCount || fault.kind == Fault::Kind::kFailZeroCount) {
    ownError_ = true;
    error_ = fault.error;
    ok = false;
  }
  return ok;
}

}  // namespace scansim
