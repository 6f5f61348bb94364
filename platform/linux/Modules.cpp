// The module loader: modules installed by file name, each with one handle value and a reference count.
// Entry points are looked up in the definition at the time of each GetProcAddress, so a module can be
// reinstalled with a different set of entry points between loads.
#include "Surface.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <mutex>
#include <utility>

#include "Names.h"

namespace {

// The image base of a 64-bit program, as GetModuleHandleA(NULL) reports it.
const uintptr_t kMainProgram = 0x140000000;

struct Module {
  winplat::ModuleDefinition definition;
  uintptr_t handle = 0;
  size_t references = 0;
};

struct Statistics {
  size_t loads = 0;
  size_t frees = 0;
  size_t failed = 0;
};

struct ModuleModel {
  std::mutex mutex;
  std::map<std::string, Module> installed;       // by module key
  std::map<std::string, Statistics> statistics;  // by module key, kept for names never installed too
  uintptr_t nextHandle = 0x180000000;            // 1 MiB apart, like mapped images
};

ModuleModel& Model() {
  // Never destroyed: the library and its callers may still reach it from exit handlers and the
  // static destructors of other modules.
  static ModuleModel& model = *new ModuleModel;
  return model;
}

// The key of a module name as the loader compares it: the file name without its path, case-folded,
// with ".dll" appended when it has no extension and a trailing dot (which suppresses that) removed.
std::string ModuleKey(const std::string& name) {
  size_t separator = name.find_last_of("\\/");
  std::string file = separator == std::string::npos ? name : name.substr(separator + 1);
  if (file.find('.') == std::string::npos) {
    file += ".dll";
  } else if (file.back() == '.') {
    file.pop_back();
  }
  return winplat::detail::FoldCase(file);
}

// The installed module with this handle; null when there is none. The caller holds the model's lock.
Module* FindByHandle(ModuleModel& model, HMODULE handle) {
  for (auto& entry : model.installed) {
    if (entry.second.handle == reinterpret_cast<uintptr_t>(handle)) {
      return &entry.second;
    }
  }
  return nullptr;
}

}  // namespace

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
  if (lpLibFileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::string key = ModuleKey(lpLibFileName);
  ModuleModel& model = Model();
  std::lock_guard<std::mutex> lock(model.mutex);
  auto it = model.installed.find(key);
  if (it == model.installed.end()) {
    ++model.statistics[key].failed;
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  ++it->second.references;
  ++model.statistics[key].loads;
  return reinterpret_cast<HMODULE>(it->second.handle);
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
  ModuleModel& model = Model();
  std::lock_guard<std::mutex> lock(model.mutex);
  for (auto& entry : model.installed) {
    Module& module = entry.second;
    if (module.handle == reinterpret_cast<uintptr_t>(hLibModule) && module.references > 0) {
      --module.references;
      ++model.statistics[entry.first].frees;
      return TRUE;
    }
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  ModuleModel& model = Model();
  std::lock_guard<std::mutex> lock(model.mutex);
  // The main program (a null module or its own handle) exports nothing here.
  bool mainProgram = hModule == nullptr || reinterpret_cast<uintptr_t>(hModule) == kMainProgram;
  Module* module = mainProgram ? nullptr : FindByHandle(model, hModule);
  if (!mainProgram && (module == nullptr || module->references == 0)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  // Values up to 0xFFFF are ordinals, which no module here exports.
  if (module == nullptr || reinterpret_cast<uintptr_t>(lpProcName) <= 0xFFFF) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  auto entry = module->definition.entries.find(lpProcName);
  if (entry == module->definition.entries.end() || entry->second == nullptr) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return entry->second;
}

HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName) {
  if (lpModuleName == nullptr) {
    return reinterpret_cast<HMODULE>(kMainProgram);
  }
  ModuleModel& model = Model();
  std::lock_guard<std::mutex> lock(model.mutex);
  auto it = model.installed.find(ModuleKey(lpModuleName));
  if (it == model.installed.end() || it->second.references == 0) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<HMODULE>(it->second.handle);
}

// Every installed module stands in the system folder: the model has no current folder and no PATH, so
// the search flags change nothing and a path names the module by its file name alone.
HMODULE WINAPI LoadLibraryExA(LPCSTR lpLibFileName, HANDLE /*hFile*/, DWORD /*dwFlags*/) {
  return LoadLibraryA(lpLibFileName);
}

// The modules of the model are tables of entry points, not images at addresses: no address belongs
// to one, so a search from an address finds nothing.
BOOL WINAPI GetModuleHandleExA(DWORD dwFlags, LPCSTR lpModuleName, HMODULE* phModule) {
  if (phModule == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *phModule = (dwFlags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) ? nullptr : GetModuleHandleA(lpModuleName);
  if (*phModule == nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  return TRUE;
}

DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
  std::string path = "C:\\Windows\\System32\\";
  {
    ModuleModel& model = Model();
    std::lock_guard<std::mutex> lock(model.mutex);
    bool found = false;
    for (auto& entry : model.installed) {
      if (entry.second.handle == reinterpret_cast<uintptr_t>(hModule) && entry.second.references > 0) {
        path += entry.first;
        found = true;
      }
    }
    if (!found) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return 0;
    }
  }
  if (lpFilename == nullptr || nSize == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  // Cut to the buffer and terminated, with the full size as the only sign, as Windows does.
  const DWORD cch = static_cast<DWORD>(std::min<size_t>(path.size(), nSize - 1));
  path.copy(lpFilename, cch);
  lpFilename[cch] = '\0';
  if (cch < path.size()) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return nSize;
  }
  return cch;
}

BOOL WINAPI DisableThreadLibraryCalls(HMODULE /*hLibModule*/) {
  return TRUE;
}

namespace winplat {

// Reinstalling a module replaces its entry points and keeps its handle and reference count.
void InstallModule(const std::string& fileName, ModuleDefinition definition) {
  ModuleModel& model = Model();
  std::lock_guard<std::mutex> lock(model.mutex);
  auto inserted = model.installed.emplace(ModuleKey(fileName), Module());
  Module& module = inserted.first->second;
  if (inserted.second) {
    module.handle = model.nextHandle;
    model.nextHandle += 0x100000;
  }
  module.definition = std::move(definition);
}

void RemoveModule(const std::string& fileName) {
  ModuleModel& model = Model();
  std::lock_guard<std::mutex> lock(model.mutex);
  model.installed.erase(ModuleKey(fileName));
}

void RemoveAllModules() {
  ModuleModel& model = Model();
  std::lock_guard<std::mutex> lock(model.mutex);
  model.installed.clear();
}

ModuleCounts ModuleStatistics(const std::string& fileName) {
  std::string key = ModuleKey(fileName);
  ModuleModel& model = Model();
  std::lock_guard<std::mutex> lock(model.mutex);
  ModuleCounts counts;
  auto stats = model.statistics.find(key);
  if (stats != model.statistics.end()) {
    counts.loads = stats->second.loads;
    counts.frees = stats->second.frees;
    counts.failed = stats->second.failed;
  }
  auto module = model.installed.find(key);
  if (module != model.installed.end()) {
    counts.references = module->second.references;
  }
  return counts;
}

void ResetModuleStatistics() {
  ModuleModel& model = Model();
  std::lock_guard<std::mutex> lock(model.mutex);
  model.statistics.clear();
}

}  // namespace winplat
