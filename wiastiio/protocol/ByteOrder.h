// Byte order on the scanner's wire. Lengths and sizes travel most significant byte first; the 16-bit
// message-data and scanner-state words least significant first. Both platforms the library runs on
// are little-endian, so host order is little-endian order.
#pragma once

#include <cstring>

#include "platform/win32.h"

inline DWORD LoadBigEndian32(const void* pField) {
  const BYTE* p = static_cast<const BYTE*>(pField);
  return (static_cast<DWORD>(p[0]) << 24) | (static_cast<DWORD>(p[1]) << 16) | (static_cast<DWORD>(p[2]) << 8) |
         static_cast<DWORD>(p[3]);
}

inline WORD LoadBigEndian16(const void* pField) {
  const BYTE* p = static_cast<const BYTE*>(pField);
  return static_cast<WORD>((p[0] << 8) | p[1]);
}

inline WORD LoadLittleEndian16(const void* pField) {
  const BYTE* p = static_cast<const BYTE*>(pField);
  return static_cast<WORD>(p[0] | (p[1] << 8));
}

inline void StoreBigEndian32(void* pField, DWORD dwValue) {
  BYTE* p = static_cast<BYTE*>(pField);
  p[0] = static_cast<BYTE>(dwValue >> 24);
  p[1] = static_cast<BYTE>(dwValue >> 16);
  p[2] = static_cast<BYTE>(dwValue >> 8);
  p[3] = static_cast<BYTE>(dwValue);
}

// A field in host order, whatever its alignment.
template <typename T>
inline void StoreHost(void* pField, T value) {
  std::memcpy(pField, &value, sizeof(value));
}
