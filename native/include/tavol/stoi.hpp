// Short-time objective intelligibility (STOI, Taal et al. 2010/2011) of a
// processed signal against its clean reference, computed as pystoi computes
// it, step for step: both signals are resampled to 10 kHz with Octave's
// resample filter (a Kaiser-windowed sinc, polyphase), the frames of the clean
// signal more than 40 dB below its loudest frame are removed from both, the
// rest go through a 512-point STFT (Hann windows of 256 samples, hop 128) and
// 15 one-third octave bands from 150 Hz, and the score is the mean correlation
// of 30-frame envelopes, the processed one normalised and clipped at -15 dB
// signal-to-distortion. The two agree to about 1e-12 (tests compare them).
//
// Where pystoi returns 1e-5 with a warning (fewer than 30 frames of speech
// remain), this throws InvalidArgument: the measure is undefined there, and
// 1e-5 would read as a score. So do mismatched or empty signals, signals too
// short for one frame, non-finite samples and a rate that is not positive.
// Thread-safe, no Python.
#pragma once

#include <cstddef>

namespace tavol {

double stoi(const double *clean, std::size_t clean_size, const double *processed,
            std::size_t processed_size, int rate);

} // namespace tavol
