// A counting allocation hook for the hardening program. The program replaces the global operator new
// and operator delete (plain, array and nothrow forms), so every allocation in the process passes
// here, the library's included. While the hook is armed it counts the allocations made by code inside
// one watched address range (the library's code) and can make one of them fail: the nothrow forms
// return null and the throwing forms throw std::bad_alloc. It also keeps the number of watched blocks
// not yet freed, whenever they are freed.
#pragma once

#include <cstdint>

namespace allocationhook {

// Allocations whose call comes from an address in [begin, end) are the watched ones.
void WatchCallersIn(uintptr_t begin, uintptr_t end);
// The executable code of the loaded module that holds `address`; false when there is none.
bool CodeRangeOf(const void* address, uintptr_t* begin, uintptr_t* end);

// Starts counting watched allocations from 1; the failAt-th fails (0: none fails).
void Arm(uint64_t failAt);
void Disarm();

uint64_t Made();    // watched allocations asked for since Arm, the failed one included
uint64_t Failed();  // watched allocations refused since Arm
int64_t Live();     // watched blocks allocated while armed and not freed yet

}  // namespace allocationhook
