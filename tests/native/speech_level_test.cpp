#include "tavol/speech_level.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <random>
#include <vector>

#include "tavol/errors.hpp"

namespace {

constexpr int kRate = 16000;
constexpr double kPi = 3.14159265358979323846;

double db(double ratio) { return 10 * std::log10(ratio); }

std::vector<float> tone(std::size_t n, double amplitude, double hz = 1000) {
  std::vector<float> x(n);
  for (std::size_t k = 0; k < n; ++k)
    x[k] = static_cast<float>(amplitude * std::sin(2 * kPi * hz * static_cast<double>(k) / kRate));
  return x;
}

// Gaussian bursts of `on` samples separated by `off` samples of `floor_sigma` noise.
std::vector<float> bursts(std::size_t count, std::size_t on, std::size_t off, double sigma,
                          double floor_sigma, unsigned seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<double> unit(0.0, 1.0);
  std::vector<float> x;
  for (std::size_t b = 0; b < count; ++b) {
    for (std::size_t k = 0; k < on; ++k)
      x.push_back(static_cast<float>(sigma * unit(gen)));
    for (std::size_t k = 0; k < off; ++k)
      x.push_back(static_cast<float>(floor_sigma * unit(gen)));
  }
  return x;
}

// The reference meter's counters, one hangover counter per threshold, updated per sample.
std::array<std::size_t, 15> reference_counts(const std::vector<float> &x, int rate) {
  const long hangover = static_cast<long>(std::floor(0.2 * rate + 0.5));
  const double g = std::exp(-1.0 / (rate * 0.03));
  std::array<std::size_t, 15> a{};
  std::array<long, 15> hang;
  hang.fill(hangover);
  double p = 0, q = 0;
  for (float s : x) {
    p = g * p + (1 - g) * std::fabs(static_cast<double>(s));
    q = g * q + (1 - g) * p;
    for (int j = 0; j < 15; ++j) {
      if (q >= std::ldexp(1.0, j - 15)) {
        ++a[static_cast<std::size_t>(j)];
        hang[static_cast<std::size_t>(j)] = 0;
      } else if (hang[static_cast<std::size_t>(j)] < hangover) {
        ++a[static_cast<std::size_t>(j)];
        ++hang[static_cast<std::size_t>(j)];
      }
    }
  }
  return a;
}

} // namespace

// The sliding-window counting equals the per-threshold loop of the reference
// meter, over levels that span every threshold and bursts near the hangover.
TEST(SpeechLevel, CountsEqualTheReferenceLoop) {
  for (unsigned seed = 0; seed < 6; ++seed) {
    std::mt19937 gen(seed);
    std::vector<float> x;
    for (int part = 0; part < 12; ++part) {
      const double sigma = std::ldexp(1.0, -static_cast<int>(gen() % 15) - 1);
      const auto more = bursts(1, 400 + gen() % 4000, gen() % 5000, sigma, 0.0, gen());
      x.insert(x.end(), more.begin(), more.end());
    }
    for (int rate : {8000, 16000, 44100})
      EXPECT_EQ(tavol::speech_activity_counts(x.data(), x.size(), rate), reference_counts(x, rate))
          << seed << " " << rate;
  }
}

// Square waves whose envelope settles on a threshold, a hair above one, and
// above full scale, then silence; lengths short and long, odd and even.
TEST(SpeechLevel, CountsEqualTheReferenceLoopOnSteadyLevels) {
  for (const float amplitude : {0x1p-5f, std::nextafter(0x1p-9f, 1.0f), 0.75f, 3.0f})
    for (const std::size_t n : {3001u, 40011u, 96000u}) {
      std::vector<float> x(n, 0.0f);
      for (std::size_t k = 0; k < 2 * n / 3; ++k)
        x[k] = k % 2 ? amplitude : -amplitude;
      EXPECT_EQ(tavol::speech_activity_counts(x.data(), x.size(), kRate),
                reference_counts(x, kRate))
          << amplitude << " " << n;
    }
}

TEST(SpeechLevel, ToneKeepsItsLevelWhenSilenceIsInserted) {
  const std::size_t eight_s = 8 * kRate;
  const auto steady = tone(eight_s, 0.5);
  const auto level = tavol::active_speech_level(steady.data(), steady.size(), kRate);
  EXPECT_NEAR(db(level.mean_square), db(0.125), 0.02); // a sine's mean square: A^2 / 2
  EXPECT_NEAR(level.activity, 1.0, 0.01);

  std::vector<float> paused(steady.begin(), steady.begin() + eight_s / 2);
  paused.resize(paused.size() + eight_s, 0.0f);
  paused.insert(paused.end(), steady.begin() + eight_s / 2, steady.end());
  const auto kept = tavol::active_speech_level(paused.data(), paused.size(), kRate);
  // Two 0.2 s hangovers over 8 s of tone: 0.2 dB at most; the whole-file mean square drops 3 dB.
  EXPECT_NEAR(db(kept.mean_square), db(0.125), 0.22);
  EXPECT_NEAR(kept.activity, (8.0 + 0.4) / 16.0, 0.01);
}

// Bursts of 2 s every 4 s: each counts as active for its 2 s, the 0.2 s
// hangover and the envelope's decay (under 0.1 s), so the activity lies
// between 2.2 / 4 and 2.3 / 4 and the level that much below the bursts' power.
TEST(SpeechLevel, NoiseBurstsCountTheirHangover) {
  const auto x = bursts(5, 2 * kRate, 2 * kRate, 0.1, 0.0, 7);
  double power = 0;
  for (float s : x)
    power += static_cast<double>(s) * s;
  power /= 5 * 2 * kRate;
  const auto level = tavol::active_speech_level(x.data(), x.size(), kRate);
  EXPECT_GT(level.activity, 2.2 / 4.0);
  EXPECT_LT(level.activity, 2.3 / 4.0);
  EXPECT_LT(level.mean_square, power * 2.0 / 2.2);
  EXPECT_GT(level.mean_square, power * 2.0 / 2.3);
}

// Background below the speech by more than the 15.9 dB margin is not speech;
// background close to it is.
TEST(SpeechLevel, TheMarginSeparatesBackgroundFromSpeech) {
  const auto clean = bursts(5, 2 * kRate, 2 * kRate, 0.1, 0.0, 3);
  const auto quiet = bursts(5, 2 * kRate, 2 * kRate, 0.1, 0.1 * std::pow(10.0, -30 / 20.0), 3);
  const auto loud = bursts(5, 2 * kRate, 2 * kRate, 0.1, 0.1 * std::pow(10.0, -8 / 20.0), 3);
  const auto a = tavol::active_speech_level(clean.data(), clean.size(), kRate);
  const auto b = tavol::active_speech_level(quiet.data(), quiet.size(), kRate);
  const auto c = tavol::active_speech_level(loud.data(), loud.size(), kRate);
  EXPECT_NEAR(db(b.mean_square), db(a.mean_square), 0.1);
  EXPECT_NEAR(b.activity, a.activity, 0.02);
  EXPECT_GT(c.activity, 0.95);
}

TEST(SpeechLevel, SilenceHasNoLevel) {
  const std::vector<float> zeros(kRate, 0.0f);
  const auto none = tavol::active_speech_level(zeros.data(), zeros.size(), kRate);
  EXPECT_EQ(none.mean_square, 0.0);
  EXPECT_EQ(none.activity, 0.0);
  EXPECT_EQ(tavol::active_speech_level(nullptr, 0, kRate).mean_square, 0.0);
  EXPECT_THROW(tavol::active_speech_level(zeros.data(), zeros.size(), 0), tavol::InvalidArgument);
}
