// BSTRs as OLE Automation lays them out: a 32-bit byte length, the characters, a 16-bit terminator.
// The pointer handed out addresses the first character. A live count lets the test build find leaked
// strings.
#include "Surface.h"

#include <atomic>
#include <cstring>
#include <new>

namespace {

std::atomic<size_t> g_liveStrings{0};

}  // namespace

BSTR WINAPI SysAllocString(const OLECHAR* psz) {
  if (psz == nullptr) {
    return nullptr;
  }
  size_t length = 0;
  while (psz[length] != 0) {
    ++length;
  }
  auto bytes = static_cast<uint32_t>(length * sizeof(OLECHAR));
  auto* block = new (std::nothrow) unsigned char[sizeof(uint32_t) + bytes + sizeof(OLECHAR)];
  if (block == nullptr) {
    return nullptr;
  }
  std::memcpy(block, &bytes, sizeof(bytes));
  auto* text = reinterpret_cast<BSTR>(block + sizeof(uint32_t));
  std::memcpy(text, psz, bytes);
  text[length] = 0;
  ++g_liveStrings;
  return text;
}

void WINAPI SysFreeString(BSTR bstrString) {
  if (bstrString == nullptr) {
    return;
  }
  delete[](reinterpret_cast<unsigned char*>(bstrString) - sizeof(uint32_t));
  --g_liveStrings;
}

UINT WINAPI SysStringLen(BSTR pbstr) {
  if (pbstr == nullptr) {
    return 0;
  }
  uint32_t bytes;
  std::memcpy(&bytes, reinterpret_cast<const unsigned char*>(pbstr) - sizeof(uint32_t), sizeof(bytes));
  return bytes / sizeof(OLECHAR);
}

#if defined(WINPLAT_TEST_HOOKS)
namespace winplat {

size_t LiveBStrings() {
  return g_liveStrings;
}

}  // namespace winplat
#endif
