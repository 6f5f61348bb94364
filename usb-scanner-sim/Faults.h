// Answers spoiled on purpose, by the number of their command: usb-scanner-sim's --short-answer,
// --stall-answer and --unplug-answer, with which a capture of a failing session is made. The fault
// injector does not ship: the installed usb-scanner-sim links NoFaults.cpp, which knows none of these
// options; usb-scanner-sim-faults of the build folder links the injector's (doubles/usb/ScriptedFaults.cpp).
#pragma once

#include <cstdint>

#include "simulator/Port.h"

namespace scansim {
namespace usb {

// Spoils the answer to command `command` (counted from 1) as `option` says; false when this build has
// no such option.
bool AddFault(const char* option, uint32_t command);
// The port the program's transfers reach: `scanner`, or the injector before it when faults were added.
Port& WithFaults(Port& scanner);

}  // namespace usb
}  // namespace scansim
