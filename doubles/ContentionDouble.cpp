#include "doubles/ContentionDouble.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

#if !defined(_WIN32)
#include "platform/control.h"
#endif

namespace doubles {

ContentionDouble::ContentionDouble() = default;
ContentionDouble::~ContentionDouble() = default;

CallRecord& ContentionDouble::Record(EntryPoint entry, std::initializer_list<uint64_t> arguments) {
#if !defined(_WIN32)
  if (watched_ != nullptr && winplat::ModuleStatistics(watched_).references == 0) {
    // On Windows the call would run unmapped code.
    NoteViolation((std::string(EntryPointName(entry)) + " called while " + watched_ + " is not loaded").c_str());
  }
#endif
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

BOOL ContentionDouble::Move(EntryPoint entry, void* buffer, DWORD length, LPDWORD count) {
  CallRecord& record = Record(entry, {length});
  record.countGiven = count != nullptr ? TRUE : FALSE;
  if (!held_) {
    char text[96];
    std::snprintf(text, sizeof(text), "%s(%u) with the port not granted", EntryPointName(entry),
                  static_cast<unsigned>(length));
    NoteViolation(text);
  }
  uint32_t moved = 0;
  record.result = Transfer(entry == EntryPoint::DeviceRead, buffer, length, &moved);
  record.transferred = moved;
  if (count != nullptr) {
    *count = moved;
  }
  return record.result;
}

BOOL ContentionDouble::PortAcquire(DWORD mode) {
  CallRecord& record = Record(EntryPoint::PortAcquire, {mode});
  const bool grant = state_.nextScripted < state_.scriptedAcquires.size()
                         ? state_.scriptedAcquires[state_.nextScripted++]
                         : acquireAnswer_;
  record.result = Acquire(grant);
  return record.result;
}

BOOL ContentionDouble::PortRelease(DWORD mode) {
  CallRecord& record = Record(EntryPoint::PortRelease, {mode});
  record.result = Release(state_.releaseAnswer);
  return record.result;
}

BOOL ContentionDouble::DeviceOpen(DWORD access, DWORD share, DWORD vid, DWORD pid, ULONG_PTR reserved) {
  CallRecord& record = Record(EntryPoint::DeviceOpen, {access, share, vid, pid, reserved});
  record.result = Open(state_.openAnswer);
  return record.result;
}

BOOL ContentionDouble::DeviceClose(DWORD flags) {
  CallRecord& record = Record(EntryPoint::DeviceClose, {flags});
  record.result = Close(state_.closeAnswer);
  return record.result;
}

BOOL ContentionDouble::DeviceRead(LPVOID buffer, DWORD length, LPDWORD read) {
  return Move(EntryPoint::DeviceRead, buffer, length, read);
}

BOOL ContentionDouble::DeviceWrite(LPCVOID buffer, DWORD length, LPDWORD written) {
  return Move(EntryPoint::DeviceWrite, const_cast<void*>(buffer), length, written);
}

void ContentionDouble::Reset() {
  ContentionModule::Reset();
  state_ = State();
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
