// Noise fitting, SNR scaling and 16-bit conversion of one mixture.
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
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double v = x[i];
    sum += v * v;
  }
  return sum / static_cast<double>(n);
}

std::vector<float> fit_noise(const Recording &noise, std::size_t length, std::size_t offset) {
  if (noise.size == 0)
    throw InvalidArgument("noise recording is empty: " + quoted(noise.name));
  std::vector<float> out(length);
  switch (noise_fit(noise.size, length)) {
  case NoiseFit::Repeat:
    for (std::size_t i = 0; i < length; ++i)
      out[i] = noise.samples[i % noise.size];
    break;
  case NoiseFit::Whole:
    std::copy(noise.samples, noise.samples + length, out.begin());
    break;
  case NoiseFit::Excerpt:
    if (offset > noise.size - length)
      throw InvalidArgument("noise excerpt at offset " + std::to_string(offset) + " of " +
                            std::to_string(length) + " samples runs past the end of " +
                            quoted(noise.name) + " (" + std::to_string(noise.size) + " samples)");
    std::copy(noise.samples + offset, noise.samples + offset + length, out.begin());
    break;
  }
  return out;
}

std::vector<std::int16_t> mix_pcm16(const Recording &clean, const Recording &noise, double snr_db,
                                    std::size_t offset, bool noise_only) {
  if (clean.size == 0)
    throw InvalidArgument("clean recording is empty: " + quoted(clean.name));
  const std::size_t n = clean.size;
  const std::vector<float> fitted = fit_noise(noise, n, offset);

  double mean = 0.0;
  for (float v : fitted)
    mean += v;
  mean /= static_cast<double>(n);
  double variance = 0.0;
  for (float v : fitted) {
    const double d = v - mean;
    variance += d * d;
  }
  variance /= static_cast<double>(n);
  // A constant noise (digital silence, a DC level) has no variance to scale;
  // test the samples themselves, as rounding leaves a tiny non-zero sum.
  const bool constant =
      std::adjacent_find(fitted.begin(), fitted.end(), std::not_equal_to<>()) == fitted.end();
  if (constant || !(variance > 0.0) || !std::isfinite(variance))
    throw InvalidArgument("noise has zero variance over the " + std::to_string(n) +
                          " samples used, so it cannot be scaled to an SNR: " + quoted(noise.name));

  const double target = mean_square(clean.samples, n) / std::pow(10.0, snr_db / 10.0);
  const double gain = std::sqrt(target) / std::sqrt(variance);
  const double full_scale = kFullScale;
  std::vector<std::int16_t> out(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double scaled = gain * (fitted[i] - mean);
    const double y = noise_only ? scaled : clean.samples[i] + scaled;
    out[i] = saturate_pcm16(y * full_scale);
  }
  return out;
}

} // namespace tavol
