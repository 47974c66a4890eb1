// Numeric constants shared by the core and the bindings: one definition each.
#pragma once

#include <cstddef>

namespace tavol {

// Largest int16 value: float samples in [-1, 1] are scaled by this before the 16-bit cast.
inline constexpr float kFullScale = 32767.0f;
inline constexpr int kPcm16Min = -32768;
inline constexpr int kPcm16Max = 32767;

// Lowest sampling rate a decoded file may declare (Hz): a header below it
// cannot describe real audio, and resampling it would blow a few bytes up into
// gigabytes.
inline constexpr int kMinAudioRate = 1000;

// What a path holding a NUL byte is refused with, the words of Python's open().
inline constexpr const char *kMsgNulInPath = "embedded null byte";

// Batch loading goes parallel only above this many files; default worker count.
inline constexpr std::size_t kLoadPoolThreshold = 300;
inline constexpr int kDefaultLoadWorkers = 8;

// Mixture rendering: rate of every rendered file, parallel threshold and worker count.
inline constexpr int kSynthRate = 16000;
inline constexpr std::size_t kSynthPoolThreshold = 200;
inline constexpr int kSynthWorkers = 8;
// Peak of a mixture that the "rescale" clipping policy scales down, as a share of full scale.
inline constexpr double kRescalePeak = 0.99;
// Longest file name and path the synthesiser writes (bytes), checked before a run touches the disk.
inline constexpr std::size_t kMaxNameBytes = 255;
inline constexpr std::size_t kMaxPathBytes = 4095;
// Parts of a manifest rendered on a cluster. At most kPartSamples output
// samples (8 h at 16 kHz: about 3 s of one thread's work at the ~150 million
// samples/s that bench/bench_dask.py measures in RAM) and kPartRows rows (a few
// seconds of file creations on a network file system); and at least
// kPartsPerThread parts per worker thread, so that a slow or lost worker delays little.
// The last parts of a run are smaller, down to kMinPartSamples (20 min at 16 kHz, about
// 0.1 s of work), so that what Dask spends on a task (~10 ms of processor time) stays small.
inline constexpr std::size_t kPartSamples = std::size_t{16000} * 3600 * 8;
inline constexpr std::size_t kMinPartSamples = std::size_t{16000} * 60 * 20;
inline constexpr std::size_t kPartRows = 4000;
inline constexpr std::size_t kPartsPerThread = 2;
// Runs whose decoded recordings a cluster's worker process keeps between parts
// (each up to kAudioCacheBytes) until the run releases them.
inline constexpr std::size_t kKeptRuns = 2;
// First characters of the temporary files that atomic writes rename into place.
inline constexpr const char *kTemporaryPrefix = ".tavol-";
// Bytes of decoded audio one rendering run keeps for reuse (1 GiB).
inline constexpr std::size_t kAudioCacheBytes = std::size_t{1} << 30;

// Frame buffer capacity when none is given.
inline constexpr long kDefaultBufferFrames = 2;

// Taps of the distortion filter that the BSS Eval SDR allows an estimate (as in bss_eval_sources).
inline constexpr std::size_t kSdrFilterTaps = 512;

// How long a waiting Python thread sleeps between two looks at signals and progress (ms).
inline constexpr int kWaitSliceMs = 50;
// How long a waiting Python thread polls, GIL released, before its first sleep (us).
inline constexpr int kWaitSpinUs = 50;

} // namespace tavol
