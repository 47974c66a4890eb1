// Decoding audio files into float32 sample buffers, matching librosa.load.
//
// Conventions: rates in Hz; lengths in frames (samples per channel); samples
// are float32 in [-1, 1) as libsndfile normalises them (int16 as value/32768).
// Multi-channel buffers are planar, channels first: sample (c, i) lives at
// samples[c * frames + i], the layout of librosa's (channels, n) arrays.
// All functions are thread-safe: they share no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

#include "tavol/platform/file.hpp"

namespace tavol {

struct Audio {
  std::vector<float> samples; // planar, channels * frames values
  std::size_t frames = 0;
  int channels = 0;
  int rate = 0; // Hz
};

struct DecodeOptions {
  int target_rate = 0; // 0 keeps the file's own rate
  bool mono = true;    // mean of the channels, taken before resampling
  // The caller reads the samples again right away (the synthesiser mixes
  // them): write them through the cache instead of around it.
  bool read_soon = false;
};

// Decodes a whole file. Throws UnreadableAudio when libsndfile cannot open it
// (so a caller may fall back to another decoder) and CorruptAudio when the
// file opens but its data is damaged or impossible: a WAV whose data chunk
// claims more bytes than the file holds, a read that ends early, a declared
// rate below kMinAudioRate, or (NonFiniteAudio) samples that are NaN or
// infinite, or overflow to it in the mono mix or the resampler. A path
// holding a NUL byte is InvalidArgument.
Audio decode_file(const std::filesystem::path &path, const DecodeOptions &options = {});

// What a file's header says, read without decoding the data.
struct AudioInfo {
  std::size_t frames = 0;
  int channels = 0;
  int rate = 0; // Hz
};

// Reads the header only; throws like decode_file (UnreadableAudio, CorruptAudio
// for an impossible header).
AudioInfo probe_file(const std::filesystem::path &path);

// Frames decode_file returns for a file described by `info` when asked for
// `target_rate` (0 keeps the file's rate), without decoding it.
std::size_t decoded_frames(const AudioInfo &info, int target_rate);

// The same decoding into storage the caller provides: `allocate(n)` is called
// once, with the final number of floats, and must return room for them (the
// batch loader uses an arena). The view points into that storage.
struct AudioView {
  float *samples = nullptr;
  std::size_t frames = 0;
  int channels = 0;
  int rate = 0;
};
using Allocate = std::function<float *(std::size_t count)>;

// An audio file opened once: its header read when it is opened, the file kept
// open until it is decoded, so a caller that needs the length of a recording
// long before it decodes it (a synthesis plan) reads the file once. Holds one
// file descriptor; not thread-safe (move it to the thread that decodes).
class AudioInput {
public:
  // Opens `path` and reads its header; throws like probe_file.
  static AudioInput open(const std::filesystem::path &path);

  const AudioInfo &info() const noexcept { return info_; }
  const std::filesystem::path &path() const noexcept { return path_; }

private:
  AudioInput() = default;
  friend AudioView decode_input_into(AudioInput &&input, const DecodeOptions &options,
                                     const Allocate &allocate);
  std::filesystem::path path_;
  platform::File file_;
  std::optional<std::uint64_t> size_; // of a regular file
  AudioInfo info_;
};

AudioView decode_file_into(const std::filesystem::path &path, const DecodeOptions &options,
                           const Allocate &allocate);
// The same for a file opened ahead (its descriptor is closed on return).
AudioView decode_input_into(AudioInput &&input, const DecodeOptions &options,
                            const Allocate &allocate);

// Mean of the channels, summed in channel order in float32 and divided by the
// channel count, exactly as numpy's mean over the channel axis does it.
std::vector<float> mix_to_mono(const float *interleaved, std::size_t frames, int channels);
void mix_to_mono_into(const float *interleaved, std::size_t frames, int channels, float *out);

} // namespace tavol
