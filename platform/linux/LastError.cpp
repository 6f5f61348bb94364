// The calling thread's last-error code, as every failing function of the surface reports it.
#include "Surface.h"

namespace {
thread_local DWORD t_dwLastError = ERROR_SUCCESS;
}  // namespace

DWORD WINAPI GetLastError() {
  return t_dwLastError;
}

void WINAPI SetLastError(DWORD dwErrCode) {
  t_dwLastError = dwErrCode;
}
