// Event notification for the still-image service. The handler keeps the service's event and a pending
// event code; a missing event doubles as the request to cancel outstanding port I/O.
#include <cstring>

#include "handler/CallTrace.h"
#include "handler/STIIOHandler.h"

namespace {

// Warning entries of the WIA log.
constexpr LONG LOG_WARNING = 2;

const GUID NO_EVENT_CODE = {};

}  // namespace

HRESULT CSTIIOHandler::SetNotificationHandle(HANDLE hEvent) {
  CSTIIOHANDLER_ENTRY("SetNotificationHandle");

  if (hEvent == nullptr || hEvent == INVALID_HANDLE_VALUE) {
    DebugPrint("[STI SetNotificationHandle]Null Event Handle Pointer is received");
    // The stored event is kept; only I/O this thread left pending on the port is stopped.
    if (!CancelPortIo()) {
      DebugPrint("[STI]Calcel IO Fail, Error Code => %d", static_cast<int>(::GetLastError()));
    }
  } else {
    DebugPrint("[STI SetNotificationHandle]Valid Event Handle Pointer is received");
    WiaLogEntry(m_pIWiaLog, LOG_WARNING, 0, 0, "SetNotificationHandle, hEvent = %d", (int)(LONG_PTR)hEvent);
    m_guidEvent = NO_EVENT_CODE;
    std::memset(&m_Overlapped, 0, sizeof(m_Overlapped));
    m_Overlapped.hEvent = hEvent;
    std::memset(m_abNotifyBuffer, 0, sizeof(m_abNotifyBuffer));
  }
  return S_OK;
}

HRESULT CSTIIOHandler::GetNotificationData(STINOTIFY* lpNotify) {
  CSTIIOHANDLER_ENTRY("GetNotificationData");

  if (lpNotify == nullptr) {
    return E_INVALIDARG;
  }

  if (std::memcmp(&m_guidEvent, &NO_EVENT_CODE, sizeof(GUID)) == 0) {
    DebugPrint("[STI]No Event!!!");
    return STI_NO_EVENT;
  }

  // Each pending code is delivered once.
  std::memset(lpNotify, 0, sizeof(STINOTIFY));
  lpNotify->dwSize = sizeof(STINOTIFY);
  lpNotify->guidNotificationCode = m_guidEvent;
  DebugPrint("[STI]Event Reset!!!");
  m_guidEvent = NO_EVENT_CODE;
  return S_OK;
}
