#include "tavol/bss_eval.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tavol/errors.hpp"

namespace {

// A voiced, amplitude-modulated test signal with a spread spectrum.
std::vector<double> voiced(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<double> dist(0.0, 0.05);
  std::vector<double> x(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / 16000.0;
    double v = dist(gen);
    for (int h = 1; h < 12; ++h)
      v += std::sin(2 * M_PI * 130.0 * h * t) / h;
    x[i] = v * (1.1 + std::sin(2 * M_PI * 3.0 * t));
  }
  return x;
}

std::vector<double> plus_noise(const std::vector<double> &x, double snr_db, unsigned seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<double> dist(0.0, 1.0);
  std::vector<double> noise(x.size());
  double px = 0, pn = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    noise[i] = dist(gen);
    px += x[i] * x[i];
    pn += noise[i] * noise[i];
  }
  const double g = std::sqrt(px / pn / std::pow(10.0, snr_db / 10.0));
  std::vector<double> y(x);
  for (std::size_t i = 0; i < x.size(); ++i)
    y[i] += g * noise[i];
  return y;
}

double sdr(const std::vector<double> &r, const std::vector<double> &e) {
  return tavol::bss_sdr(r.data(), r.size(), e.data(), e.size());
}

TEST(FftSize, IsTheSmallestEven235SmoothSizeNotBelowTheMinimum) {
  auto smooth_even = [](std::size_t v) {
    if (v % 2 != 0)
      return false;
    for (std::size_t p : {2, 3, 5})
      while (v % p == 0)
        v /= p;
    return v == 1;
  };
  for (std::size_t m = 1; m < 3000; ++m) {
    const std::size_t got = tavol::fft_size_at_least(m);
    ASSERT_GE(got, m);
    ASSERT_TRUE(smooth_even(got)) << got;
    for (std::size_t v = m; v < got; ++v)
      ASSERT_FALSE(smooth_even(v)) << m << " -> " << got << " skips " << v;
  }
}

TEST(BssSdr, FilteredDelayedScaledReferenceIsAllSignal) {
  auto r = voiced(6000, 1);
  // Gain, a 40-sample delay and a short FIR: all inside the 512-tap filter.
  // The reference starts and ends in silence, so the filtered copy is not cut short.
  std::fill(r.begin(), r.begin() + 100, 0.0);
  std::fill(r.end() - 100, r.end(), 0.0);
  std::vector<double> e(r.size(), 0.0);
  for (std::size_t i = 45; i < r.size(); ++i)
    e[i] = 0.7 * r[i - 40] - 0.2 * r[i - 41] + 0.1 * r[i - 45];
  EXPECT_GT(sdr(r, e), 150.0);
}

TEST(BssSdr, WhiteNoiseGivesItsSnrAndGainDoesNotMatter) {
  const auto r = voiced(32000, 2);
  // The filter's taps / n degrees of freedom absorb about that share of the noise (the
  // rest of the spread is the chance correlation of this noise with the signal).
  const double share = static_cast<double>(tavol::kSdrFilterTaps) / static_cast<double>(r.size());
  for (double snr : {-5.0, 0.0, 10.0, 30.0}) {
    auto e = plus_noise(r, snr, 3);
    const double got = sdr(r, e);
    const double noise = std::pow(10.0, -snr / 10.0);
    EXPECT_NEAR(got, 10.0 * std::log10((1.0 + share * noise) / ((1.0 - share) * noise)), 0.15)
        << snr;
    for (auto &v : e)
      v *= -3.5;
    EXPECT_NEAR(sdr(r, e), got, 1e-9);
  }
}

// The SDR from its definition: the correlations summed sample by sample, the
// normal equations solved by Gaussian elimination.
double sdr_by_definition(const std::vector<double> &r, const std::vector<double> &e,
                         std::size_t taps) {
  const std::size_t n = r.size();
  std::vector<double> lags(taps, 0.0), cross(taps, 0.0);
  for (std::size_t k = 0; k < taps; ++k)
    for (std::size_t i = 0; i + k < n; ++i) {
      lags[k] += r[i] * r[i + k];
      cross[k] += r[i] * e[i + k];
    }
  std::vector<std::vector<double>> g(taps, std::vector<double>(taps + 1));
  for (std::size_t i = 0; i < taps; ++i) {
    for (std::size_t j = 0; j < taps; ++j)
      g[i][j] = lags[i > j ? i - j : j - i];
    g[i][taps] = cross[i];
  }
  for (std::size_t p = 0; p < taps; ++p)
    for (std::size_t i = p + 1; i < taps; ++i) {
      const double f = g[i][p] / g[p][p];
      for (std::size_t j = p; j <= taps; ++j)
        g[i][j] -= f * g[p][j];
    }
  std::vector<double> c(taps);
  double projection = 0.0, energy = 0.0;
  for (std::size_t i = taps; i-- > 0;) {
    double v = g[i][taps];
    for (std::size_t j = i + 1; j < taps; ++j)
      v -= g[i][j] * c[j];
    c[i] = v / g[i][i];
    projection += c[i] * cross[i];
  }
  for (double v : e)
    energy += v * v;
  return 10.0 * std::log10(projection / (energy - projection));
}

// Lengths around the FFT blocks (a part block, exactly one or two, many) and
// filters longer than the default, which take larger blocks.
TEST(BssSdr, MatchesTheDefinitionAcrossBlockBoundaries) {
  const std::pair<std::size_t, std::size_t> cases[] = {{300, 1},    {700, 37},   {512, 512},
                                                       {1024, 512}, {1025, 512}, {4000, 512},
                                                       {2500, 700}, {1500, 1100}};
  for (const auto &[n, taps] : cases) {
    const auto r = voiced(n, 7);
    const auto e = plus_noise(r, 5.0, 8);
    EXPECT_NEAR(tavol::bss_sdr(r.data(), n, e.data(), n, taps), sdr_by_definition(r, e, taps), 1e-7)
        << n << " samples, " << taps << " taps";
  }
}

TEST(BssSdr, PureToneReferenceStillGivesAFiniteScore) {
  std::vector<double> r(4000);
  for (std::size_t i = 0; i < r.size(); ++i)
    r[i] = std::sin(2 * M_PI * 1000.0 * static_cast<double>(i) / 16000.0);
  const double got = sdr(r, plus_noise(r, 10.0, 4));
  EXPECT_TRUE(std::isfinite(got));
  EXPECT_GT(got, 5.0);
}

TEST(SiSdr, MatchesTheClosedFormAndIgnoresGain) {
  const std::vector<double> r{1.0, 0.0, 0.0, 0.0};
  const std::vector<double> e{2.0, 2.0, 0.0, 0.0}; // target 2r, residual of equal energy
  EXPECT_DOUBLE_EQ(tavol::si_sdr(r.data(), r.size(), e.data(), e.size()), 0.0);
  const std::vector<double> scaled{-3.0, 0.0, 0.0, 0.0};
  EXPECT_EQ(tavol::si_sdr(r.data(), r.size(), scaled.data(), scaled.size()),
            std::numeric_limits<double>::infinity());
}

TEST(SdrMeasures, RefuseInputTheyCannotScore) {
  const std::vector<double> ok{0.5, -0.25, 0.125}, shorter{0.5, -0.25}, zeros(3, 0.0);
  const std::vector<double> nan{0.5, std::nan(""), 0.1};
  struct Case {
    const std::vector<double> &ref, &est;
    const char *message;
  };
  const Case cases[] = {
      {ok, shorter, "differ in length (3 vs 2 samples)"},
      {zeros, ok, "reference is silent"},
      {ok, zeros, "estimate is silent"},
      {ok, nan, "estimate holds a non-finite sample"},
  };
  for (const auto &c : cases) {
    for (bool scale_invariant : {false, true}) {
      try {
        if (scale_invariant)
          tavol::si_sdr(c.ref.data(), c.ref.size(), c.est.data(), c.est.size());
        else
          tavol::bss_sdr(c.ref.data(), c.ref.size(), c.est.data(), c.est.size());
        ADD_FAILURE() << "no error for " << c.message;
      } catch (const tavol::InvalidArgument &e) {
        EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
      }
    }
  }
  EXPECT_THROW(tavol::bss_sdr(ok.data(), 0, ok.data(), 0), tavol::InvalidArgument);
}

// Threads share the FFT plans of the sizes they meet (more sizes than the
// cache keeps): every result equals the one computed alone.
TEST(PlanCache, ConcurrentMeasuresMatchSerialOnes) {
  std::vector<std::vector<double>> refs, ests;
  std::vector<double> expected;
  for (unsigned i = 0; i < 12; ++i) {
    refs.push_back(voiced(900 + 700 * i, i));
    ests.push_back(plus_noise(refs.back(), 5.0, 100 + i));
    expected.push_back(sdr(refs.back(), ests.back()));
  }
  std::vector<std::thread> threads;
  std::vector<int> mismatches(4, 0);
  for (std::size_t t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int round = 0; round < 3; ++round)
        for (std::size_t i = t; i < refs.size(); i += 2)
          mismatches[t] += sdr(refs[i], ests[i]) != expected[i];
    });
  for (auto &th : threads)
    th.join();
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

} // namespace
