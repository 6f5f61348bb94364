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

// A USB id from a registry value, by the value's type: a DWORD holds it in its low 16 bits, binary data
// in its first two bytes (low byte first), text as hexadecimal digits ("1A2B" or "0x1A2B"). Anything
// else, or too little data, holds no id.
bool IdFromRegistryData(DWORD dwType, const BYTE* pbData, DWORD cbData, DWORD* pdwId) {
  switch (dwType) {
    case REG_DWORD:
      if (cbData != sizeof(DWORD)) {
        return false;
      }
      *pdwId = pbData[0] | (pbData[1] << 8);
      return true;
    case REG_BINARY:
      if (cbData < 2) {
        return false;
      }
      *pdwId = pbData[0] | (pbData[1] << 8);
      return true;
    case REG_SZ: {
      // The text need not be terminated within the data; it ends at its first zero or its last byte.
      DWORD i = 0;
      if (cbData >= 2 && pbData[0] == '0' && (pbData[1] == 'x' || pbData[1] == 'X')) {
        i = 2;
      }
      DWORD dwId = 0;
      int nDigits = 0;
      for (; i < cbData && pbData[i] != '\0'; ++i, ++nDigits) {
        const char c = static_cast<char>(pbData[i]);
        const int nDigit = (c >= '0' && c <= '9')   ? c - '0'
                           : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                           : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                                    : -1;
        if (nDigit < 0 || nDigits == 4) {
          return false;
        }
        dwId = dwId * 16 + static_cast<DWORD>(nDigit);
      }
      *pdwId = dwId;
      return nDigits > 0;
    }
    default:
      return false;
  }
}

}  // namespace

HRESULT CSTIIOHandler::Initialize(IStiDeviceControl* pHelDcb, DWORD dwStiVersion, HKEY hParametersKey) {
  (void)dwStiVersion;
  DebugPrint("[STI]CSTIIOHandler::Initialize");

  if (pHelDcb == nullptr) {
    return E_INVALIDARG;
  }

  // Only the success of the call matters: it shows the service has set the device up for us.
  DWORD dwOpenMode = 0;
  HRESULT hr = pHelDcb->GetMyDeviceOpenMode(&dwOpenMode);
  if (FAILED(hr)) {
    WiaLogEntry(m_pIWiaLog, LOG_ERROR, 0, 0, "CSTIIOHandler::Initialize, couldn't get device open mode");
    return hr;
  }

  // Without both ids a port would be opened for whatever scanner answers first; until an Initialize
  // finds them, no port is opened at all.
  m_bIdsRefused = !ReadDeviceData(hParametersKey);
  if (m_bIdsRefused) {
    DebugPrint("[STI]Initialize fails: the registry names no usable Vid and Pid");
    return E_FAIL;
  }

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

BOOL CSTIIOHandler::ReadDeviceData(HKEY hParametersKey) {
  HKEY hKey = nullptr;
  if (RegOpenKeyExA(hParametersKey, "DeviceData", 0, KEY_READ, &hKey) != ERROR_SUCCESS) {
    DebugPrint("[STI]Fail to open DeviceData KEY");
    WiaLogEntry(m_pIWiaLog, LOG_ERROR, 0, 0, "CSTIIOHandler::Initialize, couldn't open DeviceData KEY");
    return FALSE;
  }
  DebugPrint("[STI]Registry Open Success");

  auto queryId = [&](LPCSTR pszName, WORD* pwId, LPCSTR pszFoundFormat, LPCSTR pszFailFormat) -> bool {
    BYTE abData[REGISTRY_DATA_SIZE];
    std::memset(abData, 0, sizeof(abData));
    DWORD cbData = sizeof(abData);
    DWORD dwType = REG_NONE;
    LSTATUS lResult = RegQueryValueExA(hKey, pszName, nullptr, &dwType, abData, &cbData);
    if (lResult != ERROR_SUCCESS) {
      DebugPrint(pszFailFormat, static_cast<int>(lResult));
      return false;
    }
    DebugPrint("[STI]RegQueryValueEx success");
    DWORD dwId = 0;
    if (!IdFromRegistryData(dwType, abData, cbData, &dwId)) {
      DebugPrint("[STI]%s cannot hold a USB id (type %d, %d bytes): refused", pszName, static_cast<int>(dwType),
                 static_cast<int>(cbData));
      return false;
    }
    *pwId = static_cast<WORD>(dwId);
    DebugPrint(pszFoundFormat, static_cast<UINT>(*pwId));
    return true;
  };
  const bool bVid = queryId("Vid", &m_wVid, "[STI]the value of Vid from Registry is 0x%04X",
                            "[STI]Query Value from Vid is fail. Result value => 0x%d");
  const bool bPid = queryId("Pid", &m_wPid, "[STI]the value of Pid from Registry is 0x%04X",
                            "[STI]Query Value from Pid is fail. Result value => 0x%d");

  // A value without data leaves the preset 1 in place: the device-monitor route stays chosen. A
  // DWORD counts whole, so that 0x100 means set; other types by their first byte.
  BYTE abMonitor[REGISTRY_DATA_SIZE];
  std::memset(abMonitor, 0, sizeof(abMonitor));
  abMonitor[0] = 1;
  DWORD cbMonitor = sizeof(abMonitor);
  DWORD dwType = REG_NONE;
  if (RegQueryValueExA(hKey, "DeviceMonitor", nullptr, &dwType, abMonitor, &cbMonitor) == ERROR_SUCCESS) {
    DebugPrint("[STI]RegQueryValueEx success (for DeviceMonitor)");
    DWORD dwMonitor = abMonitor[0];
    if (dwType == REG_DWORD && cbMonitor == sizeof(DWORD)) {
      std::memcpy(&dwMonitor, abMonitor, sizeof(dwMonitor));
    }
    if (dwMonitor != 0) {
      m_bDeviceMonitor = TRUE;
      DebugPrint("[STI]Device Monitor(prtmon.dll) is used for Port Contention");
    } else {
      m_bDeviceMonitor = FALSE;
    }
  } else {
    DebugPrint("[STI]Getting m_bDeviceMonitor value Fails");
  }

  RegCloseKey(hKey);
  return bVid && bPid;
}
