// A bounded, thread-safe cache of decoded recordings, keyed by a string (a path).
//
// Many synthesis entries share a recording (a noise, a background, a stage-one
// mixture); the cache decodes it once and hands every user the same immutable
// buffer. The bound is on the bytes of the samples held: the least recently
// used recordings are dropped first, and a recording larger than the bound is
// handed out but not kept. Buffers stay valid for as long as a caller holds
// their handle, whatever the cache drops meanwhile.
//
// Thread safety: get() may be called from any number of threads. A key asked
// for by several threads at once is loaded once; the others wait for that
// load and share its result (or its exception). Failed loads are not kept.
#pragma once

#include <cstddef>
#include <functional>
#include <future>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "tavol/constants.hpp"

namespace tavol {

class AudioCache {
public:
  using Samples = std::vector<float>;
  using Handle = std::shared_ptr<const Samples>;
  // Produces the samples of a key; called without the cache's lock held.
  using Loader = std::function<Samples(const std::string &key)>;

  explicit AudioCache(Loader loader, std::size_t capacity_bytes = kAudioCacheBytes);
  AudioCache(const AudioCache &) = delete;
  AudioCache &operator=(const AudioCache &) = delete;

  // The samples of `key`, loaded on first use. Rethrows the loader's exception.
  Handle get(const std::string &key);

  std::size_t capacity() const noexcept { return capacity_; }
  std::size_t bytes() const;   // bytes of samples held now
  std::size_t entries() const; // recordings held now
  std::size_t loads() const;   // loader calls so far

private:
  struct Slot {
    Handle samples;
    std::size_t bytes = 0;
    std::list<std::string>::iterator recency; // position in recency_, front = most recent
  };

  void keep(const std::string &key, const Handle &samples); // needs mutex_
  void trim();                                              // needs mutex_

  Loader loader_;
  std::size_t capacity_;
  mutable std::mutex mutex_;
  std::unordered_map<std::string, Slot> slots_;
  std::unordered_map<std::string, std::shared_future<Handle>> loading_;
  std::list<std::string> recency_;
  std::size_t bytes_ = 0;
  std::size_t loads_ = 0;
};

} // namespace tavol
