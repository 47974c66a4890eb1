// Noise fitting, SNR scaling and 16-bit conversion of one mixture.
//
// The fitted noise is never materialised for mixing: it is walked as a few
// contiguous pieces of the noise recording (one for an excerpt, one per copy
// when repeated), which keeps the per-mixture memory traffic to the output.
#include "tavol/mix.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>

#include "tavol/constants.hpp"
#include "tavol/errors.hpp"
#include "tavol/wav_writer.hpp"

namespace tavol {
namespace {

std::string quoted(std::string_view name) { return "'" + std::string(name) + "'"; }

// Sum of f(x[i]) in double, over four interleaved partial sums: the
// independent chains let the loop run at full speed (the rounding differs
// from a single running sum only in the last bits).
template <typename F> double sum_of(const float *x, std::size_t n, F f) {
  double s[4] = {0.0, 0.0, 0.0, 0.0};
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4)
    for (std::size_t k = 0; k < 4; ++k)
      s[k] += f(static_cast<double>(x[i + k]));
  for (; i < n; ++i)
    s[0] += f(static_cast<double>(x[i]));
  return (s[0] + s[1]) + (s[2] + s[3]);
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
  return sum_of(x, n, [](double v) { return v * v; }) / static_cast<double>(n);
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

std::vector<std::int16_t> mix_pcm16(const Recording &clean, const Recording &noise, double snr_db,
                                    std::size_t offset, bool noise_only) {
  if (clean.size == 0)
    throw InvalidArgument("clean recording is empty: " + quoted(clean.name));
  const std::size_t n = clean.size;
  check_fit(noise, n, offset);

  double total = 0.0;
  for_each_piece(noise, n, offset, [&](const float *src, std::size_t, std::size_t count) {
    total += sum_of(src, count, [](double v) { return v; });
  });
  const double mean = total / static_cast<double>(n);
  double squares = 0.0;
  const float *first = nullptr;
  std::size_t first_count = 0;
  for_each_piece(noise, n, offset, [&](const float *src, std::size_t start, std::size_t count) {
    if (start == 0) {
      first = src;
      first_count = count;
    }
    squares += sum_of(src, count, [mean](double v) { return (v - mean) * (v - mean); });
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

  const double target = mean_square(clean.samples, n) / std::pow(10.0, snr_db / 10.0);
  const double gain = std::sqrt(target) / std::sqrt(variance);
  const double full_scale = kFullScale;
  std::vector<std::int16_t> out(n);
  for_each_piece(noise, n, offset, [&](const float *src, std::size_t start, std::size_t count) {
    const float *signal = clean.samples + start;
    std::int16_t *dst = out.data() + start;
    if (noise_only) {
      for (std::size_t k = 0; k < count; ++k)
        dst[k] = saturate_pcm16(gain * (src[k] - mean) * full_scale);
    } else {
      for (std::size_t k = 0; k < count; ++k)
        dst[k] = saturate_pcm16((signal[k] + gain * (src[k] - mean)) * full_scale);
    }
  });
  return out;
}

} // namespace tavol
