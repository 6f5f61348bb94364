// One call that returns every model to its state at process start, for test fixtures: in the test
// build only.
#include "Surface.h"

namespace winplat {

// Handles already open on devices and events stay valid until they are closed.
void ResetAll() {
  UnplugAllDevices();
  ResetDeviceCalls();
  RemoveAllModules();
  ResetModuleStatistics();
  ResetRegistry();
  ClearDebugStrings();
  SetDebugStringSink(nullptr);
}

}  // namespace winplat
