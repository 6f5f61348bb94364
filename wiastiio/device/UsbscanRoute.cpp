// The direct route to the scanner: the arbitration module "portarb.dll" grants the port; the handler
// finds the USB still-image device object whose vendor and product ids match the registry settings,
// keeps it open in m_hDevice and transfers with WriteFile/ReadFile on it.
#include "device/PortRoute.h"

namespace {

// The class driver numbers its device objects \\.\Usbscan0 to \\.\Usbscan254.
constexpr int USBSCAN_NAMES = 255;

}  // namespace

// Outside the anonymous namespace: the handler names it as a friend.
class CUsbscanRoute final : public CPortRoute {
 public:
  constexpr CUsbscanRoute() : CPortRoute("portarb.dll", "Portarb.dll", PORT_MODE_PORT_ARBITRATION) {}

  void Open(CSTIIOHandler& handler) const override { handler.OpenPort_usbscan(); }

  BOOL Write(CSTIIOHandler& handler, LPCVOID lpBuffer, DWORD dwLength, LPDWORD lpdwWritten) const override {
    if (Closed(handler, "CoWriteFile")) {
      return FALSE;
    }
    return ::WriteFile(handler.m_hDevice, lpBuffer, dwLength, lpdwWritten, nullptr);
  }

  BOOL Read(CSTIIOHandler& handler, LPVOID lpBuffer, DWORD dwLength, LPDWORD lpdwRead) const override {
    if (Closed(handler, "CoReadFile")) {
      return FALSE;
    }
    return ::ReadFile(handler.m_hDevice, lpBuffer, dwLength, lpdwRead, nullptr);
  }

  // A directly opened port stays open across cycles, as it always has: the next cycle searches again
  // and the destructor closes what is left. Only the transfers are tied to the grant (see Closed).
  void Close(CSTIIOHandler&) const override {}

 private:
  // Outside a port cycle the arbitration module has granted nothing: the handle may still be open, but
  // the transfer fails as one that moved nothing, and says so.
  static bool Closed(CSTIIOHandler& handler, LPCSTR pszPrimitive) {
    if (handler.m_bPortAcquired) {
      return false;
    }
    handler.DebugPrint("[STI]%s refused: no port is granted", pszPrimitive);
    ::SetLastError(ERROR_INVALID_HANDLE);
    return true;
  }
};

namespace {

// Constant-initialised: no guard, no lock, nothing to set up at the first call.
constexpr CUsbscanRoute g_usbscanRoute;

}  // namespace

const CPortRoute& UsbscanRoute() {
  return g_usbscanRoute;
}

void CSTIIOHandler::OpenPort_usbscan() {
  // Every acquire on this route searches again; a port kept from an earlier cycle is let go first so
  // that its handle is not lost when the search overwrites m_hDevice.
  if (m_hDevice != nullptr && m_hDevice != INVALID_HANDLE_VALUE) {
    CloseHandle(m_hDevice);
    m_hDevice = nullptr;
  }
  // Ids the registry never stated would be the wildcard 0 and 0, and take whatever scanner answers
  // first, of any maker; they match no port.
  if (!m_bVidStated || !m_bPidStated) {
    DebugPrint("[STI]Vid and Pid are not both in the registry: no scanner port is searched");
    m_hDevice = INVALID_HANDLE_VALUE;
    return;
  }

  CHAR szName[sizeof("\\\\.\\Usbscan254")];
  for (int n = 0; n < USBSCAN_NAMES; ++n) {
    wsprintfA(szName, "\\\\.\\Usbscan%d", n);
    m_hDevice = CreateFileA(szName, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (m_hDevice == INVALID_HANDLE_VALUE) {
      DWORD dwError = ::GetLastError();
      DebugPrint("[STI]Invalid handle value => %s", szName);
      DebugPrint("[STI]Error code =>%d", static_cast<int>(dwError));
      continue;
    }
    DebugPrint("[STI]success => %s", szName);

    // Ids 0, 0 accept any scanner port.
    if (m_wVid == 0 && m_wPid == 0) {
      m_bPortOpened = TRUE;
      return;
    }

    // A port that does not answer the query keeps the zero ids and so does not match.
    DEVICE_DESCRIPTOR descriptor = {};
    DWORD cbReturned{};
    DeviceIoControl(m_hDevice, IOCTL_GET_DEVICE_DESCRIPTOR, &descriptor, sizeof(descriptor), &descriptor,
                    sizeof(descriptor), &cbReturned, nullptr);
    if (descriptor.usVendorId == m_wVid && descriptor.usProductId == m_wPid) {
      m_bPortOpened = TRUE;
      return;
    }

    CloseHandle(m_hDevice);
    m_hDevice = INVALID_HANDLE_VALUE;
  }

  // No port: the cycle goes on and its first transfer fails on the invalid handle.
  m_hDevice = INVALID_HANDLE_VALUE;
}
