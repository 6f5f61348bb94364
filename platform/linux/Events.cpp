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
  EventObject(bool manualReset, bool signaled) : manualReset_(manualReset), signaled_(signaled) {}

  void Set() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      signaled_ = true;
    }
    condition_.notify_all();
  }

  // True when the event was signaled within the time; an auto-reset event is consumed by the wait.
  bool Wait(DWORD milliseconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto signaled = [this] { return signaled_; };
    if (milliseconds == INFINITE) {
      condition_.wait(lock, signaled);
    } else if (!condition_.wait_for(lock, std::chrono::milliseconds(milliseconds), signaled)) {
      return false;
    }
    if (!manualReset_) {
      signaled_ = false;
    }
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable condition_;
  const bool manualReset_;
  bool signaled_;
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
