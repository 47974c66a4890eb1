#include "tavol/stoi.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "tavol/errors.hpp"

namespace {

// Two seconds of a voiced, syllable-modulated signal at `rate`.
std::vector<double> speechlike(int rate) {
  const auto n = static_cast<std::size_t>(2 * rate);
  std::vector<double> x(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / rate;
    double v = 0.0;
    for (int h = 1; h < 20; ++h)
      v += std::sin(2 * M_PI * 120.0 * h * t) / h;
    x[i] = v * std::max(0.0, std::sin(2 * M_PI * 4.0 * t));
  }
  return x;
}

std::vector<double> with_noise(const std::vector<double> &x, double level, unsigned seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<double> dist(0.0, level);
  std::vector<double> y(x);
  for (double &v : y)
    v += dist(gen);
  return y;
}

double score(const std::vector<double> &x, const std::vector<double> &y, int rate) {
  return tavol::stoi(x.data(), x.size(), y.data(), y.size(), rate);
}

TEST(Stoi, IsOneForTheCleanSignalAndFallsWithNoiseAtEveryRate) {
  for (int rate : {8000, 10000, 16000, 44100}) {
    const auto x = speechlike(rate);
    EXPECT_NEAR(score(x, x, rate), 1.0, 1e-12) << rate;
    // Scaling the processed signal changes nothing: it is normalised per segment.
    std::vector<double> louder(x);
    for (double &v : louder)
      v *= 3.0;
    EXPECT_NEAR(score(x, louder, rate), 1.0, 1e-12) << rate;
    const double light = score(x, with_noise(x, 0.05, 1), rate);
    const double heavy = score(x, with_noise(x, 1.0, 1), rate);
    EXPECT_LT(heavy, light) << rate;
    EXPECT_LT(light, 1.0) << rate;
  }
}

TEST(Stoi, RefusesWhatItCannotScore) {
  const auto x = speechlike(16000);
  const std::vector<double> silent(x.size(), 0.0), short_one(x.begin(), x.begin() + 4000);
  EXPECT_THROW(score(silent, x, 16000), tavol::InvalidArgument);
  EXPECT_THROW(score(short_one, short_one, 16000), tavol::InvalidArgument); // < 30 frames
  EXPECT_THROW(tavol::stoi(x.data(), x.size(), x.data(), x.size() - 1, 16000),
               tavol::InvalidArgument);
  EXPECT_THROW(score(x, x, 0), tavol::InvalidArgument);
}

} // namespace
