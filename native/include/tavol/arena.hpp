// Bump allocation of float buffers from large blocks, for batch loaders that
// hand many decoded files to their caller at once. Blocks are huge-page
// backed where the system allows it (one fault per 2 MiB instead of per
// 4 KiB). Touching a fresh page still costs its zeroing, so released blocks
// are kept (up to 256 MiB in all, lent back to the system, which reclaims them
// when it needs the memory) and handed to the next loader. A block is given
// back when the last buffer carved from it is released (each allocation
// returns a shared owner of its block). Thread-safe.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>

namespace tavol {

class FloatArena {
public:
  explicit FloatArena(std::size_t block_bytes = std::size_t{32} << 20);
  // Room for `count` floats (64-byte aligned, contents unspecified). `owner`
  // receives a reference that keeps the memory alive. Requests larger than
  // half a block get a block of their own.
  float *allocate(std::size_t count, std::shared_ptr<void> *owner);

private:
  std::size_t block_bytes_;
  std::mutex mutex_;
  std::shared_ptr<void> block_;
  unsigned char *next_ = nullptr;
  std::size_t left_ = 0;
};

} // namespace tavol
