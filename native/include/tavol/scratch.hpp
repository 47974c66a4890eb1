// Per-thread working memory kept between calls.
//
// Decoding or mixing thousands of files into fresh buffers faults in fresh
// pages for every one, and on a virtual machine a page fault costs more than
// converting the samples on it. A Scratch hands out the same (uninitialised)
// storage again and again, growing it when asked for more, and gives it back
// once it has grown past `keep` elements, so an unusually long file does not
// pin its memory for the life of the thread.
#pragma once

#include <cstddef>
#include <memory>
#include <tuple>

namespace tavol {

template <class T> class Scratch {
public:
  explicit Scratch(std::size_t keep) noexcept : keep_(keep) {}

  // Room for n elements, valid until the next get() or trim().
  T *get(std::size_t n) {
    if (n > capacity_) {
      data_.reset(); // let go of the old block before asking for the new one
      capacity_ = 0;
      data_ = std::make_unique_for_overwrite<T[]>(n);
      capacity_ = n;
    }
    return data_.get();
  }

  // Gives the storage back if it is larger than `keep` elements.
  void trim() noexcept {
    if (capacity_ > keep_) {
      data_.reset();
      capacity_ = 0;
    }
  }

private:
  std::unique_ptr<T[]> data_;
  std::size_t capacity_ = 0;
  std::size_t keep_;
};

// Trims the given scratch buffers when the scope ends, however it ends: a
// call that met an unusually long file gives its memory back on the way out.
template <class... Buffers> class TrimOnExit {
public:
  explicit TrimOnExit(Buffers &...buffers) noexcept : buffers_(buffers...) {}
  TrimOnExit(const TrimOnExit &) = delete;
  TrimOnExit &operator=(const TrimOnExit &) = delete;
  ~TrimOnExit() {
    std::apply([](auto &...b) { (b.trim(), ...); }, buffers_);
  }

private:
  std::tuple<Buffers &...> buffers_;
};

} // namespace tavol
