// The process's handle table, shared by device and event handles so that CloseHandle closes either.
#pragma once

#include "Surface.h"

#include <memory>

namespace winplat {
namespace detail {

class EventObject;

// What an open handle stands for: a device object or an event. The table's reference keeps the object
// alive until the handle is closed, even after the device has been unplugged.
struct HandleTarget {
  std::shared_ptr<DeviceObject> device;
  std::shared_ptr<EventObject> event;
};

// A new handle value, unique for the life of the process, never null and never INVALID_HANDLE_VALUE.
HANDLE InsertHandle(HandleTarget target);
// False for null, INVALID_HANDLE_VALUE and handles that are not open.
bool FindHandle(HANDLE handle, HandleTarget* target);
// Takes the handle out of the table; false when it is not open.
bool RemoveHandle(HANDLE handle, HandleTarget* target);
HandleCounts CountHandles();

}  // namespace detail
}  // namespace winplat
