#include <sys/mman.h>

#include <cstdint>
#include <new>

#include "tavol/platform/memory.hpp"

namespace tavol::platform {

void *map_huge_aligned(std::size_t bytes) {
  // Over-allocate by one huge page so the start can be aligned to it.
  const std::size_t span = bytes + kHugePageBytes;
  void *raw = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED)
    throw std::bad_alloc();
  auto *base = static_cast<unsigned char *>(raw);
  const auto at = reinterpret_cast<std::uintptr_t>(base);
  auto *aligned = base + ((kHugePageBytes - at % kHugePageBytes) % kHugePageBytes);
  const auto head = static_cast<std::size_t>(aligned - base);
  if (head > 0)
    ::munmap(base, head);
  if (span - head > bytes)
    ::munmap(aligned + bytes, span - head - bytes);
  // Huge pages are not asked for (MADV_HUGEPAGE). On our virtual machines a
  // fresh huge page often comes from memory the guest had handed back to the
  // host (free page reporting gives back free blocks of 2 MiB and more), and
  // touching it then costs a fault on the host as well: touching 192 MB of
  // fresh memory took 0.03 s or 0.3-0.7 s of processor time with huge pages,
  // depending on the host, against a steady 0.13-0.16 s with small pages.
  return aligned;
}

void lend_back([[maybe_unused]] void *p, [[maybe_unused]] std::size_t bytes) noexcept {
#if defined(MADV_FREE)
  ::madvise(p, bytes, MADV_FREE);
#endif
}

void populate(void *p, std::size_t bytes) noexcept {
#if defined(MADV_POPULATE_WRITE)
  if (::madvise(p, bytes, MADV_POPULATE_WRITE) == 0)
    return;
#endif
  // Older systems: write each small page (the memory is fresh, so zero is
  // what it holds already).
  auto *bytes_at = static_cast<volatile unsigned char *>(p);
  for (std::size_t i = 0; i < bytes; i += 4096)
    bytes_at[i] = 0;
}

void unmap(void *p, std::size_t bytes) noexcept { ::munmap(p, bytes); }

} // namespace tavol::platform
