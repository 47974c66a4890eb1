#include "tavol/arena.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

namespace tavol {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kAlign = 64;

std::size_t round_up(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

// Released blocks kept for reuse, up to kKeptBytes, the way malloc keeps
// freed memory: a loader that runs again (the next epoch, the next experiment
// in a notebook) finds its pages mapped and skips faulting in and zeroing
// fresh ones, which costs more than decoding a 16-bit file. The kept pages are
// not marked MADV_FREE: walking a block's page tables for that cost more than
// a tenth of a pooled load. Never destroyed: blocks may be released by arrays
// that outlive static destruction.
class BlockPool {
public:
  static BlockPool &instance() {
    static BlockPool *pool = new BlockPool;
    return *pool;
  }
  void *take(std::size_t bytes) {
    std::lock_guard lock(mutex_);
    auto found =
        std::find_if(free_.begin(), free_.end(), [&](auto &b) { return b.second == bytes; });
    if (found == free_.end())
      return nullptr;
    void *p = found->first;
    kept_ -= bytes;
    free_.erase(found);
    return p;
  }
  void give(void *p, std::size_t bytes) {
    {
      std::lock_guard lock(mutex_);
      if (kept_ + bytes <= kKeptBytes) {
        free_.emplace_back(p, bytes);
        kept_ += bytes;
        return;
      }
    }
    ::munmap(p, bytes);
  }

private:
  static constexpr std::size_t kKeptBytes = std::size_t{256} << 20;
  std::mutex mutex_;
  std::vector<std::pair<void *, std::size_t>> free_;
  std::size_t kept_ = 0;
};

std::shared_ptr<void> own_block(void *p, std::size_t bytes) {
  return std::shared_ptr<void>(p, [bytes](void *q) { BlockPool::instance().give(q, bytes); });
}

// A huge-page aligned anonymous mapping, returned to the pool when the last owner goes.
std::shared_ptr<void> map_block(std::size_t bytes) {
  bytes = round_up(bytes, kHugePage);
  if (void *reused = BlockPool::instance().take(bytes))
    return own_block(reused, bytes);
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
  return own_block(aligned, bytes);
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
