// The simulated scanner's port-contention module, as the handler loads it each port cycle: the device
// monitor "prtmon64.dll" (PortAcquire, PortRelease, DeviceOpen, DeviceRead, DeviceWrite, DeviceClose)
// or the port arbitration module "portarb.dll" (PortAcquire, PortRelease). It grants the port (or
// refuses it, as for a port another program holds) and moves DeviceRead/DeviceWrite to a scanner port.
//
// On Linux it is installed into the platform's module model (simulator/linux/InstallModules.h). On
// Windows the modules are DLLs of their own that hand theirs out through the ModuleControl export; the
// calls of a program run the DLL's code, so the entry points and the control are virtual. The tests
// derive their doubles from it (records, scripted answers, checks: doubles/ContentionDouble.h).
#pragma once

#include <cstdint>

#include "platform/win32.h"
#include "simulator/Port.h"

namespace scansim {

class ContentionModule {
 public:
  ContentionModule();
  virtual ~ContentionModule();
  ContentionModule(const ContentionModule&) = delete;
  ContentionModule& operator=(const ContentionModule&) = delete;

  // ---- The entry points, as the modules export them ----
  // DeviceRead/DeviceWrite move data only while the device is open (a granted DeviceOpen not yet
  // undone by a DeviceClose) and a port is set; otherwise they fail with count 0.
  virtual BOOL PortAcquire(DWORD mode);
  virtual BOOL PortRelease(DWORD mode);
  virtual BOOL DeviceOpen(DWORD access, DWORD share, DWORD vid, DWORD pid, ULONG_PTR reserved);
  virtual BOOL DeviceRead(LPVOID buffer, DWORD length, LPDWORD read);
  virtual BOOL DeviceWrite(LPCVOID buffer, DWORD length, LPDWORD written);
  virtual BOOL DeviceClose(DWORD flags);

  // ---- Control ----
  // Back to the first state: the port granted on request, no port, nothing held or open.
  virtual void Reset();
  // PortAcquire grants by `grant` (false: the port is held by another program).
  virtual void SetAcquireAnswer(bool grant);
  // The scanner behind DeviceRead/DeviceWrite; not owned. Null makes the transfers fail with
  // ERROR_GEN_FAILURE.
  virtual void SetPort(Port* port);
  // A PortAcquire granted and no PortRelease since; a DeviceOpen granted and no DeviceClose since.
  virtual bool Held() const;
  virtual bool Opened() const;

 protected:
  // The answers as the module gives them; a granted one changes the state.
  BOOL Acquire(bool grant);
  BOOL Release(bool release);
  BOOL Open(bool open);
  BOOL Close(bool close);
  // One transfer: a scanner silent for ever fails it at once (ERROR_SEM_TIMEOUT, as a monitor that
  // bounds its own transfers), a shorter silence is waited out. *moved is the bytes that moved.
  BOOL Transfer(bool read, void* buffer, DWORD length, uint32_t* moved);

  bool acquireAnswer_ = true;
  Port* port_ = nullptr;
  bool held_ = false;
  bool opened_ = false;
};

// The ModuleControl export of the Windows modules.
typedef ContentionModule*(WINAPI* PFN_MODULECONTROL)();

}  // namespace scansim
