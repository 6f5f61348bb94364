// A counting allocation hook for the hardening program. The program replaces the global operator new
// and operator delete (plain, array and nothrow forms), so every allocation in the process passes
// here, the library's included. While the hook is armed it counts the allocations made by code inside
// one watched address range (the library's code) and can make one of them fail: the nothrow forms
// return null and the throwing forms throw std::bad_alloc. It also keeps the number of watched blocks
// not yet freed, whenever they are freed.
#pragma once

#include <cstdint>

namespace allocationhook {

// Allocations whose call comes from the executable code of the loaded module that holds `address` are
// the watched ones; false when there is no such module.
bool WatchModuleOf(const void* address);

// Starts counting watched allocations from 1; the failAt-th fails (0: none fails).
void Arm(uint64_t failAt);
void Disarm();

uint64_t Made();  // watched allocations asked for since Arm, the failed one included
int64_t Live();   // watched blocks allocated while armed and not freed yet

}  // namespace allocationhook
