// The port route: how the handler reaches the scanner's port. Every step of a port cycle that
// depends on the route (which contention module arbitrates the port, how the port is opened,
// written, read and closed) goes through one CPortRoute, chosen by m_bDeviceMonitor at each step.
//
// A route is a stateless object: the port's state stays in the handler's fields, which the route
// reads and writes. Every route is arbitrated by a contention module with PortAcquire/PortRelease
// entry points; what differs is the module and its port mode, and how the port is opened, written,
// read and closed. A new route is one more CPortRoute in a file of its own plus its case in
// PortRouteOf (Port.cpp); nothing else in the handler changes.
#pragma once

#include "handler/STIIOHandler.h"

// What a contention module answered when asked for the port or to give it back.
enum class PortAnswer {
  kNoEntry,  // the module (or its entry point) is not there to ask
  kRefused,
  kGranted,
};

class CPortRoute {
 public:
  // The contention module's file name, and the name the debug lines give it.
  LPCSTR ModuleName() const { return m_pszModuleName; }
  LPCSTR ModuleLabel() const { return m_pszModuleLabel; }

  // Asks the contention module loaded into m_hDll for the port, and gives it back, through its
  // PortAcquire/PortRelease entry points with the route's port mode.
  PortAnswer Acquire(CSTIIOHandler& handler) const;
  PortAnswer Release(CSTIIOHandler& handler) const;
  // Opens the port once granted. Nothing waits on the outcome: the first transfer shows a port that
  // did not open.
  virtual void Open(CSTIIOHandler& handler) const = 0;
  // The transfer primitives. The count is never null and already holds 0.
  virtual BOOL Write(CSTIIOHandler& handler, LPCVOID lpBuffer, DWORD dwLength, LPDWORD lpdwWritten) const = 0;
  virtual BOOL Read(CSTIIOHandler& handler, LPVOID lpBuffer, DWORD dwLength, LPDWORD lpdwRead) const = 0;
  // Closes what Open opened, before the port is given back.
  virtual void Close(CSTIIOHandler& handler) const = 0;

 protected:
  constexpr CPortRoute(LPCSTR pszModuleName, LPCSTR pszModuleLabel, BYTE byPortMode)
      : m_pszModuleName(pszModuleName), m_pszModuleLabel(pszModuleLabel), m_byPortMode(byPortMode) {}
  ~CPortRoute() = default;

 private:
  LPCSTR m_pszModuleName;
  LPCSTR m_pszModuleLabel;
  // The port mode handed to the module's PortAcquire and PortRelease.
  BYTE m_byPortMode;
};

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

// The device monitor "prtmon64.dll" opens and owns the port; transfers go through its entry points.
const CPortRoute& DeviceMonitorRoute();
// The handler opens \\.\UsbscanN itself; the arbitration module "portarb.dll" grants the port.
const CPortRoute& UsbscanRoute();

// The route m_bDeviceMonitor selects now (Port.cpp).
const CPortRoute& PortRouteOf(const CSTIIOHandler& handler);
