// The nineteen exports of WIASTIIO bound at run time by name, as the minidriver binds them: dlopen on
// Linux, LoadLibraryA on Windows. The one binder for every caller (tests, the tool, the SANE backend).
#pragma once

#include <string>

#include "ExportNames.h"
#include "WIASTIIO.h"

namespace client {

class Exports {
 public:
  Exports() = default;
  ~Exports();
  Exports(const Exports&) = delete;
  Exports& operator=(const Exports&) = delete;
  // The module goes with the bindings.
  Exports(Exports&& other) noexcept { Take(other); }
  Exports& operator=(Exports&& other) noexcept;

  // Loads the library at `path` (a bare file name goes through the system's search) and binds every
  // export; false with a message naming the library and what is missing. A second call is refused.
  bool Load(const std::string& path, std::string* error);
  // Unbinds and unloads; the function pointers go back to null.
  void Unload();

  const std::string& Path() const { return path_; }
  // HMODULE on Windows, the dlopen handle on Linux; null before Load.
  void* Module() const { return module_; }

#define WIASTIIO_EXPORT_SLOT(name) PFN_##name name = nullptr;
  WIASTIIO_EXPORT_NAMES(WIASTIIO_EXPORT_SLOT)
#undef WIASTIIO_EXPORT_SLOT

 private:
  void Take(Exports& other);

  void* module_ = nullptr;
  std::string path_;
};

// Where a program finds the library: beside itself on Windows ("WIASTIIO.dll", by the system's search
// order); on Linux WIASTIIO.so beside the program, else in ../lib/wiastiio/ as installed.
std::string DefaultLibraryPath();

}  // namespace client
