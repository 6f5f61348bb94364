// Debugger output: every string handed to OutputDebugStringA is kept in order for tests to compare,
// passed to an optional sink, and echoed to stderr when WINPLAT_DEBUG_STDERR=1.
#include "Surface.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

namespace {

struct DebugOutput {
  std::mutex mutex;
  std::vector<std::string> strings;
  std::function<void(const char*)> sink;
};

DebugOutput& Output() {
  // Never destroyed: the library and its callers may still reach it from exit handlers and the
  // static destructors of other modules.
  static DebugOutput& output = *new DebugOutput;
  return output;
}

bool EchoToStderr() {
  const char* value = std::getenv("WINPLAT_DEBUG_STDERR");
  return value != nullptr && std::strcmp(value, "1") == 0;
}

}  // namespace

void WINAPI OutputDebugStringA(LPCSTR lpOutputString) {
  if (lpOutputString == nullptr) {
    return;
  }
  std::function<void(const char*)> sink;
  {
    DebugOutput& output = Output();
    std::lock_guard<std::mutex> lock(output.mutex);
    output.strings.emplace_back(lpOutputString);
    sink = output.sink;
  }
  // The sink runs unlocked so that it may itself read the recorded strings or write new ones.
  if (sink) {
    sink(lpOutputString);
  }
  if (EchoToStderr()) {
    std::fprintf(stderr, "%s\n", lpOutputString);
  }
}

namespace winplat {

std::vector<std::string> DebugStrings() {
  DebugOutput& output = Output();
  std::lock_guard<std::mutex> lock(output.mutex);
  return output.strings;
}

void ClearDebugStrings() {
  DebugOutput& output = Output();
  std::lock_guard<std::mutex> lock(output.mutex);
  output.strings.clear();
}

void SetDebugStringSink(std::function<void(const char*)> sink) {
  DebugOutput& output = Output();
  std::lock_guard<std::mutex> lock(output.mutex);
  output.sink = std::move(sink);
}

}  // namespace winplat
