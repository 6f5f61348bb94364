#include "doubles/ContentionDouble.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iterator>
#include <thread>

namespace doubles {

namespace {
constexpr DWORD kErrorSemTimeout = 121;  // what a transfer that was given up on reports
}  // namespace

ContentionDouble::ContentionDouble() = default;
ContentionDouble::~ContentionDouble() = default;

CallRecord& ContentionDouble::Record(EntryPoint entry, std::initializer_list<uint64_t> arguments) {
  CallRecord record{};
  record.entry = entry;
  for (uint64_t argument : arguments) {
    record.arguments[record.argumentCount++] = argument;
  }
  ++state_.counts[static_cast<size_t>(entry)];
  state_.calls.push_back(record);
  if (state_.calls.size() > kCallLimit) {
    state_.calls.pop_front();  // the reference to the newest stays valid
  }
  return state_.calls.back();
}

template <typename Move>
BOOL ContentionDouble::Transfer(CallRecord& record, LPDWORD count, Move move) {
  record.countGiven = count != nullptr ? TRUE : FALSE;
  if (!state_.held) {
    char text[96];
    std::snprintf(text, sizeof(text), "%s(%u) with the port not granted", EntryPointName(record.entry),
                  static_cast<unsigned>(record.arguments[0]));
    NoteViolation(text);
  }
  uint32_t moved = 0;
  bool ok = false;
  DWORD error = ERROR_SUCCESS;
  if (!state_.opened) {
    error = ERROR_INVALID_HANDLE;  // nothing open to transfer on
  } else if (state_.port == nullptr) {
    error = ERROR_GEN_FAILURE;
  } else {
    // A monitor bounds its own transfers: a scanner silent for ever fails the call at once, a shorter
    // silence is waited out.
    const uint32_t quiet = state_.port->QuietBefore(record.entry == EntryPoint::DeviceRead);
    if (quiet == scansim::Port::kSilentForever) {
      error = kErrorSemTimeout;
    } else {
      if (quiet != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(quiet));
      }
      ok = move(&moved);
      if (!ok) {
        error = state_.port->LastError();
      }
    }
  }
  record.transferred = moved;
  record.result = ok ? TRUE : FALSE;
  if (count != nullptr) {
    *count = moved;
  }
  if (!ok) {
    SetLastError(error);
  }
  return record.result;
}

BOOL ContentionDouble::PortAcquire(DWORD mode) {
  CallRecord& record = Record(EntryPoint::PortAcquire, {mode});
  const bool grant = state_.nextScripted < state_.scriptedAcquires.size()
                         ? state_.scriptedAcquires[state_.nextScripted++]
                         : state_.acquireAnswer;
  state_.held = state_.held || grant;
  record.result = grant ? TRUE : FALSE;
  return record.result;
}

BOOL ContentionDouble::PortRelease(DWORD mode) {
  CallRecord& record = Record(EntryPoint::PortRelease, {mode});
  state_.held = state_.held && !state_.releaseAnswer;
  record.result = state_.releaseAnswer ? TRUE : FALSE;
  return record.result;
}

BOOL ContentionDouble::DeviceOpen(DWORD access, DWORD share, DWORD vid, DWORD pid, ULONG_PTR reserved) {
  CallRecord& record = Record(EntryPoint::DeviceOpen, {access, share, vid, pid, reserved});
  state_.opened = state_.opened || state_.openAnswer;
  record.result = state_.openAnswer ? TRUE : FALSE;
  return record.result;
}

BOOL ContentionDouble::DeviceClose(DWORD flags) {
  CallRecord& record = Record(EntryPoint::DeviceClose, {flags});
  state_.opened = state_.opened && !state_.closeAnswer;
  record.result = state_.closeAnswer ? TRUE : FALSE;
  return record.result;
}

BOOL ContentionDouble::DeviceRead(LPVOID buffer, DWORD length, LPDWORD read) {
  return Transfer(Record(EntryPoint::DeviceRead, {length}), read,
                  [&](uint32_t* moved) { return state_.port->Read(static_cast<uint8_t*>(buffer), length, moved); });
}

BOOL ContentionDouble::DeviceWrite(LPCVOID buffer, DWORD length, LPDWORD written) {
  return Transfer(Record(EntryPoint::DeviceWrite, {length}), written, [&](uint32_t* moved) {
    return state_.port->Write(static_cast<const uint8_t*>(buffer), length, moved);
  });
}

void ContentionDouble::Reset() {
  state_ = State();
}

void ContentionDouble::SetAcquireAnswer(bool grant) {
  state_.acquireAnswer = grant;
}

void ContentionDouble::ScriptAcquireAnswers(const bool* answers, size_t count) {
  state_.scriptedAcquires.assign(answers, answers + count);
  state_.nextScripted = 0;
}

void ContentionDouble::SetReleaseAnswer(bool release) {
  state_.releaseAnswer = release;
}
void ContentionDouble::SetOpenAnswer(bool open) {
  state_.openAnswer = open;
}
void ContentionDouble::SetCloseAnswer(bool close) {
  state_.closeAnswer = close;
}

void ContentionDouble::SetAbsent(EntryPoint entry, bool absent) {
  const auto index = static_cast<size_t>(entry);
  if (index < kEntryPointCount) {
    state_.absent[index] = absent;
  }
}

bool ContentionDouble::IsAbsent(EntryPoint entry) const {
  const auto index = static_cast<size_t>(entry);
  return index < kEntryPointCount && state_.absent[index];
}

void ContentionDouble::SetPort(scansim::Port* port) {
  state_.port = port;
}

bool ContentionDouble::Held() const {
  return state_.held;
}
bool ContentionDouble::Opened() const {
  return state_.opened;
}

size_t ContentionDouble::CallCount() const {
  return state_.calls.size();
}

bool ContentionDouble::Call(size_t index, CallRecord* out) const {
  if (index >= state_.calls.size() || out == nullptr) {
    return false;
  }
  *out = state_.calls[index];
  return true;
}

size_t ContentionDouble::CallCount(EntryPoint entry) const {
  const auto index = static_cast<size_t>(entry);
  return index < kEntryPointCount ? state_.counts[index] : 0;
}

void ContentionDouble::ClearCalls() {
  state_.calls.clear();
  std::fill(std::begin(state_.counts), std::end(state_.counts), 0);
}

size_t ContentionDouble::ViolationCount() const {
  return state_.violations;
}

const char* ContentionDouble::FirstViolation() const {
  return state_.firstViolation;
}

void ContentionDouble::NoteViolation(const char* text) {
  if (state_.violations++ == 0) {
    std::snprintf(state_.firstViolation, sizeof(state_.firstViolation), "%s", text);
  }
}

}  // namespace doubles
