// Byte-bounded LRU of decoded recordings with single-flight loading.
#include "tavol/audio_cache.hpp"

#include <utility>

namespace tavol {

AudioCache::AudioCache(Loader loader, std::size_t capacity_bytes)
    : loader_(std::move(loader)), capacity_(capacity_bytes) {}

AudioCache::Handle AudioCache::get(const std::string &key) {
  std::promise<Handle> promise;
  {
    std::unique_lock lock(mutex_);
    if (auto it = slots_.find(key); it != slots_.end()) {
      recency_.splice(recency_.begin(), recency_, it->second.recency);
      return it->second.samples;
    }
    if (auto it = loading_.find(key); it != loading_.end()) {
      std::shared_future<Handle> pending = it->second;
      lock.unlock();
      return pending.get();
    }
    loading_.emplace(key, promise.get_future().share());
    ++loads_;
  }

  Handle samples;
  try {
    samples = std::make_shared<const Samples>(loader_(key));
  } catch (...) {
    {
      std::lock_guard lock(mutex_);
      loading_.erase(key);
    }
    promise.set_exception(std::current_exception());
    throw;
  }
  {
    std::lock_guard lock(mutex_);
    loading_.erase(key);
    keep(key, samples);
  }
  promise.set_value(samples);
  return samples;
}

void AudioCache::keep(const std::string &key, const Handle &samples) {
  const std::size_t size = samples->size() * sizeof(float);
  if (size > capacity_)
    return;
  recency_.push_front(key);
  slots_.emplace(key, Slot{samples, size, recency_.begin()});
  bytes_ += size;
  trim();
}

void AudioCache::trim() {
  while (bytes_ > capacity_ && !recency_.empty()) {
    auto it = slots_.find(recency_.back());
    bytes_ -= it->second.bytes;
    slots_.erase(it);
    recency_.pop_back();
  }
}

std::size_t AudioCache::bytes() const {
  std::lock_guard lock(mutex_);
  return bytes_;
}

std::size_t AudioCache::entries() const {
  std::lock_guard lock(mutex_);
  return slots_.size();
}

std::size_t AudioCache::loads() const {
  std::lock_guard lock(mutex_);
  return loads_;
}

} // namespace tavol
