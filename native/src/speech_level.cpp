// The P.56 method B speech voltmeter.
//
// The reference meter keeps an activity counter and a hangover counter per
// threshold and updates all 15 for every sample. A sample counts as active
// for threshold j when the envelope reached c[j] at that sample or at one of
// the I samples before it (I: the hangover in samples). With thresholds in
// ascending order, that is: the largest number of thresholds the envelope
// reached anywhere in the window of the last I + 1 samples is above j. So one
// sliding maximum over the window (a monotonic queue of at most 16 levels)
// gives every counter, with the same integer counts as the reference loop.
#include "tavol/speech_level.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <string>

#include "tavol/errors.hpp"

namespace tavol {
namespace {

constexpr int kThresholds = kSpeechThresholds; // c[j] = 2^(j - 15), j = 0 .. 14
constexpr double kTimeConstant = 0.03;         // s, envelope smoothing
constexpr double kHangover = 0.2;              // s
constexpr double kMarginDb = 15.9;
constexpr double kToleranceDb = 0.5;
constexpr double kLogOffset = 1.0e-20; // keeps log10 finite for silent input

// How many thresholds an envelope value reaches: q >= 2^(j - 15) for j below the result.
inline int thresholds_reached(double q) {
  if (!(q >= 0x1p-15))
    return 0;
  const auto bits = std::bit_cast<std::uint64_t>(q);
  const int exponent = static_cast<int>((bits >> 52) & 0x7ffu) - 1023; // floor(log2 q)
  return exponent + 16 > kThresholds ? kThresholds : exponent + 16;
}

// The reference meter's search for the point where level minus threshold
// equals the margin, between two (level, threshold) pairs in dB.
double interpolate(double up_level, double low_level, double up_thr, double low_thr) {
  double tol = kToleranceDb;
  if (std::fabs((up_level - up_thr) - kMarginDb) < tol)
    return up_level;
  if (std::fabs((low_level - low_thr) - kMarginDb) < tol)
    return low_level;
  double mid_level = (up_level + low_level) / 2.0;
  double mid_thr = (up_thr + low_thr) / 2.0;
  int iterations = 1;
  for (;;) {
    const double diff = (mid_level - mid_thr) - kMarginDb;
    if (std::fabs(diff) <= tol)
      return mid_level;
    if (++iterations > 20) // not met in 20 halvings: relax the tolerance by 10 %
      tol *= 1.1;
    if (diff > tol) {
      mid_level = (up_level + mid_level) / 2.0;
      mid_thr = (up_thr + mid_thr) / 2.0;
      low_level = mid_level;
      low_thr = mid_thr;
    } else if (diff < -tol) {
      mid_level = (mid_level + low_level) / 2.0;
      mid_thr = (mid_thr + low_thr) / 2.0;
      up_level = mid_level;
      up_thr = mid_thr;
    }
  }
}

// The meter's two smoothing stages and threshold test over all samples:
// fills `windows_at` (samples whose window maximum is w) and returns the sum of squares.
double measure(const float *x, std::size_t n, int rate,
               std::array<std::size_t, kThresholds + 1> &windows_at) {
  if (rate < 1)
    throw InvalidArgument("the speech level needs a positive rate, got " + std::to_string(rate));
  const double f = static_cast<double>(rate);
  const auto hangover = static_cast<std::size_t>(std::floor(kHangover * f + 0.5));
  const double g = std::exp(-1.0 / (f * kTimeConstant));

  // Monotonic queue over the window [k - hangover, k]: positions with strictly
  // decreasing levels, front = the window's maximum. Levels 0..15 keep it at
  // 16 entries or fewer.
  std::array<std::size_t, kThresholds + 1> at{};
  std::array<int, kThresholds + 1> level{};
  std::size_t head = 0, size = 0;
  auto slot = [&](std::size_t i) { return (head + i) % at.size(); };

  // The envelope moves slowly, so most samples reach as many thresholds as
  // the one before, and the window's maximum is the same: those take the
  // short, well-predicted path (move the back entry to this sample, count one
  // more sample of the current maximum).
  windows_at.fill(0);
  double sum_squares = 0.0, p = 0.0, q = 0.0;
  int previous = -1, maximum = 0;
  std::size_t run = 0;
  for (std::size_t k = 0; k < n; ++k) {
    const double v = static_cast<double>(x[k]);
    sum_squares += v * v;
    p = g * p + (1 - g) * std::fabs(v);
    q = g * q + (1 - g) * p;
    const int reached = thresholds_reached(q);
    if (reached == previous && (reached > 0 ? size == 1 : size == 0)) {
      // Steady level (or silence): the window holds this sample's level alone.
      if (reached > 0)
        at[head] = k;
      ++run;
      continue;
    }
    if (reached == previous) {
      if (reached > 0) // the back entry holds this level from the sample before
        at[slot(size - 1)] = k;
    } else {
      while (size > 0 && level[slot(size - 1)] <= reached)
        --size;
      if (reached > 0) {
        at[slot(size)] = k;
        level[slot(size)] = reached;
        ++size;
      }
      previous = reached;
    }
    while (size > 0 && at[head] + hangover < k) {
      head = (head + 1) % at.size();
      --size;
    }
    const int now = size > 0 ? level[head] : 0;
    if (now != maximum) {
      windows_at[static_cast<std::size_t>(maximum)] += run;
      maximum = now;
      run = 0;
    }
    ++run;
  }
  windows_at[static_cast<std::size_t>(maximum)] += run;
  return sum_squares;
}

std::array<std::size_t, kThresholds>
counts_from(const std::array<std::size_t, kThresholds + 1> &windows_at) {
  std::array<std::size_t, kThresholds> active{};
  std::size_t above = 0;
  for (int j = kThresholds - 1; j >= 0; --j) {
    above += windows_at[static_cast<std::size_t>(j) + 1];
    active[static_cast<std::size_t>(j)] = above;
  }
  return active;
}

} // namespace

std::array<std::size_t, kSpeechThresholds> speech_activity_counts(const float *x, std::size_t n,
                                                                  int rate) {
  std::array<std::size_t, kThresholds + 1> windows_at{};
  measure(x, n, rate, windows_at);
  return counts_from(windows_at);
}

SpeechLevel active_speech_level(const float *x, std::size_t n, int rate) {
  std::array<std::size_t, kThresholds + 1> windows_at{};
  const double sum_squares = measure(x, n, rate, windows_at);
  if (n == 0)
    return {};
  const auto active = counts_from(windows_at);
  const double long_term_db = 10 * std::log10(sum_squares / static_cast<double>(n) + kLogOffset);
  auto level_db = [&](int j) {
    return 10 * std::log10(sum_squares / static_cast<double>(active[static_cast<std::size_t>(j)]) +
                           kLogOffset);
  };
  auto threshold_db = [](int j) { return 20 * std::log10(std::ldexp(1.0, j - 15) + kLogOffset); };

  if (active[0] == 0 || level_db(0) - 20 * std::log10(0x1p-15) < kMarginDb)
    return {}; // no speech: nothing reaches the lowest threshold by the margin
  for (int j = 1; j < kThresholds; ++j) {
    if (active[static_cast<std::size_t>(j)] == 0)
      continue;
    if (level_db(j) - threshold_db(j) <= kMarginDb) {
      const double db =
          interpolate(level_db(j), level_db(j - 1), threshold_db(j), threshold_db(j - 1));
      return {std::pow(10.0, db / 10), std::pow(10.0, (long_term_db - db) / 10)};
    }
  }
  // Louder than the meter's range (samples far beyond full scale): all of it is active.
  return {sum_squares / static_cast<double>(n), 1.0};
}

} // namespace tavol
