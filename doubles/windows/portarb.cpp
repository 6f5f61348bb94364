// The port-arbitration double as a real DLL: PortAcquire and PortRelease of "portarb.dll" over one
// ContentionDouble, and ModuleControl, through which a test program configures it. The state lives as
// long as the DLL stays loaded, so a test program holds its own reference across the handler's
// per-cycle loads and frees.
#include <type_traits>

#include "PortContention.h"
#include "doubles/ContentionDouble.h"

namespace {
doubles::ContentionDouble g_arbitration;
}

extern "C" {

BOOL WINAPI PortAcquire(DWORD mode) {
  return g_arbitration.PortAcquire(mode);
}

BOOL WINAPI PortRelease(DWORD mode) {
  return g_arbitration.PortRelease(mode);
}

scansim::ContentionModule* WINAPI ModuleControl() {
  return &g_arbitration;
}

}  // extern "C"

// The handler calls through these types; the exports must match them exactly.
static_assert(std::is_same<decltype(&PortAcquire), PFN_PORTACQUIRE>::value, "PortAcquire");
static_assert(std::is_same<decltype(&PortRelease), PFN_PORTRELEASE>::value, "PortRelease");
static_assert(std::is_same<decltype(&ModuleControl), scansim::PFN_MODULECONTROL>::value, "ModuleControl");
