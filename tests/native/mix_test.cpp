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

std::vector<std::int16_t> mix_with(tavol::SampleLoops loops, const std::vector<float> &clean,
                                   const std::vector<float> &noise, double snr, std::size_t offset,
                                   bool noise_only) {
  tavol::MixOptions options;
  options.loops = loops;
  options.noise_only = noise_only;
  std::vector<std::int16_t> pcm(clean.size());
  tavol::mix_pcm16_into(rec(clean, "c"), rec(noise, "n"), snr, offset, options, pcm.data());
  return pcm;
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
      const auto baseline =
          mix_with(tavol::SampleLoops::Baseline, clean, noise, 3.5, 3, noise_only);
      const auto widest = mix_with(tavol::SampleLoops::Widest, clean, noise, 3.5, 3, noise_only);
      EXPECT_EQ(baseline, widest) << n;
      // The measured values agree too: the same eight lanes in both builds.
      tavol::MixStats measured[2];
      for (auto loops : {tavol::SampleLoops::Baseline, tavol::SampleLoops::Widest}) {
        tavol::MixOptions options;
        options.loops = loops;
        options.noise_only = noise_only;
        options.measure = true;
        std::vector<std::int16_t> pcm(n);
        measured[loops == tavol::SampleLoops::Widest] =
            tavol::mix_pcm16_into(rec(clean, "c"), rec(noise, "n"), 3.5, 3, options, pcm.data());
      }
      EXPECT_EQ(measured[0].realised_snr_db, measured[1].realised_snr_db) << n;
      EXPECT_EQ(measured[0].peak, measured[1].peak) << n;
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
    const auto pcm = mix_with(loops, clean, noise, -10.0, 0, false);
    for (std::size_t i = 0; i < pcm.size(); ++i)
      EXPECT_EQ(pcm[i], i % 2 ? -32768 : 32767) << i;
  }
}

// Values that land on full scale exactly are written as they are: not clipped.
TEST(Mix, FullScaleIsNotClipping) {
  const std::vector<float> clean(20, 1.0f);
  std::vector<float> noise;
  for (int i = 0; i < 20; ++i) // two full blocks and a tail, mean 0, variance 1
    noise.push_back(i % 2 ? -1.0f : 1.0f);
  std::vector<std::int16_t> pcm(clean.size());
  tavol::MixOptions options;
  options.measure = options.noise_only = true;
  for (auto loops : {tavol::SampleLoops::Baseline, tavol::SampleLoops::Widest}) {
    options.loops = loops;
    const auto stats =
        tavol::mix_pcm16_into(rec(clean, "c"), rec(noise, "n"), 0.0, 0, options, pcm.data());
    EXPECT_EQ(stats.clipped, 0u);
    EXPECT_EQ(stats.peak, 32767);
    EXPECT_EQ(pcm[19], -32767);
  }
}

// The measured noise is summed in single precision a chunk at a time: the
// realised SNR must still agree with its definition, computed in long double
// from the written samples, across chunk and group boundaries, repeated noise,
// rescaling and SNRs up to where the 16-bit rounding is the noise, and every
// loop build must give the same bits.
TEST(Mix, MeasuredSnrMatchesItsDefinition) {
  const auto clean = gaussian(2500, 0.2f, 11);
  const auto noise = gaussian(700, 0.1f, 12, 0.03f); // repeated: runs of 700
  for (double snr : {-12.0, 0.0, 30.0, 60.0, 90.0})
    for (bool noise_only : {false, true}) {
      tavol::MixStats stats[2];
      std::vector<std::int16_t> pcm(clean.size());
      for (auto loops : {tavol::SampleLoops::Baseline, tavol::SampleLoops::Widest}) {
        tavol::MixOptions options;
        options.loops = loops;
        options.noise_only = noise_only;
        options.measure = true;
        options.clipping = tavol::Clipping::Rescale;
        stats[loops == tavol::SampleLoops::Widest] =
            tavol::mix_pcm16_into(rec(clean, "c"), rec(noise, "n"), snr, 0, options, pcm.data());
      }
      EXPECT_EQ(stats[0].realised_snr_db, stats[1].realised_snr_db) << snr;
      const long double gain = stats[1].clean_gain, n = clean.size();
      long double mean = 0, var = 0;
      for (std::size_t i = 0; i < clean.size(); ++i)
        mean += pcm[i] / 32767.0L - gain * clean[i];
      mean /= n;
      for (std::size_t i = 0; i < clean.size(); ++i)
        var += std::pow(pcm[i] / 32767.0L - gain * clean[i] - mean, 2);
      const long double expected =
          10 * std::log10(stats[1].scale * stats[1].scale * stats[1].clean_level / (var / n));
      if (std::isinf(expected)) // nothing but clean left: the noise rounded away
        EXPECT_EQ(stats[1].realised_snr_db, static_cast<double>(expected)) << snr;
      else
        EXPECT_NEAR(stats[1].realised_snr_db, static_cast<double>(expected), 1e-4)
            << snr << " " << noise_only;
    }
}

// Loud enough to clip: saturate counts the clipped samples, rescale scales
// the mixture under full scale and reports the factor, error refuses.
TEST(Mix, ClippingPolicies) {
  const auto clean = gaussian(4000, 0.2f, 5);
  const auto noise = gaussian(6000, 0.5f, 6);
  std::vector<std::int16_t> pcm(clean.size());
  tavol::MixOptions options;
  options.measure = true;
  const auto saturated =
      tavol::mix_pcm16_into(rec(clean, "c"), rec(noise, "n"), -6.0, 17, options, pcm.data());
  std::size_t at_limits = 0;
  for (auto v : pcm)
    at_limits += (v == 32767 || v == -32768) ? 1 : 0;
  EXPECT_GT(saturated.clipped, 50u);
  EXPECT_LE(saturated.clipped, at_limits);
  EXPECT_EQ(saturated.peak, 32768);
  EXPECT_EQ(saturated.scale, 1.0);

  options.clipping = tavol::Clipping::Rescale;
  const auto rescaled =
      tavol::mix_pcm16_into(rec(clean, "c"), rec(noise, "n"), -6.0, 17, options, pcm.data());
  EXPECT_EQ(rescaled.clipped, 0u);
  EXPECT_LT(rescaled.scale, 1.0);
  EXPECT_NEAR(rescaled.peak, tavol::kRescalePeak * 32767, 1.0);
  EXPECT_EQ(rescaled.clean_gain, rescaled.scale);
  EXPECT_DOUBLE_EQ(rescaled.noise_gain, saturated.noise_gain * rescaled.scale);
  EXPECT_NEAR(rescaled.realised_snr_db, -6.0, 0.02); // scaling keeps the ratio

  options.clipping = tavol::Clipping::Error;
  EXPECT_THROW(
      tavol::mix_pcm16_into(rec(clean, "c"), rec(noise, "n"), 0.0, 17, options, pcm.data()),
      tavol::ClippingError);
  EXPECT_NO_THROW(
      tavol::mix_pcm16_into(rec(clean, "c"), rec(noise, "n"), 30.0, 17, options, pcm.data()));
}

// Silence in the clean lowers its mean square but not its active level: the
// active definition scales the noise to the speech, the power one to the file.
TEST(Mix, SnrDefinitions) {
  std::vector<float> clean = gaussian(32000, 0.1f, 8);
  clean.resize(96000, 0.0f); // 2 s of noise-like speech, then 4 s of silence
  const auto noise = gaussian(96000, 0.2f, 9);
  std::vector<std::int16_t> pcm(clean.size());
  tavol::MixOptions options;
  options.measure = true;
  const auto power =
      tavol::mix_pcm16_into(rec(clean, "c"), rec(noise, "n"), 5.0, 0, options, pcm.data());
  EXPECT_NEAR(power.realised_snr_db, 5.0, 0.01);
  EXPECT_NEAR(power.clean_level, tavol::mean_square(clean.data(), clean.size()), 1e-15);
  options.definition = tavol::SnrDefinition::Active;
  const auto active =
      tavol::mix_pcm16_into(rec(clean, "c"), rec(noise, "n"), 5.0, 0, options, pcm.data());
  EXPECT_NEAR(active.realised_snr_db, 5.0, 0.01);
  // 2 s of the 6 s are speech, 2.27 s with the meter's hangover and decay.
  const double ratio_db = 10 * std::log10(6.0 / 2.27);
  EXPECT_NEAR(10 * std::log10(active.clean_level / power.clean_level), ratio_db, 0.1);
  EXPECT_NEAR(20 * std::log10(active.noise_gain / power.noise_gain), ratio_db, 0.1);
  EXPECT_THROW(
      tavol::mix_pcm16_into(rec(clean, "c"), rec(noise, "n"), std::nan(""), 0, options, pcm.data()),
      tavol::InvalidArgument);
}
