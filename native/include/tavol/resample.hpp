// Sample-rate conversion with libsoxr, matching librosa.resample(res_type="soxr_hq").
//
// The output holds exactly ceil(n * to / from) frames (zero-padded or cut,
// like librosa's fix_length). Thread-safe: every call owns its resampler.
#pragma once

#include <cstddef>
#include <vector>

namespace tavol {

// Number of frames librosa keeps after resampling n frames from `from` Hz to `to` Hz.
std::size_t resampled_length(std::size_t n, int from, int to);

// Resamples one channel. Rates must be positive (InvalidArgument otherwise);
// equal rates return a copy.
std::vector<float> resample(const float *in, std::size_t n, int from, int to);
// The same into `out`, which has room for resampled_length(n, from, to) frames.
void resample_into(const float *in, std::size_t n, int from, int to, float *out);

// Resamples a planar buffer channel by channel into `out`, which has room for
// channels * resampled_length(frames, from, to) values.
void resample_planar_into(const float *in, std::size_t frames, int channels, int from, int to,
                          float *out);

} // namespace tavol
