#include "Library.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

#include <vector>

namespace stiscan {

std::string ProgramDirectory() {
#if defined(_WIN32)
  std::vector<char> path(MAX_PATH);
  for (;;) {
    DWORD length = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) {
      return std::string();
    }
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);
  }
  std::string text(path.begin(), path.end());
  const size_t slash = text.find_last_of("\\/");
#else
  std::vector<char> path(4096);
  ssize_t length = readlink("/proc/self/exe", path.data(), path.size() - 1);
  if (length <= 0) {
    return std::string();
  }
  std::string text(path.data(), static_cast<size_t>(length));
  const size_t slash = text.find_last_of('/');
#endif
  return slash == std::string::npos ? std::string() : text.substr(0, slash + 1);
}

Library::~Library() {
  if (module_ == nullptr) {
    return;
  }
#if defined(_WIN32)
  FreeLibrary(static_cast<HMODULE>(module_));
#else
  dlclose(module_);
#endif
}

Library::Entry Library::Symbol(const char* name) {
#if defined(_WIN32)
  return reinterpret_cast<Entry>(GetProcAddress(static_cast<HMODULE>(module_), name));
#else
  return reinterpret_cast<Entry>(dlsym(module_, name));
#endif
}

template <typename T>
bool Library::Bind(const char* name, T* slot, std::string* error) {
  Entry symbol = Symbol(name);
  if (symbol == nullptr) {
    *error = path_ + " lacks the export " + name;
    return false;
  }
  *slot = reinterpret_cast<T>(symbol);
  return true;
}

bool Library::Load(std::string* error) {
#if defined(_WIN32)
  // The system's search order starts with the program's own directory, where the build puts it.
  path_ = "WIASTIIO.dll";
  module_ = LoadLibraryA(path_.c_str());
  if (module_ == nullptr) {
    *error = "cannot load " + path_ + " (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
#else
  path_ = ProgramDirectory() + "WIASTIIO.so";
  module_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module_ == nullptr) {
    const char* reason = dlerror();
    *error = "cannot load " + path_ + ": " + (reason != nullptr ? reason : "unknown reason");
    return false;
  }
#endif
  return Bind("InitializeDll", &InitializeDll, error) && Bind("TerminateDll", &TerminateDll, error) &&
         Bind("DeleteMemory", &DeleteMemory, error) && Bind("Initialize", &Initialize, error) &&
         Bind("GetCapabilities", &GetCapabilities, error) && Bind("GetStatus", &GetStatus, error) &&
         Bind("DeviceReset", &DeviceReset, error) && Bind("Diagnostic", &Diagnostic, error) &&
         Bind("STIEscape", &STIEscape, error) && Bind("STIGetLastError", &STIGetLastError, error) &&
         Bind("LockDevice", &LockDevice, error) && Bind("UnLockDevice", &UnLockDevice, error) &&
         Bind("RawReadData", &RawReadData, error) && Bind("RawWriteData", &RawWriteData, error) &&
         Bind("RawReadCommand", &RawReadCommand, error) && Bind("RawWriteCommand", &RawWriteCommand, error) &&
         Bind("SetNotificationHandle", &SetNotificationHandle, error) &&
         Bind("GetNotificationData", &GetNotificationData, error) && Bind("GetLastErrorInfo", &GetLastErrorInfo, error);
}

}  // namespace stiscan
