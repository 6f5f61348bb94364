// Construction of the one handler object, and the WIA log it traces into.
#include <cstring>

#include "handler/STIIOHandler.h"

CSTIIOHandler* g_pSTIIOHandler = nullptr;

static void FillCommandBlock(COMMAND_BLOCK* pBlock, BYTE byOpCode) {
  pBlock->wStart = COMMAND_START;
  pBlock->byOpCode = byOpCode;
  pBlock->byReserved = 0;
}

CSTIIOHandler::CSTIIOHandler(DWORD bDebugOutput) {
  // The flag comes first so that the constructor's own line obeys it.
  m_bDebugOutput = bDebugOutput;
  m_bPortOpened = 0;
  m_bReserveRetry = 0;
  m_pDebugArgs = nullptr;
  DebugPrint("[STI]CSTIIOHandler::CSTIIOHandler");

  m_hDevice = nullptr;
  m_hDll = nullptr;
  m_bPortAcquired = 0;
  m_dwLastError = 0;
  m_bUnitReserved = 0;
  m_bDeviceInfoValid = 0;
  m_pRawDataBuffer = nullptr;
  m_wVid = 0;
  m_wPid = 0;
  memset(&m_Overlapped, 0, sizeof(m_Overlapped));
  memset(m_abNotifyBuffer, 0, sizeof(m_abNotifyBuffer));
  memset(&m_guidEvent, 0, sizeof(m_guidEvent));
  m_pIWiaLog = nullptr;
  FillCommandBlock(&m_cmdInquiry, OP_INQUIRY);
  FillCommandBlock(&m_cmdReserveUnit, OP_RESERVE_UNIT);
  FillCommandBlock(&m_cmdRead, OP_READ);
  FillCommandBlock(&m_cmdReadImage, OP_READ_IMAGE);
  FillCommandBlock(&m_cmdAbort, OP_ABORT);
  FillCommandBlock(&m_cmdReleaseUnit, OP_RELEASE_UNIT);
  FillCommandBlock(&m_cmdObjectPosition, OP_OBJECT_POSITION);
  // The whole record starts zeroed: the identification texts empty, no resolution arrays, and a
  // scanner type of 0 until the first inquiry.
  memset(&m_WiaDeviceInfo, 0, sizeof(m_WiaDeviceInfo));
  m_dwVendorError = 0;
  memset(m_szExtendedErrorText, 0, sizeof(m_szExtendedErrorText));
  memset(m_dwResolutions, 0, sizeof(m_dwResolutions));
  m_dwImageBufferSize = 0;
  memset(&m_SWPParam, 0, sizeof(m_SWPParam));
  memset(&m_SWPResponse, 0, sizeof(m_SWPResponse));
  m_bDeviceMonitor = 1;
  m_pfnDeviceRead = nullptr;
  m_pfnDeviceWrite = nullptr;
  m_dwWindowBlockLimit = 0;
}

void CSTIIOHandler::SetWiaLog(IWiaLog* pIWiaLog) {
  if (pIWiaLog != nullptr) {
    pIWiaLog->AddRef();
  }
  if (m_pIWiaLog != nullptr) {
    m_pIWiaLog->Release();
  }
  m_pIWiaLog = pIWiaLog;
}
