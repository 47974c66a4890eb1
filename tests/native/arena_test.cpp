#include "tavol/arena.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

TEST(Arena, BuffersAreAlignedDisjointAndOwned) {
  tavol::FloatArena arena(std::size_t{4} << 20);
  std::vector<std::pair<float *, std::shared_ptr<void>>> got;
  for (std::size_t n : {1u, 1000u, 48000u, 3u, 200000u}) {
    std::shared_ptr<void> owner;
    float *p = arena.allocate(n, &owner);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 64, 0u);
    for (std::size_t i = 0; i < n; ++i)
      p[i] = static_cast<float>(n);
    got.emplace_back(p, owner);
  }
  // Nothing written later overwrote an earlier buffer.
  const std::size_t sizes[] = {1, 1000, 48000, 3, 200000};
  for (std::size_t k = 0; k < got.size(); ++k)
    EXPECT_EQ(got[k].first[sizes[k] - 1], static_cast<float>(sizes[k]));
}

TEST(Arena, LargeRequestsGetTheirOwnBlockAndOutliveTheArena) {
  std::shared_ptr<void> owner;
  float *p = nullptr;
  {
    tavol::FloatArena arena(std::size_t{2} << 20);
    p = arena.allocate(std::size_t{3} << 20, &owner); // 12 MiB > half a block
    p[(std::size_t{3} << 20) - 1] = 1.5f;
  }
  EXPECT_EQ(p[(std::size_t{3} << 20) - 1], 1.5f); // still mapped: owner holds it
}

TEST(Arena, ConcurrentAllocationsDoNotOverlap) {
  tavol::FloatArena arena(std::size_t{2} << 20);
  constexpr int kThreads = 4, kEach = 200;
  std::vector<std::vector<std::pair<float *, std::shared_ptr<void>>>> per(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        std::shared_ptr<void> owner;
        float *p = arena.allocate(500, &owner);
        for (int j = 0; j < 500; ++j)
          p[j] = static_cast<float>(t * kEach + i);
        per[static_cast<std::size_t>(t)].emplace_back(p, std::move(owner));
      }
    });
  for (auto &th : threads)
    th.join();
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kEach; ++i) {
      const float *p = per[static_cast<std::size_t>(t)][static_cast<std::size_t>(i)].first;
      EXPECT_EQ(p[0], static_cast<float>(t * kEach + i));
      EXPECT_EQ(p[499], static_cast<float>(t * kEach + i));
    }
}

// A batch that runs into fresh memory has a helper fault in the block after
// the one it fills; the blocks handed over keep what the batch wrote, and
// the arena's end stops the helper part-way through the block ahead.
TEST(Arena, BlocksFaultedInAheadKeepWhatIsWritten) {
  constexpr std::size_t kBlock = std::size_t{6} << 20; // a size no other test uses: fresh blocks
  constexpr std::size_t kCount = std::size_t{1} << 18; // 1 MiB of floats
  std::vector<std::pair<float *, std::shared_ptr<void>>> got;
  {
    tavol::FloatArena arena(kBlock);
    for (std::size_t k = 0; k < 30; ++k) {
      std::shared_ptr<void> owner;
      float *p = arena.allocate(kCount, &owner);
      std::fill_n(p, kCount, static_cast<float>(k));
      got.emplace_back(p, std::move(owner));
    }
  }
  for (std::size_t k = 0; k < got.size(); ++k) {
    EXPECT_EQ(got[k].first[0], static_cast<float>(k));
    EXPECT_EQ(got[k].first[kCount - 1], static_cast<float>(k));
  }
}
