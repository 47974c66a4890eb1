// 16-bit PCM WAV output, byte for byte the files scipy.io.wavfile.write makes
// for int16 data, written atomically: the data goes to a temporary file in the
// destination folder, which is then renamed over the final name, so a reader
// (or an interrupted run) never sees a truncated file under the final name.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <filesystem>

#include "tavol/constants.hpp"

namespace tavol {

// Converts a value already in int16 scale: truncation toward zero, then
// saturation to [-32768, 32767]; NaN becomes 0.
inline std::int16_t saturate_pcm16(double v) noexcept {
  // Written as selects, not branches, so loops over samples vectorise; in
  // range, the integer conversion truncates toward zero.
  v = std::isnan(v) ? 0.0 : v;
  v = v < kPcm16Min ? static_cast<double>(kPcm16Min) : v;
  v = v > kPcm16Max ? static_cast<double>(kPcm16Max) : v;
  return static_cast<std::int16_t>(static_cast<int>(v));
}

// A float sample in [-1, 1] to int16: multiplied by 32767 in float32 (as numpy
// does for a float32 array), then truncated and saturated.
inline std::int16_t float_to_pcm16(float x) noexcept { return saturate_pcm16(x * kFullScale); }

// Writes `frames` frames of interleaved int16 samples. Throws IoError when the
// folder is missing or the file cannot be written; no partial file remains.
void write_wav16(const std::filesystem::path &path, const std::int16_t *interleaved,
                 std::size_t frames, int channels, int rate);

} // namespace tavol
