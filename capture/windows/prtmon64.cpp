// The capturing device monitor. Placed beside WIASTIIO.dll as "prtmon64.dll", it is the module the
// library loads; it loads the installed device monitor from the system folder by its full path,
// forwards every call to it unchanged, and writes the session to a capture file (docs/CAPTURE.md):
// each module call, and each DeviceWrite and DeviceRead with its bytes.
//
// The file is named by WIASTIIO_CAPTURE in the environment, or else by the value "File" (REG_SZ) of
// HKEY_LOCAL_MACHINE\SOFTWARE\WIASTIIO\Capture, for the imaging service, whose environment is not
// the user's. WIASTIIO_CAPTURE_IMAGES=0, or the value "Images" (REG_DWORD) 0, leaves the image bytes
// out. Without a file it forwards and writes nothing. The setting is read again each time the library
// loads the module, so a capture starts and stops without restarting the service; a new file name
// starts a new capture.
//
// The library loads and frees its contention module in every port cycle. This module stays loaded
// once it is first called, so that one capture spans the whole session; the installed module is
// loaded at the first call of a cycle and freed after the release that ends it, as the library would.
#include <windows.h>

#include <cstring>
#include <string>
#include <type_traits>

#include "PortContention.h"
#include "platform/capture/CaptureWriter.h"

namespace {

constexpr char kModuleName[] = "prtmon64.dll";
constexpr char kSettingsKey[] = "SOFTWARE\\WIASTIIO\\Capture";

SRWLOCK g_lock = SRWLOCK_INIT;
HMODULE g_installed = nullptr;
std::string g_installedPath;
capture::Writer g_writer;

class Locked {
 public:
  Locked() { AcquireSRWLockExclusive(&g_lock); }
  ~Locked() { ReleaseSRWLockExclusive(&g_lock); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
};

HMODULE Self() {
  HMODULE self = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&Self), &self);
  return self;
}

std::string Environment(const char* name) {
  char value[MAX_PATH * 2];
  const DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
  return length > 0 && length < sizeof value ? std::string(value, length) : std::string();
}

// The capture file configured now, and whether images are kept; empty when none is.
std::string ConfiguredFile(bool* images) {
  std::string file = Environment("WIASTIIO_CAPTURE");
  if (!file.empty()) {
    const std::string keep = Environment("WIASTIIO_CAPTURE_IMAGES");
    *images = keep != "0" && keep != "off";
    return file;
  }
  char path[MAX_PATH * 2];
  DWORD size = sizeof path;
  if (RegGetValueA(HKEY_LOCAL_MACHINE, kSettingsKey, "File", RRF_RT_REG_SZ, nullptr, path, &size) != ERROR_SUCCESS) {
    return "";
  }
  DWORD keep = 1;
  size = sizeof keep;
  if (RegGetValueA(HKEY_LOCAL_MACHINE, kSettingsKey, "Images", RRF_RT_REG_DWORD, nullptr, &keep, &size) !=
      ERROR_SUCCESS) {
    keep = 1;
  }
  *images = keep != 0;
  return path;
}

// Before each call, with the lock held: this module kept loaded, the installed module loaded (false
// when it cannot be: the call then fails with the loader's error), and the capture as configured.
bool Enter() {
  static bool pinned = false;
  if (!pinned) {
    HMODULE self = nullptr;
    pinned = GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                                reinterpret_cast<LPCSTR>(&Enter), &self) != FALSE;
  }
  if (g_installed != nullptr) {
    return true;
  }
  bool images = true;
  const std::string file = ConfiguredFile(&images);
  if (file.empty()) {
    g_writer.Close();
  } else if ((!g_writer.IsOpen() || file != g_writer.Path()) &&
             !g_writer.Open(file, images, "Windows device monitor (the capturing prtmon64.dll)")) {
    // Seen in a debugger or DebugView; the calls are forwarded all the same.
    OutputDebugStringA(("[capture] " + file + " cannot be written").c_str());
  }
  char system[MAX_PATH];
  const UINT length = GetSystemDirectoryA(system, MAX_PATH);
  if (length == 0 || length + sizeof kModuleName + 1 > MAX_PATH) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  g_installedPath = std::string(system) + "\\" + kModuleName;
  g_installed = LoadLibraryExA(g_installedPath.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  DWORD error = GetLastError();
  if (g_installed == Self() && g_installed != nullptr) {
    // Installed in the system folder itself: there is nothing to forward to.
    FreeLibrary(g_installed);
    g_installed = nullptr;
    error = ERROR_MOD_NOT_FOUND;
  }
  if (g_installed == nullptr) {
    g_writer.Call("load " + g_installedPath + " failed, error " + std::to_string(error));
    SetLastError(error);
    return false;
  }
  return true;
}

template <typename Entry>
Entry Installed(const char* name) {
  return reinterpret_cast<Entry>(reinterpret_cast<void (*)()>(GetProcAddress(g_installed, name)));
}

// Runs `call` on the installed module's entry `name` and writes "name(arguments) = result".
template <typename Entry, typename Call>
BOOL Forward(const char* name, const std::string& arguments, Call call) {
  Locked lock;
  if (!Enter()) {
    return FALSE;
  }
  const Entry entry = Installed<Entry>(name);
  BOOL result = FALSE;
  if (entry == nullptr) {
    SetLastError(ERROR_PROC_NOT_FOUND);
  } else {
    result = call(entry);
  }
  const DWORD error = GetLastError();
  g_writer.Call(std::string(name) + "(" + arguments + ") = " + std::to_string(result) +
                (result ? "" : " error " + std::to_string(error)));
  SetLastError(error);
  return result;
}

BOOL Transfer(bool in, const char* name, void* buffer, DWORD length, LPDWORD moved) {
  Locked lock;
  if (!Enter()) {
    return FALSE;
  }
  BOOL result = FALSE;
  if (in) {
    const auto entry = Installed<PFN_DEVICEREAD>(name);
    result = entry != nullptr ? entry(buffer, length, moved) : FALSE;
  } else {
    const auto entry = Installed<PFN_DEVICEWRITE>(name);
    result = entry != nullptr ? entry(buffer, length, moved) : FALSE;
  }
  const DWORD error = GetLastError();
  const DWORD count = moved != nullptr ? *moved : 0;
  g_writer.Transfer(in, static_cast<const uint8_t*>(buffer), length, buffer != nullptr ? count : 0,
                    result ? capture::Result::kOk : capture::ResultOfError(error), error);
  SetLastError(error);
  return result;
}

}  // namespace

extern "C" {

BOOL WINAPI PortAcquire(DWORD mode) {
  return Forward<PFN_PORTACQUIRE>("PortAcquire", std::to_string(mode), [&](PFN_PORTACQUIRE f) { return f(mode); });
}

BOOL WINAPI PortRelease(DWORD mode) {
  const BOOL result =
      Forward<PFN_PORTRELEASE>("PortRelease", std::to_string(mode), [&](PFN_PORTRELEASE f) { return f(mode); });
  if (result) {
    // The cycle has ended: the installed module goes, as the library frees its module now.
    Locked lock;
    const DWORD error = GetLastError();
    if (g_installed != nullptr) {
      FreeLibrary(g_installed);
      g_installed = nullptr;
    }
    SetLastError(error);
  }
  return result;
}

BOOL WINAPI DeviceOpen(DWORD access, DWORD share, DWORD vid, DWORD pid, ULONG_PTR reserved) {
  {
    Locked lock;
    g_writer.Device(static_cast<uint16_t>(vid), static_cast<uint16_t>(pid));
  }
  const std::string arguments = std::to_string(access) + "," + std::to_string(share) + "," + std::to_string(vid) + "," +
                                std::to_string(pid) + "," + std::to_string(reserved);
  return Forward<PFN_DEVICEOPEN>("DeviceOpen", arguments,
                                 [&](PFN_DEVICEOPEN f) { return f(access, share, vid, pid, reserved); });
}

BOOL WINAPI DeviceRead(LPVOID buffer, DWORD length, LPDWORD read) {
  return Transfer(true, "DeviceRead", buffer, length, read);
}

BOOL WINAPI DeviceWrite(LPCVOID buffer, DWORD length, LPDWORD written) {
  return Transfer(false, "DeviceWrite", const_cast<void*>(buffer), length, written);
}

BOOL WINAPI DeviceClose(DWORD flags) {
  return Forward<PFN_DEVICECLOSE>("DeviceClose", std::to_string(flags), [&](PFN_DEVICECLOSE f) { return f(flags); });
}

}  // extern "C"

// The library calls through these types; the exports must match them exactly.
static_assert(std::is_same<decltype(&PortAcquire), PFN_PORTACQUIRE>::value, "PortAcquire");
static_assert(std::is_same<decltype(&PortRelease), PFN_PORTRELEASE>::value, "PortRelease");
static_assert(std::is_same<decltype(&DeviceOpen), PFN_DEVICEOPEN>::value, "DeviceOpen");
static_assert(std::is_same<decltype(&DeviceRead), PFN_DEVICEREAD>::value, "DeviceRead");
static_assert(std::is_same<decltype(&DeviceWrite), PFN_DEVICEWRITE>::value, "DeviceWrite");
static_assert(std::is_same<decltype(&DeviceClose), PFN_DEVICECLOSE>::value, "DeviceClose");
