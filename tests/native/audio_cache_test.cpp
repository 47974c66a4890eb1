#include "tavol/audio_cache.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using tavol::AudioCache;

// A loader that makes `floats` samples whose first value is the key's length,
// counting its calls per key.
struct CountingLoader {
  std::size_t floats = 4;
  std::atomic<int> calls{0};
  AudioCache::Samples operator()(const std::string &key) {
    ++calls;
    AudioCache::Samples s(floats, 0.0f);
    s[0] = static_cast<float>(key.size());
    return s;
  }
};

constexpr std::size_t kFloat = sizeof(float);

} // namespace

TEST(AudioCache, LoadsOnceAndSharesTheBuffer) {
  CountingLoader loader;
  AudioCache cache([&](const std::string &k) { return loader(k); });
  auto a = cache.get("noise.wav");
  auto b = cache.get("noise.wav");
  EXPECT_EQ(a.get(), b.get());
  EXPECT_EQ(loader.calls.load(), 1);
  EXPECT_EQ(cache.loads(), 1u);
  EXPECT_EQ(cache.bytes(), 4 * kFloat);
  EXPECT_EQ(cache.capacity(), std::size_t{1} << 30);
}

TEST(AudioCache, DropsTheLeastRecentlyUsedWhenOverBudget) {
  CountingLoader loader;
  // Room for two recordings of 4 floats.
  AudioCache cache([&](const std::string &k) { return loader(k); }, 8 * kFloat);
  cache.get("a");
  cache.get("b");
  cache.get("a"); // a is now the most recent
  cache.get("c"); // evicts b
  EXPECT_EQ(cache.entries(), 2u);
  EXPECT_EQ(cache.bytes(), 8 * kFloat);
  const int before = loader.calls.load();
  cache.get("a");
  EXPECT_EQ(loader.calls.load(), before);
  cache.get("b");
  EXPECT_EQ(loader.calls.load(), before + 1);
}

TEST(AudioCache, HandlesOutliveEvictionAndOversizeIsNotKept) {
  CountingLoader loader;
  AudioCache cache([&](const std::string &k) { return loader(k); }, 4 * kFloat);
  auto first = cache.get("xx");
  cache.get("yyy"); // evicts "xx", whose buffer the handle still owns
  EXPECT_EQ((*first)[0], 2.0f);
  EXPECT_EQ(first->size(), 4u);

  loader.floats = 100; // larger than the whole budget
  auto big = cache.get("big");
  EXPECT_EQ(big->size(), 100u);
  EXPECT_LE(cache.bytes(), cache.capacity());
  cache.get("big");
  EXPECT_EQ(cache.loads(), 4u); // not kept, so loaded again
}

TEST(AudioCache, FailedLoadsPropagateAndAreRetried) {
  int calls = 0;
  AudioCache cache([&](const std::string &) -> AudioCache::Samples {
    if (++calls == 1)
      throw std::runtime_error("cannot decode");
    return AudioCache::Samples(3, 1.0f);
  });
  EXPECT_THROW(cache.get("bad.wav"), std::runtime_error);
  EXPECT_EQ(cache.entries(), 0u);
  EXPECT_EQ(cache.get("bad.wav")->size(), 3u);
  EXPECT_EQ(calls, 2);
}

TEST(AudioCache, ConcurrentRequestsForOneKeyLoadOnce) {
  std::atomic<int> calls{0};
  AudioCache cache([&](const std::string &) {
    ++calls;
    std::this_thread::sleep_for(std::chrono::milliseconds(30)); // keep the others waiting
    return AudioCache::Samples(16, 0.5f);
  });
  std::vector<const AudioCache::Samples *> seen(8);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < seen.size(); ++t)
    threads.emplace_back([&, t] { seen[t] = cache.get("shared").get(); });
  for (auto &th : threads)
    th.join();
  EXPECT_EQ(calls.load(), 1);
  for (const auto *p : seen)
    EXPECT_EQ(p, seen[0]);
}

TEST(AudioCache, ConcurrentFailureReachesEveryWaiter) {
  std::atomic<int> calls{0};
  AudioCache cache([&](const std::string &) -> AudioCache::Samples {
    ++calls;
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    throw std::runtime_error("broken");
  });
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      try {
        cache.get("broken.wav");
      } catch (const std::runtime_error &) {
        ++failures;
      }
    });
  for (auto &th : threads)
    th.join();
  EXPECT_EQ(failures.load(), 4);
  EXPECT_GE(calls.load(), 1);
}

TEST(AudioCache, StressManyKeysManyThreadsStaysWithinBudget) {
  std::atomic<int> calls{0};
  AudioCache cache(
      [&](const std::string &k) {
        ++calls;
        return AudioCache::Samples(8, static_cast<float>(std::stoi(k)));
      },
      5 * 8 * kFloat);
  std::vector<std::thread> threads;
  std::atomic<bool> wrong{false};
  for (int t = 0; t < 6; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 400; ++i) {
        const int key = (i * 7 + t) % 12;
        auto h = cache.get(std::to_string(key));
        if ((*h)[0] != static_cast<float>(key))
          wrong = true;
      }
    });
  for (auto &th : threads)
    th.join();
  EXPECT_FALSE(wrong.load());
  EXPECT_LE(cache.bytes(), cache.capacity());
  EXPECT_LE(cache.entries(), 5u);
}
