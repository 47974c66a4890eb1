#include "tavol/arena.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <new>

namespace tavol {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kAlign = 64;

std::size_t round_up(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

// A huge-page aligned anonymous mapping, unmapped when the last owner goes.
std::shared_ptr<void> map_block(std::size_t bytes) {
  bytes = round_up(bytes, kHugePage);
  // Over-allocate by one huge page so the start can be aligned to 2 MiB.
  const std::size_t span = bytes + kHugePage;
  void *raw = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED)
    throw std::bad_alloc();
  auto *base = static_cast<unsigned char *>(raw);
  auto *aligned = reinterpret_cast<unsigned char *>(
      round_up(reinterpret_cast<std::uintptr_t>(base), kHugePage));
  const std::size_t head = static_cast<std::size_t>(aligned - base);
  if (head > 0)
    ::munmap(base, head);
  if (span - head > bytes)
    ::munmap(aligned + bytes, span - head - bytes);
#ifdef MADV_HUGEPAGE
  ::madvise(aligned, bytes, MADV_HUGEPAGE); // advisory: plain pages still work
#endif
  return std::shared_ptr<void>(aligned, [bytes](void *p) { ::munmap(p, bytes); });
}

} // namespace

FloatArena::FloatArena(std::size_t block_bytes) : block_bytes_(round_up(block_bytes, kHugePage)) {}

float *FloatArena::allocate(std::size_t count, std::shared_ptr<void> *owner) {
  const std::size_t bytes = round_up(std::max<std::size_t>(count, 1) * sizeof(float), kAlign);
  if (bytes > block_bytes_ / 2) {
    *owner = map_block(bytes);
    return static_cast<float *>(owner->get());
  }
  std::lock_guard lock(mutex_);
  if (bytes > left_) {
    block_ = map_block(block_bytes_);
    next_ = static_cast<unsigned char *>(block_.get());
    left_ = block_bytes_;
  }
  auto *out = reinterpret_cast<float *>(next_);
  next_ += bytes;
  left_ -= bytes;
  *owner = block_;
  return out;
}

} // namespace tavol
