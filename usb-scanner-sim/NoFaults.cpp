#include "usb-scanner-sim/Faults.h"

namespace scansim {
namespace usb {

bool AddFault(const char* /*option*/, uint32_t /*command*/) {
  return false;
}

Port& WithFaults(Port& scanner) {
  return scanner;
}

}  // namespace usb
}  // namespace scansim
