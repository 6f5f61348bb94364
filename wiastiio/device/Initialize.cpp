// Initialize and the device's registry settings: which USB port to look for and which contention
// module arbitrates it.
#include <cstring>

#include "handler/CallTrace.h"
#include "handler/STIIOHandler.h"

namespace {

// Every setting is read into a buffer of this size; a value with more data does not fit and is
// treated as unreadable.
constexpr DWORD REGISTRY_DATA_SIZE = 10;

// Error entries of the WIA log.
constexpr LONG LOG_ERROR = 4;

}  // namespace

HRESULT CSTIIOHandler::Initialize(IStiDeviceControl* pHelDcb, DWORD dwStiVersion, HKEY hParametersKey) {
  (void)dwStiVersion;
  DebugPrint("[STI]CSTIIOHandler::Initialize");

  if (pHelDcb == nullptr) {
    return E_INVALIDARG;
  }

  // Only the success of the call matters: it shows the service has set the device up for us.
  DWORD dwOpenMode{};
  HRESULT hr = pHelDcb->GetMyDeviceOpenMode(&dwOpenMode);
  if (FAILED(hr)) {
    WiaLogEntry(m_pIWiaLog, LOG_ERROR, 0, 0, "CSTIIOHandler::Initialize, couldn't get device open mode");
    return hr;
  }

  // Settings that are missing or unreadable keep what the fields hold; the probe goes on either way.
  ReadDeviceData(hParametersKey);

  // One probe cycle: the port must be grantable, whether or not a scanner answers on it.
  if (LoadPortContentionDll() == PORT_ACQUIRE_FAIL) {
    DebugPrint("[STI] Port Acquire Fail");
    return E_FAIL;
  }
  if (CloseDevice() == E_FAIL) {
    DebugPrint("[STI]Port Releasing Fail");
  }
  return S_OK;
}

void CSTIIOHandler::ReadDeviceData(HKEY hParametersKey) {
  HKEY hKey = nullptr;
  if (RegOpenKeyExA(hParametersKey, "DeviceData", 0, KEY_READ, &hKey) != ERROR_SUCCESS) {
    DebugPrint("[STI]Fail to open DeviceData KEY");
    WiaLogEntry(m_pIWiaLog, LOG_ERROR, 0, 0, "CSTIIOHandler::Initialize, couldn't open DeviceData KEY");
    return;
  }
  DebugPrint("[STI]Registry Open Success");

  // An id is the first two bytes of the value's data, low byte first, whatever the value's type; a
  // byte the value does not supply is 0.
  auto queryId = [&](LPCSTR pszName, WORD* pwId, BOOL* pbStated, LPCSTR pszFoundFormat, LPCSTR pszFailFormat) {
    BYTE abData[REGISTRY_DATA_SIZE];
    std::memset(abData, 0, sizeof(abData));
    DWORD cbData = sizeof(abData);
    const LSTATUS lResult = RegQueryValueExA(hKey, pszName, nullptr, nullptr, abData, &cbData);
    if (lResult != ERROR_SUCCESS) {
      DebugPrint(pszFailFormat, static_cast<int>(lResult));
      return;
    }
    DebugPrint("[STI]RegQueryValueEx success");
    *pwId = static_cast<WORD>(abData[0] | (abData[1] << 8));
    *pbStated = TRUE;
    DebugPrint(pszFoundFormat, static_cast<UINT>(*pwId));
  };
  queryId("Vid", &m_wVid, &m_bVidStated, "[STI]the value of Vid from Registry is 0x%04X",
          "[STI]Query Value from Vid is fail. Result value => 0x%d");
  queryId("Pid", &m_wPid, &m_bPidStated, "[STI]the value of Pid from Registry is 0x%04X",
          "[STI]Query Value from Pid is fail. Result value => 0x%d");

  // The route is the first byte of the data; a value without data leaves the preset 1 in place, so the
  // device-monitor route stays chosen.
  BYTE abMonitor[REGISTRY_DATA_SIZE];
  std::memset(abMonitor, 0, sizeof(abMonitor));
  abMonitor[0] = 1;
  DWORD cbMonitor = sizeof(abMonitor);
  if (RegQueryValueExA(hKey, "DeviceMonitor", nullptr, nullptr, abMonitor, &cbMonitor) == ERROR_SUCCESS) {
    DebugPrint("[STI]RegQueryValueEx success (for DeviceMonitor)");
    if (abMonitor[0] != 0) {
      m_bDeviceMonitor = TRUE;
      DebugPrint("[STI]Device Monitor(prtmon.dll) is used for Port Contention");
    } else {
      m_bDeviceMonitor = FALSE;
    }
  } else {
    DebugPrint("[STI]Getting m_bDeviceMonitor value Fails");
  }

  RegCloseKey(hKey);
}
