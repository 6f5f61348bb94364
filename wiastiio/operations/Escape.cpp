// The escape dispatcher: one scanner command per escape code, plus the decisions no command makes for
// itself (reserve before read, the busy retry, ending the port cycle after a failure, the cached
// device information).
#include <cstring>

#include "device/HeldPort.h"
#include "handler/CallTrace.h"
#include "handler/STIIOHandler.h"
#include "wire/CommandExchange.h"
#include "wire/Protocol.h"

HRESULT CSTIIOHandler::NoBuffer(DWORD dwEscape, LPCSTR pszWhich) {
  // Written to or read from, a missing buffer would fault in the service that hosts the library.
  DebugPrint("[STI]Escape 0x%04X refused: no %s buffer", dwEscape, pszWhich);
  return E_INVALIDARG;
}

HRESULT CSTIIOHandler::Escape(DWORD EscapeFunction, LPVOID lpInData, DWORD cbInDataSize, LPVOID pOutData,
                              DWORD dwOutDataSize, LPDWORD pdwActualData) {
  CSTIIOHANDLER_ENTRY("Escape");
  // No escape consults the sizes of the caller's buffers.
  (void)cbInDataSize;
  (void)dwOutDataSize;
  HRESULT hr = E_NOTIMPL;

  switch (EscapeFunction) {
    case GET_DEVICE_INFO:
      return EscapeDeviceInfo(pOutData);

    case ESC_RESERVE_UNIT:
      return EscapeReserveUnit();

    case ESC_SET_WINDOW_PARAMETER:
      return EscapeSetWindow(lpInData);

    case ESC_OBJECT_POSITION:
      hr = CallObjectPosition();
      if (hr == E_FAIL) {
        CloseDevice();
      }
      break;

    case ESC_READ:
      return EscapeRead(pOutData);

    case ESC_ABORT:
      if (m_bUnitReserved && !PortHeld()) {
        return EscapeInOwnCycle(EscapeFunction);
      }
      // The reservation and the port stay as they are: the scan may go on after an abort.
      hr = CallAbort();
      break;

    case ESC_READ_IMAGE:
      return EscapeReadImage(pOutData, pdwActualData);

    case ESC_RELEASE_UNIT:
      if (m_bUnitReserved && !PortHeld()) {
        return EscapeInOwnCycle(EscapeFunction);
      }
      hr = CallReleaseUnit();
      CloseDevice();
      break;

    default:
      break;
  }

  return hr;
}

HRESULT CSTIIOHandler::EscapeDeviceInfo(LPVOID pOutData) {
  // The record goes to the caller's buffer whatever size it states; only a missing one is refused.
  if (pOutData == nullptr) {
    return NoBuffer(GET_DEVICE_INFO, "output");
  }
  const HRESULT hr = GetDeviceInfo();
  if (hr == S_OK) {
    std::memcpy(pOutData, &m_WiaDeviceInfo, sizeof(m_WiaDeviceInfo));
    m_bDeviceInfoValid = TRUE;
  }
  return hr;
}

HRESULT CSTIIOHandler::EscapeReserveUnit() {
  // After a busy answer the port is still held from that attempt.
  if (!m_bReserveRetry && LoadPortContentionDll() == PORT_ACQUIRE_FAIL) {
    DebugPrint("[STI] Port Acquire Fail");
    return PORT_ACQUIRE_FAIL;
  }
  const HRESULT hr = CallReserveUnit();
  if (hr == WIA_ERROR_BUSY) {
    m_bReserveRetry = TRUE;
  } else {
    m_bReserveRetry = FALSE;
    if (hr == E_FAIL) {
      CloseDevice();
    }
  }
  return hr;
}

HRESULT CSTIIOHandler::EscapeSetWindow(LPCVOID lpInData) {
  // The record is taken from the caller's buffer whatever size it states; only a missing one is refused.
  if (lpInData == nullptr) {
    return NoBuffer(ESC_SET_WINDOW_PARAMETER, "input");
  }
  std::memcpy(&m_SWPParam, lpInData, sizeof(m_SWPParam));
  const HRESULT hr = CallSetWindowParameter();
  if (hr == E_FAIL) {
    CloseDevice();
  }
  return hr;
}

HRESULT CSTIIOHandler::EscapeRead(LPVOID pOutData) {
  if (!m_bUnitReserved) {
    // Written whatever the debug setting: a read outside a reservation is a caller's mistake
    // worth seeing.
    OutputDebugStringA("[STI] Device Unlocked... Break READ");
    return DEVICE_UNLOCKED;
  }
  // The output size is not consulted: the buffer is taken to hold the record, as it always was. Only a
  // missing buffer is refused.
  if (pOutData == nullptr) {
    return NoBuffer(ESC_READ, "output");
  }
  const HRESULT hr = CallRead(pOutData);
  if (hr == PAGE_END) {
    DebugPrint("[STI]PAGE_END returned to WIAHandler");
  }
  return hr;
}

HRESULT CSTIIOHandler::EscapeReadImage(LPVOID pOutData, LPDWORD pdwActualData) {
  if (!m_bUnitReserved) {
    return DEVICE_UNLOCKED;
  }
  // The block announced by the last read is handed on without its trailer, into a buffer the caller
  // sized from the read record; as for the read, only a missing buffer is refused, and only when there is
  // a block to copy into it.
  if (pOutData == nullptr && m_dwImageBufferSize > IMAGE_TRAILER_SIZE) {
    return NoBuffer(ESC_READ_IMAGE, "output");
  }
  return CallReadImage(pOutData, pdwActualData);
}

HRESULT CSTIIOHandler::EscapeInOwnCycle(DWORD dwEscape) {
  // A failure gave the port back in mid-reservation. Sent through a handle no grant covers, the command
  // would move bytes outside the grant; refused, it would leave the scanner reserved for a program that
  // has ended its scan. It takes the port for a cycle of its own instead.
  DebugPrint("[STI]Escape 0x%04X with the unit reserved and the port given back: a port cycle of its own", dwEscape);
  if (LoadPortContentionDll() != S_OK) {
    DebugPrint("[STI] Port Acquire Fail");
    CloseDevice();
    // An abort reports no failure, whatever happened; the unit stays reserved.
    return dwEscape == ESC_ABORT ? S_OK : PORT_ACQUIRE_FAIL;
  }
  const HRESULT hr = dwEscape == ESC_ABORT ? CallAbort() : CallReleaseUnit();
  CloseDevice();
  return hr;
}

// The device information in one port cycle: the record of the first successful inquiry is kept.
HRESULT CSTIIOHandler::GetDeviceInfo() {
  CHeldPortScope heldPort(*this, ScanUnderWay());
  if (m_bDeviceInfoValid) {
    // The record of the first successful inquiry is handed out again; the scanner is not asked.
    DebugPrint("[STI]CallGetDeviceInfo Function is already called before");
    CloseDevice();
    return S_OK;
  }

  if (LoadPortContentionDll() == PORT_ACQUIRE_FAIL) {
    DebugPrint("[STI] Port Acquire Fail");
    return PORT_ACQUIRE_FAIL;
  }

  DebugPrint("[STI]In GET_DEVICE_INFO,Port acquire success");
  HRESULT hr = CallGetDeviceInfo();

  if (CloseDevice() == E_FAIL) {
    DebugPrint("[STI]Port Releasing Fail");
  }
  return hr;
}

// The inquiry, in the port cycle GetDeviceInfo opened; the cycle ends here whatever the exchange did.
HRESULT CSTIIOHandler::CallGetDeviceInfo() {
  CSTIIOHANDLER_ENTRY("CallGetDeviceInfo");
  const HRESULT hr = InquireDevice();
  CloseDevice();
  return hr;
}

// The teardown decides the last port cycle here, as the escapes do: abort and release are commands,
// and device/ only offers the cycle.
void CSTIIOHandler::EndReservation() {
  if (!m_bUnitReserved) {
    return;
  }
  // Left as it is, the scanner would stay reserved for this program after it is gone.
  DebugPrint("[STI]Teardown with the unit reserved: abort and release are sent");
  if (!PortHeld() && LoadPortContentionDll() != S_OK) {
    DebugPrint("[STI]Teardown: the port is not granted, the scanner stays reserved");
    CloseDevice();
    return;
  }
  CallAbort();
  CallReleaseUnit();
  CloseDevice();
}
