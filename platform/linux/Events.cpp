// Manual- and auto-reset events in the shared handle table. Names are not shared between calls: every
// CreateEventA makes a new event, which is all the library and its tests need.
#include "Surface.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "Handles.h"

namespace winplat {
namespace detail {

class EventObject {
 public:
  EventObject(bool manualReset, bool signaled) : m_manualReset(manualReset), m_signaled(signaled) {}

  void Set() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_signaled = true;
    }
    m_condition.notify_all();
  }

  // True when the event was signaled within the time; an auto-reset event is consumed by the wait.
  bool Wait(DWORD milliseconds) {
    std::unique_lock<std::mutex> lock(m_mutex);
    auto signaled = [this] { return m_signaled; };
    if (milliseconds == INFINITE) {
      m_condition.wait(lock, signaled);
    } else if (!m_condition.wait_for(lock, std::chrono::milliseconds(milliseconds), signaled)) {
      return false;
    }
    if (!m_manualReset) {
      m_signaled = false;
    }
    return true;
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_condition;
  const bool m_manualReset;
  bool m_signaled;
};

}  // namespace detail
}  // namespace winplat

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES /*lpEventAttributes*/, BOOL bManualReset, BOOL bInitialState,
                           LPCSTR /*lpName*/) {
  auto event = std::make_shared<winplat::detail::EventObject>(bManualReset != FALSE, bInitialState != FALSE);
  return winplat::detail::InsertHandle({nullptr, event});
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
  winplat::detail::HandleTarget target;
  if (!winplat::detail::FindHandle(hEvent, &target) || !target.event) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  target.event->Set();
  return TRUE;
}

// A device handle has no I/O pending between synchronous calls, so it is always signaled.
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  winplat::detail::HandleTarget target;
  if (!winplat::detail::FindHandle(hHandle, &target)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  if (!target.event) {
    return WAIT_OBJECT_0;
  }
  return target.event->Wait(dwMilliseconds) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}
