// The kernel's narrow string copies. A null pointer that would be touched makes the copy fail with a
// null result, the way Windows turns the access fault into a failure.
#include "Surface.h"

#include <cstring>

LPSTR WINAPI lstrcpyA(LPSTR lpString1, LPCSTR lpString2) {
  if (lpString1 == nullptr || lpString2 == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::memmove(lpString1, lpString2, std::strlen(lpString2) + 1);
  return lpString1;
}

LPSTR WINAPI lstrcpynA(LPSTR lpString1, LPCSTR lpString2, int iMaxLength) {
  // A negative length reads as a huge unsigned count: the copy is then bounded only by the source.
  auto room = static_cast<unsigned>(iMaxLength);
  if (room == 0) {
    return lpString1;
  }
  if (lpString1 == nullptr || (room > 1 && lpString2 == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  LPSTR d = lpString1;
  for (LPCSTR s = lpString2; room > 1 && *s != '\0'; --room) {
    *d++ = *s++;
  }
  *d = '\0';
  return lpString1;
}

int WINAPI lstrlenA(LPCSTR lpString) {
  return lpString == nullptr ? 0 : static_cast<int>(std::strlen(lpString));
}
