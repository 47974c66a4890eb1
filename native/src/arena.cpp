#include "tavol/arena.hpp"

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>

#include "tavol/platform/memory.hpp"

namespace tavol {
namespace {

constexpr std::size_t kHugePage = platform::kHugePageBytes;
constexpr std::size_t kAlign = 64;

std::size_t round_up(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

// Released blocks kept for reuse, up to kKeptBytes, the way malloc keeps
// freed memory: a loader that runs again (the next epoch, the next experiment
// in a notebook) finds its pages mapped and skips zeroing fresh ones. A kept
// block is lent back to the system (platform::lend_back): its pages stay in
// place while memory is plentiful, and the kernel takes them whenever it needs
// them, so the pool never pins memory another program wants. Never
// destroyed: blocks may be released by arrays that outlive static destruction.
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
        platform::lend_back(p, bytes);
        free_.emplace_back(p, bytes);
        kept_ += bytes;
        return;
      }
    }
    platform::unmap(p, bytes);
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

// An anonymous mapping, returned to the pool when the last owner goes.
std::shared_ptr<void> map_block(std::size_t bytes) {
  bytes = round_up(bytes, kHugePage);
  if (void *reused = BlockPool::instance().take(bytes))
    return own_block(reused, bytes);
  return own_block(platform::map_huge_aligned(bytes), bytes);
}

} // namespace

FloatArena::FloatArena(std::size_t block_bytes) : block_bytes_(round_up(block_bytes, kHugePage)) {}

FloatArena::~FloatArena() {
  stop_.store(true);
  if (prefetcher_.joinable())
    prefetcher_.join();
  if (!ahead_)
    return;
  if (ahead_whole_)
    BlockPool::instance().give(ahead_, block_bytes_);
  else // partly faulted in: a later batch would wait for the rest, unhelped
    platform::unmap(ahead_, block_bytes_);
}

// The block to fill next: one of an earlier batch (its pages in place), else
// the one faulted in ahead or a fresh one, whose successor a helper then
// faults in. (own_block hands the block to the pool if it cannot own it.)
std::shared_ptr<void> FloatArena::next_block() {
  void *p = nullptr;
  if (ahead_) {
    prefetcher_.join();
    p = std::exchange(ahead_, nullptr);
  } else if (void *reused = BlockPool::instance().take(block_bytes_)) {
    return own_block(reused, block_bytes_);
  } else {
    p = platform::map_huge_aligned(block_bytes_);
  }
  std::shared_ptr<void> block = own_block(p, block_bytes_);
  fault_in_next();
  return block;
}

// While a fresh block is filled, a helper faults in its successor, 2 MiB at
// a time so that the end of the batch stops it within one step.
void FloatArena::fault_in_next() noexcept {
  void *p = nullptr;
  try {
    p = platform::map_huge_aligned(block_bytes_);
    ahead_whole_ = false;
    prefetcher_ = std::thread([this, bytes = static_cast<unsigned char *>(p)] {
      std::size_t at = 0;
      for (; at < block_bytes_ && !stop_.load(); at += kHugePage)
        platform::populate(bytes + at, kHugePage);
      ahead_whole_ = at >= block_bytes_;
    });
    ahead_ = p;
  } catch (...) { // no memory or no thread to spare: the next block is mapped when needed
    if (p)
      platform::unmap(p, block_bytes_);
  }
}

float *FloatArena::allocate(std::size_t count, std::shared_ptr<void> *owner) {
  const std::size_t bytes = round_up(std::max<std::size_t>(count, 1) * sizeof(float), kAlign);
  if (bytes > block_bytes_ / 2) {
    *owner = map_block(bytes);
    return static_cast<float *>(owner->get());
  }
  std::lock_guard lock(mutex_);
  if (bytes > left_) {
    block_ = next_block();
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
