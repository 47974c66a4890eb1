// Active speech level of ITU-T P.56, method B (the speech voltmeter of the
// ITU-T software tools): the mean square of a recording over the time speech
// is active, so pauses do not lower it.
//
// Conventions: samples are float in [-1, 1] (full scale 1.0, 0 dBov); the
// level is a mean square in the same units; the rate is in Hz. The envelope
// is smoothed with a 0.03 s time constant, activity is decided against 15
// thresholds spaced 6.02 dB apart (2^-15 .. 2^-1) with a 0.2 s hangover, and
// the level is where the level-to-threshold distance crosses the 15.9 dB
// margin (interpolated in the dB domain to 0.5 dB, as the reference meter
// does). Pure function: thread-safe.
#pragma once

#include <array>
#include <cstddef>

namespace tavol {

inline constexpr int kSpeechThresholds = 15;

struct SpeechLevel {
  double mean_square = 0.0; // active level; 0 when no speech is found
  double activity = 0.0;    // share of the samples deemed active, 0..1
};

// InvalidArgument for a rate below 1.
SpeechLevel active_speech_level(const float *x, std::size_t n, int rate);

// The meter's activity counters: for each threshold 2^(j - 15), the number of
// samples deemed active (envelope at or above it, or within the hangover
// after that). Non-increasing in j.
std::array<std::size_t, kSpeechThresholds> speech_activity_counts(const float *x, std::size_t n,
                                                                  int rate);

} // namespace tavol
