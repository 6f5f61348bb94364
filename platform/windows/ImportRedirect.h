// Redirecting one imported function of a loaded module: the module keeps calling through its own
// import table, so what it hands to the function is exactly what the system would have received.
// The tests capture the library's debugger strings this way, and stiscan shows them as they are written.
#pragma once

#include <windows.h>

namespace winplat {

// Points every import of `function` (imported by name) in `module`'s import table at `replacement`.
// Returns how many import slots were changed; 0 when the module does not import the function.
int RedirectImport(HMODULE module, const char* function, void* replacement);

}  // namespace winplat
