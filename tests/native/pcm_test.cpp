#include "tavol/pcm.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "tavol/audio_file.hpp"

// Converting straight to the mono mix gives exactly what converting every
// sample and then mixing gives, for any channel count; the machine-order
// overload agrees with the little-endian one.
TEST(Pcm, MonoStraightFromBytesEqualsConvertThenMix) {
  std::vector<std::int16_t> pcm;
  for (int i = 0; i < 3 * 37; ++i)
    pcm.push_back(static_cast<std::int16_t>(i * 7919 % 65536 - 32768));
  std::vector<unsigned char> bytes;
  for (std::int16_t v : pcm) {
    bytes.push_back(static_cast<unsigned char>(static_cast<std::uint16_t>(v) & 0xffu));
    bytes.push_back(static_cast<unsigned char>(static_cast<std::uint16_t>(v) >> 8));
  }
  std::vector<float> converted(pcm.size()), native(pcm.size());
  tavol::pcm16_to_float(bytes.data(), pcm.size(), converted.data(), true);
  tavol::pcm16_to_float(pcm.data(), pcm.size(), native.data());
  EXPECT_EQ(converted, native);
  for (int channels : {1, 2, 3}) {
    const std::size_t frames = pcm.size() / static_cast<std::size_t>(channels);
    std::vector<float> fused(frames);
    tavol::pcm16_to_mono(bytes.data(), frames, channels, fused.data());
    EXPECT_EQ(fused, tavol::mix_to_mono(converted.data(), frames, channels)) << channels;
  }
}
