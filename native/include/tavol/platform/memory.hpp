// Page-level memory from the operating system: the one place the core maps
// and unmaps memory (POSIX in memory_posix.cpp; a port supplies its own).
#pragma once

#include <cstddef>

namespace tavol::platform {

// The size of a transparent huge page where the system has them (2 MiB on
// x86-64 and most 64-bit ARM set-ups); blocks are aligned to it.
inline constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

// `bytes` (a multiple of kHugePageBytes) of zeroed, readable and writable
// memory aligned to kHugePageBytes (so a system that backs all memory with
// huge pages can). Throws std::bad_alloc when the system refuses.
void *map_huge_aligned(std::size_t bytes);

// Marks memory from map_huge_aligned as free to take: its pages stay while
// the system has memory to spare and are reclaimed when it needs them
// (reading reclaimed memory gives zeros). Writing to it keeps it.
void lend_back(void *p, std::size_t bytes) noexcept;

// Faults in `bytes` of memory from map_huge_aligned (a multiple of
// kHugePageBytes) for writing, so that the thread that writes it next does not
// wait for the system to find and zero its pages. Best effort.
void populate(void *p, std::size_t bytes) noexcept;

// Gives back memory from map_huge_aligned.
void unmap(void *p, std::size_t bytes) noexcept;

} // namespace tavol::platform
