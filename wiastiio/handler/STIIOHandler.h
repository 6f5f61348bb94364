// CSTIIOHandler: the one object behind WIASTIIO's exports. Every method is declared here and defined
// in the folder of the subsystem it belongs to; calls run only downward, from the exports to the
// platform (scripts/check-layers.py checks each call into the class against scripts/layers.txt):
//   exports/     the nineteen exports and the DLL's entry point                   (the library's surface)
//   operations/  Escape, notification, capabilities, raw I/O, when a cycle ends,
//                the handler's end and DeleteMemory                                 (still-image operations)
//   protocol/    CoWriteFile/CoReadFile and the command methods' exchanges         (scanner command protocol)
//   device/      Initialize, registry settings, the USB port, the cycle's steps    (device access)
//   handler/     construction, DebugPrint, the WIA log                             (lifecycle, diagnostics)
// Only what the exports call is public; the rest is the class's own, reached by the port's routes
// (friends) and by the tests' one access class.
#pragma once

#include <cstdarg>
#include <initializer_list>

#include "PortContention.h"
#include "platform/win32.h"
#include "wire/CommandExchange.h"
#include "wire/Protocol.h"

#define DEBUG_LINE_SIZE 200
#define EXTENDED_ERROR_TEXTS 1
#define EXTENDED_ERROR_TEXT_SIZE 255
#define MAX_RESOLUTIONS 8

class CPortRoute;

class CSTIIOHandler {
 public:
  explicit CSTIIOHandler(DWORD bDebugOutput);
  virtual ~CSTIIOHandler();

  CSTIIOHandler(const CSTIIOHandler&) = delete;
  CSTIIOHandler& operator=(const CSTIIOHandler&) = delete;

  // ---- What the exports call: lifecycle (handler/, operations/) ----
  HRESULT DeleteMemory();
  // Gives the handler a WIA log to trace into; the handler takes one reference and releases any
  // earlier one. Used by whoever hosts the handler with a log (the tests, here); not an export.
  void SetWiaLog(IWiaLog* pIWiaLog);

  // ---- What the exports call: device access (device/) ----
  HRESULT Initialize(IStiDeviceControl* pHelDcb, DWORD dwStiVersion, HKEY hParametersKey);

  // ---- What the exports call: still-image operations (operations/) ----
  HRESULT Escape(DWORD EscapeFunction, LPVOID lpInData, DWORD cbInDataSize, LPVOID pOutData, DWORD dwOutDataSize,
                 LPDWORD pdwActualData);
  HRESULT SetNotificationHandle(HANDLE hEvent);
  HRESULT GetNotificationData(STINOTIFY* lpNotify);
  HRESULT GetCapabilities(STI_USD_CAPS* pUsdCaps);
  // Whether the scanner can be reached: each takes the port and gives it back, with no command.
  HRESULT GetStatus(STI_DEVICE_STATUS* pDevStatus);
  HRESULT Diagnostic(STI_DIAG* pBuffer);
  HRESULT DeviceReset();
  HRESULT GetLastError(LPDWORD pdwLastDeviceError);
  HRESULT LockDevice();
  HRESULT UnLockDevice();
  HRESULT RawReadData(LPVOID lpBuffer, LPDWORD lpdwNumberOfBytes, LPOVERLAPPED lpOverlapped);
  HRESULT RawWriteData(LPVOID lpBuffer, DWORD dwNumberOfBytes, LPOVERLAPPED lpOverlapped);
  HRESULT RawReadCommand(LPVOID lpBuffer, LPDWORD lpdwNumberOfBytes, LPOVERLAPPED lpOverlapped);
  HRESULT RawWriteCommand(LPVOID lpBuffer, DWORD dwNumberOfBytes, LPOVERLAPPED lpOverlapped);
  HRESULT GetLastErrorInfo(STI_ERROR_INFO* pLastErrorInfo);

 private:
  // ---- Diagnostics (handler/) ----
  // One debugger line, formatted with wvsprintfA, only while debugging is on. The flag is tested
  // inline (below the class): a line that is not written costs that one test, with no call and no
  // formatting.
  template <typename... Args>
  void DebugPrint(LPCSTR lpszFormat, Args... args);

  // ---- Device access (device/) ----
  void ReadDeviceData(HKEY hParametersKey);
  HRESULT LoadPortContentionDll();
  HRESULT AcquirePort();
  // Each opens the port of its route, or says why it could not; the cycle goes on either way.
  void OpenPort_prtmon();
  void OpenPort_usbscan();
  HRESULT CloseDevice();
  HRESULT ReleasePort();
  // Cancels the I/O this thread left pending on the open port; false, with the system's error code set,
  // when the cancel failed. With no port open there is nothing to cancel.
  bool CancelPortIo();
  // At the handler's end: cancels whatever is pending on the port's handle, and closes the handle.
  void StopPortIo();
  void ClosePortHandle();
  // Ends the port cycle, when the exchange's description says so, the moment a transfer comes up short:
  // the exchange path asks for it before the command method writes another line.
  void AfterShortTransfer(const COMMAND_EXCHANGE& exchange);

  // ---- Scanner command protocol (protocol/) ----
  BOOL CoWriteFile(LPCVOID lpBuffer, DWORD dwLength, LPDWORD lpdwWritten);
  BOOL CoReadFile(LPVOID lpBuffer, DWORD dwLength, LPDWORD lpdwRead);
  // One command exchange as described (wire/CommandExchange.h), and the judgement of its answer.
  EXCHANGE_RESULT RunExchange(const COMMAND_EXCHANGE& exchange, LPCVOID pCommand, DWORD cbCommand, LPVOID pResponse,
                              DWORD cbResponse);
  // The exchange of one of the handler's command blocks, answered into a fixed-size response
  // (protocol/ExchangePath.h).
  template <typename Response>
  EXCHANGE_RESULT RunCommand(const COMMAND_EXCHANGE& exchange, const COMMAND_BLOCK& command, Response* pResponse);
  // Writes one debug line per field, in order. Inline (below the class), so that with debugging off the
  // list is not even built: a dump then costs the one test.
  void DumpFields(std::initializer_list<DUMP_FIELD> fields);
  HRESULT JudgeResponse(const RESPONSE_JUDGEMENT& judgement, BYTE byStartCode, BYTE byStatusCode, WORD wConditions);
  HRESULT JudgeResponse(const RESPONSE_JUDGEMENT& judgement, const RESPONSE_HEADER& header);
  HRESULT CallReserveUnit();
  HRESULT CallReleaseUnit();
  HRESULT CallAbort();
  HRESULT CallObjectPosition();
  HRESULT ChangeDeviceInfoFormat(const INQUIRY_RESPONSE* pResponse);
  // The steps of ChangeDeviceInfoFormat: the resolution lists, and the bed and feeder sizes.
  HRESULT StoreResolutions(WORD wSupportedRes);
  void StoreBedSizes(const INQUIRY_RESPONSE& response);
  void AdjustToPaperSize(LONG lWidth, DWORD dwHeight, DWORD* pdwWidth, DWORD* pdwHeight);
  void DumpDeviceInfo();
  HRESULT CallSetWindowParameter();
  HRESULT CallRead(LPVOID lpOutBuffer);
  HRESULT CallReadImage(LPVOID lpOutBuffer, LPDWORD pdwActualData);

  // The inquiry's exchange and its answer turned into m_WiaDeviceInfo (protocol/); CallGetDeviceInfo runs
  // it and ends the port cycle.
  HRESULT InquireDevice();
  void ValidateSWPForADF(BYTE* pbyCommand);
  // Whether m_SWPParam, at dwFactor window units per pixel, can be sent: false (with a line) when its size
  // wraps in 32-bit window units.
  bool WindowFits(DWORD dwFactor);
  // ---- Still-image operations' own steps (operations/) ----
  // The inquiry's port cycle around InquireDevice.
  HRESULT GetDeviceInfo();
  HRESULT CallGetDeviceInfo();
  // Refuses an escape whose caller gave no buffer for it to read or write (E_INVALIDARG, with a line).
  HRESULT NoBuffer(DWORD dwEscape, LPCSTR pszWhich);
  // The escapes that decide more than their command: buffers, the reservation, the busy retry, the
  // port cycle after a failure (operations/Escape.cpp).
  HRESULT EscapeDeviceInfo(LPVOID pOutData);
  HRESULT EscapeReserveUnit();
  HRESULT EscapeSetWindow(LPCVOID lpInData);
  HRESULT EscapeRead(LPVOID pOutData);
  HRESULT EscapeReadImage(LPVOID pOutData, LPDWORD pdwActualData);
  // Abort and release while the unit is reserved but the port was given back: the command runs in a port
  // cycle of its own.
  HRESULT EscapeInOwnCycle(DWORD dwEscape);
  // Whether a scan is under way, so that an operation with a port cycle of its own borrows the scan's
  // port rather than ending its cycle (CHeldPortScope).
  bool ScanUnderWay() const { return m_bUnitReserved || m_bReserveRetry; }
  // Whether a port cycle is running: the module loaded and the port granted.
  bool PortHeld() const { return m_hDll != nullptr && m_bPortAcquired; }
  // Frees the contention module and forgets the entry points that pointed into it.
  void FreeContentionModule();
  // At teardown in mid-reservation: abort and release the unit, then end the port cycle.
  void EndReservation();
  // The formatting and writing behind DebugPrint and DumpFields.
  void WriteDebugLine(LPCSTR lpszFormat, ...);
  void WriteDebugFields(std::initializer_list<DUMP_FIELD> fields);

 private:
  // The port's state is device/'s: its routes, the choice of route and the port a scan lends reach these
  // fields directly (scripts/members.txt says which folder names which).
  friend class CPortRoute;
  friend class CDeviceMonitorRoute;
  friend class CUsbscanRoute;
  friend class CHeldPortScope;
  friend const CPortRoute& PortRouteOf(const CSTIIOHandler& handler);
  // The tests, benchmarks and fuzz targets look inside through this one class, defined on their side.
  friend struct CSTIIOHandlerTestAccess;

  // The fields, in declaration order.
  HANDLE m_hDevice;
  HMODULE m_hDll;
  BOOL m_bPortAcquired;
  DWORD m_dwLastError;
  BOOL m_bUnitReserved;
  BOOL m_bDeviceInfoValid;
  BYTE* m_pRawDataBuffer;
  WORD m_wVid;
  WORD m_wPid;
  OVERLAPPED m_Overlapped;
  BYTE m_abNotifyBuffer[256];
  GUID m_guidEvent;
  IWiaLog* m_pIWiaLog;
  BOOL m_bPortOpened;
  COMMAND_BLOCK m_cmdInquiry;
  COMMAND_BLOCK m_cmdReserveUnit;
  COMMAND_BLOCK m_cmdRead;
  COMMAND_BLOCK m_cmdReadImage;
  COMMAND_BLOCK m_cmdAbort;
  COMMAND_BLOCK m_cmdReleaseUnit;
  COMMAND_BLOCK m_cmdObjectPosition;
  SCAN_DEVICE_INFO m_WiaDeviceInfo;
  DWORD m_dwVendorError;
  WCHAR m_szExtendedErrorText[EXTENDED_ERROR_TEXTS][EXTENDED_ERROR_TEXT_SIZE];
  DWORD m_dwResolutions[MAX_RESOLUTIONS];
  BOOL m_bDebugOutput;
  CHAR m_szDebugLine[DEBUG_LINE_SIZE];
  CHAR m_szDebugFormat[DEBUG_LINE_SIZE];
  va_list* m_pDebugArgs;
  BOOL m_bReserveRetry;
  DWORD m_dwImageBufferSize;
  SWP_PARAMETER m_SWPParam;
  SWP_RESPONSE m_SWPResponse;
  BOOL m_bDeviceMonitor;
  PFN_DEVICEREAD m_pfnDeviceRead;
  PFN_DEVICEWRITE m_pfnDeviceWrite;
  // Set while an operation with a port cycle of its own runs inside a scan's cycle (CHeldPortScope).
  BOOL m_bPortBorrowed = FALSE;
  // Set once the registry has stated the id; the direct route takes no port for ids never stated.
  BOOL m_bVidStated = FALSE;
  BOOL m_bPidStated = FALSE;
  // The largest block the window the scanner last took can produce; 0 while no window is known.
  DWORD m_dwWindowBlockLimit;
};

// The one handler of the process, created by InitializeDll and destroyed by TerminateDll.
extern CSTIIOHandler* g_pSTIIOHandler;

template <typename... Args>
inline void CSTIIOHandler::DebugPrint(LPCSTR lpszFormat, Args... args) {
  if (m_bDebugOutput) {
    WriteDebugLine(lpszFormat, args...);
  }
}

inline void CSTIIOHandler::DumpFields(std::initializer_list<DUMP_FIELD> fields) {
  if (m_bDebugOutput) {
    WriteDebugFields(fields);
  }
}
