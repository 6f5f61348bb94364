// The device-monitor route: "prtmon64.dll" grants the port, opens it and carries every transfer
// through its DeviceRead/DeviceWrite entry points.
#include "device/PortRoute.h"

// Outside the anonymous namespace: the handler names it as a friend.
class CDeviceMonitorRoute final : public CPortRoute {
 public:
  constexpr CDeviceMonitorRoute() : CPortRoute("prtmon64.dll", "prtmon.dll", PORT_MODE_DEVICE_MONITOR) {}

  void Open(CSTIIOHandler& handler) const override { handler.OpenPort_prtmon(); }

  BOOL Write(CSTIIOHandler& handler, LPCVOID lpBuffer, DWORD dwLength, LPDWORD lpdwWritten) const override {
    if (Refused(handler, handler.m_pfnDeviceWrite != nullptr, "CoWriteFile", "DeviceWrite")) {
      return FALSE;
    }
    return handler.m_pfnDeviceWrite(lpBuffer, dwLength, lpdwWritten);
  }

  BOOL Read(CSTIIOHandler& handler, LPVOID lpBuffer, DWORD dwLength, LPDWORD lpdwRead) const override {
    if (Refused(handler, handler.m_pfnDeviceRead != nullptr, "CoReadFile", "DeviceRead")) {
      return FALSE;
    }
    return handler.m_pfnDeviceRead(lpBuffer, dwLength, lpdwRead);
  }

  void Close(CSTIIOHandler& handler) const override {
    if (!handler.m_bPortOpened) {
      return;
    }
    handler.DebugPrint("[STI] Close Handle in case Device Monitor");
    PFN_DEVICECLOSE pfnDeviceClose = ContentionEntry<PFN_DEVICECLOSE>(handler.m_hDll, "DeviceClose");
    if (pfnDeviceClose == nullptr) {
      handler.DebugPrint("[STI]getting function pointer from dll fails");
    } else if (pfnDeviceClose(1)) {
      handler.DebugPrint("[STI] Success Closing Handle of USBSCAN in case of Device Monitor");
      handler.m_bPortOpened = FALSE;
    } else {
      handler.DebugPrint("[STI]Closing Device Monitor fails");
    }
  }

 private:
  // The entry points are null once the module is freed, or when it never exported them: calling
  // through them would jump into unmapped code, so the transfer fails as one that moved nothing, and
  // says why.
  static bool Refused(CSTIIOHandler& handler, bool bEntry, LPCSTR pszPrimitive, LPCSTR pszEntry) {
    if (bEntry) {
      return false;
    }
    if (handler.m_hDll != nullptr && handler.m_bPortAcquired) {
      handler.DebugPrint("[STI]%s refused: the device monitor has no %s", pszPrimitive, pszEntry);
    } else {
      handler.DebugPrint("[STI]%s refused: no port is granted", pszPrimitive);
    }
    ::SetLastError(ERROR_INVALID_HANDLE);
    return true;
  }
};

namespace {

// Constant-initialised: no guard, no lock, nothing to set up at the first call.
constexpr CDeviceMonitorRoute g_deviceMonitorRoute;

}  // namespace

const CPortRoute& DeviceMonitorRoute() {
  return g_deviceMonitorRoute;
}

void CSTIIOHandler::OpenPort_prtmon() {
  DebugPrint("CSTIIOHandler::OpenPort_prtmon()");

  if (m_hDll == nullptr) {
    DebugPrint("[STI]m_hDll is NULL");
  }
  PFN_DEVICEOPEN pfnDeviceOpen = ContentionEntry<PFN_DEVICEOPEN>(m_hDll, "DeviceOpen");
  if (pfnDeviceOpen == nullptr) {
    DebugPrint("[STI]getting function pointer fails");
  } else if (pfnDeviceOpen(3, 3, m_wVid, m_wPid, 0)) {
    DebugPrint("[STI]DeviceOpen success");
    m_bPortOpened = TRUE;
  } else {
    DebugPrint("[STI]DLL Function call fails");
  }

  m_pfnDeviceRead = ContentionEntry<PFN_DEVICEREAD>(m_hDll, "DeviceRead");
  if (m_pfnDeviceRead == nullptr) {
    DebugPrint("[STI]Getting Pointer(DeviceRead) from prtmon.dll fails");
  }
  m_pfnDeviceWrite = ContentionEntry<PFN_DEVICEWRITE>(m_hDll, "DeviceWrite");
  if (m_pfnDeviceWrite == nullptr) {
    DebugPrint("[STI]Getting Pointer(DeviceWrite) from prtmon.dll fails");
  }
}
