#include "tavol/resample.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "tavol/errors.hpp"

TEST(Resample, LengthIsCeilingOfScaledLength) {
  EXPECT_EQ(tavol::resampled_length(44100, 44100, 16000), 16000u);
  EXPECT_EQ(tavol::resampled_length(1001, 44100, 16000), 364u); // 363.17 -> 364
  EXPECT_EQ(tavol::resampled_length(3, 8000, 16000), 6u);
  for (std::size_t n : {1u, 7u, 999u, 48000u}) {
    std::vector<float> x(n, 0.25f);
    EXPECT_EQ(tavol::resample(x.data(), n, 48000, 16000).size(),
              tavol::resampled_length(n, 48000, 16000));
  }
}

TEST(Resample, EqualRatesCopyAndBadRatesThrow) {
  const std::vector<float> x{0.1f, -0.2f, 0.3f};
  EXPECT_EQ(tavol::resample(x.data(), x.size(), 16000, 16000), x);
  EXPECT_THROW(tavol::resample(x.data(), x.size(), 0, 16000), tavol::InvalidArgument);
  EXPECT_THROW(tavol::resample(x.data(), x.size(), 16000, -1), tavol::InvalidArgument);
  EXPECT_TRUE(tavol::resample(nullptr, 0, 44100, 16000).empty());
}

TEST(Resample, KeepsAnInBandToneAndRemovesAnOutOfBandOne) {
  const int from = 48000, to = 16000;
  const std::size_t n = 48000;
  auto tone = [&](double hz) {
    std::vector<float> x(n);
    for (std::size_t i = 0; i < n; ++i)
      x[i] = static_cast<float>(
          0.5 * std::sin(2 * std::numbers::pi * hz * static_cast<double>(i) / from));
    return x;
  };
  auto rms_middle = [](const std::vector<float> &y) {
    double s = 0;
    const std::size_t a = y.size() / 4, b = 3 * y.size() / 4;
    for (std::size_t i = a; i < b; ++i)
      s += static_cast<double>(y[i]) * y[i];
    return std::sqrt(s / static_cast<double>(b - a));
  };
  const auto in_band = tone(1000);
  const auto kept = tavol::resample(in_band.data(), n, from, to);
  EXPECT_NEAR(rms_middle(kept), 0.5 / std::sqrt(2.0), 1e-3);
  const auto out_band = tone(12000); // above the new Nyquist frequency
  EXPECT_LT(rms_middle(tavol::resample(out_band.data(), n, from, to)), 1e-3);
}
