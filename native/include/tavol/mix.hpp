// The mixing arithmetic of the synthesiser: fitting a noise recording to a
// clean one, scaling it to a signal-to-noise ratio and converting the mixture
// to 16-bit PCM.
//
// Conventions: lengths in samples (mono); SNR in dB; "power" is the mean
// square (a DC offset counts). Everything is computed in double precision
// from float32 input. Pure functions: thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "tavol/errors.hpp"

namespace tavol {

// A decoded mono recording and the name (path) errors should mention.
struct Recording {
  const float *samples = nullptr;
  std::size_t size = 0;
  std::string_view name;
};

// How a noise of `noise_len` samples is fitted to a clean of `clean_len`:
// shorter noise is repeated, equal noise used whole, longer noise excerpted
// at an offset the caller draws from [1, noise_len - clean_len].
enum class NoiseFit { Repeat, Whole, Excerpt };
NoiseFit noise_fit(std::size_t noise_len, std::size_t clean_len) noexcept;

// Which sample loops run: the widest the processor has (the default) or the
// SSE2 baseline. Both give bit-identical results; tests compare them.
enum class SampleLoops { Widest, Baseline };
void use_sample_loops(SampleLoops loops) noexcept;

// Mean square of n samples.
double mean_square(const float *x, std::size_t n) noexcept;

// The noise fitted to `length` samples: Repeat lays length / size + 1 copies
// end to end and keeps the first `length`; Whole is a copy; Excerpt keeps the
// `length` samples starting at `offset` (ignored otherwise). InvalidArgument,
// naming the recording, for an empty noise or an excerpt beyond its end.
std::vector<float> fit_noise(const Recording &noise, std::size_t length, std::size_t offset);

// One mixture as int16 samples, clean.size of them: the fitted noise has its
// mean removed and is scaled so that mean_square(clean) / variance(noise)
// equals 10^(snr_db / 10); it is added to the clean (or kept alone when
// noise_only), multiplied by 32767, truncated toward zero and saturated.
// InvalidArgument, naming the file, for an empty clean or noise recording, for
// NaN or infinite samples among those used, and for a fitted noise of zero
// variance (it cannot be scaled to any SNR); InvalidArgument for an SNR that
// is not finite.
// The InvalidArgument for a recording ("clean" or "noise") named `name` whose
// samples are not all finite.
InvalidArgument non_finite_recording(std::string_view role, std::string_view name);

std::vector<std::int16_t> mix_pcm16(const Recording &clean, const Recording &noise, double snr_db,
                                    std::size_t offset, bool noise_only);
// The same into `out`, which has room for clean.size samples.
void mix_pcm16_into(const Recording &clean, const Recording &noise, double snr_db,
                    std::size_t offset, bool noise_only, std::int16_t *out);

} // namespace tavol
