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
#include <limits>
#include <string_view>
#include <vector>

#include "tavol/constants.hpp"
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

// What the SNR compares the noise with: the clean's mean square over the
// whole file (Power), or its active speech level (Active, see speech_level.hpp),
// which pauses in the speech do not lower.
enum class SnrDefinition { Power, Active };

// What happens to a mixture that goes beyond the 16-bit range: its samples
// saturate (Saturate), the whole mixture is scaled down so that its peak is
// kRescalePeak of full scale (Rescale), or ClippingError is thrown (Error).
enum class Clipping { Saturate, Rescale, Error };

struct MixOptions {
  bool noise_only = false; // write the scaled noise alone
  SnrDefinition definition = SnrDefinition::Power;
  Clipping clipping = Clipping::Saturate;
  int rate = kSynthRate; // of both recordings (the speech level's time constants)
  // The clean's level by `definition` (a mean square), when the caller knows
  // it already (a clean shared by many mixtures); negative: measured here.
  double clean_level = -1.0;
  bool measure = false; // fill MixStats::peak, clipped and realised_snr_db
  SampleLoops loops = SampleLoops::Widest;
};

// What a mixture was made of and how it came out.
struct MixStats {
  double clean_level = 0.0; // the clean's mean square by the SNR definition
  double clean_gain = 1.0;  // factor on the clean in the output (the scale; 0 for noise only)
  double noise_gain = 0.0;  // factor on the mean-free fitted noise (the scale included)
  double scale = 1.0;       // factor applied by Clipping::Rescale (1 otherwise)
  // Measured (MixOptions::measure, or a policy other than Saturate):
  std::size_t clipped = 0; // samples that saturated
  int peak = 0;            // largest absolute 16-bit sample written
  double realised_snr_db = std::numeric_limits<double>::quiet_NaN(); // from the 16-bit samples
};

// A mixture that would clip, under Clipping::Error.
class ClippingError : public InvalidArgument {
public:
  using InvalidArgument::InvalidArgument;
};

// Mean square of n samples.
double mean_square(const float *x, std::size_t n, SampleLoops loops = SampleLoops::Widest) noexcept;

// The clean's level by `definition`: the mean square, or the active speech
// level (the mean square when the meter finds no speech at all).
double clean_level(const float *x, std::size_t n, SnrDefinition definition, int rate);

// The noise fitted to `length` samples: Repeat lays length / size + 1 copies
// end to end and keeps the first `length`; Whole is a copy; Excerpt keeps the
// `length` samples starting at `offset` (ignored otherwise). InvalidArgument,
// naming the recording, for an empty noise or an excerpt beyond its end.
std::vector<float> fit_noise(const Recording &noise, std::size_t length, std::size_t offset);

// The InvalidArgument for a recording ("clean" or "noise") named `name` whose
// samples are not all finite.
InvalidArgument non_finite_recording(std::string_view role, std::string_view name);

// One mixture as int16 samples, clean.size of them: the fitted noise has its
// mean removed and is scaled so that level(clean) / variance(noise) equals
// 10^(snr_db / 10) (level: the mean square, or the active speech level); it
// is added to the clean (or kept alone when noise_only), multiplied by 32767
// (times the rescale factor), truncated toward zero and saturated.
// InvalidArgument, naming the file, for an empty clean or noise recording,
// for NaN or infinite samples among those used, for a fitted noise of zero
// variance (it cannot be scaled to any SNR) and for a non-finite SNR;
// ClippingError under Clipping::Error.
std::vector<std::int16_t> mix_pcm16(const Recording &clean, const Recording &noise, double snr_db,
                                    std::size_t offset, bool noise_only);
// The same into `out`, which has room for clean.size samples.
MixStats mix_pcm16_into(const Recording &clean, const Recording &noise, double snr_db,
                        std::size_t offset, const MixOptions &options, std::int16_t *out);

} // namespace tavol
