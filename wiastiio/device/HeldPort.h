// The port a scan holds, lent to an operation that runs a port cycle of its own (the status poll, the
// diagnostic, the device information). Left to themselves such operations would end the scan's cycle:
// the next read would fail and the scanner would stay reserved with no way to release it.
#pragma once

#include "handler/STIIOHandler.h"

// While one of these lives, made while a scan is under way (its caller judges that) and a cycle is
// running, LoadPortContentionDll uses the held port as it is and CloseDevice leaves it held.
class CHeldPortScope {
 public:
  CHeldPortScope(CSTIIOHandler& handler, bool bScanUnderWay);
  ~CHeldPortScope();

  CHeldPortScope(const CHeldPortScope&) = delete;
  CHeldPortScope& operator=(const CHeldPortScope&) = delete;

 private:
  CSTIIOHandler& m_handler;
  BOOL m_bOuterBorrowed;
};
