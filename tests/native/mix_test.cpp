#include "tavol/mix.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "tavol/errors.hpp"

namespace {

using tavol::Recording;

std::vector<float> gaussian(std::size_t n, float scale, unsigned seed, float dc = 0.0f) {
  std::mt19937 gen(seed);
  std::normal_distribution<float> dist(0.0f, scale);
  std::vector<float> v(n);
  for (auto &x : v)
    x = dc + dist(gen);
  return v;
}

Recording rec(const std::vector<float> &v, const char *name) { return {v.data(), v.size(), name}; }

// 10 log10(mean_square(clean) / var(noise part)), the noise part read back
// from the int16 mixture.
double realised_snr(const std::vector<float> &clean, const std::vector<std::int16_t> &pcm,
                    bool noise_only) {
  const std::size_t n = clean.size();
  std::vector<double> noise(n);
  double mean = 0;
  for (std::size_t i = 0; i < n; ++i) {
    noise[i] = pcm[i] / 32767.0 - (noise_only ? 0.0 : clean[i]);
    mean += noise[i];
  }
  mean /= static_cast<double>(n);
  double var = 0;
  for (double x : noise)
    var += (x - mean) * (x - mean);
  var /= static_cast<double>(n);
  return 10 * std::log10(tavol::mean_square(clean.data(), n) / var);
}

} // namespace

TEST(Mix, MeanSquareCountsTheOffset) {
  const std::vector<float> dc(100, 0.5f);
  EXPECT_DOUBLE_EQ(tavol::mean_square(dc.data(), dc.size()), 0.25);
}

TEST(Mix, ShortNoiseIsRepeatedAndCut) {
  const std::vector<float> noise = {1, 2, 3};
  const auto fitted = tavol::fit_noise(rec(noise, "n.wav"), 8, 0);
  EXPECT_EQ(fitted, (std::vector<float>{1, 2, 3, 1, 2, 3, 1, 2}));
  EXPECT_EQ(tavol::noise_fit(3, 8), tavol::NoiseFit::Repeat);
}

TEST(Mix, EqualNoiseIsUsedWholeAndLongerNoiseIsExcerpted) {
  const std::vector<float> noise = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(tavol::noise_fit(6, 6), tavol::NoiseFit::Whole);
  EXPECT_EQ(tavol::fit_noise(rec(noise, "n"), 6, 99), noise); // offset ignored
  EXPECT_EQ(tavol::fit_noise(rec(noise, "n"), 3, 2), (std::vector<float>{3, 4, 5}));
  EXPECT_EQ(tavol::fit_noise(rec(noise, "n"), 3, 3), (std::vector<float>{4, 5, 6}));
  EXPECT_THROW(tavol::fit_noise(rec(noise, "n"), 3, 4), tavol::InvalidArgument);
}

TEST(Mix, ScalesNoiseToTheRequestedSnr) {
  const auto clean = gaussian(16000, 0.1f, 1);
  const auto noise = gaussian(40000, 0.3f, 2, 0.2f); // a DC offset that must be removed
  for (double snr : {-5.0, 0.0, 2.5, 10.0, 20.0}) {
    for (bool noise_only : {false, true}) {
      const auto pcm = tavol::mix_pcm16(rec(clean, "c"), rec(noise, "n"), snr, 1234, noise_only);
      ASSERT_EQ(pcm.size(), clean.size());
      EXPECT_NEAR(realised_snr(clean, pcm, noise_only), snr, 0.02) << snr << " " << noise_only;
    }
  }
}

TEST(Mix, NoiseOnlyKeepsTheScaledNoiseWithoutItsMean) {
  const std::vector<float> clean(4, 0.5f);       // power 0.25
  const std::vector<float> noise = {1, 3, 1, 3}; // mean 2, std 1
  const auto pcm = tavol::mix_pcm16(rec(clean, "c"), rec(noise, "n"), 0.0, 0, true);
  // gain sqrt(0.25) / 1: samples -0.5, 0.5 -> x32767, truncated toward zero
  EXPECT_EQ(pcm, (std::vector<std::int16_t>{-16383, 16383, -16383, 16383}));
  const auto mixed = tavol::mix_pcm16(rec(clean, "c"), rec(noise, "n"), 0.0, 0, false);
  EXPECT_EQ(mixed, (std::vector<std::int16_t>{0, 32767, 0, 32767}));
}

TEST(Mix, LoudMixturesSaturate) {
  const std::vector<float> clean = {0.9f, -0.9f, 0.9f, -0.9f};
  const std::vector<float> noise = {1, -1, 1, -1};
  const auto pcm = tavol::mix_pcm16(rec(clean, "c"), rec(noise, "n"), -10.0, 0, false);
  EXPECT_EQ(pcm, (std::vector<std::int16_t>{32767, -32768, 32767, -32768}));
}

TEST(Mix, UnusableRecordingsAreErrorsNamingTheFile) {
  const std::vector<float> clean = gaussian(100, 0.1f, 3);
  const std::vector<float> empty;
  const std::vector<float> silent(50, 0.0f);
  const std::vector<float> dc(300, 0.1f); // constant: rounding must not pass as variance
  auto message = [&](const std::vector<float> &c, const std::vector<float> &n, std::size_t off) {
    try {
      tavol::mix_pcm16(rec(c, "/data/clean/a.wav"), rec(n, "/data/noise/b.wav"), 0.0, off, false);
    } catch (const tavol::InvalidArgument &e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  EXPECT_NE(message(empty, clean, 0).find("/data/clean/a.wav"), std::string::npos);
  EXPECT_NE(message(clean, empty, 0).find("/data/noise/b.wav"), std::string::npos);
  EXPECT_NE(message(clean, silent, 0).find("zero variance"), std::string::npos);
  EXPECT_NE(message(clean, dc, 7).find("/data/noise/b.wav"), std::string::npos);
}

// A NaN or an infinity anywhere in the samples used, or an SNR that is not a
// number, would render silence (NaN samples are written as 0) and pass for a
// mixture; each is an error naming the recording, never "zero variance".
TEST(Mix, NonFiniteSamplesAndSnrsAreErrors) {
  const float inf = std::numeric_limits<float>::infinity();
  for (float bad : {std::nanf(""), inf, -inf})
    for (std::size_t at : {0u, 5u, 18u}) { // in a block of eight and in the tail
      auto spoilt = [&](std::vector<float> v) {
        v[at] = bad;
        return v;
      };
      const auto clean = gaussian(19, 0.2f, 1), noise = gaussian(19, 0.1f, 2);
      for (auto [c, n, role] :
           {std::tuple{spoilt(clean), noise, "clean"}, std::tuple{clean, spoilt(noise), "noise"}}) {
        try {
          tavol::mix_pcm16(rec(c, "/d/c.wav"), rec(n, "/d/n.wav"), 0.0, 0, false);
          ADD_FAILURE() << role << " " << bad << " at " << at << ": no error";
        } catch (const tavol::InvalidArgument &e) {
          EXPECT_EQ(std::string(e.what()),
                    std::string(role) + " recording holds samples that are not finite (NaN or " +
                        "infinity): '/d/" + role[0] + ".wav'");
        }
      }
    }
  // Only the samples used count: a NaN outside the excerpt is no error.
  auto noise = gaussian(40, 0.1f, 2);
  noise[39] = std::nanf("");
  EXPECT_NO_THROW(
      tavol::mix_pcm16(rec(gaussian(19, 0.2f, 1), "c"), rec(noise, "n"), 0.0, 3, false));
  for (double snr : {std::nan(""), static_cast<double>(inf)})
    EXPECT_THROW(tavol::mix_pcm16(rec(gaussian(19, 0.2f, 1), "c"), rec(noise, "n"), snr, 3, false),
                 tavol::InvalidArgument);
}

// The vector loops work on blocks of eight samples with a scalar tail; every
// length from 2 to 40 and both loop builds must give the formula's samples.
TEST(Mix, VectorLoopsMatchTheFormulaAtEveryLengthAndWidth) {
  for (std::size_t n = 2; n <= 40; ++n) {
    const auto clean = gaussian(n, 0.2f, static_cast<unsigned>(n));
    const auto noise = gaussian(n + 9, 0.1f, static_cast<unsigned>(n + 100), 0.05f);
    // The formula in long double, straight from its definition.
    long double mean = 0, var = 0, power = 0;
    for (std::size_t i = 0; i < n; ++i)
      mean += noise[3 + i];
    mean /= n;
    for (std::size_t i = 0; i < n; ++i) {
      var += (noise[3 + i] - mean) * (noise[3 + i] - mean);
      power += static_cast<long double>(clean[i]) * clean[i];
    }
    const long double gain = std::sqrt(power / n / std::pow(10.0L, 0.35L) / (var / n));
    for (bool noise_only : {false, true}) {
      tavol::use_sample_loops(tavol::SampleLoops::Baseline);
      const auto baseline = tavol::mix_pcm16(rec(clean, "c"), rec(noise, "n"), 3.5, 3, noise_only);
      tavol::use_sample_loops(tavol::SampleLoops::Widest);
      const auto widest = tavol::mix_pcm16(rec(clean, "c"), rec(noise, "n"), 3.5, 3, noise_only);
      EXPECT_EQ(baseline, widest) << n;
      for (std::size_t i = 0; i < n; ++i) {
        const long double v =
            ((noise_only ? 0.0L : clean[i]) + gain * (noise[3 + i] - mean)) * 32767.0L;
        EXPECT_LE(std::abs(static_cast<long double>(widest[i]) - std::trunc(v)), 1.0L)
            << n << " " << i;
      }
    }
  }
}

TEST(Mix, VectorLoopsSaturate) {
  std::vector<float> clean, noise;
  for (int i = 0; i < 19; ++i) { // two full blocks and a tail
    clean.push_back(i % 2 ? -0.9f : 0.9f);
    noise.push_back(i % 2 ? -1.0f : 1.0f);
  }
  for (auto loops : {tavol::SampleLoops::Baseline, tavol::SampleLoops::Widest}) {
    tavol::use_sample_loops(loops);
    const auto pcm = tavol::mix_pcm16(rec(clean, "c"), rec(noise, "n"), -10.0, 0, false);
    for (std::size_t i = 0; i < pcm.size(); ++i)
      EXPECT_EQ(pcm[i], i % 2 ? -32768 : 32767) << i;
  }
  tavol::use_sample_loops(tavol::SampleLoops::Widest);
}
