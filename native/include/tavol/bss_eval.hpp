// Signal-to-distortion measures of one estimate against one reference.
//
// sdr(): the SDR of BSS Eval for a single source, as bss_eval_sources
// computes it: the estimate is projected onto the reference and its delayed
// copies (a distortion filter of `taps` coefficients, 512 by default), and
// SDR = 10 log10(|projection|^2 / |estimate - projection|^2), in dB.
// si_sdr(): scale-invariant SDR, 10 log10(|a r|^2 / |e - a r|^2) with the
// optimal gain a = <e, r> / |r|^2 (no mean removal).
//
// Conventions: samples are mono, the two signals have the same length, and
// everything is computed in double precision. A silent reference or estimate,
// an empty or mismatched pair and non-finite samples are InvalidArgument, with
// the values in the message (so is, for sdr, a reference whose
// autocorrelation is singular to working precision, which no real signal
// tried so far has produced); an estimate equal to its projection gives
// +infinity. Pure functions: thread-safe (FFT plans are shared under a
// lock), no Python.
#pragma once

#include <cstddef>

#include "tavol/constants.hpp"

namespace tavol {

// BSS Eval SDR (dB) of `estimate` against `reference`; the sizes must be equal.
double bss_sdr(const double *reference, std::size_t reference_size, const double *estimate,
               std::size_t estimate_size, std::size_t taps = kSdrFilterTaps);

// Scale-invariant SDR (dB) of `estimate` against `reference`.
double si_sdr(const double *reference, std::size_t reference_size, const double *estimate,
              std::size_t estimate_size);

// Smallest n >= minimum whose only prime factors are 2, 3 and 5 and which is
// even (the sizes the FFT of bss_sdr works with).
std::size_t fft_size_at_least(std::size_t minimum);

} // namespace tavol
