// The port cycle: load the route's contention module, acquire the port and open it, then close,
// release and unload again. The route-specific steps are the route's (PortRoute.h).
#include "device/PortRoute.h"

#include "device/HeldPort.h"

#include <cstring>

namespace {

// A contention module is taken only from where an installation puts it: this library's own folder,
// then the system folder. The current folder and the PATH folders are never searched, so a module
// planted there is not loaded into the service that hosts this library.
HMODULE LoadTrustedModule(LPCSTR pszFile) {
  HMODULE hSelf = nullptr;
  CHAR szPath[MAX_PATH];
  if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCSTR>(&LoadTrustedModule), &hSelf)) {
    const DWORD cchPath = GetModuleFileNameA(hSelf, szPath, MAX_PATH);
    LPSTR pszSeparator = cchPath < MAX_PATH ? std::strrchr(szPath, '\\') : nullptr;
    const size_t cchFile = std::strlen(pszFile);
    if (pszSeparator != nullptr && static_cast<size_t>(pszSeparator + 1 - szPath) + cchFile < MAX_PATH) {
      std::memcpy(pszSeparator + 1, pszFile, cchFile + 1);
      // The module's own imports come from its folder and the system folder only.
      HMODULE hModule =
          LoadLibraryExA(szPath, nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
      if (hModule != nullptr) {
        return hModule;
      }
    }
  }
  return LoadLibraryExA(pszFile, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

}  // namespace

PortAnswer CPortRoute::Acquire(CSTIIOHandler& handler) const {
  PFN_PORTACQUIRE pfnPortAcquire = ContentionEntry<PFN_PORTACQUIRE>(handler.m_hDll, "PortAcquire");
  if (pfnPortAcquire == nullptr) {
    return PortAnswer::kNoEntry;
  }
  handler.DebugPrint("[STI]portA is not NULL");
  return pfnPortAcquire(m_byPortMode) ? PortAnswer::kGranted : PortAnswer::kRefused;
}

PortAnswer CPortRoute::Release(CSTIIOHandler& handler) const {
  PFN_PORTRELEASE pfnPortRelease = ContentionEntry<PFN_PORTRELEASE>(handler.m_hDll, "PortRelease");
  if (pfnPortRelease == nullptr) {
    return PortAnswer::kNoEntry;
  }
  return pfnPortRelease(m_byPortMode) ? PortAnswer::kGranted : PortAnswer::kRefused;
}

CHeldPortScope::CHeldPortScope(CSTIIOHandler& handler, bool bScanUnderWay)
    : m_handler(handler), m_bOuterBorrowed(handler.m_bPortBorrowed) {
  // Only a scan lends its port. A cycle left over from anything else is ended by the operation, as every
  // cycle is.
  if (bScanUnderWay && handler.m_hDll != nullptr && handler.m_bPortAcquired) {
    handler.m_bPortBorrowed = TRUE;
  }
}

CHeldPortScope::~CHeldPortScope() {
  m_handler.m_bPortBorrowed = m_bOuterBorrowed;
}

HRESULT CSTIIOHandler::LoadPortContentionDll() {
  if (m_bPortBorrowed) {
    DebugPrint("[STI]The scan holds the port: this cycle uses it as it is");
    return S_OK;
  }
  const CPortRoute& route = PortRouteOf(*this);
  if (m_hDll == nullptr) {
    DebugPrint("[STI]trying to load %s....", route.ModuleName());
    m_hDll = LoadTrustedModule(route.ModuleName());
    const DWORD dwError = m_hDll == nullptr ? ::GetLastError() : ERROR_SUCCESS;
    // Entry points kept from an earlier load belong to a module that is gone; the open looks them up
    // again in this one.
    m_pfnDeviceRead = nullptr;
    m_pfnDeviceWrite = nullptr;
    if (m_hDll == nullptr) {
      // Not fatal here: the acquire finds no entry point and refuses the port.
      DebugPrint("[STI]Loading DLL file Fails. Error code => %d", static_cast<int>(dwError));
      DebugPrint("[STI]%s is loaded only from the library's folder or the system folder", route.ModuleName());
    } else {
      DebugPrint("[STI]Loading DLL file Success");
    }
  } else {
    DebugPrint("[STI]Already Loaded");
  }

  DebugPrint("This STI Uses %s for Port Contention", route.ModuleLabel());
  return AcquirePort();
}

HRESULT CSTIIOHandler::AcquirePort() {
  DebugPrint("[STI]CSTIIOHandler::AcquirePort");
  const CPortRoute& route = PortRouteOf(*this);

  if (m_bPortAcquired) {
    // A release that failed earlier left the grant in place; only the open is repeated.
    DebugPrint("[STI] Port is Already Acquired");
  } else {
    DebugPrint("[STI] Port is not acquired currently");
    switch (route.Acquire(*this)) {
      case PortAnswer::kNoEntry:
        DebugPrint("[STI]STI got wrong function pointer!!");
        return PORT_ACQUIRE_FAIL;
      case PortAnswer::kRefused:
        DebugPrint("[STI]acquire fail!");
        DebugPrint("[STI]End of Auquire Port");
        return PORT_ACQUIRE_FAIL;
      case PortAnswer::kGranted:
        break;
    }
    DebugPrint("[STI]Port acquire success!!");
    m_bPortAcquired = TRUE;
  }

  // The grant is what counts; an open that finds no scanner shows up at the first transfer.
  route.Open(*this);
  DebugPrint("[STI]End of Auquire Port");
  return S_OK;
}

HRESULT CSTIIOHandler::CloseDevice() {
  DebugPrint("[STI] CloseDevice()");
  if (m_bPortBorrowed) {
    DebugPrint("[STI]The scan holds the port: left held");
    return S_OK;
  }
  const CPortRoute& route = PortRouteOf(*this);
  route.Close(*this);
  return ReleasePort();
}

// The exchange path asks for this the moment a transfer comes up short. Whoever runs the command ends
// the cycle after any other failure; a transfer cut short leaves the scanner out of step, and for the
// commands whose exchange description says so only giving the port back at once recovers from that.
void CSTIIOHandler::AfterShortTransfer(const COMMAND_EXCHANGE& exchange) {
  if (exchange.bCloseOnShort) {
    CloseDevice();
  }
}

HRESULT CSTIIOHandler::ReleasePort() {
  DebugPrint("[STI]CSTIIOHandler::ReleasePort");
  HRESULT hr = S_OK;

  if (!m_bPortAcquired) {
    DebugPrint("[STI] Port is Already Rreleased");
  } else {
    if (m_hDll == nullptr) {
      return E_FAIL;
    }
    switch (PortRouteOf(*this).Release(*this)) {
      case PortAnswer::kNoEntry:
        FreeContentionModule();
        return E_FAIL;
      case PortAnswer::kRefused:
        // The grant stays recorded, so the next cycle reopens without asking for the port again.
        hr = E_FAIL;
        break;
      case PortAnswer::kGranted:
        DebugPrint("[STI]Port Release Success");
        m_bPortAcquired = FALSE;
        break;
    }
  }

  // Every cycle ends with the module unloaded, whether or not the release went through.
  if (m_hDll != nullptr) {
    FreeContentionModule();
  }
  return hr;
}

bool CSTIIOHandler::CancelPortIo() {
  return m_hDevice == nullptr || CancelIo(m_hDevice) != FALSE;
}

void CSTIIOHandler::StopPortIo() {
  CancelIo(m_hDevice);
}

void CSTIIOHandler::ClosePortHandle() {
  if (m_hDevice == nullptr) {
    return;
  }
  if (CloseHandle(m_hDevice)) {
    DebugPrint("[STI]CloseHandle Success");
  } else {
    DebugPrint("[STI]CloseHandle Fail.Error Code => %d", ::GetLastError());
  }
  m_hDevice = nullptr;
}

void CSTIIOHandler::FreeContentionModule() {
  FreeLibrary(m_hDll);
  m_hDll = nullptr;
  // The transfer entry points lived in the module: no transfer may call them any more.
  m_pfnDeviceRead = nullptr;
  m_pfnDeviceWrite = nullptr;
  DebugPrint("[STI]Port Contention DLL file Freed");
}
