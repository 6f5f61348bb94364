// The handle table. Values are never reused, so a stale handle fails instead of reaching a newer object.
#include "Handles.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <utility>

namespace winplat {
namespace detail {
namespace {

struct HandleTable {
  std::mutex mutex;
  std::map<uintptr_t, HandleTarget> entries;
  // Multiples of four, as kernel handles are.
  uintptr_t next = 0x100;
};

HandleTable& Table() {
  // Never destroyed: the library and its callers may still reach it from exit handlers and the
  // static destructors of other modules.
  static HandleTable& table = *new HandleTable;
  return table;
}

}  // namespace

HANDLE InsertHandle(HandleTarget target) {
  HandleTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  uintptr_t value = table.next;
  table.next += 4;
  table.entries.emplace(value, std::move(target));
  return reinterpret_cast<HANDLE>(value);
}

bool FindHandle(HANDLE handle, HandleTarget* target) {
  HandleTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto it = table.entries.find(reinterpret_cast<uintptr_t>(handle));
  if (it == table.entries.end()) {
    return false;
  }
  *target = it->second;
  return true;
}

bool RemoveHandle(HANDLE handle, HandleTarget* target) {
  HandleTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto it = table.entries.find(reinterpret_cast<uintptr_t>(handle));
  if (it == table.entries.end()) {
    return false;
  }
  *target = std::move(it->second);
  table.entries.erase(it);
  return true;
}

HandleCounts CountHandles() {
  HandleTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  HandleCounts counts;
  for (const auto& entry : table.entries) {
    if (entry.second.device) {
      ++counts.devices;
    } else {
      ++counts.events;
    }
  }
  return counts;
}

}  // namespace detail

HandleCounts OpenHandles() {
  return detail::CountHandles();
}

}  // namespace winplat
