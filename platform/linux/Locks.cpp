// Slim reader/writer locks, exclusive only: a lock word the size of a pointer, all zero when free, as on
// Windows. A waiter sleeps on the word itself (a futex under std::atomic_ref's wait).
#include "Surface.h"

#include <atomic>
#include <cstdint>

namespace {

// The states of the lock word: free, held, held with a thread waiting (or about to wait) for it.
PVOID const kFree = nullptr;
PVOID const kHeld = reinterpret_cast<PVOID>(uintptr_t{1});
PVOID const kContended = reinterpret_cast<PVOID>(uintptr_t{2});

}  // namespace

void WINAPI AcquireSRWLockExclusive(PSRWLOCK SRWLock) {
  std::atomic_ref<PVOID> word(SRWLock->Ptr);
  PVOID expected = kFree;
  if (word.compare_exchange_strong(expected, kHeld, std::memory_order_acquire)) {
    return;
  }
  // Contended: mark the word so that the holder wakes a waiter on release, and sleep until it is free.
  while (word.exchange(kContended, std::memory_order_acquire) != kFree) {
    word.wait(kContended, std::memory_order_relaxed);
  }
}

void WINAPI ReleaseSRWLockExclusive(PSRWLOCK SRWLock) {
  std::atomic_ref<PVOID> word(SRWLock->Ptr);
  if (word.exchange(kFree, std::memory_order_release) == kContended) {
    word.notify_one();
  }
}
