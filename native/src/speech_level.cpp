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
//
// Run sample by sample, the envelope's two recurrences cost a multiply and
// an add of latency per sample, most of the meter's time. So (measured: three
// times quicker on 3 s files) the file is cut into eight segments whose
// envelopes run side by side in vector lanes: a first pass runs each segment
// from rest, which gives every segment's starting state (the linear
// recurrences add the decayed state of the segment before); a second pass
// runs them from those states and notes where the number of thresholds
// reached changes, from which the counters follow. The states differ from the
// sample-by-sample ones only by rounding (far below 1e-10 relative), so the
// counts are the reference loop's unless the envelope comes within 2^-30 of a
// threshold; the second pass checks that for every sample and hands such a
// file (rare outside synthetic signals) to the sample-by-sample loop. The sum
// of squares is summed per segment. The lanes keep the envelope scaled by
// 1 / (1 - g) and 1 / (1 - g)^2 (P = g P + |x|, Q = g Q + P), which spares two
// of the recurrences' four multiplications; the thresholds are scaled to match.
// The conversion of the samples and their squares are the sample-by-sample
// loop's, so the sum of squares keeps its bits.
#include "tavol/speech_level.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

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

// The meter's two smoothing stages and threshold test, sample by sample:
// fills `windows_at` (samples whose window maximum is w) and returns the sum of squares.
double measure_in_order(const float *x, std::size_t n, double g, std::size_t hangover,
                        std::array<std::size_t, kThresholds + 1> &windows_at) {

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

// The envelope over eight segments at once (see the header comment):
// lanes l = 0..7 run the recurrence over samples [l * len, (l + 1) * len).
constexpr std::size_t kSegments = 8;
constexpr std::size_t kBlock =
    16; // steps between two checks of the lanes' levels (a multiple of 4)
// Below this many samples per segment, the reference loop is as quick.
constexpr std::size_t kMinSegment = 256;
// How close (relative) to a threshold a lane's envelope may come before it
// is distrusted: far above the rounding the two orders of evaluation can
// differ by (under 1e-10 relative for anything that reaches 2^-16).
constexpr double kGuard = 0x1p-30;

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
#include <immintrin.h>
#define TAVOL_METER_AVX2 1
#else
#define TAVOL_METER_AVX2 0
#endif

using v4d = double __attribute__((vector_size(32)));
using v4f = float __attribute__((vector_size(16)));
using v4l = std::int64_t __attribute__((vector_size(32)));

// A change of the number of thresholds reached: from sample `at` on, `level`.
struct Step {
  std::size_t at;
  int level;
};

// Per lane: the level of its last sample and the interval its scaled
// envelope Q may move in without reaching another level or coming near a
// threshold (the bounds on q = Q (1 - g)^2, divided by (1 - g)^2).
struct Track {
  std::array<int, kSegments> level;
  v4d lo[2], hi[2];
  std::vector<Step> steps[kSegments];
  bool unsafe = false;
  double unscale; // 1 / (1 - g)^2
  explicit Track(double h2) : unscale(1.0 / h2) {
    level.fill(-1);
    for (int h = 0; h < 2; ++h)
      for (int k = 0; k < 4; ++k) {
        lo[h][k] = INFINITY; // no level yet: the first block is looked at sample by sample
        hi[h][k] = -INFINITY;
      }
  }
  void set(std::size_t lane, int r) {
    level[lane] = r;
    lo[lane / 4][lane % 4] = r == 0 ? -INFINITY : std::ldexp(1.0 + kGuard, r - 16) * unscale;
    hi[lane / 4][lane % 4] =
        r == kThresholds ? INFINITY : std::ldexp(1.0 - kGuard, r - 15) * unscale;
  }
};

// Whether q lies within kGuard (relative) of one of the thresholds.
inline bool near_threshold(double q) {
  const auto bits = std::bit_cast<std::uint64_t>(q);
  const int exponent = static_cast<int>((bits >> 52) & 0x7ffu) - 1023;
  const std::uint64_t mantissa = bits & ((std::uint64_t{1} << 52) - 1);
  constexpr std::uint64_t margin = std::uint64_t{1} << 23; // 2^-29 of the binade
  if (mantissa < margin && exponent >= -15 && exponent <= -1)
    return true;
  return mantissa > (std::uint64_t{1} << 52) - margin && exponent + 1 >= -15 && exponent + 1 <= -1;
}

// The samples of one lane over steps [from, to), sample by sample, from the
// scaled state (P, Q) at `from`: records the level changes of q = h2 Q.
void replay(const float *x, std::size_t base, std::size_t from, std::size_t to, double g, double h2,
            double P, double Q, std::size_t lane, Track &track) {
  for (std::size_t k = from; k < to; ++k) {
    P = g * P + std::fabs(static_cast<double>(x[base + k]));
    Q = g * Q + P;
    const double q = h2 * Q;
    if (near_threshold(q))
      track.unsafe = true;
    const int r = thresholds_reached(q);
    if (r != track.level[lane]) {
      track.steps[lane].push_back({base + k, r});
      track.set(lane, r);
    }
  }
}

// Four steps of four lanes (segments `len` apart from `s`), transposed:
// column t holds step t of each lane, as doubles.
struct ColumnsPlain {
  static void load(const float *s, std::size_t len, v4d (&column)[4]) {
    v4f r[4];
    for (std::size_t lane = 0; lane < 4; ++lane)
      std::memcpy(&r[lane], s + lane * len, sizeof(v4f));
    const v4f t0 = __builtin_shufflevector(r[0], r[1], 0, 4, 1, 5);
    const v4f t1 = __builtin_shufflevector(r[0], r[1], 2, 6, 3, 7);
    const v4f t2 = __builtin_shufflevector(r[2], r[3], 0, 4, 1, 5);
    const v4f t3 = __builtin_shufflevector(r[2], r[3], 2, 6, 3, 7);
    column[0] = __builtin_convertvector(__builtin_shufflevector(t0, t2, 0, 1, 4, 5), v4d);
    column[1] = __builtin_convertvector(__builtin_shufflevector(t0, t2, 2, 3, 6, 7), v4d);
    column[2] = __builtin_convertvector(__builtin_shufflevector(t1, t3, 0, 1, 4, 5), v4d);
    column[3] = __builtin_convertvector(__builtin_shufflevector(t1, t3, 2, 3, 6, 7), v4d);
  }
};

#if TAVOL_METER_AVX2
// The same with AVX's own widening, which GCC 12 does not choose for the
// generic conversion (it goes through memory): a quarter quicker meter.
struct ColumnsAvx2 {
  __attribute__((target("avx2"))) static void load(const float *s, std::size_t len,
                                                   v4d (&column)[4]) {
    __m128 r0 = _mm_loadu_ps(s), r1 = _mm_loadu_ps(s + len), r2 = _mm_loadu_ps(s + 2 * len),
           r3 = _mm_loadu_ps(s + 3 * len);
    _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
    column[0] = reinterpret_cast<v4d>(_mm256_cvtps_pd(r0));
    column[1] = reinterpret_cast<v4d>(_mm256_cvtps_pd(r1));
    column[2] = reinterpret_cast<v4d>(_mm256_cvtps_pd(r2));
    column[3] = reinterpret_cast<v4d>(_mm256_cvtps_pd(r3));
  }
};
#endif

// Both passes over the eight lanes, `len` samples each, in the scaled state
// (P, Q). Without a track: the end states and the sums of squares of the
// lanes. With one: the level changes. No FMA: the squares are summed exactly
// as the sample-by-sample loop sums them.
template <bool Tracked, class Columns>
inline void run_lanes(const float *x, std::size_t len, double g, double h2, v4d (&state_p)[2],
                      v4d (&state_q)[2], v4d (&sums)[2], Track *track) {
  // Local copies: the chains stay in registers.
  v4d p[2] = {state_p[0], state_p[1]}, q[2] = {state_q[0], state_q[1]};
  v4d squares[2] = {sums[0], sums[1]};
  const v4d gv = {g, g, g, g};
  const v4l abs_mask = {INT64_MAX, INT64_MAX, INT64_MAX, INT64_MAX};
  for (std::size_t k0 = 0; k0 < len; k0 += kBlock) {
    const std::size_t k1 = k0 + kBlock;
    [[maybe_unused]] v4d p0[2] = {p[0], p[1]}, q0[2] = {q[0], q[1]};
    [[maybe_unused]] v4d low[2] = {q[0], q[1]}, high[2] = {q[0], q[1]};
    for (std::size_t k = k0; k < k1; k += 4) {
      for (int half = 0; half < 2; ++half) {
        const float *s = x + static_cast<std::size_t>(4 * half) * len + k;
        v4d column[4];
        Columns::load(s, len, column);
        for (int t = 0; t < 4; ++t) {
          v4d v = column[t];
          if constexpr (!Tracked)
            squares[half] += v * v;
          v = reinterpret_cast<v4d>(reinterpret_cast<v4l>(v) & abs_mask);
          p[half] = gv * p[half] + v;
          q[half] = gv * q[half] + p[half];
          if constexpr (Tracked) {
            low[half] = q[half] < low[half] ? q[half] : low[half];
            high[half] = q[half] > high[half] ? q[half] : high[half];
          }
        }
      }
    }
    if constexpr (Tracked) {
      for (int half = 0; half < 2; ++half) {
        const v4l ok = (low[half] >= track->lo[half]) & (high[half] <= track->hi[half]);
        for (int k = 0; k < 4; ++k)
          if (!ok[k]) {
            const auto lane = static_cast<std::size_t>(4 * half + k);
            replay(x, lane * len, k0, k1, g, h2, p0[half][k], q0[half][k], lane, *track);
          }
      }
    }
  }
  for (int half = 0; half < 2; ++half) {
    state_p[half] = p[half];
    state_q[half] = q[half];
    sums[half] = squares[half];
  }
}

template <bool Tracked>
__attribute__((flatten)) void lanes_plain(const float *x, std::size_t len, double g, double h2,
                                          v4d (&p)[2], v4d (&q)[2], v4d (&squares)[2],
                                          Track *track) {
  run_lanes<Tracked, ColumnsPlain>(x, len, g, h2, p, q, squares, track);
}

#if TAVOL_METER_AVX2
// The first pass sums the squares, so it keeps to separate multiplications
// and additions; the second only follows the envelope, where fused
// multiply-adds (rounding within far less than kGuard of the separate ones)
// shorten the chains by half.
__attribute__((target("avx2"), flatten)) void rest_avx2(const float *x, std::size_t len, double g,
                                                        double h2, v4d (&p)[2], v4d (&q)[2],
                                                        v4d (&squares)[2]) {
  run_lanes<false, ColumnsAvx2>(x, len, g, h2, p, q, squares, nullptr);
}
__attribute__((target("avx2,fma"), flatten)) void tracked_avx2(const float *x, std::size_t len,
                                                               double g, double h2, v4d (&p)[2],
                                                               v4d (&q)[2], v4d (&squares)[2],
                                                               Track *track) {
  run_lanes<true, ColumnsAvx2>(x, len, g, h2, p, q, squares, track);
}
#endif

template <bool Tracked>
void lanes(const float *x, std::size_t len, double g, double h2, v4d (&p)[2], v4d (&q)[2],
           v4d (&squares)[2], Track *track) {
#if TAVOL_METER_AVX2
  static const bool avx2 = __builtin_cpu_supports("avx2");
  static const bool fma = avx2 && __builtin_cpu_supports("fma");
  if constexpr (Tracked) {
    if (fma)
      return tracked_avx2(x, len, g, h2, p, q, squares, track);
  } else if (avx2) {
    return rest_avx2(x, len, g, h2, p, q, squares);
  }
#endif
  lanes_plain<Tracked>(x, len, g, h2, p, q, squares, track);
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

// The level changes of the whole file over the lanes, or nothing when a lane
// came near a threshold (then only the order of the reference loop can tell).
// Fills the sum of squares (summed per lane) either way.
std::optional<std::vector<Step>> level_steps(const float *x, std::size_t n, double g,
                                             double &sum_squares) {
  const std::size_t len = n / kSegments / kBlock * kBlock; // the rest follows the last lane
  const double h = 1 - g, h2 = h * h;
  v4d p[2] = {}, q[2] = {}, squares[2] = {};
  lanes<false>(x, len, g, h2, p, q, squares, nullptr);
  double tail = 0.0;
  for (std::size_t k = kSegments * len; k < n; ++k)
    tail += static_cast<double>(x[k]) * static_cast<double>(x[k]);
  sum_squares = (((squares[0][0] + squares[0][1]) + (squares[0][2] + squares[0][3])) +
                 ((squares[1][0] + squares[1][1]) + (squares[1][2] + squares[1][3]))) +
                tail;
  if (!std::isfinite(sum_squares))
    return std::nullopt; // NaN or infinity among the samples: the reference loop's business

  // Each lane's state at its first sample: the state the lane before ended
  // with from rest, plus the decay of that lane's own starting state over
  // `len` samples (P -> g^len P, Q -> g^len (Q + len P) in the scaled state).
  const double decay = std::pow(g, static_cast<double>(len));
  const double drift = static_cast<double>(len);
  v4d start_p[2] = {}, start_q[2] = {};
  for (std::size_t lane = 1; lane < kSegments; ++lane) {
    const std::size_t a = (lane - 1) / 4, i = (lane - 1) % 4;
    const double sp = start_p[a][i], sq = start_q[a][i];
    start_p[lane / 4][lane % 4] = p[a][i] + decay * sp;
    start_q[lane / 4][lane % 4] = q[a][i] + decay * (sq + drift * sp);
  }
  Track track(h2);
  lanes<true>(x, len, g, h2, start_p, start_q, squares, &track);
  replay(x, 0, kSegments * len, n, g, h2, start_p[1][3], start_q[1][3], kSegments - 1, track);
  if (track.unsafe)
    return std::nullopt;
  std::vector<Step> steps;
  for (const auto &lane : track.steps)
    for (const Step &s : lane)
      if (steps.empty() || steps.back().level != s.level)
        steps.push_back(s);
  return steps;
}

// The activity counters from the level changes: a sample is active for
// threshold j when a sample above level j lies within the hangover before it.
std::array<std::size_t, kThresholds> counts_from(const std::vector<Step> &steps, std::size_t n,
                                                 std::size_t hangover) {
  std::array<std::size_t, kThresholds> active{};
  for (int j = 0; j < kThresholds; ++j) {
    std::size_t covered = 0, count = 0;
    for (std::size_t i = 0; i < steps.size(); ++i) {
      if (steps[i].level <= j)
        continue;
      const std::size_t end = i + 1 < steps.size() ? steps[i + 1].at : n;
      const std::size_t from = std::max(steps[i].at, covered), to = std::min(end + hangover, n);
      if (to > from) {
        count += to - from;
        covered = to;
      }
    }
    active[static_cast<std::size_t>(j)] = count;
  }
  return active;
}

// The activity counters and the sum of squares: over the lanes when the file
// is long enough and no lane comes near a threshold, else in order.
double measure(const float *x, std::size_t n, int rate,
               std::array<std::size_t, kThresholds> &active) {
  if (rate < 1)
    throw InvalidArgument("the speech level needs a positive rate, got " + std::to_string(rate));
  const double f = static_cast<double>(rate);
  const auto hangover = static_cast<std::size_t>(std::floor(kHangover * f + 0.5));
  const double g = std::exp(-1.0 / (f * kTimeConstant));
  std::array<std::size_t, kThresholds + 1> windows_at{};
  if (n / kSegments < kMinSegment) {
    const double sum_squares = measure_in_order(x, n, g, hangover, windows_at);
    active = counts_from(windows_at);
    return sum_squares;
  }
  double sum_squares = 0.0;
  if (const auto steps = level_steps(x, n, g, sum_squares)) {
    active = counts_from(*steps, n, hangover);
    return sum_squares;
  }
  const double in_order = measure_in_order(x, n, g, hangover, windows_at);
  active = counts_from(windows_at);
  return std::isfinite(sum_squares) ? sum_squares : in_order;
}

} // namespace

std::array<std::size_t, kSpeechThresholds> speech_activity_counts(const float *x, std::size_t n,
                                                                  int rate) {
  std::array<std::size_t, kThresholds> active{};
  measure(x, n, rate, active);
  return active;
}

SpeechLevel active_speech_level(const float *x, std::size_t n, int rate) {
  std::array<std::size_t, kThresholds> active{};
  const double sum_squares = measure(x, n, rate, active);
  if (n == 0)
    return {};
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
