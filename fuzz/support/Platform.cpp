#include "support/Platform.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>

#include "platform/control.h"

namespace fuzzing {

namespace {

const char kMonitorFile[] = "prtmon64.dll";
const char kArbitrationFile[] = "portarb.dll";
const char kServiceFile[] = "wiaservc.dll";

doubles::ContentionDouble g_monitor;
doubles::ContentionDouble g_arbitration;

bool Loaded(const char* file) {
  return winplat::ModuleStatistics(file).references > 0;
}

// The entry points of one module: each refuses to run while the module is not loaded, then hands the
// call to the double.
template <doubles::ContentionDouble* Double, const char* File>
struct Entries {
  static void Guard(const char* entry) {
    if (!Loaded(File)) {
      std::fprintf(stderr, "%s called in %s after the module was freed\n", entry, File);
      Fail("call into an unloaded contention module");
    }
  }
  static BOOL WINAPI PortAcquire(DWORD mode) {
    Guard("PortAcquire");
    return Double->PortAcquire(mode);
  }
  static BOOL WINAPI PortRelease(DWORD mode) {
    Guard("PortRelease");
    return Double->PortRelease(mode);
  }
  static BOOL WINAPI DeviceOpen(DWORD access, DWORD share, DWORD vid, DWORD pid, ULONG_PTR reserved) {
    Guard("DeviceOpen");
    return Double->DeviceOpen(access, share, vid, pid, reserved);
  }
  static BOOL WINAPI DeviceRead(LPVOID buffer, DWORD length, LPDWORD read) {
    Guard("DeviceRead");
    return Double->DeviceRead(buffer, length, read);
  }
  static BOOL WINAPI DeviceWrite(LPCVOID buffer, DWORD length, LPDWORD written) {
    Guard("DeviceWrite");
    return Double->DeviceWrite(buffer, length, written);
  }
  static BOOL WINAPI DeviceClose(DWORD flags) {
    Guard("DeviceClose");
    return Double->DeviceClose(flags);
  }
};

using MonitorEntries = Entries<&g_monitor, kMonitorFile>;
using ArbitrationEntries = Entries<&g_arbitration, kArbitrationFile>;

template <typename F>
FARPROC AsEntry(F* function) {
  return winplat::Entry(reinterpret_cast<void (*)()>(function));
}

void Install(const char* file, uint8_t absent, std::initializer_list<std::pair<doubles::EntryPoint, FARPROC>> entries) {
  winplat::ModuleDefinition definition;
  for (const auto& entry : entries) {
    if (((absent >> static_cast<unsigned>(entry.first)) & 1u) == 0) {
      definition.entries[doubles::EntryPointName(entry.first)] = entry.second;
    }
  }
  winplat::InstallModule(file, std::move(definition));
}

void Answer(doubles::ContentionDouble& module, const ContentionAnswers& answers) {
  module.SetAcquireAnswer(answers.acquire);
  module.SetReleaseAnswer(answers.release);
  module.SetOpenAnswer(answers.open);
  module.SetCloseAnswer(answers.close);
}

// The service's formatter: the text as the user library formats it, widened.
BSTR __cdecl FormatArgs(LPCSTR format, ...) {
  char text[1025];
  va_list args;
  va_start(args, format);
  wvsprintfA(text, format, args);
  va_end(args);
  std::u16string wide(text, text + std::strlen(text));
  return SysAllocString(wide.c_str());
}

bool EndsWith(const std::u16string& text, const char* suffix) {
  const size_t n = std::strlen(suffix);
  if (text.size() < n) {
    return false;
  }
  for (size_t i = 0; i < n; ++i) {
    if (text[text.size() - n + i] != static_cast<char16_t>(suffix[i])) {
      return false;
    }
  }
  return true;
}

}  // namespace

void Fail(const char* what) {
  std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
  std::fflush(stderr);
  __builtin_trap();
}

doubles::ContentionDouble& DeviceMonitor() {
  return g_monitor;
}

doubles::ContentionDouble& PortArbitration() {
  return g_arbitration;
}

void InstallContention(const ContentionAnswers& answers) {
  Answer(g_monitor, answers);
  Answer(g_arbitration, answers);
  using doubles::EntryPoint;
  Install(kMonitorFile, answers.absent,
          {{EntryPoint::PortAcquire, AsEntry(&MonitorEntries::PortAcquire)},
           {EntryPoint::PortRelease, AsEntry(&MonitorEntries::PortRelease)},
           {EntryPoint::DeviceOpen, AsEntry(&MonitorEntries::DeviceOpen)},
           {EntryPoint::DeviceRead, AsEntry(&MonitorEntries::DeviceRead)},
           {EntryPoint::DeviceWrite, AsEntry(&MonitorEntries::DeviceWrite)},
           {EntryPoint::DeviceClose, AsEntry(&MonitorEntries::DeviceClose)}});
  Install(kArbitrationFile, answers.absent,
          {{EntryPoint::PortAcquire, AsEntry(&ArbitrationEntries::PortAcquire)},
           {EntryPoint::PortRelease, AsEntry(&ArbitrationEntries::PortRelease)}});
}

HRESULT STDMETHODCALLTYPE ServiceLog::Log(LONG, LONG, LONG, BSTR bstrText) {
  FUZZ_CHECK(bstrText != nullptr, "log entry without text");
  const std::u16string text(bstrText, SysStringLen(bstrText));
  ++entries;
  if (EndsWith(text, ", entering")) {
    ++entering;
  } else if (EndsWith(text, ", leaving")) {
    ++leaving;
  }
  return S_OK;
}

void InstallServiceModule() {
  winplat::InstallModule(kServiceFile, {{{"wiasFormatArgs", AsEntry(&FormatArgs)}}});
}

DeviceKey::DeviceKey(bool withDeviceData) {
  RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\FuzzedScanner", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &parameters_,
                  nullptr);
  if (withDeviceData) {
    RegCreateKeyExA(parameters_, "DeviceData", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &deviceData_, nullptr);
  }
}

DeviceKey::~DeviceKey() {
  if (deviceData_ != nullptr) {
    RegCloseKey(deviceData_);
  }
  if (parameters_ != nullptr) {
    RegCloseKey(parameters_);
  }
}

void DeviceKey::Set(const std::string& name, DWORD type, const std::vector<uint8_t>& data) {
  if (deviceData_ != nullptr) {
    RegSetValueExA(deviceData_, name.c_str(), 0, type, data.data(), static_cast<DWORD>(data.size()));
  }
}

void DeviceKey::SetDword(const std::string& name, DWORD value) {
  Set(name, REG_DWORD,
      {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
       static_cast<uint8_t>(value >> 24)});
}

void FreshPlatform(const ContentionAnswers& answers) {
  winplat::ResetAll();
  g_monitor.Reset();
  g_arbitration.Reset();
  InstallContention(answers);
  InstallServiceModule();
}

void ClearPlatform() {
  winplat::ResetAll();
  g_monitor.Reset();
  g_arbitration.Reset();
}

void CheckNothingHeld() {
  FUZZ_CHECK(!Loaded(kMonitorFile), "prtmon64.dll still loaded after TerminateDll");
  FUZZ_CHECK(!Loaded(kArbitrationFile), "portarb.dll still loaded after TerminateDll");
  FUZZ_CHECK(!Loaded(kServiceFile), "the service module still loaded after TerminateDll");
  FUZZ_CHECK(winplat::OpenHandles().devices == 0, "a device handle left open after TerminateDll");
  FUZZ_CHECK(winplat::OpenKeyHandles() == 0, "a registry key left open");
  FUZZ_CHECK(winplat::LiveBStrings() == 0, "a log text left alive");
}

}  // namespace fuzzing
