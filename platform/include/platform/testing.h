// What only tests ask of the Linux platform: leak counters and a reset of every model. These are in the
// test build of libwinplat (the target winplat_testing, a libwinplat.so of its own folder that a test
// program loads in place of the shipped one); the shipped library has none of them.
#pragma once

#include <cstddef>

namespace winplat {

// Registry key handles open now.
size_t OpenKeyHandles();

// BSTRs made by SysAllocString and not yet given to SysFreeString.
size_t LiveBStrings();

// Returns all models to their state at process start (devices, modules, registry, debugger output).
// Handles already open on devices and events stay valid until they are closed.
void ResetAll();

}  // namespace winplat
