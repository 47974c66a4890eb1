// Noise fitting, SNR scaling and 16-bit conversion of one mixture.
//
// The fitted noise is never materialised for mixing: it is walked as a few
// contiguous pieces of the noise recording (one for an excerpt, one per copy
// when repeated), which keeps the per-mixture memory traffic to the output.
#include "tavol/mix.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#define TAVOL_HAVE_SSE2 1
#else
#define TAVOL_HAVE_SSE2 0
#endif
#if TAVOL_HAVE_SSE2 && defined(__GNUC__) && !defined(__clang__)
#include <immintrin.h>
#define TAVOL_HAVE_AVX2 1
// The AVX2 helpers take and return 256-bit vectors; they are internal and
// compiled for AVX2 as a whole, so that calling convention never crosses code
// built without it.
#pragma GCC diagnostic ignored "-Wpsabi"
#else
#define TAVOL_HAVE_AVX2 0
#endif

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <type_traits>

#include "tavol/constants.hpp"
#include "tavol/errors.hpp"
#include "tavol/speech_level.hpp"
#include "tavol/wav_writer.hpp"

namespace tavol {
namespace {

// Appended piece by piece: GCC 12 at -O3 warns (wrongly, -Wrestrict) about
// "'" + std::string(name) + "'" once it is inlined into the error builders.
std::string quoted(std::string_view name) {
  std::string out(1, '\'');
  out += name;
  out += '\'';
  return out;
}

// The sample loops, written with SSE2 intrinsics and, where the processor
// has it, AVX2 (chosen once, at run time); plain loops elsewhere. Sums keep eight partial sums, one
// per lane of a block of eight samples, added together in a fixed order at
// the end: the independent chains let the loops run at full speed, and since
// the lanes do not depend on the register width, both builds give identical
// bits (the rounding differs from a single running sum only in the last
// bits). No FMA: a fused multiply-add rounds differently.
constexpr std::size_t kLanes = 8;

inline double combine(const double (&s)[kLanes]) {
  return ((s[0] + s[4]) + (s[1] + s[5])) + ((s[2] + s[6]) + (s[3] + s[7]));
}

// Sum of (x - c)^2, or of x with `square` false: the full blocks of eight
// into `lanes`; returns how many samples that covered.
template <bool square>
std::size_t sum_blocks_plain(const float *x, std::size_t n, double c, double (&lanes)[kLanes]) {
  std::fill(std::begin(lanes), std::end(lanes), 0.0);
  std::size_t i = 0;
  for (; i + kLanes <= n; i += kLanes)
    for (std::size_t k = 0; k < kLanes; ++k) {
      double v = static_cast<double>(x[i + k]);
      if constexpr (square)
        v = (v - c) * (v - c);
      lanes[k] += v;
    }
  return i;
}

#if TAVOL_HAVE_SSE2
template <bool square>
std::size_t sum_blocks_sse2(const float *x, std::size_t n, double c, double (&lanes)[kLanes]) {
  __m128d s[4] = {_mm_setzero_pd(), _mm_setzero_pd(), _mm_setzero_pd(), _mm_setzero_pd()};
  const __m128d shift = _mm_set1_pd(c);
  std::size_t i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    const __m128 a = _mm_loadu_ps(x + i), b = _mm_loadu_ps(x + i + 4);
    __m128d v[4] = {_mm_cvtps_pd(a), _mm_cvtps_pd(_mm_movehl_ps(a, a)), _mm_cvtps_pd(b),
                    _mm_cvtps_pd(_mm_movehl_ps(b, b))};
    for (int k = 0; k < 4; ++k) {
      if constexpr (square) {
        const __m128d d = _mm_sub_pd(v[k], shift);
        v[k] = _mm_mul_pd(d, d);
      }
      s[k] = _mm_add_pd(s[k], v[k]);
    }
  }
  for (int k = 0; k < 4; ++k)
    _mm_storeu_pd(lanes + 2 * k, s[k]);
  return i;
}
#endif

#if TAVOL_HAVE_AVX2
template <bool square>
__attribute__((target("avx2"))) std::size_t sum_blocks_avx2(const float *x, std::size_t n, double c,
                                                            double (&lanes)[kLanes]) {
  __m256d s0 = _mm256_setzero_pd(), s1 = _mm256_setzero_pd();
  const __m256d shift = _mm256_set1_pd(c);
  std::size_t i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    __m256d v0 = _mm256_cvtps_pd(_mm_loadu_ps(x + i));
    __m256d v1 = _mm256_cvtps_pd(_mm_loadu_ps(x + i + 4));
    if constexpr (square) {
      v0 = _mm256_sub_pd(v0, shift);
      v1 = _mm256_sub_pd(v1, shift);
      v0 = _mm256_mul_pd(v0, v0);
      v1 = _mm256_mul_pd(v1, v1);
    }
    s0 = _mm256_add_pd(s0, v0);
    s1 = _mm256_add_pd(s1, v1);
  }
  _mm256_storeu_pd(lanes, s0);
  _mm256_storeu_pd(lanes + 4, s1);
  return i;
}
#endif

#if TAVOL_HAVE_AVX2
bool use_avx2(SampleLoops loops) {
  static const bool available = __builtin_cpu_supports("avx2");
  return available && loops == SampleLoops::Widest;
}
#endif

template <bool square>
double sum_lanes(const float *x, std::size_t n, double c, [[maybe_unused]] SampleLoops loops) {
  double lanes[kLanes];
  std::size_t i =
#if TAVOL_HAVE_AVX2
      use_avx2(loops) ? sum_blocks_avx2<square>(x, n, c, lanes) :
#endif
#if TAVOL_HAVE_SSE2
                      sum_blocks_sse2<square>(x, n, c, lanes);
#else
      sum_blocks_plain<square>(x, n, c, lanes);
#endif
  for (std::size_t k = 0; i < n; ++i, ++k) {
    const double v = static_cast<double>(x[i]) - c;
    lanes[k] += square ? v * v : static_cast<double>(x[i]);
  }
  return combine(lanes);
}

double sum(const float *x, std::size_t n, SampleLoops loops) {
  return sum_lanes<false>(x, n, 0.0, loops);
}
double sum_squares(const float *x, std::size_t n, double c, SampleLoops loops) {
  return sum_lanes<true>(x, n, c, loops);
}

// One sample before the 16-bit conversion: (signal + gain * (noise - mean)) *
// full scale; without a signal, the scaled noise alone. The vector loops
// compute exactly this, then saturate.
inline double mix_value(const float *signal, float noise, std::size_t k, double gain, double mean,
                        double full_scale) {
  const double scaled = gain * (static_cast<double>(noise) - mean);
  return (signal ? static_cast<double>(signal[k]) + scaled : scaled) * full_scale;
}

constexpr double kInvFullScale = 1.0 / static_cast<double>(kFullScale);

// A value in int16 scale that saturate_pcm16 cannot keep: its truncation lies
// outside [-32768, 32767].
inline bool clips(double v) { return v >= kPcm16Max + 1.0 || v <= kPcm16Min - 1.0; }

// What a written mixture measures: the noise it carries, e = q / 32767 -
// clean_gain * clean (q the 16-bit value), its sum and sum of squares; and
// the extremes of q, from which the peak and whether anything may have
// clipped follow.
//
// The mixture is measured a chunk at a time, right after the chunk is
// written. The chunk bounds how many values each float lane sums before they
// are added into double lanes; its size trades that against the per-chunk
// fold (about 20 ns: 2048 samples cost 5.5 us a 3 s mixture, 8192 samples
// 5.2 us, with four times as many values in each float sum). Measuring the
// whole run after writing it, chunk by chunk, costs the same: what the chunk
// leaves in the L1 cache saves nothing measurable. Fused
// into the mixing loop, in double precision, the measuring competed with the
// mix's conversions for the same execution ports and cost nearly as much as
// the mix itself; in a loop of its own, on floats, it costs under a third of
// that (3 s mixtures: 17 -> 5.5 us, the mix 18 us). e is formed (in 16-bit
// units) and summed in single precision, per lane of a group of sixteen
// samples, and each chunk's sums are added into double lanes. A float product
// is off by 2^-24 of the clean at most, far below the noise of any mixture, so
// the realised SNR stays within 1e-6 dB of its definition at ordinary SNRs and
// within 1e-4 dB even where the 16-bit rounding is all the noise left (a test
// holds it to the definition in long double). The lanes do not depend on the
// vector width and no operation is fused, so every build gives the same bits.
//
// The loop runs at about 6 cycles per group of sixteen, bound on the vector
// pipes (widen, convert, multiply, subtract, two adds and a square). Measured
// and not taken (3 s mixtures, 5.5 us): fused multiply-adds, 4.9 us, but a
// build without FMA would then give other bits; an exact integer loop
// (pmaddwd on the 16-bit values) for cleans that are 16-bit samples at the
// output rate, 4.4 us, but it needs a 16-bit copy of every clean and a second
// path whose choice must not depend on how often a clean is used; 32 lanes,
// or the mixture's values unpacked without the cross-lane widening, no faster.
constexpr std::size_t kMeasureLanes = 16;
constexpr std::size_t kChunk = 2048;

struct Tally {
  float clean_gain = 0.0f; // in 16-bit units: the clean's gain times full scale
  double e_sum[kMeasureLanes] = {}, e_squares[kMeasureLanes] = {};
  int q_max = 0, q_min = 0;
};

// A chunk's float lanes (not initialised: a vector loop writes them all).
struct ChunkSums {
  alignas(32) float e_sum[kMeasureLanes];
  alignas(32) float e_squares[kMeasureLanes];
};

inline double combine(const double (&s)[kMeasureLanes]) {
  double half[kLanes];
  for (std::size_t k = 0; k < kLanes; ++k)
    half[k] = s[k] + s[k + kLanes];
  return combine(half);
}

// The extremes of the values before the conversion (a pass that only looks).
struct Extremes {
  double high = 0.0, low = 0.0;
  void add(double v) {
    high = v > high ? v : high; // NaN leaves the extremes alone
    low = v < low ? v : low;
  }
};

#if TAVOL_HAVE_SSE2
// The extremes of packed 16-bit values, and their fold into the Tally.
struct PackedExtremes {
  __m128i high = _mm_setzero_si128(), low = _mm_setzero_si128();
  void add(__m128i q) {
    high = _mm_max_epi16(high, q);
    low = _mm_min_epi16(low, q);
  }
  void into(Tally &t) const {
    alignas(16) std::int16_t h[8], l[8];
    _mm_store_si128(reinterpret_cast<__m128i *>(h), high);
    _mm_store_si128(reinterpret_cast<__m128i *>(l), low);
    for (int k = 0; k < 8; ++k) {
      t.q_max = std::max<int>(t.q_max, h[k]);
      t.q_min = std::min<int>(t.q_min, l[k]);
    }
  }
};

inline __m128d clamp_sse2(__m128d v) {
  const __m128d low = _mm_set1_pd(kPcm16Min), high = _mm_set1_pd(kPcm16Max);
  v = _mm_and_pd(v, _mm_cmpord_pd(v, v)); // NaN -> 0
  return _mm_min_pd(_mm_max_pd(v, low), high);
}

// saturate_pcm16 on four values; the int32 lanes come out in the low half.
inline __m128i saturate_sse2(__m128d lo2, __m128d hi2) {
  return _mm_unpacklo_epi64(_mm_cvttpd_epi32(clamp_sse2(lo2)), _mm_cvttpd_epi32(clamp_sse2(hi2)));
}

// Writes (Store) the mixture's full blocks of eight, or only looks at their
// values before the conversion (their extremes into `look`).
template <bool Store>
std::size_t mix_blocks_sse2(const float *signal, const float *noise, std::size_t n, double gain,
                            double mean, double full_scale, std::int16_t *dst,
                            [[maybe_unused]] Extremes *look) {
  const __m128d g = _mm_set1_pd(gain), m = _mm_set1_pd(mean);
  const __m128d fs = _mm_set1_pd(full_scale);
  [[maybe_unused]] __m128d high = _mm_setzero_pd(), low = _mm_setzero_pd();
  auto four = [&](std::size_t at) {
    const __m128 nv = _mm_loadu_ps(noise + at);
    __m128d lo = _mm_mul_pd(g, _mm_sub_pd(_mm_cvtps_pd(nv), m));
    __m128d hi = _mm_mul_pd(g, _mm_sub_pd(_mm_cvtps_pd(_mm_movehl_ps(nv, nv)), m));
    if (signal) {
      const __m128 sv = _mm_loadu_ps(signal + at);
      lo = _mm_add_pd(_mm_cvtps_pd(sv), lo);
      hi = _mm_add_pd(_mm_cvtps_pd(_mm_movehl_ps(sv, sv)), hi);
    }
    const __m128d v_lo = _mm_mul_pd(lo, fs), v_hi = _mm_mul_pd(hi, fs);
    if constexpr (!Store) {
      high = _mm_max_pd(v_hi, _mm_max_pd(v_lo, high)); // the second operand when v is NaN
      low = _mm_min_pd(v_hi, _mm_min_pd(v_lo, low));
      return _mm_setzero_si128();
    } else {
      return saturate_sse2(v_lo, v_hi);
    }
  };
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m128i a = four(i), b = four(i + 4);
    if constexpr (Store)
      _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i), _mm_packs_epi32(a, b));
  }
  if constexpr (!Store) {
    double buf[2];
    _mm_storeu_pd(buf, high);
    look->add(buf[0]);
    look->add(buf[1]);
    _mm_storeu_pd(buf, low);
    look->add(buf[0]);
    look->add(buf[1]);
  }
  return i;
}

// Measures the full groups of sixteen of a chunk: their float lanes into
// `sums` (all sixteen written), their extremes into the tally.
std::size_t measure_groups_sse2(const std::int16_t *q, const float *s, std::size_t n,
                                ChunkSums &sums, Tally &t) {
  const __m128 g = _mm_set1_ps(t.clean_gain);
  __m128 e_sum[4], e_squares[4];
  for (int k = 0; k < 4; ++k)
    e_sum[k] = e_squares[k] = _mm_setzero_ps();
  PackedExtremes extremes;
  std::size_t i = 0;
  for (; i + kMeasureLanes <= n; i += kMeasureLanes)
    for (int h = 0; h < 2; ++h) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(q + i + 8 * h));
      extremes.add(x);
      const __m128i wide[2] = {_mm_srai_epi32(_mm_unpacklo_epi16(x, x), 16),
                               _mm_srai_epi32(_mm_unpackhi_epi16(x, x), 16)};
      for (int j = 0; j < 2; ++j) {
        __m128 e = _mm_cvtepi32_ps(wide[j]);
        if (s)
          e = _mm_sub_ps(e, _mm_mul_ps(g, _mm_loadu_ps(s + i + 8 * h + 4 * j)));
        e_sum[2 * h + j] = _mm_add_ps(e_sum[2 * h + j], e);
        e_squares[2 * h + j] = _mm_add_ps(e_squares[2 * h + j], _mm_mul_ps(e, e));
      }
    }
  for (int k = 0; k < 4; ++k) {
    _mm_store_ps(sums.e_sum + 4 * k, e_sum[k]);
    _mm_store_ps(sums.e_squares + 4 * k, e_squares[k]);
  }
  extremes.into(t);
  return i;
}
#endif

#if TAVOL_HAVE_AVX2
template <bool Store>
__attribute__((target("avx2"))) std::size_t
mix_blocks_avx2(const float *signal, const float *noise, std::size_t n, double gain, double mean,
                double full_scale, std::int16_t *dst, [[maybe_unused]] Extremes *look) {
  const __m256d g = _mm256_set1_pd(gain), m = _mm256_set1_pd(mean);
  const __m256d fs = _mm256_set1_pd(full_scale);
  const __m256d low = _mm256_set1_pd(kPcm16Min), high = _mm256_set1_pd(kPcm16Max);
  [[maybe_unused]] __m256d v_max = _mm256_setzero_pd(), v_min = _mm256_setzero_pd();
  auto four = [&](std::size_t at) __attribute__((target("avx2"))) {
    __m256d v = _mm256_mul_pd(g, _mm256_sub_pd(_mm256_cvtps_pd(_mm_loadu_ps(noise + at)), m));
    if (signal)
      v = _mm256_add_pd(_mm256_cvtps_pd(_mm_loadu_ps(signal + at)), v);
    v = _mm256_mul_pd(v, fs);
    if constexpr (!Store) {
      v_max = _mm256_max_pd(v, v_max); // the second operand when v is NaN
      v_min = _mm256_min_pd(v, v_min);
      return _mm_setzero_si128();
    } else {
      const __m256d clean = _mm256_and_pd(v, _mm256_cmp_pd(v, v, _CMP_ORD_Q)); // NaN -> 0
      return _mm256_cvttpd_epi32(_mm256_min_pd(_mm256_max_pd(clean, low), high));
    }
  };
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m128i a = four(i), b = four(i + 4);
    if constexpr (Store)
      _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i), _mm_packs_epi32(a, b));
  }
  if constexpr (!Store) {
    double buf[4];
    _mm256_storeu_pd(buf, v_max);
    for (double v : buf)
      look->add(v);
    _mm256_storeu_pd(buf, v_min);
    for (double v : buf)
      look->add(v);
  }
  return i;
}

__attribute__((target("avx2"))) std::size_t measure_groups_avx2(const std::int16_t *q,
                                                                const float *s, std::size_t n,
                                                                ChunkSums &sums, Tally &t) {
  const __m256 g = _mm256_set1_ps(t.clean_gain);
  __m256 e_sum[2] = {_mm256_setzero_ps(), _mm256_setzero_ps()};
  __m256 e_squares[2] = {_mm256_setzero_ps(), _mm256_setzero_ps()};
  __m256i high = _mm256_setzero_si256(), low = _mm256_setzero_si256();
  std::size_t i = 0;
  for (; i + kMeasureLanes <= n; i += kMeasureLanes) {
    const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(q + i));
    high = _mm256_max_epi16(high, x);
    low = _mm256_min_epi16(low, x);
    for (int h = 0; h < 2; ++h) {
      __m256 e = _mm256_cvtepi32_ps(
          _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(q + i + 8 * h))));
      if (s)
        e = _mm256_sub_ps(e, _mm256_mul_ps(g, _mm256_loadu_ps(s + i + 8 * h)));
      e_sum[h] = _mm256_add_ps(e_sum[h], e);
      e_squares[h] = _mm256_add_ps(e_squares[h], _mm256_mul_ps(e, e));
    }
  }
  for (int h = 0; h < 2; ++h) {
    _mm256_store_ps(sums.e_sum + 8 * h, e_sum[h]);
    _mm256_store_ps(sums.e_squares + 8 * h, e_squares[h]);
  }
  PackedExtremes extremes;
  extremes.high = _mm_max_epi16(_mm256_castsi256_si128(high), _mm256_extracti128_si256(high, 1));
  extremes.low = _mm_min_epi16(_mm256_castsi256_si128(low), _mm256_extracti128_si256(low, 1));
  extremes.into(t);
  return i;
}
#endif

// Measures n <= kChunk written values `q` (carrying the clean samples `s`, or
// none) into the tally.
void measure_chunk(const std::int16_t *q, const float *s, std::size_t n, Tally &t,
                   [[maybe_unused]] SampleLoops loops) {
  ChunkSums sums;
  std::size_t i =
#if TAVOL_HAVE_AVX2
      use_avx2(loops) ? measure_groups_avx2(q, s, n, sums, t) :
#endif
#if TAVOL_HAVE_SSE2
                      measure_groups_sse2(q, s, n, sums, t);
#else
      0;
  std::fill(std::begin(sums.e_sum), std::end(sums.e_sum), 0.0f);
  std::fill(std::begin(sums.e_squares), std::end(sums.e_squares), 0.0f);
#endif
  for (; i < n; ++i) {
    float e = static_cast<float>(q[i]);
    if (s)
      e = e - t.clean_gain * s[i];
    sums.e_sum[i % kMeasureLanes] += e;
    sums.e_squares[i % kMeasureLanes] += e * e;
    t.q_max = std::max<int>(t.q_max, q[i]);
    t.q_min = std::min<int>(t.q_min, q[i]);
  }
  for (std::size_t k = 0; k < kMeasureLanes; ++k) {
    t.e_sum[k] += static_cast<double>(sums.e_sum[k]);
    t.e_squares[k] += static_cast<double>(sums.e_squares[k]);
  }
}

// One run of the fitted noise: writes the mixture of `n` samples (Store), or
// only looks at its values before the conversion (their extremes into `look`).
template <bool Store>
void mix_run(const float *signal, const float *noise, std::size_t n, double gain, double mean,
             double full_scale, [[maybe_unused]] SampleLoops loops, std::int16_t *dst,
             Extremes *look) {
  std::size_t i =
#if TAVOL_HAVE_AVX2
      use_avx2(loops) ? mix_blocks_avx2<Store>(signal, noise, n, gain, mean, full_scale, dst, look)
                      :
#endif
#if TAVOL_HAVE_SSE2
                      mix_blocks_sse2<Store>(signal, noise, n, gain, mean, full_scale, dst, look);
#else
      0; // the per-sample loop below does it all
#endif
  for (; i < n; ++i) {
    const double v = mix_value(signal, noise[i], i, gain, mean, full_scale);
    if constexpr (Store)
      dst[i] = saturate_pcm16(v);
    else
      look->add(v);
  }
}

// Writes one run and, with a tally, measures it chunk by chunk. The chunks
// start at multiples of kChunk from the run's start, so that the lanes of a
// run do not depend on how its samples are grouped in any vector loop.
void write_run(const float *signal, const float *noise, std::size_t n, double gain, double mean,
               double full_scale, SampleLoops loops, std::int16_t *dst, Tally *tally) {
  if (!tally) {
    mix_run<true>(signal, noise, n, gain, mean, full_scale, loops, dst, nullptr);
    return;
  }
  for (std::size_t at = 0; at < n; at += kChunk) {
    const std::size_t count = std::min(kChunk, n - at);
    const float *s = signal ? signal + at : nullptr;
    mix_run<true>(s, noise + at, count, gain, mean, full_scale, loops, dst + at, nullptr);
    measure_chunk(dst + at, s, count, *tally, loops);
  }
}

// Checks that the noise can be fitted to `length` samples at `offset`.
void check_fit(const Recording &noise, std::size_t length, std::size_t offset) {
  if (noise.size == 0)
    throw InvalidArgument("noise recording is empty: " + quoted(noise.name));
  if (noise_fit(noise.size, length) == NoiseFit::Excerpt && offset > noise.size - length)
    throw InvalidArgument("noise excerpt at offset " + std::to_string(offset) + " of " +
                          std::to_string(length) + " samples runs past the end of " +
                          quoted(noise.name) + " (" + std::to_string(noise.size) + " samples)");
}

// Calls piece(src, start, count) for consecutive runs of the fitted noise:
// fitted[start + k] == src[k] for k < count; the runs cover [0, length).
template <typename F>
void for_each_piece(const Recording &noise, std::size_t length, std::size_t offset, F piece) {
  switch (noise_fit(noise.size, length)) {
  case NoiseFit::Repeat:
    for (std::size_t start = 0; start < length; start += noise.size)
      piece(noise.samples, start, std::min(noise.size, length - start));
    break;
  case NoiseFit::Whole:
    piece(noise.samples, 0, length);
    break;
  case NoiseFit::Excerpt:
    piece(noise.samples + offset, 0, length);
    break;
  }
}

} // namespace

InvalidArgument non_finite_recording(std::string_view role, std::string_view name) {
  std::string what(role);
  what += " recording holds samples that are not finite (NaN or infinity): ";
  what += quoted(name);
  return InvalidArgument(what);
}

NoiseFit noise_fit(std::size_t noise_len, std::size_t clean_len) noexcept {
  if (noise_len < clean_len)
    return NoiseFit::Repeat;
  if (noise_len == clean_len)
    return NoiseFit::Whole;
  return NoiseFit::Excerpt;
}

double mean_square(const float *x, std::size_t n, SampleLoops loops) noexcept {
  if (n == 0)
    return 0.0;
  return sum_squares(x, n, 0.0, loops) / static_cast<double>(n);
}

double clean_level(const float *x, std::size_t n, SnrDefinition definition, int rate) {
  if (definition == SnrDefinition::Active) {
    const SpeechLevel level = active_speech_level(x, n, rate);
    if (level.mean_square > 0.0)
      return level.mean_square;
  }
  return mean_square(x, n);
}

std::vector<float> fit_noise(const Recording &noise, std::size_t length, std::size_t offset) {
  check_fit(noise, length, offset);
  std::vector<float> out(length);
  for_each_piece(noise, length, offset,
                 [&](const float *src, std::size_t start, std::size_t count) {
                   std::copy(src, src + count, out.begin() + static_cast<std::ptrdiff_t>(start));
                 });
  return out;
}

MixStats mix_pcm16_into(const Recording &clean, const Recording &noise, double snr_db,
                        std::size_t offset, const MixOptions &options, std::int16_t *out) {
  if (!std::isfinite(snr_db))
    throw InvalidArgument("the SNR must be a finite number of dB, got " + std::to_string(snr_db) +
                          " for " + quoted(clean.name) + " with " + quoted(noise.name));
  if (clean.size == 0)
    throw InvalidArgument("clean recording is empty: " + quoted(clean.name));
  const std::size_t n = clean.size;
  check_fit(noise, n, offset);
  const SampleLoops loops = options.loops;

  // Sums of float samples in double precision cannot overflow, so a sum that
  // is not finite means a NaN or an infinity among the samples summed.
  double total = 0.0;
  for_each_piece(noise, n, offset, [&](const float *src, std::size_t, std::size_t count) {
    total += sum(src, count, loops);
  });
  if (!std::isfinite(total))
    throw non_finite_recording("noise", noise.name);
  const double mean = total / static_cast<double>(n);
  double squares = 0.0;
  const float *first = nullptr;
  std::size_t first_count = 0;
  for_each_piece(noise, n, offset, [&](const float *src, std::size_t start, std::size_t count) {
    if (start == 0) {
      first = src;
      first_count = count;
    }
    squares += sum_squares(src, count, mean, loops);
  });
  const double variance = squares / static_cast<double>(n);
  // A constant noise (digital silence, a DC level) has no variance to scale.
  // Rounding can leave a tiny non-zero sum for one, so when the variance is
  // that tiny, look at the samples themselves (every piece is a prefix of the
  // first one, or the first one is all there is).
  const bool tiny = !(variance > mean * mean * 1e-12) || !std::isfinite(variance);
  if (tiny && (!(variance > 0.0) || !std::isfinite(variance) ||
               std::adjacent_find(first, first + first_count, std::not_equal_to<>()) ==
                   first + first_count))
    throw InvalidArgument("noise has zero variance over the " + std::to_string(n) +
                          " samples used, so it cannot be scaled to an SNR: " + quoted(noise.name));

  MixStats stats;
  stats.clean_level = options.clean_level >= 0.0
                          ? options.clean_level
                          : (options.definition == SnrDefinition::Power
                                 ? mean_square(clean.samples, n, loops)
                                 : clean_level(clean.samples, n, options.definition, options.rate));
  if (!std::isfinite(stats.clean_level))
    throw non_finite_recording("clean", clean.name);
  const double target = stats.clean_level / std::pow(10.0, snr_db / 10.0);
  const double gain = std::sqrt(target) / std::sqrt(variance);
  const float *signal = options.noise_only ? nullptr : clean.samples;
  const double full_scale = kFullScale;

  // Walks the fitted noise once, writing the mixture at `fs` (and measuring
  // it, given a tally).
  auto write = [&](double fs, Tally *tally) {
    for_each_piece(noise, n, offset, [&](const float *src, std::size_t start, std::size_t count) {
      write_run(signal ? signal + start : nullptr, src, count, gain, mean, fs, loops, out + start,
                tally);
    });
  };
  // How many values clip at `fs`.
  auto count_clipped = [&](double fs) -> std::size_t {
    std::size_t clipped = 0;
    for_each_piece(noise, n, offset, [&](const float *src, std::size_t start, std::size_t count) {
      const float *s = signal ? signal + start : nullptr;
      for (std::size_t k = 0; k < count; ++k)
        clipped += clips(mix_value(s, src[k], k, gain, mean, fs)) ? 1 : 0;
    });
    return clipped;
  };

  // A policy other than saturation looks at the mixture before writing it.
  if (options.clipping != Clipping::Saturate) {
    Extremes look;
    for_each_piece(noise, n, offset, [&](const float *src, std::size_t start, std::size_t count) {
      mix_run<false>(signal ? signal + start : nullptr, src, count, gain, mean, full_scale, loops,
                     nullptr, &look);
    });
    const std::size_t clipped = clips(look.high) || clips(look.low) ? count_clipped(full_scale) : 0;
    const double peak = std::max(look.high, -look.low);
    if (clipped > 0 && options.clipping == Clipping::Error)
      throw ClippingError("the mixture of " + quoted(clean.name) + " and " + quoted(noise.name) +
                          " at " + std::to_string(snr_db) + " dB would clip " +
                          std::to_string(clipped) + " of its " + std::to_string(n) +
                          " samples (peak " + std::to_string(peak / full_scale) + " x full scale)");
    if (clipped > 0)
      stats.scale = kRescalePeak * full_scale / peak;
  }
  stats.clean_gain = options.noise_only ? 0.0 : stats.scale;
  stats.noise_gain = gain * stats.scale;

  const double written_scale = full_scale * stats.scale;
  if (!options.measure) {
    write(written_scale, nullptr);
    return stats;
  }
  Tally tally;
  tally.clean_gain = static_cast<float>(stats.clean_gain * full_scale);
  write(written_scale, &tally);
  // The noise as written: the 16-bit samples less the clean they carry. A
  // 16-bit value at full scale may also be one that fitted exactly, so the
  // clipped values are counted only then.
  const double e_mean = combine(tally.e_sum) * kInvFullScale / static_cast<double>(n);
  const double e_var =
      combine(tally.e_squares) * (kInvFullScale * kInvFullScale) / static_cast<double>(n) -
      e_mean * e_mean;
  stats.clipped =
      tally.q_max >= kPcm16Max || tally.q_min <= kPcm16Min ? count_clipped(written_scale) : 0;
  stats.peak = std::max(tally.q_max, -tally.q_min);
  stats.realised_snr_db = 10.0 * std::log10(stats.scale * stats.scale * stats.clean_level / e_var);
  return stats;
}

std::vector<std::int16_t> mix_pcm16(const Recording &clean, const Recording &noise, double snr_db,
                                    std::size_t offset, bool noise_only) {
  std::vector<std::int16_t> out(clean.size);
  MixOptions options;
  options.noise_only = noise_only;
  mix_pcm16_into(clean, noise, snr_db, offset, options, out.data());
  return out;
}

} // namespace tavol
