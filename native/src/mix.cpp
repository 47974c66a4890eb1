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

// What a mixing pass measures besides (or instead of) writing: per lane of a
// block of eight, the sum and sum of squares of the noise as written
// (e = q / 32767 - clean_gain * clean, q the 16-bit value; a clean gain of 1
// is not multiplied by, which gives the same bits); over all samples, the
// extremes of the values before the conversion (a pass that only looks) or
// of the 16-bit values (a pass that writes: integer operations on the packed
// output), from which the peak and whether anything may have clipped follow.
// The lanes do not depend on the vector width, so both builds give the same
// sums. (Measured: a quarter of the measuring's cost on 3 s mixtures.)
struct Tally {
  double clean_gain = 0.0;
  double e_sum[kLanes] = {}, e_squares[kLanes] = {};
  double v_max = 0.0, v_min = 0.0;
  int q_max = 0, q_min = 0;
};

constexpr double kInvFullScale = 1.0 / static_cast<double>(kFullScale);

// A value in int16 scale that saturate_pcm16 cannot keep: its truncation lies
// outside [-32768, 32767].
inline bool clips(double v) { return v >= kPcm16Max + 1.0 || v <= kPcm16Min - 1.0; }

// `Values`: the extremes of the values before the conversion, else of the 16-bit ones.
template <bool Values>
inline void tally_one(Tally &t, std::size_t lane, double v, std::int16_t q, double signal) {
  const double e = static_cast<double>(q) * kInvFullScale - t.clean_gain * signal;
  t.e_sum[lane] += e;
  t.e_squares[lane] += e * e;
  if constexpr (Values) {
    t.v_max = v > t.v_max ? v : t.v_max; // NaN leaves the extremes alone
    t.v_min = v < t.v_min ? v : t.v_min;
  } else {
    t.q_max = std::max<int>(t.q_max, q);
    t.q_min = std::min<int>(t.q_min, q);
  }
}

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
#endif

#if TAVOL_HAVE_SSE2
inline __m128d clamp_sse2(__m128d v) {
  const __m128d low = _mm_set1_pd(kPcm16Min), high = _mm_set1_pd(kPcm16Max);
  v = _mm_and_pd(v, _mm_cmpord_pd(v, v)); // NaN -> 0
  return _mm_min_pd(_mm_max_pd(v, low), high);
}

// saturate_pcm16 on four values; the int32 lanes come out in the low half.
inline __m128i saturate_sse2(__m128d lo2, __m128d hi2) {
  return _mm_unpacklo_epi64(_mm_cvttpd_epi32(clamp_sse2(lo2)), _mm_cvttpd_epi32(clamp_sse2(hi2)));
}

// The Tally's per-lane sums as vectors: lanes (0,1), (2,3), (4,5), (6,7).
struct TallySse2 {
  __m128d e_sum[4], e_squares[4];
  __m128d v_max = _mm_setzero_pd(), v_min = _mm_setzero_pd();
  TallySse2() {
    for (int k = 0; k < 4; ++k)
      e_sum[k] = e_squares[k] = _mm_setzero_pd();
  }
  // Two values v (before the conversion), their 16-bit values q and clean samples s, lanes 2k,
  // 2k+1.
  template <bool Values, bool Unit>
  void add(int k, __m128d v, __m128d q, __m128d s, __m128d clean_gain) {
    const __m128d e =
        _mm_sub_pd(_mm_mul_pd(q, _mm_set1_pd(kInvFullScale)), Unit ? s : _mm_mul_pd(clean_gain, s));
    e_sum[k] = _mm_add_pd(e_sum[k], e);
    e_squares[k] = _mm_add_pd(e_squares[k], _mm_mul_pd(e, e));
    if constexpr (Values) {
      v_max = _mm_max_pd(v, v_max); // the second operand when v is NaN
      v_min = _mm_min_pd(v, v_min);
    }
  }
  void into(Tally &t) const {
    double buf[2];
    for (int k = 0; k < 4; ++k) {
      _mm_storeu_pd(buf, e_sum[k]);
      t.e_sum[2 * k] += buf[0];
      t.e_sum[2 * k + 1] += buf[1];
      _mm_storeu_pd(buf, e_squares[k]);
      t.e_squares[2 * k] += buf[0];
      t.e_squares[2 * k + 1] += buf[1];
    }
    _mm_storeu_pd(buf, v_max);
    t.v_max = std::max({t.v_max, buf[0], buf[1]});
    _mm_storeu_pd(buf, v_min);
    t.v_min = std::min({t.v_min, buf[0], buf[1]});
  }
};

template <bool Store, bool Measure, bool Unit>
std::size_t mix_blocks_sse2(const float *signal, const float *noise, std::size_t n, double gain,
                            double mean, double full_scale, std::int16_t *dst, Tally *tally) {
  const __m128d g = _mm_set1_pd(gain), m = _mm_set1_pd(mean);
  const __m128d fs = _mm_set1_pd(full_scale);
  [[maybe_unused]] TallySse2 sums;
  [[maybe_unused]] const __m128d clean_gain = _mm_set1_pd(tally ? tally->clean_gain : 0.0);
  auto four = [&](std::size_t at, [[maybe_unused]] int lanes) {
    const __m128 nv = _mm_loadu_ps(noise + at);
    __m128d lo = _mm_mul_pd(g, _mm_sub_pd(_mm_cvtps_pd(nv), m));
    __m128d hi = _mm_mul_pd(g, _mm_sub_pd(_mm_cvtps_pd(_mm_movehl_ps(nv, nv)), m));
    __m128d s_lo = _mm_setzero_pd(), s_hi = _mm_setzero_pd();
    if (signal) {
      const __m128 sv = _mm_loadu_ps(signal + at);
      s_lo = _mm_cvtps_pd(sv);
      s_hi = _mm_cvtps_pd(_mm_movehl_ps(sv, sv));
      lo = _mm_add_pd(s_lo, lo);
      hi = _mm_add_pd(s_hi, hi);
    }
    const __m128d v_lo = _mm_mul_pd(lo, fs), v_hi = _mm_mul_pd(hi, fs);
    const __m128i q = saturate_sse2(v_lo, v_hi);
    if constexpr (Measure) {
      sums.add<!Store, Unit>(lanes, v_lo, _mm_cvtepi32_pd(q), s_lo, clean_gain);
      sums.add<!Store, Unit>(lanes + 1, v_hi, _mm_cvtepi32_pd(_mm_shuffle_epi32(q, 0x0E)), s_hi,
                             clean_gain);
    }
    return q;
  };
  [[maybe_unused]] PackedExtremes extremes;
  std::size_t i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    const __m128i a = four(i, 0), b = four(i + 4, 2);
    if constexpr (Store) {
      const __m128i packed = _mm_packs_epi32(a, b);
      _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i), packed);
      if constexpr (Measure)
        extremes.add(packed);
    }
  }
  if constexpr (Measure) {
    sums.into(*tally);
    if constexpr (Store)
      extremes.into(*tally);
  }
  return i;
}
#endif

#if TAVOL_HAVE_AVX2
// The Tally's per-lane sums as vectors: lanes 0..3, 4..7.
struct TallyAvx2 {
  __m256d e_sum[2], e_squares[2];
  __m256d v_max, v_min;
  __attribute__((target("avx2"))) TallyAvx2() {
    for (int k = 0; k < 2; ++k)
      e_sum[k] = e_squares[k] = _mm256_setzero_pd();
    v_max = v_min = _mm256_setzero_pd();
  }
  template <bool Values, bool Unit>
  __attribute__((target("avx2"))) void add(int k, __m256d v, __m256d q, __m256d s,
                                           __m256d clean_gain) {
    const __m256d e = _mm256_sub_pd(_mm256_mul_pd(q, _mm256_set1_pd(kInvFullScale)),
                                    Unit ? s : _mm256_mul_pd(clean_gain, s));
    e_sum[k] = _mm256_add_pd(e_sum[k], e);
    e_squares[k] = _mm256_add_pd(e_squares[k], _mm256_mul_pd(e, e));
    if constexpr (Values) {
      v_max = _mm256_max_pd(v, v_max); // the second operand when v is NaN
      v_min = _mm256_min_pd(v, v_min);
    }
  }
  __attribute__((target("avx2"))) void into(Tally &t) const {
    double buf[4];
    for (int k = 0; k < 2; ++k) {
      _mm256_storeu_pd(buf, e_sum[k]);
      for (int j = 0; j < 4; ++j)
        t.e_sum[4 * k + j] += buf[j];
      _mm256_storeu_pd(buf, e_squares[k]);
      for (int j = 0; j < 4; ++j)
        t.e_squares[4 * k + j] += buf[j];
    }
    _mm256_storeu_pd(buf, v_max);
    t.v_max = std::max({t.v_max, buf[0], buf[1], buf[2], buf[3]});
    _mm256_storeu_pd(buf, v_min);
    t.v_min = std::min({t.v_min, buf[0], buf[1], buf[2], buf[3]});
  }
};

template <bool Store, bool Measure, bool Unit>
__attribute__((target("avx2"))) std::size_t
mix_blocks_avx2(const float *signal, const float *noise, std::size_t n, double gain, double mean,
                double full_scale, std::int16_t *dst, Tally *tally) {
  const __m256d g = _mm256_set1_pd(gain), m = _mm256_set1_pd(mean);
  const __m256d fs = _mm256_set1_pd(full_scale);
  const __m256d low = _mm256_set1_pd(kPcm16Min), high = _mm256_set1_pd(kPcm16Max);
  [[maybe_unused]] TallyAvx2 sums;
  [[maybe_unused]] const __m256d clean_gain = _mm256_set1_pd(tally ? tally->clean_gain : 0.0);
  auto four = [&](std::size_t at, [[maybe_unused]] int lanes) __attribute__((target("avx2"))) {
    __m256d v = _mm256_mul_pd(g, _mm256_sub_pd(_mm256_cvtps_pd(_mm_loadu_ps(noise + at)), m));
    __m256d s = _mm256_setzero_pd();
    if (signal) {
      s = _mm256_cvtps_pd(_mm_loadu_ps(signal + at));
      v = _mm256_add_pd(s, v);
    }
    v = _mm256_mul_pd(v, fs);
    const __m256d clean = _mm256_and_pd(v, _mm256_cmp_pd(v, v, _CMP_ORD_Q)); // NaN -> 0
    const __m128i q = _mm256_cvttpd_epi32(_mm256_min_pd(_mm256_max_pd(clean, low), high));
    if constexpr (Measure)
      sums.template add<!Store, Unit>(lanes, v, _mm256_cvtepi32_pd(q), s, clean_gain);
    return q;
  };
  [[maybe_unused]] PackedExtremes extremes;
  std::size_t i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    const __m128i a = four(i, 0), b = four(i + 4, 1);
    if constexpr (Store) {
      const __m128i packed = _mm_packs_epi32(a, b);
      _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i), packed);
      if constexpr (Measure)
        extremes.add(packed);
    }
  }
  if constexpr (Measure) {
    sums.into(*tally);
    if constexpr (Store)
      extremes.into(*tally);
  }
  return i;
}
#endif

// One run of the fitted noise: writes (Store) and/or measures (Measure) the
// mixture of `n` samples.
template <bool Store, bool Measure>
void mix_run(const float *signal, const float *noise, std::size_t n, double gain, double mean,
             double full_scale, [[maybe_unused]] SampleLoops loops, std::int16_t *dst,
             Tally *tally) {
  [[maybe_unused]] const bool unit = Measure && tally->clean_gain == 1.0;
  [[maybe_unused]] auto blocks = [&](auto unit_gain) -> std::size_t {
    constexpr bool Unit = decltype(unit_gain)::value;
#if TAVOL_HAVE_AVX2
    if (use_avx2(loops))
      return mix_blocks_avx2<Store, Measure, Unit>(signal, noise, n, gain, mean, full_scale, dst,
                                                   tally);
#endif
#if TAVOL_HAVE_SSE2
    return mix_blocks_sse2<Store, Measure, Unit>(signal, noise, n, gain, mean, full_scale, dst,
                                                 tally);
#else
    return 0; // the per-sample loop below does it all
#endif
  };
  std::size_t i = unit ? blocks(std::true_type{}) : blocks(std::false_type{});
  for (std::size_t lane = 0; i < n; ++i, ++lane) {
    const double v = mix_value(signal, noise[i], i, gain, mean, full_scale);
    const std::int16_t q = saturate_pcm16(v);
    if constexpr (Store)
      dst[i] = q;
    if constexpr (Measure)
      tally_one<!Store>(*tally, lane % kLanes, v, q, signal ? static_cast<double>(signal[i]) : 0.0);
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

  // Walks the fitted noise once: writes and/or measures the mixture at `fs`.
  auto pass = [&](auto store, auto measure, double fs, Tally *tally) {
    for_each_piece(noise, n, offset, [&](const float *src, std::size_t start, std::size_t count) {
      mix_run<decltype(store)::value, decltype(measure)::value>(
          signal ? signal + start : nullptr, src, count, gain, mean, fs, loops, out + start, tally);
    });
  };
  using yes = std::true_type;
  using no = std::false_type;

  // How many values clip at `fs`: only counted when the extremes say some may
  // (a 16-bit value at full scale may also be one that fitted exactly).
  auto count_clipped = [&](const Tally &t, double fs) -> std::size_t {
    if (!clips(t.v_max) && !clips(t.v_min) && t.q_max < kPcm16Max && t.q_min > kPcm16Min)
      return 0;
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
    Tally look;
    pass(no{}, yes{}, full_scale, &look);
    const std::size_t clipped = count_clipped(look, full_scale);
    const double peak = std::max(look.v_max, -look.v_min);
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
    pass(yes{}, no{}, written_scale, nullptr);
    return stats;
  }
  Tally tally;
  tally.clean_gain = stats.clean_gain;
  pass(yes{}, yes{}, written_scale, &tally);
  // The noise as written: the 16-bit samples less the clean they carry.
  const double e_mean = combine(tally.e_sum) / static_cast<double>(n);
  const double e_var = combine(tally.e_squares) / static_cast<double>(n) - e_mean * e_mean;
  stats.clipped = count_clipped(tally, written_scale);
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
