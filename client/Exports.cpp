#include "client/Exports.h"

#include "host/ProgramDirectory.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

#include <type_traits>
#include <utility>
#include <vector>

namespace client {

namespace {

using Entry = void (*)();

// Each listed name is declared in WIASTIIO.h with the pointer type the binder gives it.
#define WIASTIIO_EXPORT_TYPE(name) static_assert(std::is_same_v<decltype(&::name), PFN_##name>, #name);
WIASTIIO_EXPORT_NAMES(WIASTIIO_EXPORT_TYPE)
#undef WIASTIIO_EXPORT_TYPE

Entry Symbol(void* module, const char* name) {
#if defined(_WIN32)
  return reinterpret_cast<Entry>(GetProcAddress(static_cast<HMODULE>(module), name));
#else
  return reinterpret_cast<Entry>(dlsym(module, name));
#endif
}

}  // namespace

std::string DefaultLibraryPath() {
#if defined(_WIN32)
  return "WIASTIIO.dll";
#else
  auto Exists = [](const std::string& path) { return access(path.c_str(), F_OK) == 0; };
  const std::string here = host::ProgramDirectory();
  const std::string beside = here + "WIASTIIO.so";
  const std::string installed = here + "../lib/wiastiio/WIASTIIO.so";
  return Exists(beside) || !Exists(installed) ? beside : installed;
#endif
}

Exports::~Exports() {
  Unload();
}

Exports& Exports::operator=(Exports&& other) noexcept {
  if (this != &other) {
    Unload();
    Take(other);
  }
  return *this;
}

void Exports::Take(Exports& other) {
#define WIASTIIO_EXPORT_TAKE(name) name = other.name;
  WIASTIIO_EXPORT_NAMES(WIASTIIO_EXPORT_TAKE)
#undef WIASTIIO_EXPORT_TAKE
  module_ = other.module_;
  path_ = std::move(other.path_);
  other.module_ = nullptr;
  other.Unload();
}

void Exports::Unload() {
  if (module_ != nullptr) {
#if defined(_WIN32)
    FreeLibrary(static_cast<HMODULE>(module_));
#else
    dlclose(module_);
#endif
  }
  module_ = nullptr;
  path_.clear();
#define WIASTIIO_EXPORT_CLEAR(name) name = nullptr;
  WIASTIIO_EXPORT_NAMES(WIASTIIO_EXPORT_CLEAR)
#undef WIASTIIO_EXPORT_CLEAR
}

bool Exports::Load(const std::string& path, std::string* error) {
  if (module_ != nullptr) {
    *error = path_ + " is already loaded";
    return false;
  }
  path_ = path;
#if defined(_WIN32)
  // A name without a folder (the default) is looked for beside the program, then in System32: never
  // in the current folder or along PATH, where anyone may have left a file of that name.
  const bool bare = path.find_first_of("\\/:") == std::string::npos;
  module_ =
      bare ? LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32)
           : LoadLibraryA(path.c_str());
  if (module_ == nullptr) {
    const DWORD code = GetLastError();
    char text[256] = "";
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                        text, sizeof text, nullptr);
    std::string reason(text, length);
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == '.')) {
      reason.pop_back();
    }
    *error = "cannot load " + path + ": " + (reason.empty() ? "error " + std::to_string(code) : reason);
    return false;
  }
#else
  module_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module_ == nullptr) {
    const char* reason = dlerror();
    *error = "cannot load " + path + ": " + (reason != nullptr ? reason : "unknown reason");
    return false;
  }
#endif
  std::string missing;
  auto bind = [&](const char* name, auto* slot) {
    const Entry entry = Symbol(module_, name);
    if (entry == nullptr) {
      missing += (missing.empty() ? "" : ", ") + std::string(name);
    }
    *slot = reinterpret_cast<std::remove_pointer_t<decltype(slot)>>(entry);
  };
#define WIASTIIO_EXPORT_BIND(name) bind(#name, &name);
  WIASTIIO_EXPORT_NAMES(WIASTIIO_EXPORT_BIND)
#undef WIASTIIO_EXPORT_BIND
  if (!missing.empty()) {
    *error = path + " lacks the export" + (missing.find(',') != std::string::npos ? "s " : " ") + missing;
    return false;
  }
  return true;
}

}  // namespace client
