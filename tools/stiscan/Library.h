// The library bound at run time by its export names, as the minidriver binds it: dlopen of WIASTIIO.so
// beside the tool on Linux, LoadLibraryA("WIASTIIO.dll") on Windows.
#pragma once

#include <string>

#include "WIASTIIO.h"

namespace stiscan {

class Library {
 public:
  Library() = default;
  ~Library();
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  // Loads the library and binds all nineteen exports; false with a message when it or an export is
  // missing.
  bool Load(std::string* error);
  // Where the library came from (for messages).
  const std::string& Path() const { return path_; }
  // The module handle (HMODULE on Windows, the dlopen handle on Linux).
  void* Module() const { return module_; }

  PFN_InitializeDll InitializeDll = nullptr;
  PFN_TerminateDll TerminateDll = nullptr;
  PFN_DeleteMemory DeleteMemory = nullptr;
  PFN_Initialize Initialize = nullptr;
  PFN_GetCapabilities GetCapabilities = nullptr;
  PFN_GetStatus GetStatus = nullptr;
  PFN_DeviceReset DeviceReset = nullptr;
  PFN_Diagnostic Diagnostic = nullptr;
  PFN_STIEscape STIEscape = nullptr;
  PFN_STIGetLastError STIGetLastError = nullptr;
  PFN_LockDevice LockDevice = nullptr;
  PFN_UnLockDevice UnLockDevice = nullptr;
  PFN_RawReadData RawReadData = nullptr;
  PFN_RawWriteData RawWriteData = nullptr;
  PFN_RawReadCommand RawReadCommand = nullptr;
  PFN_RawWriteCommand RawWriteCommand = nullptr;
  PFN_SetNotificationHandle SetNotificationHandle = nullptr;
  PFN_GetNotificationData GetNotificationData = nullptr;
  PFN_GetLastErrorInfo GetLastErrorInfo = nullptr;

 private:
  // Any function; each export is cast to its own type once found.
  typedef void (*Entry)();
  Entry Symbol(const char* name);
  template <typename T>
  bool Bind(const char* name, T* slot, std::string* error);

  void* module_ = nullptr;
  std::string path_;
};

// The directory of the running program, ending in a separator.
std::string ProgramDirectory();

}  // namespace stiscan
