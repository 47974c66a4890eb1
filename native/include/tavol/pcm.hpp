// Sample conversions of the decoder: 16-bit PCM to float (value / 32768, as
// libsndfile and librosa give them), channel layouts, and the finiteness check.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavol {

// `count` 16-bit little-endian samples to float. The output is usually fresh
// memory that is not read again soon, so on x86 `stream` writes it with
// streaming stores, which skip reading the destination into the cache first;
// `stream` false writes it through the cache for a caller about to read it.
void pcm16_to_float(const unsigned char *src, std::size_t count, float *dst, bool stream);

// The same for samples already in the machine's own byte order.
void pcm16_to_float(const std::int16_t *src, std::size_t count, float *dst);

// Interleaved 16-bit little-endian frames straight to their mono mix: each
// sample converted as above, summed in channel order in float32 and divided
// by the channel count, exactly as converting first and mixing after.
void pcm16_to_mono(const unsigned char *src, std::size_t frames, int channels, float *dst);

// Interleaved frames to planar layout (channel c at dst[c * frames + i]).
void deinterleave(const float *src, std::size_t frames, int channels, float *dst);

// False when any of n samples is NaN or infinite.
bool all_finite(const float *x, std::size_t n);

} // namespace tavol
