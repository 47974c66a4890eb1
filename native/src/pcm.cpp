#include "tavol/pcm.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <bit>
#include <cstring>

#include "tavol/audio_file.hpp"

namespace tavol {
namespace {

constexpr float kPcm16Scale = 1.0f / 32768.0f;

float pcm16_at(const unsigned char *src, std::size_t i) {
  const auto v = static_cast<std::int16_t>(static_cast<std::uint16_t>(src[2 * i]) |
                                           static_cast<std::uint16_t>(src[2 * i + 1] << 8));
  return static_cast<float>(v) * kPcm16Scale;
}

} // namespace

void pcm16_to_float(const unsigned char *src, std::size_t count, float *dst, bool stream) {
  std::size_t i = 0;
#if defined(__SSE2__)
  if (stream) // streaming stores need 16-byte alignment
    for (; i < count && (reinterpret_cast<std::uintptr_t>(dst + i) & 15u) != 0; ++i)
      dst[i] = pcm16_at(src, i);
  const __m128 scale = _mm_set1_ps(kPcm16Scale);
  for (; i + 8 <= count; i += 8) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 2 * i));
    const __m128 lo =
        _mm_mul_ps(_mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpacklo_epi16(v, v), 16)), scale);
    const __m128 hi =
        _mm_mul_ps(_mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpackhi_epi16(v, v), 16)), scale);
    if (stream) {
      _mm_stream_ps(dst + i, lo);
      _mm_stream_ps(dst + i + 4, hi);
    } else {
      _mm_storeu_ps(dst + i, lo);
      _mm_storeu_ps(dst + i + 4, hi);
    }
  }
  if (stream)
    _mm_sfence();
#else
  (void)stream;
#endif
  for (; i < count; ++i)
    dst[i] = pcm16_at(src, i);
}

void pcm16_to_float(const std::int16_t *src, std::size_t count, float *dst) {
  if constexpr (std::endian::native == std::endian::little) {
    pcm16_to_float(reinterpret_cast<const unsigned char *>(src), count, dst, false);
  } else {
    for (std::size_t i = 0; i < count; ++i)
      dst[i] = static_cast<float>(src[i]) * kPcm16Scale;
  }
}

void pcm16_to_mono(const unsigned char *src, std::size_t frames, int channels, float *dst) {
  const auto ch = static_cast<std::size_t>(channels);
  const float count = static_cast<float>(channels);
  if (ch == 2) { // the common case, in a loop the compiler vectorises
    for (std::size_t i = 0; i < frames; ++i)
      dst[i] = (pcm16_at(src, 2 * i) + pcm16_at(src, 2 * i + 1)) / count;
    return;
  }
  for (std::size_t i = 0; i < frames; ++i) {
    float sum = pcm16_at(src, i * ch);
    for (std::size_t c = 1; c < ch; ++c)
      sum += pcm16_at(src, i * ch + c);
    dst[i] = sum / count;
  }
}

void deinterleave(const float *src, std::size_t frames, int channels, float *dst) {
  const auto ch = static_cast<std::size_t>(channels);
  for (std::size_t i = 0; i < frames; ++i)
    for (std::size_t c = 0; c < ch; ++c)
      dst[c * frames + i] = src[i * ch + c];
}

// An integer reduction over the exponent bits (all ones for NaN and
// infinity), which the compiler vectorises.
bool all_finite(const float *x, std::size_t n) {
  constexpr std::uint32_t kExponent = 0x7f800000u;
  std::uint32_t bad = 0;
  for (std::size_t i = 0; i < n; ++i) {
    std::uint32_t bits;
    std::memcpy(&bits, x + i, sizeof bits);
    bad |= static_cast<std::uint32_t>((bits & kExponent) == kExponent);
  }
  return bad == 0;
}

void mix_to_mono_into(const float *interleaved, std::size_t frames, int channels, float *out) {
  const auto ch = static_cast<std::size_t>(channels);
  const float count = static_cast<float>(channels);
  for (std::size_t i = 0; i < frames; ++i) {
    const float *frame = interleaved + i * ch;
    float sum = frame[0];
    for (std::size_t c = 1; c < ch; ++c)
      sum += frame[c];
    out[i] = sum / count;
  }
}

std::vector<float> mix_to_mono(const float *interleaved, std::size_t frames, int channels) {
  std::vector<float> out(frames);
  mix_to_mono_into(interleaved, frames, channels, out.data());
  return out;
}

} // namespace tavol
