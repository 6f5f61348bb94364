// The tests' port-contention module: the simulated scanner's module (simulator/ContentionModule.h)
// with what only tests need: scripted answers of every entry point, entry points left out, a record of
// every call, and the checks of what a correct caller never does (a transfer without the grant, a call
// into a module that is not loaded).
//
// On Linux it is installed into the platform's module model like the product's module; on Windows the
// test DLLs prtmon64.dll and portarb.dll each own one and hand it out through ModuleControl.
//
// A Windows test program and the double DLL are compiled apart, so the control methods are virtual (the
// calls run the DLL's own code on the DLL's own object) and pass no standard containers. The inline
// helpers build on the virtual methods only and are compiled on the caller's side.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "simulator/ContentionModule.h"
#include "simulator/Port.h"

namespace doubles {

enum class EntryPoint : uint32_t { PortAcquire, PortRelease, DeviceOpen, DeviceRead, DeviceWrite, DeviceClose };

constexpr size_t kEntryPointCount = 6;

inline const char* EntryPointName(EntryPoint entry) {
  static const char* const kNames[kEntryPointCount] = {"PortAcquire", "PortRelease", "DeviceOpen",
                                                       "DeviceRead",  "DeviceWrite", "DeviceClose"};
  const auto index = static_cast<size_t>(entry);
  return index < kEntryPointCount ? kNames[index] : "?";
}

// One call of an entry point, as the module saw it.
struct CallRecord {
  EntryPoint entry;
  // The integer arguments in order: the port mode of PortAcquire/PortRelease, the five arguments of
  // DeviceOpen, the flags of DeviceClose, and the requested length of DeviceRead/DeviceWrite.
  uint32_t argumentCount;
  uint64_t arguments[5];
  // DeviceRead/DeviceWrite: whether a count pointer was passed and the count the call reported (the
  // bytes that moved, also when the caller passed no pointer to receive it).
  BOOL countGiven;
  uint32_t transferred;
  BOOL result;
};

class ContentionDouble : public scansim::ContentionModule {
 public:
  ContentionDouble();
  ~ContentionDouble() override;

  // The calls kept for Call(); older ones are dropped (CallCount(entry) still counts them), so that a
  // long job runs in flat memory.
  static constexpr size_t kCallLimit = 4096;

  // ---- The entry points, as the modules export them ----
  // DeviceRead/DeviceWrite move data only while the module has the device open (a granted DeviceOpen
  // not yet undone by a granted DeviceClose) and a port is set; otherwise they fail with count 0. A
  // transfer while the port is not granted (no granted PortAcquire, or a granted PortRelease since) is
  // a violation, whatever it moves.
  BOOL PortAcquire(DWORD mode) override;
  BOOL PortRelease(DWORD mode) override;
  BOOL DeviceOpen(DWORD access, DWORD share, DWORD vid, DWORD pid, ULONG_PTR reserved) override;
  BOOL DeviceRead(LPVOID buffer, DWORD length, LPDWORD read) override;
  BOOL DeviceWrite(LPCVOID buffer, DWORD length, LPDWORD written) override;
  BOOL DeviceClose(DWORD flags) override;

  // ---- Control ----
  // Back to the state after construction: every answer TRUE, nothing absent, no port, no calls.
  void Reset() override;

  // PortAcquire grants by SetAcquireAnswer once the scripted answers (if any) are used up, one per call.
  virtual void ScriptAcquireAnswers(const bool* answers, size_t count);
  void ScriptAcquireAnswers(std::initializer_list<bool> answers) {
    ScriptAcquireAnswers(answers.begin(), answers.size());
  }
  virtual void SetReleaseAnswer(bool release);
  virtual void SetOpenAnswer(bool open);
  virtual void SetCloseAnswer(bool close);

  // Entry points the module lacks. Only the Linux module model can leave an entry point out (read at
  // installation); a Windows double DLL always exports all of its entry points.
  virtual void SetAbsent(EntryPoint entry, bool absent);
  virtual bool IsAbsent(EntryPoint entry) const;
  // Whether the module exports the entry point of this name (it is not marked absent).
  bool Exports(const char* entry) const {
    for (size_t i = 0; i < kEntryPointCount; ++i) {
      if (std::string(EntryPointName(static_cast<EntryPoint>(i))) == entry) {
        return !IsAbsent(static_cast<EntryPoint>(i));
      }
    }
    return true;
  }

  // Linux: the module file this double is installed as; a call while the module model holds it
  // unloaded is a violation.
  void WatchModule(const char* file) { watched_ = file; }

  // ---- Queries ----
  // The calls kept (at most kCallLimit, the latest).
  virtual size_t CallCount() const;
  // Copies kept call `index` (oldest first) to *out; false when there is no such call.
  virtual bool Call(size_t index, CallRecord* out) const;
  // Calls of `entry` since the last ClearCalls(), kept or not.
  virtual size_t CallCount(EntryPoint entry) const;
  virtual void ClearCalls();

  // ---- Invariants ----
  // What the module saw that a correct caller never does: a transfer without the port granted, and
  // whatever NoteViolation() was told (the Linux modules note a call made while they are not loaded).
  // Reset() forgets them, ClearCalls() does not.
  virtual size_t ViolationCount() const;
  virtual const char* FirstViolation() const;  // "" when there is none
  virtual void NoteViolation(const char* text);

  std::vector<CallRecord> Calls() const {
    std::vector<CallRecord> calls(CallCount());
    for (size_t i = 0; i < calls.size(); ++i) {
      Call(i, &calls[i]);
    }
    return calls;
  }

  // Every call in the form of Describe below, oldest first.
  std::vector<std::string> DescribeCalls() const;

 private:
  CallRecord& Record(EntryPoint entry, std::initializer_list<uint64_t> arguments);
  // A read or write through the module's transfer, recorded and checked for the grant.
  BOOL Move(EntryPoint entry, void* buffer, DWORD length, LPDWORD count);

  struct State {
    std::vector<bool> scriptedAcquires;
    size_t nextScripted = 0;
    bool releaseAnswer = true;
    bool openAnswer = true;
    bool closeAnswer = true;
    bool absent[kEntryPointCount] = {};
    std::deque<CallRecord> calls;
    size_t counts[kEntryPointCount] = {};
    size_t violations = 0;
    char firstViolation[160] = {};
  };
  State state_;
  const char* watched_ = nullptr;
};

// "Name(a,b,...)" with the integer arguments in decimal; DeviceRead/DeviceWrite add "->count".
// For example "PortAcquire(33)", "DeviceOpen(3,3,1208,300,0)", "DeviceRead(32)->32".
inline std::string Describe(const CallRecord& call) {
  std::string text = EntryPointName(call.entry);
  text += '(';
  for (uint32_t i = 0; i < call.argumentCount && i < 5; ++i) {
    if (i != 0) {
      text += ',';
    }
    text += std::to_string(call.arguments[i]);
  }
  text += ')';
  if (call.entry == EntryPoint::DeviceRead || call.entry == EntryPoint::DeviceWrite) {
    text += "->" + std::to_string(call.transferred);
  }
  return text;
}

inline std::vector<std::string> ContentionDouble::DescribeCalls() const {
  std::vector<std::string> lines;
  for (const CallRecord& call : Calls()) {
    lines.push_back(Describe(call));
  }
  return lines;
}

// The double behind a Windows test DLL's ModuleControl export.
inline ContentionDouble* AsDouble(scansim::ContentionModule* module) {
  return static_cast<ContentionDouble*>(module);
}

}  // namespace doubles
