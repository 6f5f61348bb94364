// Control of the Linux platform's in-process models, for tests, tools and the scanner simulator.
//
// The I/O handler never includes this header: it sees only the Windows surface of win32.h. Everything
// here lives in libwinplat next to that surface and is not part of WIASTIIO's exports.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace winplat {

// ---- Debugger output -------------------------------------------------------------------------------

// Every string given to OutputDebugStringA, oldest first, since the last ClearDebugStrings().
std::vector<std::string> DebugStrings();
void ClearDebugStrings();
// Called with each string as it is written (in addition to recording it); an empty function removes it.
void SetDebugStringSink(std::function<void(const char*)> sink);

// ---- Devices ---------------------------------------------------------------------------------------

// What stands behind a device name such as "\\.\Usbscan0". Each method reports like its Win32
// counterpart: a zero result is a failure and the object sets the last-error code itself
// (SetLastError) before returning it.
class DeviceObject {
 public:
  virtual ~DeviceObject() = default;
  // Called by CreateFileA; a zero result makes the open fail with the last-error code set.
  virtual BOOL Open() { return TRUE; }
  virtual BOOL Write(const void* buffer, DWORD length, DWORD* written) = 0;
  virtual BOOL Read(void* buffer, DWORD length, DWORD* read) = 0;
  virtual BOOL IoControl(DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength, DWORD* returned) = 0;
  virtual BOOL Cancel() { return TRUE; }
};

// Makes `name` (matched without regard to case) open to CreateFileA; replaces an earlier object.
void PlugDevice(const std::string& name, std::shared_ptr<DeviceObject> device);
void UnplugDevice(const std::string& name);
void UnplugAllDevices();

struct HandleCounts {
  size_t devices = 0;  // open handles of plugged device objects
  size_t events = 0;   // open event handles
};
HandleCounts OpenHandles();

struct DeviceCallCounts {
  size_t creates = 0;  // CreateFileA calls, successful or not
  size_t reads = 0;
  size_t writes = 0;
  size_t ioctls = 0;
  size_t cancels = 0;
  size_t closes = 0;
  size_t bad_closes = 0;  // closes of a handle that is not open (the pseudo-handles aside)
};
DeviceCallCounts DeviceCalls();
void ResetDeviceCalls();

// ---- Modules ---------------------------------------------------------------------------------------

// A module that LoadLibraryA can find by file name (matched without regard to case): its named entry
// points. Entry points may be added or removed between loads to model a module that lacks one.
struct ModuleDefinition {
  std::map<std::string, FARPROC> entries;
};

void InstallModule(const std::string& fileName, ModuleDefinition definition);
void RemoveModule(const std::string& fileName);
void RemoveAllModules();

struct ModuleCounts {
  size_t loads = 0;       // successful LoadLibraryA calls
  size_t frees = 0;       // successful FreeLibrary calls
  size_t failed = 0;      // LoadLibraryA calls that found no such module
  size_t references = 0;  // loads not yet freed
};
ModuleCounts ModuleStatistics(const std::string& fileName);
void ResetModuleStatistics();

// Casts any function to the FARPROC that GetProcAddress hands out. The detour through void (*)() keeps
// g++'s -Wcast-function-type (part of -Wextra) quiet, as it treats that type as matching every function.
template <typename F>
FARPROC Entry(F* function) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

// ---- Registry --------------------------------------------------------------------------------------

// Removes every key and value and closes nothing: open key handles become invalid.
void ResetRegistry();

}  // namespace winplat
