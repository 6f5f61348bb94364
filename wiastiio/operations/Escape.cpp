// The escape dispatcher: one scanner command per escape code, plus the decisions no command makes for
// itself (reserve before read, the busy retry, ending the port cycle after a failure, the cached
// device information).
#include <cstring>

#include "handler/CallTrace.h"
#include "handler/STIIOHandler.h"

void CSTIIOHandler::NoteShortOutput(DWORD dwOutDataSize, DWORD cbNeeded) {
  // A size of 0 is the minidriver's usual "not given"; anything else below the need is worth a line.
  if (dwOutDataSize != 0 && dwOutDataSize < cbNeeded) {
    DebugPrint("[STI]Output buffer size %d is below the %d bytes handed back", dwOutDataSize, cbNeeded);
  }
}

HRESULT CSTIIOHandler::Escape(DWORD EscapeFunction, LPVOID lpInData, DWORD cbInDataSize, LPVOID pOutData,
                              DWORD dwOutDataSize, LPDWORD pdwActualData) {
  CSTIIOHANDLER_ENTRY("Escape");
  HRESULT hr = E_NOTIMPL;

  switch (EscapeFunction) {
    case GET_DEVICE_INFO:
      if (pOutData == nullptr || dwOutDataSize < sizeof(SCAN_DEVICE_INFO)) {
        return E_INVALIDARG;
      }
      hr = GetDeviceInfo();
      if (hr == S_OK) {
        std::memcpy(pOutData, &m_WiaDeviceInfo, sizeof(m_WiaDeviceInfo));
        m_bDeviceInfoValid = TRUE;
      }
      break;

    case ESC_RESERVE_UNIT:
      // After a busy answer the port is still held from that attempt.
      if (!m_bReserveRetry && LoadPortContentionDll() == PORT_ACQUIRE_FAIL) {
        DebugPrint("[STI] Port Acquire Fail");
        return PORT_ACQUIRE_FAIL;
      }
      hr = CallReserveUnit();
      if (hr == WIA_ERROR_BUSY) {
        m_bReserveRetry = TRUE;
      } else {
        m_bReserveRetry = FALSE;
        if (hr == E_FAIL) {
          CloseDevice();
        }
      }
      break;

    case ESC_SET_WINDOW_PARAMETER:
      if (lpInData == nullptr || cbInDataSize < sizeof(SWP_PARAMETER)) {
        return E_INVALIDARG;
      }
      std::memcpy(&m_SWPParam, lpInData, sizeof(m_SWPParam));
      hr = CallSetWindowParameter();
      if (hr == E_FAIL) {
        CloseDevice();
      }
      break;

    case ESC_OBJECT_POSITION:
      hr = CallObjectPosition();
      if (hr == E_FAIL) {
        CloseDevice();
      }
      break;

    case ESC_READ:
      if (!m_bUnitReserved) {
        // Written whatever the debug setting: a read outside a reservation is a caller's mistake
        // worth seeing.
        OutputDebugStringA("[STI] Device Unlocked... Break READ");
        return DEVICE_UNLOCKED;
      }
      // The minidriver never set the output size, so it is not a reason to refuse: the buffer is taken
      // to hold the record, as it always was. Only a missing buffer is refused.
      if (pOutData == nullptr) {
        return E_INVALIDARG;
      }
      NoteShortOutput(dwOutDataSize, sizeof(READ_RESPONSE));
      hr = CallRead(pOutData);
      if (hr == PAGE_END) {
        DebugPrint("[STI]PAGE_END returned to WIAHandler");
      }
      break;

    case ESC_ABORT:
      // The reservation and the port stay as they are: the scan may go on after an abort.
      hr = CallAbort();
      break;

    case ESC_READ_IMAGE:
      if (!m_bUnitReserved) {
        return DEVICE_UNLOCKED;
      }
      // The block announced by the last read is handed on without its trailer, into a buffer the caller
      // sized from the read record; as for the read, only a missing buffer is refused.
      if (pOutData == nullptr) {
        return E_INVALIDARG;
      }
      if (m_dwImageBufferSize > IMAGE_TRAILER_SIZE) {
        NoteShortOutput(dwOutDataSize, m_dwImageBufferSize - IMAGE_TRAILER_SIZE);
      }
      hr = CallReadImage(pOutData, pdwActualData);
      break;

    case ESC_RELEASE_UNIT:
      hr = CallReleaseUnit();
      CloseDevice();
      break;

    default:
      break;
  }

  return hr;
}
