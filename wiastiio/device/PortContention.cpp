// The port cycle with the sibling contention modules: load the module, acquire the port and open it
// by route, then close, release and unload again.
#include "handler/STIIOHandler.h"

namespace {

// A named entry point of the loaded contention module, or null when no module is loaded or it lacks
// the entry. Without a module there is nothing to look into, so GetProcAddress is not asked.
template <typename PFN>
PFN ContentionEntry(HMODULE hModule, LPCSTR pszName) {
  if (hModule == nullptr) {
    return nullptr;
  }
  // Through the generic function pointer type, which converts to any other without a warning.
  return reinterpret_cast<PFN>(reinterpret_cast<void (*)()>(GetProcAddress(hModule, pszName)));
}

BYTE RoutePortMode(BOOL bDeviceMonitor) {
  return bDeviceMonitor ? PORT_MODE_DEVICE_MONITOR : PORT_MODE_PORT_ARBITRATION;
}

}  // namespace

HRESULT CSTIIOHandler::LoadPortContentionDll() {
  if (m_hDll == nullptr) {
    if (m_bDeviceMonitor) {
      DebugPrint("[STI]trying to load prtmon64.dll....");
      m_hDll = LoadLibraryA("prtmon64.dll");
    } else {
      DebugPrint("[STI]trying to load portarb.dll....");
      m_hDll = LoadLibraryA("portarb.dll");
    }
    const DWORD dwError = m_hDll == nullptr ? ::GetLastError() : ERROR_SUCCESS;
    // Entry points kept from an earlier load belong to a module that is gone; the open looks them up
    // again in this one.
    m_pfnDeviceRead = nullptr;
    m_pfnDeviceWrite = nullptr;
    if (m_hDll == nullptr) {
      // Not fatal here: the acquire finds no entry point and refuses the port.
      DebugPrint("[STI]Loading DLL file Fails. Error code => %d", static_cast<int>(dwError));
    } else {
      DebugPrint("[STI]Loading DLL file Success");
    }
  } else {
    DebugPrint("[STI]Already Loaded");
  }

  if (m_bDeviceMonitor) {
    DebugPrint("This STI Uses prtmon.dll for Port Contention");
  } else {
    DebugPrint("This STI Uses Portarb.dll for Port Contention");
  }
  return AcquirePort(RoutePortMode(m_bDeviceMonitor));
}

HRESULT CSTIIOHandler::AcquirePort(BYTE byPortMode) {
  DebugPrint("[STI]CSTIIOHandler::AcquirePort");

  if (m_bPortAcquired) {
    // A release that failed earlier left the grant in place; only the open is repeated.
    DebugPrint("[STI] Port is Already Acquired");
  } else {
    DebugPrint("[STI] Port is not acquired currently");
    PFN_PORTACQUIRE pfnPortAcquire = ContentionEntry<PFN_PORTACQUIRE>(m_hDll, "PortAcquire");
    if (pfnPortAcquire == nullptr) {
      DebugPrint("[STI]STI got wrong function pointer!!");
      return PORT_ACQUIRE_FAIL;
    }
    DebugPrint("[STI]portA is not NULL");
    if (!pfnPortAcquire(byPortMode)) {
      DebugPrint("[STI]acquire fail!");
      DebugPrint("[STI]End of Auquire Port");
      return PORT_ACQUIRE_FAIL;
    }
    DebugPrint("[STI]Port acquire success!!");
    m_bPortAcquired = TRUE;
  }

  // The grant is what counts; an open that finds no scanner shows up at the first transfer.
  if (m_bDeviceMonitor) {
    OpenPort_prtmon();
  } else {
    OpenPort_usbscan();
  }
  DebugPrint("[STI]End of Auquire Port");
  return S_OK;
}

HRESULT CSTIIOHandler::OpenPort_prtmon() {
  DebugPrint("CSTIIOHandler::OpenPort_prtmon()");
  HRESULT hr = S_OK;

  if (m_hDll == nullptr) {
    DebugPrint("[STI]m_hDll is NULL");
  }
  PFN_DEVICEOPEN pfnDeviceOpen = ContentionEntry<PFN_DEVICEOPEN>(m_hDll, "DeviceOpen");
  if (pfnDeviceOpen == nullptr) {
    DebugPrint("[STI]getting function pointer fails");
    hr = E_FAIL;
  } else if (pfnDeviceOpen(3, 3, m_wVid, m_wPid, 0)) {
    DebugPrint("[STI]DeviceOpen success");
    m_bPortOpened = TRUE;
  } else {
    hr = E_FAIL;
    DebugPrint("[STI]DLL Function call fails");
  }

  m_pfnDeviceRead = ContentionEntry<PFN_DEVICEREAD>(m_hDll, "DeviceRead");
  if (m_pfnDeviceRead == nullptr) {
    DebugPrint("[STI]Getting Pointer(DeviceRead) from prtmon.dll fails");
    hr = E_FAIL;
  }
  m_pfnDeviceWrite = ContentionEntry<PFN_DEVICEWRITE>(m_hDll, "DeviceWrite");
  if (m_pfnDeviceWrite == nullptr) {
    DebugPrint("[STI]Getting Pointer(DeviceWrite) from prtmon.dll fails");
    return E_FAIL;
  }
  return hr;
}

HRESULT CSTIIOHandler::CloseDevice() {
  DebugPrint("[STI] CloseDevice()");

  // A directly opened port stays open across cycles; only the device monitor's port is closed here.
  if (m_bDeviceMonitor && m_bPortOpened) {
    DebugPrint("[STI] Close Handle in case Device Monitor");
    PFN_DEVICECLOSE pfnDeviceClose = ContentionEntry<PFN_DEVICECLOSE>(m_hDll, "DeviceClose");
    if (pfnDeviceClose == nullptr) {
      DebugPrint("[STI]getting function pointer from dll fails");
    } else if (pfnDeviceClose(1)) {
      DebugPrint("[STI] Success Closing Handle of USBSCAN in case of Device Monitor");
      m_bPortOpened = FALSE;
    } else {
      DebugPrint("[STI]Closing Device Monitor fails");
    }
  }

  return ReleasePort(RoutePortMode(m_bDeviceMonitor));
}

HRESULT CSTIIOHandler::ReleasePort(BYTE byPortMode) {
  DebugPrint("[STI]CSTIIOHandler::ReleasePort");
  HRESULT hr = S_OK;

  if (!m_bPortAcquired) {
    DebugPrint("[STI] Port is Already Rreleased");
  } else {
    if (m_hDll == nullptr) {
      return E_FAIL;
    }
    PFN_PORTRELEASE pfnPortRelease = ContentionEntry<PFN_PORTRELEASE>(m_hDll, "PortRelease");
    if (pfnPortRelease == nullptr) {
      FreeContentionModule();
      return E_FAIL;
    }
    if (pfnPortRelease(byPortMode)) {
      DebugPrint("[STI]Port Release Success");
      m_bPortAcquired = FALSE;
    } else {
      // The grant stays recorded, so the next cycle reopens without asking for the port again.
      hr = E_FAIL;
    }
  }

  // Every cycle ends with the module unloaded, whether or not the release went through.
  if (m_hDll != nullptr) {
    FreeContentionModule();
  }
  return hr;
}

void CSTIIOHandler::FreeContentionModule() {
  FreeLibrary(m_hDll);
  m_hDll = nullptr;
  // The transfer entry points lived in the module: no transfer may call them any more.
  m_pfnDeviceRead = nullptr;
  m_pfnDeviceWrite = nullptr;
  DebugPrint("[STI]Port Contention DLL file Freed");
}
