// Bump allocation of float buffers from large blocks, for batch loaders that
// hand many decoded files to their caller at once. Touching a fresh page
// costs a fault and its zeroing, so released blocks are kept (up to 256 MiB in
// all, lent back to the system, which reclaims them when it needs the memory)
// and handed to the next loader; and while a fresh block is being filled, a
// helper thread faults in the next one, so the first batch of a process does
// not wait for the zeroing of its memory on the thread that decodes (the
// helper stops at the end of the batch; a block it faulted in whole goes to
// the kept blocks, a part-done one back to the system). A block is given back
// when the last buffer carved from it is released (each allocation returns a
// shared owner of its block). Thread-safe.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <thread>

namespace tavol {

class FloatArena {
public:
  explicit FloatArena(std::size_t block_bytes = std::size_t{32} << 20);
  ~FloatArena();
  FloatArena(const FloatArena &) = delete;
  FloatArena &operator=(const FloatArena &) = delete;
  // Room for `count` floats (64-byte aligned, contents unspecified). `owner`
  // receives a reference that keeps the memory alive. Requests larger than
  // half a block get a block of their own.
  float *allocate(std::size_t count, std::shared_ptr<void> *owner);

private:
  std::shared_ptr<void> next_block(); // these two with mutex_ held
  void fault_in_next() noexcept;

  std::size_t block_bytes_;
  std::mutex mutex_;
  std::shared_ptr<void> block_;
  unsigned char *next_ = nullptr;
  std::size_t left_ = 0;
  void *ahead_ = nullptr;    // the next block, being faulted in by prefetcher_
  bool ahead_whole_ = false; // set by prefetcher_: it faulted in all of ahead_
  std::thread prefetcher_;
  std::atomic<bool> stop_{false};
};

} // namespace tavol
