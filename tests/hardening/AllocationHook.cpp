#include "hardening/AllocationHook.h"

#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace allocationhook {
namespace {

// Every block carries a header in front that says whether it is watched; 16 bytes keep the block's
// alignment that of malloc.
constexpr size_t kHeader = 16;
constexpr uint64_t kPlainBlock = 0x504C41494E424C4BULL;
constexpr uint64_t kWatchedBlock = 0x5741544348454421ULL;

std::atomic<uintptr_t> g_begin{0};
std::atomic<uintptr_t> g_end{0};
std::atomic<bool> g_armed{false};
std::atomic<uint64_t> g_failAt{0};
std::atomic<uint64_t> g_made{0};
std::atomic<int64_t> g_live{0};

void* Allocate(std::size_t size, const void* caller) {
  const auto from = reinterpret_cast<uintptr_t>(caller);
  const bool watched = g_armed.load() && from >= g_begin.load() && from < g_end.load();
  if (watched) {
    const uint64_t n = ++g_made;
    if (n == g_failAt.load()) {
      return nullptr;
    }
  }
  auto* block = static_cast<unsigned char*>(std::malloc(size + kHeader));
  if (block == nullptr) {
    return nullptr;
  }
  const uint64_t tag = watched ? kWatchedBlock : kPlainBlock;
  std::memcpy(block, &tag, sizeof(tag));
  if (watched) {
    ++g_live;
  }
  return block + kHeader;
}

void Release(void* pointer) {
  if (pointer == nullptr) {
    return;
  }
  unsigned char* block = static_cast<unsigned char*>(pointer) - kHeader;
  uint64_t tag = 0;
  std::memcpy(&tag, block, sizeof(tag));
  if (tag == kWatchedBlock) {
    --g_live;
  }
  std::free(block);
}

struct Search {
  std::string name;
  uintptr_t begin = 0;
  uintptr_t end = 0;
};

int FindModule(dl_phdr_info* info, size_t, void* data) {
  auto* search = static_cast<Search*>(data);
  if (info->dlpi_name == nullptr || search->name != info->dlpi_name) {
    return 0;
  }
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
    if (segment.p_type == PT_LOAD && (segment.p_flags & PF_X) != 0) {
      const uintptr_t begin = info->dlpi_addr + segment.p_vaddr;
      const uintptr_t end = begin + segment.p_memsz;
      search->begin = search->begin == 0 ? begin : std::min(search->begin, begin);
      search->end = std::max(search->end, end);
    }
  }
  return 1;
}

}  // namespace

bool WatchModuleOf(const void* address) {
  Dl_info info = {};
  if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) {
    return false;
  }
  Search search;
  search.name = info.dli_fname;
  dl_iterate_phdr(&FindModule, &search);
  g_begin = search.begin;
  g_end = search.end;
  return search.begin < search.end;
}

void Arm(uint64_t failAt) {
  g_made = 0;
  g_failAt = failAt;
  g_armed = true;
}

void Disarm() {
  g_armed = false;
}

uint64_t Made() {
  return g_made.load();
}
int64_t Live() {
  return g_live.load();
}

}  // namespace allocationhook

// ---- The replaced global allocation functions ----------------------------------------------------------

void* operator new(std::size_t size) {
  void* block = allocationhook::Allocate(size, __builtin_return_address(0));
  if (block == nullptr) {
    throw std::bad_alloc();
  }
  return block;
}

void* operator new[](std::size_t size) {
  void* block = allocationhook::Allocate(size, __builtin_return_address(0));
  if (block == nullptr) {
    throw std::bad_alloc();
  }
  return block;
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return allocationhook::Allocate(size, __builtin_return_address(0));
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return allocationhook::Allocate(size, __builtin_return_address(0));
}

void operator delete(void* pointer) noexcept {
  allocationhook::Release(pointer);
}
void operator delete[](void* pointer) noexcept {
  allocationhook::Release(pointer);
}
void operator delete(void* pointer, std::size_t) noexcept {
  allocationhook::Release(pointer);
}
void operator delete[](void* pointer, std::size_t) noexcept {
  allocationhook::Release(pointer);
}
void operator delete(void* pointer, const std::nothrow_t&) noexcept {
  allocationhook::Release(pointer);
}
void operator delete[](void* pointer, const std::nothrow_t&) noexcept {
  allocationhook::Release(pointer);
}
