// Creates and destroys the handler with debugging on, so that the debugger channel can be watched
// from outside (under Wine: WINEDEBUG=+debugstr).
#include <cstdio>

#include "WIASTIIO.h"

int main() {
  HMODULE module = LoadLibraryA("WIASTIIO.dll");
  if (module == nullptr) {
    std::printf("WIASTIIO.dll not found\n");
    return 1;
  }
  auto initialize =
      reinterpret_cast<PFN_InitializeDll>(reinterpret_cast<void (*)()>(GetProcAddress(module, "InitializeDll")));
  auto terminate =
      reinterpret_cast<PFN_TerminateDll>(reinterpret_cast<void (*)()>(GetProcAddress(module, "TerminateDll")));
  if (initialize == nullptr || terminate == nullptr) {
    std::printf("exports missing\n");
    return 1;
  }
  HRESULT created = initialize(1);
  HRESULT destroyed = terminate();
  std::printf("InitializeDll 0x%08lX, TerminateDll 0x%08lX\n", static_cast<unsigned long>(created),
              static_cast<unsigned long>(destroyed));
  FreeLibrary(module);
  return created == S_OK && destroyed == S_OK ? 0 : 1;
}
