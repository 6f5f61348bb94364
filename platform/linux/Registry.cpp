// The registry: a tree of keys under the three predefined roots, with case-insensitive key and value
// names. Registry functions report through their LSTATUS result and leave the last-error code alone.
#include "Surface.h"

#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "Names.h"

namespace {

constexpr LSTATUS kErrorBadPathname = 161;
constexpr LSTATUS kErrorNoAccess = 998;
constexpr LSTATUS kErrorKeyDeleted = 1018;
constexpr DWORD kCreatedNewKey = 1;
constexpr DWORD kOpenedExistingKey = 2;

struct Value {
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

struct Key {
  std::map<std::string, std::shared_ptr<Key>> children;  // by case-folded name
  std::map<std::string, Value> values;                   // by case-folded name; "" is the default value
  bool deleted = false;
};

struct RegistryModel {
  std::mutex mutex;
  std::shared_ptr<Key> classesRoot = std::make_shared<Key>();
  std::shared_ptr<Key> currentUser = std::make_shared<Key>();
  std::shared_ptr<Key> localMachine = std::make_shared<Key>();
  std::map<uintptr_t, std::shared_ptr<Key>> handles;
  // Apart from the device and event handles, so that a key handle passed as a file handle fails.
  uintptr_t nextHandle = 0x10000000;
};

RegistryModel& Model() {
  // Never destroyed: the library and its callers may still reach it from exit handlers and the
  // static destructors of other modules.
  static RegistryModel& model = *new RegistryModel;
  return model;
}

// The key behind a handle. The caller holds the model's lock.
LSTATUS Resolve(RegistryModel& model, HKEY hKey, std::shared_ptr<Key>* key) {
  if (hKey == HKEY_CLASSES_ROOT) {
    *key = model.classesRoot;
  } else if (hKey == HKEY_CURRENT_USER) {
    *key = model.currentUser;
  } else if (hKey == HKEY_LOCAL_MACHINE) {
    *key = model.localMachine;
  } else {
    auto it = model.handles.find(reinterpret_cast<uintptr_t>(hKey));
    if (it == model.handles.end()) {
      return ERROR_INVALID_HANDLE;
    }
    *key = it->second;
  }
  return (*key)->deleted ? kErrorKeyDeleted : ERROR_SUCCESS;
}

// The case-folded components of a subkey path; a path may not start with a backslash.
LSTATUS SplitPath(LPCSTR lpSubKey, std::vector<std::string>* components) {
  if (lpSubKey == nullptr) {
    return ERROR_SUCCESS;
  }
  if (lpSubKey[0] == '\\') {
    return kErrorBadPathname;
  }
  std::string component;
  for (const char* p = lpSubKey;; ++p) {
    if (*p == '\\' || *p == '\0') {
      if (!component.empty()) {
        components->push_back(winplat::detail::FoldCase(component));
        component.clear();
      }
      if (*p == '\0') {
        return ERROR_SUCCESS;
      }
    } else {
      component += *p;
    }
  }
}

HKEY NewHandle(RegistryModel& model, std::shared_ptr<Key> key) {
  uintptr_t value = model.nextHandle;
  model.nextHandle += 4;
  model.handles.emplace(value, std::move(key));
  return reinterpret_cast<HKEY>(value);
}

// Handles that still refer to a deleted key see ERROR_KEY_DELETED.
void MarkDeleted(Key& key) {
  key.deleted = true;
  for (auto& child : key.children) {
    MarkDeleted(*child.second);
  }
  key.children.clear();
  key.values.clear();
}

std::string ValueName(LPCSTR lpValueName) {
  return lpValueName == nullptr ? std::string() : winplat::detail::FoldCase(lpValueName);
}

}  // namespace

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD /*ulOptions*/, REGSAM /*samDesired*/, PHKEY phkResult) {
  if (phkResult == nullptr) {
    return ERROR_INVALID_PARAMETER;
  }
  *phkResult = nullptr;
  RegistryModel& model = Model();
  std::lock_guard<std::mutex> lock(model.mutex);
  std::shared_ptr<Key> key;
  std::vector<std::string> path;
  LSTATUS status = Resolve(model, hKey, &key);
  if (status == ERROR_SUCCESS) {
    status = SplitPath(lpSubKey, &path);
  }
  if (status != ERROR_SUCCESS) {
    return status;
  }
  for (const std::string& component : path) {
    auto child = key->children.find(component);
    if (child == key->children.end()) {
      return ERROR_FILE_NOT_FOUND;
    }
    key = child->second;
  }
  *phkResult = NewHandle(model, key);
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD /*Reserved*/, LPSTR /*lpClass*/, DWORD /*dwOptions*/,
                               REGSAM /*samDesired*/, LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/, PHKEY phkResult,
                               LPDWORD lpdwDisposition) {
  if (phkResult == nullptr) {
    return ERROR_INVALID_PARAMETER;
  }
  *phkResult = nullptr;
  RegistryModel& model = Model();
  std::lock_guard<std::mutex> lock(model.mutex);
  std::shared_ptr<Key> key;
  std::vector<std::string> path;
  LSTATUS status = Resolve(model, hKey, &key);
  if (status == ERROR_SUCCESS) {
    status = SplitPath(lpSubKey, &path);
  }
  if (status != ERROR_SUCCESS) {
    return status;
  }
  bool created = false;
  for (const std::string& component : path) {
    std::shared_ptr<Key>& child = key->children[component];
    created = !child;
    if (created) {
      child = std::make_shared<Key>();
    }
    key = child;
  }
  if (lpdwDisposition != nullptr) {
    *lpdwDisposition = created ? kCreatedNewKey : kOpenedExistingKey;
  }
  *phkResult = NewHandle(model, key);
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData) {
  if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) {
    return ERROR_INVALID_PARAMETER;
  }
  RegistryModel& model = Model();
  std::lock_guard<std::mutex> lock(model.mutex);
  std::shared_ptr<Key> key;
  LSTATUS status = Resolve(model, hKey, &key);
  if (status != ERROR_SUCCESS) {
    return status;
  }
  auto it = key->values.find(ValueName(lpValueName));
  if (it == key->values.end()) {
    return ERROR_FILE_NOT_FOUND;
  }
  const Value& value = it->second;
  auto size = static_cast<DWORD>(value.data.size());
  if (lpType != nullptr) {
    *lpType = value.type;
  }
  if (lpData != nullptr && *lpcbData < size) {
    *lpcbData = size;
    return ERROR_MORE_DATA;
  }
  if (lpData != nullptr && size > 0) {
    std::memcpy(lpData, value.data.data(), size);
  }
  if (lpcbData != nullptr) {
    *lpcbData = size;
  }
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD /*Reserved*/, DWORD dwType, const BYTE* lpData,
                              DWORD cbData) {
  if (lpData == nullptr && cbData > 0) {
    return kErrorNoAccess;
  }
  RegistryModel& model = Model();
  std::lock_guard<std::mutex> lock(model.mutex);
  std::shared_ptr<Key> key;
  LSTATUS status = Resolve(model, hKey, &key);
  if (status != ERROR_SUCCESS) {
    return status;
  }
  Value& value = key->values[ValueName(lpValueName)];
  value.type = dwType;
  value.data.assign(lpData, lpData + cbData);
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
  RegistryModel& model = Model();
  std::lock_guard<std::mutex> lock(model.mutex);
  std::shared_ptr<Key> key;
  LSTATUS status = Resolve(model, hKey, &key);
  if (status != ERROR_SUCCESS) {
    return status;
  }
  return key->values.erase(ValueName(lpValueName)) > 0 ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

// With no subkey (null or empty) the key itself stays and loses its values and subkeys.
LSTATUS WINAPI RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey) {
  RegistryModel& model = Model();
  std::lock_guard<std::mutex> lock(model.mutex);
  std::shared_ptr<Key> key;
  std::vector<std::string> path;
  LSTATUS status = Resolve(model, hKey, &key);
  if (status == ERROR_SUCCESS) {
    status = SplitPath(lpSubKey, &path);
  }
  if (status != ERROR_SUCCESS) {
    return status;
  }
  if (path.empty()) {
    for (auto& child : key->children) {
      MarkDeleted(*child.second);
    }
    key->children.clear();
    key->values.clear();
    return ERROR_SUCCESS;
  }
  std::shared_ptr<Key> parent;
  for (const std::string& component : path) {
    auto child = key->children.find(component);
    if (child == key->children.end()) {
      return ERROR_FILE_NOT_FOUND;
    }
    parent = key;
    key = child->second;
  }
  MarkDeleted(*key);
  parent->children.erase(path.back());
  return ERROR_SUCCESS;
}

// Closing a predefined root is harmless; closing a handle twice is not.
LSTATUS WINAPI RegCloseKey(HKEY hKey) {
  if (hKey == HKEY_CLASSES_ROOT || hKey == HKEY_CURRENT_USER || hKey == HKEY_LOCAL_MACHINE) {
    return ERROR_SUCCESS;
  }
  RegistryModel& model = Model();
  std::lock_guard<std::mutex> lock(model.mutex);
  return model.handles.erase(reinterpret_cast<uintptr_t>(hKey)) > 0 ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

namespace winplat {

void ResetRegistry() {
  RegistryModel& model = Model();
  std::lock_guard<std::mutex> lock(model.mutex);
  model.classesRoot = std::make_shared<Key>();
  model.currentUser = std::make_shared<Key>();
  model.localMachine = std::make_shared<Key>();
  model.handles.clear();
}

#if defined(WINPLAT_TEST_HOOKS)
size_t OpenKeyHandles() {
  RegistryModel& model = Model();
  std::lock_guard<std::mutex> lock(model.mutex);
  return model.handles.size();
}
#endif

}  // namespace winplat
