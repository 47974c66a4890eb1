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
#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>

#include "tavol/constants.hpp"
#include "tavol/errors.hpp"
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

std::atomic<bool> baseline_only{false};

#if TAVOL_HAVE_AVX2
bool use_avx2() {
  static const bool available = __builtin_cpu_supports("avx2");
  return available && !baseline_only.load(std::memory_order_relaxed);
}
#endif

template <bool square> double sum_lanes(const float *x, std::size_t n, double c) {
  double lanes[kLanes];
  std::size_t i =
#if TAVOL_HAVE_AVX2
      use_avx2() ? sum_blocks_avx2<square>(x, n, c, lanes) :
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

double sum(const float *x, std::size_t n) { return sum_lanes<false>(x, n, 0.0); }
double sum_squares(const float *x, std::size_t n, double c) { return sum_lanes<true>(x, n, c); }

// One sample: saturate((signal + gain * (noise - mean)) * full scale); without
// a signal, the scaled noise alone. The vector loops compute exactly this.
inline std::int16_t mix_one(const float *signal, float noise, std::size_t k, double gain,
                            double mean) {
  const double scaled = gain * (static_cast<double>(noise) - mean);
  const double full_scale = kFullScale;
  return saturate_pcm16((signal ? static_cast<double>(signal[k]) + scaled : scaled) * full_scale);
}

#if TAVOL_HAVE_SSE2
// saturate_pcm16 on four values; the int32 lanes come out in the low half.
inline __m128i saturate_sse2(__m128d lo2, __m128d hi2) {
  const __m128d low = _mm_set1_pd(kPcm16Min), high = _mm_set1_pd(kPcm16Max);
  auto clamp = [&](__m128d v) {
    v = _mm_and_pd(v, _mm_cmpord_pd(v, v)); // NaN -> 0
    return _mm_min_pd(_mm_max_pd(v, low), high);
  };
  return _mm_unpacklo_epi64(_mm_cvttpd_epi32(clamp(lo2)), _mm_cvttpd_epi32(clamp(hi2)));
}

std::size_t mix_blocks_sse2(const float *signal, const float *noise, std::size_t n, double gain,
                            double mean, std::int16_t *dst) {
  const __m128d g = _mm_set1_pd(gain), m = _mm_set1_pd(mean);
  const __m128d fs = _mm_set1_pd(static_cast<double>(kFullScale));
  auto four = [&](std::size_t at) {
    const __m128 nv = _mm_loadu_ps(noise + at);
    __m128d lo = _mm_mul_pd(g, _mm_sub_pd(_mm_cvtps_pd(nv), m));
    __m128d hi = _mm_mul_pd(g, _mm_sub_pd(_mm_cvtps_pd(_mm_movehl_ps(nv, nv)), m));
    if (signal) {
      const __m128 sv = _mm_loadu_ps(signal + at);
      lo = _mm_add_pd(_mm_cvtps_pd(sv), lo);
      hi = _mm_add_pd(_mm_cvtps_pd(_mm_movehl_ps(sv, sv)), hi);
    }
    return saturate_sse2(_mm_mul_pd(lo, fs), _mm_mul_pd(hi, fs));
  };
  std::size_t i = 0;
  for (; i + kLanes <= n; i += kLanes)
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i), _mm_packs_epi32(four(i), four(i + 4)));
  return i;
}
#endif

#if TAVOL_HAVE_AVX2
__attribute__((target("avx2"))) inline __m128i
mix_four_avx2(const float *signal, const float *noise, __m256d g, __m256d m, __m256d fs) {
  const __m256d low = _mm256_set1_pd(kPcm16Min), high = _mm256_set1_pd(kPcm16Max);
  __m256d v = _mm256_mul_pd(g, _mm256_sub_pd(_mm256_cvtps_pd(_mm_loadu_ps(noise)), m));
  if (signal)
    v = _mm256_add_pd(_mm256_cvtps_pd(_mm_loadu_ps(signal)), v);
  v = _mm256_mul_pd(v, fs);
  v = _mm256_and_pd(v, _mm256_cmp_pd(v, v, _CMP_ORD_Q)); // NaN -> 0
  return _mm256_cvttpd_epi32(_mm256_min_pd(_mm256_max_pd(v, low), high));
}

__attribute__((target("avx2"))) std::size_t mix_blocks_avx2(const float *signal, const float *noise,
                                                            std::size_t n, double gain, double mean,
                                                            std::int16_t *dst) {
  const __m256d g = _mm256_set1_pd(gain), m = _mm256_set1_pd(mean);
  const __m256d fs = _mm256_set1_pd(static_cast<double>(kFullScale));
  std::size_t i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    const __m128i a = mix_four_avx2(signal ? signal + i : nullptr, noise + i, g, m, fs);
    const __m128i b = mix_four_avx2(signal ? signal + i + 4 : nullptr, noise + i + 4, g, m, fs);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i), _mm_packs_epi32(a, b));
  }
  return i;
}
#endif

void mix_run(const float *signal, const float *noise, std::size_t n, double gain, double mean,
             std::int16_t *dst) {
  std::size_t i =
#if TAVOL_HAVE_AVX2
      use_avx2() ? mix_blocks_avx2(signal, noise, n, gain, mean, dst) :
#endif
#if TAVOL_HAVE_SSE2
                 mix_blocks_sse2(signal, noise, n, gain, mean, dst);
#else
      std::size_t{0}; // the per-sample loop below does it all
#endif
  for (; i < n; ++i)
    dst[i] = mix_one(signal, noise[i], i, gain, mean);
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

void use_sample_loops(SampleLoops loops) noexcept {
  baseline_only.store(loops == SampleLoops::Baseline, std::memory_order_relaxed);
}

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

double mean_square(const float *x, std::size_t n) noexcept {
  if (n == 0)
    return 0.0;
  return sum_squares(x, n, 0.0) / static_cast<double>(n);
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

void mix_pcm16_into(const Recording &clean, const Recording &noise, double snr_db,
                    std::size_t offset, bool noise_only, std::int16_t *out) {
  if (clean.size == 0)
    throw InvalidArgument("clean recording is empty: " + quoted(clean.name));
  if (!std::isfinite(snr_db))
    throw InvalidArgument("SNR must be a finite number of dB, got " + std::to_string(snr_db));
  const std::size_t n = clean.size;
  check_fit(noise, n, offset);

  // Sums of float samples in double precision cannot overflow, so a sum that
  // is not finite means a NaN or an infinity among the samples summed.
  double total = 0.0;
  for_each_piece(noise, n, offset, [&](const float *src, std::size_t, std::size_t count) {
    total += sum(src, count);
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
    squares += sum_squares(src, count, mean);
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

  const double clean_power = mean_square(clean.samples, n);
  if (!std::isfinite(clean_power))
    throw non_finite_recording("clean", clean.name);
  const double target = clean_power / std::pow(10.0, snr_db / 10.0);
  const double gain = std::sqrt(target) / std::sqrt(variance);
  for_each_piece(noise, n, offset, [&](const float *src, std::size_t start, std::size_t count) {
    mix_run(noise_only ? nullptr : clean.samples + start, src, count, gain, mean, out + start);
  });
}

std::vector<std::int16_t> mix_pcm16(const Recording &clean, const Recording &noise, double snr_db,
                                    std::size_t offset, bool noise_only) {
  std::vector<std::int16_t> out(clean.size);
  mix_pcm16_into(clean, noise, snr_db, offset, noise_only, out.data());
  return out;
}

} // namespace tavol
